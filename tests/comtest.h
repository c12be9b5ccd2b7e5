// Helpers for tests of COM objects.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace comtest {

// The current reference count of a COM object, read without changing it: AddRef answers the
// count plus one, the matching Release the count itself.
template <class Interface>
ULONG RefCount(Interface* object) {
    object->AddRef();
    return object->Release();
}

} // namespace comtest

// Expects that obj (a COM interface pointer) holds exactly n references.
#define EXPECT_REF(obj, n) EXPECT_EQ(static_cast<ULONG>(n), ::comtest::RefCount(obj))
