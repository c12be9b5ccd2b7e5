// The part queues between filters: a part the reader has let go is freed on the writer's
// thread, where it was made, while a part the reader still holds stays alive; in a chain of
// any length a part is freed on the thread of the filter that made it, whichever filters
// passed it on or held it back.
#include "pipeline/partqueue.h"
#include "testfilters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// A part of the chain test: the thread that made it and the one that freed it.
struct Life {
    std::string madeOn;
    std::string freedOn;
};

// An object of two interfaces at two addresses, as a filter's own part may be: passed on
// through the second, it is still the one object COM's identity (its IUnknown) names.
class Traced final : public IPrintReadStreamFactory, public IXpsDocumentProvider {
public:
    explicit Traced(Life& life) : life_(life) { life_.madeOn = tThread; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPrintReadStreamFactory)) {
            *object = static_cast<IPrintReadStreamFactory*>(this);
        } else if (IsEqualIID(riid, IID_IXpsDocumentProvider)) {
            *object = static_cast<IXpsDocumentProvider*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            life_.freedOn = tThread;
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown**) override { return E_NOTIMPL; }

private:
    ~Traced() = default;

    Life& life_;
    std::atomic<ULONG> references_{1};
};

// A chain of filters joined by part queues, each step run on a thread of the filter's own: the
// first makes a part a round; each one between passes on what it takes (through another
// interface) and sends a part of its own, the second holding its first part back for three
// rounds; the last lets go of what it takes.
TEST(PartQueue, FreesEveryPartOnTheThreadOfTheFilterThatMadeItInChainsOfAnyLength) {
    for (const size_t filters : {2u, 3u, 4u}) {
        SCOPED_TRACE(std::to_string(filters) + " filters");
        std::vector<std::shared_ptr<platform::pipeline::Link>> queues(filters);
        std::vector<ATL::CComPtr<IXpsDocumentProvider>> readers(filters);
        std::vector<ATL::CComPtr<IXpsDocumentConsumer>> writers(filters);
        for (size_t k = 1; k < filters; ++k) { // queue k feeds filter k
            queues[k] = platform::pipeline::MakePartQueue(4, queues[k - 1]);
            ASSERT_EQ(S_OK, queues[k]->Reader()->QueryInterface(&readers[k]));
            ASSERT_EQ(S_OK, queues[k]->Writer()->QueryInterface(&writers[k]));
        }
        std::deque<Life> lives;
        const auto on = [](size_t filter, auto step) {
            std::thread([&] {
                const std::string name = "filter " + std::to_string(filter);
                tThread = name.c_str();
                step();
                tThread = "reader";
            }).join();
        };
        const auto send = [&](size_t into, IUnknown* part) {
            EXPECT_EQ(S_OK, writers[into]->SendXpsUnknown(part));
        };
        const auto make = [&] {
            ATL::CComPtr<IUnknown> part;
            part.Attach(static_cast<IPrintReadStreamFactory*>(new Traced(lives.emplace_back())));
            return part;
        };
        // What a filter between passes on: the part, through its other interface.
        const auto otherFace = [](IUnknown* part) {
            ATL::CComPtr<IXpsDocumentProvider> face;
            EXPECT_EQ(S_OK, part->QueryInterface(&face));
            return face;
        };

        constexpr int kRounds = 6;
        ATL::CComPtr<IUnknown> heldBack;
        for (int round = 0; round < kRounds; ++round) {
            size_t sent = 1;
            on(0, [&] { send(1, make()); });
            for (size_t k = 1; k + 1 < filters; ++k) {
                on(k, [&] {
                    const size_t taken = sent;
                    sent = 0;
                    for (size_t i = 0; i < taken; ++i) {
                        ATL::CComPtr<IUnknown> part = Take(readers[k]);
                        if (k == 1 && round == 0 && i == 0) {
                            heldBack = part;
                            continue;
                        }
                        send(k + 1, otherFace(part));
                        ++sent;
                    }
                    if (k == 1 && round == 3) {
                        send(k + 1, otherFace(heldBack));
                        heldBack.Release();
                        ++sent;
                    }
                    send(k + 1, make());
                    ++sent;
                });
            }
            on(filters - 1, [&] {
                for (size_t i = 0; i < sent; ++i) {
                    Take(readers[filters - 1]);
                }
            });
        }
        // Memory stays flat: what the last filter let go rounds ago has gone already.
        const size_t perRound = lives.size() / kRounds;
        for (size_t i = 0; i + 2 * perRound < lives.size(); ++i) {
            SCOPED_TRACE("part " + std::to_string(i) + " made on " + lives[i].madeOn);
            EXPECT_NE("", lives[i].freedOn) << "still kept";
        }
        for (size_t k = 1; k < filters; ++k) {
            on(k - 1, [&] { EXPECT_EQ(S_OK, writers[k]->CloseSender()); });
            on(k, [&] { EXPECT_EQ(nullptr, Take(readers[k]).p); });
        }
        for (size_t i = 0; i < lives.size(); ++i) {
            SCOPED_TRACE("part " + std::to_string(i));
            EXPECT_EQ(lives[i].madeOn, lives[i].freedOn);
        }
    }
}

} // namespace
