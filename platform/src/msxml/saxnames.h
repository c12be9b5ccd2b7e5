// SaxNames: the UTF-16 forms of the names one SAX parse meets, each made once and kept until
// the parse ends, so that an element or attribute met again costs a lookup rather than a
// conversion.
//
// libxml2 hands out element and attribute names, prefixes and namespace URIs from its parser's
// dictionary: the same name comes back as the same pointers for the whole parse, and those
// bytes never change. Names are found by their pointers. A pointer the dictionary does not own
// (none is known to come, but nothing promises it) may hold other text later, so such a name
// also keeps its bytes and is made again when they differ. A Name stays valid, at the same
// address, until the SaxNames goes.
#pragma once

#include <libxml/xmlstring.h>

#include <libxml/dict.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::msxml {

class SaxNames {
public:
    struct Name {
        std::u16string_view uri;   // empty without a namespace
        std::u16string_view local; // for a namespace declaration: "xmlns" or the prefix declared
        std::u16string_view qname; // "prefix:local" or "local"; "xmlns" or "xmlns:prefix"
        std::u16string_view
            prefix; // for a namespace declaration: the prefix declared ("" for the default)
    };

    SaxNames();
    ~SaxNames();
    SaxNames(const SaxNames&) = delete;
    SaxNames& operator=(const SaxNames&) = delete;

    // The parser's dictionary, which tells its names from others; without one, every name
    // keeps its bytes.
    void UseDictionary(xmlDictPtr dictionary) noexcept { dictionary_ = dictionary; }

    // An element's or attribute's name: its local part, prefix and namespace URI (prefix and
    // URI null without one). Throws std::bad_alloc when memory runs out.
    const Name& Of(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri);
    // The same for the attribute at index among its element's: elements of one kind list the
    // same attributes in the same order, so the name found at that index last is tried first.
    const Name& OfAttribute(size_t index, const xmlChar* local, const xmlChar* prefix,
                            const xmlChar* uri);
    // A namespace declaration listed as an attribute: "xmlns" (prefix null) or "xmlns:prefix",
    // in no namespace.
    const Name& OfDeclaration(const xmlChar* prefix);

private:
    struct Record;
    struct Key {
        const xmlChar* local = nullptr;
        const xmlChar* prefix = nullptr;
        const xmlChar* uri = nullptr;
        bool declaration = false;
        bool operator==(const Key&) const = default;
    };
    struct Slot {
        Key key;
        Record* record = nullptr;
    };
    // How many attribute positions remember the name found there last.
    static constexpr size_t kRememberedPositions = 16;

    Record& Find(const Key& key);
    Record& Make(const Key& key);
    bool Owned(const xmlChar* text) const;
    void Grow();

    xmlDictPtr dictionary_ = nullptr;
    std::vector<Slot> slots_; // open addressing, a power of two long, at most half full
    size_t used_ = 0;
    std::vector<std::unique_ptr<Record>> records_;
    Slot lastAtPosition_[kRememberedPositions]; // the attribute names found last, by index
};

} // namespace platform::msxml
