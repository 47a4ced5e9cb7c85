// RedirectionArea: the redirection area at the start of a NetWare partition
// in the hot-fix form. It reads the current hot-fix and mirror headers (four
// copies each, the newest update counter wins), rewrites them, loads the
// redirection and error tables on first use, marks the area's blocks in
// used-sector maps, clears the home sectors of redirected bad blocks, and
// copies redirected blocks back to their homes.
//
// A header copy counts only when its magic is there and its block size, area
// size and table descriptors are consistent with each other and with the
// partition: nothing read from a header is used before it was checked.
// Sector numbers are partition sectors; "data sector" counts from the start
// of the logical data area, which follows the area.
#pragma once

#include "engine/netware/nw_layout.h"
#include "engine/netware/nw_redtab.h"
#include "engine/netware/nw_region.h"

#include <cstdint>

struct PARTITION_INFO;

namespace kw::netware {

class PartHandle;

// Whether a hot-fix header copy is one the engine can use on a partition of
// the given sector count (0: not checked against a partition).
bool IsUsableHotfixHeader(const uint8_t* header, uint64_t partitionSectors);

// The newest of the four copies of a header. found is false when no copy
// counts; a read error ends the search and is returned.
kwRet ReadCurrentHeader(const PartHandle& handle, bool hotfix, uint32_t startOffset,
                        uint64_t partitionSectors, uint8_t* out, bool* found);

// Whether counter a is newer than counter b; counters wrap past 0xFFFF and
// skip 0, so the comparison looks at their distance.
bool CounterIsNewer(uint16_t a, uint16_t b);
// The counter after a write: 0 is never written.
uint16_t NextCounter(uint16_t counter);

// The default size of a new area for a partition, in sectors (whole 4 KB
// blocks; 0 for partitions below 31 blocks).
uint32_t DefaultAreaSectors(uint32_t partitionSectors);
// Places the table blocks of a header's area (descriptors from sector 160
// up); 1466 when they do not fit.
kwRet LayoutTables(uint8_t* header);

class RedirectionArea : public Region {
public:
    explicit RedirectionArea(PARTITION_INFO* pi, uint32_t startOffset = 0);
    ~RedirectionArea() override;

    // A new area object with this one's partition, header and start offset
    // (tables not loaded); null without memory.
    RedirectionArea* Clone() const;

    // Reads the current hot-fix header (1401 when no copy counts) and the
    // mirror partition id.
    kwRet Initialise();

    uint32_t GetStartSector() const override { return startOffset_; }
    void SetStartSector(uint32_t sector) override { startOffset_ = sector; }
    uint32_t GetSectorCount() const override;
    void SetSectorCount(uint32_t count) override;
    uint32_t GetSectorsPerBlock() const override { return header_[HF_SECTORS_PER_BLOCK]; }
    PARTITION_INFO* SetPartition(PARTITION_INFO* pi) override;
    PARTITION_INFO* GetPartition() const override { return pi_; }
    // Flag 2: every entry in use; otherwise only system entries.
    kwRet MarkUsed(STATE_MAP* map, uint32_t flags) override;

    const uint8_t* Header() const { return header_; }
    // Takes another current header in memory (nothing is written); the
    // tables are read again from its descriptors on next use.
    void ReplaceHeader(const uint8_t* header);
    uint32_t PartitionId() const;
    void SetPartitionId(uint32_t id);
    uint32_t MirrorPartitionId() const { return mirrorId_; }
    uint32_t DataAreaSectors() const;

    // Loads both tables once (their codes, 3 without memory).
    kwRet LoadTables();
    RedirectTable* Redirects() { return redirects_; }
    ErrorTable* Errors() { return errors_; }

    // Clears, in a partition-sized map, the home sectors of every redirected
    // block.
    kwRet ClearRedirectedHomes(STATE_MAP* map);
    // Copies redirected blocks whose data sector lies in [first, last] back
    // home, freeing their entries when asked; compacts and writes the tables
    // when any was freed.
    kwRet CopyBack(uint32_t first, uint32_t last, bool freeEntries);
    // Keeps redirections in step when the data area loses or gains sectors.
    kwRet DeleteDataRange(uint32_t start, uint32_t count);
    kwRet InsertDataRange(uint32_t start, uint32_t count);
    // The area sector standing in for a partition sector (0 when the sector
    // is not redirected).
    kwRet RedirectedSector(uint32_t sector, uint32_t* areaSector);

    // Rewrites every copy of the current hot-fix header (counter raised).
    kwRet WriteHotfixHeader();

    // Writes a new area at the start of a partition: mirror headers, the two
    // tables, then the hot-fix headers that make it valid. areaSectors 0
    // takes the default size. 1421 when no copy of a header could be
    // written, 1466 when the tables do not fit, 4 for a block size that is
    // not a power of two up to 128 sectors.
    static kwRet Create(PARTITION_INFO* pi, uint32_t sectorsPerBlock, uint32_t areaSectors,
                        uint32_t startOffset);

private:
    kwRet Compact();
    kwRet MoveBlock(uint32_t from, uint32_t to);

    PARTITION_INFO* pi_;
    uint8_t header_[kSectorBytes] = {};
    uint32_t startOffset_;
    uint32_t mirrorId_ = 0;
    RedirectTable* redirects_ = nullptr;
    ErrorTable* errors_ = nullptr;
};

// The first length bytes (at most 512) of the current hot-fix header; zeros
// when no copy counts.
kwRet nwReadHotfixHeaderBytes(PARTITION_INFO* pi, uint8_t* buffer, uint32_t length);
// The current mirror header (96 bytes); zeros when no copy counts.
kwRet nwReadMirrorHeaderBytes(PARTITION_INFO* pi, uint8_t* buffer);
// Rewrites the four copies of a mirror header with both counters raised.
kwRet nwWriteMirrorHeader(PARTITION_INFO* pi, const uint8_t* header96);

} // namespace kw::netware
