// BAD_SECT_LIST::TestSects: the read test of a run of a partition's sectors.
#include "engine/core/dbgmgr.h"
#include "engine/core/kwmemory.h"
#include "engine/core/progress.h"
#include "engine/core/sectlist.h"
#include "engine/disk/kwlib.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kChunkSectors = 630;
constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kProgressAbove = 1000;

// Read failures that are not about the sectors themselves: the test stops
// and hands them up without recording anything.
bool endsTheTest(kwRet rc) {
    return rc == ERR_DRIVE_NOT_READY || rc == ERR_BAD_POINTER || rc == ERR_LOCK_NOT_RELEASED ||
           rc == ERR_INVALID_DRIVE || rc == ERR_LOCK_VIOLATION;
}

} // namespace

// Reads the n sectors of a failed chunk one at a time and records the bad
// ones; 1035 when the budget of bad sectors runs out.
static kwRet recordBadSectors(BAD_SECT_LIST* list, std::uint32_t handle, std::uint32_t first,
                              std::uint32_t n, void* buffer, std::uint32_t* budget) {
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t s = first + k;
        if (kwLogRead(handle, s, buffer, 1) == KW_OK)
            continue;
        const kwRet rc = list->Add(s);
        if (rc != KW_OK)
            return rc;
        if (*budget > 0)
            --*budget;
        if (*budget == 0)
            return ERR_TOO_MANY_BAD_SECTORS;
    }
    return KW_OK;
}

kwRet BAD_SECT_LIST::TestSects(std::uint32_t handle, std::uint32_t first, std::uint32_t count,
                               std::uint32_t textId, std::uint32_t budget) {
    DbgPrintf("Testing %lu sectors starting at sector %lu\n", static_cast<unsigned long>(count),
              static_cast<unsigned long>(first));
    if (count == 0)
        return KW_OK;
    Progress* progress = nullptr;
    if (count > kProgressAbove) {
        progress = new Progress;
        if (progress == nullptr)
            return ERR_NO_MEMORY;
        progress->SetTextId(textId);
    }
    void* buffer = nullptr;
    kwRet rc = kwGetMemory(kChunkSectors * kSectorBytes, &buffer);
    for (std::uint32_t done = 0; rc == KW_OK && done < count;) {
        const std::uint32_t sector = first + done;
        const std::uint32_t n = std::min(count - done, kChunkSectors);
        rc = kwLogRead(handle, sector, buffer, n);
        if (rc == ERR_OUT_OF_RANGE) {
            DbgPrintf("BAD_SECT_LIST::TestSects sector out of range of partition boundary: "
                      "Start=%lu, Sectors=%lu.\n",
                      static_cast<unsigned long>(sector), static_cast<unsigned long>(n));
            break;
        }
        if (rc != KW_OK && !endsTheTest(rc))
            rc = recordBadSectors(this, handle, sector, n, buffer, &budget);
        done += n;
        if (rc == KW_OK && progress != nullptr)
            rc = progress->UpdateCount(done, count);
    }
    if (rc == KW_OK && progress != nullptr)
        rc = progress->Done();
    delete progress;
    kwFreeMemory(&buffer);
    return rc;
}
