// Helpers for the pipeline host's tests: real jobs from make-xps, what a package holds, the
// threads of the process, and the checks every job ends with.
#pragma once

#include "scratchfolder.h"
#include "testfilters.h"
#include "threadcount.h"

#include <pipelinehost.h>
#include <xpspackage.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace pipelinetest {

inline void MakeJob(const std::filesystem::path& path, const std::string& arguments) {
    const std::string command =
        std::string("python3 '" XPSTEST_MAKE_XPS "' '") + path.string() + "' " + arguments;
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

inline std::string Narrow(BSTR text) {
    std::string narrow;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) {
        narrow.push_back(static_cast<char>(text[i])); // part names here are ASCII
    }
    return narrow;
}

// The URI of every page of the package, in reader order; a failure fails the test.
inline std::vector<std::string> PageUris(const std::filesystem::path& path) {
    std::vector<std::string> pages;
    ATL::CComPtr<IXpsDocumentProvider> reader;
    EXPECT_EQ(S_OK, XpsOpenPackageReader(path.c_str(), nullptr, &reader)) << path;
    while (reader) {
        ATL::CComPtr<IUnknown> part;
        const HRESULT hr = reader->GetXpsPart(&part);
        EXPECT_EQ(S_OK, hr) << path;
        if (FAILED(hr) || !part) {
            break;
        }
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            ATL::CComBSTR uri;
            page->GetUri(&uri);
            pages.push_back(Narrow(uri));
        }
    }
    return pages;
}

using threadcount::ThreadCount;
using threadcount::ThreadCountSettled;

// The names in a folder, sorted.
inline std::vector<std::string> Names(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline platformpipeline::Filter InProcess(const std::string& name, testfilters::Script script) {
    platformpipeline::Filter filter;
    filter.name = name;
    filter.input = filter.output =
        script.bytes ? platformpipeline::Connection::Bytes : platformpipeline::Connection::Parts;
    filter.factory.Attach(new testfilters::Factory(std::move(script)));
    return filter;
}

// A job in a scratch folder: in.xps of `pages` pages, out.xps to be written, and the
// spool files going to a folder of the job's own (TMPDIR), so that a test sees them all.
class Job {
public:
    explicit Job(int pages, const std::string& makeXps = "")
        : folder_("pipeline"), spool_(folder_ / "tmp") {
        std::filesystem::create_directories(spool_);
        setenv("TMPDIR", spool_.c_str(), 1); // before any thread of the job starts
        MakeJob(Input(), "--pages " + std::to_string(pages) + " --lines 2 " + makeXps);
        settings.input = Input().string();
        settings.output = Output().string();
    }
    ~Job() { unsetenv("TMPDIR"); }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    std::filesystem::path Input() const { return folder_ / "in.xps"; }
    // A file of the test's own in the job's folder, which the job must leave alone.
    std::string OwnFile(const std::string& name) {
        own_.push_back(name);
        return (folder_ / name).string();
    }
    std::filesystem::path Output() const { return folder_ / "out.xps"; }
    const ScratchFolder& Folder() const { return folder_; }

    // Runs the job and checks what every job must leave: no thread of its own, no spool file,
    // and an output exactly when it succeeded.
    platformpipeline::JobResult Run(const platformpipeline::Pipeline& pipeline) {
        // A sanitizer's runtime starts a thread of its own with the first thread a program
        // makes: one made and joined first keeps it out of the count.
        std::thread([] {}).join();
        const size_t threads = ThreadCount();
        platformpipeline::JobResult result = platformpipeline::RunJob(pipeline, settings);
        EXPECT_EQ(threads, ThreadCountSettled(threads)) << "a thread of the job is left";
        EXPECT_EQ(std::vector<std::string>(), Names(spool_)) << "spool files are left";
        EXPECT_EQ(result.Succeeded(), std::filesystem::exists(Output()));
        std::vector<std::string> expected = own_;
        expected.insert(expected.end(), {"in.xps", "tmp"});
        if (result.Succeeded()) {
            expected.push_back("out.xps");
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, Names(folder_.Path()));
        return result;
    }

    platformpipeline::JobSettings settings;

private:
    ScratchFolder folder_;
    std::filesystem::path spool_;
    std::vector<std::string> own_;
};

} // namespace pipelinetest
