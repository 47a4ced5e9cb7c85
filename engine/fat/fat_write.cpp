// FAT_FILESYSTEM: writing file data, growing and shrinking cluster chains,
// and writing a handle's entry back.
#include "engine/core/dbgmgr.h"
#include "engine/fat/fat_filesystem.h"
#include "include/filetime.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

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
    folders_.Drop();
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
        return damaged_ ? ERR_FAT_INVALID_ENTRIES : ERR_WRITE_PROTECTED;
    if (h->isRoot)
        return KW_OK;
    folders_.Drop();
    kwRet rc = ReadSectors(h->entrySector, sector_, 1);
    if (rc != KW_OK)
        return rc;
    std::memcpy(sector_ + (h->entryIndex % 16) * FAT_DIR_ENTRY_SIZE, h->entry, FAT_DIR_ENTRY_SIZE);
    return WriteSectors(h->entrySector, sector_, 1);
}

kwRet FAT_FILESYSTEM::CommitFile(FAT_FILE_HANDLE* h) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!h->entryChanged)
        return KW_OK;
    if (damaged_)
        return ERR_FAT_INVALID_ENTRIES;
    // The data and the chain reach the disk before the entry that names them.
    kwRet rc = writeFat(true);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        rc = FlushEntry(h);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        h->entryChanged = false;
    return rc;
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

bool FatWordsFromFileTime(uint64_t fileTime, uint16_t* date, uint16_t* time) {
    const std::time_t seconds = static_cast<std::time_t>(kwtime::ToUnixRounded(fileTime));
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr || local.tm_year < 80 || local.tm_year > 207)
        return false;
    KW_DATE d;
    d.day = static_cast<uint8_t>(local.tm_mday);
    d.month = static_cast<uint8_t>(local.tm_mon + 1);
    d.year = static_cast<uint16_t>(local.tm_year + 1900);
    KW_TIME t;
    t.hour = static_cast<uint8_t>(local.tm_hour);
    t.minute = static_cast<uint8_t>(local.tm_min);
    t.second = static_cast<uint8_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    *date = FatEncodeDate(d);
    *time = FatEncodeTime(t);
    return true;
}

kwRet FAT_FILESYSTEM::SetFileTime(FAT_FILE_HANDLE* h, uint64_t fileTime) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    uint16_t date = 0, time = 0;
    if (!h->IsFile() || !FatWordsFromFileTime(fileTime, &date, &time))
        return ERR_BAD_ARGUMENT;
    kwbytes::StoreLe16(h->entry + FDE_WTIME, time);
    kwbytes::StoreLe16(h->entry + FDE_WDATE, date);
    kwbytes::StoreLe16(h->entry + FDE_ADATE, date);
    h->entryChanged = true;
    return CommitFile(h);
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

// Links free clusters onto the file's chain until it holds `want`; the FAT
// goes to the disk, the entry does not (a new first cluster is set in the
// handle's copy only). No room: the clusters added here go back and the old
// last cluster ends the chain again.
kwRet FAT_FILESYSTEM::growChain(FAT_FILE_HANDLE* h, uint32_t want) {
    kwRet rc = ensureRuns(h, want);
    if (rc != KW_OK || h->runClusters >= want)
        return rc;
    uint32_t bpc = boot_.BytesPerCluster();
    if (h->runClusters < (uint64_t{h->GetSize()} + bpc - 1) / bpc) {
        damaged_ = true; // the chain ends before the file's data
        return ERR_FAT_INVALID_ENTRIES;
    }
    SECTOR_RUN* tailRun = h->runs;
    while (tailRun != nullptr && tailRun->next != nullptr)
        tailRun = tailRun->next;
    uint32_t spc = boot_.sectorsPerCluster;
    uint32_t last = tailRun != nullptr
                        ? boot_.SectorToCluster(tailRun->firstSector + tailRun->sectorCount - spc)
                        : 0;
    uint32_t tail = last, firstNew = 0;
    for (uint32_t n = h->runClusters; rc == KW_OK && n < want; ++n) {
        uint32_t c = 0;
        rc = allocateCluster(tail != 0 ? tail + 1 : 2, &c);
        if (rc != KW_OK)
            break;
        rc = fat_->SetNextCluster(c, FAT_EOC_MARK);
        if (rc == KW_OK && tail != 0)
            rc = fat_->SetNextCluster(tail, c);
        if (rc != KW_OK) {
            fat_->SetNextCluster(c, 0);
            break;
        }
        firstNew = firstNew != 0 ? firstNew : c;
        tail = c;
        uint32_t sector = boot_.ClusterToSector(c);
        if (tailRun != nullptr && tailRun->firstSector + tailRun->sectorCount == sector) {
            tailRun->sectorCount += spc;
        } else {
            auto* run = new SECTOR_RUN;
            if (run == nullptr) {
                rc = ERR_NO_MEMORY;
                break;
            }
            run->firstSector = sector;
            run->sectorCount = spc;
            run->previous = tailRun;
            (tailRun != nullptr ? tailRun->next : h->runs) = run;
            tailRun = run;
        }
        ++h->runClusters;
    }
    if (rc != KW_OK) {
        if (firstNew != 0)
            freeChain(firstNew);
        if (last != 0)
            fat_->SetNextCluster(last, FAT_EOC_MARK);
        FreeSectorRuns(h->runs);
        h->runs = nullptr;
        h->runClusters = 0;
        return rc;
    }
    if (last == 0) {
        h->SetFirstCluster(firstNew);
        h->entryChanged = true;
    }
    return writeFat(false);
}

// Cuts the chain to `keep` clusters: the entry (size already set in the
// handle, first cluster 0 when nothing is kept) is written first, then the
// clusters are freed, so a crash between the two loses no cluster to two
// owners.
kwRet FAT_FILESYSTEM::shrinkChain(FAT_FILE_HANDLE* h, uint32_t keep) {
    uint32_t* chain = nullptr;
    uint32_t have = 0;
    kwRet rc = chainClusters(h->FirstCluster(), boot_.clusterCount, &chain, &have);
    if (rc != KW_OK)
        return rc;
    FreeSectorRuns(h->runs);
    h->runs = nullptr;
    h->runClusters = 0;
    if (keep == 0)
        h->SetFirstCluster(0);
    if (h->entryChanged)
        rc = flushDisk(); // earlier writes of this handle come before its entry
    if (rc == KW_OK)
        rc = FlushEntry(h);
    if (rc == KW_OK)
        rc = flushDisk();
    if (rc == KW_OK)
        h->entryChanged = false;
    if (rc == KW_OK && keep < have) {
        if (keep > 0)
            rc = fat_->SetNextCluster(chain[keep - 1], FAT_EOC_MARK);
        for (uint32_t i = keep; rc == KW_OK && i < have; ++i)
            rc = fat_->SetNextCluster(chain[i], 0);
        if (rc == KW_OK)
            rc = FlushFat();
    }
    delete[] chain;
    return rc;
}

// Zeros [from, to) of the file, so that a file made longer shows no bytes
// its clusters held before.
kwRet FAT_FILESYSTEM::zeroTail(FAT_FILE_HANDLE* h, uint32_t from, uint32_t to) {
    constexpr uint32_t kZeroBytes = 64 * 1024;
    std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[kZeroBytes]());
    if (!zeros)
        return ERR_NO_MEMORY;
    uint32_t keep = h->position;
    h->position = from;
    kwRet rc = KW_OK;
    while (rc == KW_OK && h->position < to)
        rc = writeData(h, zeros.get(), std::min(kZeroBytes, to - h->position));
    h->position = keep;
    return rc;
}

kwRet FAT_FILESYSTEM::SetFileSize(FAT_FILE_HANDLE* h, uint32_t newSize) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    if (!h->IsFile())
        return ERR_NOT_SUPPORTED;
    uint32_t oldSize = h->GetSize();
    if (newSize == oldSize)
        return KW_OK;
    uint32_t bpc = boot_.BytesPerCluster();
    uint32_t clusters = static_cast<uint32_t>((uint64_t{newSize} + bpc - 1) / bpc);
    FatStampWrite(h->entry);
    if (newSize < oldSize) {
        h->SetSize(newSize);
        if (h->position > newSize)
            h->position = newSize;
        return shrinkChain(h, clusters);
    }
    rc = growChain(h, clusters);
    if (rc == KW_OK)
        rc = zeroTail(h, oldSize, newSize);
    if (rc != KW_OK)
        return rc;
    h->SetSize(newSize);
    h->entryChanged = true;
    return CommitFile(h);
}

// The bytes at the handle's position, over clusters the file already has.
kwRet FAT_FILESYSTEM::writeData(FAT_FILE_HANDLE* h, const uint8_t* in, uint32_t count) {
    kwRet rc = KW_OK;
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
    return rc != KW_OK ? rc : count == 0 ? KW_OK : ERR_FILE_TELL;
}

// The new size and time reach the disk when the handle is committed, after
// the data: until then a crash leaves the file as its entry last described it.
kwRet FAT_FILESYSTEM::Write(FAT_FILE_HANDLE* h, const void* buffer, uint32_t count) {
    if (h == nullptr || buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = mayChange();
    if (rc != KW_OK)
        return rc;
    if (!h->IsFile())
        return ERR_NOT_SUPPORTED;
    uint64_t end = uint64_t{h->position} + count;
    if (end > 0xFFFFFFFFull)
        return ERR_FILE_TOO_BIG;
    uint32_t bpc = boot_.BytesPerCluster();
    uint32_t clusters = static_cast<uint32_t>((end + bpc - 1) / bpc);
    if (end > h->GetSize())
        rc = growChain(h, clusters);
    if (rc == KW_OK)
        rc = ensureRuns(h, clusters);
    if (rc == KW_OK && h->runClusters < clusters)
        rc = ERR_FILE_TELL;
    if (rc == KW_OK)
        rc = writeData(h, static_cast<const uint8_t*>(buffer), count);
    if (rc != KW_OK)
        return rc;
    if (end > h->GetSize())
        h->SetSize(static_cast<uint32_t>(end));
    FatStampWrite(h->entry);
    h->entry[FDE_ATTR] |= FAT_ATTR_ARCHIVE;
    h->entryChanged = true;
    return KW_OK;
}
