// Runs the filterutil program and collects what it printed.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

struct ToolSetting {
    std::string standardInput = "/dev/null"; // the file standard input reads
    std::string standardOutput;              // the file standard output writes; empty: captured
    std::function<void()> beforeExec;        // runs in the child, under the program's own pid
};

// Runs filterutil with the arguments, passed as they are (no shell).
ToolRun RunFilterutil(const std::vector<std::string>& arguments,
                      const ToolSetting& setting = ToolSetting());

std::string ReadFile(const std::string& path);
// The names of the entries in a folder, sorted.
std::vector<std::string> EntriesOf(const std::string& folder);
void WriteFile(const std::string& path, const std::string& bytes);

// A fresh, empty folder for one test, removed with the object.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    // The names of the entries in the folder, sorted.
    std::vector<std::string> Entries() const { return EntriesOf(path_); }

private:
    std::string path_;
};
