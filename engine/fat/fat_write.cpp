// FAT_FILESYSTEM: writing file data, growing and shrinking cluster chains,
// and writing a handle's entry back.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

kwRet FAT_FILESYSTEM::allocateCluster(uint32_t near, uint32_t* cluster) {
    uint32_t c = fat_->FindNextFree(near);
    if (c == STATE_MAP_NONE)
        c = fat_->FindNextFree(2);
    if (c == STATE_MAP_NONE || !boot_.IsDataCluster(c))
        return ERR_FAT_NO_SPACE;
    *cluster = c;
    return KW_OK;
}

kwRet FAT_FILESYSTEM::zeroCluster(uint32_t cluster) {
    std::memset(sector_, 0, FAT_SECTOR_SIZE);
    uint32_t first = boot_.ClusterToSector(cluster);
    for (uint32_t i = 0; i < boot_.sectorsPerCluster; ++i) {
        kwRet rc = WriteSectors(first + i, sector_, 1);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Frees a chain from `first` on; a loop ends where it meets a freed cluster.
void FAT_FILESYSTEM::freeChain(uint32_t first) {
    for (uint32_t c = first, n = 0; boot_.IsDataCluster(c) && n <= boot_.clusterCount; ++n) {
        uint32_t next = fat_->GetNextCluster(c);
        fat_->SetNextCluster(c, 0);
        c = next;
    }
}

kwRet FAT_FILESYSTEM::FlushEntry(FAT_FILE_HANDLE* h) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    if (IsReadOnly())
        return ERR_WRITE_PROTECTED;
    if (h->isRoot)
        return KW_OK;
    kwRet rc = ReadSectors(h->entrySector, sector_, 1);
    if (rc != KW_OK)
        return rc;
    std::memcpy(sector_ + (h->entryIndex % 16) * FAT_DIR_ENTRY_SIZE, h->entry, FAT_DIR_ENTRY_SIZE);
    return WriteSectors(h->entrySector, sector_, 1);
}

void FatStampWrite(uint8_t* entry) {
    KW_DATE d;
    KW_TIME t;
    kwGetDate(&d);
    kwGetTime(&t);
    kwbytes::StoreLe16(entry + FDE_WTIME, FatEncodeTime(t));
    kwbytes::StoreLe16(entry + FDE_WDATE, FatEncodeDate(d));
    kwbytes::StoreLe16(entry + FDE_ADATE, FatEncodeDate(d));
}

// The clusters of a chain, in order, at most `limit` (the chain's loops and
// broken links end it).
kwRet FAT_FILESYSTEM::chainClusters(uint32_t first, uint32_t limit, uint32_t** out,
                                    uint32_t* count) {
    *out = nullptr;
    *count = 0;
    SECTOR_RUN* runs = nullptr;
    uint32_t got = 0;
    kwRet rc = first == 0 ? KW_OK : ChainToRuns(first, limit, &runs, &got);
    if (rc != KW_OK)
        return rc;
    *out = new (std::nothrow) uint32_t[got + 1];
    if (*out == nullptr) {
        FreeSectorRuns(runs);
        return ERR_NO_MEMORY;
    }
    for (SECTOR_RUN* r = runs; r != nullptr; r = r->next)
        for (uint32_t s = 0; s < r->sectorCount; s += boot_.sectorsPerCluster)
            (*out)[(*count)++] = boot_.SectorToCluster(r->firstSector + s);
    FreeSectorRuns(runs);
    return KW_OK;
}

kwRet FAT_FILESYSTEM::SetFileSize(FAT_FILE_HANDLE* h, uint32_t newSize) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    if (IsReadOnly())
        return ERR_WRITE_PROTECTED;
    if (!h->IsFile())
        return ERR_NOT_SUPPORTED;
    uint32_t bpc = boot_.BytesPerCluster();
    uint32_t oldClusters = static_cast<uint32_t>((uint64_t{h->GetSize()} + bpc - 1) / bpc);
    uint32_t newClusters = static_cast<uint32_t>((uint64_t{newSize} + bpc - 1) / bpc);
    uint32_t* chain = nullptr;
    uint32_t have = 0;
    kwRet rc = chainClusters(h->FirstCluster(), std::max(oldClusters, newClusters), &chain, &have);
    if (rc != KW_OK)
        return rc;
    FreeSectorRuns(h->runs);
    h->runs = nullptr;
    h->runClusters = 0;
    uint32_t last = have > 0 ? chain[have - 1] : 0;
    uint32_t added = 0;
    for (uint32_t n = have; rc == KW_OK && n < newClusters; ++n, ++added) {
        uint32_t c = 0;
        rc = allocateCluster(last != 0 ? last + 1 : 2, &c);
        if (rc == KW_OK)
            rc = fat_->SetNextCluster(c, FAT_EOC_MARK);
        if (rc == KW_OK && last != 0)
            rc = fat_->SetNextCluster(last, c);
        if (rc == KW_OK && last == 0)
            h->SetFirstCluster(c);
        last = rc == KW_OK ? c : last;
    }
    if (rc != KW_OK) {
        // No room: the clusters added here go back, the file stays as it was.
        if (have > 0) {
            freeChain(fat_->GetNextCluster(chain[have - 1]));
            fat_->SetNextCluster(chain[have - 1], FAT_EOC_MARK);
        } else if (added > 0) {
            freeChain(h->FirstCluster());
            h->SetFirstCluster(0);
        }
        delete[] chain;
        return rc;
    }
    if (newClusters < have) {
        freeChain(chain[newClusters]);
        if (newClusters > 0)
            fat_->SetNextCluster(chain[newClusters - 1], FAT_EOC_MARK);
        else
            h->SetFirstCluster(0);
    }
    delete[] chain;
    rc = FlushFat();
    if (rc != KW_OK)
        return rc;
    h->SetSize(newSize);
    if (h->position > newSize)
        h->position = newSize;
    return FlushEntry(h);
}

kwRet FAT_FILESYSTEM::Write(FAT_FILE_HANDLE* h, const void* buffer, uint32_t count) {
    if (h == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (IsReadOnly())
        return ERR_WRITE_PROTECTED;
    if (!h->IsFile())
        return ERR_NOT_SUPPORTED;
    uint64_t end = uint64_t{h->position} + count;
    if (end > 0xFFFFFFFFull)
        return ERR_FILE_TOO_BIG;
    kwRet rc = end > h->GetSize() ? SetFileSize(h, static_cast<uint32_t>(end)) : KW_OK;
    uint32_t bpc = boot_.BytesPerCluster();
    uint32_t clusters = static_cast<uint32_t>((end + bpc - 1) / bpc);
    if (rc == KW_OK)
        rc = ensureRuns(h, clusters);
    if (rc == KW_OK && h->runClusters < clusters)
        rc = ERR_FILE_TELL;
    auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t skip = h->position;
    for (SECTOR_RUN* r = h->runs; rc == KW_OK && r != nullptr && count > 0; r = r->next) {
        uint64_t runBytes = uint64_t{r->sectorCount} * FAT_SECTOR_SIZE;
        if (skip >= runBytes) {
            skip -= runBytes;
            continue;
        }
        uint32_t sector = r->firstSector + static_cast<uint32_t>(skip / FAT_SECTOR_SIZE);
        uint32_t offset = static_cast<uint32_t>(skip % FAT_SECTOR_SIZE);
        uint32_t left = r->sectorCount - static_cast<uint32_t>(skip / FAT_SECTOR_SIZE);
        skip = 0;
        while (rc == KW_OK && count > 0 && left > 0) {
            uint32_t whole = offset == 0 ? std::min(count / FAT_SECTOR_SIZE, left) : 0;
            uint32_t done;
            if (whole > 0) {
                rc = WriteSectors(sector, in, whole);
                done = whole * FAT_SECTOR_SIZE;
                sector += whole;
                left -= whole;
            } else {
                done = std::min(count, FAT_SECTOR_SIZE - offset);
                rc = ReadSectors(sector, sector_, 1);
                if (rc == KW_OK) {
                    std::memcpy(sector_ + offset, in, done);
                    rc = WriteSectors(sector, sector_, 1);
                }
                offset = 0;
                ++sector;
                --left;
            }
            if (rc == KW_OK) {
                in += done;
                count -= done;
                h->position += done;
            }
        }
    }
    if (rc != KW_OK)
        return rc;
    FatStampWrite(h->entry);
    h->entry[FDE_ATTR] |= FAT_ATTR_ARCHIVE;
    return FlushEntry(h);
}
