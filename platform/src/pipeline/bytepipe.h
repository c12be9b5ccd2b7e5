// Two neighbours that both speak in bytes, joined by a bounded buffer: the writer waits while
// it is full, the reader while it is empty, so the package streams through without being
// held whole.
#pragma once

#include "pipeline.h"

#include <memory>

namespace platform::pipeline {

// The reader's stream reads front to back: it seeks forward (by skipping) but never back.
std::shared_ptr<Link> MakeBytePipe(size_t capacity);

} // namespace platform::pipeline
