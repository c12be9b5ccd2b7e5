// The standard CRC-32 (ISO-HDLC: polynomial 0x04C11DB7 reflected, initial value and final
// XOR 0xFFFFFFFF), as zip and PNG use it. The driver stores it in its private devmode block
// to tell a block written whole from one that was damaged or edited by hand.
#pragma once

#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API Crc32 {
public:
    // CRC-32 of size bytes at data. To checksum data that arrives in pieces, pass the CRC of
    // the bytes before as previous; the CRC of nothing is 0. A null data with size 0 is
    // allowed; with a size above 0 it raises ExceptionInvalidArgumentNullPointer.
    static DWORD GetCrc(const BYTE* data, DWORD size, DWORD previous = 0);
};
