#include "com/comobject.h"

#include "atlbase.h"
#include "comtest.h"
#include "platformtest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// clang-format off
MIDL_INTERFACE("6f1c2a10-0b7e-4c55-9a41-2d3e4f5a6b70") IShape : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Sides(int* sides) = 0;
};
PLATFORM_DECLARE_IID(IShape, 0x6f1c2a10, 0x0b7e, 0x4c55, 0x9a, 0x41, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b,
                     0x70);
MIDL_INTERFACE("6f1c2a11-0b7e-4c55-9a41-2d3e4f5a6b70") ISquare : public IShape {
    virtual HRESULT STDMETHODCALLTYPE Side(int* side) = 0;
};
PLATFORM_DECLARE_IID(ISquare, 0x6f1c2a11, 0x0b7e, 0x4c55, 0x9a, 0x41, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b,
                     0x70);
MIDL_INTERFACE("6f1c2a12-0b7e-4c55-9a41-2d3e4f5a6b70") INamed : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Name(BSTR* name) = 0;
};
PLATFORM_DECLARE_IID(INamed, 0x6f1c2a12, 0x0b7e, 0x4c55, 0x9a, 0x41, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b,
                     0x70);
// clang-format on

namespace {

// A part of the object that is no COM interface but is handed out by IID, as the DOM hands
// out the core of its node objects.
class Inner {
public:
    virtual int Secret() = 0;

protected:
    ~Inner() = default;
};

} // namespace

template <>
struct PlatformInterfaceId<Inner> {
    static constexpr IID value{
        0x6f1c2a13, 0x0b7e, 0x4c55, {0x9a, 0x41, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b, 0x70}};
};

namespace {

using platform::com::Guarded;
using platform::com::Require;

std::atomic<int> liveSquares{0};

class Square final : public platform::com::Object<Square, ISquare, INamed, Inner> {
public:
    using Interfaces = platform::com::InterfaceTable<ISquare, IShape, INamed, Inner>;

    explicit Square(int side, bool throwInConstructor = false) : side_(side) {
        if (throwInConstructor) {
            throw std::bad_alloc();
        }
        ++liveSquares;
    }
    ~Square() override { --liveSquares; }

    HRESULT STDMETHODCALLTYPE Sides(int* sides) override {
        *sides = 4;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Side(int* side) override {
        *side = side_;
        return S_OK;
    }
    // Allocates twice: a standard string, then the BSTR from the platform allocator.
    HRESULT STDMETHODCALLTYPE Name(BSTR* name) override {
        return Guarded([&] {
            const std::u16string text = u"square of side " + std::u16string(1, u'0' + side_);
            *name = Require(SysAllocString(text.c_str()));
            return S_OK;
        });
    }
    int Secret() override { return 42; }

private:
    int side_;
};

class SquareTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, liveSquares.load()); }
    void TearDown() override { EXPECT_EQ(0, liveSquares.load()) << "a square leaked"; }
};

struct Lookup {
    const char* name;
    IID iid;
    void* (*expected)(Square*);
};

TEST_F(SquareTest, QueryInterfaceAnswersEveryTableEntryWithOneReferenceAdded) {
    Square* square = platform::com::New<Square>(3);
    ASSERT_NE(nullptr, square);
    const Lookup lookups[] = {
        {"IUnknown", IID_IUnknown, [](Square* s) -> void* { return static_cast<ISquare*>(s); }},
        {"ISquare", IID_ISquare, [](Square* s) -> void* { return static_cast<ISquare*>(s); }},
        {"IShape", IID_IShape, [](Square* s) -> void* { return static_cast<IShape*>(s); }},
        {"INamed", IID_INamed, [](Square* s) -> void* { return static_cast<INamed*>(s); }},
        {"Inner", __uuidof(Inner), [](Square* s) -> void* { return static_cast<Inner*>(s); }},
    };
    for (const Lookup& lookup : lookups) {
        SCOPED_TRACE(lookup.name);
        void* found = nullptr;
        ASSERT_EQ(S_OK, square->QueryInterface(lookup.iid, &found));
        EXPECT_EQ(lookup.expected(square), found);
        EXPECT_REF(static_cast<ISquare*>(square), 2);
        square->Release();
    }
    EXPECT_EQ(42, static_cast<Inner*>(square)->Secret());
    square->Release();
}

TEST_F(SquareTest, QueryInterfaceRefusesWhatTheTableLacks) {
    Square* square = platform::com::New<Square>(3);
    ASSERT_NE(nullptr, square);
    void* found = &found;
    EXPECT_EQ(E_NOINTERFACE, square->QueryInterface(IID_IStream, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(E_POINTER, square->QueryInterface(IID_ISquare, nullptr));
    EXPECT_REF(static_cast<ISquare*>(square), 1);
    square->Release();
}

// COM identity: IUnknown is one pointer whichever interface is asked, including the second
// base (INamed has an IUnknown of its own inside the object).
TEST_F(SquareTest, EveryInterfaceGivesTheSameIUnknown) {
    CComPtr<ISquare> square;
    square.Attach(platform::com::New<Square>(2));
    CComPtr<INamed> named;
    ASSERT_EQ(S_OK, square->QueryInterface(&named));
    CComPtr<IUnknown> fromSquare;
    CComPtr<IUnknown> fromNamed;
    ASSERT_EQ(S_OK, square->QueryInterface(&fromSquare));
    ASSERT_EQ(S_OK, named->QueryInterface(&fromNamed));
    EXPECT_EQ(fromSquare.p, fromNamed.p);
    EXPECT_NE(static_cast<void*>(named.p), static_cast<void*>(fromNamed.p));
    // One count for the object, whichever interface AddRef and Release go through.
    EXPECT_REF(square.p, 4);
    EXPECT_REF(named.p, 4);
}

TEST_F(SquareTest, TheLastReleaseDeletesOnce) {
    Square* square = platform::com::New<Square>(1);
    ASSERT_NE(nullptr, square);
    EXPECT_EQ(2u, square->AddRef());
    EXPECT_EQ(1u, square->Release());
    EXPECT_EQ(1, liveSquares.load());
    EXPECT_EQ(0u, square->Release());
    EXPECT_EQ(0, liveSquares.load());
}

// Many threads share the object, as filters on their own threads share pipeline objects;
// a count that is not atomic loses updates here and frees the object early or never.
TEST_F(SquareTest, CountsStayExactAcrossThreads) {
    Square* square = platform::com::New<Square>(5);
    ASSERT_NE(nullptr, square);
    constexpr int threads = 8;
    constexpr int rounds = 20000;
    // Each thread takes one reference of its own before it starts and gives it up last, so
    // the final Release of the object happens on some worker thread.
    for (int t = 0; t < threads; ++t) {
        square->AddRef();
    }
    square->Release();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([square] {
            for (int i = 0; i < rounds; ++i) {
                square->AddRef();
                INamed* named = nullptr;
                if (square->QueryInterface(&named) == S_OK) {
                    named->Release();
                }
                square->Release();
            }
            square->Release();
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(0, liveSquares.load());
}

TEST_F(SquareTest, MakingAnObjectUsesThePlatformAllocator) {
    const unsigned long before = platformtest::AllocationCount();
    Square* square = platform::com::New<Square>(1);
    ASSERT_NE(nullptr, square);
    EXPECT_EQ(before + 1, platformtest::AllocationCount());
    square->Release();

    {
        platformtest::AllocationFailure failure(1);
        EXPECT_EQ(nullptr, platform::com::New<Square>(1));
    }
    {
        platformtest::AllocationFailure failure(1);
        void* object = &object;
        EXPECT_EQ(E_OUTOFMEMORY, platform::com::CreateInstance<Square>(IID_ISquare, &object, 1));
        EXPECT_EQ(nullptr, object);
    }
    // A constructor running out of memory: nothing is made and its memory goes back.
    EXPECT_EQ(nullptr, platform::com::New<Square>(1, true));
}

TEST_F(SquareTest, CreateInstanceHandsOutTheAskedInterfaceOnly) {
    void* object = nullptr;
    ASSERT_EQ(S_OK, platform::com::CreateInstance<Square>(IID_INamed, &object, 7));
    auto* named = static_cast<INamed*>(object);
    EXPECT_REF(named, 1);
    named->Release();

    object = &object;
    EXPECT_EQ(E_NOINTERFACE, platform::com::CreateInstance<Square>(IID_IStream, &object, 7));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, platform::com::CreateInstance<Square>(IID_INamed, nullptr, 7));
}

TEST_F(SquareTest, AGuardedMethodAnswersOutOfMemoryAndLeaksNothing) {
    CComPtr<INamed> named;
    named.Attach(platform::com::New<Square>(4));
    BSTR name = nullptr;
    {
        // The BSTR is the method's only allocation through the platform allocator.
        platformtest::AllocationFailure failure(1);
        EXPECT_EQ(E_OUTOFMEMORY, named->Name(&name));
    }
    EXPECT_EQ(nullptr, name);
    ASSERT_EQ(S_OK, named->Name(&name));
    EXPECT_EQ(std::u16string(u"square of side 4"), std::u16string(name));
    SysFreeString(name);
}

TEST(GuardedTest, TurnsRunningOutOfMemoryIntoOutOfMemory) {
    struct Case {
        const char* name;
        HRESULT (*body)();
        HRESULT expected;
    };
    const Case cases[] = {
        {"result passes through", [] { return S_FALSE; }, S_FALSE},
        {"failure passes through", [] { return E_INVALIDARG; }, E_INVALIDARG},
        {"std::bad_alloc", []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"std::length_error",
         []() -> HRESULT {
             std::string text;
             text.resize(text.max_size() + 1);
             return S_OK;
         },
         E_OUTOFMEMORY},
        {"platform allocation answering null",
         [] {
             platformtest::AllocationFailure failure(1);
             BSTR text = Require(SysAllocString(u"x"));
             SysFreeString(text);
             return S_OK;
         },
         E_OUTOFMEMORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Guarded(c.body));
    }
}

} // namespace
