#include "engine/core/kwlist.h"
#include "engine/core/kwmemory.h"

#include <gtest/gtest.h>

#include <limits>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t KB = 1024;
constexpr std::uint64_t MB = 1024 * KB;

TEST(KwMemory, ReleaseBeforeFirstUseAndNullRelease) {
    kwResetMemoryLayerForTest();
    void* p = nullptr;
    EXPECT_EQ(kwFreeMemory(&p), ERR_BAD_POINTER);
    EXPECT_EQ(kwMemoryFlags() & KW_MEM_OPEN, 0u);
    ASSERT_EQ(kwGetMemory(16, &p), KW_OK);
    EXPECT_NE(kwMemoryFlags() & KW_MEM_OPEN, 0u);
    EXPECT_EQ(kwFreeMemory(&p), KW_OK);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(kwFreeMemory(&p), KW_OK); // null: nothing to do
}

TEST(KwMemory, SizeZeroAndInjectedFailureGiveCodeThree) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(kwGetMemory(0, &p), ERR_NO_MEMORY);
    EXPECT_EQ(p, nullptr);

    kwInjectAllocFailure(2); // the second allocation from now fails
    void* first = nullptr;
    EXPECT_EQ(kwGetMemory(8, &first), KW_OK);
    EXPECT_EQ(kwGetMemory(8, &p), ERR_NO_MEMORY);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(kwGetMemory(8, &p), KW_OK); // only that one
    kwFreeMemory(&first);
    kwFreeMemory(&p);

    // Engine objects come out null instead of throwing.
    kwInjectAllocFailure(1);
    KWLIST* list = new KWLIST;
    EXPECT_EQ(list, nullptr);
    void* sector = kwGetSectorBuffer();
    EXPECT_NE(sector, nullptr);
    EXPECT_EQ(kwFreeSectorBuffer(&sector), KW_OK);
    EXPECT_EQ(sector, nullptr);
}

TEST(KwMemory, BadPointersAreLeftAlone) {
    void* heap = nullptr;
    ASSERT_EQ(kwGetMemory(4, &heap), KW_OK);
    EXPECT_FALSE(IsBadPointer(heap));
    EXPECT_TRUE(IsBadPointer(nullptr));
    long page = sysconf(_SC_PAGESIZE);
    void* none = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* readOnly = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(none, MAP_FAILED);
    ASSERT_NE(readOnly, MAP_FAILED);
    EXPECT_TRUE(IsBadPointer(none));
    EXPECT_TRUE(IsBadPointer(readOnly));
    // Released through the allocator: logged, kept, caller's variable unchanged.
    void* p = readOnly;
    EXPECT_EQ(kwFreeMemory(&p), KW_OK);
    EXPECT_EQ(p, readOnly);
    munmap(none, page);
    munmap(readOnly, page);
    EXPECT_EQ(kwFreeMemory(&heap), KW_OK);
}

TEST(KwMemory, BudgetRule) {
    struct Case {
        std::uint32_t load;
        std::uint64_t total, availPhys, availPage;
        bool uvm;
        std::uint64_t budget;
    };
    const Case cases[] = {
        {0, 64 * MB, 512 * KB, 3 * MB, false, 1 * MB},     // raised to 1 MB
        {0, 64 * MB, 512 * KB, 800 * KB, false, 800 * KB}, // the page file is larger
        {0, 64 * MB, 512 * KB, 300 * KB, false, 512 * KB}, // stays
        {50, 64 * MB, 40 * MB, 0, false, 20 * MB},
        {100, 64 * MB, 200 * MB, 0, false, 2 * MB}, // full load counts as 1 percent
        {0, 64 * MB, 1 * MB, 200 * MB, true, 200 * MB},
        {0, 300 * MB, 1 * MB, 200 * MB, true, 300 * MB},
        // Hosts beyond 32 bits get the largest 32-bit budget, not a wrapped one.
        {0, 64 * KB * MB, 16 * KB * MB, 0, false, 0xFFFFFFFFu},
        {0, 64 * KB * MB, 1 * MB, 0, true, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        KW_MEMORY_STATUS s;
        s.loadPercent = c.load;
        s.totalPhys = c.total;
        s.availPhys = c.availPhys;
        s.availPageFile = c.availPage;
        EXPECT_EQ(kwComputeMemoryBudget(s, c.uvm), c.budget)
            << "load " << c.load << " avail " << c.availPhys << " page " << c.availPage;
    }
}

TEST(KwMemory, BudgetOfThisHost) {
    std::uint32_t budget = 0, o1 = 7, o2 = 7;
    EXPECT_EQ(kwQueryMemoryBudget(&budget, &o1, &o2), KW_OK);
    EXPECT_GE(budget, 1 * MB);
    EXPECT_EQ(o1, 0u);
    EXPECT_EQ(o2, 0u);
}

} // namespace
