// PrintTicketXmlDocument: a print ticket (root element PrintTicket) over an MSXML DOM.
//
// Reading: features, the option selected in a feature or sub-feature, scored property values
// (a ParameterRef is followed to its ParameterInit) and ParameterInit look-ups. Feature,
// sub-feature and scored property names are given without prefix; the keywords prefix is put
// before them. A missing feature, option or value is 0x80070490 (returned, not raised); the
// ParameterInit look-ups answer S_FALSE.
//
// Editing: Feature/Option pairs, ParameterRef/ParameterInit pairs and ParameterInit elements,
// made unattached for the caller to place (or appended to the root by the Append...
// operations), and removal of ParameterInit and Property elements.
//
// The base class's contract holds: failures are raised as KeldanComException, a failed string
// allocation raises ATL::CAtlException(E_OUTOFMEMORY); strings and nodes handed out belong to
// the caller; BSTR arguments must be BSTRs.
#pragma once

#include <filterutilities/printschemaxmldocument.h>

#include <kldutil/bytebuffer.h>

#include <windows.h>

class FILTERUTILITIES_API PrintTicketXmlDocument : public PrintSchemaXmlDocument {
public:
    // Raises as the base constructor does, for example S_FALSE when the document holds no
    // framework PrintTicket element.
    explicit PrintTicketXmlDocument(IXMLDOMDocument2* document);
    PrintTicketXmlDocument(const PrintTicketXmlDocument& other) = default;
    PrintTicketXmlDocument& operator=(const PrintTicketXmlDocument& other) = default;
    ~PrintTicketXmlDocument() override;

    void DebugDumpXmlToFileInTempDirectory(CXString name);

    // --- Reading ---

    // The name of the element the caller's expression selects, less the keywords prefix
    // (a name in another namespace keeps its prefix). S_OK, or 0x80070490 when nothing is
    // selected or the element has no name.
    HRESULT QueryNodeOption(BSTR query, BSTR* name);
    // S_OK when the ticket has a Feature named K + feature (handed out when node is given),
    // else 0x80070490.
    HRESULT FeaturePresent(BSTR feature, IXMLDOMNode** node);
    // The option selected in a feature: the name of its Option, or the value of its own
    // OptionName scored property, whichever stands first. option receives the local name,
    // prefix (when given) the prefix with its colon, whatever namespace it is. 0x80070490 when
    // there is none; a name without a colon raises E_FAIL. Out-parameters are written only on
    // success.
    HRESULT GetFeatureOption(BSTR feature, BSTR* option, BSTR* prefix = nullptr);
    // The option of a sub-feature at any depth below the feature, less the keywords prefix.
    HRESULT GetSubFeatureOption(BSTR feature, BSTR subFeature, BSTR* option);
    // The value of a ScoredProperty named K + property at any depth below the feature.
    HRESULT GetScoredPropertyValue(BSTR feature, BSTR property, BSTR* value);
    HRESULT GetScoredPropertyValue(BSTR feature, BSTR property, int* value);
    HRESULT GetScoredPropertyValue(BSTR feature, BSTR property, float* value);
    // The ParameterInit named prefix + name (prefix may be empty), or its Value child:
    // S_OK, or S_FALSE with null.
    HRESULT GetParameterInitNodeIfExists(BSTR prefix, BSTR name, IXMLDOMNode** node);
    HRESULT GetParameterInitValueNodeIfExists(BSTR prefix, BSTR name, IXMLDOMNode** node);

    // --- Editing ---

    // F:Feature named (K, or the user keywords prefix when keyword is false) + feature,
    // holding one F:Option without name. Both elements are handed out; S_OK. A private name
    // declares the driver's namespace on the root first (see the base class).
    HRESULT CreateFeatureOptionPair(bool keyword, BSTR feature, IXMLDOMElement** featureElement,
                                    IXMLDOMElement** optionElement);
    // ... the option named (K, or the user keywords prefix) + option.
    HRESULT CreateFeatureOptionPair(bool featureKeyword, BSTR feature, bool optionKeyword,
                                    BSTR option, IXMLDOMElement** featureElement,
                                    IXMLDOMElement** optionElement);
    // F:ParameterRef and F:ParameterInit named K + name, the initialiser holding a Value of
    // type S + type (type without prefix, for example "string") with the text value.
    HRESULT CreateParamRefInitPair(BSTR name, BSTR type, BSTR value, IXMLDOMElement** reference,
                                   IXMLDOMElement** initialiser);
    // ... with an integer value.
    HRESULT CreateParamRefInitPair(BSTR name, int value, IXMLDOMElement** reference,
                                   IXMLDOMElement** initialiser);
    // Appends child to the element selected by F + name from the document node (so
    // "PrintTicket" is the root). A name that selects no element raises 0x80070490.
    HRESULT AppendToElement(BSTR name, IXMLDOMNode* child);
    // F:ParameterInit named prefix + name (prefix required) holding a Value: typed string,
    // typed integer, or untyped.
    void CreateStringParameterInit(BSTR prefix, BSTR name, BSTR value,
                                   IXMLDOMElement** initialiser);
    void CreateIntegerParameterInit(BSTR prefix, BSTR name, int value,
                                    IXMLDOMElement** initialiser);
    void CreateUntypedParameterInitFromString(BSTR prefix, BSTR name, BSTR value,
                                              IXMLDOMElement** initialiser);
    // The same, appended as the last child of the root element (an existing ParameterInit of
    // that name is not replaced; delete it first).
    void AppendStringParameterInit(BSTR prefix, BSTR name, BSTR value);
    void AppendIntegerParameterInit(BSTR prefix, BSTR name, int value);
    // Deletes the first ParameterInit named prefix + name: S_OK, or S_FALSE when absent.
    HRESULT DeleteParameterInitNodeIfExists(BSTR prefix, BSTR name);
    // Deletes the first Property named F + name: S_OK, or S_FALSE when absent.
    HRESULT DeleteProperty(BSTR name);
    // Deletes every ParameterInit that no ParameterRef of the ticket names (compared exactly,
    // letter case included); with no ParameterRef at all, every ParameterInit goes. An
    // initialiser without a name stays while there are references. All go or, on a failure,
    // none. S_OK.
    HRESULT DeleteOrphanedParameterInits();

private:
    // Removes the first occurrence of the keywords prefix from *name.
    HRESULT StripKeywordNamespace(BSTR* name);
    // Removes every initialiser whose name no reference carries (all or none).
    HRESULT DeleteParamInitOrphans(IXMLDOMNodeList* references, IXMLDOMNodeList* initialisers);
    // Removes every node of the list from its parent (all or none).
    HRESULT DeleteNodeList(IXMLDOMNodeList* list);

    CComPtr<IXMLDOMElement> MakeParameterInit(std::u16string_view prefix, std::u16string_view name,
                                              std::u16string_view type, std::u16string_view value);
    HRESULT MakeParamRefInitPair(BSTR name, std::u16string_view type, std::u16string_view value,
                                 IXMLDOMElement** reference, IXMLDOMElement** initialiser);
    // The option query of GetFeatureOption and GetSubFeatureOption.
    PrintTicketQueryBuilder OptionQuery(BSTR feature, BSTR subFeature) const;

    // ---------------------------------------------------------------------------------------
    // Driver payloads: the page devmode snapshot and the Kjtf job ticket.
    //
    // Both are string ParameterInit elements named with the user keywords prefix. The
    // snapshot ("PageDevmodeSnapshot") holds the driver's whole devmode, its dmSize +
    // dmDriverExtra bytes, as Base64 without line breaks; the job ticket
    // ("JobKeldanKjtfJobTicket") holds the driver's job ticket text wrapped as
    // "<![CDATA[\n...\n]]>" in the Value's text. Both writers first make sure that the root
    // binds the user keywords prefix to the driver's namespace (a ticket that does not declare
    // it gets xmlns:pk, taken back if the payload cannot be written), so that a payload is
    // never named in no namespace or in another driver's.
public:
    // Stores the devmode as the ticket's only snapshot, the last child of the root; earlier
    // snapshots are removed once the new one is in place, so a failure leaves the old one.
    // S_OK; E_POINTER for a null devmode; E_INVALIDARG when dmSize does not even cover the
    // devmode's own size fields; E_FAIL when the encoder fails; a DOM failure's HRESULT.
    // The devmode must be readable for dmSize + dmDriverExtra bytes.
    HRESULT AddOrReplacePageDevmodeSnapshotInPrintTicket(const DEVMODEW* devmode);
    // The decoded bytes of the first snapshot; empty when the ticket has none, or an empty
    // one, or does not declare the driver's namespace. Text that is not Base64 raises
    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA) (0x8007000D) and leaves the buffer empty; DOM
    // failures are raised.
    void GetPageDevmodeSnapshotFromPrintTicket(ByteBuffer& devmode);
    // The snapshot when it is a devmode of this driver: S_OK with the devmode. S_FALSE with
    // an empty buffer when the ticket carries no snapshot; E_FAIL with an empty buffer when
    // the snapshot is no devmode of this driver (shorter than its own size fields say, no
    // private block, or a block whose size, signature, version or checksummed size differs);
    // 0x8007000D when the snapshot is not Base64; any other failure's HRESULT.
    HRESULT GetDevmodeFromPrintTicket(ByteBuffer& devmode);
    // Inserts a job ticket ParameterInit holding the payload (read as UTF-8 text up to its
    // first zero byte) as the first child of the root. Earlier job tickets stay. Raises
    // E_INVALIDARG, changing nothing, for a payload with characters an XML document cannot
    // carry (control characters other than tab, line feed and carriage return), and DOM
    // failures.
    void CreateKeldanKjtfParameterInit(const ByteBuffer& payload);
};
