// NTFS_FILESYSTEM, write side: whether the volume may be written, the two
// bitmaps in memory and their write-back, records written with their
// fix-ups (and mirrored), records and clusters taken and given back.
#include "engine/core/dbgmgr.h"
#include "engine/disk/kwlib.h"
#include "engine/ntfs/ntfs_attribute.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <bit>
#include <cstring>

using namespace kw::ntfs;

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxSectorsPerWrite = 2048;
constexpr uint64_t kMftRecord = 0;
constexpr uint64_t kVolumeRecord = 3;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kFirstSystemRecord = 16;
constexpr uint64_t kFirstOrdinaryRecord = 24;
constexpr uint16_t kVolumeDirty = 1;
const uint8_t kNoName[1] = {0};

bool BitSet(const std::vector<uint8_t>& bits, uint64_t n) {
    return n / 8 < bits.size() && ((bits[n / 8] >> (n % 8)) & 1) != 0;
}

void SetBit(std::vector<uint8_t>& bits, uint64_t n, bool on, size_t* low, size_t* high) {
    if (n / 8 >= bits.size())
        return;
    auto mask = static_cast<uint8_t>(1u << (n % 8));
    bits[n / 8] = on ? (bits[n / 8] | mask) : (bits[n / 8] & ~mask);
    *low = std::min<size_t>(*low, n / 8);
    *high = std::max<size_t>(*high, n / 8 + 1);
}

} // namespace

kwRet NTFS_FILESYSTEM::CheckWritable() {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    PARTITION_INFO* pi = GetPI();
    const char* why = nullptr;
    if (readOnly_)
        why = "opened read-only";
    else if (pi == nullptr || !kwDiskWritable(pi->disk))
        why = "on a disk that takes no writes";
    else if (kwPartitionMounted(pi))
        why = "in use by the host";
    NTFS_STREAM info;
    if (why == nullptr &&
        (LoadStream(kVolumeRecord, ATTR_VOLUME_INFORMATION, Bytes(kNoName, 0), &info) != KW_OK ||
         info.nonResident || info.value.size() < 12))
        why = "without readable volume information";
    else if (why == nullptr && (kwbytes::LoadLe16(info.value.data() + 10) & kVolumeDirty))
        why = "marked dirty";
    if (why != nullptr) {
        DbgPrintf("NTFS_FILESYSTEM: the volume is %s: nothing is written\n", why);
        return ERR_WRITE_PROTECTED;
    }
    return writeState_ ? KW_OK : loadWriteState();
}

// Both bitmaps and the streams that hold them, and $MFTMirr's data.
kwRet NTFS_FILESYSTEM::loadWriteState() {
    kwRet rc = LoadStream(kBitmapRecord, ATTR_DATA, Bytes(kNoName, 0), &bitmapStream_);
    if (rc == KW_OK && bitmapStream_.Size() < (geometry_.clusterCount + 7) / 8)
        rc = ERR_ATTRIBUTE_POSITION;
    if (rc == KW_OK) {
        clusterBits_.assign(bitmapStream_.Size(), 0);
        rc = ReadStream(bitmapStream_, 0, clusterBits_.data(), clusterBits_.size());
    }
    if (rc == KW_OK)
        rc = LoadStream(kMftRecord, ATTR_BITMAP, Bytes(kNoName, 0), &mftBitmapStream_);
    if (rc == KW_OK) {
        mftBits_.assign(mftBitmapStream_.Size(), 0);
        rc = ReadStream(mftBitmapStream_, 0, mftBits_.data(), mftBits_.size());
    }
    if (rc == KW_OK)
        rc = loadMirror();
    if (rc == KW_OK)
        rc = repairBootCopies();
    if (rc != KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM: the bitmaps could not be read (error %lu)\n",
                  static_cast<unsigned long>(rc));
        return rc;
    }
    if (targetClusters_ == 0 || targetClusters_ > geometry_.clusterCount)
        targetClusters_ = geometry_.clusterCount;
    allocationStart_ = targetClusters_ / 8;
    clusterLow_ = mftLow_ = SIZE_MAX;
    clusterHigh_ = mftHigh_ = 0;
    writeState_ = true;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::FlushVolume() {
    if (GetPI() == nullptr)
        return ERR_NOT_OPEN;
    kwRet rc = unflushed_ ? phyFlush(GetPI()->disk) : KW_OK;
    if (rc == KW_OK) {
        unflushed_ = false;
        unsettledBuffers_.clear();
    }
    return rc;
}

void NTFS_FILESYSTEM::NoteBuffersGiven(uint64_t folder, const std::vector<uint64_t>& vcns) {
    for (uint64_t vcn : vcns)
        unsettledBuffers_.emplace_back(folder, vcn);
}

bool NTFS_FILESYSTEM::BufferUnsettled(uint64_t folder, uint64_t vcn) const {
    return std::find(unsettledBuffers_.begin(), unsettledBuffers_.end(),
                     std::make_pair(folder, vcn)) != unsettledBuffers_.end();
}

kwRet NTFS_FILESYSTEM::WriteSectors(uint32_t first, const void* buffer, uint32_t count) {
    unflushed_ = true;
    return FILESYSTEM::WriteSectors(first, buffer, count);
}

kwRet NTFS_FILESYSTEM::WriteVolumeBytes(uint64_t offset, const uint8_t* in, size_t count) {
    uint64_t end = geometry_.totalSectors * kSector;
    if (offset > end || count > end - offset)
        return ERR_CLUSTER_BEYOND_END;
    uint8_t bounce[kSector];
    while (count > 0) {
        uint64_t sector = offset / kSector;
        uint32_t skip = static_cast<uint32_t>(offset % kSector);
        kwRet rc;
        if (skip != 0 || count < kSector) {
            size_t n = std::min<size_t>(kSector - skip, count);
            rc = ReadSectors(static_cast<uint32_t>(sector), bounce, 1);
            if (rc == KW_OK) {
                std::memcpy(bounce + skip, in, n);
                rc = WriteSectors(static_cast<uint32_t>(sector), bounce, 1);
            }
            if (rc != KW_OK)
                return rc;
            in += n, offset += n, count -= n;
            continue;
        }
        auto sectors =
            static_cast<uint32_t>(std::min<size_t>(count / kSector, kMaxSectorsPerWrite));
        rc = WriteSectors(static_cast<uint32_t>(sector), in, sectors);
        if (rc != KW_OK)
            return rc;
        in += size_t{sectors} * kSector;
        offset += uint64_t{sectors} * kSector;
        count -= size_t{sectors} * kSector;
    }
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::WriteStream(const NTFS_STREAM& s, uint64_t offset, const void* buffer,
                                   size_t count) {
    auto* in = static_cast<const uint8_t*>(buffer);
    const uint64_t cluster = geometry_.bytesPerCluster;
    uint64_t allocated = s.runs.empty() ? 0 : (s.runs.back().vcn + s.runs.back().length) * cluster;
    if (!s.nonResident || offset > allocated || count > allocated - offset)
        return ERR_AT_END_OF_FILE;
    return ForEachStreamPiece(s, offset, count, [&](uint64_t at, size_t done, size_t n) {
        return WriteVolumeBytes(at, in + done, n);
    });
}

// --- Records ---

kwRet NTFS_FILESYSTEM::ReadRecordForChange(uint64_t number, std::vector<uint8_t>* out,
                                           bool allowUnused) {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    const uint32_t size = geometry_.bytesPerRecord;
    if (number >= recordCount_)
        return ERR_RECORD_UNUSED;
    std::vector<uint8_t> bytes(size);
    kwRet rc = ReadStream(mft_, number * size, bytes.data(), size);
    if (rc != KW_OK)
        return rc;
    RecordHeader header;
    rc = DecodeRecord(bytes, &header);
    if (rc == KW_OK && !header.InUse() && !allowUnused)
        rc = ERR_RECORD_UNUSED;
    if (rc != KW_OK && !allowUnused)
        return rc;
    *out = std::move(bytes);
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::WriteRecord(uint64_t number, const std::vector<uint8_t>& bytes) {
    kwRet rc = writeState_ ? KW_OK : CheckWritable();
    if (rc == KW_OK && (bytes.size() != geometry_.bytesPerRecord || number >= recordCount_))
        rc = ERR_BAD_ARGUMENT;
    if (rc != KW_OK)
        return rc;
    if (number < mirroredRecords())
        return writeMirroredRecord(number, bytes);
    std::vector<uint8_t> image = bytes;
    rc = ApplyFixups(image);
    return rc == KW_OK ? storeRecordImage(number, std::move(image)) : rc;
}

kwRet NTFS_FILESYSTEM::NewRecordImage(uint64_t number, uint16_t flags, std::vector<uint8_t>* out) {
    std::vector<uint8_t> old;
    kwRet rc = ReadRecordForChange(number, &old, true);
    if (rc != KW_OK)
        return rc;
    uint16_t sequence = 1;
    if (std::memcmp(old.data(), "FILE", 4) == 0 &&
        kwbytes::LoadLe16(old.data() + FRS_SEQUENCE) != 0)
        sequence = kwbytes::LoadLe16(old.data() + FRS_SEQUENCE);
    out->assign(geometry_.bytesPerRecord, 0);
    BuildEmptyRecord(*out, static_cast<uint32_t>(number), flags, sequence);
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::AllocateFrs(bool system, uint64_t* number) {
    kwRet rc = writeState_ ? KW_OK : CheckWritable();
    if (rc != KW_OK)
        return rc;
    const uint64_t start = system ? kFirstSystemRecord : kFirstOrdinaryRecord;
    for (int round = 0; round < 64; ++round) {
        bool passedOver = system;
        for (uint64_t n = start; n < recordCount_; ++n) {
            if (BitSet(mftBits_, n) || n / 8 >= mftBits_.size())
                continue;
            // The first free ordinary record stays free for the volume's own use.
            if (!passedOver) {
                passedOver = true;
                continue;
            }
            std::vector<uint8_t> on;
            if (ReadRecordForChange(n, &on, false) == KW_OK) {
                DbgPrintf("NTFS_FILESYSTEM::AllocateFrs: record %llu is in use but free in "
                          "the bitmap; passed over\n",
                          static_cast<unsigned long long>(n));
                continue;
            }
            SetBit(mftBits_, n, true, &mftLow_, &mftHigh_);
            *number = n;
            return KW_OK;
        }
        if ((rc = extendMft()) != KW_OK)
            return rc;
    }
    return ERR_PARTITION_FULL;
}

kwRet NTFS_FILESYSTEM::FreeFrs(uint64_t number) {
    if (!writeState_)
        return ERR_NO_VOLUME_BITMAP;
    SetBit(mftBits_, number, false, &mftLow_, &mftHigh_);
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::SetMftStream(const NTFS_STREAM& stream) {
    NTFS_STREAM s = stream;
    mft_.runs = s.runs;
    return setRecordCount(s.dataSize);
}

// Grows the $MFT by at least one record: 32 records, else the next multiple
// of 8. New clusters are marked used and written first, then the new empty
// records, then record 0 with the new sizes (with the mirror held: one
// refresh for both of record 0's writes).
kwRet NTFS_FILESYSTEM::extendMft() {
    kwRet rc = HoldMirror();
    if (rc == KW_OK)
        rc = growMft();
    return ReleaseMirror(rc);
}

kwRet NTFS_FILESYSTEM::growMft() {
    const uint64_t size = geometry_.bytesPerRecord;
    uint64_t old = recordCount_;
    uint64_t count = old + 1 < 32 ? 32 : (old + 1 + 7) / 8 * 8;
    if ((count + 7) / 8 > mftBits_.size()) {
        uint64_t bytes = (count + 63) / 64 * 8;
        NTFS_ATTRIBUTE bitmap(this);
        kwRet rc = bitmap.Open(kMftRecord, ATTR_BITMAP, Bytes(kNoName, 0));
        if (rc == KW_OK && bitmap.Stream().nonResident && bytes > bitmap.Stream().allocatedSize)
            rc = bitmap.AllocateClusters(1);
        if (rc == KW_OK && bitmap.Stream().nonResident) {
            std::vector<uint8_t> zero(bytes - mftBits_.size(), 0);
            rc = bitmap.WriteRaw(mftBits_.size(), zero.data(), zero.size());
        }
        if (rc == KW_OK)
            rc = bitmap.Resize(bytes);
        if (rc == KW_OK)
            rc = bitmap.Store();
        if (rc != KW_OK)
            return rc;
        mftBitmapStream_ = bitmap.Stream();
        mftBits_.resize(bytes, 0);
    }
    NTFS_ATTRIBUTE data(this);
    kwRet rc = data.Open(kMftRecord, ATTR_DATA, Bytes(kNoName, 0));
    uint64_t have = data.Stream().allocatedSize;
    if (rc == KW_OK && count * size > have)
        rc = data.AllocateClusters((count * size - have + geometry_.bytesPerCluster - 1) /
                                   geometry_.bytesPerCluster);
    if (rc == KW_OK)
        rc = WriteVolumeBitmap();
    // The new records are written before the $MFT's size takes them in.
    NTFS_STREAM wider = data.Stream();
    wider.dataSize = wider.initializedSize = count * size;
    for (uint64_t n = old; rc == KW_OK && n < count; ++n) {
        std::vector<uint8_t> empty(size, 0);
        BuildEmptyRecord(empty, static_cast<uint32_t>(n), 0, 1);
        rc = ApplyFixups(empty);
        if (rc == KW_OK)
            rc = WriteStream(wider, n * size, empty.data(), size);
    }
    if (rc == KW_OK)
        rc = FlushVolume();
    if (rc == KW_OK)
        rc = data.SetSizes(count * size, ~uint64_t{0}, count * size);
    if (rc == KW_OK)
        rc = data.Store();
    if (rc == KW_OK)
        rc = SetMftStream(data.Stream());
    return rc == KW_OK ? FlushVolume() : rc;
}

kwRet NTFS_FILESYSTEM::writeBitmapBytes(const NTFS_STREAM& stream, const std::vector<uint8_t>& bits,
                                        size_t* low, size_t* high) {
    if (*low >= *high)
        return KW_OK;
    size_t from = *low, to = std::min(*high, bits.size());
    kwRet rc = WriteStream(stream, from, bits.data() + from, to - from);
    if (rc == KW_OK) {
        *low = SIZE_MAX;
        *high = 0;
    }
    return rc;
}

kwRet NTFS_FILESYSTEM::WriteMftBitmap() {
    if (!writeState_)
        return ERR_NO_VOLUME_BITMAP;
    return writeBitmapBytes(mftBitmapStream_, mftBits_, &mftLow_, &mftHigh_);
}

kwRet NTFS_FILESYSTEM::WriteVolumeBitmap() {
    if (!writeState_)
        return ERR_NO_VOLUME_BITMAP;
    return writeBitmapBytes(bitmapStream_, clusterBits_, &clusterLow_, &clusterHigh_);
}

// --- Clusters ---

bool NTFS_FILESYSTEM::ClusterUsed(uint64_t cluster) const {
    return cluster >= geometry_.clusterCount || BitSet(clusterBits_, cluster);
}

uint64_t NTFS_FILESYSTEM::FreeClusterCount() const {
    const uint64_t count = geometry_.clusterCount;
    const uint64_t whole = std::min<uint64_t>(count / 8, clusterBits_.size());
    uint64_t used = 0, i = 0;
    for (; i + 8 <= whole; i += 8)
        used += static_cast<uint64_t>(std::popcount(kwbytes::LoadLe64(clusterBits_.data() + i)));
    for (; i < whole; ++i)
        used += static_cast<uint64_t>(std::popcount(clusterBits_[i]));
    for (uint64_t c = whole * 8; c < count; ++c)
        used += BitSet(clusterBits_, c) ? 1 : 0;
    return count - std::min(used, count);
}

void NTFS_FILESYSTEM::MarkClusters(uint64_t first, uint64_t count, bool used) {
    for (uint64_t c = first; c < first + count && c < geometry_.clusterCount; ++c)
        SetBit(clusterBits_, c, used, &clusterLow_, &clusterHigh_);
}

void NTFS_FILESYSTEM::AddShrinkRange(uint64_t first, uint64_t count) {
    Run r;
    r.lcn = first;
    r.length = count;
    shrinkRanges_.push_back(r);
}

bool NTFS_FILESYSTEM::inShrinkRange(uint64_t cluster, uint64_t* rangeEnd) const {
    for (const Run& r : shrinkRanges_) {
        if (cluster >= r.lcn && cluster - r.lcn < r.length) {
            *rangeEnd = r.lcn + r.length;
            return true;
        }
    }
    return false;
}

// Takes free stretches in [from, end) until `need` clusters are taken.
bool NTFS_FILESYSTEM::takeStretch(uint64_t from, uint64_t end, uint64_t need, bool contiguous,
                                  std::vector<Run>* pieces, uint64_t* taken) {
    uint64_t c = from;
    while (c < end && *taken < need) {
        uint64_t skipTo = 0;
        if (ClusterUsed(c) || inShrinkRange(c, &skipTo)) {
            c = std::max(c + 1, skipTo);
            continue;
        }
        uint64_t stop = c;
        uint64_t want = need - *taken;
        while (stop < end && stop - c < want && !ClusterUsed(stop) && !inShrinkRange(stop, &skipTo))
            ++stop;
        if (!contiguous || stop - c >= want) {
            Run r;
            r.lcn = c;
            r.length = stop - c;
            pieces->push_back(r);
            *taken += r.length;
            MarkClusters(r.lcn, r.length, true);
            allocationStart_ = stop;
        }
        c = stop;
    }
    return *taken >= need;
}

kwRet NTFS_FILESYSTEM::AllocateClusters(uint64_t count, bool contiguous, const Run* after,
                                        std::vector<Run>* pieces) {
    if (!writeState_)
        return ERR_NO_VOLUME_BITMAP;
    pieces->clear();
    uint64_t taken = 0;
    const uint64_t end = std::min(targetClusters_, geometry_.clusterCount);
    bool done = count == 0;
    // Right after the attribute's last run, when that carries it on.
    if (!done && after != nullptr && after->kind == RunKind::Clusters) {
        uint64_t next = after->lcn + after->length, stop = next, skip = 0;
        while (stop < end && stop - next < count && !ClusterUsed(stop) &&
               !inShrinkRange(stop, &skip))
            ++stop;
        if (stop > next && (!contiguous || stop - next == count)) {
            Run r;
            r.lcn = next;
            r.length = stop - next;
            pieces->push_back(r);
            MarkClusters(r.lcn, r.length, true);
            taken = r.length;
            done = taken == count;
        }
    }
    if (!done)
        done = takeStretch(std::min(allocationStart_, end), end, count, contiguous, pieces, &taken);
    if (!done)
        done = takeStretch(0, end, count, contiguous, pieces, &taken);
    if (!done) {
        for (const Run& r : *pieces)
            MarkClusters(r.lcn, r.length, false);
        pieces->clear();
        return ERR_PARTITION_FULL;
    }
    return KW_OK;
}
