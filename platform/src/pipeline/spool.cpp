#include "spool.h"

#include "files.h"

#include "../com/comobject.h"
#include "xpspackage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::pipeline {
namespace {

HRESULT FromErrno(int error) {
    return HRESULT_FROM_WIN32(error == ENOSPC || error == EDQUOT ? ERROR_DISK_FULL
                              : error == ENOENT                  ? ERROR_FILE_NOT_FOUND
                              : error == ENOMEM                  ? ERROR_NOT_ENOUGH_MEMORY
                                                                 : ERROR_ACCESS_DENIED);
}

// One open file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    // Closes the file; answers close's errno, 0 when it succeeded.
    int Reset() {
        int error = 0;
        if (fd_ >= 0 && close(fd_) != 0) {
            error = errno;
        }
        fd_ = -1;
        return error;
    }
    void Set(int fd) {
        Reset();
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// What the two sides of a spool share: the file, whether it is complete, and why a reader
// must stop waiting.
struct SpoolState {
    std::string path;
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false; // the writer closed: the file is complete
    bool writerGone = false;
    bool readerGone = false;
    bool cancelled = false;
    bool readToEnd = false; // a parts reader was handed the null part
    bool opened = false;    // a bytes reader opened the complete file
    Fd writeFd;             // the bytes writer's file until it closes

    // Waits until the file is complete; kCancelled or kBrokenPipe when it never will be.
    HRESULT WaitReady() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return ready || writerGone || cancelled; });
        return cancelled ? kCancelled : ready ? S_OK : kBrokenPipe;
    }
    HRESULT CheckWriting() {
        std::lock_guard lock(mutex);
        return cancelled ? kCancelled : readerGone ? kBrokenPipe : ready ? E_UNEXPECTED : S_OK;
    }
    void MarkReady() {
        std::lock_guard lock(mutex);
        ready = true;
        changed.notify_all();
    }
};

// IPrintReadStream over a file: the job's input, or a spool once its writer has closed it.
class FileReadStream final : public com::Object<FileReadStream, IPrintReadStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintReadStream>;
    // With a spool state the file is opened when first read, after its writer closed it.
    FileReadStream(std::string path, std::shared_ptr<SpoolState> spool)
        : path_(std::move(path)), spool_(std::move(spool)) {}

    HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) override {
        HRESULT hr = Open();
        if (FAILED(hr)) {
            return hr;
        }
        struct stat status;
        if (fstat(fd_.Get(), &status) != 0) {
            return FromErrno(errno);
        }
        hr = SeekTarget(offset, origin, position_, static_cast<ULONGLONG>(status.st_size),
                        position_);
        if (SUCCEEDED(hr) && newPosition) {
            *newPosition = position_;
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read,
                                        BOOL* endOfFile) override {
        if (read) {
            *read = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        HRESULT hr = Open();
        if (FAILED(hr)) {
            return hr;
        }
        ULONG total = 0;
        bool ended = false;
        while (total < count) {
            const ssize_t got = pread(fd_.Get(), static_cast<char*>(buffer) + total, count - total,
                                      static_cast<off_t>(position_));
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return FromErrno(errno);
            }
            if (got == 0) {
                ended = true;
                break;
            }
            total += static_cast<ULONG>(got);
            position_ += static_cast<ULONGLONG>(got);
        }
        if (read) {
            *read = total;
        }
        if (endOfFile) {
            *endOfFile = ended;
        }
        return S_OK;
    }

private:
    HRESULT Open() {
        if (fd_.Get() >= 0) {
            return S_OK;
        }
        if (spool_) {
            const HRESULT hr = spool_->WaitReady();
            if (FAILED(hr)) {
                return hr;
            }
        }
        fd_.Set(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd_.Get() < 0) {
            return FromErrno(errno);
        }
        if (spool_) {
            std::lock_guard lock(spool_->mutex);
            spool_->opened = true;
        }
        return S_OK;
    }

    std::string path_;
    std::shared_ptr<SpoolState> spool_;
    Fd fd_;
    ULONGLONG position_ = 0;
};

// IPrintWriteStream into a spool; Close completes it.
class FileWriteStream final : public com::Object<FileWriteStream, IPrintWriteStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintWriteStream>;
    explicit FileWriteStream(std::shared_ptr<SpoolState> spool) : spool_(std::move(spool)) {}

    HRESULT STDMETHODCALLTYPE WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        if (written) {
            *written = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        const HRESULT hr = spool_->CheckWriting();
        if (FAILED(hr)) {
            return hr;
        }
        const int fd = spool_->writeFd.Get(); // only this stream's thread writes or closes it
        ULONG total = 0;
        while (total < count) {
            const ssize_t put = write(fd, static_cast<const char*>(buffer) + total, count - total);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return FromErrno(errno);
            }
            total += static_cast<ULONG>(put);
            if (written) {
                *written = total;
            }
        }
        return S_OK;
    }

    void STDMETHODCALLTYPE Close() override {
        if (SUCCEEDED(spool_->CheckWriting()) && spool_->writeFd.Reset() == 0) {
            spool_->MarkReady();
        }
    }

private:
    std::shared_ptr<SpoolState> spool_;
};

// IXpsDocumentConsumer writing a package into a spool; CloseSender completes it.
class SpoolConsumer final : public com::Object<SpoolConsumer, IXpsDocumentConsumer> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentConsumer>;
    SpoolConsumer(ATL::CComPtr<IXpsDocumentConsumer> writer, std::shared_ptr<SpoolState> spool)
        : writer_(std::move(writer)), spool_(std::move(spool)) {}

    HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* unknown) override {
        return Checked([&] { return writer_->SendXpsUnknown(unknown); });
    }
    HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* document) override {
        return Checked([&] { return writer_->SendXpsDocument(document); });
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        return Checked([&] { return writer_->SendFixedDocumentSequence(sequence); });
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* document) override {
        return Checked([&] { return writer_->SendFixedDocument(document); });
    }
    HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* page) override {
        return Checked([&] { return writer_->SendFixedPage(page); });
    }
    HRESULT STDMETHODCALLTYPE CloseSender() override {
        const HRESULT hr = Checked([&] { return writer_->CloseSender(); });
        if (SUCCEEDED(hr)) {
            spool_->MarkReady();
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                              IPrintWriteStream** stream) override {
        return writer_->GetNewEmptyPart(uri, iid, part, stream);
    }

private:
    template <class Step>
    HRESULT Checked(Step&& step) {
        const HRESULT hr = spool_->CheckWriting();
        return FAILED(hr) ? hr : step();
    }

    ATL::CComPtr<IXpsDocumentConsumer> writer_;
    std::shared_ptr<SpoolState> spool_;
};

// IXpsDocumentProvider over a spool: opens the package once its writer closed it.
class SpoolProvider final : public com::Object<SpoolProvider, IXpsDocumentProvider> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentProvider>;
    SpoolProvider(std::shared_ptr<SpoolState> spool, std::shared_ptr<JobState> job,
                  std::string writerName)
        : spool_(std::move(spool)), job_(std::move(job)), writerName_(std::move(writerName)) {}

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override {
        if (!part) {
            return E_POINTER;
        }
        *part = nullptr;
        HRESULT hr = spool_->WaitReady();
        if (FAILED(hr)) {
            return hr;
        }
        {
            std::lock_guard lock(spool_->mutex);
            if (spool_->cancelled) {
                return kCancelled;
            }
        }
        if (!reader_) {
            hr = XpsOpenPackageReader(spool_->path.c_str(), nullptr, &reader_);
            if (FAILED(hr)) {
                ATL::CComBSTR text;
                XpsGetLastOpenErrorText(&text);
                return Blame(hr, "wrote bytes that are not an XPS package", text);
            }
        }
        hr = reader_->GetXpsPart(part);
        if (FAILED(hr)) {
            ATL::CComPtr<IXpsPackageStatus> status;
            ATL::CComBSTR text;
            if (SUCCEEDED(reader_->QueryInterface(&status))) {
                status->GetLastErrorText(&text);
            }
            return Blame(hr, "wrote a damaged XPS package", text);
        }
        if (!*part) {
            std::lock_guard lock(spool_->mutex);
            spool_->readToEnd = true;
        }
        return S_OK;
    }

private:
    HRESULT Blame(HRESULT hr, const char* what, BSTR detail) {
        return com::Guarded([&] {
            const std::string why = Narrow(detail);
            job_->Fail(FailedAt::Filter, writerName_, hr,
                       why.empty() ? std::string(what) : what + (": " + why));
            return hr;
        });
    }

    std::shared_ptr<SpoolState> spool_;
    std::shared_ptr<JobState> job_;
    std::string writerName_;
    ATL::CComPtr<IXpsDocumentProvider> reader_;
};

// The link side of a spool: cancellation and the checks at each end.
class SpoolLink : public Link {
public:
    explicit SpoolLink(std::shared_ptr<SpoolState> spool) : spool_(std::move(spool)) {}
    void Cancel() override {
        std::lock_guard lock(spool_->mutex);
        spool_->cancelled = true;
        spool_->changed.notify_all();
    }
    bool WriterClosed() override {
        std::lock_guard lock(spool_->mutex);
        return spool_->ready;
    }
    void ReaderReturned() override {
        std::lock_guard lock(spool_->mutex);
        spool_->readerGone = true;
    }
    void WriterReturned() override {
        std::lock_guard lock(spool_->mutex);
        spool_->writerGone = true;
        spool_->changed.notify_all();
    }

protected:
    std::shared_ptr<SpoolState> spool_;
};

class PartsToBytes final : public SpoolLink {
public:
    PartsToBytes(std::shared_ptr<SpoolState> spool, ATL::CComPtr<IXpsDocumentConsumer> writer)
        : SpoolLink(std::move(spool)), writer_(std::move(writer)) {}
    // A byte reader may read what it needs, where it needs; one that never opened the file
    // read none of it.
    bool ReadToEnd() override {
        std::lock_guard lock(spool_->mutex);
        return spool_->opened;
    }
    ATL::CComPtr<IUnknown> Reader() override {
        return NewObject<IPrintReadStream, FileReadStream>(spool_->path, spool_);
    }
    ATL::CComPtr<IUnknown> Writer() override {
        return NewObject<IXpsDocumentConsumer, SpoolConsumer>(writer_, spool_);
    }

private:
    ATL::CComPtr<IXpsDocumentConsumer> writer_;
};

class BytesToParts final : public SpoolLink {
public:
    BytesToParts(std::shared_ptr<SpoolState> spool, std::shared_ptr<JobState> job,
                 std::string writerName)
        : SpoolLink(std::move(spool)), job_(std::move(job)), writerName_(std::move(writerName)) {}
    bool ReadToEnd() override {
        std::lock_guard lock(spool_->mutex);
        return spool_->readToEnd;
    }
    ATL::CComPtr<IUnknown> Reader() override {
        return NewObject<IXpsDocumentProvider, SpoolProvider>(spool_, job_, writerName_);
    }
    ATL::CComPtr<IUnknown> Writer() override {
        return NewObject<IPrintWriteStream, FileWriteStream>(spool_);
    }

private:
    std::shared_ptr<JobState> job_;
    std::string writerName_;
};

class FileInput final : public Link {
public:
    explicit FileInput(std::string path) : path_(std::move(path)) {}
    void Cancel() override {}
    bool ReadToEnd() override { return true; }
    bool WriterClosed() override { return true; }
    void ReaderReturned() override {}
    void WriterReturned() override {}
    ATL::CComPtr<IUnknown> Reader() override {
        return NewObject<IPrintReadStream, FileReadStream>(path_, nullptr);
    }
    ATL::CComPtr<IUnknown> Writer() override { return nullptr; }

private:
    std::string path_;
};

std::string Why(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

} // namespace

std::shared_ptr<Link> MakePartsToBytesSpool(const std::string& spoolPath, HRESULT& hr,
                                            std::string& problem) {
    auto spool = std::make_shared<SpoolState>();
    spool->path = spoolPath;
    ATL::CComPtr<IXpsDocumentConsumer> writer;
    hr = XpsCreatePackageWriter(spoolPath.c_str(), &writer);
    if (FAILED(hr)) {
        ATL::CComBSTR text;
        XpsGetLastOpenErrorText(&text);
        problem = Narrow(text);
        return nullptr;
    }
    return std::make_shared<PartsToBytes>(std::move(spool), std::move(writer));
}

std::shared_ptr<Link> MakeBytesToPartsSpool(const std::string& spoolPath,
                                            std::shared_ptr<JobState> job, std::string writerName,
                                            HRESULT& hr, std::string& problem) {
    auto spool = std::make_shared<SpoolState>();
    spool->path = spoolPath;
    spool->writeFd.Set(open(spoolPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (spool->writeFd.Get() < 0) {
        hr = FromErrno(errno);
        problem = Why(spoolPath, errno);
        return nullptr;
    }
    return std::make_shared<BytesToParts>(std::move(spool), std::move(job), std::move(writerName));
}

std::shared_ptr<Link> MakeFileInput(const std::string& path, HRESULT& hr, std::string& problem) {
    // O_NONBLOCK: a FIFO named here is refused below rather than waited on.
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (fd.Get() < 0 || fstat(fd.Get(), &status) != 0) {
        hr = FromErrno(errno);
        problem = Why(path, errno);
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        hr = E_INVALIDARG;
        problem = path + ": not a regular file";
        return nullptr;
    }
    return std::make_shared<FileInput>(path);
}

} // namespace platform::pipeline
