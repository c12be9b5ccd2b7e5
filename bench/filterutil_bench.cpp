// filterutil ticket show and ticket prune over tickets of 2,000 and 20,000 parameters, run in
// process as the program runs them (load, read or edit through the library, write the result).
// Both walk the ticket once, so ten times the parameters should cost about ten times the time.
//
// Each ticket has one ParameterInit per parameter and a feature for every second one whose
// scored property refers to it, so show follows references and prune keeps half and removes
// half.
#include "commands.h"

#include <objbase.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

std::string TicketText(int parameters) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<psf:PrintTicket "
        "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
        "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" version=\"1\">\n";
    for (int i = 0; i < parameters / 2; ++i) {
        text += "<psf:Feature name=\"psk:Feature" + std::to_string(i) +
                "\"><psf:Option name=\"psk:Custom\"><psf:ScoredProperty name=\"psk:Amount\">"
                "<psf:ParameterRef name=\"psk:Parameter" +
                std::to_string(2 * i) + "\"/></psf:ScoredProperty></psf:Option></psf:Feature>\n";
    }
    for (int i = 0; i < parameters; ++i) {
        text += "<psf:ParameterInit name=\"psk:Parameter" + std::to_string(i) +
                "\"><psf:Value xsi:type=\"xsd:integer\">" + std::to_string(i) +
                "</psf:Value></psf:ParameterInit>\n";
    }
    return text + "</psf:PrintTicket>\n";
}

// The ticket of that many parameters, written once to a file that lives as long as the run.
const std::string& TicketFile(int parameters) {
    static std::map<int, std::string> files;
    auto found = files.find(parameters);
    if (found == files.end()) {
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("filterutil-bench-" + std::to_string(getpid()) + "-" +
                                   std::to_string(parameters) + ".xml"))
                                     .string();
        std::ofstream(path, std::ios::binary) << TicketText(parameters);
        found = files.emplace(parameters, path).first;
        std::atexit([] {
            for (const auto& entry : files) {
                std::remove(entry.second.c_str());
            }
        });
    }
    return found->second;
}

// Standard output goes to /dev/null while a command runs, and comes back for the report.
class QuietOutput {
public:
    QuietOutput() : saved_(dup(STDOUT_FILENO)) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietOutput() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

private:
    int saved_;
};

void RunCommand(benchmark::State& state, int (*command)(const filterutil::Arguments&)) {
    const std::string& path = TicketFile(static_cast<int>(state.range(0)));
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        QuietOutput quiet;
        for (auto _ : state) {
            if (command({path}) != 0) {
                state.SkipWithError("the command failed");
                break;
            }
        }
    }
    CoUninitialize();
    state.SetComplexityN(state.range(0));
}

void TicketShow(benchmark::State& state) {
    RunCommand(state, filterutil::TicketShow);
}

void TicketPrune(benchmark::State& state) {
    RunCommand(state, filterutil::TicketPrune);
}

} // namespace

BENCHMARK(TicketShow)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(TicketPrune)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK_MAIN();
