#include "markupreader.h"

#include <libxml/parserInternals.h>
#include <libxml/xmlreader.h>

#include <climits>

namespace platform::xps {
namespace {

void CollectError(void* context, const char* message, xmlParserSeverities severity,
                  xmlTextReaderLocatorPtr locator) {
    auto* text = static_cast<std::string*>(context);
    if (severity == XML_PARSER_SEVERITY_ERROR || severity == XML_PARSER_SEVERITY_VALIDITY_ERROR ||
        text->empty()) {
        std::string line = message ? message : "";
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
            line.pop_back();
        }
        *text = "line " + std::to_string(xmlTextReaderLocatorLineNumber(locator)) + ": " + line;
    }
}

} // namespace

MarkupReader::MarkupReader(std::unique_ptr<ByteSource> source, std::string partName)
    : source_(std::move(source)), partName_(std::move(partName)) {
    reader_ = xmlReaderForIO(&MarkupReader::ReadCallback, nullptr, this, nullptr, nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    if (!reader_) {
        throw std::bad_alloc();
    }
    xmlTextReaderSetErrorHandler(reader_, &CollectError, &parseError_);
}

MarkupReader::~MarkupReader() {
    xmlFreeTextReader(reader_);
}

int MarkupReader::ReadCallback(void* context, char* buffer, int length) {
    auto* self = static_cast<MarkupReader*>(context);
    try {
        return static_cast<int>(self->source_->Read(buffer, static_cast<size_t>(length)));
    } catch (...) {
        self->sourceError_ = std::current_exception();
        return -1;
    }
}

void MarkupReader::Malformed() {
    if (sourceError_) {
        std::rethrow_exception(sourceError_);
    }
    Fail(kBadPackage, partName_ + " is not well-formed XML" +
                          (parseError_.empty() ? std::string() : " (" + parseError_ + ")"));
}

bool MarkupReader::NextElement() {
    while (true) {
        const int status = xmlTextReaderRead(reader_);
        if (status < 0 || sourceError_) {
            Malformed();
        }
        if (status == 0) {
            return false;
        }
        const int type = xmlTextReaderNodeType(reader_);
        if (type == XML_READER_TYPE_ELEMENT) {
            return true;
        }
        if (type == XML_READER_TYPE_DOCUMENT_TYPE) {
            Fail(kBadPackage, partName_ + " has a document type declaration, which XPS forbids");
        }
    }
}

int MarkupReader::Depth() const {
    return xmlTextReaderDepth(reader_);
}

std::string_view MarkupReader::LocalName() const {
    const xmlChar* name = xmlTextReaderConstLocalName(reader_);
    return name ? reinterpret_cast<const char*>(name) : "";
}

std::string_view MarkupReader::NamespaceUri() const {
    const xmlChar* uri = xmlTextReaderConstNamespaceUri(reader_);
    return uri ? reinterpret_cast<const char*>(uri) : "";
}

std::optional<std::string> MarkupReader::Attribute(const char* name) const {
    // Read where the reader holds it rather than as a copy of libxml2's own.
    if (xmlTextReaderMoveToAttribute(reader_, reinterpret_cast<const xmlChar*>(name)) != 1) {
        return std::nullopt;
    }
    const xmlChar* value = xmlTextReaderConstValue(reader_);
    std::optional<std::string> result(std::in_place,
                                      value ? reinterpret_cast<const char*>(value) : "");
    xmlTextReaderMoveToElement(reader_);
    return result;
}

struct RelationshipsParser::State {
    xmlSAXHandler handler{};
    xmlParserCtxtPtr context = nullptr;
    ByteSource* source = nullptr; // while a part is read from one
    int depth = 0;
    bool rootSeen = false;
    std::string problem; // found by a callback; stops the parse
    std::exception_ptr error;
    // The relationships of the part read last: the first count of them. Their strings keep
    // their room from part to part.
    std::vector<Relationship> relationships;
    size_t count = 0;

    void Stop(std::string why) {
        if (problem.empty()) {
            problem = std::move(why);
        }
        xmlStopParser(context);
    }
};

namespace {

std::string_view Text(const unsigned char* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR;
// The names a context's dictionary may hold before it is made anew: a job's relationships
// parts use a handful, so only hostile parts reach this.
constexpr int kDictionaryCap = 4096;

} // namespace

RelationshipsParser::RelationshipsParser() : state_(std::make_unique<State>()) {
    xmlSAXHandler& handler = state_->handler;
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = &RelationshipsParser::StartElement;
    handler.endElementNs = &RelationshipsParser::EndElement;
    handler.internalSubset = &RelationshipsParser::InternalSubset;
    MakeContext();
}

RelationshipsParser::~RelationshipsParser() {
    xmlFreeParserCtxt(state_->context);
}

void RelationshipsParser::MakeContext() {
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) {
        throw std::bad_alloc();
    }
    // Only these callbacks: no tree is built and nothing is printed.
    *context->sax = state_->handler;
    context->userData = state_.get();
    xmlFreeParserCtxt(state_->context);
    state_->context = context;
}

void RelationshipsParser::StartElement(void* context, const unsigned char* localName,
                                       const unsigned char*, const unsigned char* uri, int,
                                       const unsigned char**, int attributeCount, int,
                                       const unsigned char** attributes) {
    auto* state = static_cast<State*>(context);
    const int depth = state->depth++;
    const bool inNamespace = Text(uri) == kPackageRelationships;
    if (depth == 0) {
        state->rootSeen = true;
        if (!inNamespace || Text(localName) != "Relationships") {
            state->Stop("is not a relationships part");
        }
        return;
    }
    if (depth != 1 || !inNamespace || Text(localName) != "Relationship") {
        return;
    }
    try {
        if (state->count == state->relationships.size()) {
            state->relationships.emplace_back();
        }
        Relationship& relationship = state->relationships[state->count];
        relationship.external = false;
        bool id = false, type = false, target = false;
        for (int i = 0; i < attributeCount; ++i) {
            const unsigned char** attribute = attributes + 5 * i;
            if (attribute[2] != nullptr) {
                continue; // only attributes in no namespace count
            }
            const std::string_view name = Text(attribute[0]);
            const std::string_view value(reinterpret_cast<const char*>(attribute[3]),
                                         static_cast<size_t>(attribute[4] - attribute[3]));
            if (name == "Id") {
                id = true;
            } else if (name == "Type") {
                relationship.type.assign(value);
                type = true;
            } else if (name == "Target") {
                relationship.target.assign(value);
                target = true;
            } else if (name == "TargetMode") {
                relationship.external = value == "External";
            }
        }
        if (!id || !type || !target) {
            state->Stop("has a relationship without Id, Type or Target");
            return;
        }
        ++state->count;
    } catch (...) {
        state->error = std::current_exception();
        xmlStopParser(state->context);
    }
}

void RelationshipsParser::EndElement(void* context, const unsigned char*, const unsigned char*,
                                     const unsigned char*) {
    --static_cast<State*>(context)->depth;
}

void RelationshipsParser::InternalSubset(void* context, const unsigned char*, const unsigned char*,
                                         const unsigned char*) {
    static_cast<State*>(context)->Stop("has a document type declaration, which XPS forbids");
}

int RelationshipsParser::ReadCallback(void* context, char* buffer, int length) {
    auto* state = static_cast<State*>(context);
    try {
        return static_cast<int>(state->source->Read(buffer, static_cast<size_t>(length)));
    } catch (...) {
        state->error = std::current_exception();
        return -1;
    }
}

template <class Read>
std::span<const Relationship> RelationshipsParser::Run(const std::string& relsPartName,
                                                       Read&& read) {
    if (xmlDictSize(state_->context->dict) > kDictionaryCap) {
        MakeContext();
    }
    State& state = *state_;
    state.depth = 0;
    state.rootSeen = false;
    state.problem.clear();
    state.error = nullptr;
    state.count = 0;
    // Our callbacks build no tree; should libxml2 have made one, it goes.
    xmlFreeDoc(read(state.context));
    if (state.error) {
        std::rethrow_exception(state.error);
    }
    if (!state.problem.empty()) {
        Fail(kBadPackage, relsPartName + " " + state.problem);
    }
    if (!state.context->wellFormed || !state.rootSeen) {
        const xmlError* error = xmlCtxtGetLastError(state.context);
        std::string detail;
        if (error && error->message) {
            detail = " (line " + std::to_string(error->line) + ": " + error->message;
            while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ')) {
                detail.pop_back();
            }
            detail += ")";
        }
        Fail(kBadPackage, relsPartName + " is not well-formed XML" + detail);
    }
    return std::span<const Relationship>(state.relationships.data(), state.count);
}

std::span<const Relationship> RelationshipsParser::Parse(const std::string& bytes,
                                                         const std::string& relsPartName) {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        Fail(kTooLarge, relsPartName + ": too large to be parsed whole");
    }
    return Run(relsPartName, [&](xmlParserCtxtPtr context) -> xmlDocPtr {
        // The parser reads the bytes where they are (a static buffer is neither copied nor
        // asked for more, and the string's terminator ends it), so that what a parse costs
        // is the markup and no more.
        xmlCtxtReset(context);
        xmlParserInputBufferPtr buffer = xmlParserInputBufferCreateStatic(
            bytes.c_str(), static_cast<int>(bytes.size()), XML_CHAR_ENCODING_NONE);
        if (!buffer) {
            throw std::bad_alloc();
        }
        xmlParserInputPtr input = xmlNewIOInputStream(context, buffer, XML_CHAR_ENCODING_NONE);
        if (!input) {
            xmlFreeParserInputBuffer(buffer);
            throw std::bad_alloc();
        }
        if (inputPush(context, input) < 0) {
            xmlFreeInputStream(input);
            throw std::bad_alloc();
        }
        xmlCtxtUseOptions(context, kParseOptions);
        xmlParseDocument(context);
        xmlDocPtr document = context->myDoc;
        context->myDoc = nullptr;
        return document;
    });
}

std::span<const Relationship> RelationshipsParser::Parse(ByteSource& source,
                                                         const std::string& relsPartName) {
    state_->source = &source;
    return Run(relsPartName, [&](xmlParserCtxtPtr context) {
        return xmlCtxtReadIO(context, &RelationshipsParser::ReadCallback, nullptr, state_.get(),
                             nullptr, nullptr, kParseOptions);
    });
}

} // namespace platform::xps
