// A 1,000-page job through the built-in copy filter on the pipeline host (what
// `filterutil run --filter copy IN OUT` does: the filter on its own thread, on the XPS filter
// base with merging on, joined to the input and output packages by the host), beside the floor
// measured in the same run: every ZIP entry's stored bytes copied raw with the platform's own
// ZIP code; and the job through two and three copy filters, which hand every part between
// their threads (with three, every part passes the middle filter's thread unchanged).
// Each reports wall time and the processor time of the whole process (all threads).
//
//   copyfilter_bench [benchmark flags]        both, on a 1,000-page job with a ticket on every
//                                             page (the job of xpscopy_bench)
//   copyfilter_bench --once host|chain|chain3|floor [JOB [COUNT]]
//                                             COUNT copies (1 by default) by one of them (chain:
//                                             two copy filters joined by a part queue; chain3:
//                                             three), for
//                                             counting instructions: the difference between
//                                             two counts leaves out the process's start-up
//                                             (bench/copyfilter-instructions.sh)
#include "rawentrycopy.h"

#include "builtinfilters.h"

#include <atlbase.h>
#include <pipelinehost.h>

#include "benchjob.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

constexpr int kPages = 1000;

std::string Folder() {
    static const std::string folder = benchjob::MakeScratchFolder("copyfilterbench");
    return folder;
}

std::string MakeJob() {
    return benchjob::MakeJob(
        COPYFILTERBENCH_MAKE_XPS, Folder() + "/job" + std::to_string(kPages) + ".xps",
        "--pages " + std::to_string(kPages) + " --lines 40 --page-tickets every");
}

// The job through `filters` copy filters chained on the host.
void CopyThroughHostChain(const std::string& in, const std::string& out, int filters) {
    platformpipeline::Pipeline pipeline;
    for (int i = 0; i < filters; ++i) {
        platformpipeline::Filter copy;
        copy.name = "copy" + std::to_string(i + 1);
        if (FAILED(filterutil::MakeCopyFilterFactory(&copy.factory))) {
            throw std::runtime_error("cannot make the copy filter");
        }
        pipeline.filters.push_back(copy);
    }
    platformpipeline::JobSettings settings;
    settings.input = in;
    settings.output = out;
    const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, settings);
    if (!result.Succeeded()) {
        throw std::runtime_error("the job failed: " + result.filter + ": " + result.message);
    }
}

void CopyThroughHost(const std::string& in, const std::string& out) {
    CopyThroughHostChain(in, out, 1);
}

// Two copy filters, each on its own thread, joined by a part queue: what handing every part
// from one filter's thread to the next costs.
void CopyTwiceThroughHost(const std::string& in, const std::string& out) {
    CopyThroughHostChain(in, out, 2);
}

// Three: every part the first filter reads passes the middle one unchanged.
void CopyThriceThroughHost(const std::string& in, const std::string& out) {
    CopyThroughHostChain(in, out, 3);
}

using CopyFunction = void (*)(const std::string& in, const std::string& out);

void BM_Copy(benchmark::State& state, CopyFunction copy) {
    const std::string in = MakeJob();
    const std::string out = Folder() + "/copy.xps";
    for (auto _ : state) {
        copy(in, out);
    }
    state.counters["pages"] = kPages;
}
BENCHMARK_CAPTURE(BM_Copy, CopyFilterThroughHost, &CopyThroughHost)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, TwoCopyFiltersThroughHost, &CopyTwiceThroughHost)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, ThreeCopyFiltersThroughHost, &CopyThriceThroughHost)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, FloorRawEntryCopy, &benchfloor::CopyEntriesRaw)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 3 && argc <= 5 && std::string(argv[1]) == "--once") {
            const std::string what = argv[2];
            const std::string in = argc >= 4 ? std::string(argv[3]) : MakeJob();
            const int count = argc == 5 ? std::atoi(argv[4]) : 1;
            const CopyFunction copy = what == "host"     ? &CopyThroughHost
                                      : what == "chain"  ? &CopyTwiceThroughHost
                                      : what == "chain3" ? &CopyThriceThroughHost
                                      : what == "floor"  ? &benchfloor::CopyEntriesRaw
                                                         : nullptr;
            if (!copy) {
                throw std::runtime_error("--once takes host, chain, chain3 or floor");
            }
            if (count < 1 || count > 1000) {
                throw std::runtime_error("--once copies from 1 to 1000 times");
            }
            for (int i = 0; i < count; ++i) {
                copy(in, Folder() + "/once.xps");
            }
        } else {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "copyfilter_bench: %s\n", error.what());
        std::filesystem::remove_all(Folder());
        return 1;
    }
    std::filesystem::remove_all(Folder());
    return 0;
}
