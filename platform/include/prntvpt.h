// The PrintTicket API (prntvpt.h): a provider for a printer merges a delta print ticket onto
// a base ticket, keeps the settings of the requested scope and validates the result against
// the printer's capabilities.
#pragma once

#include "objidl.h"
#include "oleauto.h"
#include "windows.h"

// A narrower scope has a smaller value: a page ticket may carry page, document and job
// settings, a job ticket only job settings.
enum EPrintTicketScope : int32_t {
    kPTPageScope = 0,
    kPTDocumentScope = 1,
    kPTJobScope = 2,
};
static_assert(sizeof(EPrintTicketScope) == 4);

using HPTPROVIDER = HANDLE;

#define E_PRINTTICKET_FORMAT _HRESULT_TYPEDEF_(0x80040003)
#define E_PRINTCAPABILITIES_FORMAT _HRESULT_TYPEDEF_(0x80040004)
#define E_DELTA_PRINTTICKET_FORMAT _HRESULT_TYPEDEF_(0x80040005)
// Both succeed: the merged ticket needed no change to fit the printer, or some settings were
// dropped or replaced so that it does.
#define S_PT_NO_CONFLICT _HRESULT_TYPEDEF_(0x00040001)
#define S_PT_CONFLICT_RESOLVED _HRESULT_TYPEDEF_(0x00040002)

extern "C" {
// Version 1 only (E_INVALIDARG otherwise); an unknown printer gives
// HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME). The provider belongs to the calling thread:
// from any other thread it answers E_INVALIDARG.
PLATFORM_EXPORT HRESULT WINAPI PTOpenProvider(PCWSTR printerName, DWORD version,
                                              HPTPROVIDER* provider);
// Reads the base and the delta (which may be null) from where the streams stand, writes the
// merged and validated ticket to result. On failure *errorMessage (when given) says what was
// wrong; on success it is null.
PLATFORM_EXPORT HRESULT WINAPI PTMergeAndValidatePrintTicket(HPTPROVIDER provider, IStream* base,
                                                             IStream* delta,
                                                             EPrintTicketScope scope,
                                                             IStream* result, BSTR* errorMessage);
// E_HANDLE for a provider that is not open (a second close included).
PLATFORM_EXPORT HRESULT WINAPI PTCloseProvider(HPTPROVIDER provider);
}
