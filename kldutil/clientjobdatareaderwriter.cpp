#include <kldutil/clientjobdatareaderwriter.h>

#include <winspool.h>

#include <cstring>
#include <new>
#include <string>

namespace {

CXString ValueName(int parameter) {
    CXString name;
    name.Format(u"%d", parameter);
    return name;
}

bool Failed(DWORD error) {
    SetLastError(error);
    return false;
}

} // namespace

ClientJobDataReaderWriter::ClientJobDataReaderWriter(HANDLE printer, DWORD jobId)
    : m_printer(printer) {
    m_key.Format(u"ClientJobData\\%u", jobId);
}

bool ClientJobDataReaderWriter::GetStringFromParameterList(int parameter, CXString* out) const {
    if (!out) {
        return Failed(ERROR_INVALID_PARAMETER);
    }
    DWORD type = REG_NONE;
    ByteBuffer bytes;
    if (!Read(parameter, type, bytes)) {
        return false;
    }
    if (type != REG_SZ || bytes.getDword() % sizeof(WCHAR) != 0) {
        return Failed(ERROR_INVALID_DATATYPE);
    }
    std::u16string text(bytes.getDword() / sizeof(WCHAR), u'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), bytes.getLpbyte(), bytes.getDword());
    }
    // Stored with its terminating zero, as the spooler keeps REG_SZ values.
    if (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    *out = CXString(std::move(text));
    return true;
}

bool ClientJobDataReaderWriter::GetByteBufferFromParameterList(int parameter,
                                                               ByteBuffer* out) const {
    if (!out) {
        return Failed(ERROR_INVALID_PARAMETER);
    }
    DWORD type = REG_NONE;
    ByteBuffer bytes;
    if (!Read(parameter, type, bytes)) {
        return false;
    }
    *out = std::move(bytes);
    return true;
}

bool ClientJobDataReaderWriter::SetStringInParameterList(int parameter, const WCHAR* text) const {
    if (!text) {
        return Failed(ERROR_INVALID_PARAMETER);
    }
    const std::u16string_view view(text);
    return Write(parameter, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((view.size() + 1) * sizeof(WCHAR)));
}

bool ClientJobDataReaderWriter::SetByteBufferInParameterList(int parameter,
                                                             const ByteBuffer& bytes) const {
    return Write(parameter, REG_BINARY, bytes.getLpbyte(), bytes.getDword());
}

bool ClientJobDataReaderWriter::DeleteParameterList() const {
    const DWORD error = DeletePrinterKeyW(m_printer, m_key);
    return error == ERROR_SUCCESS || Failed(error);
}

bool ClientJobDataReaderWriter::Read(int parameter, DWORD& type, ByteBuffer& bytes) const {
    const CXString name = ValueName(parameter);
    try {
        // The value may change between the two calls: ask again until it fits.
        for (;;) {
            DWORD needed = 0;
            const DWORD error = GetPrinterDataExW(m_printer, m_key, name, &type, bytes.getLpbyte(),
                                                  bytes.getDword(), &needed);
            if (error == ERROR_SUCCESS) {
                bytes.resize(needed);
                return true;
            }
            if (error != ERROR_MORE_DATA) {
                return Failed(error);
            }
            if (needed <= bytes.getDword()) {
                return Failed(ERROR_INVALID_DATA);
            }
            bytes.resize(needed);
        }
    } catch (const std::bad_alloc&) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool ClientJobDataReaderWriter::Write(int parameter, DWORD type, const BYTE* data,
                                      DWORD size) const {
    const DWORD error = SetPrinterDataExW(m_printer, m_key, ValueName(parameter), type,
                                          const_cast<BYTE*>(data), size);
    return error == ERROR_SUCCESS || Failed(error);
}
