// NTFS_FILESYSTEM: opening the volume, the record cache, attributes gathered
// over their extents and reads of their bytes.
#include "engine/ntfs/ntfs_filesystem.h"

#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace kw::ntfs;

namespace {

constexpr uint32_t kSector = 512;
// Reads straight into the caller's buffer go in pieces of this many sectors.
constexpr uint32_t kMaxSectorsPerRead = 2048;
// A file's attributes spread over at most this many extents.
constexpr size_t kMaxExtents = 4096;

const uint8_t kNoName[1] = {0};

} // namespace

NTFS_FILESYSTEM::NTFS_FILESYSTEM(PARTITION_INFO* pi) : FILESYSTEM(pi) {}

NTFS_FILESYSTEM::~NTFS_FILESYSTEM() {
    Uninit();
}

kwRet NTFS_FILESYSTEM::Uninit() {
    open_ = false;
    mft_ = NTFS_STREAM{};
    indexCache_.clear();
    cache_.clear();
    upcase_.clear();
    upcaseTried_ = false;
    recordCount_ = 0;
    writeState_ = false; // the bitmaps are read again by the next change
    clusterBits_.clear();
    mftBits_.clear();
    shrinkRanges_.clear();
    targetClusters_ = 0;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::Init() {
    if (open_)
        Uninit();
    uint8_t boot[kSector];
    kwRet rc = ReadSectors(0, boot, 1);
    if (rc != KW_OK) {
        DbgPrintf("NTFS_FILESYSTEM::InitBoot: kwLogRead error %d\n", static_cast<int>(rc));
        return rc;
    }
    rc = ParseBootSector(Bytes(boot, kSector), &geometry_);
    if (rc == KW_OK && GetPI() != nullptr && geometry_.totalSectors > GetPI()->NumSects)
        rc = ERR_CLUSTER_BEYOND_END;
    if (rc == KW_OK)
        rc = loadMft();
    if (rc != KW_OK) {
        Uninit();
        return rc;
    }
    open_ = true;
    return KW_OK;
}

// Record 0 from its cluster, then the run list of the $MFT's unnamed $DATA
// over every extent (the attribute list's extension records are read through
// the runs known so far).
kwRet NTFS_FILESYSTEM::loadMft() {
    std::vector<uint8_t> bytes(geometry_.bytesPerRecord);
    kwRet rc =
        readBytes(geometry_.mftCluster * geometry_.bytesPerCluster, bytes.data(), bytes.size());
    auto record = std::make_shared<Record>();
    if (rc == KW_OK)
        rc = DecodeRecord(bytes, &record->header);
    if (rc != KW_OK)
        return rc;
    if (!record->header.InUse())
        return ERR_RECORD_UNUSED;
    record->bytes = std::move(bytes);
    // First the runs of the base record, so extension records can be reached.
    AttributeWalk walk(record->bytes, record->header);
    Attribute a;
    NTFS_STREAM mft;
    mft_ = NTFS_STREAM{};
    while ((rc = walk.Next(&a)) == KW_OK) {
        if (a.type != ATTR_DATA || !a.name.empty())
            continue;
        if (!a.nonResident)
            return ERR_MUST_BE_NONRESIDENT;
        rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                        &mft_.runs);
        if (rc != KW_OK)
            return rc;
        if (a.lowestVcn == 0) {
            mft.dataSize = a.dataSize;
            mft.allocatedSize = a.allocatedSize;
        }
    }
    if (rc != ERR_NO_MORE_NAMES)
        return rc;
    if (mft_.runs.empty())
        return ERR_ATTRIBUTE_MISSING;
    if ((rc = setRecordCount(mft.dataSize)) != KW_OK)
        return rc;
    cache_.push_back({0, ++useClock_, record});
    // Then every extent, through the attribute list when there is one.
    loading_ = true;
    rc = collectExtents(*record, 0, ATTR_DATA, Bytes(kNoName, 0), &mft);
    loading_ = false;
    if (rc != KW_OK)
        return rc;
    mft_.runs = std::move(mft.runs);
    return setRecordCount(mft.dataSize);
}

// The records the $MFT's data holds, and the stream that reads them.
kwRet NTFS_FILESYSTEM::setRecordCount(uint64_t dataSize) {
    recordCount_ = dataSize / geometry_.bytesPerRecord;
    if (recordCount_ >> 32)
        return ERR_MFT_TOO_LARGE;
    if (recordCount_ < 16)
        return ERR_MFT_TOO_SMALL;
    mft_.nonResident = true;
    mft_.dataSize = mft_.initializedSize = mft_.allocatedSize =
        recordCount_ * geometry_.bytesPerRecord;
    return KW_OK;
}

// Whole or partial sectors at a byte offset of the volume.
kwRet NTFS_FILESYSTEM::readBytes(uint64_t offset, uint8_t* out, size_t count) {
    uint8_t bounce[kSector];
    while (count > 0) {
        uint64_t sector = offset / kSector;
        uint32_t skip = static_cast<uint32_t>(offset % kSector);
        if (sector >> 32)
            return ERR_CLUSTER_BEYOND_END;
        if (skip != 0 || count < kSector) {
            kwRet rc = ReadSectors(static_cast<uint32_t>(sector), bounce, 1);
            if (rc != KW_OK)
                return rc;
            size_t n = std::min<size_t>(kSector - skip, count);
            std::memcpy(out, bounce + skip, n);
            out += n, offset += n, count -= n;
            continue;
        }
        uint32_t sectors =
            static_cast<uint32_t>(std::min<size_t>(count / kSector, kMaxSectorsPerRead));
        kwRet rc = ReadSectors(static_cast<uint32_t>(sector), out, sectors);
        if (rc != KW_OK)
            return rc;
        out += size_t{sectors} * kSector;
        offset += uint64_t{sectors} * kSector;
        count -= size_t{sectors} * kSector;
    }
    return KW_OK;
}

NTFS_FILESYSTEM::RecordPtr NTFS_FILESYSTEM::cachedRecord(uint64_t number) {
    for (CacheEntry& e : cache_) {
        if (e.number == number) {
            e.lastUse = ++useClock_;
            return e.record;
        }
    }
    return nullptr;
}

void NTFS_FILESYSTEM::cacheRecord(uint64_t number, const RecordPtr& record) {
    if (cache_.size() < kRecordCacheSize) {
        cache_.push_back({number, ++useClock_, record});
        return;
    }
    auto oldest = std::min_element(
        cache_.begin(), cache_.end(),
        [](const CacheEntry& a, const CacheEntry& b) { return a.lastUse < b.lastUse; });
    *oldest = {number, ++useClock_, record};
}

// Reads the record with the records around it (they are mostly wanted next:
// files made together lie together), decodes and caches each sound one.
kwRet NTFS_FILESYSTEM::readRecords(uint64_t number, RecordPtr* out) {
    if (number >= recordCount_)
        return ERR_RECORD_UNUSED;
    const uint32_t size = geometry_.bytesPerRecord;
    uint64_t first = number - number % kRecordsReadAhead;
    uint64_t count = std::min<uint64_t>(kRecordsReadAhead, recordCount_ - first);
    std::vector<uint8_t> block(count * size);
    if (ReadStream(mft_, first * size, block.data(), block.size()) != KW_OK) {
        first = number, count = 1; // a damaged neighbour: the record alone
        block.resize(size);
        kwRet rc = ReadStream(mft_, number * size, block.data(), size);
        if (rc != KW_OK)
            return rc;
    }
    kwRet wanted = KW_OK;
    for (uint64_t i = 0; i < count; ++i) {
        if (first + i != number && cachedRecord(first + i) != nullptr)
            continue;
        auto record = std::make_shared<Record>();
        record->bytes.assign(block.begin() + i * size, block.begin() + (i + 1) * size);
        kwRet rc = DecodeRecord(record->bytes, &record->header);
        if (first + i == number)
            wanted = rc;
        if (rc != KW_OK)
            continue;
        cacheRecord(first + i, record);
        if (first + i == number)
            *out = record;
    }
    return wanted;
}

kwRet NTFS_FILESYSTEM::GetRecord(uint64_t number, RecordPtr* out, bool allowExtension) {
    if (!open_ && !loading_)
        return ERR_VOLUME_NOT_OPEN;
    RecordPtr found = cachedRecord(number);
    if (found == nullptr) {
        kwRet rc = readRecords(number, &found);
        if (rc != KW_OK) {
            DbgPrintf("NTFS: file record %llu is damaged (error %lu)\n",
                      static_cast<unsigned long long>(number), static_cast<unsigned long>(rc));
            return rc;
        }
    }
    if (!found->header.InUse())
        return ERR_RECORD_UNUSED;
    if (found->header.baseReference != 0 && !allowExtension)
        return ERR_EXTENSION_RECORD;
    *out = found;
    return KW_OK;
}

namespace {

// Takes the sizes and residency of an extent that starts the attribute.
void TakeFirstExtent(const Attribute& a, NTFS_STREAM* out) {
    out->type = a.type;
    out->flags = a.flags;
    out->nonResident = a.nonResident;
    if (!a.nonResident) {
        out->value.assign(a.value.begin(), a.value.end());
        return;
    }
    out->allocatedSize = a.allocatedSize;
    out->dataSize = a.dataSize;
    out->initializedSize = std::min(a.initializedSize, a.dataSize);
}

} // namespace

kwRet NTFS_FILESYSTEM::LoadStream(uint64_t number, uint32_t type, Bytes name, NTFS_STREAM* out) {
    RecordPtr record;
    kwRet rc = GetRecord(number, &record);
    if (rc != KW_OK)
        return rc;
    *out = NTFS_STREAM{};
    return collectExtents(*record, number, type, name, out);
}

// The extents of one attribute: those in the base record, then, when the
// record has an attribute list, those it names in extension records, in VCN
// order. The VCNs must follow on without gap or overlap.
kwRet NTFS_FILESYSTEM::collectExtents(const Record& base, uint64_t baseNumber, uint32_t type,
                                      Bytes name, NTFS_STREAM* out) {
    AttributeWalk walk(base.bytes, base.header);
    Attribute a;
    kwRet rc;
    bool found = false;
    std::vector<uint8_t> listValue;
    bool hasList = false;
    uint64_t nextVcn = 0;
    out->runs.clear();
    while ((rc = walk.Next(&a)) == KW_OK) {
        if (a.type == ATTR_ATTRIBUTE_LIST && type == ATTR_ATTRIBUTE_LIST) {
            // The list itself: it lies in the base record only.
            TakeFirstExtent(a, out);
            return a.nonResident ? DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn,
                                              geometry_.clusterCount, &out->runs)
                                 : KW_OK;
        }
        if (a.type == ATTR_ATTRIBUTE_LIST) {
            hasList = true;
            if (!a.nonResident) {
                listValue.assign(a.value.begin(), a.value.end());
                continue;
            }
            NTFS_STREAM list;
            TakeFirstExtent(a, &list);
            rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                            &list.runs);
            if (rc == KW_OK && list.dataSize > (1u << 24))
                rc = ERR_ATTRIBUTE_POSITION;
            if (rc == KW_OK) {
                listValue.resize(list.dataSize);
                rc = ReadStream(list, 0, listValue.data(), listValue.size());
            }
            if (rc != KW_OK)
                return rc;
            continue;
        }
        if (a.type != type || !NameIs(a, name))
            continue;
        if (!found && (!a.nonResident || a.lowestVcn == 0))
            TakeFirstExtent(a, out);
        if (a.nonResident && a.lowestVcn == nextVcn && (found || a.lowestVcn == 0)) {
            rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                            &out->runs);
            if (rc != KW_OK)
                return rc;
            nextVcn = a.highestVcn + 1;
        }
        found = found || !a.nonResident || a.lowestVcn == 0;
        if (found && !a.nonResident)
            return KW_OK;
    }
    if (rc != ERR_NO_MORE_NAMES)
        return rc;
    if (hasList) {
        std::vector<ListEntry> entries;
        rc = DecodeAttributeList(listValue, &entries);
        if (rc != KW_OK)
            return rc;
        size_t extents = 0;
        for (const ListEntry& e : entries) {
            if (e.type != type || e.name.size() != name.size() ||
                (!name.empty() && std::memcmp(e.name.data(), name.data(), name.size()) != 0))
                continue;
            uint64_t where = RecordNumber(e.reference);
            if (where == baseNumber || (found && e.lowestVcn < nextVcn))
                continue; // held by the base record, already taken
            if (++extents > kMaxExtents)
                return ERR_RUN_LIST;
            RecordPtr ext;
            rc = GetRecord(where, &ext, true);
            if (rc == KW_OK && RecordNumber(ext->header.baseReference) != baseNumber)
                rc = ERR_EXTENSION_MISMATCH;
            if (rc != KW_OK)
                return rc;
            AttributeWalk inner(ext->bytes, ext->header);
            bool taken = false;
            while (!taken && (rc = inner.Next(&a)) == KW_OK) {
                if (a.type == ATTR_ATTRIBUTE_LIST)
                    return ERR_NESTED_ATTRIBUTE_LIST;
                if (a.type != type || !NameIs(a, name) ||
                    (a.nonResident && a.lowestVcn != e.lowestVcn))
                    continue;
                taken = true;
                if (!found)
                    TakeFirstExtent(a, out);
                found = true;
                if (!a.nonResident)
                    return KW_OK;
                if (a.lowestVcn != nextVcn)
                    return ERR_RUN_LIST;
                rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                                &out->runs);
                if (rc != KW_OK)
                    return rc;
                nextVcn = a.highestVcn + 1;
            }
            if (!taken)
                return rc == ERR_NO_MORE_NAMES ? ERR_EXTENSION_MISMATCH : rc;
        }
    }
    if (!found)
        return ERR_ATTRIBUTE_MISSING;
    // The runs must cover the allocation, and the allocation the data.
    if (out->nonResident && (out->allocatedSize > nextVcn * geometry_.bytesPerCluster ||
                             out->dataSize > out->allocatedSize))
        return ERR_RUN_LIST;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::ReadStream(const NTFS_STREAM& s, uint64_t offset, void* buffer,
                                  size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t size = s.Size();
    if (offset > size || count > size - offset)
        return ERR_AT_END_OF_FILE;
    if (!s.nonResident) {
        std::memcpy(out, s.value.data() + offset, count);
        return KW_OK;
    }
    // Bytes from the initialised size on are zeros.
    uint64_t valid = s.initializedSize > offset ? s.initializedSize - offset : 0;
    if (valid < count) {
        std::memset(out + valid, 0, count - valid);
        count = static_cast<size_t>(valid);
    }
    return ForEachStreamPiece(s, offset, count, [&](uint64_t at, size_t done, size_t n) {
        return readBytes(at, out + done, n);
    });
}

kwRet NTFS_FILESYSTEM::ForEachStreamPiece(const NTFS_STREAM& s, uint64_t offset, size_t count,
                                          const StreamPiece& piece) const {
    const uint64_t cluster = geometry_.bytesPerCluster;
    auto after = std::upper_bound(s.runs.begin(), s.runs.end(), offset / cluster,
                                  [](uint64_t vcn, const Run& r) { return vcn < r.vcn; });
    size_t i = static_cast<size_t>(after - s.runs.begin());
    size_t done = 0;
    while (done < count) {
        // The run holding the offset: the one before `after`, then each next.
        if (i == 0 || i > s.runs.size())
            return ERR_RUN_LIST;
        const Run& r = s.runs[i - 1];
        uint64_t vcn = offset / cluster;
        if (vcn < r.vcn || vcn - r.vcn >= r.length)
            return ERR_RUN_LIST; // the runs end before the range does
        if (r.kind != RunKind::Clusters)
            return ERR_SPARSE_READ;
        uint64_t inRun = (r.vcn + r.length) * cluster - offset;
        size_t n = static_cast<size_t>(std::min<uint64_t>(inRun, count - done));
        kwRet rc = piece((r.lcn + (vcn - r.vcn)) * cluster + offset % cluster, done, n);
        if (rc != KW_OK)
            return rc;
        done += n, offset += n;
        if (n == inRun)
            ++i;
    }
    return KW_OK;
}
