// The part queue between two filters: a part the reader has let go is freed on the writer's
// thread, where it was made, while a part the reader still holds stays alive.
#include "pipeline/partqueue.h"
#include "testfilters.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

thread_local const char* tThread = "reader";

// Records the thread its last reference was released on.
class Tracked final : public testfilters::Unknown<IUnknown> {
public:
    explicit Tracked(std::string& freedOn) : freedOn_(freedOn) {}
    ~Tracked() override { freedOn_ = tThread; }

private:
    std::string& freedOn_;
};

// Runs step on a thread of the writer's and waits for it.
template <class Step>
void OnWriterThread(Step step) {
    std::thread([&] {
        tThread = "writer";
        step();
    }).join();
}

ATL::CComPtr<IUnknown> Take(IXpsDocumentProvider* reader) {
    ATL::CComPtr<IUnknown> part;
    EXPECT_EQ(S_OK, reader->GetXpsPart(&part));
    return part;
}

TEST(PartQueue, FreesWhatTheReaderLetGoOnTheWritersThread) {
    const auto queue = platform::pipeline::MakePartQueue(4);
    ATL::CComPtr<IXpsDocumentProvider> reader;
    ATL::CComPtr<IXpsDocumentConsumer> writer;
    ASSERT_EQ(S_OK, queue->Reader()->QueryInterface(&reader));
    ASSERT_EQ(S_OK, queue->Writer()->QueryInterface(&writer));
    std::string freed[5];
    const auto put = [&](int first, int last) {
        OnWriterThread([&] {
            for (int i = first; i <= last; ++i) {
                ATL::CComPtr<IUnknown> part;
                part.Attach(new Tracked(freed[i]));
                EXPECT_EQ(S_OK, writer->SendXpsUnknown(part));
            }
        });
    };

    put(0, 1);
    Take(reader);                               // 0, let go at once
    ATL::CComPtr<IUnknown> held = Take(reader); // 1, still held
    put(2, 2);
    EXPECT_EQ("writer", freed[0]);
    EXPECT_EQ("", freed[1]);
    held.Release(); // the queue still has it until the writer comes again
    EXPECT_EQ("", freed[1]);
    held = Take(reader); // 2

    put(3, 3);
    EXPECT_EQ("writer", freed[1]);
    EXPECT_EQ("", freed[2]); // the last part taken: the reader may still be at work on it
    held.Release();
    OnWriterThread([&] { EXPECT_EQ(S_OK, writer->CloseSender()); });
    EXPECT_EQ("writer", freed[2]);

    // Nothing is kept once the writer has closed: no Put will come to release it.
    Take(reader);
    EXPECT_EQ("reader", freed[3]);
    EXPECT_EQ(nullptr, Take(reader).p);
}

} // namespace
