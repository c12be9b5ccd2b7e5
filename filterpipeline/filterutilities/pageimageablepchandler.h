// CPageImageablePCHandler: the imageable area of a page, from the driver's printable-area
// margins and the orientation the ticket view reads.
//
// Contract.
// - The handler reads the view it is given (orientation, the data model's borderless
//   settings, its devmode) and does not own it; the view must outlive every GetData.
// - The margins query (DeviceCapabilitiesW, capability 65518) runs as the user of the token
//   given to GetData, and the thread gets back the impersonation it had before. The driver is
//   handed a copy of the view's devmode (or, without one, a devmode of the page's size)
//   marked in its media type field with 0xBAADF00D; the view's own devmode is not changed.
// - Margins are those of the portrait page; the area is turned for the orientation. The area
//   never leaves the page: a margin below 0 counts as 0, an origin stops at the page's edge
//   and an extent at 0, so margins wider than the page give an empty area at the edge.
// - GetData fills the area also when the driver does not answer (E_FAIL: the area of the
//   margins it wrote, 0 for the others). E_POINTER for a null record, E_PENDING without a
//   view; a token that cannot be impersonated gives its failure and leaves the area as it was.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printschemasettings.h>
#include <filterutilities/xpsfilterprintticket.h>

#include <windows.h>

class FILTERUTILITIES_API CPageImageablePCHandler {
public:
    // The marker written into the devmode's media type field for the margins query.
    static constexpr DWORD kMarginsQueryMarker = 0xBAADF00D;

    explicit CPageImageablePCHandler(XpsFilterPrintTicket* ticket) noexcept : m_ticket(ticket) {}
    CPageImageablePCHandler(const CPageImageablePCHandler&) = default;
    CPageImageablePCHandler& operator=(const CPageImageablePCHandler&) = default;
    virtual ~CPageImageablePCHandler();

    // The imageable area of a page of media's size (micrometres) on the printer.
    HRESULT GetData(const WCHAR* printer, void* userToken,
                    const PrintSchema::PageMediaSize::PageMediaSizeData* media,
                    PrintSchema::PageImageableSize::PageImageableData* area);
    // The same for the width and height of an output paper size.
    HRESULT GetData(const WCHAR* printer, void* userToken,
                    const PrintSchema::OutputPaperSize::OutputPaperSizeData* paper,
                    PrintSchema::PageImageableSize::PageImageableData* area);

private:
    XpsFilterPrintTicket* m_ticket; // not owned
};
