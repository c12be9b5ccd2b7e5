// XPS packages as part streams. On Windows the pipeline manager opens the spool file; here
// the pipeline host and the tools open it with these functions, which are no part of the
// Windows API. The library itself never calls them.
//
// A reader hands out the parts of one package in order (the XPS document, the sequence, each
// fixed document followed by its pages; resources travel with their page). A writer writes
// each part as it is sent to a temporary file beside the target and renames it to the target
// only when CloseSender succeeds; released without that, it leaves nothing behind.
#pragma once

#include "filterpipeline.h"

// Bounds on what a reader inflates, so that a small hostile package cannot make it write
// gigabytes into memory or onto disk, and how far it reads ahead.
struct XpsPackageLimits {
    ULONGLONG maxPartBytes; // full size of one part
    ULONGLONG maxJobBytes;  // full sizes of all parts read, added up
    ULONG maxRatio;         // full size over stored size, for parts past ratioFloor bytes
    ULONGLONG ratioFloor;
    // The pages whose relationships a thread of the reader's own reads ahead of the walk (0:
    // none, and no such thread), in fixed documents whose markup holds at least
    // readAheadFloor bytes. The thread runs only where the process may use two processors or
    // more. Nothing a caller sees depends on it but the time.
    ULONG readAheadPages;
    ULONGLONG readAheadFloor;
};

// clang-format off
// Diagnostics of a package reader, writer or part read stream, and facts about a part that the
// pipeline interfaces do not carry. Every reader, writer, read stream and part of this
// platform answers the one that fits it.
MIDL_INTERFACE("5B0E7F52-3C1A-4C8E-9E0B-6F2A1D7C4E01") IXpsPackageStatus : public IUnknown {
    // One line telling what went wrong last, and where; empty when nothing did.
    virtual HRESULT STDMETHODCALLTYPE GetLastErrorText(BSTR* text) = 0;
};
PLATFORM_DECLARE_IID(IXpsPackageStatus, 0x5B0E7F52, 0x3C1A, 0x4C8E, 0x9E, 0x0B, 0x6F, 0x2A, 0x1D, 0x7C,
                     0x4E, 0x01);

MIDL_INTERFACE("5B0E7F52-3C1A-4C8E-9E0B-6F2A1D7C4E02") IXpsPartInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetContentType(BSTR* contentType) = 0;
    // Bytes in the package (compressed) and bytes of content; stored is 0 for a part that
    // lives only in memory.
    virtual HRESULT STDMETHODCALLTYPE GetSizes(ULONGLONG* stored, ULONGLONG* full) = 0;
};
PLATFORM_DECLARE_IID(IXpsPartInfo, 0x5B0E7F52, 0x3C1A, 0x4C8E, 0x9E, 0x0B, 0x6F, 0x2A, 0x1D, 0x7C,
                     0x4E, 0x02);
// clang-format on

enum XpsFlavour {
    XpsFlavour_MicrosoftXps = 0,
    XpsFlavour_OpenXps = 1,
};

extern "C" {
// The defaults: 1 GiB a part, 16 GiB a job, 1000:1 past 1 MiB; no pages read ahead, or as many
// as the environment variable FILTERUTILITIES_READ_AHEAD says, in fixed documents of 1 KiB of
// markup or more (about 16 pages).
PLATFORM_EXPORT void WINAPI XpsDefaultPackageLimits(XpsPackageLimits* limits);

// Opens the package at path (a file name in the system's own encoding); limits may be null.
// Damage found later is reported by GetXpsPart when the walk reaches it.
PLATFORM_EXPORT HRESULT WINAPI XpsOpenPackageReader(const char* path,
                                                    const XpsPackageLimits* limits,
                                                    IXpsDocumentProvider** provider);

// One line telling why the last XpsOpenPackageReader or XpsCreatePackageWriter of the calling
// thread failed (empty after a success).
PLATFORM_EXPORT HRESULT WINAPI XpsGetLastOpenErrorText(BSTR* text);

// The flavour of the package a reader reads (valid once it is open).
PLATFORM_EXPORT HRESULT WINAPI XpsGetReaderFlavour(IXpsDocumentProvider* provider,
                                                   XpsFlavour* flavour);

// Sends a part a provider handed out to a consumer by what it is: IFixedPage, IFixedDocument,
// IFixedDocumentSequence, IXpsDocument, or else SendXpsUnknown.
PLATFORM_EXPORT HRESULT WINAPI XpsSendPart(IXpsDocumentConsumer* consumer, IUnknown* part);

// Creates a writer whose output becomes path when CloseSender succeeds.
PLATFORM_EXPORT HRESULT WINAPI XpsCreatePackageWriter(const char* path,
                                                      IXpsDocumentConsumer** consumer);

// Removes the files the writers of the process are making beside their targets and have not
// yet moved into place. Async-signal-safe: a program's handler of SIGINT or SIGTERM calls it
// before the process ends, so that no half-written package is left behind.
PLATFORM_EXPORT void WINAPI XpsRemoveUnfinishedPackageFiles();
}
