// The piece cache: least recently used reuse, sharing by count, and the
// pieces of a user that leaves.
#include "engine/imgaccess/piece_cache.h"

#include <gtest/gtest.h>

#include <set>

using namespace kw::imgaccess;

namespace {

int kOwnerA = 0, kOwnerB = 1; // compared by address only

PA_PIECE* Fill(const void* owner, uint64_t start) {
    PA_PIECE* piece = PA_CACHE::TakeOldest(owner);
    if (piece != nullptr) {
        piece->start = start;
        piece->count = 100;
    }
    return piece;
}

} // namespace

TEST(PieceCache, TakesTheLeastRecentlyUsedPieceAndFindsOnlyAnOwnersBytes) {
    ASSERT_EQ(PA_CACHE::Users(), 0u);
    ASSERT_TRUE(PA_CACHE::CreatePool());
    EXPECT_EQ(PA_CACHE::Find(&kOwnerA, 0), nullptr); // new pieces hold nothing
    std::set<PA_PIECE*> taken;
    PA_PIECE* first = Fill(&kOwnerA, 0);
    taken.insert(first);
    for (uint64_t n = 1; n < kPieceCount; ++n)
        taken.insert(Fill(&kOwnerA, n * 100));
    EXPECT_EQ(taken.size(), size_t{kPieceCount});
    EXPECT_EQ(PA_CACHE::Find(&kOwnerA, 150)->start, 100u);
    EXPECT_EQ(PA_CACHE::Find(&kOwnerB, 150), nullptr);
    EXPECT_EQ(PA_CACHE::Find(&kOwnerA, 0), first); // now the most recently used
    PA_PIECE* reused = Fill(&kOwnerB, 0);
    EXPECT_NE(reused, first);
    EXPECT_EQ(reused->owner, &kOwnerB);
    PA_CACHE::FreePool(&kOwnerA);
    EXPECT_EQ(PA_CACHE::Count(), 0u);
}

TEST(PieceCache, IsCreatedOnceAndFreedWithItsLastUser) {
    ASSERT_EQ(PA_CACHE::Users(), 0u);
    ASSERT_TRUE(PA_CACHE::CreatePool());
    PA_PIECE* mine = Fill(&kOwnerA, 0);
    ASSERT_TRUE(PA_CACHE::CreatePool()); // a second user shares the pool
    EXPECT_EQ(PA_CACHE::Users(), 2u);
    EXPECT_EQ(PA_CACHE::Find(&kOwnerA, 5), mine);
    Fill(&kOwnerB, 0);
    PA_CACHE::FreePool(&kOwnerA); // leaves, taking its pieces along
    EXPECT_EQ(PA_CACHE::Users(), 1u);
    EXPECT_EQ(PA_CACHE::Count(), kPieceCount);
    EXPECT_EQ(PA_CACHE::Find(&kOwnerA, 5), nullptr);
    EXPECT_NE(PA_CACHE::Find(&kOwnerB, 5), nullptr);
    PA_CACHE::FreePool(&kOwnerB);
    EXPECT_EQ(PA_CACHE::Users(), 0u);
    EXPECT_EQ(PA_CACHE::Count(), 0u);
    EXPECT_EQ(PA_CACHE::TakeOldest(&kOwnerA), nullptr);
}
