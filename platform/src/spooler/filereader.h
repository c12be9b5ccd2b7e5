// Reading a whole file that must be a regular file of bounded size: a FIFO, a device or a
// folder is refused without blocking on it.
#pragma once

#include <string>

namespace platform::spooler {

// False with problem set ("cannot open: ...", "not a regular file", "larger than ...").
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& bytes,
                     std::string& problem);

} // namespace platform::spooler
