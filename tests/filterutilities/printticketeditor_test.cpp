// The part print ticket editor over strict doubles of the writer and the parts (names, the
// map of rewritten tickets, the document handed out, the commit, every failure) and over real
// jobs read and written by the platform's package reader and writer.
#include "comtest.h"
#include "devmodetestsupport.h"
#include "filtertestdoubles.h"
#include "pipelinetestdoubles.h"
#include "printschematestsupport.h"
#include "scratchfolder.h"
#include "sharedticketjob.h"
#include "xpsjobtestsupport.h"

#include <filterutilities/printticketeditor.h>

#include <handleapi.h>
#include <platformsecurity.h>
#include <platformtest.h>
#include <xpspackage.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace printschematest;
using devmodetest::FeatureXml;
using devmodetest::TicketXml;
using pipelinetest::Double;
using pipelinetest::Make;

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr char16_t kPrinter[] = u"FilterUtilities XPS Printer";

HRESULT Unexpected(const char* what) {
    ADD_FAILURE() << "unexpected call: " << what;
    return E_UNEXPECTED;
}

// The write stream of a new part: keeps the bytes and the size of every write; can fail the
// n-th write, or take at most a few bytes a call.
class CapturingStream : public Double<IPrintWriteStream> {
public:
    STDMETHODIMP WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        EXPECT_FALSE(closed) << "written after Close";
        if (++calls == failAt) {
            return E_FAIL;
        }
        const ULONG taken = takeAtMost ? std::min(count, takeAtMost) : count;
        bytes.append(static_cast<const char*>(buffer), taken);
        writes.push_back(taken);
        *written = taken;
        return S_OK;
    }
    STDMETHODIMP_(void) Close() override {
        EXPECT_FALSE(closed) << "closed twice";
        closed = true;
    }

    std::string bytes;
    std::vector<ULONG> writes;
    bool closed = false;
    int calls = 0;
    int failAt = 0;
    ULONG takeAtMost = 0;
};

// A ticket part the writer made: its URI, nothing else.
class NewTicket : public Double<IPartPrintTicket, IPartBase> {
public:
    explicit NewTicket(std::u16string uri) : m_uri(std::move(uri)) {}
    STDMETHODIMP GetUri(BSTR* uri) override {
        *uri = ::SysAllocString(m_uri.c_str());
        return *uri ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetStream(IPrintReadStream**) override { return Unexpected("GetStream"); }
    STDMETHODIMP GetPartCompression(EXpsCompressionOptions*) override {
        return Unexpected("GetPartCompression");
    }
    STDMETHODIMP SetPartCompression(EXpsCompressionOptions) override {
        return Unexpected("SetPartCompression");
    }

private:
    std::u16string m_uri;
};

// A writer that only makes new parts, recording each name and stream, or fails as told.
class RecordingWriter : public Double<IXpsDocumentConsumer> {
public:
    STDMETHODIMP SendXpsUnknown(IUnknown*) override { return Unexpected("SendXpsUnknown"); }
    STDMETHODIMP SendXpsDocument(IXpsDocument*) override { return Unexpected("SendXpsDocument"); }
    STDMETHODIMP SendFixedDocumentSequence(IFixedDocumentSequence*) override {
        return Unexpected("SendFixedDocumentSequence");
    }
    STDMETHODIMP SendFixedDocument(IFixedDocument*) override {
        return Unexpected("SendFixedDocument");
    }
    STDMETHODIMP SendFixedPage(IFixedPage*) override { return Unexpected("SendFixedPage"); }
    STDMETHODIMP CloseSender() override { return Unexpected("CloseSender"); }
    STDMETHODIMP GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                 IPrintWriteStream** stream) override {
        EXPECT_TRUE(IsEqualIID(iid, IID_IPartPrintTicket));
        names.push_back(uri);
        if (FAILED(failure)) {
            return failure;
        }
        CComPtr<NewTicket> ticket = Make<NewTicket>(uri);
        CComPtr<CapturingStream> made = Make<CapturingStream>();
        made->failAt = failWriteAt;
        streams.push_back(made);
        tickets.push_back(CComPtr<IPartPrintTicket>(ticket));
        *part = static_cast<IPartPrintTicket*>(ticket.Detach());
        *stream = made.Detach();
        return S_OK;
    }

    std::vector<std::u16string> names;
    std::vector<CComPtr<CapturingStream>> streams;
    std::vector<CComPtr<IPartPrintTicket>> tickets;
    HRESULT failure = S_OK;
    int failWriteAt = 0;
};

// A sequence, fixed document or page whose ticket the test gives, recording what is attached.
template <class Interface, class... Bases>
class EditedPart : public Double<Interface, Bases...> {
public:
    EditedPart(HRESULT answer, IPartPrintTicket* ticket) : m_answer(answer), m_ticket(ticket) {}

    STDMETHODIMP GetPrintTicket(IPartPrintTicket** ticket) override {
        *ticket = nullptr;
        if (SUCCEEDED(m_answer)) {
            m_ticket.CopyTo(ticket);
        }
        return m_answer;
    }
    STDMETHODIMP SetPrintTicket(IPartPrintTicket* ticket) override {
        attached.push_back(ticket);
        return attachFailure;
    }

    std::vector<CComPtr<IPartPrintTicket>> attached;
    HRESULT attachFailure = S_OK;

protected:
    HRESULT m_answer;
    CComPtr<IPartPrintTicket> m_ticket;
};

template <class Interface>
class EditedStructure : public EditedPart<Interface> {
public:
    using EditedPart<Interface>::EditedPart;
    STDMETHODIMP GetUri(BSTR*) override { return Unexpected("GetUri"); }
};
using EditedSequence = EditedStructure<IFixedDocumentSequence>;
using EditedDocument = EditedStructure<IFixedDocument>;

class EditedPage : public EditedPart<IFixedPage, IPartBase> {
public:
    using EditedPart::EditedPart;
    STDMETHODIMP GetUri(BSTR*) override { return Unexpected("GetUri"); }
    STDMETHODIMP GetStream(IPrintReadStream**) override { return Unexpected("GetStream"); }
    STDMETHODIMP GetPartCompression(EXpsCompressionOptions*) override {
        return Unexpected("GetPartCompression");
    }
    STDMETHODIMP SetPartCompression(EXpsCompressionOptions) override {
        return Unexpected("SetPartCompression");
    }
    STDMETHODIMP GetPagePart(const WCHAR*, IUnknown**) override {
        return Unexpected("GetPagePart");
    }
    STDMETHODIMP GetWriteStream(IPrintWriteStream**) override {
        return Unexpected("GetWriteStream");
    }
    STDMETHODIMP SetPagePart(IUnknown*) override { return Unexpected("SetPagePart"); }
    STDMETHODIMP DeleteResource(const WCHAR*) override { return Unexpected("DeleteResource"); }
    STDMETHODIMP GetXpsPartIterator(IXpsPartIterator**) override {
        return Unexpected("GetXpsPartIterator");
    }
};

CComPtr<pipelinetest::PartTicket>
Ticket(const std::u16string& uri,
       const std::string& bytes = TicketXml(FeatureXml("PageOrientation", "Portrait"))) {
    return Make<pipelinetest::PartTicket>(uri, bytes);
}

CComPtr<IPartPrintTicket> AsTicket(const CComPtr<pipelinetest::PartTicket>& ticket) {
    return CComPtr<IPartPrintTicket>(ticket.p);
}

template <class Part>
CComPtr<Part> WithTicket(IPartPrintTicket* ticket) {
    return Make<Part>(ticket ? S_OK : kNotFound, ticket);
}

std::string Xml(PrintTicketXmlDocument* ticket) {
    CComBSTR xml;
    EXPECT_EQ(S_OK, ticket->get_xml(&xml));
    return Utf8(xml);
}

// The names of the root's children, in order.
std::vector<std::string> FeatureNames(const std::string& xml) {
    CComPtr<IXMLDOMDocument2> dom = LoadBytes(xml);
    CComPtr<IXMLDOMElement> root;
    EXPECT_EQ(S_OK, dom->get_documentElement(&root));
    std::vector<std::string> names;
    CComPtr<IXMLDOMNode> child;
    for (root->get_firstChild(&child); child;) {
        CComPtr<IXMLDOMElement> element;
        if (SUCCEEDED(child.QueryInterface(&element))) {
            VARIANT name;
            ::VariantInit(&name);
            element->getAttribute(CComBSTR(u"name"), &name);
            names.push_back(name.vt == VT_BSTR ? Utf8(name.bstrVal) : "");
            ::VariantClear(&name);
        }
        CComPtr<IXMLDOMNode> next;
        child->get_nextSibling(&next);
        child = next;
    }
    return names;
}

class PrintTicketEditorTest : public DomTest {
protected:
    void SetUp() override {
        DomTest::SetUp();
        m_token = platformtest::CreateTestUserToken(u"editoruser", m_scratch.Path().string());
        CComPtr<pipelinetest::MemoryReadStream> stream =
            Make<pipelinetest::MemoryReadStream>(DefaultTicket());
        ASSERT_EQ(S_OK, m_manager.Initialise(stream, CComBSTR(kPrinter), m_token));
    }
    void TearDown() override {
        ::CloseHandle(m_token);
        DomTest::TearDown();
    }

    static std::string DefaultTicket() {
        return TicketXml(FeatureXml("PageMediaSize", "ISOA4") +
                         FeatureXml("PageOrientation", "Portrait"));
    }

    ScratchFolder m_scratch{"printticketeditor"};
    HANDLE m_token = nullptr;
    PrintTicketManager m_manager;
    CComPtr<RecordingWriter> m_writer = Make<RecordingWriter>();
};

// --- Names ---

struct NameCase {
    EPrintTicketScope scope;
    const char16_t* ticket;
    bool unique;
    UINT number;
    const char16_t* expected;
    // The name the new part is made under: the derived one, unless that is the old ticket's
    // own (a part still to come may carry the old ticket); null for the unique names.
    const char16_t* made;
};

class PrintTicketEditorNames : public PrintTicketEditorTest,
                               public testing::WithParamInterface<NameCase> {};

TEST_P(PrintTicketEditorNames, DerivesTheNameFromTheOldTicket) {
    const NameCase& c = GetParam();
    platformtest::FixedTickCount ticks(0x1A2B);
    CComPtr<IPartPrintTicket> ticket(Ticket(c.ticket).p);
    std::unique_ptr<PrintTicketEditor> editor;
    switch (c.scope) {
    case kPTJobScope:
        editor = std::make_unique<PrintTicketEditor>(m_writer, WithTicket<EditedSequence>(ticket),
                                                     m_manager);
        break;
    case kPTDocumentScope:
        editor = std::make_unique<PrintTicketEditor>(m_writer, WithTicket<EditedDocument>(ticket),
                                                     c.number, m_manager);
        break;
    case kPTPageScope:
        editor = std::make_unique<PrintTicketEditor>(m_writer, WithTicket<EditedPage>(ticket),
                                                     c.number, m_manager);
        break;
    }
    CXString uri(u"left over");
    EXPECT_EQ(S_OK, editor->GetUriWithScopeSuffixAdded(ticket, uri, c.unique));
    EXPECT_EQ(Utf8(c.expected), Utf8(uri.GetString()));
    if (c.made) {
        PrintTicketXmlDocument* document = nullptr;
        ASSERT_EQ(S_OK, editor->TryToGetPointerToPrintTicketXmlDocument(&document));
        ASSERT_EQ(1u, m_writer->names.size());
        EXPECT_EQ(Utf8(c.made), Utf8(m_writer->names[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PrintTicketEditorNames,
    testing::Values(
        NameCase{kPTPageScope, u"/Documents/1/Metadata/Page1_PT.xml", false, 1,
                 u"/Documents/1/Metadata/Page1_PT_p.xml", u"/Documents/1/Metadata/Page1_PT_p.xml"},
        NameCase{kPTDocumentScope, u"/Documents/1/Metadata/Page1_PT.xml", false, 1,
                 u"/Documents/1/Metadata/Page1_PT_d.xml", u"/Documents/1/Metadata/Page1_PT_d.xml"},
        NameCase{kPTJobScope, u"/Metadata/Job_PT.xml", false, 0, u"/Metadata/Job_PT.xml",
                 u"/Metadata/Job_PT_2.xml"},
        NameCase{kPTJobScope, u"/Metadata/Doc1_PT_d.xml", false, 0, u"/Metadata/Doc1_PT_d_j.xml",
                 u"/Metadata/Doc1_PT_d_j.xml"},
        NameCase{kPTJobScope, u"/Metadata/Page1_PT_p.xml", false, 0, u"/Metadata/Page1_PT_p_j.xml",
                 u"/Metadata/Page1_PT_p_j.xml"},
        NameCase{kPTPageScope, u"/Documents/1/Metadata/PT", false, 1, u"/Documents/1/Metadata/PT_p",
                 u"/Documents/1/Metadata/PT_p"},
        NameCase{kPTPageScope, u"/Documents/1.0/Metadata/PT", false, 1,
                 u"/Documents/1.0/Metadata/PT_p", u"/Documents/1.0/Metadata/PT_p"},
        NameCase{kPTPageScope, u"/Metadata/a.b.xml", false, 1, u"/Metadata/a.b_p.xml",
                 u"/Metadata/a.b_p.xml"},
        NameCase{kPTPageScope, u"/Documents/1/Metadata/Page1_PT_p.xml", false, 1,
                 u"/Documents/1/Metadata/Page1_PT_p.xml",
                 u"/Documents/1/Metadata/Page1_PT_p_2.xml"},
        NameCase{kPTDocumentScope, u"/Documents/1/Metadata/Doc_PT_d.xml", false, 1,
                 u"/Documents/1/Metadata/Doc_PT_d.xml", u"/Documents/1/Metadata/Doc_PT_d_2.xml"},
        NameCase{kPTDocumentScope, u"/Documents/1.0/Metadata/PT_d", false, 1,
                 u"/Documents/1.0/Metadata/PT_d", u"/Documents/1.0/Metadata/PT_d_2"},
        NameCase{kPTPageScope, u"/Documents/1/Metadata/Page1_PT.xml", true, 3,
                 u"/Documents/1/Metadata/Page1_PT_p_3_1a2b.xml", nullptr},
        NameCase{kPTPageScope, u"/Documents/1/Metadata/Page1_PT_p.xml", true, 3,
                 u"/Documents/1/Metadata/Page1_PT_p_3_1a2b.xml", nullptr},
        NameCase{kPTDocumentScope, u"/Documents/2/Metadata/Document_PT.xml", true, 2,
                 u"/Documents/2/Metadata/Document_PT_d_2_1a2b.xml", nullptr},
        NameCase{kPTJobScope, u"/Metadata/Job_PT.xml", true, 0, u"/Metadata/Job_PT_6699.xml",
                 nullptr}));

TEST_F(PrintTicketEditorTest, NameFailuresLeaveTheUriEmpty) {
    CComPtr<pipelinetest::PartTicket> ticket = Ticket(u"/T.xml");
    PrintTicketEditor editor(m_writer, WithTicket<EditedPage>(ticket), 1, m_manager);
    ticket->uriFailure = E_ACCESSDENIED;
    CXString uri(u"left over");
    EXPECT_EQ(E_ACCESSDENIED, editor.GetUriWithScopeSuffixAdded(ticket, uri, true));
    EXPECT_EQ(0, uri.GetLength());
    uri = u"left over";
    EXPECT_EQ(E_POINTER, editor.GetUriWithScopeSuffixAdded(nullptr, uri, false));
    EXPECT_EQ(0, uri.GetLength());
}

// --- Editing a part's ticket ---

TEST_F(PrintTicketEditorTest, ACommittedTicketIsWrittenAttachedAndRecorded) {
    CComPtr<IPartPrintTicket> old = AsTicket(Ticket(
        u"/Documents/1/Metadata/Page1_PT.xml",
        TicketXml(FeatureXml("PageMediaSize", "ISOA4") + FeatureXml("PageOrientation", "Portrait"),
                  "http://example.com/another-driver")));
    CComPtr<EditedPage> page = WithTicket<EditedPage>(old);
    {
        PrintTicketEditor editor(m_writer, page, 1, m_manager);
        ASSERT_TRUE(editor.DoesPartHaveExistingPrintTicket());
        EXPECT_FALSE(editor.HasPrintTicketAlreadyBeenUpdatedForThisUri());
        PrintTicketXmlDocument* ticket = nullptr;
        ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
        PrintTicketXmlDocument* again = nullptr;
        EXPECT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&again));
        EXPECT_EQ(ticket, again);
        EXPECT_EQ(1u, m_writer->names.size());
        // The driver's namespace is declared as pk beside the other driver's (ns0000).
        EXPECT_EQ("pk:", Utf8(ticket->GetUserKeywordsNsPrefix().m_str));
        EXPECT_NE(std::string::npos, Xml(ticket).find(Utf8(PrintSchema::UserKeywordsNamespaceUri)));
        EXPECT_NE(std::string::npos, Xml(ticket).find("http://example.com/another-driver"));

        ASSERT_EQ(S_OK,
                  ticket->DeleteFeatureNodeIfExists(CComBSTR(u"psk:"), CComBSTR(u"PageMediaSize")));
        const std::string edited = Xml(ticket);
        EXPECT_TRUE(page->attached.empty()) << "attached before the commit";
        ASSERT_EQ(S_OK, editor.CommitChanges());

        CapturingStream& written = *m_writer->streams[0];
        EXPECT_TRUE(written.closed);
        EXPECT_EQ(std::vector<std::string>{"psk:PageOrientation"}, FeatureNames(written.bytes));
        EXPECT_EQ(FeatureNames(edited), FeatureNames(written.bytes));
        ASSERT_EQ(1u, page->attached.size());
        EXPECT_EQ(m_writer->tickets[0].p, page->attached[0].p);
        IPartPrintTicket* recorded = nullptr;
        EXPECT_EQ(S_OK, m_manager.GetUpdatedPrintTicketFromMap(
                            CXString(u"/Documents/1/Metadata/Page1_PT_p.xml"), &recorded));
        EXPECT_EQ(m_writer->tickets[0].p, recorded);

        // A second commit writes nothing more and attaches the same part again.
        EXPECT_EQ(S_OK, editor.CommitChanges());
        EXPECT_EQ(2u, page->attached.size());
        EXPECT_EQ(m_writer->tickets[0].p, page->attached[1].p);
    }
    page->attached.clear();
    EXPECT_REF(page.p, 1);
    EXPECT_REF(old.p, 2); // the test's and the page's
    EXPECT_REF(m_writer.p, 1);
}

TEST_F(PrintTicketEditorTest, PartsSharingATicketShareTheRewrittenOne) {
    CComPtr<IPartPrintTicket> shared(Ticket(u"/Documents/1/Metadata/Page1_PT.xml").p);
    CComPtr<EditedPage> first = WithTicket<EditedPage>(shared);
    CComPtr<EditedPage> second = WithTicket<EditedPage>(shared);
    {
        PrintTicketEditor editor(m_writer, first, 1, m_manager);
        PrintTicketXmlDocument* ticket = nullptr;
        ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
        ASSERT_EQ(S_OK, editor.CommitChanges());
    }
    PrintTicketEditor editor(m_writer, second, 2, m_manager);
    EXPECT_TRUE(editor.HasPrintTicketAlreadyBeenUpdatedForThisUri());
    PrintTicketXmlDocument* untouched = reinterpret_cast<PrintTicketXmlDocument*>(0x1);
    EXPECT_EQ(S_FALSE, editor.TryToGetPointerToPrintTicketXmlDocument(&untouched));
    EXPECT_EQ(reinterpret_cast<PrintTicketXmlDocument*>(0x1), untouched);
    EXPECT_EQ(S_OK, editor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap());
    ASSERT_EQ(1u, second->attached.size());
    EXPECT_EQ(first->attached[0].p, second->attached[0].p);
    EXPECT_EQ(1u, m_writer->names.size()) << "one rewritten part for both pages";

    // A document sharing the same ticket is another scope: it gets its own rewrite.
    CComPtr<EditedDocument> document = WithTicket<EditedDocument>(shared);
    PrintTicketEditor documentEditor(m_writer, document, 1, m_manager);
    EXPECT_FALSE(documentEditor.HasPrintTicketAlreadyBeenUpdatedForThisUri());
    EXPECT_EQ(S_FALSE, documentEditor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap());
    EXPECT_TRUE(document->attached.empty());
}

TEST_F(PrintTicketEditorTest, AJobTicketRewrittenBeforeIsAttachedToTheSequence) {
    CComPtr<IPartPrintTicket> job(Ticket(u"/Metadata/Job_PT.xml").p);
    {
        PrintTicketEditor editor(m_writer, WithTicket<EditedSequence>(job), m_manager);
        PrintTicketXmlDocument* ticket = nullptr;
        ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
        ASSERT_EQ(S_OK, editor.CommitChanges());
    }
    CComPtr<EditedSequence> again = WithTicket<EditedSequence>(job);
    PrintTicketEditor editor(m_writer, again, m_manager);
    EXPECT_EQ(S_OK, editor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap());
    ASSERT_EQ(1u, again->attached.size());
    EXPECT_EQ(m_writer->tickets[0].p, again->attached[0].p);
}

// Old tickets whose derived names meet, and names held by tickets the manager was handed,
// give new parts of their own; parts sharing an old ticket (its name in any case) share its
// rewrite. Each step: a page with the old ticket, and the name its ticket is made under, or
// null when the page gets the rewrite made before for that ticket.
TEST_F(PrintTicketEditorTest, NamesHeldInTheJobAreNeverTakenAgain) {
    // The sequence passed on with a ticket named as a page's rewrite would be.
    CComPtr<EditedSequence> sequence = WithTicket<EditedSequence>(Ticket(u"/M/P_p.xml"));
    ASSERT_EQ(S_OK, m_manager.InitializeWithPrintTicket(sequence));
    struct Step {
        const char16_t* old;
        const char16_t* made;
        size_t sharesWith; // the step whose rewrite the page gets, when made is null
    };
    const Step steps[] = {
        {u"/M/P.xml", u"/M/P_p_2.xml", 0},   {u"/M/T.xml", u"/M/T_p.xml", 0},
        {u"/M/T_p.xml", u"/M/T_p_2.xml", 0}, {u"/M/t_P.XML", nullptr, 2},
        {u"/M/T.xml", nullptr, 1},
    };
    std::vector<IPartPrintTicket*> attached;
    for (const Step& step : steps) {
        SCOPED_TRACE(Utf8(step.old));
        CComPtr<EditedPage> page = WithTicket<EditedPage>(Ticket(step.old));
        PrintTicketEditor editor(m_writer, page, 1, m_manager);
        PrintTicketXmlDocument* ticket = nullptr;
        const size_t made = m_writer->names.size();
        if (step.made) {
            ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
            ASSERT_EQ(S_OK, editor.CommitChanges());
            ASSERT_EQ(made + 1, m_writer->names.size());
            EXPECT_EQ(Utf8(step.made), Utf8(m_writer->names.back()));
        } else {
            ASSERT_EQ(S_FALSE, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
            ASSERT_EQ(S_OK, editor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap());
            EXPECT_EQ(made, m_writer->names.size());
        }
        ASSERT_EQ(1u, page->attached.size());
        attached.push_back(page->attached[0]);
        if (!step.made) {
            EXPECT_EQ(attached[step.sharesWith], attached.back());
        }
    }
}

// --- New empty tickets ---

struct EmptyCase {
    EPrintTicketScope scope;
    UINT number;
    const char* expected;
};

class PrintTicketEditorEmpty : public PrintTicketEditorTest,
                               public testing::WithParamInterface<EmptyCase> {
protected:
    // An editor of the case's scope over a part without ticket, and the part's attachments.
    std::unique_ptr<PrintTicketEditor> Editor(std::vector<CComPtr<IPartPrintTicket>>** attached) {
        const EmptyCase& c = GetParam();
        switch (c.scope) {
        case kPTJobScope: {
            CComPtr<EditedSequence> part = WithTicket<EditedSequence>(nullptr);
            m_parts.push_back(CComPtr<IUnknown>(part.p));
            *attached = &part->attached;
            return std::make_unique<PrintTicketEditor>(m_writer, part, m_manager);
        }
        case kPTDocumentScope: {
            CComPtr<EditedDocument> part = WithTicket<EditedDocument>(nullptr);
            m_parts.push_back(CComPtr<IUnknown>(part.p));
            *attached = &part->attached;
            return std::make_unique<PrintTicketEditor>(m_writer, part, c.number, m_manager);
        }
        case kPTPageScope:
            break;
        }
        CComPtr<EditedPage> part = WithTicket<EditedPage>(nullptr);
        m_parts.push_back(CComPtr<IUnknown>(part.p));
        *attached = &part->attached;
        return std::make_unique<PrintTicketEditor>(m_writer, part, c.number, m_manager);
    }
    std::vector<CComPtr<IUnknown>> m_parts;
};

TEST_P(PrintTicketEditorEmpty, ANewTicketIsTheDefaultsRootAndANameOfItsOwn) {
    const EmptyCase& c = GetParam();
    platformtest::FixedTickCount ticks(1234);
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::vector<CComPtr<IPartPrintTicket>>* attached = nullptr;
        auto editor = Editor(&attached);
        ASSERT_FALSE(editor->DoesPartHaveExistingPrintTicket());
        EXPECT_EQ(S_FALSE, editor->TryToGetPointerToPrintTicketXmlDocument(nullptr));
        PrintTicketXmlDocument* ticket = nullptr;
        ASSERT_EQ(S_OK, editor->GetPointerToNewEmptyPrintTicketXmlDocument(&ticket));
        const std::string xml = Xml(ticket);
        EXPECT_TRUE(FeatureNames(xml).empty()) << xml;
        EXPECT_NE(std::string::npos, xml.find("xmlns:psk=")) << xml;
        EXPECT_NE(std::string::npos, xml.find("xmlns:xsi=")) << xml;
        ASSERT_EQ(S_OK, editor->CommitChanges());
        ASSERT_EQ(1u, attached->size());
        names.push_back(Utf8(m_writer->names.back()));
    }
    // The same number at the same tick count (a filter counting pages per document, two pages
    // in one millisecond) still gives three names.
    const std::string expected = c.expected;
    EXPECT_EQ(
        (std::vector<std::string>{expected + ".xml", expected + "_2.xml", expected + "_3.xml"}),
        names);
}

INSTANTIATE_TEST_SUITE_P(Table, PrintTicketEditorEmpty,
                         testing::Values(EmptyCase{kPTPageScope, 4, "/METADATA/Page_4_PT_1234"},
                                         EmptyCase{kPTDocumentScope, 2, "/METADATA/Doc_2_PT_1234"},
                                         EmptyCase{kPTJobScope, 0, "/METADATA/Job_PT_1234"}));

TEST_F(PrintTicketEditorTest, ALargeTicketIsCommittedInBlocks) {
    std::string body;
    for (int i = 0; body.size() < 30000; ++i) {
        body += FeatureXml("Feature" + std::to_string(i), "Option" + std::to_string(i));
    }
    CComPtr<EditedPage> page = WithTicket<EditedPage>(Ticket(u"/Big_PT.xml", TicketXml(body)));
    PrintTicketEditor editor(m_writer, page, 1, m_manager);
    PrintTicketXmlDocument* ticket = nullptr;
    ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
    const std::vector<std::string> features = FeatureNames(Xml(ticket));
    m_writer->streams[0]->takeAtMost = 5000; // a stream that takes part of each block
    ASSERT_EQ(S_OK, editor.CommitChanges());
    const CapturingStream& written = *m_writer->streams[0];
    EXPECT_EQ(features, FeatureNames(written.bytes));
    ASSERT_GT(written.bytes.size(), 3u * 8192);
    // Every block of 8192 bytes goes as 5000 + 3192; the last block is shorter.
    for (size_t i = 0; i + 2 < written.writes.size(); i += 2) {
        EXPECT_EQ(5000u, written.writes[i]);
        EXPECT_EQ(3192u, written.writes[i + 1]);
    }
    EXPECT_LT(written.bytes.size() % 8192, 8192u);
}

// --- Failures ---

TEST_F(PrintTicketEditorTest, WithoutWriterOrOutNothingIsMade) {
    PrintTicketEditor withTicket(nullptr, WithTicket<EditedPage>(Ticket(u"/T.xml")), 1, m_manager);
    PrintTicketXmlDocument* ticket = nullptr;
    EXPECT_EQ(E_PENDING, withTicket.TryToGetPointerToPrintTicketXmlDocument(&ticket));
    EXPECT_EQ(E_FAIL, withTicket.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket));
    EXPECT_EQ(E_FAIL, withTicket.CommitChanges());
    PrintTicketEditor without(nullptr, WithTicket<EditedPage>(nullptr), 1, m_manager);
    EXPECT_EQ(E_PENDING, without.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket));

    PrintTicketEditor editor(m_writer, WithTicket<EditedPage>(Ticket(u"/T.xml")), 1, m_manager);
    EXPECT_EQ(E_POINTER, editor.TryToGetPointerToPrintTicketXmlDocument(nullptr));
    PrintTicketEditor empty(m_writer, WithTicket<EditedPage>(nullptr), 1, m_manager);
    EXPECT_EQ(E_POINTER, empty.GetPointerToNewEmptyPrintTicketXmlDocument(nullptr));
    EXPECT_TRUE(m_writer->names.empty());
    EXPECT_EQ(nullptr, ticket);

    // Before the manager has the user's default ticket there is nothing to start from.
    PrintTicketManager uninitialised;
    PrintTicketEditor early(m_writer, WithTicket<EditedPage>(nullptr), 1, uninitialised);
    EXPECT_EQ(E_PENDING, early.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket));
    EXPECT_TRUE(m_writer->names.empty());
}

TEST_F(PrintTicketEditorTest, AFailureOnTheWayAttachesNothing) {
    struct Case {
        const char* name;
        std::string ticket; // empty: the part has none
        HRESULT newPart;
        HRESULT stream;
        int failWriteAt;
        HRESULT expectedGet;
        HRESULT expectedCommit;
    };
    const std::string good = TicketXml(FeatureXml("PageOrientation", "Portrait"));
    const Case cases[] = {
        {"GetNewEmptyPart fails", good, E_ACCESSDENIED, S_OK, 0, E_ACCESSDENIED, E_FAIL},
        {"GetNewEmptyPart fails, no ticket", "", E_OUTOFMEMORY, S_OK, 0, E_OUTOFMEMORY, E_FAIL},
        {"GetStream fails", good, S_OK, STG_E_ACCESSDENIED, 0, STG_E_ACCESSDENIED, E_FAIL},
        {"not XML", "<psf:PrintTicket", S_OK, S_OK, 0, E_FAIL, E_FAIL},
        {"no print ticket", "<x/>", S_OK, S_OK, 0, E_FAIL, E_FAIL},
        {"the first write fails", good, S_OK, S_OK, 1, S_OK, E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<RecordingWriter> writer = Make<RecordingWriter>();
        writer->failure = c.newPart;
        writer->failWriteAt = c.failWriteAt;
        CComPtr<pipelinetest::PartTicket> old;
        if (!c.ticket.empty()) {
            old = Ticket(u"/T.xml", c.ticket);
            old->streamFailure = c.stream;
        }
        CComPtr<EditedPage> page = WithTicket<EditedPage>(old);
        PrintTicketManager manager;
        CComPtr<pipelinetest::MemoryReadStream> defaults =
            Make<pipelinetest::MemoryReadStream>(DefaultTicket());
        ASSERT_EQ(S_OK, manager.Initialise(defaults, CComBSTR(kPrinter), m_token));
        PrintTicketEditor editor(writer, page, 1, manager);
        PrintTicketXmlDocument* ticket = nullptr;
        EXPECT_EQ(c.expectedGet, old ? editor.TryToGetPointerToPrintTicketXmlDocument(&ticket)
                                     : editor.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket));
        EXPECT_EQ(SUCCEEDED(c.expectedGet), ticket != nullptr);
        EXPECT_EQ(c.expectedCommit, editor.CommitChanges());
        EXPECT_TRUE(page->attached.empty());
        IPartPrintTicket* recorded = nullptr;
        EXPECT_EQ(S_FALSE, manager.GetUpdatedPrintTicketFromMap(CXString(u"/T_p.xml"), &recorded));
        for (const auto& stream : writer->streams) {
            EXPECT_TRUE(stream->closed) << "a new part left open";
        }
        EXPECT_EQ(E_FAIL, editor.CommitChanges()) << "a second commit attaches nothing either";
    }
}

TEST_F(PrintTicketEditorTest, AttachingFailsButTheTicketIsRecorded) {
    CComPtr<EditedPage> page = WithTicket<EditedPage>(Ticket(u"/T.xml"));
    page->attachFailure = E_ACCESSDENIED;
    PrintTicketEditor editor(m_writer, page, 1, m_manager);
    PrintTicketXmlDocument* ticket = nullptr;
    ASSERT_EQ(S_OK, editor.TryToGetPointerToPrintTicketXmlDocument(&ticket));
    EXPECT_EQ(E_ACCESSDENIED, editor.CommitChanges());
    EXPECT_TRUE(editor.HasPrintTicketAlreadyBeenUpdatedForThisUri());
}

// Running out of memory at each allocation in turn: the editor answers E_OUTOFMEMORY (or
// raises it as ATL::CAtlException, for a BSTR) or succeeds, and a page is never given a ticket
// that was not wholly written.
TEST_F(PrintTicketEditorTest, RunningOutOfMemoryAtEachAllocation) {
    for (const bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "new empty ticket" : "existing ticket");
        for (unsigned long n = 1;; ++n) {
            SCOPED_TRACE(n);
            CComPtr<RecordingWriter> writer = Make<RecordingWriter>();
            CComPtr<EditedPage> page =
                WithTicket<EditedPage>(empty ? nullptr : Ticket(u"/T.xml").p);
            PrintTicketManager manager;
            CComPtr<pipelinetest::MemoryReadStream> defaults =
                Make<pipelinetest::MemoryReadStream>(DefaultTicket());
            ASSERT_EQ(S_OK, manager.Initialise(defaults, CComBSTR(kPrinter), m_token));
            HRESULT hr = S_OK;
            unsigned long used = 0;
            {
                PrintTicketEditor editor(writer, page, 1, manager);
                const unsigned long before = platformtest::AllocationCount();
                platformtest::AllocationFailure failure(n);
                try {
                    PrintTicketXmlDocument* ticket = nullptr;
                    hr = empty ? editor.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket)
                               : editor.TryToGetPointerToPrintTicketXmlDocument(&ticket);
                    if (SUCCEEDED(hr)) {
                        hr = editor.CommitChanges();
                    }
                } catch (const ATL::CAtlException& e) {
                    hr = e;
                }
                used = platformtest::AllocationCount() - before;
            }
            const bool failed = used >= n;
            if (!failed) {
                EXPECT_EQ(S_OK, hr);
                ASSERT_EQ(1u, page->attached.size());
                break; // the n-th allocation was never reached: every one has been failed
            }
            if (SUCCEEDED(hr)) {
                ASSERT_EQ(1u, page->attached.size());
                ASSERT_EQ(1u, writer->streams.size());
                EXPECT_EQ(1u, FeatureNames(writer->streams[0]->bytes).size() + (empty ? 1 : 0));
            } else {
                EXPECT_EQ(E_OUTOFMEMORY, hr);
                EXPECT_TRUE(page->attached.empty());
            }
        }
    }
}

// --- Real jobs ---

struct ReadBack {
    std::string uri;    // the page's
    std::string ticket; // the page ticket's URI, empty for none
    std::vector<std::string> features;
};

std::vector<ReadBack> ReadPages(const std::string& path) {
    std::vector<ReadBack> pages;
    CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(path);
    while (CComPtr<IFixedPage> page = xpsjob::NextPage(reader)) {
        ReadBack read{xpsjob::UriOf(page), {}, {}};
        CComPtr<IPartPrintTicket> ticket;
        if (page->GetPrintTicket(&ticket) == S_OK && ticket) {
            read.ticket = xpsjob::UriOf(ticket);
            read.features = FeatureNames(xpsjob::ReadAll(ticket));
        }
        pages.push_back(read);
    }
    return pages;
}

// Every page of a real job edited through its own editor and written by the platform's writer:
// pages that shared a ticket share the rewritten part, pages without one get parts of their
// own even under one page number and one tick count, and the writer accepts every name.
TEST_F(PrintTicketEditorTest, RealJobsKeepOneRewrittenTicketPerSourceTicket) {
    struct Case {
        const char* pageTickets;
        bool share;
        std::vector<std::string> expectedTickets;
    };
    const Case cases[] = {
        {"every",
         true,
         {"/Documents/1/Metadata/Page1_PT_p.xml", "/Documents/1/Metadata/Page1_PT_p.xml",
          "/Documents/1/Metadata/Page1_PT_p.xml", "/Documents/1/Metadata/Page1_PT_p.xml"}},
        {"first",
         false,
         {"/Documents/1/Metadata/Page1_PT_p.xml", "/METADATA/Page_7_PT_99.xml",
          "/Documents/2/Metadata/Page1_PT_p.xml", "/METADATA/Page_7_PT_99_2.xml"}},
        {"none",
         false,
         {"/METADATA/Page_7_PT_99.xml", "/METADATA/Page_7_PT_99_2.xml",
          "/METADATA/Page_7_PT_99_3.xml", "/METADATA/Page_7_PT_99_4.xml"}},
    };
    platformtest::FixedTickCount ticks(99);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pageTickets);
        const std::string in = (m_scratch / (std::string(c.pageTickets) + ".xps")).string();
        const std::string out = (m_scratch / (std::string(c.pageTickets) + "-out.xps")).string();
        xpsjob::Make(in, std::string("--documents 2 --pages 2 --page-tickets ") + c.pageTickets);
        if (c.share) {
            sharedticketjob::ShareFirstPageTicket(in);
        }
        PrintTicketManager manager;
        CComPtr<pipelinetest::MemoryReadStream> defaults =
            Make<pipelinetest::MemoryReadStream>(DefaultTicket());
        ASSERT_EQ(S_OK, manager.Initialise(defaults, CComBSTR(kPrinter), m_token));
        {
            CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(in);
            CComPtr<IXpsDocumentConsumer> writer = xpsjob::CreateWriter(out);
            while (CComPtr<IFixedPage> page = xpsjob::NextPage(reader, writer)) {
                PrintTicketEditor editor(writer, page, 7, manager); // one number for all
                PrintTicketXmlDocument* ticket = nullptr;
                HRESULT hr = editor.DoesPartHaveExistingPrintTicket()
                                 ? editor.TryToGetPointerToPrintTicketXmlDocument(&ticket)
                                 : editor.GetPointerToNewEmptyPrintTicketXmlDocument(&ticket);
                if (hr == S_FALSE) {
                    hr = editor.TryToSynchAndCommitThisPrintTicketWithMatchFromMap();
                } else {
                    ASSERT_EQ(S_OK, hr);
                    CComPtr<IXMLDOMElement> feature;
                    CComPtr<IXMLDOMElement> option;
                    ASSERT_EQ(S_OK, ticket->CreateFeatureOptionPair(
                                        true, CComBSTR(u"JobStapleAllDocuments"), true,
                                        CComBSTR(u"StapleTopLeft"), &feature, &option));
                    ticket->AppendChild(feature, option);
                    ticket->AppendChildToRootNode(feature);
                    hr = editor.CommitChanges();
                }
                ASSERT_EQ(S_OK, hr);
                ASSERT_EQ(S_OK, writer->SendFixedPage(page));
            }
            ASSERT_EQ(S_OK, writer->CloseSender());
        }
        const std::vector<ReadBack> pages = ReadPages(out);
        ASSERT_EQ(c.expectedTickets.size(), pages.size());
        for (size_t i = 0; i < pages.size(); ++i) {
            SCOPED_TRACE(pages[i].uri);
            EXPECT_EQ(c.expectedTickets[i], pages[i].ticket);
            ASSERT_FALSE(pages[i].features.empty());
            EXPECT_EQ("psk:JobStapleAllDocuments", pages[i].features.back());
        }
    }
}

} // namespace
