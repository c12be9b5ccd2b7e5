// Small print filters written against the pipeline interfaces alone, as a driver's filter is:
// a filter passes what it reads on, and its script makes it fail at a page, ask for shutdown,
// never read its input, forget FilterFinished or to close its output, crawl, or write bytes
// that are no package.
// Shared by the host's tests (made in process) and the filter module the test build makes.
#pragma once

#include <atlbase.h>
#include <filterpipeline.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace testfilters {

// What a filter of one job saw, read by the test once the job is over, and by a neighbour
// that waits for it to come so far.
class Record {
public:
    std::atomic<int> pages{0};     // pages read
    std::atomic<int> shutdowns{0}; // ShutdownOperation calls
    std::atomic<int> mostAhead{0}; // most pages the upstream filter had read beyond this one
    // The first failure a reader or writer of the pipeline answered (cancelled, a broken
    // pipe); S_OK while none did.
    std::atomic<HRESULT> linkFailure{S_OK};

    // A send or a take of a part is about to begin.
    void BeginSend() { Count(sends_); }
    void BeginTake() { Count(takes_); }
    int Sends() const { return Read(sends_); }
    // Waits until this filter has begun `count` sends, or takes; false when it never does in
    // a time no healthy job comes near.
    bool WaitForSends(int count) const { return WaitFor(sends_, count); }
    bool WaitForTakes(int count) const { return WaitFor(takes_, count); }

private:
    void Count(int& counter) {
        std::lock_guard lock(mutex_);
        ++counter;
        changed_.notify_all();
    }
    int Read(const int& counter) const {
        std::lock_guard lock(mutex_);
        return counter;
    }
    bool WaitFor(const int& counter, int count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return counter >= count; });
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int sends_ = 0;
    int takes_ = 0;
};

// A door a test opens once; whoever waits for it goes on then.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    bool IsOpen() const {
        std::lock_guard lock(mutex_);
        return open_;
    }
    // false when the door is still shut after a time no healthy job comes near.
    bool WaitOpen() const {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, std::chrono::seconds(60), [&] { return open_; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = false;
};

struct Script {
    enum class Act {
        Pass,            // read everything, send it on, close, FilterFinished
        FailAtPage,      // StartOperation answers hr at page `page`
        ShutdownAtPage,  // RequestShutdown(hr) at page `page`, then carry on until stopped
        NeverRead,       // close the output and finish without reading, once the upstream
                         // filter has begun `upstreamSends` sends (it waits for room then);
                         // with bytes, finish at once, reading and closing nothing
        NoFinish,        // pass everything but never call FilterFinished
        NoClose,         // pass everything but never close the output; return once the
                         // downstream filter waits for a part beyond the last one sent
        Garbage,         // (bytes) write bytes that are no package
        FailInitialize,  // InitializeFilter answers hr
        CannotBeMade,    // the class factory answers hr
        Throws,          // StartOperation throws, as a filter's own fault
        IgnoresShutdown, // StartOperation waits in the filter's own code for `release`,
                         // deaf to ShutdownOperation, then answers E_ABORT
        StuckInShutdown, // passes parts, but ShutdownOperation waits for `release`
    };
    Act act = Act::Pass;
    int page = 0;
    HRESULT hr = static_cast<HRESULT>(0x8004D00Au);
    bool bytes = false;                 // reads and writes bytes rather than parts
    std::chrono::milliseconds delay{0}; // per page
    std::shared_ptr<Record> record = std::make_shared<Record>();
    std::shared_ptr<Record> upstream;   // the record of the filter before, for mostAhead
    std::shared_ptr<Record> downstream; // the record of the filter after
    int upstreamSends = 0;
    std::shared_ptr<Gate> release = std::make_shared<Gate>();   // for the two that wait for it
    std::shared_ptr<Gate> destroyed = std::make_shared<Gate>(); // opened as the filter goes
};

// IUnknown for one interface, with an atomic count as the pipeline's threads need.
template <class Interface>
class Unknown : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(Interface))) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~Unknown() = default;

private:
    std::atomic<ULONG> references_{1};
};

// Sends a part on by what it is.
inline HRESULT SendOn(IXpsDocumentConsumer* out, IUnknown* part, bool& isPage) {
    isPage = false;
    ATL::CComPtr<IFixedPage> page;
    ATL::CComPtr<IFixedDocument> document;
    ATL::CComPtr<IFixedDocumentSequence> sequence;
    ATL::CComPtr<IXpsDocument> xps;
    if (SUCCEEDED(part->QueryInterface(&page))) {
        isPage = true;
        return out->SendFixedPage(page);
    }
    if (SUCCEEDED(part->QueryInterface(&document))) {
        return out->SendFixedDocument(document);
    }
    if (SUCCEEDED(part->QueryInterface(&sequence))) {
        return out->SendFixedDocumentSequence(sequence);
    }
    if (SUCCEEDED(part->QueryInterface(&xps))) {
        return out->SendXpsDocument(xps);
    }
    return out->SendXpsUnknown(part);
}

class Filter final : public Unknown<IPrintPipelineFilter> {
public:
    explicit Filter(Script script) : script_(std::move(script)) {}
    ~Filter() override { script_.destroyed->Open(); }

    HRESULT STDMETHODCALLTYPE InitializeFilter(IInterFilterCommunicator* communicator,
                                               IPrintPipelinePropertyBag* bag,
                                               IPrintPipelineManagerControl* control) override {
        if (script_.act == Script::Act::FailInitialize) {
            return script_.hr;
        }
        communicator_ = communicator;
        bag_ = bag;
        control_ = control;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShutdownOperation() override {
        ++script_.record->shutdowns;
        if (script_.act == Script::Act::StuckInShutdown) {
            script_.release->WaitOpen();
        }
        stop_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StartOperation() override {
        if (script_.act == Script::Act::Throws) {
            throw std::runtime_error("a filter's own fault");
        }
        if (script_.act == Script::Act::IgnoresShutdown) {
            script_.release->WaitOpen();
            return E_ABORT;
        }
        const HRESULT hr = script_.bytes ? CopyBytes() : CopyParts();
        if (SUCCEEDED(hr) && script_.act != Script::Act::NoFinish) {
            control_->FilterFinished();
        }
        return hr;
    }

private:
    HRESULT CopyParts() {
        ATL::CComPtr<IXpsDocumentProvider> in;
        ATL::CComPtr<IXpsDocumentConsumer> out;
        HRESULT hr = communicator_->RequestWriter(reinterpret_cast<void**>(&out));
        if (FAILED(hr)) {
            return hr;
        }
        if (script_.act == Script::Act::NeverRead) {
            if (script_.upstream && !script_.upstream->WaitForSends(script_.upstreamSends)) {
                return kTimedOut;
            }
            return Link(out->CloseSender());
        }
        hr = communicator_->RequestReader(reinterpret_cast<void**>(&in));
        if (FAILED(hr)) {
            return hr;
        }
        int page = 0;
        while (!stop_) {
            ATL::CComPtr<IUnknown> part;
            script_.record->BeginTake();
            hr = Link(in->GetXpsPart(&part));
            if (FAILED(hr)) {
                return hr;
            }
            if (!part) {
                if (script_.act != Script::Act::NoClose) {
                    return Link(out->CloseSender());
                }
                const bool waiting = !script_.downstream ||
                                     script_.downstream->WaitForTakes(script_.record->Sends() + 1);
                return waiting ? S_OK : kTimedOut;
            }
            bool isPage = false;
            ATL::CComPtr<IFixedPage> probe;
            if (SUCCEEDED(part->QueryInterface(&probe))) {
                ++page;
                ++script_.record->pages;
                if (script_.upstream) {
                    const int ahead = script_.upstream->pages - script_.record->pages;
                    if (ahead > script_.record->mostAhead) {
                        script_.record->mostAhead = ahead;
                    }
                }
                std::this_thread::sleep_for(script_.delay);
                if (page == script_.page && script_.act == Script::Act::FailAtPage) {
                    return script_.hr;
                }
                if (page == script_.page && script_.act == Script::Act::ShutdownAtPage) {
                    control_->RequestShutdown(script_.hr, nullptr);
                    continue; // and wait to be stopped
                }
            }
            script_.record->BeginSend();
            hr = Link(SendOn(out, part, isPage));
            if (FAILED(hr)) {
                return hr;
            }
        }
        return E_ABORT;
    }

    HRESULT CopyBytes() {
        ATL::CComPtr<IPrintReadStream> in;
        ATL::CComPtr<IPrintWriteStream> out;
        HRESULT hr = communicator_->RequestReader(reinterpret_cast<void**>(&in));
        if (SUCCEEDED(hr)) {
            hr = communicator_->RequestWriter(reinterpret_cast<void**>(&out));
        }
        if (FAILED(hr)) {
            return hr;
        }
        if (script_.act == Script::Act::NeverRead) {
            return S_OK;
        }
        if (script_.act == Script::Act::Garbage) {
            static constexpr char kGarbage[] = "these bytes are no XPS package";
            ULONG written = 0;
            hr = out->WriteBytes(kGarbage, sizeof kGarbage - 1, &written);
        }
        char buffer[7000]; // an odd size, so that reads and writes straddle buffer ends
        BOOL ended = FALSE;
        while (SUCCEEDED(hr) && !ended && !stop_) {
            ULONG read = 0;
            hr = Link(in->ReadBytes(buffer, sizeof buffer, &read, &ended));
            ULONG written = 0;
            if (SUCCEEDED(hr) && script_.act == Script::Act::FailAtPage) {
                return script_.hr; // bytes have no pages: it fails at its first read
            }
            if (SUCCEEDED(hr) && read && script_.act != Script::Act::Garbage) {
                hr = Link(out->WriteBytes(buffer, read, &written));
            }
        }
        if (FAILED(hr)) {
            return hr;
        }
        if (stop_) {
            return E_ABORT;
        }
        out->Close();
        return S_OK;
    }

    // What a reader or writer answered: its first failure is recorded.
    HRESULT Link(HRESULT hr) {
        HRESULT none = S_OK;
        if (FAILED(hr)) {
            script_.record->linkFailure.compare_exchange_strong(none, hr);
        }
        return hr;
    }

    // ERROR_TIMEOUT: a neighbour never came as far as the script waits for.
    static constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(1460u);

    Script script_;
    ATL::CComPtr<IInterFilterCommunicator> communicator_;
    ATL::CComPtr<IPrintPipelinePropertyBag> bag_;
    ATL::CComPtr<IPrintPipelineManagerControl> control_;
    std::atomic<bool> stop_{false};
};

class Factory final : public Unknown<IClassFactory> {
public:
    explicit Factory(Script script) : script_(std::move(script)) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        if (script_.act == Script::Act::CannotBeMade) {
            return script_.hr;
        }
        Filter* filter = new Filter(script_);
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Script script_;
};

} // namespace testfilters
