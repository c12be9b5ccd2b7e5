// Reads the root element of a part's XML and the elements directly inside it as the part's
// bytes are inflated: libxml2's push parser is fed a chunk at a time and its SAX2 callbacks
// queue the elements each chunk completes, so markup of any length is read in constant memory
// and no tree is built. Deeper elements are parsed (the whole part must be well-formed) but not
// queued. No DTD is loaded, no entity is fetched and nothing is read from the network.
#pragma once

#include "ziparchive.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct _xmlParserCtxt;

namespace platform::xps {

class MarkupReader {
public:
    MarkupReader(std::unique_ptr<ByteSource> source, std::string partName);
    ~MarkupReader();
    MarkupReader(const MarkupReader&) = delete;
    MarkupReader& operator=(const MarkupReader&) = delete;

    // Moves to the next start tag of the root element or of a child of it; false at the end of
    // the document. The elements before damage are read; then it throws PackageError when the
    // markup is not well-formed XML or has a document type declaration, and what the source
    // throws when its bytes are damaged.
    bool NextElement();

    // 0 for the root element, 1 for its children.
    int Depth() const { return Current().depth; }
    // Valid until the next call of NextElement.
    std::string_view LocalName() const;
    std::string_view NamespaceUri() const;
    // The attribute of that name in no namespace, or nothing; valid until the next call of
    // NextElement.
    std::optional<std::string_view> Attribute(std::string_view name) const;
    const std::string& PartName() const { return partName_; }

private:
    struct Element {
        int depth;
        const unsigned char* localName; // in the parser's dictionary
        const unsigned char* uri;       // in the parser's dictionary, or null
        uint32_t firstAttribute;        // into attributes_
        uint32_t attributeCount;
    };
    struct AttributeText {
        std::string_view name; // in the parser's dictionary
        size_t offset, length; // into values_
    };

    const Element& Current() const { return queue_[next_ - 1]; }
    // Feeds the parser until it queues elements or the document ends; false at its end.
    bool Fill();
    [[noreturn]] void Malformed();
    static void StartElement(void* context, const unsigned char* localName,
                             const unsigned char* prefix, const unsigned char* uri,
                             int namespaceCount, const unsigned char** namespaces,
                             int attributeCount, int defaultedCount,
                             const unsigned char** attributes);
    static void EndElement(void* context, const unsigned char* localName,
                           const unsigned char* prefix, const unsigned char* uri);
    static void InternalSubset(void* context, const unsigned char* name,
                               const unsigned char* externalId, const unsigned char* systemId);

    std::unique_ptr<ByteSource> source_;
    std::string partName_;
    _xmlParserCtxt* context_ = nullptr;
    std::unique_ptr<char[]> chunk_; // the bytes fed to the parser, reused
    bool ended_ = false;            // the last chunk was fed
    int depth_ = 0;                 // of the parser, in the callbacks
    // The last event was the start of the last element queued: a damaged start tag is reported
    // after its element started, so such an element is dropped when the parse fails.
    bool startPending_ = false;
    std::string problem_;      // found by a callback; stops the parse
    std::exception_ptr error_; // thrown in a callback (no memory); stops the parse
    // The elements the last chunk completed, the next_ of them handed out already.
    std::vector<Element> queue_;
    size_t next_ = 0;
    std::vector<AttributeText> attributes_;
    std::string values_;
};

struct Relationship {
    std::string type;
    std::string target; // as written
    bool external = false;
};

// Reads relationships parts with one SAX parser context kept for all of them (its
// dictionary and buffers with it): a job has one such part for every page, and making a
// parser for each costs more than reading it.
class RelationshipsParser {
public:
    RelationshipsParser();
    ~RelationshipsParser();
    RelationshipsParser(const RelationshipsParser&) = delete;
    RelationshipsParser& operator=(const RelationshipsParser&) = delete;

    // The relationships of the part named relsPartName, whose bytes are given whole or read
    // from source; valid until the next Parse. Throw PackageError when it is not a
    // well-formed relationships part.
    std::span<const Relationship> Parse(const std::string& bytes, const std::string& relsPartName);
    std::span<const Relationship> Parse(ByteSource& source, const std::string& relsPartName);

private:
    struct State;
    template <class Read>
    std::span<const Relationship> Run(const std::string& relsPartName, Read&& read);
    void MakeContext();
    static void StartElement(void* context, const unsigned char* localName,
                             const unsigned char* prefix, const unsigned char* uri,
                             int namespaceCount, const unsigned char** namespaces,
                             int attributeCount, int defaultedCount,
                             const unsigned char** attributes);
    static void EndElement(void* context, const unsigned char* localName,
                           const unsigned char* prefix, const unsigned char* uri);
    static void InternalSubset(void* context, const unsigned char* name,
                               const unsigned char* externalId, const unsigned char* systemId);

    std::unique_ptr<State> state_;
};

} // namespace platform::xps
