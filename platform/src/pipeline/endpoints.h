// The ends of a job: the input package, read in parts by the first filter (or by the host when
// the job has no filter), and the output package the last filter sends its parts to. Both
// report their own failures to the job, so a damaged input or a full disk is named as such
// rather than as the failure of the filter that met it.
#pragma once

#include "pipeline.h"

#include <memory>
#include <string>

namespace platform::pipeline {

// The input package at path, opened now; null with hr and problem set when it cannot be.
std::shared_ptr<Link> OpenPartsInput(const std::string& path, std::shared_ptr<JobState> job,
                                     HRESULT& hr, std::string& problem);

// The output package: written as parts arrive, to a temporary file beside path that becomes
// path only on Commit.
class Output : public Link {
public:
    // Closes the package when the last filter closed its sender and nothing failed; the
    // output file appears then. Otherwise, and when closing fails, no file is left.
    virtual void Commit() = 0;
    // Drops the package: its temporary file goes.
    virtual void Discard() = 0;
};

// Null with hr and problem set when path cannot be written. lastFilter names the filter
// that writes to it (empty without one): a part the package cannot take is its failure.
std::shared_ptr<Output> OpenPartsOutput(const std::string& path, std::shared_ptr<JobState> job,
                                        std::string lastFilter, HRESULT& hr, std::string& problem);

// Sends every part from one to the other and closes the sender; answers the first failure.
HRESULT CopyParts(IXpsDocumentProvider* from, IXpsDocumentConsumer* to);

// The one line a package reader, writer or stream keeps about its last failure; empty when
// it has none.
std::string StatusText(IUnknown* object);
std::string OpenStatusText();

} // namespace platform::pipeline
