// filterutil ticket effective: the option each feature resolves to across the tickets of a
// job, as a filter's ticket view resolves it (the narrowest ticket of the feature's own scope
// first, down to the user's default ticket).
//
//   ticket effective --default D [--job J] [--document C] [--page P] [--json] FEATURE...
#include "commands.h"

#include "jsonwriter.h"
#include "printschemafile.h"
#include "text.h"
#include "toolerror.h"

#include <filterutilities/xpsfilterprintticketbase.h>

#include <kldutil/keldanexception.h>

#include <iostream>
#include <optional>

namespace filterutil {
namespace {

struct Resolution {
    std::string feature;
    std::optional<std::string> option;
    const char* from = nullptr;
};

const char* ScopeName(XpsFilterPrintTicketBase::EFilterPtScope scope) {
    switch (scope) {
    case XpsFilterPrintTicketBase::PagePtScope:
        return "page";
    case XpsFilterPrintTicketBase::DocumentPtScope:
        return "document";
    case XpsFilterPrintTicketBase::JobPtScope:
        return "job";
    default:
        return "default";
    }
}

} // namespace

int TicketEffective(const Arguments& arguments) {
    std::optional<std::string> paths[XpsFilterPrintTicketBase::kTicketCount];
    std::vector<std::string> features;
    bool json = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size()) {
                throw ToolError("ticket effective: " + argument + " needs a file");
            }
            return arguments[++i];
        };
        if (argument == "--default") {
            paths[XpsFilterPrintTicketBase::DefaultPtScope] = value();
        } else if (argument == "--job") {
            paths[XpsFilterPrintTicketBase::JobPtScope] = value();
        } else if (argument == "--document") {
            paths[XpsFilterPrintTicketBase::DocumentPtScope] = value();
        } else if (argument == "--page") {
            paths[XpsFilterPrintTicketBase::PagePtScope] = value();
        } else if (argument == "--json") {
            json = true;
        } else if (!argument.empty() && argument[0] == '-') {
            throw ToolError("ticket effective: unknown option " + argument);
        } else {
            features.push_back(argument);
        }
    }
    if (!paths[XpsFilterPrintTicketBase::DefaultPtScope]) {
        throw ToolError("ticket effective: --default D is required");
    }
    if (features.empty()) {
        throw ToolError("ticket effective: name at least one FEATURE");
    }

    PrintSchemaFile files[XpsFilterPrintTicketBase::kTicketCount];
    IXMLDOMDocument2* doms[XpsFilterPrintTicketBase::kTicketCount] = {};
    for (int scope = 0; scope < XpsFilterPrintTicketBase::kTicketCount; ++scope) {
        if (paths[scope]) {
            files[scope] = LoadPrintTicketFile(*paths[scope]);
            doms[scope] = files[scope].dom;
        }
    }
    XpsFilterPrintTicketBase view;
    view.Initialize(kPTPageScope, doms[XpsFilterPrintTicketBase::DefaultPtScope],
                    doms[XpsFilterPrintTicketBase::JobPtScope],
                    doms[XpsFilterPrintTicketBase::DocumentPtScope],
                    doms[XpsFilterPrintTicketBase::PagePtScope], nullptr, CXString(), nullptr);

    std::vector<Resolution> resolved;
    for (const std::string& feature : features) {
        // The view looks up Print Schema keywords, which each ticket names with its own
        // prefix: "psk:" given with the name is dropped, any other prefix is refused.
        const std::string local = feature.rfind("psk:", 0) == 0 ? feature.substr(4) : feature;
        if (local.empty() || local.find(':') != std::string::npos) {
            throw ToolError("ticket effective: \"" + feature +
                            "\" is not a Print Schema keyword feature such as PageMediaSize");
        }
        CComBSTR name(FromUtf8(local).c_str());
        CComBSTR option;
        CComBSTR prefix;
        XpsFilterPrintTicketBase::EFilterPtScope source = XpsFilterPrintTicketBase::DefaultPtScope;
        HRESULT hr = E_FAIL;
        try {
            hr = view.XpsFilterGetFeatureOption(name, &option, &prefix, &source);
        } catch (const KeldanComException& e) {
            hr = e.GetHresult();
        }
        Resolution resolution{feature, std::nullopt, nullptr};
        if (hr == S_OK) {
            resolution.option = ToUtf8(std::u16string_view(prefix.m_str, prefix.Length())) +
                                ToUtf8(std::u16string_view(option.m_str, option.Length()));
            resolution.from = ScopeName(source);
        } else if (hr != PrintSchema::E_ELEMENT_NOT_FOUND) {
            throw ToolError("ticket effective: " + feature + " could not be read (" + HexCode(hr) +
                            ")");
        }
        resolved.push_back(std::move(resolution));
    }

    if (json) {
        JsonWriter writer(std::cout);
        writer.BeginObject();
        for (const Resolution& resolution : resolved) {
            writer.Key(resolution.feature);
            if (!resolution.option) {
                writer.Null();
                continue;
            }
            writer.BeginObject();
            writer.Key("option").String(*resolution.option);
            writer.Key("from").String(resolution.from);
            writer.EndObject();
        }
        writer.EndObject();
    } else {
        for (const Resolution& resolution : resolved) {
            std::cout << resolution.feature << ": "
                      << (resolution.option
                              ? *resolution.option + " (from the " + resolution.from + " ticket)"
                              : std::string("(not set in any ticket)"))
                      << '\n';
        }
    }
    return kExitOk;
}

} // namespace filterutil
