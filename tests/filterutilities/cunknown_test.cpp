#include <filterutilities/cunknown.h>

#include <atlbase.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include "comtest.h"

#include <thread>
#include <vector>

MIDL_INTERFACE("6b1d3c4e-2f0a-4e55-9a77-0c1d2e3f4a5b") ITestWidget : public IUnknown {
    virtual int STDMETHODCALLTYPE Answer() = 0;
};
PLATFORM_DECLARE_IID(ITestWidget, 0x6b1d3c4e, 0x2f0a, 0x4e55, 0x9a, 0x77, 0x0c, 0x1d, 0x2e, 0x3f,
                     0x4a, 0x5b);

namespace {

class CWidget : public CUnknown<ITestWidget> {
public:
    explicit CWidget(bool* destroyed) : CUnknown(IID_ITestWidget), m_destroyed(destroyed) {}
    ~CWidget() override { *m_destroyed = true; }
    CWidget(const CWidget&) = default;
    int STDMETHODCALLTYPE Answer() override { return 42; }
    void SetDestroyedFlag(bool* destroyed) { m_destroyed = destroyed; }

private:
    bool* m_destroyed;
};

TEST(CUnknown, StartsWithOneReferenceAndDiesWithTheLast) {
    bool destroyed = false;
    CWidget* widget = new CWidget(&destroyed);
    EXPECT_REF(widget, 1);
    EXPECT_EQ(2u, widget->AddRef());
    EXPECT_EQ(1u, widget->Release());
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(0u, widget->Release());
    EXPECT_TRUE(destroyed);
}

TEST(CUnknown, QueryInterfaceAnswersIUnknownAndItsInterface) {
    bool destroyed = false;
    CComPtr<ITestWidget> widget;
    widget.Attach(new CWidget(&destroyed));

    struct Case {
        const char* what;
        const IID& iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {"IUnknown", IID_IUnknown, S_OK},
        {"own interface", IID_ITestWidget, S_OK},
        {"other interface", IID_IStream, E_NOINTERFACE},
        {"base of another interface", IID_ISequentialStream, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.expected, widget->QueryInterface(c.iid, &object));
        if (c.expected == S_OK) {
            EXPECT_EQ(static_cast<ITestWidget*>(widget), object);
            EXPECT_REF(widget.p, 2);
            static_cast<IUnknown*>(object)->Release();
        } else {
            EXPECT_EQ(nullptr, object);
        }
        EXPECT_REF(widget.p, 1);
    }

    EXPECT_EQ(E_POINTER, widget->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_REF(widget.p, 1);

    CComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, widget.QueryInterface(&unknown));
    EXPECT_TRUE(widget.IsEqualObject(unknown));
    EXPECT_EQ(42, widget->Answer());
    unknown.Release();
    widget.Release();
    EXPECT_TRUE(destroyed);
}

TEST(CUnknown, ACopyIsANewObjectWithOneReference) {
    bool originalDestroyed = false;
    bool copyDestroyed = false;
    CWidget* original = new CWidget(&originalDestroyed);
    original->AddRef();
    original->AddRef();
    CWidget* copy = new CWidget(*original);
    copy->SetDestroyedFlag(&copyDestroyed);
    EXPECT_REF(copy, 1);
    EXPECT_REF(original, 3);
    void* object = nullptr;
    EXPECT_EQ(S_OK, copy->QueryInterface(IID_ITestWidget, &object)); // the identifier is copied
    copy->Release();
    EXPECT_EQ(0u, copy->Release());
    EXPECT_TRUE(copyDestroyed);
    EXPECT_FALSE(originalDestroyed);
    original->Release();
    original->Release();
    original->Release();
    EXPECT_TRUE(originalDestroyed);
}

TEST(CUnknown, CountsReferencesAcrossThreads) {
    bool destroyed = false;
    CWidget* widget = new CWidget(&destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([widget] {
            for (int i = 0; i < 20000; ++i) {
                widget->AddRef();
                widget->Release();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_REF(widget, 1);
    widget->Release();
    EXPECT_TRUE(destroyed);
}

} // namespace
