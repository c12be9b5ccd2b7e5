// The tool's commands. Each takes the arguments after its own name and answers an exit
// status; bad input is thrown as ToolError.
#pragma once

#include <string>
#include <vector>

namespace filterutil {

using Arguments = std::vector<std::string>;

int TicketShow(const Arguments& arguments);
int TicketSet(const Arguments& arguments);
int TicketParam(const Arguments& arguments);
int TicketPrune(const Arguments& arguments);
int TicketDevmode(const Arguments& arguments);
int TicketEffective(const Arguments& arguments);
int TicketSettings(const Arguments& arguments);
int TicketMerge(const Arguments& arguments);
int TicketMediaSize(const Arguments& arguments);
int Forms(const Arguments& arguments);
int Printers(const Arguments& arguments);
int XpsList(const Arguments& arguments);
int XpsCopy(const Arguments& arguments);
int Run(const Arguments& arguments);

} // namespace filterutil
