// The DOM document (CLSID_DOMDocument60): owns the store of libxml2 trees, the selection
// properties and the last parse error, hands out the node objects of its nodes, and is the
// node object of its own document node.
#pragma once

#include "domloader.h"
#include "domnode.h"
#include "domsnapshot.h"
#include "domstore.h"
#include "xpathselection.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace platform::msxml {

class DomDocument final
    : public com::Object<DomDocument, NodeImpl<IXMLDOMDocument2, DomDocument>, DomNodeCore> {
public:
    using Interfaces =
        com::InterfaceTable<IXMLDOMDocument2, IXMLDOMDocument, IXMLDOMNode, DomNodeCore>;

    // A new empty document; null when memory runs out.
    static DomDocument* Make();
    static HRESULT CreateInstance(REFIID iid, void** object);

    DomDocument() = default; // made by Make
    ~DomDocument() override;

    DomStore& Store() { return store_; }
    const SelectionNamespaces& Namespaces() const { return namespaces_; }
    bool PreservesWhiteSpace() const { return preserveWhiteSpace_; }

    // The node object of node (one reference), made on first use.
    HRESULT Wrap(xmlNodePtr node, IXMLDOMNode** object);
    template <class Q>
    HRESULT WrapAs(xmlNodePtr node, Q** object) {
        IXMLDOMNode* made = nullptr;
        HRESULT hr = Wrap(node, &made);
        if (FAILED(hr)) {
            *object = nullptr;
            return hr;
        }
        hr = made->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(object));
        made->Release();
        return hr;
    }
    // The node object of the declaration ns held by element.
    HRESULT WrapDeclaration(xmlNodePtr element, xmlNsPtr ns, IXMLDOMNode** object);
    // Hands a node just made (a detached root) to the caller as its object.
    HRESULT Adopt(xmlNodePtr made, IXMLDOMNode** object);
    // A deep or shallow copy of this document, with its properties.
    HRESULT Clone(bool deep, IXMLDOMNode** clone);

    // The snapshots of the document's text not yet serialised: listed and forgotten with the
    // snapshot lock held; every one is taken before the trees change.
    std::mutex& SnapshotLock() { return snapshotLock_; }
    void ListSnapshot(PendingSnapshot* snapshot); // throws std::bad_alloc
    void ForgetSnapshot(PendingSnapshot* snapshot) noexcept;

    // For NodeImpl.
    DomDocument& Doc() { return *this; }
    xmlNodePtr XmlNode() { return store_.DocNode(); }

    IXMLDOMNode* AsNode() override { return this; }
    DomDocument& Owner() override { return *this; }
    xmlNodePtr Node() override { return store_.DocNode(); }

    // The interface table, and IStream and ISequentialStream: a new memory stream holding the
    // document as it is now.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    using Object::QueryInterface;

    HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** element) override;
    HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** element) override;
    HRESULT STDMETHODCALLTYPE createTextNode(BSTR data, IXMLDOMText** text) override;
    HRESULT STDMETHODCALLTYPE createComment(BSTR data, IXMLDOMComment** comment) override;
    HRESULT STDMETHODCALLTYPE createCDATASection(BSTR data, IXMLDOMCDATASection** cdata) override;
    HRESULT STDMETHODCALLTYPE
    createProcessingInstruction(BSTR target, BSTR data, IXMLDOMProcessingInstruction** pi) override;
    HRESULT STDMETHODCALLTYPE createAttribute(BSTR name, IXMLDOMAttribute** attribute) override;
    HRESULT STDMETHODCALLTYPE createNode(VARIANT type, BSTR name, BSTR namespaceURI,
                                         IXMLDOMNode** node) override;
    HRESULT STDMETHODCALLTYPE load(VARIANT source, VARIANT_BOOL* isSuccessful) override;
    HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** error) override;
    HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL* isAsync) override;
    HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) override;
    HRESULT STDMETHODCALLTYPE loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) override;
    HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL* isPreserving) override;
    HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL isPreserving) override;
    HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override;
    // Beside MSXML's own, "ChangeCount" (VT_UI8, read only): a count that grows with every
    // change to the document's trees and to its selection namespaces, so that a reader can
    // tell that what it learnt of the document still holds.
    HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) override;

private:
    // Makes a node of the given type; data fills text-like nodes.
    HRESULT MakeNode(DOMNodeType type, std::u16string_view name, std::u16string_view uri,
                     IXMLDOMNode** node);
    template <class Q>
    HRESULT MakeNodeAs(DOMNodeType type, BSTR name, BSTR data, Q** object);
    // Converts a namespace name to UTF-8 into uriUtf8_; a document makes its nodes in a few
    // namespaces, so the last one is kept and not converted again. No namespace (attributes
    // made between elements, mostly) needs no conversion and leaves the kept one alone. False
    // when the name holds a character XML does not allow.
    bool ConvertUri(std::u16string_view uri);
    // Loads the tree behind a stream in place of its text, when its text would parse back to
    // that tree: a pending snapshot of a document as its load made it, or a memory stream
    // holding a tree it has not written out yet. False, with nothing changed, otherwise.
    // Throws std::bad_alloc.
    bool LoadTreeOf(IUnknown* source, VARIANT_BOOL* isSuccessful);
    HRESULT Parse(std::string_view bytes, bool textIsUtf8, VARIANT_BOOL* isSuccessful);
    // Empties the document after a failed load; the document is unchanged when this fails.
    HRESULT Fail(const char* reason, VARIANT_BOOL* isSuccessful);
    HRESULT Fail(ParseFailure&& failure, VARIANT_BOOL* isSuccessful);
    HRESULT StreamSnapshot(void** stream);
    static void TakeSnapshots(void* self) noexcept;
    // Whether the trees are exactly as the last load made them with the default options.
    bool IsAsLoaded() const { return store_.Version() == loadedVersion_; }

    DomStore store_;
    SelectionNamespaces namespaces_;
    std::u16string uriUtf16_;
    std::string uriUtf8_;
    ParseFailure lastError_;
    std::mutex snapshotLock_;
    std::vector<PendingSnapshot*> pendingSnapshots_;
    std::atomic<size_t> pendingCount_{0};
    // The store's version right after the last load that kept no white space; never a
    // version the store has otherwise.
    uint64_t loadedVersion_ = UINT64_MAX;
    uint64_t propertyChanges_ = 0;
    bool hasError_ = false;
    bool preserveWhiteSpace_ = false;
    bool async_ = true;
};

} // namespace platform::msxml
