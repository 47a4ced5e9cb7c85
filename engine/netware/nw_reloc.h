// Segment block relocation: used blocks of a volume move to other blocks by
// a remap table (one word per volume block: 0 when the block stays, else the
// block it moves to) and every reference follows: the FAT links that lead to
// them, the volume's first FAT and directory blocks (in every segment entry)
// and the first blocks the directory names.
//
// The relocation works in passes, each a change of the volume at one write:
//
// 1. The data: blocks whose targets are reserved are copied there, and
//    blocks that sit on another block's target are parked in free blocks;
//    flushed. The disk's FAT names none of these places yet.
// 2. The table after the pass is built in memory (the targets' entries,
//    every link turned to the new places, the old places emptied).
// 3. It is written, with the FAT's own chain (and, when chain heads or
//    directory blocks move, a copy of the directory with the new first
//    blocks) on fresh places: blocks free both before and after the pass,
//    which the disk's state does not read. Flushed.
// 4. One write of the volume tables names the fresh FAT and directory: the
//    commit point. The pass's old places are free from here on.
// 5. The same table, with the FAT and the directory on the places the pass
//    leaves them at (which the fresh state does not read), is written and
//    flushed, and the volume tables name them again.
//
// A cut anywhere leaves the state before the pass, the fresh state or the
// state after it, each whole: both FAT copies equal, every chain sound. A
// pass that fails before its commit leaves the disk as it was, and the
// table and the remap go back to how they were; one that fails after it
// leaves the pass done on the fresh places, and the table is read again
// from the disk. Fresh places need room: a FAT block's low enough that a
// read along the chain finds its entry; without it the pass ends with 511
// before it writes anything of its FAT.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

class STATE_MAP;

namespace kw::netware {

class NetW_Segment;
class NWFat;
class NWDir;
class NWVolume;

// Mover buffers: 64 KB each, from half the memory budget less 10,240 bytes,
// never more than 64 MiB in all.
inline constexpr uint32_t kMoverBufferBytes = 0x10000;
inline constexpr uint32_t kMoverReserveBytes = 0x2800;
inline constexpr uint64_t kMoverMemoryCap = uint64_t{64} << 20;
// The buffers a budget gives (0: not even one).
uint32_t MoverBufferCount(uint32_t budget);

// Moves the blocks of the FAT's current window (the segment's blocks) that
// the remap names. The segment must be attached to its volume. 2020 for a
// remap that sends two blocks to one target or onto a block that holds data
// and stays; 511 when a pass can move nothing (no target reserved and no free
// block to park in); 3 without memory; the disk's codes.
kwRet RelocateSegmentBlocks(NetW_Segment* segment, uint32_t* remap);

kwRet ValidateBlockRemap(const NWFat* fat, const uint32_t* remap, uint32_t first, uint32_t last);
uint32_t CountRemappedBlocks(const uint32_t* remap, uint32_t first, uint32_t last);
// The first free block from the cursor to the window's end, else from the
// window's start to the cursor; 0 when none.
uint32_t FindFreeBlock(const NWFat* fat, uint32_t cursor);

// The system block numbers the map marks take their remap words (one write
// of the volume tables); with clear, those words and bits are cleared.
kwRet FixSystemBlocks(NWVolume* volume, uint32_t* remap, STATE_MAP* map, bool clear);
// Optionally the system blocks, then the directory's entries; a directory
// not given is taken, written and released here.
kwRet FixDirectoryBlocks(NWVolume* volume, uint32_t* remap, STATE_MAP* map, NWDir* dir,
                         bool fixSystem);

} // namespace kw::netware
