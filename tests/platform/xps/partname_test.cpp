// References resolved against the part that holds them: what a relationship's Target or a
// markup Source names, or why it names no part of the package.
#include "xpstest.h"

#include "xps/partname.h"
#include "xps/xps.h"

using namespace xpstest;
using platform::xps::PackageError;
using platform::xps::ResolvePartReference;

namespace {

struct ReferenceCase {
    const char* name;
    const char* source;
    const char* target;
    const char* resolved; // or null when refused
    const char* why;      // a piece of the message when refused
};

const ReferenceCase kReferences[] = {
    {"relative in the folder", "/Documents/1/FixedDocument.fdoc", "Pages/1.fpage",
     "/Documents/1/Pages/1.fpage", nullptr},
    {"relative up a folder", "/Documents/1/Pages/1.fpage", "../../../Resources/Font.ttf",
     "/Resources/Font.ttf", nullptr},
    {"dot segments", "/A/B/c.fpage", "./../B/./d.png", "/A/B/d.png", nullptr},
    {"absolute", "/Documents/1/Pages/1.fpage", "/Tickets/Page1.xml", "/Tickets/Page1.xml", nullptr},
    {"from the package root", "/", "Job.fdseq", "/Job.fdseq", nullptr},
    {"from a part at the root", "/Job.fdseq", "Doc/1.fdoc", "/Doc/1.fdoc", nullptr},
    {"case and percent-encoding kept", "/a/b.fpage", "Im%C3%A4ge.PNG", "/a/Im%C3%A4ge.PNG",
     nullptr},
    {"a colon after a slash", "/a/b.fpage", "x/y:z.png", "/a/x/y:z.png", nullptr},
    {"above the root", "/Documents/1.fpage", "../../x.png", nullptr, "points outside the package"},
    {"above the root from the root", "/", "../x.png", nullptr, "points outside the package"},
    {"a scheme", "/a/b.fpage", "http://host/x.png", nullptr, "points outside the package"},
    {"a drive or scheme without slashes", "/a/b.fpage", "file:x.png", nullptr,
     "points outside the package"},
    {"a network path", "/a/b.fpage", "//host/share/x.png", nullptr, "points outside the package"},
    {"a backslash", "/a/b.fpage", "..\\x.png", nullptr, "holds a backslash"},
    {"a query", "/a/b.fpage", "x.png?y", nullptr, "is not a part name"},
    {"a fragment", "/a/b.fpage", "x.png#y", nullptr, "is not a part name"},
    {"empty", "/a/b.fpage", "", nullptr, "an empty reference"},
    {"an empty segment", "/a/b.fpage", "x//y.png", nullptr, "empty segment"},
    {"a folder", "/a/b.fpage", "x/", nullptr, "empty segment"},
    {"the root itself", "/a/b.fpage", "/", nullptr, "names the package root"},
    {"up to the root", "/a/b.fpage", "..", nullptr, "does not start with"},
    {"a segment ending in a dot", "/a/b.fpage", "x./y.png", nullptr, "ending in"},
    {"a character not allowed", "/a/b.fpage", "x y.png", nullptr, "not allowed"},
    {"a percent-encoded slash", "/a/b.fpage", "x%2Fy.png", nullptr, "behind percent-encoding"},
    {"a percent-encoded letter", "/a/b.fpage", "%41.png", nullptr, "percent-encodes"},
};

class References : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(References, ResolveAgainstTheirSourceOrAreRefused) {
    const ReferenceCase& test = GetParam();
    if (test.resolved) {
        EXPECT_EQ(test.resolved, ResolvePartReference(test.source, test.target));
        return;
    }
    try {
        const std::string resolved = ResolvePartReference(test.source, test.target);
        ADD_FAILURE() << "resolved to " << resolved;
    } catch (const PackageError& error) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), error.Result());
        EXPECT_NE(std::string::npos, std::string(error.what()).find(test.why)) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, References, ::testing::ValuesIn(kReferences),
                         NamedByField<ReferenceCase>);

} // namespace
