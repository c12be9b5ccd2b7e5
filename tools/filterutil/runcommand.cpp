// filterutil run: one print job through a pipeline of filters on the platform's pipeline host,
// as the spooler runs a driver's filters: the filters built into the tool (--filter) or those a
// pipeline configuration file names (--pipeline); with neither, the host copies the job.
//
//   run [--printer P] [--ticket T] [--user U] [--pipeline CONFIG.xml | --filter NAME...]
//       IN.xps OUT.xps
#include "commands.h"

#include "text.h"
#include "toolerror.h"

#include <pipelinehost.h>

#include <iostream>
#include <unistd.h>

namespace filterutil {
namespace {

// A filter built into the tool: its name on the command line and how it is made.
struct BuiltinFilter {
    const char* name;
    HRESULT (*makeFactory)(IClassFactory** factory);
    platformpipeline::Connection input;
    platformpipeline::Connection output;
};

// The filters --filter can name. Each entry is a real filter of the library; add one line here
// for each.
const std::vector<BuiltinFilter>& BuiltinFilters() {
    static const std::vector<BuiltinFilter> filters;
    return filters;
}

std::string BuiltinNames() {
    std::string names;
    for (const BuiltinFilter& filter : BuiltinFilters()) {
        names += (names.empty() ? "" : ", ") + std::string(filter.name);
    }
    return names.empty() ? "none yet" : names;
}

struct RunArguments {
    platformpipeline::JobSettings settings;
    std::string configuration;
    std::vector<std::string> filters;
};

RunArguments ParseArguments(const Arguments& arguments) {
    RunArguments parsed;
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                throw ToolError("run: " + argument + " needs a value");
            }
            return arguments[++i];
        };
        if (argument == "--printer") {
            parsed.settings.printer = FromUtf8(value());
        } else if (argument == "--ticket") {
            parsed.settings.ticket = value();
        } else if (argument == "--user") {
            parsed.settings.user = FromUtf8(value());
        } else if (argument == "--pipeline") {
            if (!parsed.configuration.empty()) {
                throw ToolError("run: --pipeline is given twice");
            }
            parsed.configuration = value();
        } else if (argument == "--filter") {
            parsed.filters.push_back(value());
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError("run: unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) {
        throw ToolError("usage: filterutil run [--printer P] [--ticket T] [--user U] "
                        "[--pipeline CONFIG.xml | --filter NAME...] IN.xps OUT.xps");
    }
    if (!parsed.configuration.empty() && !parsed.filters.empty()) {
        throw ToolError("run: give --pipeline or --filter, not both");
    }
    parsed.settings.input = positional[0];
    parsed.settings.output = positional[1];
    return parsed;
}

platformpipeline::Pipeline BuildPipeline(const RunArguments& arguments) {
    platformpipeline::Pipeline pipeline;
    if (!arguments.configuration.empty()) {
        std::string problem;
        const HRESULT hr = platformpipeline::LoadPipelineConfiguration(arguments.configuration,
                                                                       &pipeline, &problem);
        if (FAILED(hr)) {
            throw ToolError(problem + " (" + HexCode(hr) + ")");
        }
        return pipeline;
    }
    for (const std::string& name : arguments.filters) {
        const BuiltinFilter* found = nullptr;
        for (const BuiltinFilter& filter : BuiltinFilters()) {
            found = name == filter.name ? &filter : found;
        }
        if (!found) {
            throw ToolError("run: no filter is named \"" + name +
                            "\" (built-in filters: " + BuiltinNames() + ")");
        }
        platformpipeline::Filter filter;
        filter.name = found->name;
        filter.input = found->input;
        filter.output = found->output;
        const HRESULT hr = found->makeFactory(&filter.factory);
        if (FAILED(hr)) {
            throw ToolError("run: the filter " + name + " cannot be made: " + DescribeHresult(hr),
                            kExitFailure);
        }
        pipeline.filters.push_back(std::move(filter));
    }
    return pipeline;
}

// "pages N" over itself on a terminal; nothing anywhere else.
class ProgressLine {
public:
    ProgressLine() : shown_(isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() {
        if (written_) {
            std::cerr << '\n';
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    std::function<void(uint64_t)> Callback() {
        if (!shown_) {
            return nullptr;
        }
        return [this](uint64_t pages) {
            std::cerr << "\rfilterutil run: " << pages << (pages == 1 ? " page" : " pages")
                      << std::flush;
            written_ = true;
        };
    }

private:
    bool shown_;
    bool written_ = false;
};

} // namespace

int Run(const Arguments& arguments) {
    RunArguments parsed = ParseArguments(arguments);
    const platformpipeline::Pipeline pipeline = BuildPipeline(parsed);
    platformpipeline::JobResult result;
    {
        ProgressLine progress;
        parsed.settings.progress = progress.Callback();
        result = platformpipeline::RunJob(pipeline, parsed.settings);
    }
    const std::string code = " (" + HexCode(result.hr) + ")";
    switch (result.failedAt) {
    case platformpipeline::FailedAt::Nothing:
        return kExitOk;
    case platformpipeline::FailedAt::Setup:
    case platformpipeline::FailedAt::Input:
        throw ToolError(result.message + code);
    case platformpipeline::FailedAt::Filter:
        throw ToolError("filter " + result.filter + " failed with " + HexCode(result.hr) + ": " +
                            result.message,
                        kExitFailure);
    case platformpipeline::FailedAt::Output:
        throw ToolError(result.message + code, kExitFailure);
    }
    return kExitFailure;
}

} // namespace filterutil
