// Two neighbours that both speak in parts, joined by a bounded queue: the writer's
// IXpsDocumentConsumer puts each part it is sent, the reader's IXpsDocumentProvider takes them
// in order. A part changes hands under the queue's mutex and the sender keeps no claim on it,
// so the reader's thread sees everything the writer's thread did to it. A neighbour that waits
// (a reader on an empty queue, a writer on a full one) is woken when half the queue has come or
// gone, or when the other side stops, rather than for every part; what is less than that
// reaches it within a couple of milliseconds all the same. The queue keeps a reference to each
// part the reader takes and drops it on the writer's thread once the reader has taken the next,
// so that a part the reader let go is freed where it was made, not across threads.
#pragma once

#include "pipeline.h"
#include "platformexport.h"

#include <deque>
#include <memory>

namespace platform::pipeline {

PLATFORM_EXPORT std::shared_ptr<Link> MakePartQueue(size_t depth);

} // namespace platform::pipeline
