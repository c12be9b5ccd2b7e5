// PrintTicketPartNames: the print ticket part names a filter knows to be in use in its job, and
// the name each source ticket was rewritten under at each scope. PrintTicketEditor chooses the
// names of new ticket parts with it, so that a new part never takes a name another part of the
// job holds: the package may hold one part under a name, and every part that names it must get
// that one.
//
// Contract.
// - A name is in use once noted: a part ticket the filter was handed (the part that carries
//   it, or any later part that shares it, may send it on unchanged), and every name chosen for
//   a new ticket part. A source ticket's own name stays in use when its parts get a rewritten
//   ticket: a part still to come may carry the source ticket as it is.
// - Part names compare without regard to ASCII case, as the package compares them.
// - Choose answers the name wanted when nothing uses it, else the first of "stem_2.ext",
//   "stem_3.ext", ... that nothing uses (the stem and the extension split at the last dot of
//   the last segment; a name without one gets the counter at its end). The name answered is in
//   use from then on.
// - A rewrite is recorded per scope and source ticket; the first record of a pair stays.
// - The manager owns one for its filter's job; it is used on the filter's thread. Operations
//   raise std::bad_alloc when memory runs out.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <prntvpt.h>

#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

class FILTERUTILITIES_API PrintTicketPartNames {
public:
    // A part name split before its extension, the last segment's last dot ("/a.b/T" has none,
    // so a dot in a folder name stays in the stem); the extension keeps its dot.
    struct StemAndExtension {
        std::u16string_view stem;
        std::u16string_view extension;
    };
    static StemAndExtension SplitExtension(std::u16string_view name);

    void Use(std::u16string_view name);
    bool InUse(std::u16string_view name) const;
    std::u16string Choose(std::u16string_view wanted);

    void RecordRewrite(EPrintTicketScope scope, std::u16string_view source,
                       std::u16string_view rewritten);
    // The name source was rewritten under at scope; empty when it was not.
    std::u16string RewriteOf(EPrintTicketScope scope, std::u16string_view source) const;

private:
    std::unordered_set<std::u16string> m_used; // folded
    std::map<std::pair<EPrintTicketScope, std::u16string>, std::u16string> m_rewrites;
};
