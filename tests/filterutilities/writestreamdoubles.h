// Write streams that keep what they are given: a pipeline IPrintWriteStream and a COM
// ISequentialStream. Each can take only part of a write, fail at its n-th write, claim more than
// it took, or stop taking anything; any other call fails the test.
#pragma once

#include "pipelinetestdoubles.h"

#include <algorithm>
#include <string>

namespace writestreamtest {

struct Behaviour {
    ULONG chunk = 0xFFFFFFFFu; // the most bytes one write takes (0: takes nothing)
    int failAt = 0;            // the 1-based write that answers failure (0: none)
    HRESULT failure = E_FAIL;  // what it answers
    ULONG overstatement = 0;   // added to the count a write reports
};

class Sink {
public:
    std::string bytes;
    int writes = 0;
    Behaviour behaviour;

protected:
    HRESULT Take(const void* buffer, ULONG count, ULONG* written) {
        EXPECT_NE(nullptr, buffer);
        EXPECT_NE(nullptr, written);
        ++writes;
        *written = 0;
        if (writes == behaviour.failAt) {
            return behaviour.failure;
        }
        const ULONG taken = std::min(count, behaviour.chunk);
        bytes.append(static_cast<const char*>(buffer), taken);
        *written = taken + behaviour.overstatement;
        return S_OK;
    }
};

class PrintWriteStream : public pipelinetest::Double<IPrintWriteStream>, public Sink {
public:
    STDMETHODIMP WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        return Take(buffer, count, written);
    }
    void STDMETHODCALLTYPE Close() override { ADD_FAILURE() << "a writer closed the stream"; }
};

class SequentialStream : public pipelinetest::Double<ISequentialStream>, public Sink {
public:
    STDMETHODIMP Read(void*, ULONG, ULONG*) override {
        ADD_FAILURE() << "a writer read the stream";
        return E_UNEXPECTED;
    }
    STDMETHODIMP Write(const void* buffer, ULONG count, ULONG* written) override {
        return Take(buffer, count, written);
    }
};

} // namespace writestreamtest
