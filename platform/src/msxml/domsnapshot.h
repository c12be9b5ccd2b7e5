// The stream a DOM document hands out for IStream: the document's text as it stood when the
// stream was asked for, serialised only when the stream is first used.
//
// Ownership: a pending snapshot holds a reference to its document, which lists it; the
// document serialises every pending snapshot (under its snapshot lock) before any change to its
// trees, so a snapshot always reads as the document stood when it was made. Once used, or
// taken by that change, the snapshot owns a memory stream of its own and lets the document go.
//
// A reader of the platform's own (the PrintTicket provider) may ask a pending snapshot, through
// DomTreeSnapshot, for the tree itself instead of its text, as long as nothing has used the
// stream and the document has not changed.
#pragma once

#include "objidl.h"

#include <libxml/tree.h>

namespace platform::msxml {

class DomTreeSnapshot : public IUnknown {
public:
    // The document's tree while the snapshot is pending and the tree is exactly as the
    // document's loader made it with the default options (no change since the load, white
    // space not preserved): parsing the stream's text with those options gives the same tree,
    // line numbers aside. Null otherwise. Valid until the document changes or the stream is
    // used; read only.
    virtual const xmlDoc* LoadedTree() = 0;
    // The reader took the tree: the stream now stands at its end, as a reader of its bytes
    // would have left it.
    virtual void MarkReadToEnd() = 0;

protected:
    ~DomTreeSnapshot() = default;
};

} // namespace platform::msxml

template <>
struct PlatformInterfaceId<platform::msxml::DomTreeSnapshot> {
    static constexpr IID value{
        0x2f6e9a1d, 0x7c54, 0x4b0e, {0x9a, 0x31, 0xd4, 0x6b, 0x02, 0xe8, 0x5f, 0x17}};
};

namespace platform::msxml {

class DomDocument;

// What the document asks of a snapshot it lists.
class PendingSnapshot {
public:
    // The document is about to change: the snapshot serialises the document as it stands and
    // is pending no longer. Called with the document's snapshot lock held.
    virtual void Take() noexcept = 0;

protected:
    ~PendingSnapshot() = default;
};

// A pending snapshot of doc (one reference), or null when memory runs out.
IStream* MakeSnapshot(DomDocument& doc, bool asLoaded);

} // namespace platform::msxml
