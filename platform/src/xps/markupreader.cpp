#include "markupreader.h"

#include <libxml/parserInternals.h>

#include <climits>
#include <exception>

namespace platform::xps {
namespace {

std::string_view Text(const unsigned char* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR;

// " (line N: message)" for the parser's last error, or "" when it has none.
std::string ErrorDetail(xmlParserCtxtPtr context) {
    const xmlError* error = xmlCtxtGetLastError(context);
    if (!error || !error->message) {
        return {};
    }
    std::string detail = " (line " + std::to_string(error->line) + ": " + error->message;
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ')) {
        detail.pop_back();
    }
    return detail + ")";
}

// The bytes fed to a push parser at a time.
constexpr size_t kChunkSize = 16 * 1024;

} // namespace

MarkupReader::MarkupReader(std::unique_ptr<ByteSource> source, std::string partName)
    : source_(std::move(source)), partName_(std::move(partName)), chunk_(new char[kChunkSize]) {
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = &MarkupReader::StartElement;
    handler.endElementNs = &MarkupReader::EndElement;
    handler.internalSubset = &MarkupReader::InternalSubset;
    // Only these callbacks: no tree is built and nothing is printed.
    context_ = xmlCreatePushParserCtxt(&handler, this, nullptr, 0, nullptr);
    if (!context_) {
        throw std::bad_alloc();
    }
    xmlCtxtUseOptions(context_, kParseOptions);
}

MarkupReader::~MarkupReader() {
    xmlFreeParserCtxt(context_);
}

void MarkupReader::StartElement(void* context, const unsigned char* localName, const unsigned char*,
                                const unsigned char* uri, int, const unsigned char**,
                                int attributeCount, int, const unsigned char** attributes) {
    auto* self = static_cast<MarkupReader*>(context);
    const int depth = self->depth_++;
    self->startPending_ = false;
    if (depth > 1) {
        return;
    }
    try {
        Element element{depth, localName, uri, static_cast<uint32_t>(self->attributes_.size()), 0};
        for (int i = 0; i < attributeCount; ++i) {
            const unsigned char** attribute = attributes + 5 * i;
            if (attribute[2] != nullptr) {
                continue; // only attributes in no namespace are asked for
            }
            const size_t length = static_cast<size_t>(attribute[4] - attribute[3]);
            self->attributes_.push_back({Text(attribute[0]), self->values_.size(), length});
            self->values_.append(reinterpret_cast<const char*>(attribute[3]), length);
            ++element.attributeCount;
        }
        self->queue_.push_back(element);
        self->startPending_ = true;
    } catch (...) {
        self->error_ = std::current_exception();
        xmlStopParser(self->context_);
    }
}

void MarkupReader::EndElement(void* context, const unsigned char*, const unsigned char*,
                              const unsigned char*) {
    auto* self = static_cast<MarkupReader*>(context);
    --self->depth_;
    self->startPending_ = false;
}

void MarkupReader::InternalSubset(void* context, const unsigned char*, const unsigned char*,
                                  const unsigned char*) {
    auto* self = static_cast<MarkupReader*>(context);
    self->problem_ = "has a document type declaration, which XPS forbids";
    xmlStopParser(self->context_);
}

void MarkupReader::Malformed() {
    if (error_) {
        std::rethrow_exception(error_);
    }
    if (!problem_.empty()) {
        Fail(kBadPackage, partName_ + " " + problem_);
    }
    Fail(kBadPackage, partName_ + " is not well-formed XML" + ErrorDetail(context_));
}

bool MarkupReader::Fill() {
    queue_.clear();
    attributes_.clear();
    values_.clear();
    next_ = 0;
    while (queue_.empty()) {
        // Elements read before damage are handed out first; the damage shows after them.
        if (error_ || !problem_.empty() || !context_->wellFormed) {
            Malformed();
        }
        if (ended_) {
            return false;
        }
        const size_t got = source_->Read(chunk_.get(), kChunkSize);
        ended_ = got == 0;
        xmlParseChunk(context_, chunk_.get(), static_cast<int>(got), ended_ ? 1 : 0);
        if (startPending_ && !context_->wellFormed) {
            queue_.pop_back(); // its start tag is where the damage is
            startPending_ = false;
        }
    }
    return true;
}

bool MarkupReader::NextElement() {
    if (next_ == queue_.size() && !Fill()) {
        return false;
    }
    ++next_;
    return true;
}

std::string_view MarkupReader::LocalName() const {
    return Text(Current().localName);
}

std::string_view MarkupReader::NamespaceUri() const {
    return Text(Current().uri);
}

std::optional<std::string_view> MarkupReader::Attribute(std::string_view name) const {
    const Element& element = Current();
    for (uint32_t i = 0; i < element.attributeCount; ++i) {
        const AttributeText& attribute = attributes_[element.firstAttribute + i];
        if (attribute.name == name) {
            return std::string_view(values_).substr(attribute.offset, attribute.length);
        }
    }
    return std::nullopt;
}

struct RelationshipsParser::State {
    xmlSAXHandler handler{};
    xmlParserCtxtPtr context = nullptr;
    std::unique_ptr<char[]> chunk; // of a part read as it streams, made for the first
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
        Fail(kBadPackage, relsPartName + " is not well-formed XML" + ErrorDetail(state.context));
    }
    return std::span<const Relationship>(state.relationships.data(), state.count);
}

std::span<const Relationship> RelationshipsParser::Parse(const std::string& bytes,
                                                         const std::string& relsPartName) {
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        Fail(kTooLarge, relsPartName + ": too large to be parsed whole");
    }
    return Run(relsPartName, [&](xmlParserCtxtPtr context) -> xmlDocPtr {
        // The bytes are pushed whole, as the last chunk. (A static input buffer would spare
        // their copy, but libxml2 shrinks such a buffer as if it owned it: past a few hundred
        // bytes the parser reads markup twice or past the end of the bytes.)
        if (xmlCtxtResetPush(context, nullptr, 0, nullptr, nullptr) != 0) {
            throw std::bad_alloc();
        }
        xmlCtxtUseOptions(context, kParseOptions);
        xmlParseChunk(context, bytes.data(), static_cast<int>(bytes.size()), 1);
        xmlDocPtr document = context->myDoc;
        context->myDoc = nullptr;
        return document;
    });
}

std::span<const Relationship> RelationshipsParser::Parse(ByteSource& source,
                                                         const std::string& relsPartName) {
    return Run(relsPartName, [&](xmlParserCtxtPtr context) -> xmlDocPtr {
        // Pushed a chunk at a time as the bytes are inflated, until the end or a stop.
        if (xmlCtxtResetPush(context, nullptr, 0, nullptr, nullptr) != 0) {
            throw std::bad_alloc();
        }
        xmlCtxtUseOptions(context, kParseOptions);
        if (!state_->chunk) {
            state_->chunk.reset(new char[kChunkSize]);
        }
        while (!state_->error && state_->problem.empty() && context->wellFormed) {
            const size_t got = source.Read(state_->chunk.get(), kChunkSize);
            xmlParseChunk(context, state_->chunk.get(), static_cast<int>(got), got == 0 ? 1 : 0);
            if (got == 0) {
                break;
            }
        }
        xmlDocPtr document = context->myDoc;
        context->myDoc = nullptr;
        return document;
    });
}

} // namespace platform::xps
