// FAT_FILESYSTEM: opening files by path and reading them.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

uint32_t FAT_FILE_HANDLE::GetSize() const {
    return kwbytes::LoadLe32(entry + FDE_SIZE);
}

void FAT_FILE_HANDLE::SetSize(uint32_t size) {
    kwbytes::StoreLe32(entry + FDE_SIZE, size);
}

uint32_t FAT_FILE_HANDLE::FirstCluster() const {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    uint32_t low = kwbytes::LoadLe16(entry + FDE_CLUSTER_LOW);
    if (b != nullptr && b->IsFat32())
        low |= uint32_t{kwbytes::LoadLe16(entry + FDE_CLUSTER_HIGH)} << 16;
    return low;
}

void FAT_FILE_HANDLE::SetFirstCluster(uint32_t cluster) {
    const FAT_BOOT_RECORD* b = fs != nullptr ? fs->GetBootRecord() : nullptr;
    kwbytes::StoreLe16(entry + FDE_CLUSTER_LOW, static_cast<uint16_t>(cluster));
    if (b != nullptr && b->IsFat32())
        kwbytes::StoreLe16(entry + FDE_CLUSTER_HIGH, static_cast<uint16_t>(cluster >> 16));
}

kwRet FAT_FILE_HANDLE::Seek(uint32_t newPosition) {
    return fs == nullptr ? ERR_BAD_ARGUMENT : fs->SeekCluster(this, newPosition);
}

kwRet FAT_FILESYSTEM::OpenFile(const char* path, FAT_FILE_HANDLE** handle, uint8_t attribute) {
    if (handle == nullptr || path == nullptr)
        return ERR_BAD_ARGUMENT;
    *handle = nullptr;
    FAT_FOUND found;
    kwRet rc = FindPath(path, attribute, &found);
    if (rc != KW_OK)
        return rc;
    auto* h = new FAT_FILE_HANDLE;
    if (h == nullptr)
        return ERR_NO_MEMORY;
    h->fs = this;
    std::memcpy(h->entry, found.entry, FAT_DIR_ENTRY_SIZE);
    h->parentCluster = found.parentCluster;
    h->entrySector = found.entrySector;
    h->entryIndex = found.entryIndex;
    h->firstPieceIndex = found.firstPieceIndex;
    h->isRoot = found.isRoot;
    if (found.isRoot && boot_.IsFat32())
        h->SetFirstCluster(boot_.rootCluster);
    *handle = h;
    return KW_OK;
}

// Runs covering at least `clusters` clusters of the file (or all it has).
// Runs already built are extended from their last cluster, so a file
// written piece by piece walks its chain once.
kwRet FAT_FILESYSTEM::ensureRuns(FAT_FILE_HANDLE* h, uint32_t clusters) {
    if (h->runs != nullptr && h->runClusters >= clusters)
        return KW_OK;
    if (h->FirstCluster() == 0 || clusters == 0)
        return KW_OK;
    if (h->runs == nullptr)
        return ChainToRuns(h->FirstCluster(), clusters, &h->runs, &h->runClusters);
    SECTOR_RUN* tail = h->runs;
    while (tail->next != nullptr)
        tail = tail->next;
    uint32_t last =
        boot_.SectorToCluster(tail->firstSector + tail->sectorCount - boot_.sectorsPerCluster);
    uint32_t next = fat_->GetNextCluster(last);
    if (next >= FAT_EOC)
        return KW_OK; // the chain ends here
    SECTOR_RUN* more = nullptr;
    uint32_t got = 0;
    kwRet rc = ChainToRuns(next, clusters - h->runClusters, &more, &got);
    if (rc != KW_OK)
        return rc;
    if (more != nullptr && tail->firstSector + tail->sectorCount == more->firstSector) {
        tail->sectorCount += more->sectorCount;
        SECTOR_RUN* rest = more->next;
        more->next = nullptr;
        FreeSectorRuns(more);
        more = rest;
    }
    tail->next = more;
    if (more != nullptr)
        more->previous = tail;
    h->runClusters += got;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::SeekCluster(FAT_FILE_HANDLE* h, uint32_t newPosition) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    if (h->IsFile() && newPosition > h->GetSize())
        return ERR_DATA_ERROR;
    h->position = newPosition;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::Read(FAT_FILE_HANDLE* h, void* buffer, uint32_t count) {
    if (h == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!initialised_)
        return ERR_NOT_OPEN;
    uint64_t end = uint64_t{h->position} + count;
    if (h->IsFile() && end > h->GetSize()) {
        DbgPrintf("FAT_FILESYSTEM::Read: Read past end of file.  Pos=%lu, Bytes=%lu, Size=%lu.\n",
                  static_cast<unsigned long>(h->position), static_cast<unsigned long>(count),
                  static_cast<unsigned long>(h->GetSize()));
        return ERR_OUT_OF_RANGE;
    }
    uint32_t bpc = boot_.BytesPerCluster();
    uint32_t clusters = static_cast<uint32_t>((end + bpc - 1) / bpc);
    if (h->IsDirectory() && h->FirstCluster() == 0)
        return ERR_NOT_SUPPORTED;
    kwRet rc = ensureRuns(h, clusters);
    if (rc != KW_OK)
        return rc;
    if (h->runClusters < clusters)
        return h->IsFile() ? ERR_FILE_TELL : ERR_OUT_OF_RANGE;
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t skip = h->position;
    for (SECTOR_RUN* r = h->runs; r != nullptr && count > 0; r = r->next) {
        uint64_t runBytes = uint64_t{r->sectorCount} * FAT_SECTOR_SIZE;
        if (skip >= runBytes) {
            skip -= runBytes;
            continue;
        }
        uint32_t sector = r->firstSector + static_cast<uint32_t>(skip / FAT_SECTOR_SIZE);
        uint32_t offset = static_cast<uint32_t>(skip % FAT_SECTOR_SIZE);
        uint32_t left = r->sectorCount - static_cast<uint32_t>(skip / FAT_SECTOR_SIZE);
        skip = 0;
        while (count > 0 && left > 0) {
            uint32_t whole = offset == 0 ? std::min(count / FAT_SECTOR_SIZE, left) : 0;
            uint32_t done;
            if (whole > 0) {
                rc = ReadSectors(sector, out, whole);
                done = whole * FAT_SECTOR_SIZE;
                sector += whole;
                left -= whole;
            } else {
                rc = ReadSectors(sector, sector_, 1);
                done = std::min(count, FAT_SECTOR_SIZE - offset);
                if (rc == KW_OK)
                    std::memcpy(out, sector_ + offset, done);
                offset = 0;
                ++sector;
                --left;
            }
            if (rc != KW_OK)
                return rc;
            out += done;
            count -= done;
            h->position += done;
        }
    }
    return count == 0 ? KW_OK : ERR_FILE_TELL;
}
