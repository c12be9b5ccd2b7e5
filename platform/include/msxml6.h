// MSXML 6: the XML DOM with XPath selection, and the SAX reader.
//
// Interfaces keep MSXML's names, signatures and method order; the IDispatch layer and
// methods nobody here calls are left out. Objects come from CoCreateInstance:
// CLSID_DOMDocument60 ("Msxml2.DOMDocument.6.0") for IID_IXMLDOMDocument2 (or any DOM
// interface a document answers), CLSID_SAXXMLReader60 ("Msxml2.SAXXMLReader.6.0") for
// IID_ISAXXMLReader.
//
// Conventions of this implementation, shared by every method below:
// - "Nothing" is S_FALSE with a null out value: no parent, no sibling, no match, no such
//   attribute, an element's nodeValue (VT_NULL), no prefix or namespace URI.
// - A null out pointer gives E_INVALIDARG; so does a node that does not fit the call (not a
//   child of this node, from another document, an ancestor of the parent). A child the parent
//   cannot hold (a second document element, text outside it, the XML declaration anywhere
//   but first), a name that is not an XML name, or a namespace conflict gives E_FAIL.
// - Nodes are reference-counted objects; one XML node has at most one live object, so two
//   queries that find the same node give the same pointer. A node removed from the tree
//   stays usable while referenced; its parentNode is then S_FALSE and null.
// - Node lists (selectNodes, childNodes) are snapshots; attribute maps are live.
// - Namespace declarations are written by the serialiser where a node needs them; those
//   loaded from text (or added as "xmlns:p" attributes) appear in the element's attribute
//   map after its ordinary attributes.
// - Text passed in must hold only characters XML can carry: anything else (a control
//   character, an unpaired surrogate) gives E_INVALIDARG, so a document never serialises
//   to text that does not parse.
#pragma once

#include "objbase.h"

// clang-format reads MIDL_INTERFACE bodies as expressions and would write
// "BSTR * name".
// clang-format off

enum DOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12,
};

struct IXMLDOMDocument;
struct IXMLDOMNodeList;
struct IXMLDOMNamedNodeMap;
struct IXMLDOMElement;
struct IXMLDOMAttribute;
struct IXMLDOMText;
struct IXMLDOMComment;
struct IXMLDOMCDATASection;
struct IXMLDOMProcessingInstruction;
struct IXMLDOMParseError;

MIDL_INTERFACE("2933BF80-7B36-11d2-B20E-00C04F983E60") IXMLDOMNode : public IUnknown {
    // "#document", "#text", "#cdata-section", "#comment", the qualified name of an element
    // or attribute, the target of a processing instruction.
    virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
    // VT_BSTR for attributes, text, CDATA, comments and processing instructions; VT_NULL
    // and S_FALSE for elements and the document.
    virtual HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** children) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** child) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** child) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** sibling) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** sibling) = 0;
    // Elements only; other nodes give S_FALSE and null.
    virtual HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
    // refChild: VT_UNKNOWN or VT_DISPATCH holding the reference child; VT_EMPTY, VT_NULL or
    // a null pointer appends.
    virtual HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode* newChild, VARIANT refChild,
                                                   IXMLDOMNode** outNewChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode* newChild, IXMLDOMNode* oldChild,
                                                   IXMLDOMNode** outOldChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* childNode,
                                                  IXMLDOMNode** oldChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* newChild,
                                                  IXMLDOMNode** outNewChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* hasChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** document) = 0;
    virtual HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL deep, IXMLDOMNode** cloneRoot) = 0;
    // The concatenated text of descendant text and CDATA nodes, leading and trailing
    // whitespace trimmed (kept under xml:space="preserve" or preserveWhiteSpace); an
    // attribute's value as it is.
    virtual HRESULT STDMETHODCALLTYPE get_text(BSTR* text) = 0;
    // Elements: replaces every child by one text node.
    virtual HRESULT STDMETHODCALLTYPE put_text(BSTR text) = 0;
    // Untyped: VT_BSTR holding get_text's result.
    virtual HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* typedValue) = 0;
    // The node serialised as UTF-16 text; a document begins with its XML declaration when it
    // has one.
    virtual HRESULT STDMETHODCALLTYPE get_xml(BSTR* xmlString) = 0;
    // XPath 1.0 with this node as the context node; prefixes come only from the document's
    // "SelectionNamespaces". A bad expression, an undeclared prefix or a result that is not
    // a node-set gives E_FAIL.
    virtual HRESULT STDMETHODCALLTYPE selectNodes(BSTR queryString,
                                                  IXMLDOMNodeList** resultList) = 0;
    virtual HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR queryString,
                                                       IXMLDOMNode** resultNode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR* namespaceURI) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_prefix(BSTR* prefix) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_baseName(BSTR* name) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMNode, 0x2933BF80, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
                     0x3E, 0x60);

MIDL_INTERFACE("2933BF82-7B36-11d2-B20E-00C04F983E60") IXMLDOMNodeList : public IUnknown {
    // S_FALSE and null past the end.
    virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) = 0;
    // S_FALSE and null at the end.
    virtual HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** nextItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE reset() = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMNodeList, 0x2933BF82, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

// An element's attributes: ordinary ones in document order, then its namespace declarations
// (nodeName "xmlns:p", or "xmlns" for a default namespace; value the URI). Names are matched
// as qualified names.
MIDL_INTERFACE("2933BF83-7B36-11d2-B20E-00C04F983E60") IXMLDOMNamedNodeMap : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** namedItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE setNamedItem(IXMLDOMNode* newItem,
                                                   IXMLDOMNode** nameItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeNamedItem(BSTR name, IXMLDOMNode** namedItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** nextItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE reset() = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMNamedNodeMap, 0x2933BF83, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF81-7B36-11d2-B20E-00C04F983E60") IXMLDOMDocument : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE createTextNode(BSTR data, IXMLDOMText** text) = 0;
    virtual HRESULT STDMETHODCALLTYPE createComment(BSTR data, IXMLDOMComment** comment) = 0;
    virtual HRESULT STDMETHODCALLTYPE createCDATASection(BSTR data,
                                                         IXMLDOMCDATASection** cdata) = 0;
    // Target "xml" makes the XML declaration (data trimmed; pseudo-attributes version,
    // encoding and standalone only); put it in place with replaceChild of the first child.
    virtual HRESULT STDMETHODCALLTYPE createProcessingInstruction(
        BSTR target, BSTR data, IXMLDOMProcessingInstruction** pi) = 0;
    virtual HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) = 0;
    // type: VT_I4 (or another integer type) holding a DOMNodeType, or VT_BSTR "element",
    // "attribute", "text", "cdatasection", "comment", "processinginstruction"; other types
    // give E_INVALIDARG. namespaceURI may be null or empty for no namespace; a prefixed name
    // needs one. "xmlns" and "xmlns:p" attributes are namespace declarations.
    virtual HRESULT STDMETHODCALLTYPE createNode(VARIANT type, BSTR name, BSTR namespaceURI,
                                                 IXMLDOMNode** node) = 0;
    // xmlSource: VT_UNKNOWN (or VT_DISPATCH) holding an IStream or ISequentialStream, read to
    // its end from where it stands. S_OK and VARIANT_TRUE on success; S_FALSE and
    // VARIANT_FALSE when the bytes are not a well-formed document this parser accepts (DTDs,
    // external entities, elements nested deeper than 256 and input over 64 MiB are refused);
    // the document is then empty. A failing Read is returned as is.
    virtual HRESULT STDMETHODCALLTYPE load(VARIANT xmlSource, VARIANT_BOOL* isSuccessful) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** errorObj) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL* isAsync) = 0;
    // Loading is always synchronous; the flag is only remembered.
    virtual HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) = 0;
    // The text is UTF-16 whatever its XML declaration says.
    virtual HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL* isPreserving) = 0;
    // False (the default): whitespace-only text is dropped at load, except under
    // xml:space="preserve".
    virtual HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL isPreserving) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMDocument, 0x2933BF81, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF95-7B36-11d2-B20E-00C04F983E60") IXMLDOMDocument2 : public IXMLDOMDocument {
    // "SelectionLanguage": "XPath" only. "SelectionNamespaces": whitespace-separated
    // declarations xmlns:p='uri' (either quote), replacing the whole mapping; a malformed
    // string, a default namespace or an empty URI gives E_FAIL and leaves no mapping.
    // Names are case-sensitive; any other property gives E_FAIL.
    virtual HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMDocument2, 0x2933BF95, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF86-7B36-11d2-B20E-00C04F983E60") IXMLDOMElement : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_tagName(BSTR* tagName) = 0;
    // VT_BSTR, or VT_NULL and S_FALSE when absent. "xmlns:p" reads a declaration.
    virtual HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) = 0;
    // An unprefixed name has no namespace; "p:x" takes p's namespace in scope here (E_FAIL
    // when p is not bound); "xmlns:p" and "xmlns" set declarations. value: VT_BSTR or an
    // integer type.
    virtual HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeAttribute(BSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE getAttributeNode(BSTR name,
                                                       IXMLDOMAttribute** attributeNode) = 0;
    // Attaches an attribute that belongs to no element, replacing one of the same name
    // (handed back in attributeNode, else null). E_FAIL for an unprefixed attribute in a
    // namespace or a prefix bound differently on this element.
    virtual HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMAttribute* newAttribute,
                                                       IXMLDOMAttribute** attributeNode) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeAttributeNode(IXMLDOMAttribute* oldAttribute,
                                                          IXMLDOMAttribute** attributeNode) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMElement, 0x2933BF86, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
                     0x3E, 0x60);

MIDL_INTERFACE("2933BF85-7B36-11d2-B20E-00C04F983E60") IXMLDOMAttribute : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_name(BSTR* attributeName) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_value(VARIANT* attributeValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_value(VARIANT attributeValue) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMAttribute, 0x2933BF85, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF84-7B36-11d2-B20E-00C04F983E60") IXMLDOMCharacterData : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_data(BSTR* data) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_data(BSTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_length(LONG* dataLength) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMCharacterData, 0x2933BF84, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF87-7B36-11d2-B20E-00C04F983E60") IXMLDOMText : public IXMLDOMCharacterData{};
PLATFORM_DECLARE_IID(IXMLDOMText, 0x2933BF87, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
                     0x3E, 0x60);

MIDL_INTERFACE("2933BF88-7B36-11d2-B20E-00C04F983E60")
IXMLDOMComment : public IXMLDOMCharacterData{};
PLATFORM_DECLARE_IID(IXMLDOMComment, 0x2933BF88, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
                     0x3E, 0x60);

MIDL_INTERFACE("2933BF8A-7B36-11d2-B20E-00C04F983E60") IXMLDOMCDATASection : public IXMLDOMText{};
PLATFORM_DECLARE_IID(IXMLDOMCDATASection, 0x2933BF8A, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F,
                     0x98, 0x3E, 0x60);

MIDL_INTERFACE("2933BF89-7B36-11d2-B20E-00C04F983E60")
IXMLDOMProcessingInstruction : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE get_target(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_data(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_data(BSTR value) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMProcessingInstruction, 0x2933BF89, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00,
                     0xC0, 0x4F, 0x98, 0x3E, 0x60);

// Why the last load failed: errorCode E_FAIL and libxml2's reason; 0 after a successful
// load.
MIDL_INTERFACE("3efaa426-272f-11d2-836f-0000f87a7782") IXMLDOMParseError : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_errorCode(LONG* errorCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_reason(BSTR* reason) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_line(LONG* lineNumber) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_linepos(LONG* linePosition) = 0;
};
PLATFORM_DECLARE_IID(IXMLDOMParseError, 0x3efaa426, 0x272f, 0x11d2, 0x83, 0x6f, 0x00, 0x00, 0xf8,
                     0x7a, 0x77, 0x82);

// The document class. Its QueryInterface also answers IID_IStream (and ISequentialStream): a
// new memory stream, positioned at its start, holding the serialised document as UTF-8 bytes
// (with its XML declaration when it has one, the encoding named there given as UTF-8), a
// snapshot taken when the stream is made. Loading those bytes gives a document that writes
// the same bytes. The stream is an object of its own: it does not answer the DOM interfaces.
inline constexpr CLSID CLSID_DOMDocument60{
    0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};

// ---- SAX ----

MIDL_INTERFACE("9b7e472a-0de4-4640-bff3-84d38a051c31") ISAXLocator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getColumnNumber(int* column) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLineNumber(int* line) = 0;
    virtual HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** publicId) = 0;
    virtual HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** systemId) = 0;
};
PLATFORM_DECLARE_IID(ISAXLocator, 0x9b7e472a, 0x0de4, 0x4640, 0xbf, 0xf3, 0x84, 0xd3, 0x8a, 0x05,
                     0x1c, 0x31);

// The attributes of one startElement: ordinary ones first, then the namespace declarations
// (qualified name "xmlns:p" or "xmlns", local name p or "xmlns", empty URI, value the
// namespace). Every attribute's type is "CDATA". Texts are pointer and length, valid only
// during the callback, not terminated.
MIDL_INTERFACE("f078abe1-45d2-4832-91ea-4466ce2f25c9") ISAXAttributes : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getLength(int* length) = 0;
    virtual HRESULT STDMETHODCALLTYPE getURI(int index, const WCHAR** uri, int* uriLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLocalName(int index, const WCHAR** localName,
                                                   int* localNameLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getQName(int index, const WCHAR** qName,
                                               int* qNameLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getName(int index, const WCHAR** uri, int* uriLength,
                                              const WCHAR** localName, int* localNameLength,
                                              const WCHAR** qName, int* qNameLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* uri, int uriLength,
                                                       const WCHAR* localName, int localNameLength,
                                                       int* index) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* qName, int qNameLength,
                                                        int* index) = 0;
    virtual HRESULT STDMETHODCALLTYPE getType(int index, const WCHAR** type, int* typeLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* uri, int uriLength,
                                                      const WCHAR* localName, int localNameLength,
                                                      const WCHAR** type, int* typeLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* qName, int qNameLength,
                                                       const WCHAR** type, int* typeLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValue(int index, const WCHAR** value,
                                               int* valueLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromName(const WCHAR* uri, int uriLength,
                                                       const WCHAR* localName, int localNameLength,
                                                       const WCHAR** value, int* valueLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromQName(const WCHAR* qName, int qNameLength,
                                                        const WCHAR** value, int* valueLength) = 0;
};
PLATFORM_DECLARE_IID(ISAXAttributes, 0xf078abe1, 0x45d2, 0x4832, 0x91, 0xea, 0x44, 0x66, 0xce, 0x2f,
                     0x25, 0xc9);

// Implemented by the caller. A callback that answers a failure stops the parse, and parse
// returns that failure.
MIDL_INTERFACE("1545cdfa-9e4e-4497-a8a4-2bf7d0112c44") ISAXContentHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* locator) = 0;
    virtual HRESULT STDMETHODCALLTYPE startDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE endDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* prefix, int prefixLength,
                                                         const WCHAR* uri, int uriLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* prefix, int prefixLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE startElement(
        const WCHAR* namespaceUri, int namespaceUriLength, const WCHAR* localName,
        int localNameLength, const WCHAR* qName, int qNameLength, ISAXAttributes* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE endElement(const WCHAR* namespaceUri, int namespaceUriLength,
                                                 const WCHAR* localName, int localNameLength,
                                                 const WCHAR* qName, int qNameLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE characters(const WCHAR* chars, int charsLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* chars, int charsLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* target, int targetLength,
                                                            const WCHAR* data, int dataLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* name, int nameLength) = 0;
};
PLATFORM_DECLARE_IID(ISAXContentHandler, 0x1545cdfa, 0x9e4e, 0x4497, 0xa8, 0xa4, 0x2b, 0xf7, 0xd0,
                     0x11, 0x2c, 0x44);

MIDL_INTERFACE("a4f96ed0-f829-476e-81c0-cdc7bd2a0802") ISAXXMLReader : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) = 0;
    // input: VT_BSTR (the document as UTF-16 text), or VT_UNKNOWN or VT_DISPATCH holding an
    // IStream or ISequentialStream (read to its end, in chunks). Without a content handler
    // the document is only checked. A document that is not well-formed (or has a DTD, or
    // nests deeper than 256) gives E_FAIL; a handler's failure, or a failing Read, is
    // returned as is. A handler that throws stops the parse too: std::bad_alloc gives
    // E_OUTOFMEMORY, ATL::CAtlException its HRESULT, anything else E_FAIL. The XML
    // declaration and comments are not reported; CDATA sections come as characters.
    virtual HRESULT STDMETHODCALLTYPE parse(VARIANT input) = 0;
};
PLATFORM_DECLARE_IID(ISAXXMLReader, 0xa4f96ed0, 0xf829, 0x476e, 0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a,
                     0x08, 0x02);

inline constexpr CLSID CLSID_SAXXMLReader60{
    0x88D96A0C, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
// clang-format on
