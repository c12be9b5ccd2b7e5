// Client job data: parameters written for a job by the user interface and read back by a
// filter running as the printing user.
#include "scratchfolder.h"

#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/printer.h>
#include <kldutil/setthreadtokenwrapper.h>

#include <handleapi.h>
#include <platformprinters.h>
#include <platformsecurity.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Entry = platformtest::ImpersonationLog::Entry;

ByteBuffer Bytes(const std::string& text) {
    ByteBuffer bytes;
    bytes.appendLpbyte(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
    return bytes;
}

class ClientJobData : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FILTERUTILITIES_SPOOL", spool_.Path().c_str(), 1);
        ASSERT_TRUE(printer_);
    }
    void TearDown() override { unsetenv("FILTERUTILITIES_SPOOL"); }

    const ScratchFolder spool_{"fu-jobdata"};
    Printer printer_ = Printer::CreateHandle(platformprinters::kBuiltinPrinterName);
};

TEST_F(ClientJobData, WhatTheInterfaceWritesTheFilterReads) {
    HANDLE alice = platformtest::CreateTestUserToken(u"alice", "/a");
    HANDLE spooler = platformtest::CreateTestUserToken(u"filter", "/f");
    const std::u16string settings =
        u"<IniDataType>37</IniDataType><Text>\u00C9t\u00E9 \U0001F5A8</Text>";
    const std::string image("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    {
        SetThreadTokenWrapper asAlice(alice);
        const Printer printer = Printer::CreateHandle(platformprinters::kBuiltinPrinterName);
        const ClientJobDataReaderWriter job(printer.GetHandle(), 42);
        ASSERT_TRUE(job.SetStringInParameterList(1, settings.c_str()));
        ASSERT_TRUE(job.SetStringInParameterList(2, u""));
        ASSERT_TRUE(job.SetByteBufferInParameterList(3, Bytes(image)));
        ASSERT_TRUE(job.SetByteBufferInParameterList(-4, ByteBuffer()));
        ASSERT_TRUE(job.SetStringInParameterList(5, u"first"));
        ASSERT_TRUE(job.SetStringInParameterList(5, u"second"));
    }

    platformtest::ImpersonationLog log;
    SetThreadTokenWrapper asFilter(spooler);
    const Printer printer = Printer::CreateHandle(platformprinters::kBuiltinPrinterName);
    const ClientJobDataReaderWriter job(printer.GetHandle(), 42);
    const struct {
        int parameter;
        std::u16string text;
    } strings[] = {{1, settings}, {2, u""}, {5, u"second"}};
    for (const auto& c : strings) {
        SCOPED_TRACE(c.parameter);
        CXString text(u"untouched");
        ASSERT_TRUE(job.GetStringFromParameterList(c.parameter, &text));
        EXPECT_EQ(c.text, text.GetString());
    }
    const struct {
        int parameter;
        std::string bytes;
    } buffers[] = {{3, image}, {-4, ""}, {2, std::string("\0\0", 2)}};
    for (const auto& c : buffers) {
        SCOPED_TRACE(c.parameter);
        ByteBuffer bytes = Bytes("untouched");
        ASSERT_TRUE(job.GetByteBufferFromParameterList(c.parameter, &bytes));
        EXPECT_EQ(Bytes(c.bytes), bytes);
    }
    size_t reads = 0;
    for (const Entry& entry : log.Entries()) {
        EXPECT_EQ(u"filter", entry.user) << entry.call << " ran as another user";
        reads += entry.call == "GetPrinterDataExW";
    }
    EXPECT_GE(reads, 6u) << "every parameter was asked of the spooler";
    CloseHandle(alice);
    CloseHandle(spooler);
}

TEST_F(ClientJobData, WhatCannotBeReadLeavesTheOutputAlone) {
    const ClientJobDataReaderWriter job(printer_.GetHandle(), 7);
    ASSERT_TRUE(job.SetByteBufferInParameterList(1, Bytes("abc")));
    ASSERT_TRUE(job.SetStringInParameterList(2, u"text"));
    BYTE odd[] = {'a', 0, 'b'};
    ASSERT_EQ(ERROR_SUCCESS,
              SetPrinterDataExW(printer_.GetHandle(), u"ClientJobData\\7", u"4", REG_SZ, odd, 3));
    const ClientJobDataReaderWriter otherJob(printer_.GetHandle(), 8);
    const ClientJobDataReaderWriter closed(reinterpret_cast<HANDLE>(0x99), 7);
    const struct {
        const char* what;
        const ClientJobDataReaderWriter& job;
        int parameter;
        DWORD error;
    } cases[] = {
        {"bytes are not a string", job, 1, ERROR_INVALID_DATATYPE},
        {"text of an odd length", job, 4, ERROR_INVALID_DATATYPE},
        {"a missing parameter", job, 3, ERROR_FILE_NOT_FOUND},
        {"another job's parameter", otherJob, 2, ERROR_FILE_NOT_FOUND},
        {"a closed printer", closed, 2, ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CXString text(u"untouched");
        EXPECT_FALSE(c.job.GetStringFromParameterList(c.parameter, &text));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(std::u16string(u"untouched"), text.GetString());
    }
    EXPECT_FALSE(job.GetStringFromParameterList(2, nullptr));
    EXPECT_FALSE(job.GetByteBufferFromParameterList(2, nullptr));
    EXPECT_FALSE(job.SetStringInParameterList(2, nullptr));
    EXPECT_FALSE(closed.SetStringInParameterList(2, u"x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ClientJobData, DeletingAJobTakesAllItsParametersAndNoOthers) {
    const ClientJobDataReaderWriter job(printer_.GetHandle(), 7);
    const ClientJobDataReaderWriter job70(printer_.GetHandle(), 70);
    ASSERT_TRUE(job.SetStringInParameterList(1, u"a"));
    ASSERT_TRUE(job.SetStringInParameterList(2, u"b"));
    ASSERT_TRUE(job70.SetStringInParameterList(1, u"c"));
    EXPECT_TRUE(job.DeleteParameterList());
    CXString text;
    EXPECT_FALSE(job.GetStringFromParameterList(1, &text));
    EXPECT_FALSE(job.GetStringFromParameterList(2, &text));
    EXPECT_TRUE(job70.GetStringFromParameterList(1, &text));
    EXPECT_EQ(std::u16string(u"c"), text.GetString());
    EXPECT_FALSE(job.DeleteParameterList()) << "nothing left to delete";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

} // namespace
