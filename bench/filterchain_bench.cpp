// A 1,000-page job through the chain ticket + watermark + copy on the pipeline host (each page's
// ticket rewritten through PrintTicketEditor, the watermark drawn, the job passed on), beside
// the watermark filter alone over the same job in the same run. The goal: the chain takes less
// than 1.2 times the watermark alone; on two cores the three filters run side by side, so what
// the chain adds is what the ticket and copy filters cost on top of the busiest one.
//
//   filterchain_bench [benchmark flags]
//
// Each reports pages per second; the job is made once with make-xps (40 lines a page, a ticket
// on the first page). The chain runs twice: setting the job's ticket, and setting every page's.
#include "builtinfilters.h"

#include <watermark/watermarkfilter.h>

#include <atlbase.h>
#include <objbase.h>
#include <pipelinehost.h>

#include "benchjob.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kPages = 1000;

std::string Folder() {
    static const std::string folder = benchjob::MakeScratchFolder("filterchainbench");
    return folder;
}

std::string MakeJob() {
    return benchjob::MakeJob(FILTERCHAINBENCH_MAKE_XPS, Folder() + "/job.xps",
                             "--pages " + std::to_string(kPages));
}

platformpipeline::Filter Watermark() {
    WatermarkFilterOptions options;
    options.settings = u"<Type>0</Type><KldWmText>CONFIDENTIAL</KldWmText><FontEsc>450</FontEsc>";
    platformpipeline::Filter filter;
    filter.name = "watermark";
    if (FAILED(MakeWatermarkFilterFactory(options, &filter.factory))) {
        throw std::runtime_error("no watermark factory");
    }
    return filter;
}

platformpipeline::Filter Ticket(const char* feature, const char* setting) {
    platformpipeline::Filter filter;
    filter.name = "ticket";
    const auto settings = filterutil::ParseTicketSettings({{feature, setting}});
    if (FAILED(filterutil::MakeTicketFilterFactory(settings, &filter.factory))) {
        throw std::runtime_error("no ticket factory");
    }
    return filter;
}

platformpipeline::Filter Copy() {
    platformpipeline::Filter filter;
    filter.name = "copy";
    if (FAILED(filterutil::MakeCopyFilterFactory(&filter.factory))) {
        throw std::runtime_error("no copy factory");
    }
    return filter;
}

void RunPipeline(benchmark::State& state, platformpipeline::Pipeline pipeline, const char* out) {
    platformpipeline::JobSettings settings;
    settings.input = MakeJob();
    settings.output = Folder() + "/" + out;
    const double cpuBefore = benchjob::ProcessMilliseconds();
    for (auto _ : state) {
        const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, settings);
        if (!result.Succeeded()) {
            state.SkipWithError(result.message.c_str());
            return;
        }
    }
    state.counters["pages/s"] =
        benchmark::Counter(kPages, benchmark::Counter::kIsIterationInvariantRate);
    // The filters run on threads of their own: their processor time, all threads together, is
    // the cost a busy machine sees, and is steadier than wall time when others share the cores.
    state.counters["cpu_ms/job"] = benchmark::Counter(benchjob::ProcessMilliseconds() - cpuBefore,
                                                      benchmark::Counter::kAvgIterations);
}

void WatermarkAlone(benchmark::State& state) {
    platformpipeline::Pipeline pipeline;
    pipeline.filters.push_back(Watermark());
    RunPipeline(state, std::move(pipeline), "watermarked.xps");
}
BENCHMARK(WatermarkAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The job's ticket rewritten: the pages pass the ticket filter untouched.
void TicketAtJobWatermarkCopy(benchmark::State& state) {
    platformpipeline::Pipeline pipeline;
    pipeline.filters.push_back(Ticket("JobDuplexAllDocumentsContiguously", "OneSided@job"));
    pipeline.filters.push_back(Watermark());
    pipeline.filters.push_back(Copy());
    RunPipeline(state, std::move(pipeline), "chained.xps");
}
BENCHMARK(TicketAtJobWatermarkCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Every page's ticket set: the first page's ticket rewritten, the 999 pages without one given
// one shared new ticket, which the watermark filter behind then merges for each page (the pages
// of the job alone carry no ticket and take their document's as it stands).
void TicketAtPageWatermarkCopy(benchmark::State& state) {
    platformpipeline::Pipeline pipeline;
    pipeline.filters.push_back(Ticket("PageOrientation", "Landscape@page"));
    pipeline.filters.push_back(Watermark());
    pipeline.filters.push_back(Copy());
    RunPipeline(state, std::move(pipeline), "chained.xps");
}
BENCHMARK(TicketAtPageWatermarkCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

} // namespace

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    CoUninitialize();
    return 0;
}
