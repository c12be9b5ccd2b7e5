// What the job benchmarks share: a scratch folder kept for the run, a make-xps job made there
// once, and the processor time of every thread of the process.
#pragma once

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace benchjob {

// A new folder under /tmp named after the pattern's prefix ("/tmp/NAME.XXXXXX").
inline std::string MakeScratchFolder(const char* name) {
    std::string pattern = std::string("/tmp/") + name + ".XXXXXX";
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// The job at path, made by make-xps with the given arguments unless it is there already.
inline std::string MakeJob(const char* makeXps, const std::string& path,
                           const std::string& arguments) {
    if (!std::filesystem::exists(path)) {
        const std::string command =
            std::string("python3 '") + makeXps + "' '" + path + "' " + arguments;
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make-xps failed: " + command);
        }
    }
    return path;
}

// The processor time of all the process's threads so far, in milliseconds.
inline double ProcessMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

} // namespace benchjob
