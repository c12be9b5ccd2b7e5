// IXpsDocumentConsumer to an XPS file. Each part is written when it is sent: a page with its
// relationships, its ticket and the resources not written before; the markup of a fixed
// document when the next one starts, and the sequence, the package relationships and the
// content types at CloseSender. A part that passes unchanged is copied as stored.
//
// A name holds one part. A resource or ticket sent again (the same object, or the reader's
// object for the same entry of the same package, however many pages name it) is written once;
// a part with other content under a name already written, or under a page's, a document's or
// a relationships part's name, fails the job with HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
// since the parts that name it could not all get their own. Bytes written to a new part's
// stream after it was sent make it another part. A font restricted to print and preview (one
// the package read named so, or one whose bytes a filter wrote grant that in their OS/2
// table's fsType) is named by a restricted-font relationship from the fixed document whose
// page sends it, and by that page as a required resource like any font.
#pragma once

#include "xps.h"

namespace platform::xps {

// Throws PackageError when the target cannot be written.
IXpsDocumentConsumer* CreatePackageWriter(const std::string& path);

} // namespace platform::xps
