#include "engine/disk/fat_recovery.h"

#include "engine/disk/align_marker.h"

#include "engine/core/msgformat.h"
#include "engine/core/ui_bridge.h"
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/sector_buffer.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint8_t kFirstMarkFree = 8; // first bytes below this are marks
// FAT12 below this many clusters, FAT16 from it, as the FAT volume itself
// reads them (a volume of 4085 clusters has 16-bit entries).
constexpr uint32_t kFat12Limit = 4085;
constexpr uint32_t kLastChainCluster = 0xFFF6;
constexpr uint32_t kMsgInterrupted = 325;
constexpr uint32_t kMsgRecovered = 466;
constexpr uint32_t kMsgRecoverNow = 468;
constexpr char kDynamicRoot[] = "DYN_ROOT";

bool IsFatType(uint8_t type) {
    switch (type & 0xEF) { // the hidden forms differ in bit 10h
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0B:
    case 0x0C:
    case 0x0E:
        return true;
    default:
        return false;
    }
}

uint32_t FatSector(const FAT_RECOVERY_LAYOUT& l, uint32_t copy, uint32_t index) {
    return l.firstFat + copy * l.sectorsPerFat + index;
}

// The bytes of a FAT's two reserved entries, which hold the media byte (or
// the marks) and the saved type.
uint32_t ReservedBytes(const FAT_RECOVERY_LAYOUT& l) {
    return l.fatBits == 12 ? 3 : l.fatBits == 16 ? 4 : 8;
}

// Sector `index` of FAT copy 0 over every other copy. The first sector's
// reserved entries take the marks still to be worked off (all but this one)
// and the saved type, so that every copy keeps what a repeated run needs.
kwRet CopyFirstFat(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint8_t marks,
                   const uint8_t* kept, uint8_t* buf) {
    for (uint32_t i = 0; i < l.sectorsPerFat; ++i) {
        kwRet rc = phyRead(disk, FatSector(l, 0, i), buf, 1);
        if (rc != KW_OK)
            return rc;
        if (i == 0) {
            std::memcpy(buf, kept, ReservedBytes(l));
            buf[0] = static_cast<uint8_t>(marks & ~FAT_MARK_COPIES_OUT_OF_STEP);
        }
        for (uint32_t copy = 1; copy < l.fatCount && rc == KW_OK; ++copy)
            rc = phyWrite(disk, FatSector(l, copy, i), buf, 1);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The FAT16 entry of a cluster in copy 0.
kwRet Fat16Entry(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint32_t cluster, uint8_t* buf,
                 uint32_t* next) {
    kwRet rc = phyRead(disk, FatSector(l, 0, cluster * 2 / kSector), buf, 1);
    if (rc == KW_OK)
        *next = kwbytes::LoadLe16(buf + cluster * 2 % kSector);
    return rc;
}

// The clusters of the chain that holds the root directory, at most as many
// as the fixed root area needs; a loop or a bad link ends it.
kwRet RootChain(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint32_t first, uint8_t* buf,
                std::vector<uint32_t>* chain) {
    uint32_t rootSectors = (l.rootEntries * 32 + kSector - 1) / kSector;
    uint32_t most = (rootSectors + l.sectorsPerCluster - 1) / l.sectorsPerCluster;
    for (uint32_t c = first;
         c >= 2 && c <= kLastChainCluster && c < l.clusterCount + 2 && chain->size() < most;) {
        for (uint32_t seen : *chain)
            if (seen == c)
                return KW_OK;
        chain->push_back(c);
        kwRet rc = Fat16Entry(disk, l, c, buf, &c);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Sets the FAT16 entries of the chain to 0 in every copy, one write per FAT
// sector. Copy 0, which a repeated run reads, goes last, and there the
// sector holding the chain's first entry goes first: once that entry is
// free, every other copy is free of the chain too. Copy 0 itself is not,
// when the chain spans several FAT sectors: a run stopped after that first
// sector leaves the chain's entries in copy 0's later sectors allocated, and
// a repeated run, which finds the first entry free, cannot follow the chain
// to them (they are lost clusters a check of the volume reclaims).
kwRet FreeChain(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, const std::vector<uint32_t>& chain,
                uint8_t* buf) {
    std::vector<uint32_t> sectors; // FAT sectors of the chain, the first entry's first
    for (uint32_t c : chain)
        if (std::find(sectors.begin(), sectors.end(), c * 2 / kSector) == sectors.end())
            sectors.push_back(c * 2 / kSector);
    for (uint32_t copy = l.fatCount; copy-- > 0;) {
        for (uint32_t index : sectors) {
            kwRet rc = phyRead(disk, FatSector(l, copy, index), buf, 1);
            if (rc != KW_OK)
                return rc;
            for (uint32_t c : chain)
                if (c * 2 / kSector == index)
                    kwbytes::StoreLe16(buf + c * 2 % kSector, 0);
            rc = phyWrite(disk, FatSector(l, copy, index), buf, 1);
            if (rc != KW_OK)
                return rc;
        }
    }
    return KW_OK;
}

// Root sector i from the chain (zeros past its end) into the fixed area.
kwRet PutRootSector(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l,
                    const std::vector<uint32_t>& chain, uint32_t i, uint8_t* buf) {
    uint32_t n = i / l.sectorsPerCluster;
    std::memset(buf, 0, kSector);
    kwRet rc = KW_OK;
    if (n < chain.size())
        rc = phyRead(disk,
                     l.dataStart + (chain[n] - 2) * l.sectorsPerCluster + i % l.sectorsPerCluster,
                     buf, 1);
    return rc == KW_OK ? phyWrite(disk, l.rootStart + i, buf, 1) : rc;
}

// Every root sector but the first from the chain into the fixed area, then,
// once they are on disk, the chain freed.
kwRet PutRootTail(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l,
                  const std::vector<uint32_t>& chain, uint8_t* buf) {
    uint32_t rootSectors = (l.rootEntries * 32 + kSector - 1) / kSector;
    kwRet rc = KW_OK;
    for (uint32_t i = 1; i < rootSectors && rc == KW_OK; ++i)
        rc = PutRootSector(disk, l, chain, i, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    return rc == KW_OK ? FreeChain(disk, l, chain, buf) : rc;
}

// A FAT16 root directory that was moved into a cluster chain (its fixed area
// then begins with "DYN_ROOT" and the chain's first cluster) goes back to
// the fixed area, and the chain is freed. The first root sector, which holds
// the marker a repeated run starts from, is written last, once the other
// root sectors and the freed chain are on disk; the caller flushes it. A run
// that finds the marker with the chain's first cluster already free
// therefore has only that sector left to copy (though some of the old
// chain's clusters may still be allocated in copy 0, see FreeChain).
kwRet RestoreRoot(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint8_t* buf) {
    kwRet rc = phyRead(disk, l.rootStart, buf, 1);
    if (rc != KW_OK || std::memcmp(buf, kDynamicRoot, 8) != 0)
        return rc;
    uint32_t first = kwbytes::LoadLe16(buf + 8);
    if (first < 2 || first >= l.clusterCount + 2) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%lu: the moved root directory names cluster %lu, which the volume does "
                "not have\r\n",
                static_cast<unsigned long>(ERR_FAT_BAD_CLUSTER), static_cast<unsigned long>(first));
        return ERR_FAT_BAD_CLUSTER;
    }
    uint32_t link = 0;
    rc = Fat16Entry(disk, l, first, buf, &link);
    std::vector<uint32_t> chain;
    if (rc == KW_OK && link != 0)
        rc = RootChain(disk, l, first, buf, &chain);
    else if (rc == KW_OK)
        DiskLog(DBG_LEVEL_HEADER,
                "The moved root directory's first cluster %lu is already free: clusters of its "
                "old chain may remain allocated until the volume is checked\r\n",
                static_cast<unsigned long>(first));
    if (rc == KW_OK && !chain.empty())
        rc = PutRootTail(disk, l, chain, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    if (rc == KW_OK)
        rc = PutRootSector(disk, l, {first}, 0, buf); // the caller flushes it
    if (rc == KW_OK)
        DiskLog(DBG_LEVEL_HEADER, "Root directory of %u clusters put back into its fixed area\r\n",
                static_cast<unsigned>(chain.size()));
    return rc;
}

// The entry's type byte in its table sector.
kwRet RestoreType(DISK_RECORD* disk, TABLE_ENTRY* te, uint8_t type, uint8_t* buf) {
    kwRet rc = phyRead(disk, te->tableSector, buf, 1);
    if (rc != KW_OK)
        return rc;
    buf[KW_TABLE_OFFSET + 16 * te->index + 4] = type;
    rc = phyWrite(disk, te->tableSector, buf, 1);
    if (rc == KW_OK)
        te->entry.type = type;
    return rc;
}

// The normal first bytes of every FAT copy: the media byte and the end marks.
kwRet RestoreFatStarts(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint8_t* buf) {
    uint32_t n = ReservedBytes(l);
    for (uint32_t copy = 0; copy < l.fatCount; ++copy) {
        kwRet rc = phyRead(disk, FatSector(l, copy, 0), buf, 1);
        if (rc != KW_OK)
            return rc;
        buf[0] = 0xF8;
        std::memset(buf + 1, 0xFF, n - 1);
        rc = phyWrite(disk, FatSector(l, copy, 0), buf, 1);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// The marks of every FAT copy and the first bytes of the last marked one.
// While an alignment shift is under way (`shift` given, the boot sector not
// yet changed), a sector at or above the marker has moved up by the shift
// already. A marker sector where a FAT begins is no FAT sector: it is noted
// in *shiftMarker.
kwRet ReadMarks(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, const ALIGN_MARKER* shift,
                uint8_t* buf, uint8_t* marks, uint8_t* kept, bool* shiftMarker) {
    *marks = 0;
    *shiftMarker = false;
    for (uint32_t copy = 0; copy < l.fatCount; ++copy) {
        uint32_t sector = FatSector(l, copy, 0);
        if (shift != nullptr && sector >= shift->at)
            sector += shift->shift;
        kwRet rc = phyRead(disk, sector, buf, 1);
        if (rc != KW_OK)
            return rc;
        ALIGN_MARKER found;
        if (ALIGN_MARKER::Parse({buf, kSector}, sector, &found)) {
            *shiftMarker = true;
            continue;
        }
        if (buf[0] < kFirstMarkFree) {
            *marks |= buf[0];
            std::memcpy(kept, buf, 8);
        }
    }
    return KW_OK;
}

uint32_t Ask(uint32_t flags, std::initializer_list<uint32_t> messages) {
    std::string text;
    for (uint32_t id : messages)
        text += kwGetMessageText(id);
    UIBRIDGE* ui = kwGetUIBridge();
    return ui->MessageBox(text.c_str(), flags, ui->GetProductTitle());
}

// Whether the recovery may go ahead, with the reason logged when not.
bool MayRecover(DISK_RECORD* disk, const TABLE_ENTRY& te, uint8_t marks, uint8_t type,
                bool shifting) {
    const char* why = nullptr;
    if (!IsFatType(type))
        why = "its saved type is no FAT type";
    else if ((marks & FAT_MARK_MOVING) && !shifting && kwGetFsHooks().completeFatMove == nullptr)
        why = "its clusters were being moved, and no FAT file system is there to complete that";
    else if (!kwDiskWritable(disk))
        why = "the disk may not be written in this session";
    else if (Ask(MB_ENGINE_QUESTION | MB_ENGINE_BUTTONS_B, {kMsgInterrupted, kMsgRecoverNow}) !=
             BRIDGE_ANSWER_YES)
        why = "the user did not agree to recover it"; // No, Cancel, or nobody to ask
    if (why != nullptr) {
        DiskLog(DBG_LEVEL_HEADER,
                "Interrupted FAT operation on the partition at %lu left as it is: %s\r\n",
                static_cast<unsigned long>(te.absStart), why);
        return false;
    }
    return true;
}

// A FAT16 root left in a chain goes back to its fixed area (the copies
// brought into step first) before a cut move is completed: the completion
// frees every cluster no entry reaches and sets every folder's dots, and
// it reads the fixed area as the root. The marks stay as they are, so a
// run cut here does the same again (the root then is home already).
kwRet RootHomeFirst(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint8_t marks,
                    const uint8_t* kept, uint8_t* buf) {
    if ((marks & FAT_MARK_ROOT_IN_CHAIN) == 0 || l.fatBits != 16)
        return KW_OK;
    kwRet rc = KW_OK;
    if (marks & FAT_MARK_COPIES_OUT_OF_STEP)
        rc = CopyFirstFat(disk, l, marks, kept, buf);
    if (rc == KW_OK)
        rc = RestoreRoot(disk, l, buf);
    return rc == KW_OK ? phyFlush(disk) : rc;
}

// Every step leaves the marks that lead a repeated run through what is still
// to do: the work on the FATs and the root directory first, then the FATs'
// normal first bytes, and last, once those are on disk, the type that ends
// the entry's 3Ch.
kwRet Recover(DISK_RECORD* disk, TABLE_ENTRY* te, const FAT_RECOVERY_LAYOUT& l, uint8_t marks,
              const uint8_t* kept, uint8_t type, uint8_t* buf) {
    kwRet rc = KW_OK;
    if (marks & FAT_MARK_COPIES_OUT_OF_STEP)
        rc = CopyFirstFat(disk, l, marks, kept, buf);
    if (rc == KW_OK && (marks & FAT_MARK_ROOT_IN_CHAIN) && l.fatBits == 16)
        rc = RestoreRoot(disk, l, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    if (rc == KW_OK)
        rc = RestoreFatStarts(disk, l, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    if (rc == KW_OK)
        rc = RestoreType(disk, te, type, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    return rc;
}

} // namespace

bool FAT_RECOVERY_LAYOUT::parse(std::span<const uint8_t> s, uint32_t start,
                                FAT_RECOVERY_LAYOUT* l) {
    using namespace kwbytes;
    if (s.size() < kSector || LoadLe16(&s[510]) != KW_BOOT_SIGNATURE || LoadLe16(&s[11]) != kSector)
        return false;
    uint32_t spf16 = LoadLe16(&s[22]);
    bool fat32 = spf16 == 0;
    if (fat32 ? std::memcmp(&s[82], "FAT32", 5) != 0 : std::memcmp(&s[54], "FAT", 3) != 0)
        return false;
    FAT_RECOVERY_LAYOUT r;
    r.start = start;
    r.sectorsPerCluster = s[13];
    r.fatCount = s[16];
    r.sectorsPerFat = fat32 ? LoadLe32(&s[36]) : spf16;
    r.rootEntries = fat32 ? 0 : LoadLe16(&s[17]);
    uint32_t total = LoadLe16(&s[19]) != 0 ? LoadLe16(&s[19]) : LoadLe32(&s[32]);
    if (r.fatCount <= 1 || r.sectorsPerCluster == 0 || r.sectorsPerFat == 0)
        return false;
    uint64_t firstFat = uint64_t{start} + LoadLe16(&s[14]);
    uint64_t rootStart = firstFat + uint64_t{r.fatCount} * r.sectorsPerFat;
    uint64_t dataStart = rootStart + (r.rootEntries * 32 + kSector - 1) / kSector;
    if (dataStart - start > total || uint64_t{start} + total > UINT32_MAX)
        return false;
    r.firstFat = static_cast<uint32_t>(firstFat);
    r.rootStart = static_cast<uint32_t>(rootStart);
    r.dataStart = static_cast<uint32_t>(dataStart);
    r.clusterCount = static_cast<uint32_t>((total - (dataStart - start)) / r.sectorsPerCluster);
    r.fatBits = fat32 ? 32 : r.clusterCount < kFat12Limit ? 12 : 16;
    *l = r;
    return true;
}

const char* FAT_RECOVERY_LAYOUT::Fault(uint32_t partitionSectors) const {
    if (firstFat <= start)
        return "its first FAT would be its boot sector";
    if (uint64_t{sectorsPerFat} * kSector * 8 / fatBits < uint64_t{clusterCount} + 2)
        return "its FATs are too small for its clusters";
    if (dataStart > uint64_t{start} + partitionSectors)
        return "its FATs and root directory reach past the partition";
    return nullptr;
}

uint8_t SavedPartitionType(uint8_t fatBits, std::span<const uint8_t> b) {
    if (b.size() < 5)
        return 0;
    if (fatBits == 32)
        return b[4];
    if (fatBits == 16)
        return b[2];
    return static_cast<uint8_t>((b[1] >> 4) | (b[2] << 4));
}

namespace {

// The volume's layout from its boot sector, refused when unsafe to write.
kwRet ReadLayout(DISK_RECORD* disk, const TABLE_ENTRY& te, uint8_t* buf, FAT_RECOVERY_LAYOUT* l,
                 bool* fat) {
    *fat = false;
    kwRet rc = phyRead(disk, te.absStart, buf, 1);
    if (rc != KW_OK || !FAT_RECOVERY_LAYOUT::parse({buf, kSector}, te.absStart, l))
        return rc;
    *fat = true;
    if (const char* fault = l->Fault(te.entry.numSects)) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%lu: interrupted FAT operation on the partition at %lu not recovered: "
                "%s\r\n",
                static_cast<unsigned long>(ERR_FAT_BAD_GEOMETRY),
                static_cast<unsigned long>(te.absStart), fault);
        return ERR_FAT_BAD_GEOMETRY;
    }
    return KW_OK;
}

// An alignment shift under way is completed first: until then the FATs lie
// partly where they were and partly where the shift takes them. The layout
// and the marks are read again from where the shift leaves them.
kwRet CompleteShift(DISK_RECORD* disk, const TABLE_ENTRY& te, const ALIGN_MARKER& shift,
                    uint8_t* buf, FAT_RECOVERY_LAYOUT* l, uint8_t* marks, uint8_t* kept) {
    kwRet rc = kwCompleteAlignShift(disk, te.absStart, te.entry.numSects, nullptr, shift);
    bool fat = false, marker = false;
    if (rc == KW_OK)
        rc = ReadLayout(disk, te, buf, l, &fat);
    if (rc == KW_OK && !fat)
        rc = ERR_BAD_BOOT_SECTOR;
    if (rc == KW_OK)
        rc = ReadMarks(disk, *l, nullptr, buf, marks, kept, &marker);
    return rc;
}

// A move of clusters cut off: the FAT layer completes it on a record of the
// partition made for the purpose (no table entry, so that nothing there
// touches the entry's type).
kwRet CompleteMove(DISK_RECORD* disk, const TABLE_ENTRY& te, bool fat32) {
    PARTITION_INFO pi;
    pi.disk = disk;
    pi.ulStartSect = te.absStart;
    pi.NumSects = pi.ulBootTotal = te.entry.numSects;
    pi.ulTableSect = te.tableSector;
    pi.ucEntryIndex = PI_NO_ENTRY;
    pi.ucPartType = te.entry.type;
    pi.ucFsKind = fat32 ? FS_KIND_FAT32 : FS_KIND_FAT;
    pi.usBytesPerSector = 512;
    pi.ulCylSize = disk->CylinderSize();
    pi.ulFlags = PI_OPENABLE | PI_NOT_LINKED;
    kwRet rc = kwGetFsHooks().completeFatMove(&pi);
    DiskLog(DBG_LEVEL_HEADER, "Interrupted move of clusters on the partition at %lu %s\r\n",
            static_cast<unsigned long>(te.absStart), rc == KW_OK ? "completed" : "not completed");
    return rc;
}

void Recovered(const TABLE_ENTRY& te, bool* recovered) {
    DiskLog(DBG_LEVEL_HEADER, "Interrupted FAT operation on the partition at %lu recovered\r\n",
            static_cast<unsigned long>(te.absStart));
    Ask(MB_ENGINE_INFORMATION | MB_ENGINE_NOTICE, {kMsgInterrupted, kMsgRecovered});
    kwRequestRestart(1);
    *recovered = true;
}

// The type a whole FAT volume gets back when its FATs no longer keep the
// saved one (the operation, or a recovery, was cut just before the entry
// was written): its kind and size, in the form that reaches its end (LBA
// past the 1,024th cylinder).
uint8_t TypeOfVolume(const DISK_RECORD& disk, const TABLE_ENTRY& te, const FAT_RECOVERY_LAYOUT& l,
                     std::span<const uint8_t> boot) {
    uint64_t end = uint64_t{te.absStart} + te.entry.numSects;
    bool lba = end > uint64_t{1024} * disk.CylinderSize();
    bool small = kwbytes::LoadLe16(&boot[19]) != 0; // the 16-bit sector count holds it
    if (l.fatBits == 12)
        return 0x01;
    if (l.fatBits == 16 && small && !lba)
        return 0x04;
    if (l.fatBits == 16)
        return lba ? 0x0E : 0x06;
    return lba ? 0x0C : 0x0B;
}

// A 3Ch entry over a FAT volume without marks: the work was done and only
// the type is missing. With the user's consent the entry gets the type of
// the volume's kind, so the partition does not stay hidden for good.
kwRet RetypeWholeVolume(DISK_RECORD* disk, TABLE_ENTRY* te, const FAT_RECOVERY_LAYOUT& l,
                        uint8_t* buf, bool* recovered) {
    kwRet rc = phyRead(disk, te->absStart, buf, 1);
    if (rc != KW_OK)
        return rc;
    uint8_t type = TypeOfVolume(*disk, *te, l, {buf, kSector});
    if (!MayRecover(disk, *te, 0, type, false))
        return KW_OK;
    rc = RestoreType(disk, te, type, buf);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    if (rc != KW_OK)
        return rc;
    Recovered(*te, recovered);
    return KW_OK;
}

} // namespace

kwRet RecoverInterruptedFat(DISK_RECORD* disk, TABLE_ENTRY* te, bool* recovered) {
    *recovered = false;
    SectorBuffer buf;
    if (buf.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    FAT_RECOVERY_LAYOUT l;
    bool fat = false, marker = false, shifting = false;
    kwRet rc = ReadLayout(disk, *te, buf.get(), &l, &fat);
    if (rc != KW_OK || !fat)
        return rc;
    uint8_t marks = 0;
    uint8_t kept[8] = {};
    rc = ReadMarks(disk, l, nullptr, buf.get(), &marks, kept, &marker);
    ALIGN_MARKER shift;
    if (rc == KW_OK && ((marks & FAT_MARK_MOVING) || marker))
        rc = kwFindAlignMarker(disk, te->absStart, te->entry.numSects, &shift, &shifting);
    if (rc == KW_OK && shifting && l.firstFat == shift.lowest) // the count is not raised yet
        rc = ReadMarks(disk, l, &shift, buf.get(), &marks, kept, &marker);
    if (rc != KW_OK)
        return rc;
    if (marks == 0) // nothing left to do but the type, unless a shift is found
        return shifting ? KW_OK : RetypeWholeVolume(disk, te, l, buf.get(), recovered);
    uint8_t type = SavedPartitionType(l.fatBits, kept);
    if (!MayRecover(disk, *te, marks, type, shifting))
        return KW_OK;
    if (shifting)
        rc = CompleteShift(disk, *te, shift, buf.get(), &l, &marks, kept);
    else if (marks & FAT_MARK_MOVING) {
        rc = RootHomeFirst(disk, l, marks, kept, buf.get());
        if (rc == KW_OK)
            rc = CompleteMove(disk, *te, l.fatBits == 32);
    }
    if (rc == KW_OK)
        rc = Recover(disk, te, l, marks, kept, type, buf.get());
    // The markers go last: until the entry has its type back, a later run
    // finds the shift by them.
    if (rc == KW_OK && shifting)
        rc = kwClearAlignMarkers(disk, shift);
    if (rc != KW_OK) {
        DiskLog(DBG_LEVEL_HEADER,
                "Error #%lu: recovery of the interrupted FAT operation on the partition at %lu "
                "stopped part way\r\n",
                static_cast<unsigned long>(rc), static_cast<unsigned long>(te->absStart));
        return rc;
    }
    Recovered(*te, recovered);
    return KW_OK;
}

namespace {

// Whether every FAT copy but the first is unmarked and equal to the first
// but for the reserved entries of its first sector.
kwRet CopiesApartOnlyByMarks(DISK_RECORD* disk, const FAT_RECOVERY_LAYOUT& l, uint8_t* first,
                             uint8_t* other, bool* apart) {
    *apart = false;
    uint32_t reserved = ReservedBytes(l);
    for (uint32_t i = 0; i < l.sectorsPerFat; ++i) {
        kwRet rc = phyRead(disk, FatSector(l, 0, i), first, 1);
        for (uint32_t copy = 1; rc == KW_OK && copy < l.fatCount; ++copy) {
            rc = phyRead(disk, FatSector(l, copy, i), other, 1);
            uint32_t from = i == 0 ? reserved : 0;
            if (rc == KW_OK && ((i == 0 && other[0] < kFirstMarkFree) ||
                                std::memcmp(first + from, other + from, kSector - from) != 0))
                return KW_OK;
        }
        if (rc != KW_OK)
            return rc;
    }
    *apart = true;
    return KW_OK;
}

} // namespace

kwRet RepairHalfMarkedFat(DISK_RECORD* disk, const TABLE_ENTRY& te, bool* repaired) {
    *repaired = false;
    if (!IsFatType(te.entry.type))
        return KW_OK;
    SectorBuffer buf, other;
    if (buf.get() == nullptr || other.get() == nullptr)
        return ERR_NO_SECTOR_BUFFER;
    // No FAT volume, or none this recovery may write to: left as it is.
    FAT_RECOVERY_LAYOUT l;
    kwRet rc = phyRead(disk, te.absStart, buf.get(), 1);
    bool fat = rc == KW_OK && FAT_RECOVERY_LAYOUT::parse({buf.get(), kSector}, te.absStart, &l) &&
               l.Fault(te.entry.numSects) == nullptr;
    if (fat)
        rc = phyRead(disk, FatSector(l, 0, 0), buf.get(), 1);
    ALIGN_MARKER marker;
    if (rc != KW_OK || !fat || buf.get()[0] >= kFirstMarkFree ||
        ALIGN_MARKER::Parse({buf.get(), kSector}, FatSector(l, 0, 0), &marker))
        return rc;
    bool apart = false;
    rc = CopiesApartOnlyByMarks(disk, l, buf.get(), other.get(), &apart);
    if (rc != KW_OK || !apart || !MayRecover(disk, te, 0, te.entry.type, false))
        return rc;
    rc = phyRead(disk, FatSector(l, 1, 0), buf.get(), 1);
    if (rc == KW_OK)
        rc = phyWrite(disk, FatSector(l, 0, 0), buf.get(), 1);
    if (rc == KW_OK)
        rc = phyFlush(disk);
    if (rc == KW_OK) {
        DiskLog(DBG_LEVEL_HEADER,
                "Marks of an interrupted FAT operation cleared from the first FAT of the "
                "partition at %lu\r\n",
                static_cast<unsigned long>(te.absStart));
        *repaired = true;
    }
    return rc;
}
