// The data a client (the driver's user interface) attaches to one print job, read back by the
// filters: a list of parameters, each a number with a string or bytes, kept by the spooler as
// printer data under the key "ClientJobData\<job id>", one value per parameter named by its
// decimal number (REG_SZ for strings, REG_BINARY for bytes).
//
// Contract: the printer handle stays the caller's and must stay open while the object is
// used. Every operation asks the spooler as the user the calling thread acts for; none
// throws. A false result leaves the out-parameter untouched, with the reason in GetLastError.
#pragma once

#include <kldutil/bytebuffer.h>
#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API ClientJobDataReaderWriter {
public:
    ClientJobDataReaderWriter(HANDLE printer, DWORD jobId);

    // False when out is null, the parameter is missing, or it holds no string (bytes, or
    // text of an odd length).
    bool GetStringFromParameterList(int parameter, CXString* out) const;
    // The stored bytes of a parameter of any type.
    bool GetByteBufferFromParameterList(int parameter, ByteBuffer* out) const;

    // Store a parameter, replacing what it held. A null text is refused.
    bool SetStringInParameterList(int parameter, const WCHAR* text) const;
    bool SetByteBufferInParameterList(int parameter, const ByteBuffer& bytes) const;

    // Removes every parameter of the job (at the end of the job). False when it had none.
    bool DeleteParameterList() const;

private:
    bool Read(int parameter, DWORD& type, ByteBuffer& bytes) const;
    bool Write(int parameter, DWORD type, const BYTE* data, DWORD size) const;

    HANDLE m_printer;
    CXString m_key;
};
