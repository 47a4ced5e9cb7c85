// The two tables of a redirection area, one 32-bit entry per area block:
// the redirection table (system block, free, or the data sector of the bad
// block the area block stands in for) and the error table kept in step with
// it. Each is stored in table blocks named by the hot-fix header's
// descriptors, every block with a primary copy and a second copy.
//
// Entries live in memory from kwGetMemory, owned by the table. Entry indexes
// are checked against the entry count; nothing reads or writes past it.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"

#include <cstdint>

struct PARTITION_INFO;

namespace kw::netware {

// Read and write flags: primary copies only / second copies only.
inline constexpr uint32_t kTablePrimaryOnly = 0x1;
inline constexpr uint32_t kTableCopyOnly = 0x2;

class RedirectionAreaTable : public KwEngineAlloc {
public:
    // The header is the current hot-fix header (512 bytes); the table keeps
    // its own copy of the descriptors.
    RedirectionAreaTable(PARTITION_INFO* pi, const uint8_t* header);
    virtual ~RedirectionAreaTable();
    RedirectionAreaTable(const RedirectionAreaTable&) = delete;
    RedirectionAreaTable& operator=(const RedirectionAreaTable&) = delete;

    // Obtains the memory (3 when it cannot), zeroed when asked.
    kwRet Initialise(bool empty);
    kwRet Read(uint32_t flags, uint32_t startOffset);
    kwRet Write(uint32_t flags, uint32_t startOffset);

    uint32_t Entries() const { return entries_; }
    uint32_t Get(uint32_t index) const;
    virtual void Set(uint32_t index, uint32_t value);
    bool IsFree(uint32_t index) const { return Get(index) == 0; }
    // Marks the block holding a sector, or a block, as a system block.
    uint32_t MarkSystemSector(uint32_t sector);
    void MarkSystemIndex(uint32_t index);
    // Header copies, mirror copies, table blocks and blocks 0-19.
    void MarkSystemBlocks();
    // Writes 0xFFFFFFFE at the fixed system positions of a remap array of
    // Entries() words.
    void MarkSystemEntries(uint32_t* remap) const;
    // Copies the other table's redirected entries (the smaller count).
    void CopyFrom(const RedirectionAreaTable& other);
    // Reads the stored second copy and says whether it equals memory.
    kwRet CompareWithCopy(bool* identical);
    // Frees every redirected entry pointing into [start, start + count) and
    // lowers those behind it; true when anything changed.
    bool DeleteDataRange(uint32_t start, uint32_t count);
    bool InsertDataRange(uint32_t start, uint32_t count);

    uint32_t TableBytes() const { return tableBytes_; }
    uint32_t SectorsPerBlock() const { return sectorsPerBlock_; }

protected:
    // Sector of a descriptor's primary and second copy.
    virtual uint32_t PrimarySector(uint32_t descriptor) const = 0;
    virtual uint32_t CopySector(uint32_t descriptor) const = 0;
    uint32_t DescriptorField(uint32_t descriptor, uint32_t field) const;
    uint32_t Descriptors() const;

private:
    kwRet Transfer(bool write, uint32_t flags, uint32_t startOffset);

    PARTITION_INFO* pi_;
    uint8_t tables_[480] = {};
    uint8_t* table_ = nullptr;
    uint32_t sectorsPerBlock_ = 0;
    uint32_t entries_ = 0;
    uint32_t tableBytes_ = 0;
};

// The redirection table, with its counts of system, redirected and free
// entries (recomputed when a change made them stale).
class RedirectTable : public RedirectionAreaTable {
public:
    using RedirectionAreaTable::RedirectionAreaTable;

    void Set(uint32_t index, uint32_t value) override;
    uint32_t SystemBlocks();
    uint32_t RedirectedBlocks();
    uint32_t FreeBlocks();
    // The first redirected entry (the last free one when none is).
    uint32_t FirstRedirected();
    // Redirected entries form one run from FirstRedirected() up to the first
    // free entry: the end of that run.
    uint32_t RedirectedEnd();

protected:
    uint32_t PrimarySector(uint32_t d) const override { return DescriptorField(d, 0); }
    uint32_t CopySector(uint32_t d) const override { return DescriptorField(d, 8); }

private:
    void Count();

    bool stale_ = true;
    uint32_t system_ = 0;
    uint32_t redirected_ = 0;
    uint32_t free_ = 0;
    uint32_t firstRedirected_ = 0;
};

class ErrorTable : public RedirectionAreaTable {
public:
    using RedirectionAreaTable::RedirectionAreaTable;

protected:
    uint32_t PrimarySector(uint32_t d) const override { return DescriptorField(d, 4); }
    uint32_t CopySector(uint32_t d) const override { return DescriptorField(d, 12); }
};

// A redirected entry: neither free, reserved nor a system block.
inline bool IsRedirected(uint32_t value) {
    return value != 0 && value < 0xFFFFFFFE;
}

} // namespace kw::netware
