// The parts that the markup of a package's structure names: each DocumentReference of the
// sequence, each PageContent of a fixed document, by its Source.
#pragma once

#include "markupreader.h"
#include "package.h"

#include <string>
#include <string_view>

namespace platform::xps {

// Moves markup to its next child element named element (in any namespace) and resolves its
// Source from the markup's part into name and location; false at the end of the markup. Sets
// *other when it passed a child element of another name or namespace than markupNamespace,
// or found element itself in another namespace. Throws when the reference has no Source or
// names a part the package lacks (what names the kind of part in that message), and what
// markup throws; width and height, when given, receive the reference's Width and Height.
bool NextStructureReference(const Package& package, MarkupReader& markup,
                            std::string_view markupNamespace, const char* element, const char* what,
                            std::string& name, PartLocation& location, bool& other,
                            std::string* width = nullptr, std::string* height = nullptr);

} // namespace platform::xps
