// A partition of the machine's disks copied into an image: the used-sector
// map its file system gives, gathered into blocks, then the used blocks read
// through the disk library in steps with a progress call after each.
#include "engine/core/kwmemory.h"
#include "engine/core/progress.h"
#include "engine/core/statemap.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/filesystem.h"
#include "engine/imgaccess/copy_steps.h"
#include "engine/imgaccess/partition_copy.h"

#include <algorithm>
#include <cstring>

namespace kw::imgaccess {
namespace {

inline constexpr uint32_t kLiveBlockSectors = 8;
inline constexpr uint32_t kLiveBlockBytes = kLiveBlockSectors * 512;
inline constexpr uint32_t kStepBlocks = kMaxPieceBytes / kLiveBlockBytes;

// The partition as a copy source: its block bitmap and used-block count.
struct LIVE_PART {
    PARTITION_INFO* pi = nullptr;
    uint32_t blocks = 0;
    uint32_t used = 0;
    STATE_MAP bitmap;
    uint32_t bitmapBytes = 0;
};

// The file system's map of what it uses (each bit one unit of sectors);
// null with the code on failure.
kwRet MapUsed(PARTITION_INFO* pi, STATE_MAP** used) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0);
    if (rc != KW_OK)
        return rc;
    rc = fs->GetHandle() == FS_NO_HANDLE ? ERR_NOT_OPEN : fs->Init();
    if (rc == KW_OK)
        rc = fs->GenerateBitmap(used, FS_MAP_METADATA | FS_MAP_FILE_DATA);
    CloseFileSystem(&fs);
    if (rc == KW_OK && *used == nullptr)
        rc = ERR_IMG_INVALID;
    return rc;
}

// Marks the blocks that hold sectors [first, first + count) of the partition.
void MarkSectors(LIVE_PART* part, uint64_t first, uint64_t count) {
    const uint64_t total = part->pi->NumSects;
    const uint64_t end = std::min(first + count, total);
    if (first >= end)
        return; // an empty run marks nothing, not the block its start falls in
    for (uint64_t b = first / kLiveBlockSectors; b * kLiveBlockSectors < end; ++b)
        part->bitmap.SetBit(static_cast<uint32_t>(b));
}

// A block is used when any of its sectors is; sectors past what the map
// describes (NTFS's backup boot sector behind its last cluster) are kept.
kwRet MapBlocks(LIVE_PART* part, Progress* progress) {
    STATE_MAP* used = nullptr;
    kwRet rc = MapUsed(part->pi, &used);
    const uint32_t total = part->pi->NumSects;
    part->blocks =
        static_cast<uint32_t>((uint64_t{total} + kLiveBlockSectors - 1) / kLiveBlockSectors);
    if (rc == KW_OK && (part->blocks == 0 || part->bitmap.Create(part->blocks, false) != KW_OK))
        rc = part->blocks == 0 ? ERR_IMG_INVALID : ERR_NO_MEMORY;
    if (rc == KW_OK) {
        const uint64_t unit = std::max<uint32_t>(used->ulUnitsPerBit, 1);
        const uint32_t bits = used->GetBitCount();
        for (uint32_t i = 0; (i = used->FindNextSet(i)) < bits; ++i)
            MarkSectors(part, i * unit, unit);
        MarkSectors(part, bits * unit, total);
        part->used = part->bitmap.CountSet(0, part->blocks - 1, UINT32_MAX);
    }
    delete used;
    part->bitmapBytes = static_cast<uint32_t>((uint64_t{part->blocks} + 7) / 8);
    return rc != KW_OK ? rc : progress->Update(100);
}

kwRet AddLivePart(PART_STORE* dest, const LIVE_PART& part, uint32_t* index, bool* added,
                  Progress* progress) {
    kwRet rc = static_cast<kwRet>(dest->AddPart(index));
    if (rc != KW_OK)
        return rc;
    *added = true;
    const PARTITION_INFO& pi = *part.pi;
    dest->SetBytesPerSector(512);
    dest->SetTotalSectors(pi.NumSects);
    dest->SetSectorsPerBlock(kLiveBlockSectors);
    dest->SetBlockCount(part.blocks);
    dest->SetUsedBlockCount(part.used);
    dest->SetPartitionType(pi.ucPartType);
    dest->SetFileSystemKind(pi.ucFsKind);
    dest->SetDriveLetter(0);
    dest->SetPartFlags(pi.ulFlags & PI_LOGICAL);
    char name[sizeof pi.volumeLabel] = {};
    std::memcpy(name, pi.volumeLabel, sizeof name - 1);
    dest->SetPartName(name);
    if ((rc = static_cast<kwRet>(dest->CreateUbmap())) != KW_OK ||
        (rc = WriteBitmap(dest, part.bitmap, part.bitmapBytes, progress, 0, 100)) != KW_OK)
        return rc;
    dest->ClosePartStream();
    return KW_OK;
}

// Reads blocks [first, first + n) into buffer; sectors past the partition's
// end read as zeros.
kwRet ReadBlocks(kwhandle disk, const LIVE_PART& part, uint32_t first, uint32_t n,
                 uint8_t* buffer) {
    const uint32_t total = part.pi->NumSects;
    const uint32_t sector = first * kLiveBlockSectors;
    const uint32_t count = std::min(n * kLiveBlockSectors, total - sector);
    std::memset(buffer + uint64_t{count} * 512, 0, (n * kLiveBlockSectors - count) * 512u);
    return kwLogRead(disk, sector, buffer, count);
}

// The used blocks in runs of at most kStepBlocks, read and written in turn.
kwRet CopyLiveBlocks(PART_STORE* dest, kwhandle disk, const LIVE_PART& part, Progress* progress) {
    kwRet rc = static_cast<kwRet>(dest->CreateUdata());
    uint8_t* buffer = nullptr;
    if (rc == KW_OK && part.used != 0 && kwGetMemory(kMaxPieceBytes, &buffer) != KW_OK)
        rc = ERR_NO_MEMORY;
    uint64_t done = 0;
    for (uint32_t b = 0; rc == KW_OK && (b = part.bitmap.FindNextSet(b)) < part.blocks;) {
        uint32_t n = 1;
        while (n < kStepBlocks && b + n < part.blocks && part.bitmap.IsSet(b + n))
            ++n;
        rc = ReadBlocks(disk, part, b, n, buffer);
        if (rc == KW_OK)
            rc = static_cast<kwRet>(dest->Write(buffer, n * kLiveBlockBytes));
        done += n;
        b += n;
        if (rc == KW_OK)
            rc = StepTo(progress, 0, 100, done, part.used);
    }
    kwFreeMemory(&buffer);
    return rc;
}

kwRet CopyLive(PART_STORE* dest, PARTITION_INFO* pi, Progress* progress, uint32_t* index,
               bool* added) {
    LIVE_PART part;
    part.pi = pi;
    progress->SetRange(0, 10);
    kwRet rc = MapBlocks(&part, progress);
    if (rc == KW_OK) {
        progress->SetRange(10, 15);
        rc = AddLivePart(dest, part, index, added, progress);
    }
    kwhandle disk = FS_NO_HANDLE;
    if (rc == KW_OK)
        rc = kwLogOpen(pi, &disk);
    if (rc == KW_OK) {
        progress->SetRange(15, 100);
        rc = CopyLiveBlocks(dest, disk, part, progress);
        kwLogClose(disk);
    }
    if (rc == KW_OK)
        dest->ClosePartStream();
    return rc;
}

} // namespace
} // namespace kw::imgaccess

kwRet CopyLivePartition(PART_STORE* destination, PARTITION_INFO* pi) {
    using namespace kw::imgaccess;
    if (destination == nullptr || pi == nullptr)
        return ERR_BAD_ARGUMENT;
    auto* progress = new Progress;
    if (progress == nullptr)
        return ERR_NO_MEMORY;
    progress->SetTextId(KW_MSG_COPYING_DATA);
    uint32_t index = 0;
    bool added = false;
    kwRet rc = CopyLive(destination, pi, progress, &index, &added);
    if (rc == KW_OK)
        rc = progress->Done();
    if (rc != KW_OK) {
        progress->SendValue(rc);
        if (added)
            destination->RemovePart(index); // the new part's record is never written
    }
    const auto closed = static_cast<kwRet>(destination->ClosePart());
    delete progress;
    return rc != KW_OK ? rc : closed;
}
