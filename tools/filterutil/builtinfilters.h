// The filters built into filterutil, each on XpsFilterBase with merging on (the report's may
// be turned off, to see the part tickets as they stand):
// - copy: the default hooks only; the job goes on as it came.
// - report: for every page, the page scope's seven typed settings as one JSON object per line
//   ({"document": D, "page": P, "uri": ..., "duplex": {...}, ...}: D the page's document and
//   P the page, both counted from 1 over the job) to the stream it was made with; then the
//   page goes on unchanged. A stream that fails to take the report fails the filter.
// - ticket: selects Print Schema options and sets parameters in the tickets of the job, of
//   every document or of every page, through PrintTicketEditor. Each distinct ticket part of
//   that scope is rewritten once, and every part that shared it gets the rewritten one; the
//   parts of that scope without a ticket share one new ticket holding just the settings.
//
// A factory makes one filter per job and keeps what its filters share (the report's stream);
// the stream must outlive the job.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <prntvpt.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace filterutil {

// One setting of the ticket filter: a feature's option, or a parameter's value, at a scope.
// Names are local names in the Print Schema keywords namespace, or in the driver's private
// namespace when marked private.
struct TicketSetting {
    EPrintTicketScope scope = kPTPageScope;
    bool parameter = false;
    bool privateName = false;
    std::u16string name;
    bool privateOption = false; // a feature's option
    std::u16string option;      // a feature's option
    std::optional<int> integer; // a parameter's value when it is an integer
    std::u16string text;        // a parameter's value otherwise
};

// The ticket filter's options, each KEY=VALUE as the command line gives them:
//   [psk:|pk:]FEATURE=[psk:|pk:]OPTION@SCOPE
//   param:[psk:|pk:]NAME=VALUE@SCOPE     (digits, with an optional sign, make an integer)
// SCOPE is job, document or page. Raises ToolError for anything else, for a name XML cannot
// carry, and for one feature or parameter given twice at one scope.
std::vector<TicketSetting>
ParseTicketSettings(const std::vector<std::pair<std::string, std::string>>& options);

HRESULT MakeCopyFilterFactory(IClassFactory** factory);
HRESULT MakeReportFilterFactory(std::shared_ptr<std::ostream> out, bool merge,
                                IClassFactory** factory);
HRESULT MakeTicketFilterFactory(std::vector<TicketSetting> settings, IClassFactory** factory);

} // namespace filterutil
