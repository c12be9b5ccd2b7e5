// The XPS print filter pipeline: what a filter sees of a job. A filter reads parts from an
// IXpsDocumentProvider (the XPS document, the sequence, each fixed document followed by its
// pages; a page's resources travel with it) and sends them on to an IXpsDocumentConsumer.
// Interface identifiers and method order are those of the Windows API.
#pragma once

#include "oleauto.h"

enum EXpsCompressionOptions {
    Compression_NotCompressed = 0,
    Compression_Normal = 1,
    Compression_Small = 2,
    Compression_Fast = 3,
};

enum EXpsFontOptions {
    Font_Normal = 0,
    Font_Obfuscate = 1,
};

// A font part's embedding permission, as the font's OS/2 fsType states it.
enum EXpsFontRestriction {
    Xps_Restricted_Font_Installable = 0,
    Xps_Restricted_Font_NoEmbedding = 0x2,
    Xps_Restricted_Font_PreviewPrint = 0x4,
    Xps_Restricted_Font_Editable = 0x8,
};

struct IImgErrorInfo; // only ever passed as null
struct IPrintPipelinePropertyBag;
struct IPrintPipelineManagerControl;
struct IInterFilterCommunicator;

// clang-format reads MIDL_INTERFACE bodies as expressions.
// clang-format off
MIDL_INTERFACE("4DAF1E69-81FD-462D-940F-8CD3DDF56FCA") IInterFilterCommunicator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RequestReader(void** reader) = 0;
    virtual HRESULT STDMETHODCALLTYPE RequestWriter(void** writer) = 0;
};
PLATFORM_DECLARE_IID(IInterFilterCommunicator, 0x4DAF1E69, 0x81FD, 0x462D, 0x94, 0x0F, 0x8C, 0xD3,
                     0xDD, 0xF5, 0x6F, 0xCA);

MIDL_INTERFACE("8B8C99DC-7892-4A95-8A04-57422E9FBB47") IPrintPipelinePropertyBag : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddProperty(const WCHAR* name, const VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(const WCHAR* name, VARIANT* value) = 0;
    virtual BOOL STDMETHODCALLTYPE DeleteProperty(const WCHAR* name) = 0;
};
PLATFORM_DECLARE_IID(IPrintPipelinePropertyBag, 0x8B8C99DC, 0x7892, 0x4A95, 0x8A, 0x04, 0x57, 0x42,
                     0x2E, 0x9F, 0xBB, 0x47);

MIDL_INTERFACE("AA3E4910-5889-4681-91EF-823AD4ED4E44") IPrintPipelineManagerControl : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RequestShutdown(HRESULT reason, IImgErrorInfo* info) = 0;
    virtual HRESULT STDMETHODCALLTYPE FilterFinished() = 0;
};
PLATFORM_DECLARE_IID(IPrintPipelineManagerControl, 0xAA3E4910, 0x5889, 0x4681, 0x91, 0xEF, 0x82,
                     0x3A, 0xD4, 0xED, 0x4E, 0x44);

MIDL_INTERFACE("CDB62FC0-8BED-434E-86FB-A2CAE55F19EA") IPrintPipelineFilter : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE InitializeFilter(IInterFilterCommunicator* communicator,
                                                       IPrintPipelinePropertyBag* propertyBag,
                                                       IPrintPipelineManagerControl* control) = 0;
    virtual HRESULT STDMETHODCALLTYPE ShutdownOperation() = 0;
    virtual HRESULT STDMETHODCALLTYPE StartOperation() = 0;
};
PLATFORM_DECLARE_IID(IPrintPipelineFilter, 0xCDB62FC0, 0x8BED, 0x434E, 0x86, 0xFB, 0xA2, 0xCA, 0xE5,
                     0x5F, 0x19, 0xEA);

MIDL_INTERFACE("4D47A67C-66CC-4430-850E-DAF466FE5BC4") IPrintReadStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read, BOOL* endOfFile) = 0;
};
PLATFORM_DECLARE_IID(IPrintReadStream, 0x4D47A67C, 0x66CC, 0x4430, 0x85, 0x0E, 0xDA, 0xF4, 0x66, 0xFE,
                     0x5B, 0xC4);

MIDL_INTERFACE("ACB971E3-DF8D-4FC2-BEE6-0609D15F3CF9") IPrintReadStreamFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) = 0;
};
PLATFORM_DECLARE_IID(IPrintReadStreamFactory, 0xACB971E3, 0xDF8D, 0x4FC2, 0xBE, 0xE6, 0x06, 0x09,
                     0xD1, 0x5F, 0x3C, 0xF9);

MIDL_INTERFACE("65BB7F1B-371E-4571-8AC7-912F510C1A38") IPrintWriteStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE WriteBytes(const void* buffer, ULONG count, ULONG* written) = 0;
    virtual void STDMETHODCALLTYPE Close() = 0;
};
PLATFORM_DECLARE_IID(IPrintWriteStream, 0x65BB7F1B, 0x371E, 0x4571, 0x8A, 0xC7, 0x91, 0x2F, 0x51,
                     0x0C, 0x1A, 0x38);

MIDL_INTERFACE("36D51E28-369E-43BA-A666-9540C62C3F58") IPartBase : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUri(BSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPartCompression(EXpsCompressionOptions* compression) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPartCompression(EXpsCompressionOptions compression) = 0;
};
PLATFORM_DECLARE_IID(IPartBase, 0x36D51E28, 0x369E, 0x43BA, 0xA6, 0x66, 0x95, 0x40, 0xC6, 0x2C, 0x3F,
                     0x58);

MIDL_INTERFACE("4A0F50F6-F9A2-41F0-99E7-5AE955BE8E9E") IPartPrintTicket : public IPartBase {};
PLATFORM_DECLARE_IID(IPartPrintTicket, 0x4A0F50F6, 0xF9A2, 0x41F0, 0x99, 0xE7, 0x5A, 0xE9, 0x55, 0xBE,
                     0x8E, 0x9E);

MIDL_INTERFACE("16CFCE6D-E744-4FB3-B474-F1D54F024A01") IPartResourceDictionary : public IPartBase {};
PLATFORM_DECLARE_IID(IPartResourceDictionary, 0x16CFCE6D, 0xE744, 0x4FB3, 0xB4, 0x74, 0xF1, 0xD5,
                     0x4F, 0x02, 0x4A, 0x01);

MIDL_INTERFACE("E07FE0AB-1124-43D0-A865-E8FFB6A3EA82") IPartFont : public IPartBase {
    virtual HRESULT STDMETHODCALLTYPE GetFontProperties(BSTR* contentType, EXpsFontOptions* options) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFontContent(const WCHAR* contentType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFontOptions(EXpsFontOptions options) = 0;
};
PLATFORM_DECLARE_IID(IPartFont, 0xE07FE0AB, 0x1124, 0x43D0, 0xA8, 0x65, 0xE8, 0xFF, 0xB6, 0xA3, 0xEA,
                     0x82);

// The font's embedding permission, read-only: a font read from a package named by a
// restricted-font relationship answers Xps_Restricted_Font_PreviewPrint, any other the
// permission its own bytes state.
MIDL_INTERFACE("511E025F-D6CB-43BE-BF65-63FE88515A39") IPartFont2 : public IPartFont {
    virtual HRESULT STDMETHODCALLTYPE GetFontRestriction(EXpsFontRestriction* restriction) = 0;
};
PLATFORM_DECLARE_IID(IPartFont2, 0x511E025F, 0xD6CB, 0x43BE, 0xBF, 0x65, 0x63, 0xFE, 0x88, 0x51, 0x5A,
                     0x39);

MIDL_INTERFACE("725F2E3C-401A-4705-9DE0-FE6F1353B87F") IPartImage : public IPartBase {
    virtual HRESULT STDMETHODCALLTYPE GetImageProperties(BSTR* contentType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetImageContent(const WCHAR* contentType) = 0;
};
PLATFORM_DECLARE_IID(IPartImage, 0x725F2E3C, 0x401A, 0x4705, 0x9D, 0xE0, 0xFE, 0x6F, 0x13, 0x53,
                     0xB8, 0x7F);

MIDL_INTERFACE("027ED1C9-BA39-4CC5-AA55-7EC3A0DE171A") IPartThumbnail : public IPartBase {
    virtual HRESULT STDMETHODCALLTYPE GetThumbnailProperties(BSTR* contentType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetThumbnailContent(const WCHAR* contentType) = 0;
};
PLATFORM_DECLARE_IID(IPartThumbnail, 0x027ED1C9, 0xBA39, 0x4CC5, 0xAA, 0x55, 0x7E, 0xC3, 0xA0, 0xDE,
                     0x17, 0x1A);

MIDL_INTERFACE("0021D3CD-AF6F-42AB-9999-14BC82A62D2E") IXpsPartIterator : public IUnknown {
    virtual void STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Current(BSTR* uri, IUnknown** part) = 0;
    virtual BOOL STDMETHODCALLTYPE IsDone() = 0;
    virtual void STDMETHODCALLTYPE Next() = 0;
};
PLATFORM_DECLARE_IID(IXpsPartIterator, 0x0021D3CD, 0xAF6F, 0x42AB, 0x99, 0x99, 0x14, 0xBC, 0x82,
                     0xA6, 0x2D, 0x2E);

MIDL_INTERFACE("3D9F6448-7E95-4CB5-94FB-0180C2883A57") IFixedPage : public IPartBase {
    virtual HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket** ticket) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPagePart(const WCHAR* uri, IUnknown** part) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetWriteStream(IPrintWriteStream** stream) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket* ticket) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPagePart(IUnknown* part) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteResource(const WCHAR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetXpsPartIterator(IXpsPartIterator** iterator) = 0;
};
PLATFORM_DECLARE_IID(IFixedPage, 0x3D9F6448, 0x7E95, 0x4CB5, 0x94, 0xFB, 0x01, 0x80, 0xC2, 0x88, 0x3A,
                     0x57);

MIDL_INTERFACE("F222CA9F-9968-4DB9-81BD-ABAEBF15F93F") IFixedDocument : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUri(BSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket** ticket) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket* ticket) = 0;
};
PLATFORM_DECLARE_IID(IFixedDocument, 0xF222CA9F, 0x9968, 0x4DB9, 0x81, 0xBD, 0xAB, 0xAE, 0xBF, 0x15,
                     0xF9, 0x3F);

MIDL_INTERFACE("8028D181-2C32-4249-8493-1BFB22045574") IFixedDocumentSequence : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUri(BSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket** ticket) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket* ticket) = 0;
};
PLATFORM_DECLARE_IID(IFixedDocumentSequence, 0x8028D181, 0x2C32, 0x4249, 0x84, 0x93, 0x1B, 0xFB, 0x22,
                     0x04, 0x55, 0x74);

MIDL_INTERFACE("E8D907DB-62A9-4A95-ABE7-E01763DD30F8") IXpsDocument : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetThumbnail(IPartThumbnail** thumbnail) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetThumbnail(IPartThumbnail* thumbnail) = 0;
};
PLATFORM_DECLARE_IID(IXpsDocument, 0xE8D907DB, 0x62A9, 0x4A95, 0xAB, 0x67, 0xE0, 0x17, 0x63, 0xDD,
                     0x30, 0xF8);

MIDL_INTERFACE("B8CF8530-5562-47C4-AB67-B1F69ECF961E") IXpsDocumentProvider : public IUnknown {
    // The next part of the job, or S_OK with a null part when the job is exhausted.
    virtual HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) = 0;
};
PLATFORM_DECLARE_IID(IXpsDocumentProvider, 0xB8CF8530, 0x5562, 0x47C4, 0xAB, 0x67, 0xB1, 0xF6, 0x9E,
                     0xCF, 0x96, 0x1E);

MIDL_INTERFACE("4368D8A2-4181-4A9F-B295-3D9A38BB9BA0") IXpsDocumentConsumer : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* unknown) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* document) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* sequence) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* document) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* page) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseSender() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                                      IPrintWriteStream** stream) = 0;
};
PLATFORM_DECLARE_IID(IXpsDocumentConsumer, 0x4368D8A2, 0x4181, 0x4A9F, 0xB2, 0x95, 0x3D, 0x9A, 0x38,
                     0xBB, 0x9B, 0xA0);
// clang-format on
