#include <filterutilities/printticketquerybuilder.h>

#include <kldutil/keldanexception.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::u16string QueryOf(const PrintTicketQueryBuilder& builder) {
    BSTR query = nullptr;
    builder.GetQuery(&query);
    std::u16string text = query ? std::u16string(query, ::SysStringLen(query)) : u"<null>";
    ::SysFreeString(query);
    return text;
}

std::string Utf8(const std::u16string& text) {
    return CXString(text.c_str()).ToUtf8();
}

HRESULT RaisedBy(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const KeldanComException& exception) {
        return exception.GetHresult();
    }
    return S_OK;
}

struct FormCase {
    const char* name;
    std::function<void(PrintTicketQueryBuilder&)> build;
    const char16_t* expected;
};

TEST(PrintTicketQueryBuilder, EveryFormIsWrittenExactly) {
    const CComBSTR psk(u"psk:");
    const CComBSTR name(u"PageMediaSize");
    const CComBSTR empty(u"");
    const FormCase cases[] = {
        {"feature", [&](auto& b) { b.AddFeature(psk, name); },
         u"//psf:Feature[@name = \"psk:PageMediaSize\"]"},
        {"property", [&](auto& b) { b.AddProperty(psk, name); },
         u"//psf:Property[@name = \"psk:PageMediaSize\"]"},
        {"child property", [&](auto& b) { b.AddChildProperty(psk, name); },
         u"/psf:Property[@name = \"psk:PageMediaSize\"]"},
        {"child property value", [&](auto& b) { b.AddChildPropertyValue(psk, name); },
         u"/psf:Property[@name = \"psk:PageMediaSize\"]/psf:Value"},
        {"scored property", [&](auto& b) { b.AddScoredProperty(psk, name); },
         u"//psf:ScoredProperty[@name = \"psk:PageMediaSize\"]"},
        {"parameter ref", [&](auto& b) { b.AddParameterRef(psk, name); },
         u"//psf:ParameterRef[@name = \"psk:PageMediaSize\"]"},
        {"parameter def", [&](auto& b) { b.AddParameterDef(psk, name); },
         u"//psf:ParameterDef[@name = \"psk:PageMediaSize\"]"},
        {"parameter init", [&](auto& b) { b.AddParameterInit(psk, name); },
         u"//psf:ParameterInit[@name = \"psk:PageMediaSize\"]"},
        {"child option name", [&](auto& b) { b.AddChildOptionName(psk, name); },
         u"/psf:Option[@name = \"psk:PageMediaSize\"]"},
        {"value on a fresh builder", [&](auto& b) { b.AddValue(); }, u"/psf:Value"},
        {"null name prefix", [&](auto& b) { b.AddParameterInit(nullptr, CComBSTR(u"Copies")); },
         u"//psf:ParameterInit[@name = \"Copies\"]"},
        {"empty name prefix", [&](auto& b) { b.AddParameterInit(empty, CComBSTR(u"Copies")); },
         u"//psf:ParameterInit[@name = \"Copies\"]"},
        {"feature below a feature",
         [&](auto& b) {
             b.AddFeature(psk, CComBSTR(u"A"));
             b.AddFeature(psk, CComBSTR(u"B"));
         },
         u"//psf:Feature[@name = \"psk:A\"]//psf:Feature[@name = \"psk:B\"]"},
        {"option of a feature",
         [&](auto& b) {
             b.AddFeature(psk, name);
             b.AddOption(u"psk:");
         },
         u"//psf:Feature[@name = \"psk:PageMediaSize\"]/psf:Option | "
         u"//psf:Feature[@name = \"psk:PageMediaSize\"]/psf:ScoredProperty[@name = "
         u"\"psk:OptionName\"]/psf:Value"},
        {"option on an empty builder", [&](auto& b) { b.AddOption(u"psk:"); },
         u"/psf:Option | /psf:ScoredProperty[@name = \"psk:OptionName\"]/psf:Value"},
        {"text views as used inside the library",
         [&](auto& b) { b.AddFeature(std::u16string_view(u"ns0001:"), u"JobDuplex"); },
         u"//psf:Feature[@name = \"ns0001:JobDuplex\"]"},
    };
    for (const FormCase& c : cases) {
        SCOPED_TRACE(c.name);
        PrintTicketQueryBuilder builder(u"psf:");
        c.build(builder);
        EXPECT_EQ(Utf8(c.expected), Utf8(QueryOf(builder)));
    }
}

TEST(PrintTicketQueryBuilder, StartsFromTheGivenQueryAndClears) {
    PrintTicketQueryBuilder builder(u"ns0000:", u".");
    builder.AddChildOptionName(CComBSTR(u"ns0001:"), CComBSTR(u"A4"));
    EXPECT_EQ(Utf8(u"./ns0000:Option[@name = \"ns0001:A4\"]"), Utf8(QueryOf(builder)));
    EXPECT_EQ(Utf8(u"./ns0000:Option[@name = \"ns0001:A4\"]"), Utf8(QueryOf(builder)));

    PrintTicketQueryBuilder copy(builder);
    builder.Clear();
    EXPECT_EQ("<null>", Utf8(QueryOf(builder)));
    EXPECT_EQ(Utf8(u"./ns0000:Option[@name = \"ns0001:A4\"]"), Utf8(QueryOf(copy)));
    copy = builder;
    EXPECT_EQ("<null>", Utf8(QueryOf(copy)));
    EXPECT_EQ("<null>", Utf8(QueryOf(PrintTicketQueryBuilder(u"psf:"))));
}

TEST(PrintTicketQueryBuilder, GetQueryReplacesWhatTheCallerHeld) {
    PrintTicketQueryBuilder builder(u"psf:");
    builder.AddValue();
    BSTR query = ::SysAllocString(u"held before"); // freed by GetQuery (ASan sees a leak else)
    builder.GetQuery(&query);
    EXPECT_EQ(Utf8(u"/psf:Value"), Utf8(std::u16string(query)));
    ::SysFreeString(query);
    EXPECT_EQ(E_POINTER, RaisedBy([&] { builder.GetQuery(nullptr); }));
}

TEST(PrintTicketQueryBuilder, RefusesStepsItCannotWrite) {
    const CComBSTR psk(u"psk:");
    const CComBSTR name(u"A");
    struct Case {
        const char* name;
        const char16_t* prefix;
        std::function<void(PrintTicketQueryBuilder&)> step;
        HRESULT expected;
    } const cases[] = {
        // Without a framework prefix no element step can name its element.
        {"feature", u"", [&](auto& b) { b.AddFeature(psk, name); }, E_FAIL},
        {"property", nullptr, [&](auto& b) { b.AddProperty(psk, name); }, E_FAIL},
        {"child property", u"", [&](auto& b) { b.AddChildProperty(psk, name); }, E_FAIL},
        {"child property value", u"", [&](auto& b) { b.AddChildPropertyValue(psk, name); }, E_FAIL},
        {"value", u"", [&](auto& b) { b.AddValue(); }, E_FAIL},
        {"option", u"", [&](auto& b) { b.AddOption(u"psk:"); }, E_FAIL},
        // A double quote would end the attribute literal and let the rest select other nodes.
        {"quote in a name", u"psf:",
         [&](auto& b) { b.AddFeature(psk, CComBSTR(u"A\"] | //*[@name = \"B")); }, E_INVALIDARG},
        {"quote in a name prefix", u"psf:",
         [&](auto& b) { b.AddParameterInit(CComBSTR(u"p\""), name); }, E_INVALIDARG},
        {"quote in the option prefix", u"psf:", [&](auto& b) { b.AddOption(u"\"k:"); },
         E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PrintTicketQueryBuilder builder(c.prefix, u"/start");
        EXPECT_EQ(c.expected, RaisedBy([&] { c.step(builder); }));
        EXPECT_EQ(Utf8(u"/start"), Utf8(QueryOf(builder))); // unchanged
    }
}

} // namespace
