#include "domloader.h"

#include "domstore.h"
#include "xmldeclaration.h"
#include "xmltext.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include <climits>
#include <memory>
#include <new>
#include <vector>

namespace platform::msxml {
namespace {

struct ParseState {
    xmlParserCtxtPtr context = nullptr;
    ParseFailure* failure = nullptr;
    bool failed = false;
    bool outOfMemory = false; // a callback could not record a failure
};

// libxml2 calls back without a way to reach our state through the parser's user data (the
// DOM builder uses it), and a parse runs start to end on one thread.
thread_local ParseState* currentParse = nullptr;

// Called from libxml2's callbacks too, so it throws nothing: a reason that finds no memory
// makes the whole parse fail for want of memory.
void Fail(ParseState& state, const char* reason, int line, int column) noexcept {
    if (!state.failed) {
        state.failed = true;
        try {
            state.failure->reason = reason;
        } catch (const std::bad_alloc&) {
            state.outOfMemory = true;
        }
        while (!state.failure->reason.empty() && IsXmlWhitespace(state.failure->reason.back())) {
            state.failure->reason.pop_back();
        }
        state.failure->line = line;
        state.failure->column = column;
    }
}

// libxml2 reports a namespace name that is not a valid URI (such as one with a leading space,
// which a published Print Schema sample has) as an error; namespace names are compared as
// strings and need not be valid URIs, so such a document loads.
} // namespace

bool IsTolerated(const xmlError& error) {
    return error.domain == XML_FROM_NAMESPACE &&
           (error.code == XML_WAR_NS_URI || error.code == XML_WAR_NS_URI_RELATIVE);
}

namespace {

void RecordError(void*, xmlErrorPtr error) {
    if (currentParse && error && error->level >= XML_ERR_ERROR && !IsTolerated(*error)) {
        Fail(*currentParse, error->message ? error->message : "The document is not well-formed.",
             error->line, error->int2);
    }
}

void RefuseDtd(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto ctxt = static_cast<xmlParserCtxtPtr>(context);
    if (currentParse) {
        Fail(*currentParse, "A document type definition (DTD) is not allowed.",
             xmlSAX2GetLineNumber(ctxt), xmlSAX2GetColumnNumber(ctxt));
    }
    xmlStopParser(ctxt);
}

// libxml2 hands a run of blanks here instead of to `characters` when its heuristic takes it for
// indentation: outside xml:space="preserve", with no text node just before it. When markup
// comes next, the run is a whole whitespace-only text node, which Tidy would drop: it is never
// made (most of a ticket's text nodes are such). Otherwise (a carriage return comes next, and
// the text may go on) it is made as text like any other, and Tidy decides.
void SkipIndentation(void* context, const xmlChar* blanks, int length) {
    auto ctxt = static_cast<xmlParserCtxtPtr>(context);
    if (*ctxt->input->cur != '<') {
        xmlSAX2Characters(context, blanks, length);
    }
}

bool IsPreservingSpace(xmlNodePtr element, bool inherited, bool documentDefault) {
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (attr->ns && Equal(attr->name, "space") &&
            Equal(attr->ns->href, reinterpret_cast<const char*>(XML_XML_NAMESPACE))) {
            const xmlChar* value = attr->children ? attr->children->content : nullptr;
            if (Equal(value, "preserve")) {
                return true;
            }
            if (Equal(value, "default")) {
                return documentDefault;
            }
        }
    }
    return inherited;
}

// Drops whitespace-only text outside xml:space="preserve" (what SkipIndentation let through)
// and checks the depth, in one walk.
bool Tidy(xmlDocPtr doc, bool preserveWhiteSpace, ParseState& state) {
    std::vector<bool> preserving{preserveWhiteSpace};
    auto leave = [&]() { preserving.pop_back(); };
    xmlNodePtr node = doc->children;
    while (node) {
        if (node->type == XML_ELEMENT_NODE) {
            if (preserving.size() > kMaxElementDepth) {
                Fail(state, "Elements are nested deeper than 256.", node->line, 0);
                return false;
            }
            preserving.push_back(IsPreservingSpace(node, preserving.back(), preserveWhiteSpace));
            if (node->children) {
                node = node->children;
                continue;
            }
            leave();
        }
        xmlNodePtr parent = node->parent;
        xmlNodePtr next = node->next;
        if (node->type == XML_TEXT_NODE && !preserving.back() &&
            IsXmlWhitespace(ViewOf(node->content))) {
            xmlUnlinkNode(node);
            xmlFreeNode(node);
        }
        while (!next && parent && parent->type == XML_ELEMENT_NODE) {
            leave();
            next = parent->next;
            parent = parent->parent;
        }
        node = next;
    }
    return true;
}

bool KeepDeclaration(xmlDocPtr doc, std::string_view bytes) {
    std::string data;
    if (!FindXmlDeclaration(bytes, data)) {
        return true;
    }
    xmlNodePtr pi = xmlNewDocPI(doc, reinterpret_cast<const xmlChar*>("xml"), XmlChars(data));
    if (!pi) {
        return false;
    }
    pi->parent = reinterpret_cast<xmlNodePtr>(doc);
    pi->next = doc->children;
    if (doc->children) {
        doc->children->prev = pi;
    } else {
        doc->last = pi;
    }
    doc->children = pi;
    return true;
}

// What a parse changes on its thread (the error handler, the parse the callbacks report
// to), put back however the parse ends, and its parser context, freed.
class ParseScope {
public:
    ParseScope(xmlParserCtxtPtr context, ParseState& state)
        : context_(context), oldErrorContext_(xmlStructuredErrorContext),
          oldError_(xmlStructuredError) {
        currentParse = &state;
        // Errors raised outside the parser context (the encoding converters) go to the
        // thread's handler: take them too, rather than letting them reach standard error.
        xmlSetStructuredErrorFunc(nullptr, RecordError);
    }
    ~ParseScope() {
        currentParse = nullptr;
        xmlSetStructuredErrorFunc(oldErrorContext_, oldError_);
        xmlFreeParserCtxt(context_);
    }
    ParseScope(const ParseScope&) = delete;
    ParseScope& operator=(const ParseScope&) = delete;

private:
    xmlParserCtxtPtr context_;
    void* oldErrorContext_;
    xmlStructuredErrorFunc oldError_;
};

struct FreeDoc {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};

bool HasXmlSpace(const xmlNode* element) {
    for (const xmlAttr* attr = element->properties; attr; attr = attr->next) {
        if (attr->ns && Equal(attr->name, "space") &&
            Equal(attr->ns->href, reinterpret_cast<const char*>(XML_XML_NAMESPACE))) {
            return true;
        }
    }
    return false;
}

// Whether the namespace the text would give a name with this prefix is ns.
bool Declared(const xmlDoc* tree, const xmlNode* element, const xmlNs* ns, bool attribute) {
    if (!ns) {
        // No namespace: for an element only while no default namespace is in scope.
        if (attribute) {
            return true;
        }
        const xmlNs* inScope =
            xmlSearchNs(const_cast<xmlDoc*>(tree), const_cast<xmlNode*>(element), nullptr);
        return !inScope || !inScope->href || !*inScope->href;
    }
    if (attribute && !ns->prefix) {
        return false;
    }
    const xmlNs* inScope =
        xmlSearchNs(const_cast<xmlDoc*>(tree), const_cast<xmlNode*>(element), ns->prefix);
    return inScope && xmlStrEqual(inScope->href, ns->href);
}

// Whether parsing the tree's formatted text would give the tree back: no node the text would
// drop, merge, add or fail on.
bool ParsesBackAsItIs(const xmlDoc* tree) {
    const xmlNode* root = xmlDocGetRootElement(tree);
    if (!root) {
        return false;
    }
    for (const xmlNode* top = tree->children; top; top = top->next) {
        if (top->type != XML_ELEMENT_NODE && top->type != XML_COMMENT_NODE &&
            top->type != XML_PI_NODE) {
            return false;
        }
    }
    unsigned depth = 1;
    const xmlNode* node = root;
    while (node) {
        switch (node->type) {
        case XML_ELEMENT_NODE:
            // Within xml:space the indentation the writer adds would be kept.
            if (depth > kMaxElementDepth || HasXmlSpace(node) ||
                !Declared(tree, node, node->ns, false)) {
                return false;
            }
            for (const xmlNs* ns = node->nsDef; ns; ns = ns->next) {
                for (const xmlNs* other = ns->next; other; other = other->next) {
                    if (xmlStrEqual(ns->prefix, other->prefix)) {
                        return false;
                    }
                }
            }
            for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
                if (!Declared(tree, node, attr->ns, true)) {
                    return false;
                }
            }
            break;
        case XML_TEXT_NODE:
            // Blank text is dropped by the load, and neighbouring text comes back as one.
            if (!node->content || IsXmlWhitespace(ViewOf(node->content)) ||
                (node->prev && node->prev->type == XML_TEXT_NODE)) {
                return false;
            }
            break;
        case XML_CDATA_SECTION_NODE:
            if (node->content &&
                std::string_view(reinterpret_cast<const char*>(node->content)).find("]]>") !=
                    std::string_view::npos) {
                return false;
            }
            break;
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            return false;
        }
        if (node->type == XML_ELEMENT_NODE && node->children) {
            node = node->children;
            ++depth;
            continue;
        }
        while (node != root && !node->next) {
            node = node->parent;
            --depth;
        }
        node = node == root ? nullptr : node->next;
    }
    return true;
}

} // namespace

xmlDocPtr CopyAsParsed(const xmlDoc* tree) {
    if (!tree || !ParsesBackAsItIs(tree)) {
        return nullptr;
    }
    // The declaration the writer puts first, which the load keeps as a node.
    std::string declaration = "<?xml version=\"";
    declaration += tree->version ? reinterpret_cast<const char*>(tree->version) : "1.0";
    declaration += "\" encoding=\"UTF-8\"";
    if (tree->standalone == 0) {
        declaration += " standalone=\"no\"";
    } else if (tree->standalone == 1) {
        declaration += " standalone=\"yes\"";
    }
    declaration += "?>";
    std::unique_ptr<xmlDoc, FreeDoc> doc(NewEmptyDocument());
    if (!doc) {
        throw std::bad_alloc();
    }
    xmlFree(const_cast<xmlChar*>(doc->version));
    doc->version = xmlStrdup(tree->version ? tree->version : XmlChars("1.0"));
    doc->encoding = xmlStrdup(XmlChars("UTF-8"));
    doc->standalone = tree->standalone;
    if (!doc->version || !doc->encoding) {
        throw std::bad_alloc();
    }
    for (const xmlNode* top = tree->children; top; top = top->next) {
        xmlNodePtr copy = xmlDocCopyNode(const_cast<xmlNode*>(top), doc.get(), 1);
        if (!copy) {
            throw std::bad_alloc();
        }
        if (!xmlAddChild(reinterpret_cast<xmlNodePtr>(doc.get()), copy)) {
            xmlFreeNode(copy);
            throw std::bad_alloc();
        }
    }
    if (!KeepDeclaration(doc.get(), declaration)) {
        throw std::bad_alloc();
    }
    return doc.release();
}

xmlDocPtr CopyLoadedTree(const xmlDoc* tree) {
    std::unique_ptr<xmlDoc, FreeDoc> doc(NewEmptyDocument());
    if (!doc) {
        throw std::bad_alloc();
    }
    std::string declaration;
    for (const xmlNode* top = tree->children; top; top = top->next) {
        if (top->type == XML_PI_NODE && Equal(top->name, "xml")) {
            // The load made it first, from the bytes' declaration: the stream rewrites it.
            declaration = "<?xml";
            if (top->content && *top->content) {
                declaration += ' ';
                declaration += DeclarationForUtf8(ViewOf(top->content));
            }
            declaration += "?>";
            continue;
        }
        xmlNodePtr copy = xmlDocCopyNode(const_cast<xmlNode*>(top), doc.get(), 1);
        if (!copy) {
            throw std::bad_alloc();
        }
        if (!xmlAddChild(reinterpret_cast<xmlNodePtr>(doc.get()), copy)) {
            xmlFreeNode(copy);
            throw std::bad_alloc();
        }
    }
    if (!KeepDeclaration(doc.get(), declaration)) {
        throw std::bad_alloc();
    }
    return doc.release();
}

xmlDocPtr ParseDocument(std::string_view bytes, const ParseOptions& options,
                        ParseFailure& failure) {
    failure = ParseFailure{};
    if (bytes.size() > kMaxDocumentBytes || bytes.size() > INT_MAX) {
        failure.reason = "The document is too large.";
        return nullptr;
    }
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt) {
        throw std::bad_alloc();
    }
    ctxt->sax->internalSubset = RefuseDtd;
    ctxt->sax->serror = RecordError;
    if (!options.preserveWhiteSpace) {
        ctxt->sax->ignorableWhitespace = SkipIndentation;
    }
    ParseState state;
    state.context = ctxt;
    state.failure = &failure;
    const ParseScope scope(ctxt, state);

    // Entities are only ever the predefined ones (a DTD stops the parse before it declares
    // any), so substituting them is safe; without it libxml2 leaves "&#38;" for every '&' in a
    // namespace declaration's URI.
    int flags = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    if (options.textIsUtf8) {
        flags |= XML_PARSE_IGNORE_ENC;
    }
    std::unique_ptr<xmlDoc, FreeDoc> doc(
        xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                          options.textIsUtf8 ? "UTF-8" : nullptr, flags));
    if (!doc || !ctxt->wellFormed) {
        Fail(state, "The document is not well-formed.", 0, 0);
    }
    if (doc && !state.failed) {
        if (!Tidy(doc.get(), options.preserveWhiteSpace, state)) {
            // Tidy has recorded why.
        } else if (!KeepDeclaration(doc.get(), bytes)) {
            state.outOfMemory = true;
        }
    }
    if (state.outOfMemory) {
        throw std::bad_alloc();
    }
    if (state.failed) {
        return nullptr;
    }
    return doc.release();
}

} // namespace platform::msxml
