// The filters built into filterutil, each on XpsFilterBase with merging on (the report's may
// be turned off, to see the part tickets as they stand):
// - copy: the default hooks only; the job goes on as it came.
// - report: for every page, the page scope's seven typed settings as one JSON object per line
//   ({"document": D, "page": P, "uri": ..., "duplex": {...}, ...}: D the page's document and
//   P the page, both counted from 1 over the job) to the stream it was made with; then the
//   page goes on unchanged. A stream that fails to take the report fails the filter.
//
// A factory makes one filter per job and keeps what its filters share (the report's stream);
// the stream must outlive the job.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <memory>
#include <ostream>

namespace filterutil {

HRESULT MakeCopyFilterFactory(IClassFactory** factory);
HRESULT MakeReportFilterFactory(std::shared_ptr<std::ostream> out, bool merge,
                                IClassFactory** factory);

} // namespace filterutil
