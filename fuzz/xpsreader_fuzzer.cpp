// fuzz-links: platform
// The XPS package reader over arbitrary bytes: open, walk every part, read every page,
// ticket and resource, and copy the job through the writer. Any crash, hang or sanitizer
// report is a defect; errors are expected.
#include <atlbase.h>
#include <xpspackage.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void Drain(IPartBase* part) {
    ATL::CComPtr<IPrintReadStream> stream;
    if (!part || FAILED(part->GetStream(&stream))) {
        return;
    }
    char buffer[4096];
    for (int i = 0; i < 4096; ++i) { // a bounded number of reads: the limits bound the bytes
        ULONG read = 0;
        BOOL end = FALSE;
        if (FAILED(stream->ReadBytes(buffer, sizeof buffer, &read, &end)) || end || read == 0) {
            return;
        }
    }
}

template <class Interface>
void DrainTicket(Interface* object) {
    ATL::CComPtr<IPartPrintTicket> ticket;
    if (SUCCEEDED(object->GetPrintTicket(&ticket))) {
        Drain(ticket);
    }
}

void Walk(IXpsDocumentProvider* reader, IXpsDocumentConsumer* writer) {
    for (int parts = 0; parts < 10000; ++parts) {
        ATL::CComPtr<IUnknown> part;
        if (FAILED(reader->GetXpsPart(&part))) {
            return;
        }
        if (!part) {
            writer->CloseSender();
            return;
        }
        ATL::CComPtr<IFixedDocumentSequence> sequence;
        ATL::CComPtr<IFixedDocument> fixedDocument;
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            Drain(page);
            DrainTicket(page.p);
            ATL::CComPtr<IXpsPartIterator> resources;
            if (SUCCEEDED(page->GetXpsPartIterator(&resources))) {
                for (; !resources->IsDone(); resources->Next()) {
                    ATL::CComBSTR uri;
                    ATL::CComPtr<IUnknown> resource;
                    ATL::CComPtr<IPartBase> base;
                    if (SUCCEEDED(resources->Current(&uri, &resource)) &&
                        SUCCEEDED(resource->QueryInterface(&base))) {
                        Drain(base);
                    }
                }
            }
        } else if (SUCCEEDED(part->QueryInterface(&fixedDocument))) {
            DrainTicket(fixedDocument.p);
        } else if (SUCCEEDED(part->QueryInterface(&sequence))) {
            DrainTicket(sequence.p);
        }
        XpsSendPart(writer, part);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char folder[] = "/tmp/xpsfuzz.XXXXXX";
    if (!mkdtemp(folder)) {
        return 0;
    }
    const std::string in = std::string(folder) + "/in.xps";
    const std::string out = std::string(folder) + "/out.xps";
    if (FILE* file = std::fopen(in.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        XpsPackageLimits limits{1 << 22, 1 << 24, 200, 1 << 16, 4, 0};
        ATL::CComPtr<IXpsDocumentProvider> reader;
        ATL::CComPtr<IXpsDocumentConsumer> writer;
        if (SUCCEEDED(XpsOpenPackageReader(in.c_str(), &limits, &reader)) &&
            SUCCEEDED(XpsCreatePackageWriter(out.c_str(), &writer))) {
            Walk(reader, writer);
        }
    }
    std::remove(out.c_str());
    std::remove(in.c_str());
    rmdir(folder);
    return 0;
}
