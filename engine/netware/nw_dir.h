// NWDir: a NetWare volume's directory in memory, a table of 128-byte entries
// in volume blocks chained through the FAT (a primary and a mirror chain in
// step). It holds the whole directory, or a window of it when memory is
// short, gives entries by number, checks the directory (root entry,
// suballocation chains, parents, first blocks of files) and marks the blocks
// it refers to in used maps.
//
// Entry numbers, parents and chain links from disk are range-checked; the
// chain walks stop after as many steps as the volume has blocks.
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
class NWFat;

inline constexpr uint32_t kMaxSuballocChains = 128;

class NWDir : public KwEngineAlloc {
public:
    explicit NWDir(NWVolume* volume);
    ~NWDir();
    NWDir(const NWDir&) = delete;
    NWDir& operator=(const NWDir&) = delete;

    // Reads `blocks` directory blocks (0: all) from directory block `first`.
    kwRet Read(uint32_t blocks, uint32_t first);
    // The entry (128 bytes); an entry outside the window loads the window
    // that holds it (a failure is kept in LastLoadError()). Null past the
    // directory's end.
    const uint8_t* getEntry(uint32_t index);
    uint8_t* getEntryForWrite(uint32_t index);
    kwRet WriteBack();
    kwRet LastLoadError() const { return loadError_; }
    kwRet ReadSuballocHeads();
    kwRet Check(KWERRORMGR* errors, STATE_MAP* map, NWFat* fat);
    // Marks the directory chains, the root's chains and every suballocation
    // chain (per block without a partition).
    kwRet MarkUsed(STATE_MAP* map, PARTITION_INFO* pi);
    // After blocks moved: every first block an entry names (files, the
    // root's chains, suballocation heads) that the map marks takes its remap
    // word. Changed entries are taken for writing (WriteBack stores them).
    kwRet RewriteAfterRelocation(const uint32_t* remap, const STATE_MAP* map);

    uint32_t TotalEntries() const { return totalEntries_; }
    uint32_t FirstEntry() const { return firstEntry_; }
    uint32_t EntriesInMemory() const { return inMemory_; }
    uint32_t SuballocChains() const { return suballocFound_; }

private:
    kwRet CountBlocks(NWFat* fat, uint32_t* count);
    kwRet LoadWindow(NWFat* fat, uint32_t blocks, uint32_t first);
    kwRet CheckRoot(KWERRORMGR* errors, STATE_MAP* map, NWFat* fat);
    kwRet CheckEntry(uint32_t index, KWERRORMGR* errors, STATE_MAP* map, NWFat* fat,
                     uint32_t* parentCache);

    NWVolume* volume_;
    uint8_t* table_ = nullptr;
    uint32_t firstEntry_ = 0;
    uint32_t lastEntry_ = 0;
    uint32_t inMemory_ = 0;
    uint32_t totalEntries_ = 0;
    uint32_t dirBlocks_ = 0;
    uint32_t tableBytes_ = 0;
    kwRet loadError_ = KW_OK;
    bool modified_ = false;
    uint32_t suballocFound_ = 0;
    uint32_t windowBlocks_ = 0;
    uint32_t blockChains_ = 0; // suballocation chains the volume has
    uint32_t heads_[kMaxSuballocChains] = {};
};

// Rewrites the blocks one 128-byte directory entry names (a file's first
// block, the root's chains, suballocation heads) that the map marks as moved
// to their remap words; true when one changed.
bool RewriteDirEntry(uint8_t* entry, const uint32_t* remap, const STATE_MAP* map);

} // namespace kw::netware
