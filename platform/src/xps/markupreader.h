// Reads the XML of a part element by element as its bytes are inflated (libxml2's streaming
// reader), so markup of any length is read in constant memory. No DTD is loaded, no entity is
// fetched and nothing is read from the network.
#pragma once

#include "ziparchive.h"

#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct _xmlTextReader;

namespace platform::xps {

class MarkupReader {
public:
    MarkupReader(std::unique_ptr<ByteSource> source, std::string partName);
    ~MarkupReader();
    MarkupReader(const MarkupReader&) = delete;
    MarkupReader& operator=(const MarkupReader&) = delete;

    // Moves to the next start tag; false at the end of the document. Throws PackageError when
    // the markup is not well-formed XML.
    bool NextElement();

    int Depth() const;
    // Valid until the next call of NextElement.
    std::string_view LocalName() const;
    std::string_view NamespaceUri() const;
    std::optional<std::string> Attribute(const char* name) const;
    const std::string& PartName() const { return partName_; }

private:
    static int ReadCallback(void* context, char* buffer, int length);
    [[noreturn]] void Malformed();

    std::unique_ptr<ByteSource> source_;
    std::string partName_;
    _xmlTextReader* reader_ = nullptr;
    std::exception_ptr sourceError_;
    std::string parseError_;
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
    static int ReadCallback(void* context, char* buffer, int length);
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
