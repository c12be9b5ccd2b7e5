// The property bag every filter of a job shares, and the per-user ticket it carries.
#pragma once

#include "pipeline.h"

#include <memory>
#include <string>

namespace platform::pipeline {

// An empty bag; throws std::bad_alloc.
ATL::CComPtr<IPrintPipelinePropertyBag> MakePropertyBag();

// An IPrintReadStreamFactory whose every stream reads ticket from its start.
ATL::CComPtr<IUnknown> MakeTicketStreamFactory(std::shared_ptr<const std::string> ticket);

} // namespace platform::pipeline
