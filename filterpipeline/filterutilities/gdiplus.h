// GDIPlus: GDI+ started for the lifetime of one object.
//
// Contract: the constructor starts GDI+ (version 1, no debug callback, with its background
// thread and external codecs) and keeps the status of the start; the destructor shuts down
// what it started. GDI+ is counted per process, so objects may nest and overlap. An object
// owns its start alone and is neither copied nor moved. Turn the status into an HRESULT with
// GetGDIStatusErrorAsHResult.
#pragma once

#include <filterutilities/filterutilitiesexport.h>

#include <gdiplus.h>
#include <windows.h>

class FILTERUTILITIES_API GDIPlus {
public:
    GDIPlus();
    virtual ~GDIPlus();
    GDIPlus(const GDIPlus&) = delete;
    GDIPlus& operator=(const GDIPlus&) = delete;

    // Ok when GDI+ started; GdiplusNotInitialized before the start and after the shutdown.
    Gdiplus::Status GetGDIPlusStartStatus() const noexcept { return m_startStatus; }

private:
    ULONG_PTR m_token = 0; // 0 while GDI+ is not started by this object
    Gdiplus::Status m_startStatus = Gdiplus::GdiplusNotInitialized;
};
