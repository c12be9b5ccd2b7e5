// Running out of memory in the document classes: every platform allocation of a constructor or
// an editing operation is failed in turn, and the caller's DOM must be left either as it was
// or as the operation leaves it when nothing fails, with the document object agreeing.
#include "allocationsweep.h"
#include "devmodetestsupport.h"
#include "printschematestsupport.h"

#include <filterutilities/printcapabilitiesxmldocument.h>
#include <filterutilities/printticketxmldocument.h>
#include <filterutilities/xpsfilterprintticketbase.h>

#include <array>
#include <memory>

using namespace printschematest;

namespace {

// As the PrintTicket provider writes a ticket: ns0000 is the framework, the driver's namespace
// is ns0002, with a name below an element that binds ns0002 to another namespace, a QName value
// and an untyped value in the driver's namespace.
const char kProviderTicket[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD")"
    R"( xmlns:ns0002="$PRIV" version="1">)"
    R"(<ns0000:Feature name="ns0002:JobStaple"><ns0000:Option name="ns0002:TopLeft"/></ns0000:Feature>)"
    R"(<ns0000:Feature name="ns0001:PageMediaType"><ns0000:ScoredProperty name="ns0001:OptionName">)"
    R"(<ns0000:Value xsi:type="xsd:QName">ns0002:Glossy</ns0000:Value></ns0000:ScoredProperty>)"
    R"(<ns0000:Option/></ns0000:Feature>)"
    R"(<ns0000:Feature xmlns:ns0002="urn:other" name="ns0002:Theirs"/>)"
    R"(<ns0000:ParameterInit name="ns0002:Note"><ns0000:Value>ns0002:Maybe</ns0000:Value></ns0000:ParameterInit>)"
    R"(</ns0000:PrintTicket>)";

// The same without the driver's namespace.
const char kUndeclaredTicket[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<ns0000:PrintTicket xmlns:ns0000="$FW" xmlns:ns0001="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD")"
    R"( version="1"><ns0000:Feature name="ns0001:PageMediaSize"><ns0000:Option name="ns0001:ISOA4"/>)"
    R"(</ns0000:Feature></ns0000:PrintTicket>)";

// A ticket with something of everything the removals look for.
const char kEditTicket[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<psf:PrintTicket xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD")"
    R"( xmlns:pk="$PRIV" version="1">)"
    R"(<psf:Feature name="psk:Dup"><psf:Option name="psk:A"/></psf:Feature>)"
    R"(<psf:Feature name="psk:Dup"><psf:Option name="psk:B"/></psf:Feature>)"
    R"(<psf:Feature name="pk:Staple"><psf:Feature name="pk:Inner"/><psf:Option name="pk:On"/></psf:Feature>)"
    R"(<psf:Feature name="psk:Size"><psf:Property name="psk:X"/><psf:Option><psf:Property name="psk:X"/>)"
    R"(<psf:ScoredProperty name="psk:Copies"><psf:ParameterRef name="psk:Copies"/></psf:ScoredProperty>)"
    R"(</psf:Option></psf:Feature>)"
    R"(<psf:Property name="psf:Version"><psf:Value xsi:type="xsd:integer">1</psf:Value></psf:Property>)"
    R"(<psf:ParameterInit name="psk:Copies"><psf:Value xsi:type="xsd:integer">2</psf:Value></psf:ParameterInit>)"
    R"(<psf:ParameterInit name="psk:OrphanA"><psf:Value xsi:type="xsd:integer">3</psf:Value></psf:ParameterInit>)"
    R"(<psf:ParameterInit name="pk:OrphanB"><psf:Value xsi:type="xsd:string">x</psf:Value></psf:ParameterInit>)"
    R"(</psf:PrintTicket>)";

const char kCapabilities[] =
    R"(<psf:PrintCapabilities xmlns:psf="$FW" xmlns:psk="$KW" xmlns:xsi="$XSI" xmlns:xsd="$XSD")"
    R"( xmlns:ns0002="$PRIV" version="1"><psf:Feature name="ns0002:Staple">)"
    R"(<psf:Option name="ns0002:On" constrained="psk:None"/></psf:Feature></psf:PrintCapabilities>)";

// A document as the caller handed it in, and the object over it once made.
struct DocumentFixture {
    CComPtr<IXMLDOMDocument2> dom;
    std::unique_ptr<PrintSchemaXmlDocument> document;

    PrintTicketXmlDocument& Ticket() { return static_cast<PrintTicketXmlDocument&>(*document); }
    IXMLDOMElement* Root() {
        root.Release();
        document->GetRootNode()->QueryInterface(&root);
        return root;
    }
    CComPtr<IXMLDOMElement> root;
};

// The operation's HRESULT, a KeldanComException becoming the HRESULT it carries.
HRESULT Reported(const std::function<HRESULT()>& operation) {
    try {
        return operation();
    } catch (const KeldanComException& exception) {
        return exception.GetHresult();
    }
}

HRESULT Void(const std::function<void()>& operation) {
    return Reported([&] {
        operation();
        return S_OK;
    });
}

struct DocumentCase {
    const char* name;
    const char* xml;
    bool capabilities;
    bool constructFirst; // the operation is an edit of a made object, not its construction
    std::function<HRESULT(DocumentFixture&)> operation;
};

std::unique_ptr<PrintSchemaXmlDocument> Make(IXMLDOMDocument2* dom, bool capabilities) {
    if (capabilities) {
        return std::make_unique<PrintCapabilitiesXmlDocument>(dom);
    }
    return std::make_unique<PrintTicketXmlDocument>(dom);
}

std::vector<DocumentCase> DocumentCases() {
    const CComBSTR psk(u"psk:");
    return {
        {"ticket construction renaming the private prefix", kProviderTicket, false, false,
         [](DocumentFixture& f) { return Void([&] { f.document = Make(f.dom, false); }); }},
        {"capabilities construction renaming the private prefix", kCapabilities, true, false,
         [](DocumentFixture& f) { return Void([&] { f.document = Make(f.dom, true); }); }},
        {"ticket construction with nothing to rename", kEditTicket, false, false,
         [](DocumentFixture& f) { return Void([&] { f.document = Make(f.dom, false); }); }},
        {"private feature declares the namespace", kUndeclaredTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 CComPtr<IXMLDOMElement> feature, option;
                 f.Ticket().CreateFeatureOptionPair(true, CComBSTR(u"JobStaple"), false,
                                                    CComBSTR(u"Center"), &feature, &option);
             });
         }},
        {"private property appended", kUndeclaredTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 f.document->AppendChildIntegerProperty(f.Root(), PrintSchema::UserKeywordsNs,
                                                        CComBSTR(u"JobTicketVersion"), 3);
             });
         }},
        {"string property appended", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 f.document->AppendChildStringProperty(f.Root(), PrintSchema::KeywordsNs,
                                                       CComBSTR(u"Label"), CComBSTR(u"text"));
             });
         }},
        {"QName scored property appended", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 f.document->AppendChildQNameScoredProperty(f.Root(), CComBSTR(u"OptionName"),
                                                            CComBSTR(u"Letter"));
             });
         }},
        {"scored property by reference appended", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 f.document->AppendChildParameterRefScoredProperty(
                     f.Root(), CComBSTR(u"psk:"), CComBSTR(u"CopiesPerDocument"), CComBSTR(u"psk:"),
                     CComBSTR(u"JobCopiesAllDocuments"));
             });
         }},
        {"string parameter appended", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Void([&] {
                 f.Ticket().AppendStringParameterInit(CComBSTR(u"pk:"), CComBSTR(u"Tag"),
                                                      CComBSTR(u"value"));
             });
         }},
        {"parameter pair appended to the element named PrintTicket", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Reported([&] {
                 CComPtr<IXMLDOMElement> reference, initialiser;
                 f.Ticket().CreateParamRefInitPair(CComBSTR(u"JobCopies"), 4, &reference,
                                                   &initialiser);
                 return f.Ticket().AppendToElement(CComBSTR(u"PrintTicket"), initialiser);
             });
         }},
        {"feature deleted", kEditTicket, false, true,
         [psk](DocumentFixture& f) {
             return Reported(
                 [&] { return f.document->DeleteFeatureNodeIfExists(psk, CComBSTR(u"Size")); });
         }},
        {"duplicate feature deleted", kEditTicket, false, true,
         [psk](DocumentFixture& f) {
             return Reported([&] {
                 return f.document->DeleteFeatureNodeIfADuplicateExists(psk, CComBSTR(u"Dup"));
             });
         }},
        {"properties deleted at every depth", kEditTicket, false, true,
         [psk](DocumentFixture& f) {
             return Reported(
                 [&] { return f.document->DeletePropertyNodesIfExist(psk, CComBSTR(u"X")); });
         }},
        {"private features deleted, one inside another", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Reported([&] {
                 return f.document->DeletePrivateFeatures(
                     CComBSTR(PrintSchema::UserKeywordsNamespaceUri));
             });
         }},
        {"parameter deleted", kEditTicket, false, true,
         [psk](DocumentFixture& f) {
             return Reported([&] {
                 return f.Ticket().DeleteParameterInitNodeIfExists(psk, CComBSTR(u"Copies"));
             });
         }},
        {"property deleted", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Reported([&] { return f.Ticket().DeleteProperty(CComBSTR(u"Version")); });
         }},
        {"orphaned parameters deleted", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Reported([&] { return f.Ticket().DeleteOrphanedParameterInits(); });
         }},
        {"XML declaration made UTF-8", kEditTicket, false, true,
         [](DocumentFixture& f) {
             return Reported([&] { return f.document->SetProcessingInstructionsEncodingUtf8(); });
         }},
        {"devmode snapshot written into a ticket without the driver's namespace", kUndeclaredTicket,
         false, true,
         [](DocumentFixture& f) {
             ByteBuffer devmode = devmodetest::DriverDevmode({{215, 2}});
             return Reported([&] {
                 return f.Ticket().AddOrReplacePageDevmodeSnapshotInPrintTicket(
                     devmodetest::AsDevmode(devmode));
             });
         }},
        {"job ticket payload written", kUndeclaredTicket, false, true,
         [](DocumentFixture& f) {
             const char text[] = "<job copies='2'/>";
             const ByteBuffer payload(reinterpret_cast<const BYTE*>(text), sizeof(text) - 1);
             return Void([&] { f.Ticket().CreateKeldanKjtfParameterInit(payload); });
         }},
    };
}

class DocumentAllocation : public DomTest {};

TEST_F(DocumentAllocation, EveryFailedAllocationLeavesTheDocumentWholeOrUnchanged) {
    for (const DocumentCase& c : DocumentCases()) {
        SCOPED_TRACE(c.name);
        allocationsweep::Sweep<DocumentFixture> sweep;
        sweep.make = [&] {
            DocumentFixture fixture;
            fixture.dom = LoadBytes(WithNamespaces(c.xml));
            if (c.constructFirst) {
                fixture.document = Make(fixture.dom, c.capabilities);
            }
            return fixture;
        };
        sweep.operation = c.operation;
        sweep.state = [](DocumentFixture& fixture) {
            CComBSTR xml;
            EXPECT_EQ(S_OK, fixture.dom->get_xml(&xml));
            // The object's own idea of the private prefix must match the tree it sees.
            const std::string prefix = fixture.document
                                           ? Utf8(fixture.document->GetUserKeywordsNsPrefix().m_str)
                                           : std::string("no object");
            return std::vector<std::string>{Utf8(xml.m_str) + "\nuser keywords prefix: " + prefix};
        };
        EXPECT_GT(allocationsweep::Run(sweep), 0u);
    }
}

// The view wraps five documents; a fill that runs out of memory keeps the previous one.
TEST_F(DocumentAllocation, AViewThatCannotBeFilledKeepsItsPreviousFill) {
    struct ViewFixture {
        std::array<CComPtr<IXMLDOMDocument2>, 3> doms;
        std::unique_ptr<XpsFilterPrintTicketBase> view;
    };
    allocationsweep::Sweep<ViewFixture> sweep;
    sweep.make = [] {
        ViewFixture fixture;
        fixture.doms[0] = LoadBytes(WithNamespaces(kEditTicket));
        fixture.doms[1] = LoadBytes(WithNamespaces(kProviderTicket));
        fixture.doms[2] = LoadBytes(WithNamespaces(kUndeclaredTicket));
        fixture.view = std::make_unique<XpsFilterPrintTicketBase>();
        fixture.view->Initialize(kPTJobScope, fixture.doms[0], nullptr, nullptr, nullptr, nullptr,
                                 CXString(u"First"), nullptr);
        return fixture;
    };
    sweep.operation = [](ViewFixture& fixture) {
        return Void([&] {
            fixture.view->Initialize(kPTPageScope, fixture.doms[0], fixture.doms[1],
                                     fixture.doms[2], fixture.doms[1], fixture.doms[0],
                                     CXString(u"Second"), nullptr);
        });
    };
    // The view, and each document on its own: a document a wrapper was made for may be left
    // normalised while the fill as a whole fails.
    sweep.state = [](ViewFixture& fixture) {
        std::vector<std::string> parts(1);
        parts[0] = "counter " + std::to_string(fixture.view->GetChangeCounter().Get()) +
                   ", printer " + fixture.view->GetPrinterName().ToUtf8() + ", tickets";
        for (int index = 0; index < XpsFilterPrintTicketBase::kTicketCount; ++index) {
            const auto scope = static_cast<XpsFilterPrintTicketBase::EFilterPtScope>(index);
            parts[0] += fixture.view->GetTicket(scope) ? " yes" : " no";
        }
        for (const CComPtr<IXMLDOMDocument2>& dom : fixture.doms) {
            CComBSTR xml;
            dom->get_xml(&xml);
            parts.push_back(Utf8(xml.m_str));
        }
        return parts;
    };
    EXPECT_GT(allocationsweep::Run(sweep), 0u);
}

} // namespace
