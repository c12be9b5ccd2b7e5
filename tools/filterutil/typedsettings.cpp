#include "typedsettings.h"

#include "text.h"

#include <sstream>

namespace filterutil {
namespace {

using View = XpsFilterPrintTicket;

template <class Names>
std::string NameOf(const Names& names, int value) {
    return value >= 0 && static_cast<size_t>(value) < names.size()
               ? ToUtf8(names[static_cast<size_t>(value)])
               : std::to_string(value);
}

// Asks one getter with every out-parameter, so that nothing is raised.
template <class Getter>
Answer Ask(const char* name, const char* label, Getter&& getter) {
    Answer answer;
    answer.name = name;
    answer.label = label;
    auto source = static_cast<View::EFilterPtScope>(-1);
    getter(answer, &answer.found, &answer.status, &source);
    if (source >= View::DefaultPtScope && source <= View::PagePtScope) {
        answer.source = source;
    }
    return answer;
}

} // namespace

const char* ScopeName(View::EFilterPtScope scope) {
    switch (scope) {
    case View::PagePtScope:
        return "page";
    case View::DocumentPtScope:
        return "document";
    case View::JobPtScope:
        return "job";
    default:
        return "default";
    }
}

const char* Answer::State() const {
    if (FAILED(status)) {
        return "unreadable";
    }
    if (!found) {
        return "absent";
    }
    return status == S_FALSE || !source ? "defaults" : "read";
}

std::vector<Answer> AskAll(View& view) {
    using namespace PrintSchema;
    std::vector<Answer> answers;
    answers.push_back(Ask("duplex", "duplex", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
        const auto value = view.GetDuplex(f, s, from);
        a.text = NameOf(JobDuplexAllDocumentsContiguously::kOptionNames, value);
        a.json = [text = a.text](JsonWriter& w) { w.String(text); };
    }));
    answers.push_back(
        Ask("orientation", "orientation", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const auto value = view.GetOrientation(f, s, from);
            a.text = NameOf(PageOrientation::kOptionNames, value);
            a.json = [text = a.text](JsonWriter& w) { w.String(text); };
        }));
    answers.push_back(
        Ask("pageScaling", "page scaling", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const PageScaling::PageScalingData d = view.GetPageScaling(f, s, from);
            const std::string option = NameOf(PageScaling::kScaleOptionNames, d.scalingOption);
            const std::string alignment = NameOf(PageScaling::kAlignmentNames, d.alignment);
            std::ostringstream text;
            text << option << ", " << d.scaleWidth << " % x " << d.scaleHeight << " %, offset "
                 << d.offsetWidth << " x " << d.offsetHeight << ", alignment " << alignment << ", "
                 << (d.scalingActive ? "active" : "inactive") << ", value ids " << d.scalingValueId
                 << " and " << d.secondValueId;
            a.text = text.str();
            a.json = [d, option, alignment](JsonWriter& w) {
                w.BeginObject();
                w.Key("option").String(option);
                w.Key("scaleWidth").Number(int64_t{d.scaleWidth});
                w.Key("scaleHeight").Number(int64_t{d.scaleHeight});
                w.Key("offsetWidth").Number(int64_t{d.offsetWidth});
                w.Key("offsetHeight").Number(int64_t{d.offsetHeight});
                w.Key("alignment").String(alignment);
                w.Key("active").Bool(d.scalingActive);
                w.Key("scalingValueId").Number(int64_t{d.scalingValueId});
                w.Key("secondValueId").Number(int64_t{d.secondValueId});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("pageMediaSize", "page media size", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const PageMediaSize::PageMediaSizeData d = view.GetPageMediaSize(f, s, from);
            a.text = std::to_string(d.width) + " x " + std::to_string(d.height) + " um";
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("width").Number(int64_t{d.width});
                w.Key("height").Number(int64_t{d.height});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("bookletBinding", "booklet binding", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const Binding::BindingData d = view.GetBookletBinding(f, s, from);
            const std::string option = NameOf(Binding::kBindingOptionNames, d.bindingOption);
            a.text = option + ", measures " + std::to_string(d.firstBookletMeasure) +
                     " (1/600 in) and " + std::to_string(d.secondBookletMeasure) + " (1/1200 in)";
            a.json = [d, option](JsonWriter& w) {
                w.BeginObject();
                w.Key("option").String(option);
                w.Key("firstMeasure").Number(int64_t{d.firstBookletMeasure});
                w.Key("secondMeasure").Number(int64_t{d.secondBookletMeasure});
                w.EndObject();
            };
        }));
    answers.push_back(
        Ask("nUp", "pages per sheet", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const NUp::NUpData d = view.GetNUp(f, s, from);
            a.text = std::to_string(d.pagesPerSheet) + ", value ids " +
                     std::to_string(d.firstValueId) + " and " + std::to_string(d.secondValueId);
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("pagesPerSheet").Number(int64_t{d.pagesPerSheet});
                w.Key("firstValueId").Number(int64_t{d.firstValueId});
                w.Key("secondValueId").Number(int64_t{d.secondValueId});
                w.EndObject();
            };
        }));
    answers.push_back(Ask(
        "outputPaperSize", "output paper size", [&](Answer& a, bool* f, HRESULT* s, auto* from) {
            const OutputPaperSize::OutputPaperSizeData d = view.GetOutputPaperSize(f, s, from);
            a.text = std::to_string(d.width) + " x " + std::to_string(d.height) + " um, value id " +
                     std::to_string(d.outputSizeValueId) +
                     (d.fromDataModel ? ", the data model's own" : ", the page media size");
            a.json = [d](JsonWriter& w) {
                w.BeginObject();
                w.Key("width").Number(int64_t{d.width});
                w.Key("height").Number(int64_t{d.height});
                w.Key("valueId").Number(int64_t{d.outputSizeValueId});
                w.Key("fromDataModel").Bool(d.fromDataModel);
                w.EndObject();
            };
        }));
    return answers;
}

void WriteAnswerJson(JsonWriter& writer, const Answer& answer) {
    writer.BeginObject();
    writer.Key("value");
    answer.json(writer);
    writer.Key("state").String(answer.State());
    writer.Key("from");
    if (std::string(answer.State()) == "read") {
        writer.String(ScopeName(*answer.source));
    } else {
        writer.Null();
    }
    if (FAILED(answer.status)) {
        writer.Key("error").String(DescribeHresult(answer.status));
    }
    writer.EndObject();
}

} // namespace filterutil
