// Jobs whose pages share one print ticket part, as real jobs do: a make-xps job (written with
// --page-tickets every) rewritten so that every page names the first page's ticket, the other
// page tickets removed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace sharedticketjob {

inline void ShareFirstPageTicket(const std::string& path) {
    const std::string command =
        "python3 -c \"import re, sys, zipfile\n"
        "src = zipfile.ZipFile(sys.argv[1])\n"
        "items = [(i, src.read(i.filename)) for i in src.infolist()]\n"
        "src.close()\n"
        "shared = b'/Documents/1/Metadata/Page1_PT.xml'\n"
        "page_ticket = re.compile(rb'/Documents/[0-9]+/Metadata/Page[0-9]+_PT.xml')\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as dst:\n"
        "    for i, data in items:\n"
        "        name = '/' + i.filename\n"
        "        if page_ticket.fullmatch(name.encode()) and name.encode() != shared:\n"
        "            continue\n"
        "        if '/Pages/_rels/' in name:\n"
        "            data = page_ticket.sub(shared, data)\n"
        "        dst.writestr(i, data)\" '" +
        path + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

} // namespace sharedticketjob
