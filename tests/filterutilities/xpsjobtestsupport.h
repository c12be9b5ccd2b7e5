// Real XPS jobs for the tests of the filter framework and the part output classes: jobs made
// by make-xps, opened with the platform's package reader and writer, and read back.
#pragma once

#include <atlbase.h>
#include <xpspackage.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace xpsjob {

inline std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; text && *text; ++text) {
        narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return narrow;
}

inline std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Writes a job with make-xps (arguments as on its command line).
inline void Make(const std::string& path, const std::string& arguments) {
    const std::string command = "python3 '" XPSTEST_MAKE_XPS "' '" + path + "' " + arguments;
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

// Removes one entry from the job's ZIP file, as damage that a reader finds only when its walk
// reaches the entry.
inline void RemoveEntry(const std::string& path, const std::string& entry) {
    const std::string command =
        "python3 -c \"import sys, zipfile\n"
        "src = zipfile.ZipFile(sys.argv[1])\n"
        "items = [(i, src.read(i.filename)) for i in src.infolist() if i.filename != sys.argv[2]]\n"
        "src.close()\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as dst:\n"
        "    [dst.writestr(i, data) for i, data in items]\" '" +
        path + "' '" + entry + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

inline CComPtr<IXpsDocumentProvider> OpenReader(const std::string& path) {
    CComPtr<IXpsDocumentProvider> reader;
    EXPECT_EQ(S_OK, XpsOpenPackageReader(path.c_str(), nullptr, &reader)) << path;
    return reader;
}

inline CComPtr<IXpsDocumentConsumer> CreateWriter(const std::string& path) {
    CComPtr<IXpsDocumentConsumer> writer;
    EXPECT_EQ(S_OK, XpsCreatePackageWriter(path.c_str(), &writer)) << path;
    return writer;
}

// The next fixed page of a reader, sending every part before it to writer when one is given.
inline CComPtr<IFixedPage> NextPage(IXpsDocumentProvider* reader,
                                    IXpsDocumentConsumer* writer = nullptr) {
    while (true) {
        CComPtr<IUnknown> part;
        if (FAILED(reader->GetXpsPart(&part)) || !part) {
            return nullptr;
        }
        CComPtr<IFixedPage> page;
        if (SUCCEEDED(part.QueryInterface(&page))) {
            return page;
        }
        if (writer) {
            EXPECT_EQ(S_OK, XpsSendPart(writer, part));
        }
    }
}

// The whole content of a part.
inline std::string ReadAll(IPartBase* part) {
    CComPtr<IPrintReadStream> stream;
    EXPECT_EQ(S_OK, part->GetStream(&stream));
    std::string bytes;
    if (!stream) {
        return bytes;
    }
    char buffer[4096];
    while (true) {
        ULONG read = 0;
        BOOL endOfFile = FALSE;
        if (FAILED(stream->ReadBytes(buffer, sizeof buffer, &read, &endOfFile))) {
            ADD_FAILURE() << "ReadBytes failed";
            return bytes;
        }
        bytes.append(buffer, read);
        if (endOfFile || read == 0) {
            return bytes;
        }
    }
}

inline std::string UriOf(IUnknown* part) {
    CComPtr<IPartBase> base;
    if (!part || FAILED(part->QueryInterface(IID_IPartBase, reinterpret_cast<void**>(&base)))) {
        return "(not a part)";
    }
    CComBSTR uri;
    EXPECT_EQ(S_OK, base->GetUri(&uri));
    return Narrow(uri);
}

// The part names of a page's resources, in the order of its part iterator.
inline std::vector<std::string> Resources(IFixedPage* page) {
    std::vector<std::string> uris;
    CComPtr<IXpsPartIterator> iterator;
    EXPECT_EQ(S_OK, page->GetXpsPartIterator(&iterator));
    for (iterator->Reset(); !iterator->IsDone(); iterator->Next()) {
        CComBSTR uri;
        CComPtr<IUnknown> part;
        EXPECT_EQ(S_OK, iterator->Current(&uri, &part));
        uris.push_back(UriOf(part));
    }
    return uris;
}

} // namespace xpsjob
