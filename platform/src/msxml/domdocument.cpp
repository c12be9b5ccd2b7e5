#include "domdocument.h"

#include "com/classregistry.h"
#include "com/deferredcontent.h"
#include "domdeclaration.h"
#include "domserializer.h"
#include "xmldeclaration.h"
#include "xmltext.h"

#include "atlbase.h"

#include <libxml/parser.h>

#include <cstring>

namespace platform::msxml {
namespace {

// The reason of the last failed load.
class ParseError final : public com::Object<ParseError, IXMLDOMParseError> {
public:
    using Interfaces = com::InterfaceTable<IXMLDOMParseError>;

    ParseError(bool failed, const ParseFailure& failure) : failed_(failed), failure_(failure) {}
    HRESULT STDMETHODCALLTYPE get_errorCode(LONG* errorCode) override {
        if (!errorCode) {
            return E_INVALIDARG;
        }
        *errorCode = failed_ ? E_FAIL : S_OK;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_reason(BSTR* reason) override {
        return Guarded([&]() -> HRESULT {
            if (!reason) {
                return E_INVALIDARG;
            }
            if (!failed_) {
                *reason = nullptr;
                return S_FALSE;
            }
            return ReturnBstr(failure_.reason, reason);
        });
    }
    HRESULT STDMETHODCALLTYPE get_line(LONG* line) override {
        if (!line) {
            return E_INVALIDARG;
        }
        *line = failure_.line;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_linepos(LONG* position) override {
        if (!position) {
            return E_INVALIDARG;
        }
        *position = failure_.column;
        return S_OK;
    }

private:
    bool failed_;
    ParseFailure failure_;
};

bool NodeTypeFrom(const VARIANT& type, DOMNodeType& result) {
    LONG value = -1;
    switch (type.vt) {
    case VT_I1:
        value = type.cVal;
        break;
    case VT_I2:
        value = type.iVal;
        break;
    case VT_I4:
    case VT_INT:
        value = type.lVal;
        break;
    case VT_UI1:
        value = type.bVal;
        break;
    case VT_UI2:
        value = type.uiVal;
        break;
    case VT_UI4:
    case VT_UINT:
        value = static_cast<LONG>(type.ulVal);
        break;
    case VT_BSTR: {
        static constexpr std::pair<std::u16string_view, DOMNodeType> kNames[] = {
            {u"element", NODE_ELEMENT},
            {u"attribute", NODE_ATTRIBUTE},
            {u"text", NODE_TEXT},
            {u"cdatasection", NODE_CDATA_SECTION},
            {u"processinginstruction", NODE_PROCESSING_INSTRUCTION},
            {u"comment", NODE_COMMENT},
        };
        for (const auto& [name, nodeType] : kNames) {
            if (View(type.bstrVal) == name) {
                result = nodeType;
                return true;
            }
        }
        return false;
    }
    default:
        return false;
    }
    result = static_cast<DOMNodeType>(value);
    return true;
}

HRESULT ReadToEnd(ISequentialStream* stream, std::string& bytes, bool& tooLarge) {
    // Read through a buffer of our own: growing the string by a whole chunk before each read
    // would zero that chunk every time, which costs more than parsing a small ticket.
    char chunk[16 * 1024];
    tooLarge = false;
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(chunk, sizeof chunk, &read);
        if (FAILED(hr)) {
            return hr;
        }
        if (read > sizeof chunk) {
            return E_FAIL; // a stream that claims more than it was given room for
        }
        if (bytes.size() + read > kMaxDocumentBytes) {
            tooLarge = true;
            return S_OK;
        }
        bytes.append(chunk, read);
        if (read == 0 || hr == S_FALSE) {
            return S_OK;
        }
    }
}

const platform::ClassRegistration registration(CLSID_DOMDocument60, u"Msxml2.DOMDocument.6.0",
                                               &DomDocument::CreateInstance);

} // namespace

DomDocument* DomDocument::Make() {
    xmlInitParser();
    auto* doc = com::New<DomDocument>();
    if (doc && !doc->store_.Initialise()) {
        doc->Release();
        return nullptr;
    }
    if (doc) {
        doc->store_.SetChangeHook(&DomDocument::TakeSnapshots, doc);
    }
    return doc;
}

DomDocument::~DomDocument() = default;

void DomDocument::ListSnapshot(PendingSnapshot* snapshot) {
    pendingSnapshots_.push_back(snapshot);
    ++pendingCount_;
}

void DomDocument::ForgetSnapshot(PendingSnapshot* snapshot) noexcept {
    std::erase(pendingSnapshots_, snapshot);
    pendingCount_ = pendingSnapshots_.size();
}

void DomDocument::TakeSnapshots(void* self) noexcept {
    auto& doc = *static_cast<DomDocument*>(self);
    if (doc.pendingCount_ == 0) {
        return;
    }
    const std::lock_guard lock(doc.snapshotLock_);
    for (PendingSnapshot* snapshot : doc.pendingSnapshots_) {
        snapshot->Take();
    }
    doc.pendingSnapshots_.clear();
    doc.pendingCount_ = 0;
}

HRESULT DomDocument::CreateInstance(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    DomDocument* doc = Make();
    if (!doc) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = doc->QueryInterface(iid, object);
    doc->Release();
    return hr;
}

HRESULT DomDocument::QueryInterface(REFIID riid, void** object) {
    if (object && (IsEqualIID(riid, IID_IStream) || IsEqualIID(riid, IID_ISequentialStream))) {
        *object = nullptr;
        return StreamSnapshot(object);
    }
    return Object::QueryInterface(riid, object);
}

HRESULT DomDocument::StreamSnapshot(void** stream) {
    // The text is written when the stream is first used: a reader of the platform's own may
    // take the tree instead.
    *stream = MakeSnapshot(*this, IsAsLoaded());
    return *stream ? S_OK : E_OUTOFMEMORY;
}

HRESULT DomDocument::Wrap(xmlNodePtr node, IXMLDOMNode** object) {
    if (node == store_.DocNode()) {
        *object = this;
        AddRef();
        return S_OK;
    }
    if (IXMLDOMNode* cached = DomStore::Cached(node)) {
        cached->AddRef();
        *object = cached;
        return S_OK;
    }
    *object = nullptr;
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        break;
    default:
        return E_FAIL; // a document a load replaced, or a kind of node the DOM never makes
    }
    IXMLDOMNode* made = MakeNodeObject(*this, node);
    if (!made) {
        return E_OUTOFMEMORY;
    }
    store_.Register(node, made);
    *object = made;
    return S_OK;
}

HRESULT DomDocument::WrapDeclaration(xmlNodePtr element, xmlNsPtr ns, IXMLDOMNode** object) {
    if (auto* existing = static_cast<DeclarationNode*>(ns->_private)) {
        existing->AddRef();
        *object = existing;
        return S_OK;
    }
    *object = nullptr;
    CComPtr<IXMLDOMNode> elementObject;
    const HRESULT hr = Wrap(element, &elementObject);
    if (FAILED(hr)) {
        return hr;
    }
    DeclarationNode* made = com::New<DeclarationNode>(*this, ns, elementObject);
    if (!made) {
        return E_OUTOFMEMORY;
    }
    *object = made;
    return S_OK;
}

HRESULT DomDocument::Adopt(xmlNodePtr made, IXMLDOMNode** object) {
    if (!store_.AdoptDetached(made)) {
        store_.DiscardUnreferenced(made);
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = Wrap(made, object);
    if (FAILED(hr)) {
        store_.DiscardUnreferenced(made);
    }
    return hr;
}

HRESULT DomDocument::Clone(bool deep, IXMLDOMNode** clone) {
    return Guarded([&]() -> HRESULT {
        DomDocument* copy = Make();
        if (!copy) {
            return E_OUTOFMEMORY;
        }
        copy->preserveWhiteSpace_ = preserveWhiteSpace_;
        copy->async_ = async_;
        copy->namespaces_.Set(namespaces_.Text());
        if (deep) {
            for (xmlNodePtr child = store_.Doc()->children; child; child = child->next) {
                xmlNodePtr made = copy->store_.Copy(child, true);
                if (!made) {
                    copy->Release();
                    return E_OUTOFMEMORY;
                }
                copy->store_.InsertChild(copy->store_.DocNode(), made, nullptr);
            }
        }
        *clone = copy;
        return S_OK;
    });
}

HRESULT DomDocument::get_documentElement(IXMLDOMElement** element) {
    return Guarded([&]() -> HRESULT {
        if (!element) {
            return E_INVALIDARG;
        }
        *element = nullptr;
        xmlNodePtr root = xmlDocGetRootElement(store_.Doc());
        return root ? WrapAs(root, element) : S_FALSE;
    });
}

HRESULT DomDocument::MakeNode(DOMNodeType type, std::u16string_view name, std::u16string_view uri,
                              IXMLDOMNode** node) {
    *node = nullptr;
    std::string qname;
    if (!AppendXmlUtf8(qname, name) || !ConvertUri(uri)) {
        return E_INVALIDARG;
    }
    static const std::string xmlNamespace = Chars(XML_XML_NAMESPACE);
    static const std::string noNamespace;
    const std::string* href = uri.empty() ? &noNamespace : &uriUtf8_;
    xmlDocPtr doc = store_.Doc();
    xmlNodePtr made = nullptr;
    switch (type) {
    case NODE_ELEMENT:
    case NODE_ATTRIBUTE: {
        std::string prefix;
        std::string local;
        if (!SplitQName(qname, prefix, local)) {
            return E_FAIL;
        }
        if (type == NODE_ATTRIBUTE && (qname == "xmlns" || prefix == "xmlns")) {
            if (!href->empty() && *href != "http://www.w3.org/2000/xmlns/") {
                return E_FAIL;
            }
            xmlNsPtr ns = NewNamespace(prefix.empty() ? nullptr : XmlChars(local), nullptr);
            if (!ns) {
                return E_OUTOFMEMORY;
            }
            DeclarationNode* declaration = com::New<DeclarationNode>(*this, ns, nullptr);
            if (!declaration) {
                xmlFreeNs(ns);
                return E_OUTOFMEMORY;
            }
            *node = declaration;
            return S_OK;
        }
        if (prefix == "xmlns" || (prefix == "xml" && type == NODE_ELEMENT)) {
            return E_FAIL;
        }
        if (prefix == "xml") {
            if (!href->empty() && *href != xmlNamespace) {
                return E_FAIL;
            }
            href = &xmlNamespace;
        }
        if (!prefix.empty() && href->empty()) {
            return E_FAIL; // a prefix needs a namespace to stand for
        }
        xmlNsPtr ns = nullptr;
        if (!href->empty()) {
            ns = store_.PooledNs(prefix.empty() ? nullptr : XmlChars(prefix), XmlChars(*href));
            if (!ns) {
                return E_OUTOFMEMORY;
            }
        }
        if (type == NODE_ELEMENT) {
            made = xmlNewDocNode(doc, ns, XmlChars(local), nullptr);
        } else if (xmlAttrPtr attr = xmlNewDocProp(doc, XmlChars(local), nullptr)) {
            attr->ns = ns;
            made = reinterpret_cast<xmlNodePtr>(attr);
        }
        break;
    }
    case NODE_TEXT:
        made = xmlNewDocText(doc, XmlChars(""));
        break;
    case NODE_CDATA_SECTION:
        made = xmlNewCDataBlock(doc, XmlChars(""), 0);
        break;
    case NODE_COMMENT:
        made = xmlNewDocComment(doc, XmlChars(""));
        break;
    case NODE_PROCESSING_INSTRUCTION: {
        // "xml" is the XML declaration; other spellings of it are reserved.
        if (xmlValidateName(XmlChars(qname), 0) != 0 ||
            (qname != "xml" && qname.size() == 3 && (qname[0] | 0x20) == 'x' &&
             (qname[1] | 0x20) == 'm' && (qname[2] | 0x20) == 'l')) {
            return E_FAIL;
        }
        made = xmlNewDocPI(doc, XmlChars(qname), nullptr);
        break;
    }
    default:
        return E_INVALIDARG;
    }
    return made ? Adopt(made, node) : E_OUTOFMEMORY;
}

bool DomDocument::ConvertUri(std::u16string_view uri) {
    // Compared with memcmp: comparing char16_t strings goes unit by unit, and the namespace
    // names of a print ticket are sixty units long.
    if (uri.empty() ||
        (uri.size() == uriUtf16_.size() &&
         std::memcmp(uri.data(), uriUtf16_.data(), uri.size() * sizeof(char16_t)) == 0)) {
        return true;
    }
    std::string converted;
    if (!AppendXmlUtf8(converted, uri)) {
        return false;
    }
    uriUtf16_.assign(uri);
    uriUtf8_ = std::move(converted);
    return true;
}

template <class Q>
HRESULT DomDocument::MakeNodeAs(DOMNodeType type, BSTR name, BSTR data, Q** object) {
    if (!object) {
        return E_INVALIDARG;
    }
    *object = nullptr;
    CComPtr<IXMLDOMNode> made;
    HRESULT hr = MakeNode(type, View(name), {}, &made);
    if (SUCCEEDED(hr) && data) {
        hr = made->put_text(data);
    }
    return FAILED(hr) ? hr : made.QueryInterface(object);
}

HRESULT DomDocument::createElement(BSTR tagName, IXMLDOMElement** element) {
    return Guarded(
        [&]() -> HRESULT { return MakeNodeAs(NODE_ELEMENT, tagName, nullptr, element); });
}

HRESULT DomDocument::createTextNode(BSTR data, IXMLDOMText** text) {
    return Guarded([&]() -> HRESULT { return MakeNodeAs(NODE_TEXT, nullptr, data, text); });
}

HRESULT DomDocument::createComment(BSTR data, IXMLDOMComment** comment) {
    return Guarded([&]() -> HRESULT { return MakeNodeAs(NODE_COMMENT, nullptr, data, comment); });
}

HRESULT DomDocument::createCDATASection(BSTR data, IXMLDOMCDATASection** cdata) {
    return Guarded(
        [&]() -> HRESULT { return MakeNodeAs(NODE_CDATA_SECTION, nullptr, data, cdata); });
}

HRESULT DomDocument::createProcessingInstruction(BSTR target, BSTR data,
                                                 IXMLDOMProcessingInstruction** pi) {
    return Guarded([&]() -> HRESULT {
        if (!pi) {
            return E_INVALIDARG;
        }
        *pi = nullptr;
        std::string text;
        if (!AppendXmlUtf8(text, View(data))) {
            return E_INVALIDARG;
        }
        std::string_view trimmed = TrimXmlWhitespace(text);
        if (View(target) != u"xml") {
            // Only the blanks that separate data from the target go.
            trimmed = std::string_view(text);
            while (!trimmed.empty() && IsXmlWhitespace(trimmed.front())) {
                trimmed.remove_prefix(1);
            }
        }
        CComPtr<IXMLDOMNode> made;
        HRESULT hr = MakeNode(NODE_PROCESSING_INSTRUCTION, View(target), {}, &made);
        if (FAILED(hr)) {
            return hr;
        }
        xmlNodePtr node = FindCore(made)->Node();
        const std::string data8(trimmed);
        hr = nodeops::CheckContent(node, data8);
        if (SUCCEEDED(hr) && !store_.SetContent(node, data8)) {
            hr = E_OUTOFMEMORY;
        }
        return FAILED(hr) ? hr : made.QueryInterface(pi);
    });
}

HRESULT DomDocument::createAttribute(BSTR name, IXMLDOMAttribute** attribute) {
    return Guarded(
        [&]() -> HRESULT { return MakeNodeAs(NODE_ATTRIBUTE, name, nullptr, attribute); });
}

HRESULT DomDocument::createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) {
    return Guarded([&]() -> HRESULT {
        if (!node) {
            return E_INVALIDARG;
        }
        *node = nullptr;
        DOMNodeType nodeType = NODE_INVALID;
        if (!NodeTypeFrom(type, nodeType)) {
            return E_INVALIDARG;
        }
        return MakeNode(nodeType, View(name), View(namespaceURI), node);
    });
}

HRESULT DomDocument::Fail(const char* reason, VARIANT_BOOL* isSuccessful) {
    ParseFailure failure;
    failure.reason = reason;
    return Fail(std::move(failure), isSuccessful);
}

HRESULT DomDocument::Fail(ParseFailure&& failure, VARIANT_BOOL* isSuccessful) {
    xmlDocPtr empty = NewEmptyDocument();
    if (!empty) {
        return E_OUTOFMEMORY;
    }
    store_.ReplaceDoc(empty); // the last step that can fail
    lastError_ = std::move(failure);
    hasError_ = true;
    *isSuccessful = VARIANT_FALSE;
    return S_FALSE;
}

HRESULT DomDocument::Parse(std::string_view bytes, bool textIsUtf8, VARIANT_BOOL* isSuccessful) {
    ParseOptions options;
    options.textIsUtf8 = textIsUtf8;
    options.preserveWhiteSpace = preserveWhiteSpace_;
    ParseFailure failure;
    xmlDocPtr doc = ParseDocument(bytes, options, failure);
    if (!doc) {
        return Fail(std::move(failure), isSuccessful);
    }
    store_.ReplaceDoc(doc);
    loadedVersion_ = preserveWhiteSpace_ ? UINT64_MAX : store_.Version();
    hasError_ = false;
    lastError_ = ParseFailure{};
    *isSuccessful = VARIANT_TRUE;
    return S_OK;
}

bool DomDocument::LoadTreeOf(IUnknown* source, VARIANT_BOOL* isSuccessful) {
    if (preserveWhiteSpace_) {
        return false; // white space the text would give is kept, and no tree has it
    }
    xmlDocPtr doc = nullptr;
    CComPtr<DomTreeSnapshot> snapshot;
    CComPtr<com::DeferredStream> deferred;
    if (SUCCEEDED(source->QueryInterface(__uuidof(DomTreeSnapshot),
                                         reinterpret_cast<void**>(&snapshot)))) {
        if (const xmlDoc* tree = snapshot->LoadedTree()) {
            doc = CopyLoadedTree(tree);
        }
    } else if (SUCCEEDED(source->QueryInterface(__uuidof(com::DeferredStream),
                                                reinterpret_cast<void**>(&deferred)))) {
        const com::DeferredContent* content = deferred->Deferred();
        doc = content ? CopyAsParsed(content->Tree()) : nullptr;
    }
    if (!doc) {
        return false;
    }
    store_.ReplaceDoc(doc);
    loadedVersion_ = store_.Version();
    hasError_ = false;
    lastError_ = ParseFailure{};
    if (snapshot) {
        snapshot->MarkReadToEnd();
    } else {
        deferred->MarkReadToEnd();
    }
    *isSuccessful = VARIANT_TRUE;
    return true;
}

HRESULT DomDocument::load(VARIANT source, VARIANT_BOOL* isSuccessful) {
    return Guarded([&]() -> HRESULT {
        if (!isSuccessful) {
            return E_INVALIDARG;
        }
        *isSuccessful = VARIANT_FALSE;
        if ((source.vt != VT_UNKNOWN && source.vt != VT_DISPATCH) || !source.punkVal) {
            return E_INVALIDARG;
        }
        // An object may answer only IStream (one that answers a single interface beside
        // IUnknown, say); IStream is an ISequentialStream.
        CComPtr<ISequentialStream> stream;
        if (FAILED(source.punkVal->QueryInterface(&stream))) {
            CComPtr<IStream> full;
            if (FAILED(source.punkVal->QueryInterface(&full))) {
                return E_INVALIDARG;
            }
            stream = full.p;
        }
        if (LoadTreeOf(source.punkVal, isSuccessful)) {
            return S_OK;
        }
        std::string bytes;
        bool tooLarge = false;
        const HRESULT hr = ReadToEnd(stream, bytes, tooLarge);
        if (FAILED(hr)) {
            Fail("The stream could not be read.", isSuccessful);
            return hr;
        }
        if (tooLarge) {
            return Fail("The document is too large.", isSuccessful);
        }
        return Parse(bytes, false, isSuccessful);
    });
}

HRESULT DomDocument::loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) {
    return Guarded([&]() -> HRESULT {
        if (!isSuccessful) {
            return E_INVALIDARG;
        }
        *isSuccessful = VARIANT_FALSE;
        std::u16string_view text = View(xml);
        if (!text.empty() && text.front() == u'\xFEFF') {
            text.remove_prefix(1);
        }
        std::string bytes;
        if (!AppendXmlUtf8(bytes, text)) {
            return Fail("The text holds a character XML does not allow.", isSuccessful);
        }
        return Parse(bytes, true, isSuccessful);
    });
}

HRESULT DomDocument::get_parseError(IXMLDOMParseError** error) {
    return Guarded([&]() -> HRESULT {
        if (!error) {
            return E_INVALIDARG;
        }
        *error = com::New<ParseError>(hasError_, lastError_);
        return *error ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT DomDocument::get_async(VARIANT_BOOL* isAsync) {
    if (!isAsync) {
        return E_INVALIDARG;
    }
    *isAsync = async_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT DomDocument::put_async(VARIANT_BOOL isAsync) {
    async_ = isAsync != VARIANT_FALSE;
    return S_OK;
}

HRESULT DomDocument::get_preserveWhiteSpace(VARIANT_BOOL* isPreserving) {
    if (!isPreserving) {
        return E_INVALIDARG;
    }
    *isPreserving = preserveWhiteSpace_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT DomDocument::put_preserveWhiteSpace(VARIANT_BOOL isPreserving) {
    preserveWhiteSpace_ = isPreserving != VARIANT_FALSE;
    return S_OK;
}

HRESULT DomDocument::setProperty(BSTR name, VARIANT value) {
    return Guarded([&]() -> HRESULT {
        const std::u16string_view property = View(name);
        if (property == u"SelectionLanguage") {
            return value.vt == VT_BSTR && View(value.bstrVal) == u"XPath" ? S_OK : E_FAIL;
        }
        if (property == u"SelectionNamespaces") {
            if (value.vt != VT_BSTR) {
                return E_FAIL;
            }
            const HRESULT hr = namespaces_.Set(View(value.bstrVal));
            if (SUCCEEDED(hr)) {
                ++propertyChanges_;
            }
            return hr;
        }
        return E_FAIL;
    });
}

HRESULT DomDocument::getProperty(BSTR name, VARIANT* value) {
    return Guarded([&]() -> HRESULT {
        if (!value) {
            return E_INVALIDARG;
        }
        VariantInit(value);
        const std::u16string_view property = View(name);
        if (property == u"ChangeCount") {
            value->vt = VT_UI8;
            value->ullVal = store_.Version() + propertyChanges_;
            return S_OK;
        }
        std::string text;
        if (property == u"SelectionLanguage") {
            text = "XPath";
        } else if (property == u"SelectionNamespaces") {
            AppendXmlUtf8(text, namespaces_.Text());
        } else {
            return E_FAIL;
        }
        return ReturnVariantBstr(text, value);
    });
}

} // namespace platform::msxml
