// Region: a run of sectors inside a NetWare partition, with links to the
// regions before and after it. Volume segments, the redirection area and
// stretches of free space are regions; resize and move code works on them
// through this interface alone. FreeSpace is the plain run of free sectors.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/disk/region_check.h"

#include <cstdint>

class STATE_MAP;
struct PARTITION_INFO;

namespace kw::netware {

// Its start (counted from the start of the partition), length, neighbours and
// integrity check are those of every chained run of sectors (KW_REGION).
class Region : public KW_REGION, public KwEngineAlloc {
public:
    // Allocation unit in sectors.
    virtual uint32_t GetSectorsPerBlock() const = 0;
    // Returns the record the region was attached to before.
    virtual PARTITION_INFO* SetPartition(PARTITION_INFO* pi) = 0;
    virtual PARTITION_INFO* GetPartition() const = 0;
    // Sets the region's in-use sectors in a used-sector map.
    virtual kwRet MarkUsed(STATE_MAP* map, uint32_t flags) = 0;
};

// A run of free sectors that a segment can be moved into; owned by whoever
// made it.
class FreeSpace : public Region {
public:
    FreeSpace(PARTITION_INFO* pi, uint32_t start, uint32_t count)
        : partition_(pi), start_(start), count_(count) {}

    uint32_t GetStartSector() const override { return start_; }
    void SetStartSector(uint32_t sector) override { start_ = sector; }
    uint32_t GetSectorCount() const override { return count_; }
    void SetSectorCount(uint32_t count) override { count_ = count; }
    uint32_t GetSectorsPerBlock() const override { return 1; }
    PARTITION_INFO* SetPartition(PARTITION_INFO* pi) override {
        PARTITION_INFO* old = partition_;
        partition_ = pi;
        return old;
    }
    PARTITION_INFO* GetPartition() const override { return partition_; }
    // A free run has no used sectors.
    kwRet MarkUsed(STATE_MAP*, uint32_t) override { return KW_OK; }

private:
    PARTITION_INFO* partition_;
    uint32_t start_;
    uint32_t count_;
};

} // namespace kw::netware
