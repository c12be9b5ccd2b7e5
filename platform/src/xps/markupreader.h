// Reads the XML of a part element by element as its bytes are inflated (libxml2's streaming
// reader), so markup of any length is read in constant memory. No DTD is loaded, no entity is
// fetched and nothing is read from the network.
#pragma once

#include "ziparchive.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

struct _xmlTextReader;

namespace platform::xps {

class MarkupReader {
public:
    MarkupReader(std::unique_ptr<ByteSource> source, std::string partName);
    ~MarkupReader();
    MarkupReader(const MarkupReader&) = delete;
    MarkupReader& operator=(const MarkupReader&) = delete;

    // Reads another part with the same parser, which saves making one for every small part.
    void Restart(std::unique_ptr<ByteSource> source, std::string partName);

    // Moves to the next start tag; false at the end of the document. Throws PackageError when
    // the markup is not well-formed XML.
    bool NextElement();

    int Depth() const;
    std::string LocalName() const;
    std::string NamespaceUri() const;
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

// The relationships held by the relationships part reader has been started on.
std::vector<Relationship> ReadRelationships(MarkupReader& reader);

} // namespace platform::xps
