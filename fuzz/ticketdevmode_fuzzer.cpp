// fuzz-links: filterutilities kldutil platform
// fuzz-dict: xml.dict
// Hostile print tickets against the filter's ticket view: the devmode snapshot is decoded from
// the ticket, checked as this driver's devmode, its private block located and its persisted
// attributes decoded, and features are looked up. The first byte of the input chooses what the
// rest is:
//   0: the devmode bytes themselves, embedded as the snapshot of a fixed ticket;
//   1: the text of the snapshot's Value (each byte one character), embedded in a fixed ticket;
//   2: a whole ticket, UTF-8.
// Whatever the input, the view answers or fails cleanly; a snapshot it accepts reads back as
// the same bytes through a second ticket.
#include <filterutilities/printticketxmldocument.h>
#include <filterutilities/xpsfilterprintticketbase.h>

#include <kldutil/keldanexception.h>
#include <kldutil/keldanutilities.h>

#include <atlbase.h>
#include <msxml6.h>
#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

constexpr char kTicketStart[] =
    "<psf:PrintTicket "
    "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework\" "
    "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:ns0000=\"http://schemas.keldan.com/enterprise/print/driver/native/"
    "printSchemaPrivateKeywords/2006/11\" version=\"1\">"
    "<psf:Feature name=\"psk:PageMediaSize\"><psf:Option name=\"psk:ISOA4\"/></psf:Feature>"
    "<psf:ParameterInit name=\"ns0000:PageDevmodeSnapshot\">"
    "<psf:Value xsi:type=\"xsd:string\">";
constexpr char kTicketEnd[] = "</psf:Value></psf:ParameterInit></psf:PrintTicket>";

std::u16string Widen(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        text += static_cast<char16_t>(data[i]);
    }
    return text;
}

// The bytes as XML character data: markup characters escaped, characters XML cannot carry
// replaced by a space.
std::u16string AsCharacterData(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
        const char16_t c = data[i];
        if (c == u'<') {
            text += u"&lt;";
        } else if (c == u'&') {
            text += u"&amp;";
        } else if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') {
            text += u' ';
        } else {
            text += c;
        }
    }
    return text;
}

std::u16string Base64Of(const uint8_t* data, size_t size) {
    const int length = KeldanUtilities::Base64EncodeGetRequiredLength(
        static_cast<int>(size), KeldanUtilities::Base64FlagNoCrLf);
    std::u16string text(static_cast<size_t>(length), u'\0');
    int written = length;
    Require(KeldanUtilities::Base64Encode(data, static_cast<int>(size), text.data(), &written,
                                          KeldanUtilities::Base64FlagNoCrLf) != FALSE);
    text.resize(static_cast<size_t>(written));
    return text;
}

CComPtr<IXMLDOMDocument2> Parse(const std::u16string& xml) {
    CComPtr<IXMLDOMDocument2> dom;
    if (FAILED(::CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IXMLDOMDocument2, reinterpret_cast<void**>(&dom)))) {
        return nullptr;
    }
    CComBSTR text(static_cast<int>(xml.size()), xml.data());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (dom->loadXML(text, &loaded) != S_OK || loaded != VARIANT_TRUE) {
        return nullptr;
    }
    return dom;
}

void Exercise(IXMLDOMDocument2* dom) {
    XpsFilterPrintTicketBase view;
    view.Initialize(kPTPageScope, nullptr, nullptr, nullptr, dom, nullptr, CXString(), nullptr);
    const AttributeBytesIndexedList& list = view.GetAttributeBytesIndexedListRef();
    for (const AttributeBytesIndexedList::Attribute& attribute : list) {
        (void)attribute.GetValue();
    }
    CComBSTR option;
    const HRESULT hr = view.XpsFilterGetFeatureOption(CComBSTR(u"PageMediaSize"), &option);
    Require(hr != S_OK || option);

    // An accepted devmode is written again and reads back unchanged.
    ByteBuffer devmode;
    PrintTicketXmlDocument ticket(dom);
    if (ticket.GetDevmodeFromPrintTicket(devmode) != S_OK) {
        Require(devmode.isEmpty());
        return;
    }
    CComPtr<IXMLDOMDocument2> copy =
        Parse(std::u16string(u"<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/"
                             u"windows/2003/08/printing/printschemaframework\"/>"));
    Require(copy != nullptr);
    PrintTicketXmlDocument second(copy);
    Require(second.AddOrReplacePageDevmodeSnapshotInPrintTicket(
                reinterpret_cast<const DEVMODEW*>(devmode.getLpbyte())) == S_OK);
    ByteBuffer again;
    second.GetPageDevmodeSnapshotFromPrintTicket(again);
    const DEVMODEW* header = reinterpret_cast<const DEVMODEW*>(devmode.getLpbyte());
    const DWORD stored = DWORD{header->dmSize} + header->dmDriverExtra;
    Require(again.getDword() == stored);
    Require(std::equal(again.getLpbyte(), again.getLpbyte() + stored, devmode.getLpbyte()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool initialised = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    Require(initialised);
    if (size == 0 || size > 1 << 20) {
        return 0;
    }
    const uint8_t mode = data[0];
    ++data;
    --size;
    std::u16string xml;
    if (mode == 0) {
        xml = Widen(reinterpret_cast<const uint8_t*>(kTicketStart), sizeof(kTicketStart) - 1) +
              Base64Of(data, size) +
              Widen(reinterpret_cast<const uint8_t*>(kTicketEnd), sizeof(kTicketEnd) - 1);
    } else if (mode == 1) {
        xml = Widen(reinterpret_cast<const uint8_t*>(kTicketStart), sizeof(kTicketStart) - 1) +
              AsCharacterData(data, size) +
              Widen(reinterpret_cast<const uint8_t*>(kTicketEnd), sizeof(kTicketEnd) - 1);
    } else {
        xml = CXString(std::string(reinterpret_cast<const char*>(data), size).c_str()).View();
    }
    CComPtr<IXMLDOMDocument2> dom = Parse(xml);
    if (!dom) {
        return 0;
    }
    try {
        Exercise(dom);
    } catch (const KeldanComException&) {
        // A document that is no print ticket, or one the library refuses: a clean failure.
    } catch (const ATL::CAtlException&) {
    }
    return 0;
}
