// Memory streams for fuzz targets that hand the platform's stream-taking calls their input.
#pragma once

#include <atlbase.h>
#include <objbase.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzstreams {

// A stream holding bytes, positioned at its start.
inline CComPtr<IStream> StreamOf(std::string_view bytes) {
    CComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) {
        std::abort();
    }
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return stream;
}

// Everything the stream holds, read from its start.
inline std::string ContentOf(IStream* stream) {
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    std::string bytes;
    char buffer[4096];
    for (ULONG read = 0; SUCCEEDED(stream->Read(buffer, sizeof buffer, &read)) && read > 0;) {
        bytes.append(buffer, read);
    }
    return bytes;
}

} // namespace fuzzstreams
