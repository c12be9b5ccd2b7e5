#include "toolrunner.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "filterutil-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> EntriesOf(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ToolRun RunFilterutil(const std::vector<std::string>& arguments, const ToolSetting& setting) {
    ScratchFolder folder;
    const std::string out =
        setting.standardOutput.empty() ? folder.Path("out") : setting.standardOutput;
    const std::string err = folder.Path("err");
    std::vector<char*> argv{const_cast<char*>(FILTERUTIL_PROGRAM)};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("cannot start filterutil");
    }
    if (child == 0) {
        const int in = open(setting.standardInput.c_str(), O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
            _exit(126);
        }
        if (setting.beforeExec) {
            setting.beforeExec();
        }
        execv(FILTERUTIL_PROGRAM, argv.data());
        _exit(127);
    }
    int raw = 0;
    while (waitpid(child, &raw, 0) < 0) {
    }
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (setting.standardOutput.empty()) {
        run.out = ReadFile(out);
    }
    run.err = ReadFile(err);
    return run;
}
