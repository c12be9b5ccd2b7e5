// PrintCapabilitiesXmlDocument: a print capabilities document (root element PrintCapabilities)
// over an MSXML DOM.
//
// A driver adds its own features, options and parameter definitions, renames options for
// display, and reads scored properties of capability options. Elements made here are not
// attached (except by CreateAndAppendOption); the caller owns one reference to each. The
// base class's contract holds: failures are raised as KeldanComException, a failed string
// allocation raises ATL::CAtlException(E_OUTOFMEMORY); BSTR arguments must be BSTRs.
//
// Numbers are written locale-independently: integers as signed decimals, reals with two
// decimals (0.5 is 0.50).
#pragma once

#include <filterutilities/printschemaxmldocument.h>

class FILTERUTILITIES_API PrintCapabilitiesXmlDocument : public PrintSchemaXmlDocument {
public:
    // Raises as the base constructor does, for example S_FALSE when the document holds no
    // framework PrintCapabilities element.
    explicit PrintCapabilitiesXmlDocument(IXMLDOMDocument2* document);
    PrintCapabilitiesXmlDocument(const PrintCapabilitiesXmlDocument& other) = default;
    PrintCapabilitiesXmlDocument& operator=(const PrintCapabilitiesXmlDocument& other) = default;
    ~PrintCapabilitiesXmlDocument() override;

    void DebugDumpXmlToFileInTempDirectory(CXString name);

    // F:ParameterDef named prefix + name holding, in this order, the properties DataType,
    // DefaultValue, MaxValue, MinValue, Mandatory (K + mandatory), UnitType, then Multiple
    // when multiple > 0 and K:DisplayName when the display name is not empty. S_OK.
    HRESULT CreateIntegerParameterDef(BSTR prefix, BSTR name, BSTR mandatory, BSTR displayName,
                                      int defaultValue, int minimum, int maximum, int multiple,
                                      BSTR unitType, IXMLDOMElement** definition);
    // As the integer definition with decimal limits; the default value is typed string. A
    // number that is infinite or NaN raises E_INVALIDARG.
    HRESULT CreateRealParameterDef(BSTR prefix, BSTR name, BSTR mandatory, BSTR displayName,
                                   float defaultValue, float minimum, float maximum, float multiple,
                                   BSTR unitType, IXMLDOMElement** definition);
    // DataType, MaxLength, MinLength, Mandatory, UnitType, K:DisplayName (when not empty),
    // DefaultValue (also when empty).
    HRESULT CreateStringParameterDef(BSTR prefix, BSTR name, BSTR mandatory, BSTR displayName,
                                     BSTR defaultValue, int minimumLength, int maximumLength,
                                     BSTR unitType, IXMLDOMElement** definition);
    // F:Feature named K + name, with a K:DisplayName property when the display name is not
    // empty; the pick-one form adds SelectionType = K:PickOne.
    HRESULT CreateFeature(BSTR name, BSTR displayName, IXMLDOMElement** feature);
    HRESULT CreatePickOneFeature(BSTR name, BSTR displayName, IXMLDOMElement** feature);
    // F:Option named prefix + name (both required), with a K:DisplayName property when the
    // display name is not empty and constrained = K + constraint when that is not empty.
    HRESULT CreateOption(BSTR name, BSTR prefix, BSTR displayName, BSTR constraint,
                         IXMLDOMElement** option);
    void CreateAndAppendOption(BSTR name, BSTR prefix, BSTR displayName, BSTR constraint,
                               IXMLDOMElement* parent);
    // Replaces the text of the node's own K:DisplayName property: S_OK, or 0x80070490 when it
    // has none.
    HRESULT ReplaceDisplayNamePropertyValue(IXMLDOMNode* node, BSTR displayName);
    // The same for the feature's option named prefix + name: S_OK (also when the option has no
    // display name), or S_FALSE when there is no such option.
    HRESULT ReplaceOptionDisplayNamePropertyValue(IXMLDOMNode* feature, BSTR prefix,
                                                  BSTR optionName, BSTR displayName);
    // The feature's Option children (a possibly empty list).
    CComPtr<IXMLDOMNodeList> GetChildOptionNodes(IXMLDOMNode* feature);
    // The text of the first ScoredProperty named K + name below the node; E_FAIL when it is
    // absent or empty. The integer form reads it as _wtoi does.
    CXString GetChildScoredPropertyValueAsString(IXMLDOMNode* node, BSTR name);
    int GetChildScoredPropertyValueAsInteger(IXMLDOMNode* node, BSTR name);
    // The feature's Option named prefix + name: S_OK, or S_FALSE with null.
    HRESULT GetChildOptionNodeIfExists(IXMLDOMNode* feature, BSTR prefix, BSTR name,
                                       IXMLDOMNode** option);
    // The ParameterDef named prefix + name: S_OK, or S_FALSE with null; and its removal.
    HRESULT GetParameterDefNodeIfExists(BSTR prefix, BSTR name, IXMLDOMNode** definition);
    HRESULT DeleteParameterDefNodeIfExists(BSTR prefix, BSTR name);

private:
    CComPtr<IXMLDOMElement> MakeParameterDef(BSTR prefix, BSTR name);
    void AppendDisplayName(IXMLDOMElement* element, BSTR displayName);
};
