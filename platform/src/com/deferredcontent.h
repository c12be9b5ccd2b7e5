// Content that a writer of the platform's own leaves in a memory stream (CreateStreamOnHGlobal)
// to be written out only when the stream is next used, so that a reader of the platform's own
// may take it as it is instead of reading its bytes.
//
// Ownership: the stream owns the content from Defer on, shared with its clones, until it is
// written out; a reader borrows it for the length of one call.
#pragma once

#include "objidl.h"

#include <memory>
#include <string>

struct _xmlDoc;

namespace platform::com {

class DeferredContent {
public:
    virtual ~DeferredContent() = default;
    // The bytes the content stands for. Throws std::bad_alloc.
    virtual void Write(std::string& out) const = 0;
    // The XML document whose formatted text the bytes are, when the content is one; null
    // otherwise.
    virtual const _xmlDoc* Tree() const { return nullptr; }
};

class DeferredStream : public IUnknown {
public:
    // Leaves content to stand for the stream's bytes, taking it: only into an empty stream
    // standing at its start and holding no content yet. False, with content left to the
    // caller, otherwise.
    virtual bool Defer(std::unique_ptr<DeferredContent>& content) = 0;
    // The content left and not yet written, while this stream stands at its start; null
    // otherwise.
    virtual const DeferredContent* Deferred() = 0;
    // The reader took the content: this stream stands at its end, as a reader of its bytes
    // would have left it.
    virtual void MarkReadToEnd() = 0;

protected:
    ~DeferredStream() = default;
};

} // namespace platform::com

template <>
struct PlatformInterfaceId<platform::com::DeferredStream> {
    static constexpr IID value{
        0x8d3c51e7, 0x0b2a, 0x4f96, {0xb1, 0x6e, 0x3a, 0x95, 0xc7, 0x04, 0xd2, 0x68}};
};
