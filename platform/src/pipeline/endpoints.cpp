#include "endpoints.h"

#include "../com/comobject.h"
#include "xpspackage.h"

namespace platform::pipeline {

std::string Narrow(const WCHAR* text) {
    std::string narrow;
    if (!text) {
        return narrow;
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length > 1) {
        narrow.resize(static_cast<size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
        narrow.pop_back();
    }
    return narrow;
}

std::string StatusText(IUnknown* object) {
    ATL::CComPtr<IXpsPackageStatus> status;
    ATL::CComBSTR text;
    if (object && SUCCEEDED(object->QueryInterface(&status)) &&
        SUCCEEDED(status->GetLastErrorText(&text))) {
        return Narrow(text);
    }
    return std::string();
}

std::string OpenStatusText() {
    ATL::CComBSTR text;
    XpsGetLastOpenErrorText(&text);
    return Narrow(text);
}

HRESULT CopyParts(IXpsDocumentProvider* from, IXpsDocumentConsumer* to) {
    while (true) {
        ATL::CComPtr<IUnknown> part;
        HRESULT hr = from->GetXpsPart(&part);
        if (FAILED(hr)) {
            return hr;
        }
        if (!part) {
            return to->CloseSender();
        }
        hr = XpsSendPart(to, part);
        if (FAILED(hr)) {
            return hr;
        }
    }
}

namespace {

struct InputState {
    ATL::CComPtr<IXpsDocumentProvider> reader;
    std::shared_ptr<JobState> job;
    std::string path;
    std::atomic<bool> readToEnd{false};
    std::atomic<bool> cancelled{false};
};

class InputProvider final : public com::Object<InputProvider, IXpsDocumentProvider> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentProvider>;
    explicit InputProvider(std::shared_ptr<InputState> input) : input_(std::move(input)) {}

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override {
        if (!part) {
            return E_POINTER;
        }
        *part = nullptr;
        if (input_->cancelled) {
            return kCancelled;
        }
        const HRESULT hr = input_->reader->GetXpsPart(part);
        if (FAILED(hr)) {
            input_->job->Fail(FailedAt::Input, std::string(), hr,
                              input_->path + ": " + StatusText(input_->reader));
        } else if (!*part) {
            input_->readToEnd = true;
        }
        return hr;
    }

private:
    std::shared_ptr<InputState> input_;
};

class PartsInput final : public Link {
public:
    explicit PartsInput(std::shared_ptr<InputState> input) : input_(std::move(input)) {}
    void Cancel() override { input_->cancelled = true; }
    bool ReadToEnd() override { return input_->readToEnd; }
    bool WriterClosed() override { return true; }
    void ReaderReturned() override {}
    void WriterReturned() override {}
    ATL::CComPtr<IUnknown> Reader() override {
        return NewObject<IXpsDocumentProvider, InputProvider>(input_);
    }
    ATL::CComPtr<IUnknown> Writer() override { return nullptr; }

private:
    std::shared_ptr<InputState> input_;
};

struct OutputState {
    std::mutex mutex;
    ATL::CComPtr<IXpsDocumentConsumer> writer; // null once discarded
    std::shared_ptr<JobState> job;
    std::string lastFilter;
    bool closed = false;
    bool cancelled = false;
};

class OutputConsumer final : public com::Object<OutputConsumer, IXpsDocumentConsumer> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentConsumer>;
    explicit OutputConsumer(std::shared_ptr<OutputState> output) : output_(std::move(output)) {}

    HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* unknown) override {
        return Step([&](IXpsDocumentConsumer* writer) { return writer->SendXpsUnknown(unknown); });
    }
    HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* document) override {
        return Step(
            [&](IXpsDocumentConsumer* writer) { return writer->SendXpsDocument(document); });
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        return Step([&](IXpsDocumentConsumer* writer) {
            return writer->SendFixedDocumentSequence(sequence);
        });
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* document) override {
        return Step(
            [&](IXpsDocumentConsumer* writer) { return writer->SendFixedDocument(document); });
    }
    HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* page) override {
        const HRESULT hr =
            Step([&](IXpsDocumentConsumer* writer) { return writer->SendFixedPage(page); });
        if (SUCCEEDED(hr)) {
            ++output_->job->pages;
        }
        return hr;
    }
    // The package is closed by the host once every filter has finished well.
    HRESULT STDMETHODCALLTYPE CloseSender() override {
        std::lock_guard lock(output_->mutex);
        if (output_->cancelled) {
            return kCancelled;
        }
        if (output_->closed || !output_->writer) {
            return E_UNEXPECTED;
        }
        output_->closed = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                              IPrintWriteStream** stream) override {
        return Step([&](IXpsDocumentConsumer* writer) {
            return writer->GetNewEmptyPart(uri, iid, part, stream);
        });
    }

private:
    template <class Body>
    HRESULT Step(Body&& body) {
        std::string problem;
        HRESULT hr;
        {
            std::lock_guard lock(output_->mutex);
            if (output_->cancelled) {
                return kCancelled;
            }
            if (output_->closed || !output_->writer) {
                return E_UNEXPECTED;
            }
            hr = body(output_->writer.p);
            if (SUCCEEDED(hr)) {
                return hr;
            }
            problem = StatusText(output_->writer);
        }
        // What the package refuses (a part not made by this platform, parts out of order) is
        // the sender's fault; anything else (a full disk) is the output's.
        const bool refused =
            hr == E_INVALIDARG || hr == E_POINTER || hr == E_UNEXPECTED || hr == E_NOINTERFACE;
        if (refused && !output_->lastFilter.empty()) {
            output_->job->Fail(FailedAt::Filter, output_->lastFilter, hr,
                               "sent what the output package cannot take: " + problem);
        } else if (hr != E_NOINTERFACE) {
            output_->job->Fail(FailedAt::Output, std::string(), hr, problem);
        }
        return hr;
    }

    std::shared_ptr<OutputState> output_;
};

class PartsOutput final : public Output {
public:
    explicit PartsOutput(std::shared_ptr<OutputState> output) : output_(std::move(output)) {}
    ~PartsOutput() override { Discard(); }

    void Cancel() override {
        std::lock_guard lock(output_->mutex);
        output_->cancelled = true;
    }
    bool ReadToEnd() override { return true; }
    bool WriterClosed() override {
        std::lock_guard lock(output_->mutex);
        return output_->closed;
    }
    void ReaderReturned() override {}
    void WriterReturned() override {}
    ATL::CComPtr<IUnknown> Reader() override { return nullptr; }
    ATL::CComPtr<IUnknown> Writer() override {
        return NewObject<IXpsDocumentConsumer, OutputConsumer>(output_);
    }

    void Commit() override {
        ATL::CComPtr<IXpsDocumentConsumer> writer;
        {
            std::lock_guard lock(output_->mutex);
            if (!output_->closed || output_->cancelled || output_->job->Failed()) {
                return;
            }
            writer.Attach(output_->writer.Detach());
        }
        if (!writer) {
            return;
        }
        const HRESULT hr = writer->CloseSender();
        if (FAILED(hr)) {
            output_->job->Fail(FailedAt::Output, std::string(), hr, StatusText(writer));
        }
    }
    void Discard() override {
        ATL::CComPtr<IXpsDocumentConsumer> writer; // released outside the lock
        std::lock_guard lock(output_->mutex);
        output_->cancelled = true;
        writer.Attach(output_->writer.Detach());
    }

private:
    std::shared_ptr<OutputState> output_;
};

} // namespace

std::shared_ptr<Link> OpenPartsInput(const std::string& path, std::shared_ptr<JobState> job,
                                     HRESULT& hr, std::string& problem) {
    auto input = std::make_shared<InputState>();
    hr = XpsOpenPackageReader(path.c_str(), nullptr, &input->reader);
    if (FAILED(hr)) {
        problem = OpenStatusText();
        return nullptr;
    }
    input->job = std::move(job);
    input->path = path;
    return std::make_shared<PartsInput>(std::move(input));
}

std::shared_ptr<Output> OpenPartsOutput(const std::string& path, std::shared_ptr<JobState> job,
                                        std::string lastFilter, HRESULT& hr, std::string& problem) {
    auto output = std::make_shared<OutputState>();
    hr = XpsCreatePackageWriter(path.c_str(), &output->writer);
    if (FAILED(hr)) {
        problem = OpenStatusText();
        return nullptr;
    }
    output->job = std::move(job);
    output->lastFilter = std::move(lastFilter);
    return std::make_shared<PartsOutput>(std::move(output));
}

} // namespace platform::pipeline
