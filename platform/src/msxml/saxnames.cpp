#include "saxnames.h"

#include "xmltext.h"

#include <cstdint>
#include <cstring>
#include <functional>

namespace platform::msxml {

struct SaxNames::Record {
    Name name;
    std::unique_ptr<char16_t[]> text; // every part of the name, one after the other
    // For a name whose pointers the dictionary does not own, the bytes they held.
    bool checked = false;
    std::string local;
    std::string prefix;
    std::string uri;

    bool Holds(const Key& key) const {
        return !checked || (ViewOf(key.local) == local && ViewOf(key.prefix) == prefix &&
                            ViewOf(key.uri) == uri);
    }
};

namespace {

size_t Hash(const void* local, const void* prefix, const void* uri, bool declaration) {
    // Dictionary strings sit at least a few bytes apart: the low bits say little.
    const auto bits = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) >> 3; };
    size_t h = bits(local) * 0x9E3779B97F4A7C15u;
    h ^= bits(prefix) + 0x7F4A7C15u + (h << 6) + (h >> 2);
    h ^= bits(uri) + 0x9E3779B9u + (h << 6) + (h >> 2);
    return declaration ? ~h : h;
}

} // namespace

SaxNames::SaxNames() = default;

SaxNames::~SaxNames() = default;

const SaxNames::Name& SaxNames::Of(const xmlChar* local, const xmlChar* prefix,
                                   const xmlChar* uri) {
    return Find({local, prefix, uri, false}).name;
}

const SaxNames::Name& SaxNames::OfAttribute(size_t index, const xmlChar* local,
                                            const xmlChar* prefix, const xmlChar* uri) {
    const Key key{local, prefix, uri, false};
    if (index >= kRememberedPositions) {
        return Find(key).name;
    }
    Slot& last = lastAtPosition_[index];
    if (!last.record || !(last.key == key) || !last.record->Holds(key)) {
        last.record = &Find(key);
        last.key = key;
    }
    return last.record->name;
}

const SaxNames::Name& SaxNames::OfDeclaration(const xmlChar* prefix) {
    return Find({nullptr, prefix, nullptr, true}).name;
}

SaxNames::Record& SaxNames::Find(const Key& key) {
    if (2 * (used_ + 1) > slots_.size()) {
        Grow();
    }
    const size_t mask = slots_.size() - 1;
    size_t i = Hash(key.local, key.prefix, key.uri, key.declaration) & mask;
    while (slots_[i].record && !(slots_[i].key == key)) {
        i = (i + 1) & mask;
    }
    Slot& slot = slots_[i];
    if (!slot.record) {
        slot.record = &Make(key);
        slot.key = key;
        ++used_;
    } else if (!slot.record->Holds(key)) {
        slot.record = &Make(key); // the old record stays: its name may still be in use
    }
    return *slot.record;
}

void SaxNames::Grow() {
    std::vector<Slot> grown(slots_.empty() ? 64 : 2 * slots_.size());
    const size_t mask = grown.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.record) {
            size_t i =
                Hash(slot.key.local, slot.key.prefix, slot.key.uri, slot.key.declaration) & mask;
            while (grown[i].record) {
                i = (i + 1) & mask;
            }
            grown[i] = slot;
        }
    }
    slots_ = std::move(grown);
}

bool SaxNames::Owned(const xmlChar* text) const {
    return !text || (dictionary_ && xmlDictOwns(dictionary_, text) == 1);
}

SaxNames::Record& SaxNames::Make(const Key& key) {
    const std::string_view local = key.declaration ? std::string_view() : ViewOf(key.local);
    const std::string_view prefix = ViewOf(key.prefix);
    const std::string_view uri = ViewOf(key.uri);
    auto record = std::make_unique<Record>();
    // Room for the widest layout: uri, local, qname (prefix, colon, local) and prefix, each
    // at most a unit a byte; "xmlns" and its colon twice for a declaration.
    const size_t room = uri.size() + 2 * local.size() + 2 * prefix.size() + 1 + 12;
    record->text = std::make_unique_for_overwrite<char16_t[]>(room);
    char16_t* const base = record->text.get();
    char16_t* at = base;
    const auto put = [&at](std::string_view utf8) {
        char16_t* const start = at;
        at = WidenUtf8(utf8, at);
        return std::u16string_view(start, static_cast<size_t>(at - start));
    };
    Name& name = record->name;
    // Every part, even an empty one, points into the record: handlers get a pointer with
    // every length.
    name.uri = name.local = name.qname = name.prefix = std::u16string_view(base, 0);
    if (key.declaration) {
        const std::u16string_view declared = put(prefix);
        name.prefix = declared;
        if (key.prefix) {
            name.local = declared;
            char16_t* const qname = at;
            put("xmlns:");
            put(prefix);
            name.qname = std::u16string_view(qname, static_cast<size_t>(at - qname));
        } else {
            name.local = name.qname = put("xmlns");
        }
    } else {
        name.uri = put(uri);
        char16_t* const qname = at;
        if (key.prefix) {
            name.prefix = put(prefix);
            put(":");
        }
        name.local = put(local);
        name.qname = std::u16string_view(qname, static_cast<size_t>(at - qname));
    }
    if (!Owned(key.local) || !Owned(key.prefix) || !Owned(key.uri)) {
        record->checked = true;
        record->local = local;
        record->prefix = prefix;
        record->uri = uri;
    }
    records_.push_back(std::move(record));
    return *records_.back();
}

} // namespace platform::msxml
