#include "engine/disk/align_marker.h"

#include "engine/core/kwmemory.h"
#include "engine/core/msgformat.h"
#include "engine/core/ui_bridge.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/sector_buffer.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kTextBytes = 13;
constexpr uint32_t kSearchRun = 64;      // sectors read at once while searching
constexpr uint32_t kMostDistance = 8192; // a 4 MiB chunk; no shift uses more
constexpr uint32_t kReservedAt = 14;
constexpr uint32_t kFsInfoAt = 48;
constexpr uint32_t kBackupBootAt = 50;
constexpr uint32_t kFsInfoLead = 0x41615252;
constexpr uint32_t kFsInfoMiddle = 0x61417272;
constexpr uint32_t kUnknown = 0xFFFFFFFF;
constexpr uint32_t kMsgCaption = 463;
constexpr uint32_t kMsgCompleting = 464;
constexpr uint32_t kMsgSearching = 465;

bool HoldsMarker(const uint8_t* sector) {
    return std::memcmp(sector + ALIGN_MARKER_TEXT_AT, ALIGN_MARKER_TEXT, kTextBytes) == 0;
}

uint32_t Reserved(std::span<const uint8_t> boot) {
    return kwbytes::LoadLe16(&boot[kReservedAt]);
}

void Notice(uint32_t message) {
    UIBRIDGE* ui = kwGetUIBridge();
    ui->MessageBox(kwGetMessageText(message), MB_ENGINE_NOTICE, kwGetMessageText(kMsgCaption));
}

// Engine memory that returns itself when it goes out of scope.
class ChunkBuffer {
public:
    explicit ChunkBuffer(uint32_t sectors) { kwGetMemory(sectors * kSector, &p_); }
    ~ChunkBuffer() {
        if (p_ != nullptr)
            kwFreeMemory(&p_);
    }
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;
    uint8_t* get() const { return static_cast<uint8_t*>(p_); }

private:
    void* p_ = nullptr;
};

kwRet WriteFlushed(DISK_RECORD* disk, uint32_t sector, const void* buffer, uint32_t count) {
    kwRet rc = phyWrite(disk, sector, buffer, count);
    return rc != KW_OK ? rc : phyFlush(disk);
}

// Moves the chunks below the marker, from the one it names down to the
// region's start. Each chunk reaches its new place before the marker is
// written over its first sector, one chunk lower.
kwRet MoveChunks(DISK_RECORD* disk, const ALIGN_MARKER& m, const uint8_t* markerSector) {
    ChunkBuffer chunk(m.distance);
    if (chunk.get() == nullptr)
        return ERR_NO_MEMORY;
    uint64_t end = m.at; // the chunk ends where its marker lies
    while (end > m.lowest) {
        const uint64_t from = end - m.lowest > m.distance ? end - m.distance : m.lowest;
        const uint32_t n = static_cast<uint32_t>(end - from);
        const uint32_t at = static_cast<uint32_t>(from);
        kwRet rc = phyRead(disk, at, chunk.get(), n);
        if (rc == KW_OK)
            rc = WriteFlushed(disk, at + m.shift, chunk.get(), n);
        if (rc == KW_OK)
            rc = WriteFlushed(disk, at, markerSector, 1);
        if (rc != KW_OK)
            return rc;
        end = from;
    }
    return KW_OK;
}

// Raises the reserved count of a boot sector that still has the old one.
bool Raise(uint8_t* boot, const ALIGN_MARKER& m, uint32_t start) {
    if (Reserved({boot, kSector}) != m.lowest - start)
        return false;
    kwbytes::StoreLe16(&boot[kReservedAt], static_cast<uint16_t>(m.lowest - start + m.shift));
    return true;
}

// A FAT32 FSInfo sector's free count and next free cluster become
// "unknown": the volume loses the clusters the shift pushes past its end.
// Unknown is right before the shift and after it, so this is done once or
// again alike.
kwRet ForgetFreeCount(DISK_RECORD* disk, uint32_t sector, uint8_t* buf) {
    kwRet rc = phyRead(disk, sector, buf, 1);
    if (rc != KW_OK || kwbytes::LoadLe32(&buf[0]) != kFsInfoLead ||
        kwbytes::LoadLe32(&buf[484]) != kFsInfoMiddle)
        return rc;
    if (kwbytes::LoadLe32(&buf[488]) == kUnknown && kwbytes::LoadLe32(&buf[492]) == kUnknown)
        return KW_OK;
    kwbytes::StoreLe32(&buf[488], kUnknown);
    kwbytes::StoreLe32(&buf[492], kUnknown);
    return WriteFlushed(disk, sector, buf, 1);
}

// The FAT32 backup boot sector and the FSInfo sectors first, then the boot
// sector itself, whose raised count is what tells a later run that every
// chunk has moved.
kwRet CommitShift(DISK_RECORD* disk, const ALIGN_MARKER& m, uint32_t start, uint8_t* boot) {
    const uint32_t reserved = m.lowest - start;
    const uint32_t backup = kwbytes::LoadLe16(&boot[kBackupBootAt]);
    const uint32_t fsInfo = kwbytes::LoadLe16(&boot[kFsInfoAt]);
    const bool fat32 = kwbytes::LoadLe16(&boot[22]) == 0;
    SectorBuffer copy;
    if (copy.get() == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = KW_OK;
    if (fat32 && backup != 0 && backup < reserved) {
        rc = phyRead(disk, start + backup, copy.get(), 1);
        if (rc == KW_OK && Raise(copy.get(), m, start))
            rc = WriteFlushed(disk, start + backup, copy.get(), 1);
        if (rc == KW_OK && fsInfo != 0 && backup + fsInfo < reserved)
            rc = ForgetFreeCount(disk, start + backup + fsInfo, copy.get());
    }
    if (rc == KW_OK && fat32 && fsInfo != 0 && fsInfo < reserved)
        rc = ForgetFreeCount(disk, start + fsInfo, copy.get());
    if (rc != KW_OK || !Raise(boot, m, start))
        return rc; // a count raised by an earlier run stays
    return WriteFlushed(disk, start, boot, 1);
}

} // namespace

kwRet kwClearAlignMarkers(DISK_RECORD* disk, const ALIGN_MARKER& m) {
    SectorBuffer sector;
    if (sector.get() == nullptr)
        return ERR_NO_MEMORY;
    for (uint32_t s = m.lowest; s < m.lowest + m.shift; ++s) {
        kwRet rc = phyRead(disk, s, sector.get(), 1);
        if (rc != KW_OK)
            return rc;
        if (!HoldsMarker(sector.get()))
            continue;
        std::memset(sector.get(), 0, kSector);
        if ((rc = WriteFlushed(disk, s, sector.get(), 1)) != KW_OK)
            return rc;
    }
    return KW_OK;
}

bool ALIGN_MARKER::Parse(std::span<const uint8_t> s, uint32_t at, ALIGN_MARKER* m) {
    if (s.size() < kSector || !HoldsMarker(s.data()))
        return false;
    m->at = at;
    m->lowest = kwbytes::LoadLe32(&s[0]);
    m->distance = kwbytes::LoadLe32(&s[4]);
    m->shift = kwbytes::LoadLe32(&s[8]);
    return true;
}

bool ALIGN_MARKER::Committed(uint32_t start, std::span<const uint8_t> boot) const {
    return Reserved(boot) == uint64_t{lowest} - start + shift;
}

const char* ALIGN_MARKER::Fault(uint32_t start, uint32_t count,
                                std::span<const uint8_t> boot) const {
    const uint64_t end = uint64_t{start} + count;
    if (boot.size() < kSector || kwbytes::LoadLe16(&boot[510]) != 0xAA55)
        return "the partition has no boot sector";
    if (distance == 0 || distance > kMostDistance)
        return "its chunk length is out of range";
    if (shift <= distance)
        return "its chunks would overwrite their own sectors";
    if (lowest <= start || at < lowest || uint64_t{at} + shift > end)
        return "its region does not lie inside the partition";
    const uint64_t before = uint64_t{lowest} - start;
    if (Reserved(boot) != before && !Committed(start, boot))
        return "its region does not begin where the reserved sectors end";
    if (before + shift > 0xFFFF)
        return "the reserved sectors would number more than 65,535";
    return nullptr;
}

namespace {

kwRet Search(DISK_RECORD* disk, uint32_t start, uint32_t count, ALIGN_MARKER* marker, bool* found) {
    *found = false;
    ChunkBuffer run(kSearchRun);
    if (run.get() == nullptr)
        return ERR_NO_MEMORY;
    const uint64_t end = uint64_t{start} + count;
    for (uint64_t s = uint64_t{start} + 1; s < end;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kSearchRun, end - s));
        // A run that fails is read again sector by sector, so that only a
        // sector before the marker can end the search.
        const bool whole = phyRead(disk, static_cast<uint32_t>(s), run.get(), n) == KW_OK;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* sector = run.get() + size_t{i} * kSector;
            if (!whole) {
                kwRet rc = phyRead(disk, static_cast<uint32_t>(s + i), run.get(), 1);
                if (rc != KW_OK)
                    return rc;
                sector = run.get();
            }
            if (ALIGN_MARKER::Parse({sector, kSector}, static_cast<uint32_t>(s + i), marker)) {
                *found = true;
                return KW_OK;
            }
        }
        s += n;
    }
    return KW_OK;
}

} // namespace

kwRet kwFindAlignMarker(DISK_RECORD* disk, uint32_t start, uint32_t count, ALIGN_MARKER* marker,
                        bool* found) {
    Notice(kMsgSearching);
    kwRet rc = Search(disk, start, count, marker, found);
    kwGetUIBridge()->Reserved6();
    return rc;
}

kwRet kwCompleteAlignShift(DISK_RECORD* disk, uint32_t start, uint32_t count, uint8_t* bootSector,
                           const ALIGN_MARKER& m) {
    SectorBuffer markerSector, own;
    if (markerSector.get() == nullptr || own.get() == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = phyRead(disk, m.at, markerSector.get(), 1);
    uint8_t* boot = bootSector != nullptr ? bootSector : own.get();
    if (rc == KW_OK && bootSector == nullptr)
        rc = phyRead(disk, start, boot, 1);
    if (rc != KW_OK)
        return rc;
    if (const char* fault = m.Fault(start, count, {boot, kSector})) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%lu: the alignment marker at sector %lu is not followed: %s\r\n",
                static_cast<unsigned long>(ERR_FAT_BAD_GEOMETRY), static_cast<unsigned long>(m.at),
                fault);
        return ERR_FAT_BAD_GEOMETRY;
    }
    Notice(kMsgCompleting);
    if (!m.Committed(start, {boot, kSector}))
        rc = MoveChunks(disk, m, markerSector.get());
    if (rc == KW_OK)
        rc = CommitShift(disk, m, start, boot);
    kwGetUIBridge()->Reserved6();
    DiskLog(DBG_LEVEL_HEADER, "Alignment shift of the partition at %lu %s (#%lu)\r\n",
            static_cast<unsigned long>(start), rc == KW_OK ? "completed" : "stopped part way",
            static_cast<unsigned long>(rc));
    return rc;
}

kwRet kwCheckAlignMarker(DISK_RECORD* disk, uint32_t start, uint32_t count, uint8_t* bootSector) {
    ALIGN_MARKER m;
    bool found = false;
    kwRet rc = kwFindAlignMarker(disk, start, count, &m, &found);
    if (rc != KW_OK || !found)
        return rc;
    rc = kwCompleteAlignShift(disk, start, count, bootSector, m);
    return rc != KW_OK ? rc : kwClearAlignMarkers(disk, m);
}
