// The delay-load stubs of the driver's core library: the library's definitions of the core
// library operations it calls. Each stub finds the core library's own operation at its first
// call through the platform's delay-load helper (which runs DllDelayLoader's hook, loading the
// core library), keeps its address and calls it.
//
// The operations are C++ members, found under their Itanium C++ ABI names and called as the
// ABI calls a non-virtual member: a function whose first parameter is the object (after the
// return slot where the result is returned through memory). A constructor builds the object
// in the storage given, a destructor destroys its members; the class's own members are
// trivially built and destroyed here, so the stubs add nothing to what the core library does.
// The test of the stubs calls every import of the real core library.
#include <kldcore/pagesizedictionary.h>
#include <kldcore/valueid.h>

#include <utilitiesstaticlib/dlldelayloader.h>

#include <delayimp.h>

#include <type_traits>

static_assert(__GXX_ABI_VERSION >= 1002, "the stubs call members by the Itanium C++ ABI");
static_assert(std::is_trivially_destructible_v<ValueId>);

namespace {

enum Import : size_t {
    kConstruct,
    kDestroy,
    kGetPageSizeEntryRefs,
    kDump,
    kGetValueId,
    kGetMsPageMediaSizeOptionName,
    kIsPredefinedMsOptionName,
    kGetValueEnum,
    kImportCount,
};

const LPCSTR kImportNames[kImportCount + 1] = {
    "_ZN18PageSizeDictionaryC1EPK20PageSizeStringLoader",
    "_ZN18PageSizeDictionaryD1Ev",
    "_ZNK18PageSizeDictionary20GetPageSizeEntryRefsERK9DimensionS2_",
    "_ZNK18PageSizeDictionary4DumpEv",
    "_ZNK23PageSizeDictionaryEntry10GetValueIdEv",
    "_ZNK23PageSizeDictionaryEntry28GetMsPageMediaSizeOptionNameEv",
    "_ZNK23PageSizeDictionaryEntry24IsPredefinedMsOptionNameEv",
    "_ZNK7ValueId12GetValueEnumEv",
    nullptr,
};

HMODULE g_module = nullptr;
FARPROC g_addresses[kImportCount] = {};

const ImgDelayDescr kCoreLibrary = {
    0,
    "libkldcore.so",
    &g_module,
    g_addresses,
    kImportNames,
    &__pfnDliNotifyHook2,
    &__pfnDliFailureHook2,
};

// The operation's address, resolved at the first call.
template <class Function>
Function Resolve(Import import) {
    FARPROC address = __atomic_load_n(&g_addresses[import], __ATOMIC_ACQUIRE);
    if (!address) {
        address = __delayLoadHelper2(&kCoreLibrary, &g_addresses[import]);
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

} // namespace

// Calls through the resolved addresses have the member's type, not the pointer's.
#if defined(__clang__)
#define FU_DELAY_LOAD_STUB __attribute__((no_sanitize("function")))
#else
#define FU_DELAY_LOAD_STUB
#endif

FU_DELAY_LOAD_STUB PageSizeDictionary::PageSizeDictionary(const PageSizeStringLoader* loader)
    : m_table(nullptr) {
    Resolve<void (*)(PageSizeDictionary*, const PageSizeStringLoader*)>(kConstruct)(this, loader);
}

FU_DELAY_LOAD_STUB PageSizeDictionary::~PageSizeDictionary() {
    Resolve<void (*)(PageSizeDictionary*)>(kDestroy)(this);
}

FU_DELAY_LOAD_STUB std::vector<const PageSizeDictionaryEntry*>
PageSizeDictionary::GetPageSizeEntryRefs(const Dimension& width, const Dimension& height) const {
    using Function = std::vector<const PageSizeDictionaryEntry*> (*)(
        const PageSizeDictionary*, const Dimension&, const Dimension&);
    return Resolve<Function>(kGetPageSizeEntryRefs)(this, width, height);
}

FU_DELAY_LOAD_STUB CXString PageSizeDictionary::Dump() const {
    return Resolve<CXString (*)(const PageSizeDictionary*)>(kDump)(this);
}

FU_DELAY_LOAD_STUB const ValueId& PageSizeDictionaryEntry::GetValueId() const {
    return Resolve<const ValueId& (*)(const PageSizeDictionaryEntry*)>(kGetValueId)(this);
}

FU_DELAY_LOAD_STUB const CXString& PageSizeDictionaryEntry::GetMsPageMediaSizeOptionName() const {
    return Resolve<const CXString& (*)(const PageSizeDictionaryEntry*)>(
        kGetMsPageMediaSizeOptionName)(this);
}

FU_DELAY_LOAD_STUB bool PageSizeDictionaryEntry::IsPredefinedMsOptionName() const {
    return Resolve<bool (*)(const PageSizeDictionaryEntry*)>(kIsPredefinedMsOptionName)(this);
}

FU_DELAY_LOAD_STUB DataModelIds::tagValueEnum ValueId::GetValueEnum() const {
    return Resolve<DataModelIds::tagValueEnum (*)(const ValueId*)>(kGetValueEnum)(this);
}
