// The typed settings of a filter's ticket view: duplex, orientation and media size from the
// Print Schema tickets, scaling, booklet binding, pages per sheet and output paper size from
// the driver's data model in the devmode snapshot, each cached until the view is filled again.
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/xpsfilterprintticket.h>

#include <kldutil/keldanexception.h>

#include <platformtest.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <variant>

using namespace printschematest;
using namespace devmodetest;

namespace {

using View = XpsFilterPrintTicket;
using Scope = View::EFilterPtScope;
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr Scope kUntouched = static_cast<Scope>(-1);

// --- Data models, as the driver's user interface stores them ---

struct Setting;
using Model = std::vector<Setting>;
// One attribute: an option value id, an integer, a boolean, or a nested collection.
struct Setting {
    struct Integer {
        int32_t value;
    };
    int feature;
    std::variant<int32_t, Integer, bool, Model> value;
};

AttributeBytesIndexedList ListOf(const Model& model) {
    AttributeBytesIndexedList list;
    for (const Setting& setting : model) {
        const AttributeBytesFeatureId id(setting.feature);
        if (const auto* option = std::get_if<int32_t>(&setting.value)) {
            list.SetOptionValue(id, *option);
        } else if (const auto* integer = std::get_if<Setting::Integer>(&setting.value)) {
            list.SetIntegerValue(id, integer->value);
        } else if (const auto* boolean = std::get_if<bool>(&setting.value)) {
            list.SetBooleanValue(id, *boolean);
        } else {
            list.SetCollection(id, ListOf(std::get<Model>(setting.value)));
        }
    }
    return list;
}

Setting::Integer Int(int32_t value) {
    return {value};
}

// The data model's own output size: a size id in feature 168 and, unless it is absent, the
// size's dimensions (features 172 and 173 in collection 164) inside collections 477 and 210.
Model OwnOutputSize(std::optional<int32_t> sizeId, std::optional<std::pair<int, int>> dims) {
    Model size;
    if (sizeId) {
        size.push_back({168, *sizeId});
    }
    if (dims) {
        size.push_back({164, Model{{172, Int(dims->first)}, {173, Int(dims->second)}}});
    }
    return {{751, 9685}, {477, Model{{210, size}}}};
}

Model operator+(Model left, const Model& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

std::string SnapshotOf(const Model& model) {
    return SnapshotXml(Base64(KDevmode::Build(ListOf(model))));
}

std::string MediaSizeXml(const char* option, std::optional<int> width, std::optional<int> height) {
    std::string xml =
        "  <psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:" + std::string(option) +
        "\">";
    const auto scored = [&](const char* name, int value) {
        xml += "<psf:ScoredProperty name=\"psk:" + std::string(name) +
               "\"><psf:Value xsi:type=\"xsd:integer\">" + std::to_string(value) +
               "</psf:Value></psf:ScoredProperty>";
    };
    if (width) {
        scored("MediaSizeWidth", *width);
    }
    if (height) {
        scored("MediaSizeHeight", *height);
    }
    return xml + "</psf:Option></psf:Feature>\n";
}

// --- The seven getters, each described as text ---

template <class Names>
std::string NameOf(const Names& names, int value) {
    return value >= 0 && static_cast<size_t>(value) < names.size() ? Utf8(names[value])
                                                                   : std::to_string(value);
}

std::string Describe(const PrintSchema::PageScaling::PageScalingData& d) {
    std::ostringstream text;
    text << NameOf(PrintSchema::PageScaling::kScaleOptionNames, d.scalingOption) << " "
         << d.scaleWidth << "x" << d.scaleHeight << " offset " << d.offsetWidth << ","
         << d.offsetHeight << " " << NameOf(PrintSchema::PageScaling::kAlignmentNames, d.alignment)
         << (d.scalingActive ? " active " : " inactive ") << d.scalingValueId << "/"
         << d.secondValueId;
    return text.str();
}
std::string Describe(const PrintSchema::PageMediaSize::PageMediaSizeData& d) {
    return std::to_string(d.width) + "x" + std::to_string(d.height);
}
std::string Describe(const PrintSchema::Binding::BindingData& d) {
    return std::to_string(d.reserved) + " " +
           NameOf(PrintSchema::Binding::kBindingOptionNames, d.bindingOption) + " " +
           std::to_string(d.firstBookletMeasure) + " " + std::to_string(d.secondBookletMeasure);
}
std::string Describe(const PrintSchema::NUp::NUpData& d) {
    return std::to_string(d.reserved1) + " " + std::to_string(d.pagesPerSheet) + " up " +
           std::to_string(d.reserved3) + " " + std::to_string(d.firstValueId) + "/" +
           std::to_string(d.secondValueId);
}
std::string Describe(const PrintSchema::OutputPaperSize::OutputPaperSizeData& d) {
    return std::to_string(d.width) + "x" + std::to_string(d.height) + " id " +
           std::to_string(d.outputSizeValueId) + (d.fromDataModel ? " model" : " media");
}

using Getter = std::function<std::string(View&, bool*, HRESULT*, Scope*)>;

const std::map<std::string, Getter>& Getters() {
    static const std::map<std::string, Getter> getters = {
        {"duplex",
         [](View& v, bool* f, HRESULT* s, Scope* from) {
             return NameOf(PrintSchema::JobDuplexAllDocumentsContiguously::kOptionNames,
                           v.GetDuplex(f, s, from));
         }},
        {"orientation",
         [](View& v, bool* f, HRESULT* s, Scope* from) {
             return NameOf(PrintSchema::PageOrientation::kOptionNames,
                           v.GetOrientation(f, s, from));
         }},
        {"scaling", [](View& v, bool* f, HRESULT* s,
                       Scope* from) { return Describe(v.GetPageScaling(f, s, from)); }},
        {"media", [](View& v, bool* f, HRESULT* s,
                     Scope* from) { return Describe(v.GetPageMediaSize(f, s, from)); }},
        {"booklet", [](View& v, bool* f, HRESULT* s,
                       Scope* from) { return Describe(v.GetBookletBinding(f, s, from)); }},
        {"nup",
         [](View& v, bool* f, HRESULT* s, Scope* from) { return Describe(v.GetNUp(f, s, from)); }},
        {"output", [](View& v, bool* f, HRESULT* s,
                      Scope* from) { return Describe(v.GetOutputPaperSize(f, s, from)); }},
    };
    return getters;
}

struct Outcome {
    std::string value;
    bool found = false;
    HRESULT status = E_UNEXPECTED;
    Scope source = kUntouched;

    bool operator==(const Outcome&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Outcome& o) {
        return out << "\"" << o.value << "\" found " << o.found << " status 0x" << std::hex
                   << static_cast<uint32_t>(o.status) << std::dec << " source "
                   << static_cast<int>(o.source);
    }
};

Outcome Ask(View& view, const std::string& getter) {
    Outcome outcome;
    outcome.value = Getters().at(getter)(view, &outcome.found, &outcome.status, &outcome.source);
    return outcome;
}

// The bodies of the four tickets of a fill (null: no such ticket) and the view's scope.
struct Fill {
    std::optional<std::string> defaultTicket, job, document, page;
};

class XpsFilterPrintTicketTest : public DomTest {
protected:
    void Refill(View& view, const Fill& fill, EPrintTicketScope scope = kPTPageScope) {
        const auto load = [](const std::optional<std::string>& body) {
            return body ? LoadBytes(TicketXml(*body)) : CComPtr<IXMLDOMDocument2>();
        };
        m_doms = {load(fill.defaultTicket), load(fill.job), load(fill.document), load(fill.page)};
        view.Initialize(scope, m_doms[0], m_doms[1], m_doms[2], m_doms[3], nullptr,
                        CXString(u"Keldan Printer"), nullptr);
    }

    std::array<CComPtr<IXMLDOMDocument2>, 4> m_doms;
};

struct Case {
    const char* name;
    Fill fill;
    const char* getter;
    Outcome expected;
};

std::string DriverDataModel() {
    return SnapshotOf({{215, 7242}});
}

TEST_F(XpsFilterPrintTicketTest, TicketSettingsComeFromTheNarrowestTicketOfTheirScope) {
    const std::string a4 = MediaSizeXml("ISOA4", 210000, 297000);
    const std::vector<Case> cases = {
        {"duplex from the job ticket",
         {FeatureXml("JobDuplexAllDocumentsContiguously", "OneSided"),
          FeatureXml("JobDuplexAllDocumentsContiguously", "TwoSidedShortEdge"), "", ""},
         "duplex",
         {"TwoSidedShortEdge", true, S_OK, View::JobPtScope}},
        {"duplex in no ticket", {"", "", "", ""}, "duplex", {"OneSided", false, S_FALSE}},
        {"duplex long edge by default",
         {FeatureXml("JobDuplexAllDocumentsContiguously", "TwoSidedLongEdge"), "", "", ""},
         "duplex",
         {"TwoSidedLongEdge", true, S_OK, View::DefaultPtScope}},
        {"orientation from the page ticket",
         {FeatureXml("PageOrientation", "Portrait"), FeatureXml("PageOrientation", "Landscape"), "",
          FeatureXml("PageOrientation", "ReverseLandscape")},
         "orientation",
         {"ReverseLandscape", true, S_OK, View::PagePtScope}},
        {"orientation of the document ticket",
         {"", "", FeatureXml("PageOrientation", "ReversePortrait"), ""},
         "orientation",
         {"ReversePortrait", true, S_OK, View::DocumentPtScope}},
        {"orientation with a private option: Portrait",
         {"", "",
          "  <psf:Feature name=\"psk:PageOrientation\"><psf:Option name=\"ns0000:Sideways\"/>"
          "</psf:Feature>\n",
          ""},
         "orientation",
         {"Portrait", true, S_OK, View::DocumentPtScope}},
        {"keywords compare case-sensitively",
         {FeatureXml("PageOrientation", "landscape"), "", "", ""},
         "orientation",
         {"Portrait", true, S_OK, View::DefaultPtScope}},
        {"an option name without a prefix cannot be read",
         {FeatureXml("PageOrientation", "Landscape"), "", "",
          "  <psf:Feature name=\"psk:PageOrientation\"><psf:Option name=\"Landscape\"/>"
          "</psf:Feature>\n"},
         "orientation",
         {"Portrait", false, E_FAIL}},
        {"media size of the page ticket",
         {a4, DriverDataModel(), "", MediaSizeXml("ISOA5", 148000, 210000)},
         "media",
         {"148000x210000", true, S_OK, View::PagePtScope}},
        {"media size whose height only the default ticket has",
         {a4, DriverDataModel(), "", MediaSizeXml("ISOA5", 148000, std::nullopt)},
         "media",
         {"148000x297000", true, S_OK, View::DefaultPtScope}},
        {"media size in no ticket",
         {"", DriverDataModel(), "", ""},
         "media",
         {"215900x279400", false, S_FALSE}},
        // Without the driver's data model the tickets are not asked: Letter, S_FALSE.
        {"media size without a data model",
         {a4, "", "", a4},
         "media",
         {"215900x279400", true, S_FALSE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " (" + c.getter + ")");
        View view;
        Refill(view, c.fill);
        EXPECT_EQ(c.expected, Ask(view, c.getter));
    }
}

TEST_F(XpsFilterPrintTicketTest, DataModelSettings) {
    const Model scaled = {{219, 7262}, {160, Int(150)}, {161, 7463}};
    const std::string media = MediaSizeXml("ISOA5", 148000, 210000);
    struct ModelCase {
        const char* name;
        std::optional<Model> model; // none: no devmode snapshot at all
        const char* getter;
        Outcome expected;
    };
    const std::vector<ModelCase> cases = {
        // Scaling.
        {"scaling at 150 %, aligned top right",
         scaled,
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 150x150 offset 0,0 TopRight active 7262/5600",
          true, S_OK, View::PagePtScope}},
        {"scaling off, unknown alignment, second option set",
         Model{{219, 7261}, {160, Int(100)}, {161, 1234}, {88, 5601}},
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 100x100 offset 0,0 Center inactive 7261/5601",
          true, S_OK, View::PagePtScope}},
        {"scaling while printing at the own output size, unscaled",
         scaled + OwnOutputSize(6732, std::nullopt),
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 150x150 offset 0,0 TopRight inactive 7262/5600",
          true, S_OK, View::PagePtScope}},
        {"scaling while printing at the own output size, same as the media",
         scaled + OwnOutputSize(5001, std::nullopt),
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 150x150 offset 0,0 TopRight inactive 7262/5600",
          true, S_OK, View::PagePtScope}},
        {"scaling while printing at a custom output size",
         scaled + OwnOutputSize(std::nullopt, {}),
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 150x150 offset 0,0 TopRight active 7262/5600",
          true, S_OK, View::PagePtScope}},
        {"scaling with an empty data model",
         std::nullopt,
         "scaling",
         {"FitApplicationMediaSizeToPageMediaSize 100x100 offset 0,0 Center inactive 7261/5600",
          true, S_FALSE}},
        {"scaling in a data model without it",
         Model{{215, 7242}},
         "scaling",
         {"None 100x100 offset 0,0 Center inactive 7261/5600", false, S_FALSE}},
        {"scaling option stored as an integer",
         Model{{219, Int(7262)}, {160, Int(100)}},
         "scaling",
         {"None 100x100 offset 0,0 Center inactive 7261/5600", false, DISP_E_TYPEMISMATCH}},
        {"scaling at the own output size without its collection",
         scaled + Model{{751, 9685}},
         "scaling",
         {"None 100x100 offset 0,0 Center inactive 7261/5600", false, S_FALSE}},
        // Booklet binding.
        {"booklet bound on the right, measures of an inch",
         Model{{216, true}, {51, 5461}, {312, Int(25400)}, {313, Int(25400)}},
         "booklet",
         {"0 BindRight 600 1200", true, S_OK, View::PagePtScope}},
        {"booklet bound on the left",
         Model{{216, true}, {51, 5460}},
         "booklet",
         {"0 BindLeft 0 0", true, S_OK, View::PagePtScope}},
        {"booklet without an edge",
         Model{{216, true}},
         "booklet",
         {"0 BindLeft 0 0", true, S_OK, View::PagePtScope}},
        // 63 µm are 1.488 dots at 600 dpi; 32 µm are 1.512 dots at 1200 dpi.
        {"no booklet, measures rounded",
         Model{{216, false}, {51, 5461}, {312, Int(63)}, {313, Int(32)}},
         "booklet",
         {"0 None 1 2", true, S_OK, View::PagePtScope}},
        {"booklet with an empty data model", std::nullopt, "booklet", {"0 None 0 0", true, S_OK}},
        {"booklet measure stored as an option",
         Model{{312, 25400}},
         "booklet",
         {"0 None 0 0", false, DISP_E_TYPEMISMATCH}},
        // Pages per sheet.
        {"sixteen up",
         Model{{215, 7245}, {217, 7612}, {311, 8011}},
         "nup",
         {"0 16 up 0 7612/8011", true, S_OK, View::PagePtScope}},
        {"unknown pages per sheet",
         Model{{215, 7299}},
         "nup",
         {"0 1 up 0 7611/8010", true, S_OK, View::PagePtScope}},
        {"pages per sheet with an empty data model",
         std::nullopt,
         "nup",
         {"0 1 up 0 7611/8010", true, S_OK}},
        // Output paper size.
        {"own output size",
         OwnOutputSize(6732, std::pair(210000, 297000)),
         "output",
         {"210000x297000 id 6732 model", true, S_OK, View::PagePtScope}},
        {"own custom output size",
         OwnOutputSize(std::nullopt, std::pair(100001, 150000)),
         "output",
         {"100001x150000 id 1 model", true, S_OK, View::PagePtScope}},
        {"own output size same as the media",
         OwnOutputSize(5001, std::pair(1, 1)),
         "output",
         {"148000x210000 id 5001 media", true, S_OK, View::DocumentPtScope}},
        {"output size of another mode",
         Model{{751, 1234}},
         "output",
         {"148000x210000 id 5001 media", true, S_OK, View::DocumentPtScope}},
        {"output size without its mode",
         Model{{215, 7242}},
         "output",
         {"148000x210000 id 5001 media", true, S_OK, View::DocumentPtScope}},
        {"own output size without dimensions",
         OwnOutputSize(6732, std::nullopt),
         "output",
         {"215900x279400 id 5001 media", false, S_FALSE}},
        {"output size with an empty data model",
         std::nullopt,
         "output",
         {"215900x279400 id 5001 media", true, S_FALSE}},
    };
    for (const ModelCase& c : cases) {
        SCOPED_TRACE(c.name);
        View view;
        Refill(view, {"", "", media, c.model ? SnapshotOf(*c.model) : ""});
        EXPECT_EQ(c.expected, Ask(view, c.getter));
    }

    // Every pages-per-sheet option.
    const std::pair<int, int> pages[] = {{7240, 1}, {7241, 2}, {7242, 4},
                                         {7243, 6}, {7244, 9}, {7245, 16}};
    for (const auto& [valueId, count] : pages) {
        SCOPED_TRACE(valueId);
        View view;
        Refill(view, {"", "", "", SnapshotOf({{215, valueId}})});
        EXPECT_EQ(count, view.GetNUp().pagesPerSheet);
    }
    // Every alignment.
    const std::pair<int, PrintSchema::PageScaling::EAlignment> alignments[] = {
        {7460, PrintSchema::PageScaling::TopLeft},
        {7461, PrintSchema::PageScaling::LeftCenter},
        {7462, PrintSchema::PageScaling::BottomLeft},
        {7463, PrintSchema::PageScaling::TopRight},
        {7464, PrintSchema::PageScaling::RightCenter},
        {7465, PrintSchema::PageScaling::BottomRight},
        {7466, PrintSchema::PageScaling::TopCenter},
        {7467, PrintSchema::PageScaling::Center},
        {7468, PrintSchema::PageScaling::BottomCenter}};
    for (const auto& [valueId, alignment] : alignments) {
        SCOPED_TRACE(valueId);
        View view;
        Refill(view, {"", "", "", SnapshotOf({{219, 7261}, {160, Int(100)}, {161, valueId}})});
        EXPECT_EQ(alignment, view.GetPageScaling().alignment);
    }
}

// Real tickets as the user's default ticket, under a page ticket that carries the driver's
// data model.
TEST_F(XpsFilterPrintTicketTest, RealTickets) {
    struct RealCase {
        std::string path;
        Outcome duplex, orientation, media, output;
    };
    const RealCase cases[] = {
        {std::string(FILTERUTILITIES_EXAMPLES) + "/tickets/job-ticket-a4-duplex.xml",
         {"TwoSidedLongEdge", true, S_OK, View::DefaultPtScope},
         {"Portrait", true, S_OK, View::DefaultPtScope},
         {"210000x297000", true, S_OK, View::DefaultPtScope},
         {"210000x297000 id 5001 media", true, S_OK, View::DefaultPtScope}},
        // The custom size stands in ParameterInits, through ParameterRefs.
        {std::string(FILTERUTILITIES_TEST_DATA) + "/printschema/ticket-custom-media-size.xml",
         {"OneSided", false, S_FALSE},
         {"Portrait", false, S_FALSE},
         {"2540x4233", true, S_OK, View::DefaultPtScope},
         {"2540x4233 id 5001 media", true, S_OK, View::DefaultPtScope}},
        {std::string(FILTERUTILITIES_TEST_DATA) + "/printschema/ticket-3d-example.xml",
         {"OneSided", false, S_FALSE},
         {"Portrait", false, S_FALSE},
         {"215900x279400", false, S_FALSE},
         {"215900x279400 id 5001 media", true, S_FALSE}},
    };
    CComPtr<IXMLDOMDocument2> page = LoadBytes(TicketXml(SnapshotOf({{215, 7241}})));
    for (const RealCase& c : cases) {
        SCOPED_TRACE(c.path);
        std::ifstream file(c.path, std::ios::binary);
        ASSERT_TRUE(file);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        CComPtr<IXMLDOMDocument2> real = LoadBytes(bytes.str());
        View view;
        view.Initialize(kPTPageScope, real, nullptr, nullptr, page, nullptr, CXString(), nullptr);
        EXPECT_EQ(c.duplex, Ask(view, "duplex"));
        EXPECT_EQ(c.orientation, Ask(view, "orientation"));
        EXPECT_EQ(c.media, Ask(view, "media"));
        EXPECT_EQ(c.output, Ask(view, "output"));
        EXPECT_EQ((Outcome{"0 2 up 0 7611/8010", true, S_OK, View::PagePtScope}), Ask(view, "nup"));
    }
}

TEST_F(XpsFilterPrintTicketTest, TheStatusPointersDecideBetweenReportingAndRaising) {
    View view;
    Refill(view, {"", "",
                  "  <psf:Feature name=\"psk:PageOrientation\"><psf:Option name=\"Landscape\"/>"
                  "</psf:Feature>\n",
                  ""});
    struct PointerCase {
        const char* getter;
        bool withFound, withStatus;
        HRESULT raised; // S_OK: no exception
        bool found;
    };
    const PointerCase cases[] = {
        // Absent duplex.
        {"duplex", true, false, S_OK, false},
        {"duplex", false, false, kNotFound, false},
        // Unreadable orientation.
        {"orientation", true, false, E_FAIL, false},
        {"orientation", false, true, S_OK, false},
        {"orientation", false, false, E_FAIL, false},
        // An empty data model is no failure.
        {"scaling", false, false, S_OK, false},
        {"output", false, false, S_OK, false},
    };
    for (const PointerCase& c : cases) {
        SCOPED_TRACE(std::string(c.getter) + (c.withFound ? " found" : "") +
                     (c.withStatus ? " status" : ""));
        bool found = !c.found;
        HRESULT status = E_UNEXPECTED;
        EXPECT_EQ(c.raised, RaisedBy([&] {
                      Getters().at(c.getter)(view, c.withFound ? &found : nullptr,
                                             c.withStatus ? &status : nullptr, nullptr);
                  }));
        if (c.withFound && c.raised == S_OK) {
            EXPECT_EQ(c.found, found);
        }
    }
}

// The whole fill as the getters see it: every feature and data-model setting at two values.
Fill FillWith(bool second) {
    const Model model = {{215, second ? 7243 : 7241},   {216, true},
                         {51, second ? 5461 : 5460},    {219, 7262},
                         {160, Int(second ? 80 : 120)}, {161, 7460}};
    return {FeatureXml("JobDuplexAllDocumentsContiguously",
                       second ? "TwoSidedShortEdge" : "TwoSidedLongEdge"),
            "", "",
            FeatureXml("PageOrientation", second ? "Landscape" : "ReversePortrait") +
                MediaSizeXml("ISOA4", second ? 100000 : 210000, 297000) + SnapshotOf(model)};
}

TEST_F(XpsFilterPrintTicketTest, EveryGetterComputesOncePerFill) {
    View view;
    Refill(view, FillWith(false));
    std::map<std::string, Outcome> first;
    for (const auto& [name, getter] : Getters()) {
        first[name] = Ask(view, name);
        EXPECT_EQ(S_OK, first[name].status) << name;
    }

    // The same documents change under the view: without a refill it answers from its caches.
    const Fill second = FillWith(true);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ASSERT_EQ(S_OK, m_doms[0]->loadXML(CComBSTR(Utf16(TicketXml(*second.defaultTicket)).c_str()),
                                       &loaded));
    ASSERT_EQ(S_OK, m_doms[3]->loadXML(CComBSTR(Utf16(TicketXml(*second.page)).c_str()), &loaded));
    for (const auto& [name, getter] : Getters()) {
        EXPECT_EQ(first[name], Ask(view, name)) << name;
    }

    // A refill with the same documents sees the change everywhere.
    view.Initialize(kPTPageScope, m_doms[0], nullptr, nullptr, m_doms[3], nullptr, CXString(),
                    nullptr);
    for (const auto& [name, getter] : Getters()) {
        const Outcome now = Ask(view, name);
        EXPECT_NE(first[name].value, now.value) << name;
        EXPECT_EQ(S_OK, now.status) << name;
    }
}

TEST_F(XpsFilterPrintTicketTest, CachedDefaultsReportSuccessAndFailuresAreAskedAgain) {
    // An empty data model: S_FALSE first, then the cached record with S_OK.
    View view;
    Refill(view, {"", "", "", ""});
    for (const char* getter : {"scaling", "media", "output"}) {
        SCOPED_TRACE(getter);
        EXPECT_EQ(S_FALSE, Ask(view, getter).status);
        EXPECT_EQ(S_OK, Ask(view, getter).status);
    }

    // A private orientation option is cached as Portrait.
    Refill(view, {"", "", "",
                  "  <psf:Feature name=\"psk:PageOrientation\"><psf:Option name=\"ns0000:Any\"/>"
                  "</psf:Feature>\n"});
    EXPECT_EQ((Outcome{"Portrait", true, S_OK, View::PagePtScope}), Ask(view, "orientation"));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ASSERT_EQ(S_OK,
              m_doms[3]->loadXML(
                  CComBSTR(Utf16(TicketXml(FeatureXml("PageOrientation", "Landscape"))).c_str()),
                  &loaded));
    EXPECT_EQ("Portrait", Ask(view, "orientation").value);

    // A setting that could not be read is read again on the next call of the same fill. The
    // output paper size stands on the absent media size with its defaults (S_FALSE), and keeps
    // them.
    Refill(view, {"", "", "", DriverDataModel()});
    for (const char* getter : {"duplex", "media", "scaling"}) {
        EXPECT_FALSE(Ask(view, getter).found) << getter;
    }
    EXPECT_EQ((Outcome{"215900x279400 id 5001 media", true, S_FALSE}), Ask(view, "output"));
    ASSERT_EQ(S_OK, m_doms[0]->loadXML(
                        CComBSTR(Utf16(TicketXml(FeatureXml("JobDuplexAllDocumentsContiguously",
                                                            "TwoSidedLongEdge") +
                                                 MediaSizeXml("ISOA4", 210000, 297000)))
                                     .c_str()),
                        &loaded));
    EXPECT_EQ((Outcome{"TwoSidedLongEdge", true, S_OK, View::DefaultPtScope}), Ask(view, "duplex"));
    EXPECT_EQ((Outcome{"210000x297000", true, S_OK, View::DefaultPtScope}), Ask(view, "media"));
    EXPECT_EQ((Outcome{"215900x279400 id 5001 media", true, S_OK}), Ask(view, "output"));
}

TEST_F(XpsFilterPrintTicketTest, BeforeTheFirstFillEveryGetterAnswersItsDefault) {
    View view;
    for (const auto& [name, getter] : Getters()) {
        SCOPED_TRACE(name);
        const Outcome outcome = Ask(view, name);
        // Absent (duplex, orientation) or defaults of an empty data model.
        EXPECT_EQ(name == "booklet" || name == "nup" ? S_OK : S_FALSE, outcome.status);
        EXPECT_EQ(kUntouched, outcome.source);
        EXPECT_EQ(outcome, Ask(view, name)); // nothing is cached: the same answer again
    }
}

TEST_F(XpsFilterPrintTicketTest, TheDataModelOfAWiderTicketAnswersForThePage) {
    View view;
    Refill(view, {"", SnapshotOf({{215, 7242}}), "", FeatureXml("PageOrientation", "Landscape")});
    EXPECT_EQ((Outcome{"0 4 up 0 7611/8010", true, S_OK, View::JobPtScope}), Ask(view, "nup"));
    // A later fill without any devmode keeps the data model, but no ticket of it answered.
    Refill(view, {"", "", "", ""});
    EXPECT_EQ((Outcome{"0 4 up 0 7611/8010", true, S_OK, kUntouched}), Ask(view, "nup"));
}

TEST_F(XpsFilterPrintTicketTest, AnAllocationFailureIsRaisedAndNothingIsCached) {
    for (const auto& [name, getter] : Getters()) {
        SCOPED_TRACE(name);
        View clean;
        Refill(clean, FillWith(false));
        const Outcome expected = Ask(clean, name);
        bool failed = true;
        for (unsigned long n = 1; failed && n < 10000; ++n) {
            View view;
            Refill(view, FillWith(false));
            failed = false;
            try {
                platformtest::AllocationFailure failure(n);
                Outcome outcome = Ask(view, name);
                failed = outcome.status == E_OUTOFMEMORY;
                EXPECT_TRUE(failed || outcome == expected) << n << ": " << outcome;
            } catch (const ATL::CAtlException& e) {
                EXPECT_EQ(E_OUTOFMEMORY, static_cast<HRESULT>(e)) << n;
                failed = true;
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            // The failed computation left nothing behind: the next call computes afresh.
            EXPECT_EQ(expected, Ask(view, name)) << n;
        }
        EXPECT_FALSE(failed);
    }
}

} // namespace
