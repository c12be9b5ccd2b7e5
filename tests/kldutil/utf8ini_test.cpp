// Reading INI files by the rules of GetPrivateProfileStringW: values, defaults, lists of
// names, buffers too small, and files that are missing, odd or hostile.
#include "scratchfolder.h"

#include <kldutil/utf8ini.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

// The watermark settings a user interface might write: numbered sections, blanks, quotes,
// a comment, a key without '=', and a second section "1" that must not count.
const std::string kSettings = "\xEF\xBB\xBF; watermark settings\r\n"
                              "[1]\r\n"
                              "Text = Confidential  \r\n"
                              "FontFace=\"Arial\"\r\n"
                              "Quoted = 'a' \r\n"
                              "Empty=\r\n"
                              "NoEquals\r\n"
                              "  ; Text=commented out\r\n"
                              "Name=\xC3\x9C"
                              "ber \xE2\x82\xAC\r\n"
                              "[ 2 ]\r\n"
                              "Text=Draft\r\n"
                              "[1]\r\n"
                              "Text=ignored\r\n"
                              "Extra=ignored\r\n";

class Utf8Ini : public ::testing::Test {
protected:
    std::u16string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(root_ / name, std::ios::binary) << bytes;
        return Path(name);
    }
    std::u16string Path(const std::string& name) const { return (root_ / name).u16string(); }

    const ScratchFolder root_{"fu-ini"};
};

struct Read {
    std::u16string text; // the buffer up to its final zero or zeros
    DWORD result;
    DWORD error;
};

Read Look(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, DWORD size,
          const std::u16string& path) {
    std::u16string buffer(size + 1, u'#');
    SetLastError(0xDEAD);
    const DWORD result = UTF8Ini::GetPrivateProfileStringW(section, key, fallback, buffer.data(),
                                                           size, path.c_str());
    const DWORD error = GetLastError();
    EXPECT_EQ(u'#', buffer[size]) << "written beyond the buffer";
    // A value ends at its zero, a list at its two.
    const bool list = !section || !key;
    const size_t end = list ? buffer.find(std::u16string_view(u"\0\0", 2)) : buffer.find(u'\0');
    return {buffer.substr(0, end == std::u16string::npos ? size : end + (list ? 2 : 1)), result,
            error};
}

TEST_F(Utf8Ini, ValuesAndDefaults) {
    const std::u16string path = Write("KldWmV5.ini", kSettings);
    const WCHAR* marker = u"!@*^%&$#";
    const struct {
        const char* what;
        const WCHAR* section;
        const WCHAR* key;
        const WCHAR* fallback;
        DWORD size;
        std::u16string text;
        DWORD result;
        DWORD error;
    } cases[] = {
        {"blanks around the value go", u"1", u"Text", marker, 512,
         std::u16string(u"Confidential\0", 13), 12, ERROR_SUCCESS},
        {"names ignore ASCII case", u"1", u"tEXT", marker, 512,
         std::u16string(u"Confidential\0", 13), 12, ERROR_SUCCESS},
        {"a numbered section", u"2", u"Text", marker, 512, std::u16string(u"Draft\0", 6), 5,
         ERROR_SUCCESS},
        {"double quotes go", u"1", u"FontFace", marker, 512, std::u16string(u"Arial\0", 6), 5,
         ERROR_SUCCESS},
        {"single quotes go", u"1", u"Quoted", marker, 512, std::u16string(u"a\0", 2), 1,
         ERROR_SUCCESS},
        {"an empty value is not the default", u"1", u"Empty", marker, 512, std::u16string(u"\0", 1),
         0, ERROR_SUCCESS},
        {"a key without '='", u"1", u"NoEquals", marker, 512, std::u16string(u"\0", 1), 0,
         ERROR_SUCCESS},
        {"UTF-8 text", u"1", u"Name", marker, 512, std::u16string(u"\u00DCber \u20AC\0", 7), 6,
         ERROR_SUCCESS},
        {"the second section of a name does not count", u"1", u"Extra", marker, 512,
         std::u16string(u"!@*^%&$#\0", 9), 8, ERROR_FILE_NOT_FOUND},
        {"a missing section", u"3", u"Text", marker, 512, std::u16string(u"!@*^%&$#\0", 9), 8,
         ERROR_FILE_NOT_FOUND},
        {"a missing key", u"1", u"Missing", marker, 512, std::u16string(u"!@*^%&$#\0", 9), 8,
         ERROR_FILE_NOT_FOUND},
        {"a default loses trailing blanks", u"1", u"Missing", u" dflt  ", 512,
         std::u16string(u" dflt\0", 6), 5, ERROR_FILE_NOT_FOUND},
        {"a null default is empty", u"1", u"Missing", nullptr, 512, std::u16string(u"\0", 1), 0,
         ERROR_FILE_NOT_FOUND},
        {"a value cut to the buffer", u"1", u"Text", marker, 5, std::u16string(u"Conf\0", 5), 4,
         ERROR_SUCCESS},
        {"a default cut to the buffer", u"9", u"Text", marker, 3, std::u16string(u"!@\0", 3), 2,
         ERROR_FILE_NOT_FOUND},
        {"a buffer of one", u"1", u"Text", marker, 1, std::u16string(u"\0", 1), 0, ERROR_SUCCESS},
        {"all sections, each once", nullptr, u"Text", marker, 512, std::u16string(u"1\0002\0\0", 5),
         4, ERROR_SUCCESS},
        {"sections cut", nullptr, nullptr, marker, 3, std::u16string(u"1\0\0", 3), 1,
         ERROR_SUCCESS},
        {"keys of the first section", u"1", nullptr, marker, 512,
         std::u16string(u"Text\0FontFace\0Quoted\0Empty\0NoEquals\0Name\0\0", 42), 41,
         ERROR_SUCCESS},
        {"keys cut inside a name", u"1", nullptr, marker, 8, std::u16string(u"Text\0F\0\0", 8), 6,
         ERROR_SUCCESS},
        {"keys of a missing section", u"3", nullptr, marker, 512, std::u16string(u"\0\0", 2), 0,
         ERROR_FILE_NOT_FOUND},
        {"a list in a buffer of one", nullptr, nullptr, marker, 1, std::u16string(u"\0", 1), 0,
         ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Read read = Look(c.section, c.key, c.fallback, c.size, path);
        EXPECT_EQ(c.text, read.text);
        EXPECT_EQ(c.result, read.result);
        EXPECT_EQ(c.error, read.error);
    }
}

TEST_F(Utf8Ini, LineEndingsAndByteOrderMark) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"LF", "[1]\nText=v\nNext=w\n"},
        {"CR LF", "[1]\r\nText=v\r\nNext=w\r\n"},
        {"CR", "[1]\rText=v\rNext=w\r"},
        {"BOM, no final line end", "\xEF\xBB\xBF[1]\nText=v\nNext=w"},
        {"tabs and blank lines", "\n\t[1]\t\n\n\tText\t=\tv\t\nNext=w"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string path = Write("endings.ini", c.bytes);
        EXPECT_EQ(std::u16string(u"v\0", 2), Look(u"1", u"Text", u"-", 16, path).text);
        EXPECT_EQ(std::u16string(u"w\0", 2), Look(u"1", u"Next", u"-", 16, path).text);
    }
}

TEST_F(Utf8Ini, FilesThatAreNotReadKeepTheDefault) {
    fs::create_directories(root_ / "folder.ini");
    ASSERT_EQ(0, mkfifo((root_ / "fifo.ini").c_str(), 0600));
    Write("binary.ini", std::string("[1]\nText=v\0\x01\x02", 14));
    Write("latin1.ini", "[1]\nText=\xDC"
                        "ber\n");
    Write("utf16.ini", std::string("\xFF\xFE[\0001\0]\0\n\0", 10));
    {
        std::ofstream huge(root_ / "huge.ini", std::ios::binary);
        huge << "[1]\nText=v\n";
    }
    fs::resize_file(root_ / "huge.ini", (16u << 20) + 1);
    fs::create_symlink(root_ / "missing.ini", root_ / "dangling.ini");
    const std::u16string lone = Path("x") + u'\xD800';

    const struct {
        const char* what;
        std::u16string path;
        bool nullPath;
        DWORD error;
    } cases[] = {
        {"missing", Path("missing.ini"), false, ERROR_FILE_NOT_FOUND},
        {"dangling link", Path("dangling.ini"), false, ERROR_FILE_NOT_FOUND},
        {"missing folder", Path("none/KldWmV5.ini"), false, ERROR_FILE_NOT_FOUND},
        {"empty path", u"", false, ERROR_FILE_NOT_FOUND},
        {"null path", u"", true, ERROR_FILE_NOT_FOUND},
        {"lone surrogate in the path", lone, false, ERROR_FILE_NOT_FOUND},
        {"directory", Path("folder.ini"), false, ERROR_ACCESS_DENIED},
        {"FIFO without a writer", Path("fifo.ini"), false, ERROR_ACCESS_DENIED},
        {"device", u"/dev/zero", false, ERROR_ACCESS_DENIED},
        {"zero bytes", Path("binary.ini"), false, ERROR_INVALID_DATA},
        {"not UTF-8", Path("latin1.ini"), false, ERROR_INVALID_DATA},
        {"UTF-16", Path("utf16.ini"), false, ERROR_INVALID_DATA},
        {"over 16 MiB", Path("huge.ini"), false, ERROR_FILE_TOO_LARGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WCHAR buffer[16];
        SetLastError(0xDEAD);
        const WCHAR* path = c.nullPath ? nullptr : c.path.c_str();
        EXPECT_EQ(4u, UTF8Ini::GetPrivateProfileStringW(u"1", u"Text", u"dflt", buffer, 16, path));
        EXPECT_EQ(std::u16string(u"dflt"), buffer);
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(0u,
                  UTF8Ini::GetPrivateProfileStringW(nullptr, nullptr, u"dflt", buffer, 16, path));
        EXPECT_EQ(std::u16string(u"\0\0", 2), std::u16string(buffer, 2));
    }
}

TEST_F(Utf8Ini, NoBufferNoWrite) {
    const std::u16string path = Write("a.ini", "[1]\nText=v\n");
    WCHAR buffer[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(0u, UTF8Ini::GetPrivateProfileStringW(u"1", u"Text", u"", buffer, 0, path.c_str()));
    EXPECT_EQ(u'#', buffer[0]);
    EXPECT_EQ(0u, UTF8Ini::GetPrivateProfileStringW(u"1", u"Text", u"", nullptr, 4, path.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

} // namespace
