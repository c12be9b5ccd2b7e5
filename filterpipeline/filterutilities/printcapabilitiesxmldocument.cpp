#include <filterutilities/printcapabilitiesxmldocument.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/schematext.h>

#include <kldutil/number.h>

#include <cmath>

using SchemaText::IsEmpty;
using SchemaText::Join;
using SchemaText::NumberText;
using SchemaText::View;

PrintCapabilitiesXmlDocument::PrintCapabilitiesXmlDocument(IXMLDOMDocument2* document)
    : PrintSchemaXmlDocument(CComBSTR(u"PrintCapabilities"), document) {}

PrintCapabilitiesXmlDocument::~PrintCapabilitiesXmlDocument() = default;

void PrintCapabilitiesXmlDocument::DebugDumpXmlToFileInTempDirectory(CXString name) {
    PrintSchemaXmlDocument::DebugDumpXmlToFileInTempDirectory(CXString(u"PrintCapabilities_"),
                                                              std::move(name));
}

// ---------------------------------------------------------------------------------------------
// Parameter definitions

CComPtr<IXMLDOMElement> PrintCapabilitiesXmlDocument::MakeParameterDef(BSTR prefix, BSTR name) {
    CComPtr<IXMLDOMElement> definition = MakeFrameworkElement(u"ParameterDef");
    SetNameAttribute(definition, View(prefix), View(name));
    return definition;
}

void PrintCapabilitiesXmlDocument::AppendDisplayName(IXMLDOMElement* element, BSTR displayName) {
    if (!IsEmpty(displayName)) {
        AppendNode(element, MakeTypedProperty(View(m_keywordsPrefix), u"DisplayName", u"string",
                                              View(displayName)));
    }
}

HRESULT PrintCapabilitiesXmlDocument::CreateIntegerParameterDef(
    BSTR prefix, BSTR name, BSTR mandatory, BSTR displayName, int defaultValue, int minimum,
    int maximum, int multiple, BSTR unitType, IXMLDOMElement** definition) {
    if (!definition) {
        FU_THROW_HR(E_POINTER);
    }
    *definition = nullptr;
    CComPtr<IXMLDOMElement> parameter = MakeParameterDef(prefix, name);
    parameter.CopyTo(definition); // what is made so far stays with the caller on failure
    const std::u16string_view framework = View(m_frameworkPrefix);
    const CComBSTR dataType = Join({SchemaPrefix(), u"integer"});
    const CComBSTR mandatoryKeyword = Join({View(m_keywordsPrefix), View(mandatory)});
    const CComPtr<IXMLDOMElement> properties[] = {
        MakeTypedProperty(framework, u"DataType", u"QName", View(dataType)),
        MakeTypedProperty(framework, u"DefaultValue", u"integer",
                          NumberText::Integer(defaultValue)),
        MakeTypedProperty(framework, u"MaxValue", u"integer", NumberText::Integer(maximum)),
        MakeTypedProperty(framework, u"MinValue", u"integer", NumberText::Integer(minimum)),
        MakeTypedProperty(framework, u"Mandatory", u"QName", View(mandatoryKeyword)),
        MakeTypedProperty(framework, u"UnitType", u"string", View(unitType)),
    };
    for (const CComPtr<IXMLDOMElement>& property : properties) {
        AppendNode(parameter, property);
    }
    if (multiple > 0) {
        AppendNode(parameter, MakeTypedProperty(framework, u"Multiple", u"integer",
                                                NumberText::Integer(multiple)));
    }
    AppendDisplayName(parameter, displayName);
    return S_OK;
}

HRESULT PrintCapabilitiesXmlDocument::CreateRealParameterDef(BSTR prefix, BSTR name, BSTR mandatory,
                                                             BSTR displayName, float defaultValue,
                                                             float minimum, float maximum,
                                                             float multiple, BSTR unitType,
                                                             IXMLDOMElement** definition) {
    if (!definition) {
        FU_THROW_HR(E_POINTER);
    }
    *definition = nullptr;
    // A Print Schema decimal has no infinity or NaN.
    if (!std::isfinite(defaultValue) || !std::isfinite(minimum) || !std::isfinite(maximum) ||
        !std::isfinite(multiple)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMElement> parameter = MakeParameterDef(prefix, name);
    parameter.CopyTo(definition);
    const std::u16string_view framework = View(m_frameworkPrefix);
    const CComBSTR dataType = Join({SchemaPrefix(), u"decimal"});
    const CComBSTR mandatoryKeyword = Join({View(m_keywordsPrefix), View(mandatory)});
    const CComPtr<IXMLDOMElement> properties[] = {
        MakeTypedProperty(framework, u"DataType", u"QName", View(dataType)),
        MakeTypedProperty(framework, u"DefaultValue", u"string",
                          NumberText::Fixed2(static_cast<double>(defaultValue))),
        MakeTypedProperty(framework, u"MaxValue", u"decimal",
                          NumberText::Fixed2(static_cast<double>(maximum))),
        MakeTypedProperty(framework, u"MinValue", u"decimal",
                          NumberText::Fixed2(static_cast<double>(minimum))),
        MakeTypedProperty(framework, u"Mandatory", u"QName", View(mandatoryKeyword)),
        MakeTypedProperty(framework, u"UnitType", u"string", View(unitType)),
    };
    for (const CComPtr<IXMLDOMElement>& property : properties) {
        AppendNode(parameter, property);
    }
    if (multiple > 0.0f) {
        AppendNode(parameter, MakeTypedProperty(framework, u"Multiple", u"decimal",
                                                NumberText::Fixed2(static_cast<double>(multiple))));
    }
    AppendDisplayName(parameter, displayName);
    return S_OK;
}

HRESULT PrintCapabilitiesXmlDocument::CreateStringParameterDef(BSTR prefix, BSTR name,
                                                               BSTR mandatory, BSTR displayName,
                                                               BSTR defaultValue, int minimumLength,
                                                               int maximumLength, BSTR unitType,
                                                               IXMLDOMElement** definition) {
    if (!definition) {
        FU_THROW_HR(E_POINTER);
    }
    *definition = nullptr;
    CComPtr<IXMLDOMElement> parameter = MakeParameterDef(prefix, name);
    parameter.CopyTo(definition);
    const std::u16string_view framework = View(m_frameworkPrefix);
    const CComBSTR dataType = Join({SchemaPrefix(), u"string"});
    const CComBSTR mandatoryKeyword = Join({View(m_keywordsPrefix), View(mandatory)});
    const CComPtr<IXMLDOMElement> properties[] = {
        MakeTypedProperty(framework, u"DataType", u"QName", View(dataType)),
        MakeTypedProperty(framework, u"MaxLength", u"integer", NumberText::Integer(maximumLength)),
        MakeTypedProperty(framework, u"MinLength", u"integer", NumberText::Integer(minimumLength)),
        MakeTypedProperty(framework, u"Mandatory", u"QName", View(mandatoryKeyword)),
        MakeTypedProperty(framework, u"UnitType", u"string", View(unitType)),
    };
    for (const CComPtr<IXMLDOMElement>& property : properties) {
        AppendNode(parameter, property);
    }
    AppendDisplayName(parameter, displayName);
    AppendNode(parameter,
               MakeTypedProperty(framework, u"DefaultValue", u"string", View(defaultValue)));
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Features and options

HRESULT PrintCapabilitiesXmlDocument::CreateFeature(BSTR name, BSTR displayName,
                                                    IXMLDOMElement** feature) {
    if (!feature) {
        FU_THROW_HR(E_POINTER);
    }
    *feature = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMElement> element = MakeFrameworkElement(u"Feature");
    SetNameAttribute(element, View(m_keywordsPrefix), View(name));
    AppendDisplayName(element, displayName);
    *feature = element.Detach();
    return S_OK;
}

HRESULT PrintCapabilitiesXmlDocument::CreatePickOneFeature(BSTR name, BSTR displayName,
                                                           IXMLDOMElement** feature) {
    if (!feature) {
        FU_THROW_HR(E_POINTER);
    }
    *feature = nullptr;
    CComPtr<IXMLDOMElement> element;
    CreateFeature(name, displayName, &element);
    const CComBSTR pickOne = Join({View(m_keywordsPrefix), u"PickOne"});
    AppendNode(element, MakeTypedProperty(View(m_frameworkPrefix), u"SelectionType", u"QName",
                                          View(pickOne)));
    *feature = element.Detach();
    return S_OK;
}

HRESULT PrintCapabilitiesXmlDocument::CreateOption(BSTR name, BSTR prefix, BSTR displayName,
                                                   BSTR constraint, IXMLDOMElement** option) {
    if (IsEmpty(name) || IsEmpty(prefix)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (!option) {
        FU_THROW_HR(E_POINTER);
    }
    *option = nullptr;
    CComPtr<IXMLDOMElement> element = MakeFrameworkElement(u"Option");
    SetNameAttribute(element, View(prefix), View(name));
    AppendDisplayName(element, displayName);
    if (!IsEmpty(constraint)) {
        const CComBSTR constrained = Join({View(m_keywordsPrefix), View(constraint)});
        SetPlainAttribute(element, u"constrained", View(constrained));
    }
    *option = element.Detach();
    return S_OK;
}

void PrintCapabilitiesXmlDocument::CreateAndAppendOption(BSTR name, BSTR prefix, BSTR displayName,
                                                         BSTR constraint, IXMLDOMElement* parent) {
    CComPtr<IXMLDOMElement> option;
    CreateOption(name, prefix, displayName, constraint, &option);
    AppendChild(parent, option);
}

HRESULT PrintCapabilitiesXmlDocument::ReplaceDisplayNamePropertyValue(IXMLDOMNode* node,
                                                                      BSTR displayName) {
    if (!node) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrintTicketQueryBuilder builder(m_frameworkPrefix, u".");
    builder.AddChildPropertyValue(View(m_keywordsPrefix), u"DisplayName");
    CComPtr<IXMLDOMNode> value;
    if (SelectSingle(node, builder.QueryText(), &value) != S_OK) {
        return PrintSchema::E_ELEMENT_NOT_FOUND;
    }
    FU_THROW_IF_FAILED(value->put_text(displayName ? displayName : CComBSTR(u"").m_str));
    return S_OK;
}

HRESULT PrintCapabilitiesXmlDocument::ReplaceOptionDisplayNamePropertyValue(IXMLDOMNode* feature,
                                                                            BSTR prefix,
                                                                            BSTR optionName,
                                                                            BSTR displayName) {
    if (IsEmpty(optionName) || IsEmpty(prefix) || IsEmpty(displayName)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (!feature) {
        FU_THROW_HR(E_POINTER);
    }
    CComPtr<IXMLDOMNode> option;
    const HRESULT hr = GetChildOptionNodeIfExists(feature, prefix, optionName, &option);
    if (hr != S_OK) {
        return hr;
    }
    ReplaceDisplayNamePropertyValue(option, displayName);
    return S_OK;
}

CComPtr<IXMLDOMNodeList> PrintCapabilitiesXmlDocument::GetChildOptionNodes(IXMLDOMNode* feature) {
    if (!feature) {
        FU_THROW_HR(E_POINTER);
    }
    return SelectAll(feature, Join({u"./", View(m_frameworkPrefix), u"Option"}));
}

CXString PrintCapabilitiesXmlDocument::GetChildScoredPropertyValueAsString(IXMLDOMNode* node,
                                                                           BSTR name) {
    if (!node) {
        FU_THROW_HR(E_POINTER);
    }
    PrintTicketQueryBuilder builder(m_frameworkPrefix, u".");
    builder.AddScoredProperty(View(m_keywordsPrefix), View(name));
    CComPtr<IXMLDOMNode> scored;
    if (SelectSingle(node, builder.QueryText(), &scored) != S_OK) {
        FU_THROW_HR(E_FAIL);
    }
    const CComBSTR text = GetTypedValueText(scored);
    if (text.Length() == 0) {
        FU_THROW_HR(E_FAIL);
    }
    return CXString(View(text));
}

int PrintCapabilitiesXmlDocument::GetChildScoredPropertyValueAsInteger(IXMLDOMNode* node,
                                                                       BSTR name) {
    return Number::ParseInt(GetChildScoredPropertyValueAsString(node, name));
}

HRESULT PrintCapabilitiesXmlDocument::GetChildOptionNodeIfExists(IXMLDOMNode* feature, BSTR prefix,
                                                                 BSTR name, IXMLDOMNode** option) {
    if (!feature || !option) {
        FU_THROW_HR(E_POINTER);
    }
    *option = nullptr;
    PrintTicketQueryBuilder builder(m_frameworkPrefix, u".");
    builder.AddChildOptionName(prefix, name);
    return SelectSingle(feature, builder.QueryText(), option);
}

HRESULT PrintCapabilitiesXmlDocument::GetParameterDefNodeIfExists(BSTR prefix, BSTR name,
                                                                  IXMLDOMNode** definition) {
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddParameterDef(prefix, name);
    return GetNode(builder.QueryText(), definition);
}

HRESULT PrintCapabilitiesXmlDocument::DeleteParameterDefNodeIfExists(BSTR prefix, BSTR name) {
    CComPtr<IXMLDOMNode> definition;
    if (GetParameterDefNodeIfExists(prefix, name, &definition) != S_OK) {
        return S_FALSE;
    }
    return DeleteNode(definition);
}
