// Two neighbours that both speak in parts, joined by a bounded queue: the writer's
// IXpsDocumentConsumer puts each part it is sent, the reader's IXpsDocumentProvider takes them
// in order. A part changes hands under the queue's mutex and the sender keeps no claim on it,
// so the reader's thread sees everything the writer's thread did to it.
#pragma once

#include "pipeline.h"

#include <deque>
#include <memory>

namespace platform::pipeline {

std::shared_ptr<Link> MakePartQueue(size_t depth);

} // namespace platform::pipeline
