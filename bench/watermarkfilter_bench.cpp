// The watermark filter over a 1,000-page job through the pipeline host (every page's ticket
// resolved, its watermark parsed and measured, its markup parsed by the SAX reader and written
// again with the watermark, the font embedded once, the package written), beside the floor: the
// same job's pages inflated, parsed with libxml2's SAX, serialised again by hand and deflated,
// in the same run. The goal is at most 1.5 times the floor.
//
//   watermarkfilter_bench [benchmark flags]
//   watermarkfilter_bench --once watermark|floor [JOB [COUNT]]
//                          COUNT runs (1 by default) of one of them over JOB (the 1,000-page
//                          job when not given), for counting instructions: the difference
//                          between two counts leaves out the process's start-up
//                          (bench/watermarkfilter-instructions.sh)
//
// Both report pages per second and the processor time of all the process's threads per job
// ("cpu ms": the filter runs on the host's threads), which a loaded machine disturbs far less
// than the wall time; the job is made once with make-xps (40 lines a page).
#include <watermark/watermarkfilter.h>

#include <atlbase.h>
#include <objbase.h>
#include <pipelinehost.h>

#include "benchjob.h"

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kPages = 1000;

std::string Folder() {
    static const std::string folder = benchjob::MakeScratchFolder("watermarkbench");
    return folder;
}

std::string MakeJob() {
    return benchjob::MakeJob(WATERMARKBENCH_MAKE_XPS, Folder() + "/job.xps",
                             "--pages " + std::to_string(kPages));
}

void CountProcessorTime(benchmark::State& state, double start) {
    state.counters["cpu ms"] = benchmark::Counter((benchjob::ProcessMilliseconds() - start),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["pages/s"] =
        benchmark::Counter(kPages, benchmark::Counter::kIsIterationInvariantRate);
}

// One job through the watermark filter on the pipeline host.
void WatermarkThroughHost(const std::string& in, const std::string& out) {
    WatermarkFilterOptions options;
    options.settings = u"<Type>0</Type><KldWmText>CONFIDENTIAL</KldWmText><FontEsc>450</FontEsc>";
    platformpipeline::Pipeline pipeline;
    platformpipeline::Filter filter;
    filter.name = "watermark";
    if (FAILED(MakeWatermarkFilterFactory(options, &filter.factory))) {
        throw std::runtime_error("cannot make the watermark filter");
    }
    pipeline.filters.push_back(std::move(filter));
    platformpipeline::JobSettings settings;
    settings.input = in;
    settings.output = out;
    const platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, settings);
    if (!result.Succeeded()) {
        throw std::runtime_error("the job failed: " + result.filter + ": " + result.message);
    }
}

void WatermarkFilterJob(benchmark::State& state) {
    const std::string job = MakeJob();
    const std::string out = Folder() + "/watermarked.xps";
    const double start = benchjob::ProcessMilliseconds();
    for (auto _ : state) {
        try {
            WatermarkThroughHost(job, out);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
    }
    CountProcessorTime(state, start);
}
BENCHMARK(WatermarkFilterJob)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// libxml2's SAX2 events serialised again with the five entities and the three whitespace
// references escaped, as the filter's writer escapes them.
struct Serialiser {
    std::string out;
    bool open = false;

    void Escape(const xmlChar* text, size_t length, bool attribute) {
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(text[i]);
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\t':
                out += attribute ? "&#x9;" : "\t";
                break;
            case '\n':
                out += attribute ? "&#xA;" : "\n";
                break;
            case '\r':
                out += "&#xD;";
                break;
            default:
                out += c;
            }
        }
    }
    void Close() {
        if (open) {
            out += '>';
            open = false;
        }
    }
    static void Name(std::string& out, const xmlChar* prefix, const xmlChar* local) {
        if (prefix) {
            out += reinterpret_cast<const char*>(prefix);
            out += ':';
        }
        out += reinterpret_cast<const char*>(local);
    }
    static void Start(void* context, const xmlChar* local, const xmlChar* prefix, const xmlChar*,
                      int namespaceCount, const xmlChar** namespaces, int attributeCount, int,
                      const xmlChar** attributes) {
        auto* self = static_cast<Serialiser*>(context);
        self->Close();
        self->out += '<';
        Name(self->out, prefix, local);
        for (int i = 0; i < namespaceCount; ++i) {
            self->out += namespaces[2 * i] ? " xmlns:" : " xmlns";
            if (namespaces[2 * i]) {
                self->out += reinterpret_cast<const char*>(namespaces[2 * i]);
            }
            self->out += "=\"";
            const xmlChar* uri = namespaces[2 * i + 1];
            self->Escape(uri, std::strlen(reinterpret_cast<const char*>(uri)), true);
            self->out += '"';
        }
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar** a = attributes + 5 * i;
            self->out += ' ';
            Name(self->out, a[1], a[0]);
            self->out += "=\"";
            self->Escape(a[3], static_cast<size_t>(a[4] - a[3]), true);
            self->out += '"';
        }
        self->open = true;
    }
    static void End(void* context, const xmlChar* local, const xmlChar* prefix, const xmlChar*) {
        auto* self = static_cast<Serialiser*>(context);
        if (self->open) {
            self->out += "/>";
            self->open = false;
            return;
        }
        self->out += "</";
        Name(self->out, prefix, local);
        self->out += '>';
    }
    static void Characters(void* context, const xmlChar* text, int length) {
        auto* self = static_cast<Serialiser*>(context);
        self->Close();
        self->Escape(text, static_cast<size_t>(length), false);
    }
};

// The page's markup written again, then deflated as a ZIP entry's data.
size_t RewriteAndDeflate(const std::string& markup, std::vector<unsigned char>& deflated) {
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = Serialiser::Start;
    handler.endElementNs = Serialiser::End;
    handler.characters = Serialiser::Characters;
    Serialiser serialiser;
    serialiser.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    if (xmlSAXUserParseMemory(&handler, &serialiser, markup.data(),
                              static_cast<int>(markup.size())) != 0) {
        throw std::runtime_error("libxml2 refused a page");
    }
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    deflated.resize(deflateBound(&stream, serialiser.out.size()));
    stream.next_in = reinterpret_cast<Bytef*>(serialiser.out.data());
    stream.avail_in = static_cast<uInt>(serialiser.out.size());
    stream.next_out = deflated.data();
    stream.avail_out = static_cast<uInt>(deflated.size());
    deflate(&stream, Z_FINISH);
    const size_t size = stream.total_out;
    deflateEnd(&stream);
    return size;
}

// Every page of the job inflated, rewritten and deflated again; the number of pages.
size_t FloorOverPages(const std::string& job, std::vector<unsigned char>& deflated) {
    int error = 0;
    zip_t* archive = zip_open(job.c_str(), ZIP_RDONLY, &error);
    if (!archive) {
        throw std::runtime_error("libzip cannot open the job");
    }
    size_t pages = 0;
    size_t written = 0;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
        const size_t length = name ? std::strlen(name) : 0;
        if (length < 6 || std::strcmp(name + length - 6, ".fpage") != 0) {
            continue;
        }
        zip_stat_t stat;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        std::string markup(stat.size, '\0');
        zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        const zip_int64_t read = file ? zip_fread(file, markup.data(), markup.size()) : -1;
        if (file) {
            zip_fclose(file);
        }
        if (read != static_cast<zip_int64_t>(markup.size())) {
            zip_discard(archive);
            throw std::runtime_error("a short page");
        }
        written += RewriteAndDeflate(markup, deflated);
        ++pages;
    }
    zip_discard(archive);
    benchmark::DoNotOptimize(written);
    return pages;
}

void FloorInflateSaxSerialiseDeflate(benchmark::State& state) {
    const std::string job = MakeJob();
    std::vector<unsigned char> deflated;
    const double start = benchjob::ProcessMilliseconds();
    for (auto _ : state) {
        try {
            if (FloorOverPages(job, deflated) != kPages) {
                state.SkipWithError("the job does not have its pages");
                return;
            }
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
    }
    CountProcessorTime(state, start);
}
BENCHMARK(FloorInflateSaxSerialiseDeflate)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3);

} // namespace

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    try {
        if (argc >= 3 && argc <= 5 && std::string(argv[1]) == "--once") {
            const std::string what = argv[2];
            if (what != "watermark" && what != "floor") {
                throw std::runtime_error("--once takes watermark or floor");
            }
            const std::string job = argc >= 4 ? std::string(argv[3]) : MakeJob();
            const int count = argc == 5 ? std::atoi(argv[4]) : 1;
            if (count < 1 || count > 1000) {
                throw std::runtime_error("--once runs from 1 to 1000 times");
            }
            std::vector<unsigned char> deflated;
            for (int i = 0; i < count; ++i) {
                if (what == "watermark") {
                    WatermarkThroughHost(job, Folder() + "/once.xps");
                } else {
                    FloorOverPages(job, deflated);
                }
            }
        } else {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "watermarkfilter_bench: %s\n", error.what());
        status = 1;
    }
    std::filesystem::remove_all(Folder());
    CoUninitialize();
    return status;
}
