// NWFat: a NetWare volume's file allocation table in memory, one 8-byte
// entry (position in its chain, next block) per volume block. The table is
// stored twice, in FAT blocks that are themselves chained through the FAT
// from the volume's first primary and first mirror FAT block. NWFat reads
// and writes both copies, checks the table (lost chains, cross-links, links
// out of range, values out of sequence, FAT blocks per segment, equal
// copies) and marks chains in used maps.
//
// Every link taken from the table is range-checked before it is followed,
// and every walk stops after as many steps as the volume has blocks.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/core/kwret.h"
#include "engine/netware/nw_layout.h"

#include <cstdint>

class KWERRORMGR;
class STATE_MAP;
struct PARTITION_INFO;

namespace kw::netware {

class NWVolume;
class NetW_Segment;

// Copies in use.
enum class FatCopies { Primary = 0, Mirror = 1, Both = 2 };

// Calls fn(segment index, k, primary, mirror) for the k-th FAT block each
// segment of a layout carries by the placement rule: groups of
// g = 512 >> shift blocks from the segment's first block, primary and mirror
// groups taking turns; a segment carries the blocks that describe the blocks
// counted up to its end.
template <class Fn>
void PlanFatPlaces(uint32_t shift, const uint32_t* firsts, const uint32_t* blocks,
                   uint32_t segments, Fn fn) {
    const uint64_t g = 512u >> shift;
    const uint64_t perBlock = uint64_t{64} << shift;
    uint64_t running = 0;
    uint64_t covered = 0;
    for (uint32_t i = 0; i < segments; ++i) {
        running += blocks[i];
        for (uint32_t k = 0; covered < running && k <= blocks[i]; ++k, covered += perBlock) {
            const uint64_t primary = firsts[i] + (k / g) * 2 * g + k % g;
            fn(i, k, primary, primary + g);
        }
    }
}

class NWFat : public KwEngineAlloc {
public:
    explicit NWFat(NWVolume* volume);
    ~NWFat();
    NWFat(const NWFat&) = delete;
    NWFat& operator=(const NWFat&) = delete;

    // Obtains the table's memory (zeroed): 1437 when the volume's blocks do
    // not fit its segments, 3 without memory.
    kwRet Initialise();
    // The same with room for a volume of `capacity` blocks (a growing
    // segment): the entries are still the volume's present ones.
    kwRet InitialiseFor(uint32_t capacity);
    kwRet Read();
    kwRet Write();
    // Reports through the list; with a map, chain heads the map does not
    // hold are lost chains.
    kwRet Check(KWERRORMGR* errors, STATE_MAP* map);
    // Marks both FAT chains (per block without a partition).
    kwRet MarkFatChains(STATE_MAP* map, PARTITION_INFO* pi);

    uint32_t getNumEntries() const { return entries_; }
    uint32_t Value(uint32_t index) const;
    uint32_t Link(uint32_t index) const;
    void SetEntry(uint32_t index, uint32_t value, uint32_t link);
    bool IsFree(uint32_t index) const { return Value(index) == 0 && Link(index) == 0; }
    bool IsChainHead(uint32_t index) const { return Value(index) == 0 && Link(index) != 0; }
    uint32_t NumberOfFatBlocks() const { return fatBlocks_; }
    uint32_t EntriesPerBlock() const;
    // FAT blocks a segment carries by the placement rule (each segment
    // carries the blocks that describe its own blocks).
    uint32_t PlannedFatBlocks(const NetW_Segment* segment) const;
    // The highest block the primary and mirror FAT would take if the segment
    // had `blocks` blocks from its first block on.
    uint32_t HighestPlannedFatBlock(const NetW_Segment* segment, uint32_t blocks) const;

    // Resize steps (nw_fat_resize.cpp). They work on a window of entries,
    // the whole table after a read. Remap tables hold one word per block
    // (by the block's number before the step): 0 when the block stays,
    // else its new number; the map marks the blocks whose word counts.
    uint32_t getFirstEntryIndex() const { return firstIndex_; }
    uint32_t getLastEntryIndex() const { return lastIndex_; }
    void SetSearchRange(uint32_t first, uint32_t last);
    bool IsReserved(uint32_t index) const { return Link(index) == kReservedLink; }
    // A chain head (a reservation heads nothing).
    bool HeadsChain(uint32_t index) const;
    // Used entries in [first, last] (neither free nor reserved).
    uint32_t CountUsed(uint32_t first, uint32_t last) const;
    // `count` new free blocks at `begin`: the entries from there move up and
    // every link into them is raised; the chain heads that move are
    // recorded. Chain ends, reservations and suballocation links (bit 31)
    // are no block numbers and stay. 1437 when the table has no room.
    kwRet InsertEntries(uint32_t* remap, STATE_MAP* map, uint32_t begin, uint32_t count);
    // The blocks [begin, begin + count) go: they must be free (4 when one is
    // used or a link names one); later entries move down, links are lowered.
    kwRet RemoveEntries(uint32_t* remap, STATE_MAP* map, uint32_t begin, uint32_t count);
    // Gives every used block of [first, last] (not already remapped) a free
    // block of the window outside the range and reserves it, then reserves
    // the range's free blocks: 712 when first > last, 511 when too few free
    // blocks remain outside (nothing is changed then).
    kwRet EvacuateRange(uint32_t* remap, uint32_t first, uint32_t last);
    // Turns the reservations of [first, last] back into free entries.
    void ReleaseReservations(uint32_t first, uint32_t last);
    // Whether the table's bytes past the entries up to entry `upTo` are
    // free entries (the table has room for them), and making them so.
    bool TailIsFree(uint32_t upTo) const;
    void ClearTail(uint32_t upTo);
    // Writes FAT block `index` of the table to a volume block (both copies'
    // places are the caller's). Reservations are plans of a resize in
    // memory: they are stored as free entries, here and in Write.
    kwRet WriteTableBlock(uint32_t index, uint32_t block);
    // Moves the n blocks of both FAT chains (places[0] primary, places[1]
    // mirror) to the targets that are free in the table, each write flushed.
    // When every block moves: the table with the chains on the targets and
    // the old places free to the targets, then one write of the volume
    // tables names them. When only some move, the chains go that way first
    // to stand-in places (free, none of the targets) and from there to the
    // targets, so no live FAT block is written in place. places then holds
    // where the blocks are. A failed hop puts the table and the names of
    // its start back (after the first hop, that is the stand-ins).
    kwRet MoveChains(uint32_t* const places[2], const uint32_t* const targets[2], uint32_t n);
    // Writes the table to both copies' chains; unlike Write, a copy that
    // fails alone is reported (for writes a step relies on).
    kwRet WriteBothCopies();
    // A copy of the table's bytes (the caller frees it) and the table put
    // back from one taken while the entry count was the same.
    kwRet Snapshot(uint8_t** copy) const;
    void Restore(const uint8_t* copy);
    // The bytes of FAT block i as stored (reservations as free entries;
    // scratch holds one block).
    const uint8_t* StoredBlock(uint32_t i, uint8_t* scratch) const;

private:
    kwRet MoveWholeChains(uint32_t* const places[2], const uint32_t* const to[2], uint32_t n,
                          const uint32_t before[4]);
    kwRet MoveChainsTo(uint32_t* const places[2], const uint32_t* const to[2], uint32_t n,
                       const uint32_t before[4]);
    kwRet ChooseStandIns(uint32_t* const fresh[2], const uint32_t* const to[2], uint32_t n) const;
    kwRet TransferBlocks(bool write);
    kwRet CheckChains(KWERRORMGR* errors, STATE_MAP* map);
    kwRet CheckSegments(KWERRORMGR* errors);
    kwRet CompareMirror(KWERRORMGR* errors);

    NWVolume* volume_;
    uint8_t* table_ = nullptr;
    uint32_t entries_ = 0;
    uint32_t tableBytes_ = 0;
    uint32_t fatBlocks_ = 0;
    FatCopies copies_ = FatCopies::Both;
    uint32_t firstIndex_ = 0;
    uint32_t lastIndex_ = 0;
};

} // namespace kw::netware
