// Where a command's result goes: standard output, or the file that -o names.
#pragma once

#include <string>
#include <string_view>

namespace filterutil {

// Writes every byte to standard output. A failed write (a full disk, a closed pipe's EPIPE
// when SIGPIPE is ignored) throws ToolError with exit status 1 and the reason.
void WriteStandardOutput(std::string_view bytes);

// Writes the bytes to the file path names; "-" is standard output.
//  - A symbolic link is followed to the file it names (through every link in a chain), and
//    that file is written; the link stays.
//  - A regular file, or a name where nothing is yet, is written under a fresh temporary name
//    in the same folder, made exclusively (never through a link planted there), given the
//    target's mode and, where permitted, its owner and group (a new file gets 0666 less the
//    umask), flushed to disk and renamed over the target. A failure removes the temporary
//    file and leaves the target as it was.
//  - Anything else that is not a folder (a device such as /dev/null, a FIFO, a socket) is
//    written to directly and never replaced.
// A target that cannot be opened or made (a folder, a missing folder, no permission) throws
// ToolError with exit status 2; a failed write, flush or rename throws it with status 1.
void WriteOutputFile(const std::string& path, std::string_view bytes);

} // namespace filterutil
