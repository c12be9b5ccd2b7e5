#include "delayloadtest.h"

#include <kldcore/pagesizedictionary.h>
#include <utilitiesstaticlib/dlldelayloader.h>

#include <delayimp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using delayloadtest::kCoreLibrary;
using loadertest::Loaded;

// Everything the library asks of the core library, through the stubs, as the page media size
// code asks it: the entries of A4 given in tenths of a millimetre.
std::string AskForA4() {
    const PageSizeDictionary dictionary(nullptr);
    std::string answer;
    for (const PageSizeDictionaryEntry* entry :
         dictionary.GetPageSizeEntryRefs(Dimension(2100, Dimension::TenthMillimetre),
                                         Dimension(2970, Dimension::TenthMillimetre))) {
        answer += entry->GetMsPageMediaSizeOptionName().ToUtf8() + " " +
                  std::to_string(entry->GetValueId().GetValueEnum()) +
                  (entry->IsPredefinedMsOptionName() ? " keywords; " : " private; ");
    }
    return answer;
}

constexpr char kA4[] = "ISOA4 5109 keywords; A4Small 5110 private; A4Transverse 5155 private; ";

class CoreLibraryStubs : public testing::Test {
protected:
    void SetUp() override {
        DllDelayLoader::Instance().Enable(delayloadtest::Program());
        ASSERT_FALSE(Loaded(kCoreLibrary));
    }
    // The loader took one reference: one unload unloads the core library.
    void ExpectLoadedOnce() {
        EXPECT_EQ(std::vector<std::string>{kCoreLibrary},
                  DllDelayLoader::Instance().LoadedModuleNames());
        EXPECT_TRUE(__FUnloadDelayLoadedDLL2(kCoreLibrary));
        EXPECT_FALSE(Loaded(kCoreLibrary));
    }
};

TEST_F(CoreLibraryStubs, TheFirstUseLoadsTheCoreLibraryAndLaterUsesDoNotLoadItAgain) {
    EXPECT_EQ(kA4, AskForA4());
    EXPECT_TRUE(Loaded(kCoreLibrary));
    EXPECT_EQ(kA4, AskForA4());
    {
        const PageSizeDictionary dictionary(nullptr);
        const std::string dump = dictionary.Dump().ToUtf8();
        EXPECT_EQ(0u, dump.find("Page size dictionary: 185 sizes")) << dump.substr(0, 80);
    }
    ExpectLoadedOnce();
}

TEST_F(CoreLibraryStubs, ConcurrentFirstUsesLoadTheCoreLibraryOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<std::string> answers(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            answers[i] = AskForA4();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& answer : answers) {
        EXPECT_EQ(kA4, answer);
    }
    ExpectLoadedOnce();
}

} // namespace
