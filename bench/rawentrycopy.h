// The raw-copy floor of an XPS copy: every ZIP entry's stored bytes copied as they are, with
// the platform's own ZIP reader and writer and nothing else. Built from inside the platform
// (platform/src on the include path), as its tests are.
#pragma once

#include <xpspackage.h>

#include "xps/ziparchive.h"
#include "xps/zipwriter.h"

#include <string>
#include <vector>

namespace benchfloor {

inline void CopyEntriesRaw(const std::string& in, const std::string& out) {
    XpsPackageLimits limits;
    XpsDefaultPackageLimits(&limits);
    const auto archive = platform::xps::ZipArchive::Open(in, limits);
    platform::xps::ZipWriter writer(out);
    std::vector<char> buffer(64 * 1024);
    for (uint64_t i = 0; i < archive->EntryCount(); ++i) {
        const platform::xps::ZipEntry entry = archive->EntryAt(i);
        const auto raw = archive->OpenRaw(entry);
        writer.BeginRaw(std::string(archive->NameOf(i)), entry.method, entry.storedSize,
                        entry.fullSize, entry.crc);
        while (const size_t got = raw->Read(buffer.data(), buffer.size())) {
            writer.Write(buffer.data(), got);
        }
        writer.End();
    }
    writer.Commit();
}

} // namespace benchfloor
