// Questions about the driver of an open printer.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API PrintDriver {
public:
    // The name of the printer's driver, asked as the user the calling thread acts for. A
    // handle that is not open, or any other refusal of the spooler, throws KeldanComException
    // with the Win32 error as HRESULT.
    static CXString GetDriverName(HANDLE printer);
};
