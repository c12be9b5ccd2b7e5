// WatermarkImage: the picture an image watermark draws, as the filter embeds it: the file the
// record names, read whole, told apart by its signature (PNG, JPEG or TIFF, whatever its name
// says), and written once per job as an image part (IResWriter) under a part name of its own.
//
// Contract.
// - Load reads the file and learns its pixel size and resolution from the file itself (PNG's
//   IHDR and pHYs, JPEG's frame header and JFIF density, TIFF's first directory); a file that
//   states no resolution is taken at 96 dots per inch. It fails (HRESULT) for a file that
//   cannot be read, is larger than kMaxBytes, is none of the three kinds, or whose header is
//   damaged; nothing is kept then.
// - The part name holds a GUID made when the file is loaded ("/Resources/Images/{GUID}.png",
//   ".jpg", ".tif"); the resource cache's key names it, so the part is written once per job.
// - The part asks to be stored rather than deflated when the file's pixels are compressed
//   already (PNG, JPEG, a TIFF that names a compression); an uncompressed TIFF is deflated.
// - The object owns its bytes; it is used by the filter's thread.
#pragma once

#include <filterutilities/reswriter.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class WatermarkImage final : public IResWriter {
public:
    static constexpr size_t kMaxBytes = 64u << 20;

    // Reads the image file at path (UTF-16). HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) or the
    // system's error for a file that cannot be read, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)
    // past kMaxBytes, HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a file of no known kind or a
    // damaged header, E_OUTOFMEMORY.
    static HRESULT Load(std::u16string_view path, WatermarkImage* image);
    // The same over bytes in memory.
    static HRESULT Parse(std::vector<BYTE> bytes, WatermarkImage* image);

    uint32_t PixelWidth() const noexcept { return m_width; }
    uint32_t PixelHeight() const noexcept { return m_height; }
    double DotsPerInchX() const noexcept { return m_dpiX; }
    double DotsPerInchY() const noexcept { return m_dpiY; }
    // The size at its own resolution, in 1/96 inch.
    double Width() const noexcept { return m_width * 96.0 / m_dpiX; }
    double Height() const noexcept { return m_height * 96.0 / m_dpiY; }
    const std::u16string& ContentType() const noexcept { return m_contentType; }
    const std::u16string& PartName() const noexcept { return m_partName; }
    const std::vector<BYTE>& Bytes() const noexcept { return m_bytes; }
    // Whether the file's pixels are compressed, so that the part is stored as it is.
    bool IsCompressed() const noexcept { return m_compressed; }

    // Where a drawing puts the picture, in 1/96 inch, and how opaque it is.
    struct Placement {
        double left = 0;
        double top = 0;
        double width = 0;
        double height = 0;
        double opacity = 1;
    };
    // A Path filled with an ImageBrush of the picture, in the vocabulary of the page it goes
    // on (prefix "" or "p:"), naming the picture by its part name.
    std::u16string Markup(std::u16string_view prefix, const Placement& at) const;

    // IResWriter.
    HRESULT WriteResourceData(IUnknown* newPart, IPrintWriteStream* stream) override;
    HRESULT GetResourceKey(BSTR* key) override;
    HRESULT GetResourceUri(BSTR* uri) override;
    REFIID GetResourceInterfaceId() override;

private:
    std::vector<BYTE> m_bytes;
    std::u16string m_contentType;
    std::u16string m_partName;
    std::u16string m_guidDigits;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    double m_dpiX = 96;
    double m_dpiY = 96;
    bool m_compressed = true;
};
