// NetWare partitions built from their byte tables, for tests: MBR entries,
// the signature sector or a redirection area (hot-fix and mirror headers,
// redirection and error tables), the four volume-table copies and, for each
// volume, its FAT (both copies, placed by the group rule), directory (both
// copies) and files. Every volume block is tagged with its volume name and
// block number; free blocks carry a filler of their own.
//
// NwWalker reads such a disk back with code of its own (no engine code) and
// gives the used sectors a copy must take, the free blocks, and the findings
// of its own consistency walk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kwtest::nw {

inline constexpr uint32_t kSector = 512;

struct SegmentSpec {
    int partition = 0;
    uint32_t start = 160; // from the volume-table origin
    uint32_t blocks = 0;
};

struct FileSpec {
    std::string name;
    uint32_t blocks = 0;
    bool directory = false;
};

struct VolumeSpec {
    std::string name;
    uint8_t shift = 3;
    uint32_t sync = 1;
    std::vector<SegmentSpec> segments;
    std::vector<FileSpec> files;
    uint32_t dirBlocks = 1;
    bool suballoc = false; // a suballocation entry naming one chain per sector of a block
};

// A redirected block: area block `areaBlock` stands in for the block at
// data sector `dataSector` (relative to the logical data area).
struct Redirect {
    uint32_t areaBlock = 0;
    uint32_t dataSector = 0;
};

struct PartitionSpec {
    uint32_t start = 0; // absolute sector
    uint32_t sectors = 0;
    uint8_t type = 0x65;
    bool hotfix = true;
    uint32_t areaBlocks = 48; // 4 KB blocks of the redirection area
    uint32_t id = 0;
    uint16_t counters[4] = {1, 1, 1, 1};
    std::vector<uint32_t> mirrorMembers; // slot 0 first; empty: own id only
    std::vector<Redirect> redirects;
};

struct DiskSpec {
    uint32_t sectors = 0;
    std::vector<PartitionSpec> partitions;
    std::vector<VolumeSpec> volumes;
};

// The whole disk image.
std::string BuildDisk(const DiskSpec& spec);

// Byte offsets of a built disk that corrupt variants poke at.
uint32_t OriginOf(const PartitionSpec& p);
// The absolute byte offset of a volume block.
uint64_t BlockOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t block);
// FAT entry offset of a block in the primary copy (absolute bytes).
uint64_t FatEntryOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t block);
// Directory entry offset in the primary copy (absolute bytes).
uint64_t DirEntryOffset(const DiskSpec& spec, const VolumeSpec& v, uint32_t entry);
// The volume-table copy k of a partition (absolute bytes).
uint64_t VolumeTableOffset(const PartitionSpec& p, uint32_t copy);

// The tag written at the start of a volume block.
std::string BlockTag(const std::string& volume, uint32_t block);

// A reader of built disks that shares no code with the engine.
class NwWalker {
public:
    explicit NwWalker(const std::string& disk);

    // Used sectors of the partition at this absolute start (partition
    // relative), as a copy of its file data must take them.
    std::vector<bool> UsedSectors(uint32_t partitionStart) const;
    // Free blocks (link 0) of a volume's segment in this partition.
    uint32_t FreeBlocks(uint32_t partitionStart, const std::string& volume) const;
    // Findings of the walk: each FAT chain, the copies, the directory, the
    // tags of every used block. Empty when the volume is sound.
    std::vector<std::string> Check(const std::string& volume) const;
    // Every file of a volume (by name) with the tags its blocks carry, in
    // chain order: blocks that move keep their tags, so a volume whose
    // blocks were relocated gives the same lists.
    std::map<std::string, std::vector<std::string>> Files(const std::string& volume) const;
    // The volume names found, in partition order.
    std::vector<std::string> Volumes() const;

    struct Segment {
        uint32_t partitionStart = 0;
        uint32_t partitionSectors = 0;
        uint32_t start = 0; // partition sector
        uint32_t sectors = 0;
        uint32_t firstBlock = 0;
        uint32_t entry[15] = {};
        std::string name;
        uint8_t shift = 0;
        uint8_t position = 0;
        uint8_t count = 0;
    };

    struct FatEntry {
        uint32_t value = 0;
        uint32_t link = 0;
    };
    // The volume's FAT as its chain gives it (findings when asked).
    std::vector<FatEntry> Fat(const std::string& volume, std::vector<std::string>* findings) const;

private:
    struct Partition {
        uint32_t start = 0;
        uint32_t sectors = 0;
        uint32_t origin = 0;
        uint32_t area = 0; // 0: signature form
        uint32_t spb = 0;
        std::vector<uint32_t> redirect; // the table's entries
    };
    uint32_t Le32(uint64_t at) const;
    void ReadPartition(uint32_t start, uint32_t sectors);
    std::vector<const Segment*> SegmentsOf(const std::string& volume) const;
    bool ReadBlock(const std::string& volume, uint32_t block, std::string* out) const;
    std::string Directory(const std::string& volume, const std::vector<FatEntry>& fat) const;

    std::string disk_;
    std::vector<Partition> partitions_;
    std::vector<Segment> segments_;
};

} // namespace kwtest::nw
