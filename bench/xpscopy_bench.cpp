// Copying an XPS job part by part through the platform's reader and writer (what
// `filterutil xps copy` does), beside a floor measured in the same run: a minimal program that
// copies every entry's stored bytes with the same ZIP code (the platform's ZIP reader and
// writer) and nothing else. A second raw copy, libzip to minizip, keeps the figures comparable
// with those measured when the platform used those libraries.
//
//   xpscopy_bench [benchmark flags]     times the three on a 1,000-page job
//   xpscopy_bench --rss PAGES [JOB]     peak resident memory of one copy of a PAGES-page job
//                                       (tickets on every page; JOB when given) by each, in a
//                                       child process
//   xpscopy_bench --once copy|floor|libzip PAGES [JOB]
//                                       one copy by one of them, for counting its instructions:
//                                       valgrind --tool=callgrind
//                                       --toggle-collect='*CopyEntriesRaw*'
//                                       xpscopy_bench --once floor 1000 (the copy's function is
//                                       CopyThroughPipeline; a pattern that also matches a
//                                       function the copy calls stops the count inside it)
#include <atlbase.h>
#include <xpspackage.h>

#include "rawentrycopy.h"

#include <benchmark/benchmark.h>
#include <minizip/zip.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Folder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/xpsbench.XXXXXX";
        if (!mkdtemp(pattern)) {
            throw std::runtime_error("mkdtemp failed");
        }
        return std::string(pattern);
    }();
    return folder;
}

std::string MakeJob(int pages) {
    const std::string path = Folder() + "/job" + std::to_string(pages) + ".xps";
    if (!std::filesystem::exists(path)) {
        const std::string command = "python3 '" XPSBENCH_MAKE_XPS "' '" + path + "' --pages " +
                                    std::to_string(pages) + " --lines 40 --page-tickets every";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make-xps failed: " + command);
        }
    }
    return path;
}

// The platform's copy: every part read and sent on, as a filter that changes nothing; limits
// as XpsOpenPackageReader takes them.
void CopyPartByPart(const std::string& in, const std::string& out, const XpsPackageLimits* limits) {
    ATL::CComPtr<IXpsDocumentProvider> reader;
    ATL::CComPtr<IXpsDocumentConsumer> writer;
    if (FAILED(XpsOpenPackageReader(in.c_str(), limits, &reader)) ||
        FAILED(XpsCreatePackageWriter(out.c_str(), &writer))) {
        throw std::runtime_error("cannot open the job");
    }
    while (true) {
        ATL::CComPtr<IUnknown> part;
        if (FAILED(reader->GetXpsPart(&part))) {
            throw std::runtime_error("the job is damaged");
        }
        if (!part) {
            break;
        }
        if (FAILED(XpsSendPart(writer, part))) {
            throw std::runtime_error("the writer failed");
        }
    }
    if (FAILED(writer->CloseSender())) {
        throw std::runtime_error("the writer failed to close");
    }
}

// As `xps copy` does it, with the reader's defaults (no read-ahead unless
// FILTERUTILITIES_READ_AHEAD asks for it).
void CopyThroughPipeline(const std::string& in, const std::string& out) {
    CopyPartByPart(in, out, nullptr);
}

// The same with a thread of the reader's reading the relationships of the next 32 pages ahead.
void CopyThroughPipelineReadingAhead(const std::string& in, const std::string& out) {
    XpsPackageLimits limits;
    XpsDefaultPackageLimits(&limits);
    limits.readAheadPages = 32;
    CopyPartByPart(in, out, &limits);
}

// The floor: every entry's stored bytes copied raw with the platform's ZIP code.
using benchfloor::CopyEntriesRaw;

// The same raw copy, libzip to minizip.
void CopyEntriesRawLibzip(const std::string& in, const std::string& out) {
    int error = 0;
    zip_t* archive = zip_open(in.c_str(), ZIP_RDONLY, &error);
    zipFile target = zipOpen64(out.c_str(), APPEND_STATUS_CREATE);
    if (!archive || !target) {
        throw std::runtime_error("floor: cannot open");
    }
    std::vector<char> buffer(64 * 1024);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        zip_file_t* file =
            zip_fopen_index(archive, static_cast<zip_uint64_t>(i), ZIP_FL_COMPRESSED);
        zip_fileinfo info{};
        zipOpenNewFileInZip4_64(target, stat.name, &info, nullptr, 0, nullptr, 0, nullptr,
                                stat.comp_method, 6, 1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr,
                                0, 0, 0, 0);
        zip_int64_t got;
        while ((got = zip_fread(file, buffer.data(), buffer.size())) > 0) {
            zipWriteInFileInZip(target, buffer.data(), static_cast<unsigned>(got));
        }
        zip_fclose(file);
        zipCloseFileInZipRaw64(target, stat.size, stat.crc);
    }
    zipClose(target, nullptr);
    zip_discard(archive);
}

using CopyFunction = void (*)(const std::string& in, const std::string& out);

void BM_Copy(benchmark::State& state, CopyFunction copy) {
    const std::string in = MakeJob(static_cast<int>(state.range(0)));
    const std::string out = Folder() + "/copy.xps";
    for (auto _ : state) {
        copy(in, out);
    }
    state.counters["pages"] = static_cast<double>(state.range(0));
}
// The processor time of every thread of the process: the reader's read-ahead thread too.
BENCHMARK_CAPTURE(BM_Copy, XpsCopy, &CopyThroughPipeline)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, XpsCopyReadingAhead, &CopyThroughPipelineReadingAhead)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, FloorRawEntryCopy, &CopyEntriesRaw)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Copy, LibzipRawEntryCopy, &CopyEntriesRawLibzip)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// Peak resident memory (KiB) of a child process that copies the job.
long PeakResidentKiB(const std::string& in, CopyFunction copy) {
    // Named before the fork, so that the child writes into the folder the parent removes.
    const std::string out = Folder() + "/rss.xps";
    const pid_t child = fork();
    if (child == 0) {
        try {
            copy(in, out);
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the copy failed");
    }
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if ((argc == 3 || argc == 4) && std::string(argv[1]) == "--rss") {
            const int pages = std::atoi(argv[2]);
            const std::string in = argc == 4 ? std::string(argv[3]) : MakeJob(pages);
            std::printf("%d pages (%ju bytes): peak RSS of the copy %ld KiB, of the raw entry copy "
                        "%ld KiB, of the libzip to minizip raw entry copy %ld KiB\n",
                        pages, static_cast<uintmax_t>(std::filesystem::file_size(in)),
                        PeakResidentKiB(in, &CopyThroughPipeline),
                        PeakResidentKiB(in, &CopyEntriesRaw),
                        PeakResidentKiB(in, &CopyEntriesRawLibzip));
        } else if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--once") {
            const std::string what = argv[2];
            const std::string in = argc == 5 ? std::string(argv[4]) : MakeJob(std::atoi(argv[3]));
            const auto copy = what == "copy"     ? &CopyThroughPipeline
                              : what == "floor"  ? &CopyEntriesRaw
                              : what == "libzip" ? &CopyEntriesRawLibzip
                                                 : nullptr;
            if (!copy) {
                throw std::runtime_error("--once takes copy, floor or libzip");
            }
            copy(in, Folder() + "/once.xps");
        } else {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "xpscopy_bench: %s\n", error.what());
        std::filesystem::remove_all(Folder());
        return 1;
    }
    std::filesystem::remove_all(Folder());
    return 0;
}
