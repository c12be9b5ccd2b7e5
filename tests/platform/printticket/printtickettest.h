// Helpers for the tests of the PrintTicket API: a printer over a real capabilities document,
// merges of texts, and the settings of a result with every name resolved.
#pragma once

#include "platformprinters.h"
#include "prntvpt.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atlbase.h>
#include <objbase.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace printtickettest {

// The printer the built-in description gives, and one over the capabilities example of the
// Windows documentation (with the private namespace of its driver).
inline const std::string kBuiltin = "FilterUtilities XPS Printer";
inline const std::string kDocsPrinter = "Docs Example Printer";

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A delta that is not given at all (a null stream), unlike an empty one.
inline const std::string kNullDelta = "<null delta>";

inline std::string DataFile(const std::string& name) {
    return std::string(FILTERUTILITIES_TEST_DATA) + "/printschema/" + name;
}

// A ticket named by file: a test data file, or "builtin-default" for the built-in printer's
// default ticket. Resolved when a case runs.
inline std::string File(const std::string& name) {
    return "file:" + name;
}

inline std::string Resolve(const std::string& text) {
    if (text.rfind("file:", 0) != 0) {
        return text;
    }
    const std::string name = text.substr(5);
    if (name == "builtin-default") {
        return platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName)->defaultTicket;
    }
    return ReadFile(DataFile(name));
}

inline std::u16string Utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

inline CComPtr<IStream> StreamOf(const std::string& bytes) {
    CComPtr<IStream> stream;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    if (stream) {
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
    }
    return stream;
}

inline std::string ContentOf(IStream* stream) {
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    std::string bytes;
    char buffer[4096];
    ULONG read = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

inline std::string Narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}

struct Outcome {
    HRESULT hr = E_FAIL;
    std::string message;
    std::string result;
};

struct Case {
    std::string name;
    std::string printer;
    std::string base;
    std::string delta; // kNullDelta: none
    EPrintTicketScope scope;
    HRESULT expected;
    std::vector<std::pair<std::string, std::string>> settings; // "" value: absent
};
inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// Canonical prefixes for the namespaces the tests name; other URIs are written {uri}.
inline std::string Canonical(const xmlNode* context, const std::string& qname) {
    static const std::map<std::string, std::string> prefixes{
        {"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords", "psk"},
        {"http://schemas.microsoft.com/3dmanufacturing/2013/01/pskeywords3d", "psk3d"},
        {"http://foo", "vnd"},
        {"http://schemas.keldan.com/enterprise/print/driver/native/printSchemaPrivateKeywords/"
         "2006/11",
         "drv"},
        {"http://schemas.microsoft.com/windows/printing/oemdriverpt/ES_LNseries_PowerPrinter",
         "oem"},
    };
    const size_t colon = qname.find(':');
    const std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
    const std::string local = colon == std::string::npos ? qname : qname.substr(colon + 1);
    xmlNs* ns = xmlSearchNs(context->doc, const_cast<xmlNode*>(context),
                            prefix.empty() ? nullptr : BAD_CAST prefix.c_str());
    if (!ns) {
        return "<unbound " + qname + ">";
    }
    const std::string uri = reinterpret_cast<const char*>(ns->href);
    const auto known = prefixes.find(uri);
    return known != prefixes.end() ? known->second + ":" + local : "{" + uri + "}" + local;
}

inline bool IsFramework(const xmlNode* node, const char* local) {
    return node->type == XML_ELEMENT_NODE && node->ns &&
           xmlStrEqual(node->ns->href,
                       BAD_CAST "http://schemas.microsoft.com/windows/2003/08/printing/"
                                "printschemaframework") &&
           xmlStrEqual(node->name, BAD_CAST local);
}

inline std::string Attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetNoNsProp(node, BAD_CAST name);
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

inline std::string Text(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

inline void CollectFeature(const xmlNode* feature, const std::string& key,
                           std::map<std::string, std::string>& out) {
    for (const xmlNode* child = feature->children; child; child = child->next) {
        if (IsFramework(child, "Option")) {
            const std::string name = Attribute(child, "name");
            if (!name.empty()) {
                out[key] = Canonical(child, name);
                continue;
            }
            for (const xmlNode* scored = child->children; scored; scored = scored->next) {
                if (IsFramework(scored, "ScoredProperty")) {
                    const std::string property = Canonical(scored, Attribute(scored, "name"));
                    out[key] = property.substr(property.find(':') + 1) + "=" + Text(scored);
                    break;
                }
            }
        } else if (IsFramework(child, "Feature")) {
            CollectFeature(child, key + "/" + Canonical(child, Attribute(child, "name")), out);
        }
    }
}

// Every setting of a ticket: "psk:Feature" -> option, "psk:Feature/psk:Nested" -> option,
// "psk:Parameter" -> value. A nameless option reads "Property=value" of its first scored
// property.
inline std::map<std::string, std::string> Settings(const std::string& ticket) {
    std::map<std::string, std::string> settings;
    if (ticket.empty()) {
        return settings;
    }
    xmlDoc* doc = xmlReadMemory(ticket.data(), static_cast<int>(ticket.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    EXPECT_TRUE(doc) << "the result is not well-formed:\n" << ticket;
    if (!doc) {
        return settings;
    }
    const xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_TRUE(IsFramework(root, "PrintTicket"));
    for (const xmlNode* child = root->children; child; child = child->next) {
        if (IsFramework(child, "Feature")) {
            CollectFeature(child, Canonical(child, Attribute(child, "name")), settings);
        } else if (IsFramework(child, "ParameterInit")) {
            settings[Canonical(child, Attribute(child, "name"))] = Text(child);
        }
    }
    xmlFreeDoc(doc);
    return settings;
}

// A printers folder holding the docs example printer, first on the search path.
class PrinterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : test) {
            c = c == '/' ? '-' : c; // the names of parameterised tests hold '/'
        }
        folder_ = std::filesystem::temp_directory_path() /
                  ("fu-pt-" + std::to_string(getpid()) + "-" + test);
        std::filesystem::create_directories(Folder());
        std::ofstream(Folder() / "docs.printer")
            << "name = " << kDocsPrinter << "\ndriver = Docs Example Driver\ncapabilities = "
            << DataFile("capabilities-docs-example.xml")
            << "\ndefault-ticket = " << DataFile("ticket-custom-media-size.xml") << "\n";
        setenv("FILTERUTILITIES_PRINTERS", Folder().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FILTERUTILITIES_PRINTERS");
        std::filesystem::remove_all(Folder());
    }
    std::filesystem::path Folder() const { return std::filesystem::path(folder_); }

    static Outcome MergeTexts(const std::string& printer, const std::string& base,
                              const std::string& delta, EPrintTicketScope scope) {
        Outcome outcome;
        HPTPROVIDER provider = nullptr;
        outcome.hr = PTOpenProvider(Utf16(printer).c_str(), 1, &provider);
        if (FAILED(outcome.hr)) {
            return outcome;
        }
        CComPtr<IStream> baseStream = StreamOf(Resolve(base));
        CComPtr<IStream> deltaStream = delta == kNullDelta ? nullptr : StreamOf(Resolve(delta));
        CComPtr<IStream> result;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &result));
        BSTR message = nullptr;
        outcome.hr = PTMergeAndValidatePrintTicket(provider, baseStream, deltaStream, scope, result,
                                                   &message);
        outcome.message = Narrow(message);
        SysFreeString(message);
        if (SUCCEEDED(outcome.hr)) {
            outcome.result = ContentOf(result);
        }
        EXPECT_EQ(S_OK, PTCloseProvider(provider));
        return outcome;
    }

private:
    std::string folder_;
};

} // namespace printtickettest
