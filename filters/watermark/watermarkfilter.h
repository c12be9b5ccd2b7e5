// The watermark filter: draws the watermark that the page scope's ticket view describes onto
// every fixed page of a job, and passes every other part on as it came.
//
// Contract.
// - The settings text (the tagged watermark description the driver's user interface stores)
//   is the options' text; when that is empty, the job's own: the string parameter
//   settingsParameter of the job's client job data ("PrintJobId" of the printer). A job with
//   neither is passed on unchanged.
// - For every page the page's ticket is resolved (merged onto the document's), the page size
//   read from it is set on the view, and the watermark record parsed; a page whose view reads
//   as the page before's (its content counter has not moved) takes that page's records and
//   drawings, formed anew once a date stamp among them has passed into another second. A
//   page whose record draws nothing goes on unchanged, its markup not read. Otherwise its
//   markup is written again with the watermark added as Glyphs at the record's measured
//   position, angle, colour and density (as opacity), above or below the page's content as
//   the record's draw mode says; an annotation line, when the options give one, is drawn
//   likewise.
// - The font the platform matched for the record's LOGFONTW is embedded once per job as a
//   font part and named by every page that draws with it.
// - The factory makes one filter per job; the options are copied into it.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <string>

struct WatermarkFilterOptions {
    // A watermark settings text ("<Type>0</Type><KldWmText>DRAFT</KldWmText>..."); empty:
    // the job's own, read from its client job data.
    std::u16string settings;
    // The client job data parameter that holds a job's own settings text.
    int settingsParameter = 1;
    // A line drawn as the annotation on every page (12-point Helvetica turned by 90 degrees
    // at the imageable origin); empty: none.
    std::u16string annotation;
};

// {B808740F-AC19-484F-ACE4-78001BA8B641}, as a pipeline configuration file names the filter.
inline constexpr CLSID CLSID_WatermarkFilter{
    0xB808740F, 0xAC19, 0x484F, {0xAC, 0xE4, 0x78, 0x00, 0x1B, 0xA8, 0xB6, 0x41}};

// A class factory whose CreateInstance makes a watermark filter (IPrintPipelineFilter) with
// these options. E_POINTER for a null out pointer, E_OUTOFMEMORY when it cannot be made.
HRESULT MakeWatermarkFilterFactory(const WatermarkFilterOptions& options, IClassFactory** factory);

// Whether a factory, a filter or a LockServer lock made by this code is still alive: what the
// module's DllCanUnloadNow answers.
bool WatermarkFilterInUse() noexcept;
