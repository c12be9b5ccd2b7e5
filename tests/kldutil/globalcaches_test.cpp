#include "kldutil/datamodeltesthelpers.h"

#include <kldutil/globalcaches.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

AttributeBytesFeatureId F(int id) {
    return AttributeBytesFeatureId(id);
}
const AttributeBytesNameSpacesId kDocProp(1);

// A list that names its key, so a hit can be checked against what was asked.
AttributeBytesIndexedList ListFor(int key) {
    AttributeBytesIndexedList list;
    list.SetIntegerValue(F(1), key);
    return list;
}

std::vector<BYTE> BytesFor(int key) {
    return std::vector<BYTE>(64, static_cast<BYTE>(key));
}

class KDevmodeCacheTest : public testing::Test {
protected:
    void SetUp() override { GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache(); }
    void TearDown() override { GlobalCaches::ClearKDevmodeAttributeBytesIndexedListCache(); }

    static void Add(AttributeBytesNameSpacesId ns, DWORD checksum, const std::vector<BYTE>& bytes,
                    const AttributeBytesIndexedList& list) {
        GlobalCaches::AddKDevmodeAttributeBytesIndexedListCache(
            ns, checksum, bytes.data(), static_cast<DWORD>(bytes.size()), list);
    }
    static bool Check(AttributeBytesNameSpacesId ns, DWORD checksum, const std::vector<BYTE>& bytes,
                      AttributeBytesIndexedList& list) {
        return GlobalCaches::CheckKDevmodeAttributeBytesIndexedListCache(
            ns, checksum, bytes.data(), static_cast<DWORD>(bytes.size()), list);
    }
};

} // namespace

TEST_F(KDevmodeCacheTest, HitsOnlyOnTheSameNamespaceChecksumAndBytes) {
    AttributeBytesIndexedList list;
    EXPECT_FALSE(Check(kDocProp, 7, BytesFor(1), list));
    Add(kDocProp, 7, BytesFor(1), ListFor(1));

    EXPECT_TRUE(Check(kDocProp, 7, BytesFor(1), list));
    EXPECT_EQ(ListFor(1), list);

    AttributeBytesIndexedList untouched = ListFor(99);
    EXPECT_FALSE(Check(AttributeBytesNameSpacesId(2), 7, BytesFor(1), untouched));
    EXPECT_FALSE(Check(kDocProp, 8, BytesFor(1), untouched));
    // Same checksum, other bytes: a CRC collision must not share an entry.
    EXPECT_FALSE(Check(kDocProp, 7, BytesFor(2), untouched));
    EXPECT_EQ(ListFor(99), untouched);

    // The cache holds a copy: changing the list handed out changes nothing there.
    list.SetIntegerValue(F(1), 5);
    EXPECT_TRUE(Check(kDocProp, 7, BytesFor(1), list));
    EXPECT_EQ(ListFor(1), list);

    Add(kDocProp, 9, BytesFor(3), AttributeBytesIndexedList());
    EXPECT_EQ(1u, GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize())
        << "an empty list is not kept";
}

TEST_F(KDevmodeCacheTest, StaysBoundedAndDropsTheLeastRecentlyUsed) {
    const DWORD capacity = GlobalCaches::kKDevmodeCacheCapacity;
    for (DWORD key = 0; key < capacity; ++key) {
        Add(kDocProp, key, BytesFor(static_cast<int>(key)), ListFor(static_cast<int>(key)));
    }
    AttributeBytesIndexedList list;
    ASSERT_TRUE(Check(kDocProp, 0, BytesFor(0), list)); // 0 is now the most recently used
    Add(kDocProp, capacity, BytesFor(static_cast<int>(capacity)),
        ListFor(static_cast<int>(capacity)));
    EXPECT_EQ(capacity, GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize());
    EXPECT_TRUE(Check(kDocProp, 0, BytesFor(0), list));
    EXPECT_FALSE(Check(kDocProp, 1, BytesFor(1), list)) << "1 was the oldest";
    EXPECT_TRUE(Check(kDocProp, capacity, BytesFor(static_cast<int>(capacity)), list));
}

// Threads add and look up overlapping keys, more than the cache holds; every hit must give
// the list of the key asked for, and the cache stays within its bound.
TEST_F(KDevmodeCacheTest, ThreadsShareTheCacheSafely) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    constexpr int kKeys = 48;
    std::atomic<int> wrong{0};
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const int key = (round * 7 + t * 13) % kKeys;
                const std::vector<BYTE> bytes = BytesFor(key);
                AttributeBytesIndexedList list;
                if (Check(kDocProp, static_cast<DWORD>(key), bytes, list)) {
                    ++hits;
                    if (!(list == ListFor(key))) {
                        ++wrong;
                    }
                } else {
                    Add(kDocProp, static_cast<DWORD>(key), bytes, ListFor(key));
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(hits.load(), 0);
    EXPECT_LE(GlobalCaches::GetKDevmodeAttributeBytesIndexedListCacheSize(),
              GlobalCaches::kKDevmodeCacheCapacity);
}
