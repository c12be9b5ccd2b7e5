// Small pieces the host's streams and readers share: where a Seek lands, and a small file read
// whole.
#pragma once

#include "pipeline.h"

#include <string>

namespace platform::pipeline {

// The position a Seek asks for: from the start, from position or from the end (size). Never
// before the start nor past what a LONGLONG holds: STG_E_INVALIDFUNCTION then, and for an
// unknown origin.
HRESULT SeekTarget(LONGLONG offset, DWORD origin, ULONGLONG position, ULONGLONG size,
                   ULONGLONG& target);

// Reads the regular file at path, of at most cap bytes, into bytes; a FIFO or device is
// refused, never waited on. On failure answers the HRESULT and one line in problem.
HRESULT ReadSmallFile(const std::string& path, size_t cap, std::string& bytes,
                      std::string& problem);

} // namespace platform::pipeline
