#include "structurereference.h"

namespace platform::xps {

bool NextStructureReference(const Package& package, MarkupReader& markup,
                            std::string_view markupNamespace, const char* element, const char* what,
                            std::string& name, PartLocation& location, bool& other,
                            std::string* width, std::string* height) {
    while (markup.NextElement()) {
        if (markup.Depth() != 1) {
            continue;
        }
        if (markup.LocalName() != element || markup.NamespaceUri() != markupNamespace) {
            other = true;
            if (markup.LocalName() != element) {
                continue;
            }
        }
        auto source = markup.Attribute("Source");
        if (!source) {
            Fail(kBadPackage, markup.PartName() + " has a " + element + " without Source");
        }
        if (width) {
            *width = markup.Attribute("Width").value_or("");
            *height = markup.Attribute("Height").value_or("");
        }
        if (!package.TryLocateReference(markup.PartName(), *source, name, location)) {
            Fail(kMissingPart, std::string("the ") + what + " " + name + " named by " +
                                   markup.PartName() + " is missing from the package");
        }
        return true;
    }
    return false;
}

} // namespace platform::xps
