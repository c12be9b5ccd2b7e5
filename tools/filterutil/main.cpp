// filterutil: print tickets and capabilities documents read and edited through FilterUtilities.
#include "commands.h"
#include "outputfile.h"
#include "text.h"
#include "toolerror.h"

#include <atlbase.h>
#include <kldutil/keldanexception.h>
#include <objbase.h>
#include <xpspackage.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <new>
#include <string>

namespace {

constexpr char kUsage[] = R"(usage: filterutil ticket COMMAND [OPTIONS] FILE
       filterutil printers [--json]
       filterutil forms [--printer P] [--json]
       filterutil xps list [--json] JOB.xps
       filterutil xps copy IN.xps OUT.xps
       filterutil run [--printer P] [--ticket T] [--user U] [--shutdown-grace SECONDS]
                      [--pipeline CONFIG.xml | --filter NAME...] IN.xps OUT.xps

Reads Print Schema documents (print tickets and print capabilities) through the FilterUtilities
library and prints or edits what they hold. FILE "-" is standard input.

commands:
  ticket show [--json] FILE
      Prints the document's root (PrintTicket or PrintCapabilities), the prefixes it uses for
      the Print Schema framework, the Print Schema keywords and the driver's private keywords
      (a private prefix reads "pk:" after loading), every feature with its option (tickets) or
      options (capabilities), the scored properties of the selected option, nested features,
      and the parameter initialisers (tickets) or the default values of the parameter
      definitions (capabilities). Values and options are read as the library reads them: a
      ParameterRef is followed to its ParameterInit; a ticket's option is the name of the
      feature's Option or the value of its OptionName scored property, whichever stands first,
      and an option the library refuses (an Option without a name, a name without a prefix)
      is shown as unreadable, with the reason.
      With --json the same as one JSON object:
        {"root": "PrintTicket"|"PrintCapabilities",
         "prefixes": {"framework": ..., "keywords": ..., "userKeywords": ...},
         "features": [{"name": ..., "option": ..., "scoredProperties": {name: value},
                       "features": [nested]}],
         "parameterInits": {name: value}}
      with "optionUnreadable": "<reason>" beside a null "option" the library refuses.
      For capabilities each feature has "options": [{"name": ..., "scoredProperties": {...}}]
      in place of "option" and "scoredProperties", and "parameterDefs" (name: default value)
      replaces "parameterInits". A name or value the document does not give is null.

  ticket set FILE FEATURE OPTION [-o OUT]
      Selects OPTION in FEATURE: the feature is replaced where it stands (its sub-features
      kept), or added at the end of the ticket. Names carry the prefix the document uses,
      for example: ticket set job.xml psk:JobDuplexAllDocumentsContiguously psk:TwoSidedLongEdge
      Features and options are named in the Print Schema keywords namespace or the driver's
      private keywords namespace. pk: always names the driver's namespace, whatever the
      ticket declares: a ticket that does not declare it gets xmlns:pk on its root.

  ticket param FILE NAME VALUE [--integer] [-o OUT]
      Sets the ParameterInit NAME to VALUE (typed xsd:string, or xsd:integer with --integer),
      replacing an initialiser of the same name where it stands. A string value may not be
      empty or hold characters XML cannot carry. pk:NAME is the driver's, as for set.

  ticket prune FILE [-o OUT]
      Removes the ParameterInit elements that no ParameterRef of the ticket names.

  ticket devmode [--json] FILE
      Decodes the ticket's page devmode snapshot (the driver's devmode as Base64) and prints
      the public devmode fields, whether the driver's private block is valid (present,
      signature, version, checksum) and the data-model attributes per namespace. With --json:
        {"devmode": {"dmSize": n, "dmDriverExtra": n, ...},
         "privateBlock": {"present": bool, "signature": bool, "version": n, "checksumOk": bool},
         "attributes": {"<namespace id>": {"<feature id>": value}}}
      A snapshot that is not Base64 or not a devmode of this driver is reported as such
      (what could be read is printed first) with exit status 2.

  ticket devmode --set FEATURE=VALUE... FILE -o OUT
      Changes data-model attributes (feature and value ids as numbers; an attribute keeps its
      kind, a new one is an option) and commits them into the ticket's snapshot, as a filter
      does: the state is rewritten, the checksum renewed and the user interface's stamp
      (record 23) cleared.

  ticket devmode --new [--set FEATURE=VALUE...] FILE -o OUT
      First embeds a fresh devmode of this driver, as its user interface makes one, then
      applies the settings.

  ticket effective --default D [--job J] [--document C] [--page P] [--json] FEATURE...
      For each feature (a Print Schema keyword such as PageMediaSize or psk:PageMediaSize),
      the option the filter's ticket view resolves and the ticket it came from: page features
      from the page ticket down to the default ticket, document features from the document
      ticket down, job features from the job ticket and the default. A feature whose option
      the view cannot read is reported as unreadable, with the reason and the ticket that
      holds it; the other features are still answered. With --json:
        {"<feature>": {"option": "<name>", "from": "page"|"document"|"job"|"default"}}
      with {"unreadable": "<reason>", "from": ...} for an unreadable option and null for a
      feature no ticket sets.

  ticket settings [--json] [--printer P] [--job J] [--document C] [--page P]
                  [--watermark TEXT | --watermark-job JOB:PARAMETER] DEFAULT
      The typed settings a filter reads from its page view of the job's tickets (DEFAULT the
      user's default ticket, J, C and P the job, document and page part tickets), each with
      the ticket it came from: duplex, orientation and the page media size from the Print
      Schema features (page features from the page ticket down, job features from the job
      ticket and the default), page scaling, booklet binding and pages per sheet from the
      driver's data model (the devmode snapshot of the narrowest ticket that carries one),
      the output paper size from the data model or else the page media size, and the
      page's imageable area (printer P's margins on the page media size, turned for the
      orientation; none for a borderless data model). A setting is
      "from the X ticket", "defaults" (no data model of this driver, or nothing to read: the
      values a filter gets then), "not set" or "unreadable" with the reason. The view asks
      printer P (the default printer without --printer) as the current user.
      Then the page's watermark: the watermark settings text (the tagged text the driver's
      user interface stores for a job, such as "<Type>0</Type><KldWmText>DRAFT</KldWmText>":
      TEXT, or the client job data string PARAMETER of job JOB on printer P; an empty text
      without either) parsed as a filter parses it and measured with printer P's fonts on a
      page of the page media size, turned for a landscape orientation: its kind, text, font,
      colour, density, angle, the start of the text's baseline and its extent, the offsets
      and the page in 1/96 inch, the draw mode and whether the data model asks for its own
      watermark (the draw mode and that flag come from the data model). With --json:
        {"duplex": {"value": "OneSided", "state": "read"|"defaults"|"absent"|"unreadable",
                    "from": "page"|"document"|"job"|"default"|null},
         "orientation", "pageScaling", "pageMediaSize", "bookletBinding", "nUp",
         "outputPaperSize": {...},
         "imageableArea": {"value": {"width": n, "height": n, "originWidth": n,
                           "originHeight": n, "extentWidth": n, "extentHeight": n},
                           "state": "read"|"unreadable"},
         "watermark": {"type": "text"|"dateTimeStamp"|"image"|"none", "typeNumber": n,
                       "text": ..., "font": {"face": ..., "pointSize": n, "height": n,
                       "weight": n, ...}, "colour": "#RRGGBB", "density": n, "angle": n,
                       "x": n, "y": n, "extentWidth": n, "extentHeight": n, "xOffset": n,
                       "yOffset": n, "pageWidth": n, "pageHeight": n, "imageFile": ...,
                       "imageScale": n, "drawMode": n, "dataModelWatermark": bool,
                       "state": "read"|"unreadable", "settingsFrom": "--watermark"|
                       "client job data JOB:PARAMETER"|"none", "from": data model ticket}}
      with "error" beside an unreadable setting; sizes in micrometres, the watermark's in
      1/96 inch. A job without that client job data string is bad input.

  ticket merge BASE DELTA --scope job|document|page [--printer P] [-o OUT]
      Merges DELTA onto BASE through the PrintTicket API as a filter's print ticket manager
      does: each feature and parameter of DELTA replaces the one of the same name (namespace
      and local name; prefixes may differ) in BASE or is added; settings narrower than the
      scope are left out (a page-scope result keeps page, document and job settings, a
      job-scope result only job settings). The result is then validated against printer P
      (the default printer without --printer): features it does not list and parameters it
      does not define are dropped, options it does not offer become its default option,
      integers outside a parameter's range are clamped. Standard error says "no conflicts" or
      "conflicts resolved". Runs as the current user.

  ticket mediasize TICKET (--form NAME | --size WIDTHxHEIGHT[mm|in]) [--postscript]
                   [--printer P] [-o OUT]
      Writes one of printer P's forms (the default printer without --printer) into the ticket
      as its PageMediaSize, as a filter does: the old PageMediaSize and the initialisers of its
      custom-size parameters go, the new feature is added at the end with the form's size as
      MediaSizeWidth and MediaSizeHeight. --form names a form a ticket may name (see forms);
      --size picks the form of that size (millimetres unless "in" follows, a side from 0.1 mm
      to 10 m), or the printer's custom size when it has none: CustomMediaSize, or with
      --postscript PSCustomMediaSize, whose size goes into ParameterInit elements. The forms
      are asked as the current user.

  forms [--printer P] [--json]
      The forms printer P's driver reports (the default printer without --printer), asked as
      the current user, as a filter sees them: each with its name, number, size in tenths of a
      millimetre, paper size id, kind, whether a print ticket may name it (kept) or not
      (dropped: a hidden form or one of an unknown kind, or a system form, user form or
      driver custom size whose size an earlier form already has), and its Print Schema
      PageMediaSize option with its namespace (psk: the Print Schema keywords, pk: the
      driver's). With --json:
        {"printer": ..., "forms": [{"number": n, "name": ..., "width": n, "height": n,
          "paperSizeId": n, "kind": n, "kindName": ..., "kept": bool, "option": ...|null,
          "namespace": "keywords"|"private"|null}]}
      with "problem" beside a null option.

  printers [--json]
      Lists the printers: the descriptions (*.printer) in the folders of
      FILTERUTILITIES_PRINTERS (separated by ':'), in $XDG_CONFIG_HOME/filterutilities/printers
      (~/.config/... without it) and in /etc/filterutilities/printers, then the built-in
      "FilterUtilities XPS Printer". For each: its description file, driver, driver directory,
      printable-area margins and forms. A description that cannot be read is named on
      standard error with the reason and skipped. With --json:
        {"printers": [{"name": ..., "default": bool, "source": ..., "driver": ...,
                       "driverDirectory": ..., "margins": {"left": n, "top": n, "right": n,
                       "bottom": n},
                       "forms": [{"number": n, "name": ..., "width": n, "height": n,
                                  "paperSizeId": n, "kind": n}]}],
         "skipped": [{"source": ..., "problem": ...}]}
      Margins are in micrometres, form sizes in tenths of a millimetre.
  xps list [--json] JOB.xps
      Reads an XPS job (Microsoft XPS or OpenXPS) part by part, as a filter sees it, and
      prints its flavour, then every part in reader order (the XPS document, the sequence,
      each fixed document followed by its pages) with its kind, URI, content type, stored and
      full size and its print ticket's URI; under a page, its resources. With --json:
        {"flavour": "Microsoft XPS"|"OpenXPS",
         "parts": [{"kind": ..., "uri": ..., "contentType": ..., "storedSize": n,
                    "fullSize": n, "printTicket": uri|null, "resources": [...]}]}
      A damaged job lists the parts before the damage, then fails.

  xps copy IN.xps OUT.xps
      Reads IN part by part and writes every part to OUT, as a filter that changes nothing
      would: parts are copied as stored, the flavour is kept. OUT appears only when the whole
      job was written.

  run [--printer P] [--ticket T] [--user U] [--shutdown-grace SECONDS]
      [--pipeline CONFIG.xml | --filter NAME...] IN.xps OUT.xps
      Prints the job IN through a pipeline of filters, as the spooler's filter pipeline
      does, and writes what the last filter sends to OUT. The filters are those a pipeline
      configuration file names (<Filters><Filter dll="module.so" clsid="{...}" name="...">
      with one <Input guid="{IID}"/> and one <Output guid="{IID}"/> each, the IIDs of
      IXpsDocumentProvider or IPrintReadStream, IXpsDocumentConsumer or IPrintWriteStream; a
      module named without a folder is found beside the file), or the filters built into the
      tool, one --filter for each, in the order given: copy (sends every part on as it
      came), report (writes, for every page, the page's seven typed settings as one JSON
      object per line to standard error, or with report:out=FILE to FILE), ticket
      (rewrites the print tickets of one scope, see below) and watermark (draws each
      page's watermark; see the README for its options). They merge the job, document
      and page tickets onto the user's default ticket (report:merge=off reads the part
      tickets as they stand).
      ticket takes settings as its options, any number, comma-separated:
        ticket:FEATURE=OPTION@SCOPE          selects OPTION in FEATURE
        ticket:param:NAME=VALUE@SCOPE        sets the parameter NAME (ParameterInit); a
                                             VALUE of digits is an integer, else a string
      SCOPE is job, document or page; names are Print Schema keywords (psk:, the default)
      or the driver's own with pk:, for example
        --filter ticket:PageOrientation=Landscape@page,param:JobCopiesAllDocuments=2@job
      Every ticket part of that scope is rewritten once, as a new part named after it
      (Page1_PT.xml becomes Page1_PT_p.xml), and the parts that shared it share the new
      one; the parts of that scope without a ticket share one new ticket holding just the
      settings. Values cannot hold a comma; the last @ starts the scope. With neither the job is
      copied part by part. Each filter runs on a thread of its own, joined to the next by a bounded queue of
      parts, and finds in its property bag the printer (P, or the default printer), the job
      id, the user's default ticket (T, a PrintTicket, or the printer's default ticket) and
      the token of the user (U, or the user running the tool). While standard error is a
      terminal a line there counts the pages written. OUT is written as xps copy writes it
      (a file, never a device or FIFO) and appears only when every filter finished well. A
      filter that fails or asks to shut the job down stops every filter; standard error
      names the first that failed, with its HRESULT, and the exit status is 1. A filter
      that has not returned SECONDS after it was told to stop (10 unless --shutdown-grace
      gives another, above 0 and at most 86400; fractions such as 0.5 are allowed) is
      left running: standard error names it and the tool ends at once.

  The edit commands write the edited ticket (UTF-8, with its XML declaration) to OUT, or to
  standard output without -o or with -o -; the input file changes only when -o names it. A
  prefix the document does not declare is an error. OUT is replaced as a whole: the new
  content goes to a new file beside it, which takes OUT's mode and owner and is renamed over
  it, so a failure leaves OUT as it was. A link is followed to the file it names; a device or
  FIFO (/dev/null, a pipe) is written to, not replaced.
  Text output escapes control characters from documents as JSON does (\n, \u001b).

exit status: 0 done; 2 bad input: a file that cannot be read, is not a Print Schema document
or not an XPS package (nothing is written then), a bad command line, a value or name that
cannot be written, an OUT that cannot be opened, an unknown printer, user or filter, a bad
pipeline configuration (one line on standard error says why); 1 a write that failed (a full
disk), a filter that failed, or a fault of the library.
Set FILTERUTILITIES_DEBUG=1 to see the library's debugger output on standard error.
)";

using Command = std::function<int(const filterutil::Arguments&)>;

const std::map<std::string, Command>& TicketCommands() {
    static const std::map<std::string, Command> commands{
        {"show", filterutil::TicketShow},           {"set", filterutil::TicketSet},
        {"param", filterutil::TicketParam},         {"prune", filterutil::TicketPrune},
        {"devmode", filterutil::TicketDevmode},     {"effective", filterutil::TicketEffective},
        {"merge", filterutil::TicketMerge},         {"settings", filterutil::TicketSettings},
        {"mediasize", filterutil::TicketMediaSize},
    };
    return commands;
}

// Keeps a COM apartment for the run of the tool.
class Apartment {
public:
    Apartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~Apartment() {
        if (SUCCEEDED(hr_)) {
            CoUninitialize();
        }
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

private:
    HRESULT hr_;
};

// One line on standard error, whatever the message holds.
void Report(const std::string& message) {
    std::cerr << "filterutil: " << filterutil::Printable(message) << '\n';
}

int Run(int argc, char** argv) {
    filterutil::Arguments arguments(argv + 1, argv + argc);
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" ||
        arguments[0] == "help") {
        filterutil::WriteStandardOutput(kUsage);
        return arguments.empty() ? filterutil::kExitBadInput : filterutil::kExitOk;
    }
    if (arguments[0] == "printers") {
        Apartment apartment;
        return filterutil::Printers(filterutil::Arguments(arguments.begin() + 1, arguments.end()));
    }
    if (arguments[0] == "forms") {
        Apartment apartment;
        return filterutil::Forms(filterutil::Arguments(arguments.begin() + 1, arguments.end()));
    }
    if (arguments[0] == "xps" && arguments.size() >= 2 &&
        (arguments[1] == "list" || arguments[1] == "copy")) {
        Apartment apartment;
        const filterutil::Arguments rest(arguments.begin() + 2, arguments.end());
        const int status =
            arguments[1] == "list" ? filterutil::XpsList(rest) : filterutil::XpsCopy(rest);
        // The listing streams through std::cout as parts come: its writes are checked here.
        errno = 0;
        std::cout.flush();
        if (!std::cout) {
            throw filterutil::ToolError(
                std::string("standard output: cannot write") +
                    (errno ? std::string(": ") + std::strerror(errno) : std::string()),
                filterutil::kExitFailure);
        }
        return status;
    }
    if (arguments[0] == "run") {
        Apartment apartment;
        return filterutil::Run(filterutil::Arguments(arguments.begin() + 1, arguments.end()));
    }
    if (arguments[0] != "ticket" || arguments.size() < 2) {
        throw filterutil::ToolError("unknown command; see filterutil --help");
    }
    const auto command = TicketCommands().find(arguments[1]);
    if (command == TicketCommands().end()) {
        throw filterutil::ToolError("unknown command ticket " + arguments[1] +
                                    "; see filterutil --help");
    }
    Apartment apartment;
    return command->second(filterutil::Arguments(arguments.begin() + 2, arguments.end()));
}

// A signal that ends the process first removes the package being written beside OUT, then
// ends it as the signal would have.
extern "C" void EndOnSignal(int signal) {
    XpsRemoveUnfinishedPackageFiles();
    ::raise(signal); // the handler was reset: delivered once this returns
}

void RemoveUnfinishedOutputOnSignals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction action {};
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = EndOnSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace

int main(int argc, char** argv) {
    // A write past the file size limit fails with EFBIG and is reported like a full disk,
    // rather than ending the process with the temporary output left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    RemoveUnfinishedOutputOnSignals();
    try {
        return Run(argc, argv);
    } catch (const filterutil::ToolError& e) {
        Report(e.what());
        return e.Status();
    } catch (const KeldanComException& e) {
        Report("the library failed: " + filterutil::DescribeHresult(e.GetHresult()));
        return filterutil::kExitFailure;
    } catch (const ATL::CAtlException& e) {
        Report("the library failed: " + filterutil::DescribeHresult(static_cast<HRESULT>(e)));
        return filterutil::kExitFailure;
    } catch (const std::bad_alloc&) {
        Report("out of memory");
        return filterutil::kExitFailure;
    } catch (const std::exception& e) {
        Report(e.what());
        return filterutil::kExitFailure;
    }
}
