// The pipeline host: runs a chain of XPS print filters over one job, as the print spooler's
// filter pipeline does on Windows. No part of the Windows API; filterutil and the tests use it,
// the library never does.
//
// A job reads an XPS package, hands it to the first filter, joins each filter to the next by a
// bounded queue of parts (or a stream of bytes, where a filter asks for bytes), and writes what
// the last filter sends to the output package. Every filter's StartOperation runs on a thread
// of its own; the job ends when every filter has called FilterFinished and returned. A filter
// that calls RequestShutdown or fails ends the job for all of them: every filter gets
// ShutdownOperation, every queue is emptied, every thread is joined, no output file is left,
// and the result names the first failure. A filter that breaks a rule by returning (its input
// unread, its output left open, no FilterFinished) fails as it returns: its neighbours learn
// of the return only through the shutdown, so none is named for the broken pipe or the short
// input the filter left behind.
// Each filter is told to shut down on a thread of its own. A filter that does not return once
// told, from StartOperation or from ShutdownOperation itself, holds neither the job nor the
// other filters: after the grace period of JobSettings the job ends with its first failure,
// and the filter is left running.
#pragma once

#include "atlbase.h"
#include "filterpipeline.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platformpipeline {

// What a filter reads or writes: parts (IXpsDocumentProvider, IXpsDocumentConsumer) or the
// package as bytes (IPrintReadStream, IPrintWriteStream).
enum class Connection { Parts, Bytes };

// One filter of a pipeline: made by its class factory for each job.
struct Filter {
    std::string name; // names the filter in results
    ATL::CComPtr<IClassFactory> factory;
    Connection input = Connection::Parts;
    Connection output = Connection::Parts;
};

// An ordered list of filters and the modules they come from. The modules stay loaded while a
// copy of the pipeline lives; the filters' factories are released before them.
struct Pipeline {
    std::vector<std::shared_ptr<void>> modules;
    std::vector<Filter> filters;
};

// Reads a pipeline configuration file (<Filters><Filter dll= clsid= name=><Input guid=/>
// <Output guid=/></Filter>...</Filters>) and loads each filter's module: a shared object
// exporting DllGetClassObject, found beside the configuration file when its name has no
// folder. On failure answers the HRESULT and one line in *problem.
PLATFORM_EXPORT HRESULT LoadPipelineConfiguration(const std::string& path, Pipeline* pipeline,
                                                  std::string* problem);

struct JobSettings {
    std::string input;      // the XPS package read (a file name in the system's encoding)
    std::string output;     // the XPS package written; it appears only when the job succeeds
    std::u16string printer; // empty: the default printer
    std::string ticket;     // the user's default ticket file; empty: the printer's default
    std::u16string user;    // the submitting user; empty: the user running the process
    ULONG jobId = 1;        // "PrintJobId"
    // Parts waiting between two neighbours, at most. A waiting neighbour is woken once per
    // half a queue, and each wake-up costs both threads far more than handing a part over: 32
    // keeps two chained filters to about 40 wake-ups per 1,000 parts each way.
    size_t queueDepth = 32;
    // Called on the calling thread a few times a second while pages reach the output.
    std::function<void(uint64_t pages)> progress;
    // Once the job is being shut down, how long its filters have to return from
    // StartOperation and ShutdownOperation. A filter still in either then (blocked in its own
    // code, deaf to ShutdownOperation or stuck in it) is left behind: the job ends without it
    // (see JobResult::abandoned).
    std::chrono::milliseconds shutdownGrace{std::chrono::seconds(10)};
};

enum class FailedAt {
    Nothing,
    Setup,  // the printer, the user, the ticket, the files, a filter that cannot be made
    Input,  // the input package (damaged, too large)
    Filter, // a filter: failed, asked for shutdown, or broke the pipeline's rules
    Output, // writing the output package
};

struct JobResult {
    FailedAt failedAt = FailedAt::Nothing;
    HRESULT hr = S_OK;
    std::string filter;  // the failing filter's name, when failedAt is Filter
    std::string message; // one line saying what went wrong
    uint64_t pages = 0;  // pages sent to the output package
    // The filters that had not returned from StartOperation or ShutdownOperation when the
    // shutdown's grace ran out (the job has failed then). Each one's threads run on, detached,
    // and hold what they use: the filter, its links, the job's state and the pipeline's
    // modules, which stay loaded until they return. A process ending with such a thread should
    // end at once (_Exit), not run its static destructors beneath it.
    std::vector<std::string> abandoned;
    bool Succeeded() const { return failedAt == FailedAt::Nothing; }
};

// Runs one job through the pipeline; with no filters, copies the input to the output.
PLATFORM_EXPORT JobResult RunJob(const Pipeline& pipeline, const JobSettings& settings);

// An empty property bag of the kind a job gives its filters (for tests of filters).
PLATFORM_EXPORT HRESULT CreatePropertyBag(IPrintPipelinePropertyBag** bag);

} // namespace platformpipeline
