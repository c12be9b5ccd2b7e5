#include "ticketedits.h"

#include "schemareader.h"
#include "text.h"
#include "toolerror.h"

namespace filterutil {
namespace {

// Puts replacement where original stands, or appends it to the root when there is none.
void PlaceElement(PrintTicketXmlDocument& ticket, IXMLDOMNode* original,
                  IXMLDOMElement* replacement) {
    if (!original) {
        ticket.AppendChildToRootNode(replacement);
        return;
    }
    CComPtr<IXMLDOMNode> parent;
    CComPtr<IXMLDOMNode> removed;
    if (original->get_parentNode(&parent) != S_OK ||
        FAILED(parent->replaceChild(replacement, original, &removed))) {
        throw ToolError("the library's document refused the replacement", kExitFailure);
    }
}

} // namespace

void SelectFeatureOption(PrintTicketXmlDocument& ticket, BSTR featurePrefix, bool featureKeyword,
                         BSTR feature, bool optionKeyword, BSTR option) {
    CComPtr<IXMLDOMNode> existing;
    ticket.GetFeatureNodeIfExists(featurePrefix, feature, &existing);

    CComPtr<IXMLDOMElement> newFeature;
    CComPtr<IXMLDOMElement> newOption;
    const HRESULT created = ticket.CreateFeatureOptionPair(featureKeyword, feature, optionKeyword,
                                                           option, &newFeature, &newOption);
    if (FAILED(created)) {
        throw ToolError("the library could not make the feature: " + DescribeHresult(created),
                        kExitFailure);
    }
    ticket.AppendChild(newFeature, newOption);
    if (existing) {
        // Sub-features belong to the feature, not to its option: they stay.
        for (const auto& subFeature : FrameworkChildren(existing, u"Feature")) {
            CComPtr<IXMLDOMNode> moved;
            newFeature->appendChild(subFeature, &moved);
        }
    }
    PlaceElement(ticket, existing, newFeature);
}

void SetParameterInit(PrintTicketXmlDocument& ticket, BSTR prefix, BSTR name,
                      std::optional<int> integer, BSTR text) {
    CComPtr<IXMLDOMElement> initialiser;
    if (integer) {
        ticket.CreateIntegerParameterInit(prefix, name, *integer, &initialiser);
    } else {
        ticket.CreateStringParameterInit(prefix, name, text, &initialiser);
    }
    CComPtr<IXMLDOMNode> existing;
    ticket.GetParameterInitNodeIfExists(prefix, name, &existing);
    PlaceElement(ticket, existing, initialiser);
}

} // namespace filterutil
