#include "xpathselection.h"

#include "xmltext.h"

#include <libxml/xpathInternals.h>

#include <atomic>
#include <unordered_map>

namespace platform::msxml {
namespace {

std::atomic<uint64_t> nextGeneration{1};

void IgnoreError(void*, xmlErrorPtr) {}

// One evaluation context per thread, shared by every document: making one registers the whole
// XPath function library, too slow to repeat per document. Compiled expressions are kept
// too; libxml2 resolves their prefixes when they run, so they do not depend on the mapping.
class Evaluator {
public:
    Evaluator() = default;
    Evaluator(const Evaluator&) = delete;
    Evaluator& operator=(const Evaluator&) = delete;
    ~Evaluator() {
        for (auto& [text, compiled] : compiled_) {
            xmlXPathFreeCompExpr(compiled);
        }
        xmlXPathFreeContext(context_);
    }

    xmlXPathContextPtr Context(const std::vector<std::pair<std::string, std::string>>& bindings,
                               uint64_t generation) {
        if (!context_) {
            context_ = xmlXPathNewContext(nullptr);
            if (!context_) {
                return nullptr;
            }
            context_->error = IgnoreError;
            xmlXPathContextSetCache(context_, 1, -1, 0);
        }
        if (generation != registered_) {
            xmlXPathRegisteredNsCleanup(context_);
            registered_ = 0;
            for (const auto& [prefix, uri] : bindings) {
                if (xmlXPathRegisterNs(context_, XmlChars(prefix), XmlChars(uri)) != 0) {
                    xmlXPathRegisteredNsCleanup(context_);
                    return nullptr;
                }
            }
            registered_ = generation;
        }
        return context_;
    }

    // Null for an expression that does not compile.
    xmlXPathCompExprPtr Compiled(std::u16string_view text) {
        std::u16string key(text);
        if (auto it = compiled_.find(key); it != compiled_.end()) {
            return it->second;
        }
        std::string utf8;
        if (!AppendXmlUtf8(utf8, text)) {
            return nullptr;
        }
        xmlXPathCompExprPtr compiled = xmlXPathCtxtCompile(context_, XmlChars(utf8));
        if (!compiled) {
            return nullptr;
        }
        constexpr size_t kKept = 512;
        if (compiled_.size() >= kKept) {
            for (auto& [old, expression] : compiled_) {
                xmlXPathFreeCompExpr(expression);
            }
            compiled_.clear();
        }
        compiled_.emplace(std::move(key), compiled);
        return compiled;
    }

private:
    xmlXPathContextPtr context_ = nullptr;
    uint64_t registered_ = ~uint64_t{0};
    std::unordered_map<std::u16string, xmlXPathCompExprPtr> compiled_;
};

thread_local Evaluator evaluator;

class Parser {
public:
    explicit Parser(std::u16string_view text) : text_(text) {}
    bool AtEnd() const { return pos_ >= text_.size(); }
    bool SkipSpace() {
        const size_t start = pos_;
        while (!AtEnd() && (text_[pos_] == u' ' || text_[pos_] == u'\t' || text_[pos_] == u'\r' ||
                            text_[pos_] == u'\n')) {
            ++pos_;
        }
        return pos_ > start;
    }
    bool Take(std::u16string_view word) {
        if (text_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }
    // Characters up to (not including) one of the stop characters.
    std::u16string_view Until(std::u16string_view stops) {
        const size_t start = pos_;
        while (!AtEnd() && stops.find(text_[pos_]) == std::u16string_view::npos) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }
    char16_t Peek() const { return AtEnd() ? u'\0' : text_[pos_]; }
    void Skip() { ++pos_; }

private:
    std::u16string_view text_;
    size_t pos_ = 0;
};

bool ParseDeclarations(std::u16string_view text,
                       std::vector<std::pair<std::string, std::string>>& bindings) {
    Parser parser(text);
    parser.SkipSpace();
    while (!parser.AtEnd()) {
        if (!parser.Take(u"xmlns:")) {
            return false; // includes the default namespace form xmlns='u'
        }
        std::string prefix;
        std::string uri;
        if (!AppendXmlUtf8(prefix, parser.Until(u" \t\r\n=")) || !IsNcName(prefix)) {
            return false;
        }
        parser.SkipSpace();
        if (!parser.Take(u"=")) {
            return false;
        }
        parser.SkipSpace();
        const char16_t quote = parser.Peek();
        if (quote != u'\'' && quote != u'"') {
            return false;
        }
        parser.Skip();
        const std::u16string_view value = parser.Until(quote == u'\'' ? u"'" : u"\"");
        if (parser.AtEnd() || value.empty() || !AppendXmlUtf8(uri, value)) {
            return false;
        }
        parser.Skip();
        if (prefix == "xmlns" || (prefix == "xml" && uri != Chars(XML_XML_NAMESPACE))) {
            return false;
        }
        for (const auto& binding : bindings) {
            if (binding.first == prefix) {
                return false;
            }
        }
        bindings.emplace_back(std::move(prefix), std::move(uri));
        if (!parser.SkipSpace() && !parser.AtEnd()) {
            return false;
        }
    }
    return true;
}

} // namespace

HRESULT SelectionNamespaces::Set(std::u16string_view text) {
    bindings_.clear();
    text_.clear();
    generation_ = nextGeneration++;
    std::vector<std::pair<std::string, std::string>> parsed;
    if (!ParseDeclarations(text, parsed)) {
        return E_FAIL;
    }
    bindings_ = std::move(parsed);
    text_ = text;
    return S_OK;
}

HRESULT XPathQuery::Run(const SelectionNamespaces& namespaces, xmlNodePtr context, BSTR query) {
    xmlXPathFreeObject(result_);
    result_ = nullptr;
    if (!query) {
        return E_INVALIDARG;
    }
    xmlXPathContextPtr xpath = evaluator.Context(namespaces.bindings_, namespaces.generation_);
    if (!xpath) {
        return E_OUTOFMEMORY;
    }
    xmlXPathCompExprPtr compiled = evaluator.Compiled(View(query));
    if (!compiled) {
        return E_FAIL;
    }
    xpath->doc = context->doc;
    xpath->node = context;
    result_ = xmlXPathCompiledEval(compiled, xpath);
    xpath->node = nullptr;
    xpath->doc = nullptr;
    if (!result_ || result_->type != XPATH_NODESET) {
        return E_FAIL;
    }
    if (xmlNodeSetPtr nodes = result_->nodesetval) {
        // Namespace nodes are copies libxml2 makes for the query; the DOM has nothing to hand
        // out for them.
        for (int i = 0; i < nodes->nodeNr; ++i) {
            if (nodes->nodeTab[i]->type == XML_NAMESPACE_DECL) {
                return E_FAIL;
            }
        }
        if (nodes->nodeNr > 1) {
            xmlXPathNodeSetSort(nodes);
        }
    }
    return S_OK;
}

} // namespace platform::msxml
