#include "engine/core/kwerror.h"
#include "engine/disk/region_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class SectorRun : public KW_REGION {
public:
    SectorRun(uint32_t start, uint32_t count) : start_(start), count_(count) {}
    uint32_t GetStartSector() const override { return start_; }
    void SetStartSector(uint32_t sector) override { start_ = sector; }
    uint32_t GetSectorCount() const override { return count_; }
    void SetSectorCount(uint32_t count) override { count_ = count; }

private:
    uint32_t start_;
    uint32_t count_;
};

// Checks the middle region of a chain of up to three runs; a run of count 0
// at index 0 or 2 stands for "no neighbour" there.
struct Case {
    const char* what;
    uint32_t prevStart, prevCount, start, count, nextStart, nextCount;
    kwRet expected;
};

TEST(RegionCheck, NeighboursAndLengths) {
    const Case cases[] = {
        {"alone", 0, 0, 100, 10, 0, 0, KW_OK},
        {"touching both", 90, 10, 100, 10, 110, 5, KW_OK},
        {"gaps both sides", 10, 10, 100, 10, 200, 5, KW_OK},
        {"empty region", 90, 10, 100, 0, 110, 5, ERR_REGION_NOT_FOUND},
        {"previous one sector too long", 90, 11, 100, 10, 0, 0, ERR_REGION_NOT_FOUND},
        {"next one sector too early", 0, 0, 100, 10, 109, 5, ERR_REGION_NOT_FOUND},
        // An end that wraps past 2^32 still lies beyond the next start.
        {"wrapping end", 0, 0, 0xFFFFFFF0u, 0x20, 5, 1, ERR_REGION_NOT_FOUND},
        {"previous wraps", 0xFFFFFFF0u, 0x20, 5, 1, 0, 0, ERR_REGION_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SectorRun prev(c.prevStart, c.prevCount), mid(c.start, c.count),
            next(c.nextStart, c.nextCount);
        if (c.prevCount != 0) {
            mid.previous = &prev;
            prev.next = &mid;
        }
        if (c.nextCount != 0) {
            mid.next = &next;
            next.previous = &mid;
        }
        EXPECT_EQ(mid.checkIntegrity(nullptr), c.expected) << c.what;
    }
    EXPECT_EQ(checkIntegrity(nullptr, nullptr), ERR_BAD_ARGUMENT);
}

std::vector<kwRet> gPresentedCodes;
kwRet gPresenterResult = KW_OK;

kwRet Present(KWERRORHANDLE handle) {
    gPresentedCodes.push_back(HandleToError(handle)->Code());
    *HandleToError(handle)->Status() = 1; // resolved: logging itself succeeds
    return gPresenterResult;
}

// With an error manager the overlap is logged there and still reported: a
// caller that only looks at the result never takes a broken chain for sound.
TEST(RegionCheck, OverlapIsLoggedAndStillFails) {
    kwSetErrorPresenter(Present);
    gPresentedCodes.clear();
    KWERRORMGR mgr(KWLIST_UNLIMITED, 0xFFFFFFFFu, KWLIST_UNLIMITED);
    SectorRun a(0, 10), b(5, 10);
    b.previous = &a;
    a.next = &b;
    EXPECT_EQ(b.checkIntegrity(&mgr), ERR_REGION_NOT_FOUND);
    ASSERT_EQ(mgr.Count(), 1u);
    EXPECT_EQ(mgr.At(0)->Code(), ERR_REGION_NOT_FOUND);
    EXPECT_EQ(mgr.At(0)->Class(), REGION_ERROR_CLASS);
    EXPECT_EQ(gPresentedCodes, std::vector<kwRet>{ERR_REGION_NOT_FOUND});
    // Logging's own failure (the user cancelled) takes the place of 1459.
    gPresenterResult = ERR_USER_CANCEL;
    EXPECT_EQ(a.checkIntegrity(&mgr), ERR_USER_CANCEL);
    // A sound region logs nothing; an empty one is not logged either.
    gPresenterResult = KW_OK;
    SectorRun lone(50, 0);
    EXPECT_EQ(lone.checkIntegrity(&mgr), ERR_REGION_NOT_FOUND);
    SectorRun sound(50, 1);
    EXPECT_EQ(sound.checkIntegrity(&mgr), KW_OK);
    EXPECT_EQ(mgr.Count(), 2u);
    kwSetErrorPresenter(nullptr);
}

} // namespace
