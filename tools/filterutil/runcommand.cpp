// filterutil run: one print job through a pipeline of filters on the platform's pipeline host,
// as the spooler runs a driver's filters: the filters built into the tool (--filter) or those a
// pipeline configuration file names (--pipeline); with neither, the host copies the job.
//
//   run [--printer P] [--ticket T] [--user U] [--shutdown-grace SECONDS]
//       [--pipeline CONFIG.xml | --filter NAME...] IN.xps OUT.xps
//
// A built-in filter may take options after its name: NAME:KEY=VALUE[,KEY=VALUE...]
// (report:out=FILE,merge=off;
// ticket:PageOrientation=Landscape@page,param:JobCopiesAllDocuments=2@job).
#include "commands.h"

#include "builtinfilters.h"
#include "seconds.h"

#include <watermark/watermarkfilter.h>

#include "text.h"
#include "toolerror.h"

#include <pipelinehost.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace filterutil {
namespace {

// A filter's options in the order given.
using FilterOptions = std::vector<std::pair<std::string, std::string>>;

const std::string* FindOption(const FilterOptions& options, const std::string& key) {
    for (const auto& [name, value] : options) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

// A filter built into the tool: its name on the command line, the options it takes (each at
// most once; settingsAsOptions: any KEY=VALUE, which the filter reads itself) and how it is
// made from them.
struct BuiltinFilter {
    const char* name;
    std::vector<std::string> options;
    bool settingsAsOptions;
    HRESULT (*makeFactory)(const FilterOptions& options, IClassFactory** factory);
    platformpipeline::Connection input;
    platformpipeline::Connection output;
};

HRESULT MakeCopy(const FilterOptions&, IClassFactory** factory) {
    return MakeCopyFilterFactory(factory);
}

// report writes to out= (made or emptied now, so that a path that cannot be written is
// refused before the job starts) or to standard error; merge=off reads the part tickets as
// they stand.
HRESULT MakeReport(const FilterOptions& options, IClassFactory** factory) {
    std::shared_ptr<std::ostream> out(&std::cerr, [](std::ostream*) {});
    if (const std::string* path = FindOption(options, "out")) {
        auto file = std::make_shared<std::ofstream>(*path, std::ios::binary | std::ios::trunc);
        if (!*file) {
            throw ToolError("run: the report file " + *path + " cannot be opened");
        }
        out = std::move(file);
    }
    bool merge = true;
    if (const std::string* option = FindOption(options, "merge")) {
        if (*option != "on" && *option != "off") {
            throw ToolError("run: the filter option merge of report is on or off");
        }
        merge = *option == "on";
    }
    return MakeReportFilterFactory(std::move(out), merge, factory);
}

// ticket: every option is a setting (ParseTicketSettings), checked before the job starts.
HRESULT MakeTicket(const FilterOptions& options, IClassFactory** factory) {
    return MakeTicketFilterFactory(ParseTicketSettings(options), factory);
}

// watermark draws the settings text given by one of
//   text=TEXT (a text watermark, rotated by angle=DEGREES when given),
//   stamp=FORMAT (a date and time stamp, formats 0 to 7),
//   settings=TEXT (a watermark settings text as the driver's user interface stores it),
// or, with none, the job's own (its client job data parameter=N, 1 unless given); and, with
// annotation=TEXT, an annotation line on every page.
HRESULT MakeWatermark(const FilterOptions& options, IClassFactory** factory) {
    const auto text = [&](const char* key) -> std::optional<std::u16string> {
        const std::string* found = FindOption(options, key);
        if (!found) {
            return std::nullopt;
        }
        auto wide = FromUtf8Strict(*found);
        if (!wide) {
            throw ToolError(std::string("run: the watermark option ") + key + " is not UTF-8 text");
        }
        return wide;
    };
    const auto number = [&](const char* key, long long low, long long high) -> std::optional<int> {
        const std::string* found = FindOption(options, key);
        if (!found) {
            return std::nullopt;
        }
        const std::string& digits = *found;
        const size_t start = !digits.empty() && digits[0] == '-' ? 1 : 0;
        if (digits.size() == start || digits.size() > 11 ||
            digits.find_first_not_of("0123456789", start) != std::string::npos ||
            std::stoll(digits) < low || std::stoll(digits) > high) {
            throw ToolError(std::string("run: the watermark option ") + key +
                            " is a whole number from " + std::to_string(low) + " to " +
                            std::to_string(high));
        }
        return static_cast<int>(std::stoll(digits));
    };
    WatermarkFilterOptions made;
    const auto plain = text("text");
    const auto stamp = number("stamp", 0, 7);
    const auto settings = text("settings");
    const auto angle = number("angle", -360, 360);
    if ((plain ? 1 : 0) + (stamp ? 1 : 0) + (settings ? 1 : 0) > 1) {
        throw ToolError("run: give the watermark one of text=, stamp= and settings=");
    }
    if (angle && !plain && !stamp) {
        throw ToolError("run: the watermark option angle goes with text= or stamp=");
    }
    const std::u16string turn =
        angle ? u"<FontEsc>" + FromUtf8(std::to_string(*angle * 10)) + u"</FontEsc>" : u"";
    if (plain) {
        // The settings text has no escapes: a tag inside the text would end it early or set
        // another field of the watermark, so that what is drawn is not what was given.
        for (size_t at = plain->find(u'<'); at != std::u16string::npos;
             at = plain->find(u'<', at + 1)) {
            const char16_t next = at + 1 < plain->size() ? (*plain)[at + 1] : u' ';
            if (next == u'/' || (next >= u'A' && next <= u'Z') || (next >= u'a' && next <= u'z')) {
                throw ToolError("run: the watermark option text may not hold '<' before a letter "
                                "or '/', which the watermark settings read as a tag");
            }
        }
        made.settings = u"<Type>0</Type><KldWmText>" + *plain + u"</KldWmText>" + turn;
    } else if (stamp) {
        made.settings = u"<Type>1</Type><KldWmText>" + FromUtf8(std::to_string(*stamp)) +
                        u"</KldWmText>" + turn;
    } else if (settings) {
        made.settings = *settings;
    }
    if (const auto parameter = number("parameter", 0, 0x7FFFFFFF)) {
        if (!made.settings.empty()) {
            throw ToolError("run: the watermark option parameter names the job's own settings "
                            "text; it goes with none of text=, stamp= and settings=");
        }
        made.settingsParameter = *parameter;
    }
    if (const auto annotation = text("annotation")) {
        made.annotation = *annotation;
    }
    return MakeWatermarkFilterFactory(made, factory);
}

// The filters --filter can name. Each entry is a real filter of the library; add one line here
// for each.
const std::vector<BuiltinFilter>& BuiltinFilters() {
    using platformpipeline::Connection;
    static const std::vector<BuiltinFilter> filters = {
        {"copy", {}, false, MakeCopy, Connection::Parts, Connection::Parts},
        {"report", {"out", "merge"}, false, MakeReport, Connection::Parts, Connection::Parts},
        {"ticket", {}, true, MakeTicket, Connection::Parts, Connection::Parts},
        {"watermark",
         {"text", "stamp", "settings", "angle", "parameter", "annotation"},
         false,
         MakeWatermark,
         Connection::Parts,
         Connection::Parts},
    };
    return filters;
}

// Whether both paths name one existing file.
bool SameFile(const std::string& first, const std::string& second) {
    struct stat a {};
    struct stat b {};
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// "NAME[:KEY=VALUE[,KEY=VALUE...]]" split into the name and its options.
std::pair<std::string, FilterOptions> SplitFilterArgument(const std::string& argument) {
    const size_t colon = argument.find(':');
    std::pair<std::string, FilterOptions> split{argument.substr(0, colon), {}};
    if (colon == std::string::npos) {
        return split;
    }
    size_t start = colon + 1;
    while (true) {
        const size_t comma = argument.find(',', start);
        const std::string option = argument.substr(start, comma - start);
        const size_t equals = option.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == option.size()) {
            throw ToolError("run: the filter option \"" + option + "\" of " + split.first +
                            " is not KEY=VALUE");
        }
        split.second.emplace_back(option.substr(0, equals), option.substr(equals + 1));
        if (comma == std::string::npos) {
            return split;
        }
        start = comma + 1;
    }
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
    bool graceGiven = false;
};

// A report file is made (emptied) before the job starts: it may not be a file the job reads
// or writes, nor the file of an earlier report filter, which both would write at once.
void RefuseSharedReportFile(const std::string& path, const RunArguments& arguments,
                            const std::vector<std::string>& reportFiles) {
    const platformpipeline::JobSettings& settings = arguments.settings;
    if (SameFile(path, settings.input) || SameFile(path, settings.output) ||
        (!settings.ticket.empty() && SameFile(path, settings.ticket))) {
        throw ToolError("run: the report file " + path + " is the job's IN, OUT or --ticket");
    }
    for (const std::string& earlier : reportFiles) {
        if (SameFile(path, earlier)) {
            throw ToolError("run: the report file " + path + " is given to two report filters");
        }
    }
}

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
        } else if (argument == "--shutdown-grace") {
            if (parsed.graceGiven) {
                throw ToolError("run: --shutdown-grace is given twice");
            }
            const auto grace = ParseSeconds(value());
            if (!grace) {
                throw ToolError("run: --shutdown-grace takes seconds above 0 and at most " +
                                std::to_string(kMostSeconds.count()) + ", such as 2 or 0.5");
            }
            parsed.settings.shutdownGrace = *grace;
            parsed.graceGiven = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError("run: unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) {
        throw ToolError("usage: filterutil run [--printer P] [--ticket T] [--user U] "
                        "[--shutdown-grace SECONDS] [--pipeline CONFIG.xml | --filter NAME...] "
                        "IN.xps OUT.xps");
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
    std::vector<std::string> reportFiles; // made already, by the filters before
    for (const std::string& argument : arguments.filters) {
        const auto [name, options] = SplitFilterArgument(argument);
        const BuiltinFilter* found = nullptr;
        for (const BuiltinFilter& filter : BuiltinFilters()) {
            found = name == filter.name ? &filter : found;
        }
        if (!found) {
            throw ToolError("run: no filter is named \"" + name +
                            "\" (built-in filters: " + BuiltinNames() + ")");
        }
        for (size_t i = 0; i < options.size() && !found->settingsAsOptions; ++i) {
            const auto& [key, value] = options[i];
            if (std::find(found->options.begin(), found->options.end(), key) ==
                found->options.end()) {
                throw ToolError("run: the filter " + name + " takes no option " + key);
            }
            if (FindOption(options, key) != &value) {
                throw ToolError("run: the filter option " + key + " of " + name +
                                " is given twice");
            }
            if (key == "out") {
                RefuseSharedReportFile(value, arguments, reportFiles);
            }
        }
        platformpipeline::Filter filter;
        filter.name = found->name;
        filter.input = found->input;
        filter.output = found->output;
        const HRESULT hr = found->makeFactory(options, &filter.factory);
        if (FAILED(hr)) {
            throw ToolError("run: the filter " + name + " cannot be made: " + DescribeHresult(hr),
                            kExitFailure);
        }
        if (const std::string* out = FindOption(options, "out");
            out && std::string(found->name) == "report") {
            // An OUT that does not exist yet is the file just made under its name.
            if (SameFile(*out, arguments.settings.output)) {
                std::remove(out->c_str());
                throw ToolError("run: the report file " + *out + " is the job's OUT");
            }
            reportFiles.push_back(*out);
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

// A filter that ignored the job's shutdown still runs on a thread of its own: the failure is
// said, and the process ends at once rather than tear down its statics and the filters'
// modules beneath that thread. No output file was made.
[[noreturn]] void LeaveBehind(const platformpipeline::JobResult& result) {
    for (const std::string& name : result.abandoned) {
        std::cerr << "filterutil: filter " << Printable(name)
                  << " did not stop when the job was shut down; it was left running\n";
    }
    if (result.failedAt == platformpipeline::FailedAt::Filter) {
        std::cerr << "filterutil: filter " << Printable(result.filter) << " failed with "
                  << HexCode(result.hr) << ": " << Printable(result.message) << '\n';
    } else {
        std::cerr << "filterutil: " << Printable(result.message) << " (" << HexCode(result.hr)
                  << ")\n";
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(kExitFailure);
}

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
    if (!result.abandoned.empty()) {
        LeaveBehind(result);
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
