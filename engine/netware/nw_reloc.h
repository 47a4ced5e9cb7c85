// Segment block relocation: used blocks of a volume move to other blocks by
// a remap table (one word per volume block: 0 when the block stays, else the
// block it moves to) and every reference follows: the FAT links that lead to
// them, the volume's first FAT and directory blocks (in every segment entry)
// and the first blocks the directory names.
//
// The relocation works in passes. A pass copies the blocks whose targets are
// reserved (and parks blocks that sit on another block's target in free
// blocks), then writes, each step flushed before the next: the FAT with the
// targets' entries (nothing names them yet), the FAT with every link turned
// to the new places, the system block numbers and the directory, and the FAT
// with the old places emptied. Every FAT block is written to its place in the
// chain before the pass and its place after it, so whichever the disk names,
// it holds the table of the last step or of the one before. A crash between
// any two writes leaves every file's data reachable, at most with blocks no
// chain names. A failed pass is put back: the table it started from goes to
// its FAT blocks' places, the system block numbers and the directory entries
// it turned to moved blocks are turned back (a failed write ends that, the
// disk then holding a state a cut could leave), the FAT is read again from
// the disk and the remap is as it was before the pass.
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
