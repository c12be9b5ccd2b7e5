// IXpsDocumentProvider over an XPS file: walks the package from its start part to each page
// and hands out the parts in order. The markup of the sequence and of each fixed document is
// read as the walk advances, never held whole.
#pragma once

#include "xps.h"

namespace platform::xps {

// Opens path; throws PackageError when it is not an XPS package.
IXpsDocumentProvider* OpenPackageReader(const std::string& path, const XpsPackageLimits& limits);
XpsFlavour FlavourOfReader(IXpsDocumentProvider* provider);

} // namespace platform::xps
