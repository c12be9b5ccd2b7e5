#include <filterutilities/printticketpartnames.h>

#include <string>

namespace {

// The key a part name is compared under: ASCII letters in lower case.
std::u16string Folded(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return folded;
}

std::u16string Decimal(unsigned value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

} // namespace

PrintTicketPartNames::StemAndExtension
PrintTicketPartNames::SplitExtension(std::u16string_view name) {
    const size_t lastSlash = name.rfind(u'/');
    const size_t segment = lastSlash == std::u16string_view::npos ? 0 : lastSlash + 1;
    size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos || dot < segment) {
        dot = name.size();
    }
    return {name.substr(0, dot), name.substr(dot)};
}

void PrintTicketPartNames::Use(std::u16string_view name) {
    if (!name.empty()) {
        m_used.insert(Folded(name));
    }
}

bool PrintTicketPartNames::InUse(std::u16string_view name) const {
    return m_used.count(Folded(name)) != 0;
}

std::u16string PrintTicketPartNames::Choose(std::u16string_view wanted) {
    std::u16string name(wanted);
    if (InUse(name)) {
        const auto [stem, extension] = SplitExtension(wanted);
        // At most one counter per name in use is taken before a free one turns up.
        for (unsigned n = 2; InUse(name); ++n) {
            name.assign(stem);
            name += u'_';
            name += Decimal(n);
            name += extension;
        }
    }
    Use(name);
    return name;
}

void PrintTicketPartNames::RecordRewrite(EPrintTicketScope scope, std::u16string_view source,
                                         std::u16string_view rewritten) {
    m_rewrites.emplace(std::make_pair(scope, Folded(source)), std::u16string(rewritten));
}

std::u16string PrintTicketPartNames::RewriteOf(EPrintTicketScope scope,
                                               std::u16string_view source) const {
    const auto found = m_rewrites.find(std::make_pair(scope, Folded(source)));
    return found == m_rewrites.end() ? std::u16string() : found->second;
}
