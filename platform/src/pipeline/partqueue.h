// Two neighbours that both speak in parts, joined by a bounded queue: the writer's
// IXpsDocumentConsumer puts each part it is sent, the reader's IXpsDocumentProvider takes them
// in order. A part changes hands under the queue's mutex and the sender keeps no claim on it,
// so the reader's thread sees everything the writer's thread did to it. A neighbour that waits
// (a reader on an empty queue, a writer on a full one) is woken when half the queue has come or
// gone, or when the other side stops, rather than for every part; what is less than that
// reaches it within a couple of milliseconds all the same.
// A part is freed on the thread that made it, however many filters it passes: the queue keeps
// a reference to each part its reader takes and drops it on the writer's thread once every
// other holder has let the part go, unless the writer took the part from the queue before it
// (its `upstream`), which then keeps it for its own writer, the part's maker.
#pragma once

#include "pipeline.h"
#include "platformexport.h"

#include <deque>
#include <memory>

namespace platform::pipeline {

// upstream: the link the writer reads; it counts only when it is a part queue too.
PLATFORM_EXPORT std::shared_ptr<Link>
MakePartQueue(size_t depth, const std::shared_ptr<Link>& upstream = nullptr);

} // namespace platform::pipeline
