// filterutil ticket effective: the option each feature resolves to across the tickets of a
// job, as a filter's ticket view resolves it (the narrowest ticket of the feature's own scope
// first, down to the user's default ticket).
//
//   ticket effective --default D [--job J] [--document C] [--page P] [--json] FEATURE...
#include "commands.h"

#include "jsonwriter.h"
#include "outputfile.h"
#include "printschemafile.h"
#include "schemareader.h"
#include "text.h"
#include "toolerror.h"

#include <filterutilities/xpsfilterprintticketbase.h>

#include <kldutil/keldanexception.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <sstream>

namespace filterutil {
namespace {

struct Resolution {
    std::string feature;
    std::optional<std::string> option;
    std::optional<std::string> unreadable; // why the option cannot be read
    const char* from = nullptr;
};

const char* ScopeName(int scope) {
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

struct Refusal {
    int scope = XpsFilterPrintTicketBase::DefaultPtScope;
    std::string reason;
};

// The view ends its search at the first ticket that refuses the feature's option. Finds that
// ticket by asking each in the view's order, and says why, reading its feature as the library
// does; the failure's code stands in for a reason the reading cannot find.
Refusal ExplainRefusal(XpsFilterPrintTicketBase& view, BSTR name, HRESULT hr) {
    Refusal refusal{XpsFilterPrintTicketBase::DefaultPtScope, DescribeHresult(hr)};
    const CXString feature(name, static_cast<int>(SysStringLen(name)));
    for (int scope = XpsFilterPrintTicketBase::GetFeatureScopeFromName(feature); scope >= 0;
         --scope) {
        PrintTicketXmlDocument* ticket =
            view.GetTicket(static_cast<XpsFilterPrintTicketBase::EFilterPtScope>(scope));
        if (!ticket) {
            continue;
        }
        CComBSTR option;
        HRESULT asked = E_FAIL;
        try {
            asked = ticket->GetFeatureOption(name, &option);
        } catch (const KeldanComException& e) {
            asked = e.GetHresult();
        }
        if (asked == PrintSchema::E_ELEMENT_NOT_FOUND) {
            continue;
        }
        if (SUCCEEDED(asked)) {
            break; // every ticket answers now: the reason stays the view's failure
        }
        refusal.scope = scope;
        CComPtr<IXMLDOMNode> node;
        if (ticket->FeaturePresent(name, &node) == S_OK) {
            const OptionReading reading = SchemaReader(*ticket).FeatureOption(node);
            if (reading.state == OptionReading::State::Unreadable) {
                refusal.reason = reading.reason;
            }
        }
        break;
    }
    return refusal;
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
    if (std::count(std::begin(paths), std::end(paths), std::optional<std::string>("-")) > 1) {
        throw ToolError("ticket effective: only one ticket can be read from standard input");
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
        const auto wide = FromUtf8Strict(local);
        if (!wide || !IsNcName(*wide)) {
            throw ToolError("ticket effective: \"" + Printable(feature) +
                            "\" is not a Print Schema keyword feature such as PageMediaSize");
        }
        CComBSTR name(wide->c_str());
        CComBSTR option;
        CComBSTR prefix;
        XpsFilterPrintTicketBase::EFilterPtScope source = XpsFilterPrintTicketBase::DefaultPtScope;
        HRESULT hr = E_FAIL;
        try {
            hr = view.XpsFilterGetFeatureOption(name, &option, &prefix, &source);
        } catch (const KeldanComException& e) {
            hr = e.GetHresult();
        }
        Resolution resolution{feature, std::nullopt, std::nullopt, nullptr};
        if (hr == S_OK) {
            resolution.option = ToUtf8(std::u16string_view(prefix.m_str, prefix.Length())) +
                                ToUtf8(std::u16string_view(option.m_str, option.Length()));
            resolution.from = ScopeName(source);
        } else if (hr != PrintSchema::E_ELEMENT_NOT_FOUND) {
            // One feature's unreadable option does not keep the others from being answered.
            const Refusal refusal = ExplainRefusal(view, name, hr);
            resolution.unreadable = refusal.reason;
            resolution.from = ScopeName(refusal.scope);
        }
        resolved.push_back(std::move(resolution));
    }

    std::ostringstream out;
    if (json) {
        JsonWriter writer(out);
        writer.BeginObject();
        for (const Resolution& resolution : resolved) {
            writer.Key(resolution.feature);
            if (!resolution.from) {
                writer.Null();
                continue;
            }
            writer.BeginObject();
            if (resolution.option) {
                writer.Key("option").String(*resolution.option);
            } else {
                writer.Key("unreadable").String(*resolution.unreadable);
            }
            writer.Key("from").String(resolution.from);
            writer.EndObject();
        }
        writer.EndObject();
    } else {
        for (const Resolution& resolution : resolved) {
            out << Printable(resolution.feature) << ": ";
            if (resolution.option) {
                out << Printable(*resolution.option) << " (from the " << resolution.from
                    << " ticket)\n";
            } else if (resolution.unreadable) {
                out << "(unreadable in the " << resolution.from
                    << " ticket: " << Printable(*resolution.unreadable) << ")\n";
            } else {
                out << "(not set in any ticket)\n";
            }
        }
    }
    WriteStandardOutput(out.str());
    return kExitOk;
}

} // namespace filterutil
