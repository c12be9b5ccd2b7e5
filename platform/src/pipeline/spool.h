// Neighbours that differ (one speaks in parts, the other in bytes) meet in a spool file: the
// package one of them writes is read by the other once it is complete, since a ZIP package
// can be read only when its end has been written. The job's bytes input and output use the
// same streams.
#pragma once

#include "pipeline.h"

#include <memory>
#include <string>

namespace platform::pipeline {

// A writer sending parts and a reader of bytes, through a package written to spoolPath.
// Each answers null, with hr and problem set, when its file cannot be made or opened; and
// throws std::bad_alloc.
std::shared_ptr<Link> MakePartsToBytesSpool(const std::string& spoolPath, HRESULT& hr,
                                            std::string& problem);
// A writer of bytes and a reader of parts: the bytes go to spoolPath and are read as a
// package once the writer closes its stream; a package that cannot be read is the writer's
// failure, recorded in job under writerName.
std::shared_ptr<Link> MakeBytesToPartsSpool(const std::string& spoolPath,
                                            std::shared_ptr<JobState> job, std::string writerName,
                                            HRESULT& hr, std::string& problem);
// The job's input as bytes: a read stream over the file at path (no writer).
std::shared_ptr<Link> MakeFileInput(const std::string& path, HRESULT& hr, std::string& problem);

} // namespace platform::pipeline
