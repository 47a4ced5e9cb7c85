// NTFS_FILESYSTEM: the records $MFTMirr keeps a second copy of ($MFT,
// $MFTMirr, $LogFile, $Volume and, on large clusters, a few more).
//
// A record is two writes, one per copy, and a cut between them leaves copies
// that differ: a volume that ntfs-3g refuses to mount and Windows repairs.
// So a change of these records is bracketed. First $MFTMirr's own record in
// the $MFT says its data is empty (one write): a mirror of no bytes is
// compared with nothing, and every state from then on mounts. Then the
// records change in the $MFT alone. Last the mirror takes the records as the
// $MFT holds them, its own record among them with the true size, and only
// then does the $MFT's copy of that record get the size back (one write).
// The disk is flushed between the steps.
//
// An empty mirror whose clusters are there can only be a change cut off in
// the middle: the $MFT's records are the newer, and the first change of the
// volume after it copies them into the mirror before anything else.
#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>

using namespace kw::ntfs;

namespace {

constexpr uint64_t kMirrorRecord = 1;
constexpr uint32_t kBootSectorBytes = 512;
const uint8_t kNoName[1] = {0};

// Where the mirror's unnamed $DATA lies in its record (0 when it is not a
// non-resident attribute there).
uint32_t MirrorData(const std::vector<uint8_t>& record) {
    uint32_t at = FindAttribute(record, ATTR_DATA, Bytes(kNoName, 0));
    return at != 0 && record[at + AR_NON_RESIDENT] == 1 ? at : 0;
}

} // namespace

uint64_t NTFS_FILESYSTEM::mirroredRecords() const {
    return mirrorBytes_ / geometry_.bytesPerRecord;
}

// The mirror's size on a sound volume: four records, or a whole cluster
// when that holds more (within its clusters, in whole records).
uint64_t NTFS_FILESYSTEM::mirrorSizeWanted(const NTFS_STREAM& mirror) const {
    const uint64_t record = geometry_.bytesPerRecord;
    uint64_t want = std::max<uint64_t>(4 * record, geometry_.bytesPerCluster);
    return std::min(want, mirror.allocatedSize) / record * record;
}

kwRet NTFS_FILESYSTEM::storeRecordImage(uint64_t number, std::vector<uint8_t> image) {
    const uint32_t size = geometry_.bytesPerRecord;
    kwRet rc = WriteStream(mft_, number * size, image.data(), size);
    if (rc != KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM::WriteFrs: record %llu not written (error %lu)\n",
                  static_cast<unsigned long long>(number), static_cast<unsigned long>(rc));
        return rc;
    }
    // The cache takes the record as written.
    auto record = std::make_shared<Record>();
    record->bytes = std::move(image);
    if (DecodeRecord(record->bytes, &record->header) != KW_OK)
        return KW_OK;
    for (CacheEntry& e : cache_) {
        if (e.number == number) {
            e.record = record;
            return KW_OK;
        }
    }
    cacheRecord(number, record);
    return KW_OK;
}

// $MFTMirr's own record waits for the release: written at once it could
// name a new place for the mirror before the mirror is there.
kwRet NTFS_FILESYSTEM::writeMirroredRecord(uint64_t number, const std::vector<uint8_t>& bytes) {
    kwRet rc = HoldMirror();
    if (rc != KW_OK)
        return rc;
    if (number == kMirrorRecord) {
        if (MirrorData(bytes) == 0)
            rc = ERR_MUST_BE_NONRESIDENT;
        else
            pendingMirror_ = bytes;
        return ReleaseMirror(rc);
    }
    std::vector<uint8_t> image = bytes;
    rc = ApplyFixups(image);
    if (rc == KW_OK)
        rc = storeRecordImage(number, std::move(image));
    return ReleaseMirror(rc);
}

kwRet NTFS_FILESYSTEM::HoldMirror() {
    if (mirroredRecords() == 0 || mirrorHold_++ > 0)
        return KW_OK;
    std::vector<uint8_t> r;
    kwRet rc = ReadRecordForChange(kMirrorRecord, &r);
    uint32_t at = rc == KW_OK ? MirrorData(r) : 0;
    if (rc == KW_OK && at == 0)
        rc = ERR_MUST_BE_NONRESIDENT;
    if (rc == KW_OK) {
        SetSizes(r, at, kwbytes::LoadLe64(r.data() + at + AR_ALLOCATED), 0, 0);
        rc = ApplyFixups(r);
    }
    if (rc == KW_OK)
        rc = storeRecordImage(kMirrorRecord, std::move(r));
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc != KW_OK)
        mirrorHold_ = 0;
    return rc;
}

kwRet NTFS_FILESYSTEM::ReleaseMirror(kwRet rc) {
    if (mirrorHold_ == 0 || --mirrorHold_ > 0)
        return rc;
    if (rc != KW_OK)
        pendingMirror_.clear();
    kwRet refreshed = refreshMirror();
    return rc != KW_OK ? rc : refreshed;
}

// The mirror takes the $MFT's first records as they stand, its own record
// with the true size; then the $MFT's copy of that record gets the size.
// A record torn in the $MFT (its fix-ups do not match) is not copied over
// the mirror's, which may be the only whole one: the mirror stays empty and
// the volume is left for a check disk to mend.
kwRet NTFS_FILESYSTEM::refreshMirror() {
    const uint32_t size = geometry_.bytesPerRecord;
    std::vector<uint8_t> own;
    kwRet rc = KW_OK;
    if (pendingMirror_.empty())
        rc = ReadRecordForChange(kMirrorRecord, &own);
    else
        own.swap(pendingMirror_);
    uint32_t at = rc == KW_OK ? MirrorData(own) : 0;
    if (rc == KW_OK && at == 0)
        rc = ERR_MUST_BE_NONRESIDENT;
    NTFS_STREAM mirror;
    if (rc == KW_OK) {
        SetSizes(own, at, kwbytes::LoadLe64(own.data() + at + AR_ALLOCATED), mirrorBytes_,
                 mirrorBytes_);
        rc = DecodeRuns(
            Bytes(own).subspan(at + kwbytes::LoadLe16(own.data() + at + AR_PAIRS_OFFSET)), 0,
            kwbytes::LoadLe64(own.data() + at + AR_HIGHEST_VCN), geometry_.clusterCount,
            &mirror.runs);
        mirror.nonResident = true;
        mirror.allocatedSize = kwbytes::LoadLe64(own.data() + at + AR_ALLOCATED);
        mirror.dataSize = mirror.initializedSize = mirrorBytes_;
    }
    if (rc == KW_OK)
        rc = ApplyFixups(own);
    std::vector<uint8_t> copies(static_cast<size_t>(mirrorBytes_));
    if (rc == KW_OK)
        rc = ReadStream(mft_, 0, copies.data(), copies.size());
    for (uint64_t n = 0; rc == KW_OK && n < mirroredRecords(); ++n) {
        if (n == kMirrorRecord) {
            std::copy(own.begin(), own.end(), copies.begin() + static_cast<ptrdiff_t>(n * size));
            continue;
        }
        std::vector<uint8_t> check(copies.begin() + static_cast<ptrdiff_t>(n * size),
                                   copies.begin() + static_cast<ptrdiff_t>((n + 1) * size));
        RecordHeader header;
        if (DecodeRecord(check, &header) == ERR_UPDATE_SEQUENCE) {
            DbgPrintf("NTFS_FILESYSTEM: record %lu of the $MFT is damaged; $MFTMirr kept\n",
                      static_cast<unsigned long>(n));
            return ERR_UPDATE_SEQUENCE;
        }
    }
    if (rc == KW_OK)
        rc = WriteStream(mirror, 0, copies.data(), copies.size());
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc == KW_OK)
        rc = storeRecordImage(kMirrorRecord, std::move(own));
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc == KW_OK)
        mirrorStream_ = mirror;
    return rc;
}

// At the first change: the mirror of a change cut off in the middle (empty,
// its clusters there) takes the $MFT's records again.
kwRet NTFS_FILESYSTEM::loadMirror() {
    kwRet rc = LoadStream(kMirrorRecord, ATTR_DATA, Bytes(kNoName, 0), &mirrorStream_);
    if (rc != KW_OK)
        return rc;
    if (!mirrorStream_.nonResident)
        return ERR_MUST_BE_NONRESIDENT;
    mirrorHold_ = 0;
    // Records past those the tools compare are not kept in step.
    uint64_t want = mirrorSizeWanted(mirrorStream_);
    mirrorBytes_ =
        std::min(mirrorStream_.Size(), want) / geometry_.bytesPerRecord * geometry_.bytesPerRecord;
    if (mirrorBytes_ >= want)
        return KW_OK;
    DbgPrintf("NTFS_FILESYSTEM: $MFTMirr was being rewritten; it takes the $MFT's records\n");
    mirrorBytes_ = want;
    mirrorHold_ = 1;
    return ReleaseMirror(KW_OK);
}

// --- The boot sector's copies ---

namespace {

constexpr uint32_t kBootMirror = 0x38;
constexpr uint32_t kBootSerial = 0x48;

bool SameVolumeBoot(const uint8_t* a, const uint8_t* b) {
    return std::equal(a + 3, a + 11, b + 3) &&
           std::equal(a + kBootSerial, a + kBootSerial + 8, b + kBootSerial);
}

} // namespace

// Whether the mirror's clusters hold the $MFT's first records as they are.
bool NTFS_FILESYSTEM::mirrorCurrent() {
    std::vector<uint8_t> mft(static_cast<size_t>(mirrorBytes_)), mirror(mft.size());
    return !mft.empty() && ReadStream(mft_, 0, mft.data(), mft.size()) == KW_OK &&
           ReadStream(mirrorStream_, 0, mirror.data(), mirror.size()) == KW_OK && mft == mirror;
}

// Sector 0 to the volume's backup (the sector past its last cluster) and to
// the partition's last sector when that holds an older boot sector of the
// same volume (the backup a shrink left there before the partition is cut).
// Only copies that differ are written.
kwRet NTFS_FILESYSTEM::writeBootCopies(const uint8_t* boot, bool first) {
    const uint64_t total = kwbytes::LoadLe64(boot + 0x28);
    const uint64_t last = GetPI()->NumSects - 1;
    kwRet rc = first ? WriteSectors(0, boot, 1) : KW_OK;
    bool wrote = first;
    for (uint64_t sector : {total, last}) {
        uint8_t copy[kBootSectorBytes];
        if (rc != KW_OK || sector > last)
            continue;
        if (wrote)
            rc = FlushVolume();
        if (rc == KW_OK)
            rc = ReadSectors(static_cast<uint32_t>(sector), copy, 1);
        bool differs = rc == KW_OK && !std::equal(boot, boot + kBootSectorBytes, copy);
        if (differs && (sector == total || SameVolumeBoot(boot, copy))) {
            rc = WriteSectors(static_cast<uint32_t>(sector), boot, 1);
            wrote = true;
        }
    }
    return rc == KW_OK && wrote ? FlushVolume() : rc;
}

// A change of the boot sector cut off between its copies. Sector 0 naming
// another first cluster of $MFTMirr than its record, whose clusters hold
// the $MFT's records, is the older: it takes the record's. Sector 0 that
// agrees with the volume's own backup is the newer than a differing copy of
// it at the partition's end.
kwRet NTFS_FILESYSTEM::repairBootCopies() {
    if (GetPI() == nullptr || GetPI()->NumSects == 0 || mirrorStream_.runs.empty())
        return KW_OK;
    uint8_t boot[kBootSectorBytes], backup[kBootSectorBytes];
    kwRet rc = ReadSectors(0, boot, 1);
    const Run& first = mirrorStream_.runs[0];
    if (rc == KW_OK && first.kind == RunKind::Clusters &&
        kwbytes::LoadLe64(boot + kBootMirror) != first.lcn && mirrorCurrent()) {
        DbgPrintf("NTFS_FILESYSTEM: the boot sector takes $MFTMirr's place from its record\n");
        kwbytes::StoreLe64(boot + kBootMirror, first.lcn);
        return writeBootCopies(boot, true);
    }
    const uint64_t total = kwbytes::LoadLe64(boot + 0x28);
    if (rc == KW_OK && total < GetPI()->NumSects)
        rc = ReadSectors(static_cast<uint32_t>(total), backup, 1);
    if (rc != KW_OK || total >= GetPI()->NumSects ||
        !std::equal(boot, boot + kBootSectorBytes, backup))
        return rc;
    return writeBootCopies(boot, false);
}
