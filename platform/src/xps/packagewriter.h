// IXpsDocumentConsumer to an XPS file. Each part is written when it is sent: a page with its
// relationships, its ticket and the resources not written before; the markup of a fixed
// document when the next one starts, and the sequence, the package relationships and the
// content types at CloseSender. A part that passes unchanged is copied as stored.
#pragma once

#include "xps.h"

namespace platform::xps {

// Throws PackageError when the target cannot be written.
IXpsDocumentConsumer* CreatePackageWriter(const std::string& path);

} // namespace platform::xps
