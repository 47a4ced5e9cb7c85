// NTFS_FILESYSTEM: writing into files, their size, freeing a file's record
// and listing a file's clusters. Each change takes the same order: new
// clusters are filled, then marked used in $Bitmap, then the record that
// refers to them is written; clusters given back are marked free only after
// the record no longer refers to them. The disk is flushed between the steps
// that depend on each other; what a handle wrote is durable when it is
// closed (CloseFile flushes last), as a host file is after fsync.
#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_attribute.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

using namespace kw::ntfs;

namespace {

const uint8_t kNoName[1] = {0};
constexpr size_t kZeroChunk = 1 << 20;
constexpr uint64_t kMaxAhead = 128u << 20;

uint64_t Clusters(uint64_t bytes, uint64_t cluster) {
    return (bytes + cluster - 1) / cluster;
}

} // namespace

// The $DATA grown to hold `end` bytes: clusters taken after its last run,
// the bytes from its initialised size up to `from` written as zeros.
static kwRet GrowData(NTFS_ATTRIBUTE& data, uint64_t cluster, uint64_t end, uint64_t from) {
    uint64_t need = Clusters(end, cluster);
    kwRet rc = KW_OK;
    if (need > data.ClusterCount()) {
        // Clusters ahead of the end, so the next writes need no new ones;
        // without room for them, only what the bytes need.
        uint64_t ahead = std::min<uint64_t>(need / 2, kMaxAhead / cluster);
        rc = data.AllocateClusters(need + ahead - data.ClusterCount());
        if (rc == ERR_PARTITION_FULL && ahead > 0)
            rc = data.AllocateClusters(need - data.ClusterCount());
    }
    std::vector<uint8_t> zeros;
    for (uint64_t at = data.Stream().initializedSize; rc == KW_OK && at < from;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kZeroChunk, from - at));
        zeros.assign(n, 0);
        rc = data.WriteAttribute(at, zeros.data(), n);
        at += n;
    }
    return rc;
}

// Writes the attribute back after its new clusters are marked used (and
// the bytes written into them are on the disk: one flush covers both).
kwRet NTFS_FILESYSTEM::storeGrown(NTFS_ATTRIBUTE& data) {
    kwRet rc = WriteVolumeBitmap();
    if (rc == KW_OK)
        rc = FlushVolume();
    return rc == KW_OK ? data.Store() : rc;
}

// Writes the attribute back (after the bytes written into it are on the
// disk), then marks the clusters it gave up free.
kwRet NTFS_FILESYSTEM::storeShrunk(NTFS_ATTRIBUTE& data) {
    kwRet rc = FlushVolume();
    if (rc == KW_OK)
        rc = data.Store();
    if (rc == KW_OK)
        rc = FlushVolume();
    return rc == KW_OK ? WriteVolumeBitmap() : rc;
}

// Handle operations were admitted when the handle was opened for writing;
// they check the volume again only after a failed change dropped the
// bitmaps (or when it was made read-only meanwhile).
kwRet NTFS_FILESYSTEM::checkHandleWritable(const NTFS_FILE_HANDLE* h) {
    if (h->readOnly)
        return ERR_READ_ONLY_MEDIA;
    return writeState_ && !readOnly_ ? KW_OK : CheckWritable();
}

// After a failure the bitmaps in memory may hold clusters no record took:
// they are read again from the disk before the next change.
kwRet NTFS_FILESYSTEM::dropWriteState(kwRet rc) {
    writeState_ = false;
    DbgPrintf("NTFS_FILESYSTEM: a change failed (error %lu)\n", static_cast<unsigned long>(rc));
    return rc;
}

// The file's $DATA opened for change, with the sizes the handle has ahead
// of its record.
kwRet NTFS_FILESYSTEM::openData(NTFS_FILE_HANDLE* h, NTFS_ATTRIBUTE* data) {
    kwRet rc = data->Open(h->record, ATTR_DATA, Bytes(kNoName, 0));
    if (rc == KW_OK && h->sizesPending)
        rc = data->SetSizes(h->data.dataSize, ~uint64_t{0}, h->data.initializedSize);
    return rc;
}

kwRet NTFS_FILESYSTEM::FinishWrites(NTFS_FILE_HANDLE* h) {
    const uint64_t cluster = geometry_.bytesPerCluster;
    bool ahead = h->data.nonResident &&
                 h->data.allocatedSize > Clusters(h->data.dataSize, cluster) * cluster;
    if (!h->sizesPending && !ahead)
        return KW_OK;
    NTFS_ATTRIBUTE data(this);
    kwRet rc = checkHandleWritable(h);
    if (rc == KW_OK)
        rc = openData(h, &data);
    if (rc == KW_OK && data.Stream().nonResident)
        rc = data.TruncateAttribute(Clusters(data.Stream().dataSize, cluster));
    if (rc == KW_OK)
        rc = storeShrunk(data);
    if (rc != KW_OK)
        return dropWriteState(rc);
    h->data = data.Stream();
    h->sizesPending = false;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::WriteFile(NTFS_FILE_HANDLE* h, const void* buffer, uint32_t count) {
    if (h == nullptr || (buffer == nullptr && count > 0))
        return ERR_BAD_ARGUMENT;
    kwRet rc = checkHandleWritable(h);
    if (rc != KW_OK || count == 0)
        return rc;
    const uint64_t cluster = geometry_.bytesPerCluster;
    const uint64_t end = h->position + count;
    NTFS_STREAM& s = h->data;
    // Into clusters the file holds already, from no further than its
    // initialised bytes: the sizes wait for the next growth or the close.
    if (s.nonResident && h->position <= s.initializedSize &&
        end <= (s.runs.empty() ? 0 : (s.runs.back().vcn + s.runs.back().length) * cluster)) {
        rc = WriteStream(s, h->position, buffer, count);
        if (rc != KW_OK)
            return rc;
        if (end > s.dataSize || end > s.initializedSize) {
            s.dataSize = std::max(s.dataSize, end);
            s.initializedSize = std::max(s.initializedSize, end);
            h->sizesPending = true;
        }
        h->position = end;
        h->written = true;
        return KW_OK;
    }
    NTFS_ATTRIBUTE data(this);
    rc = openData(h, &data);
    if (rc == KW_OK && !data.Stream().nonResident) {
        // In the record while it fits there.
        std::vector<uint8_t> value = data.Stream().value;
        value.resize(std::max<size_t>(value.size(), static_cast<size_t>(end)), 0);
        std::memcpy(value.data() + h->position, buffer, count);
        rc = data.ResizeResidentValue(value);
        if (rc == KW_OK)
            rc = data.Store();
        if (rc != ERR_ATTRIBUTE_DATA_FIT) {
            if (rc == KW_OK) {
                h->data = data.Stream();
                h->position = end;
                h->written = true;
            }
            return rc;
        }
        rc = data.Open(h->record, ATTR_DATA, Bytes(kNoName, 0));
        if (rc == KW_OK)
            rc = data.MakeNonResident(Clusters(end, cluster) * cluster);
    }
    if (rc == KW_OK)
        rc = GrowData(data, cluster, end, h->position);
    if (rc == KW_OK)
        rc = data.WriteAttribute(h->position, buffer, count);
    if (rc == KW_OK) {
        const NTFS_STREAM& s = data.Stream();
        rc = data.SetSizes(std::max(s.dataSize, end), ~uint64_t{0},
                           std::max(s.initializedSize, end));
    }
    if (rc == KW_OK)
        rc = storeGrown(data);
    if (rc != KW_OK)
        return dropWriteState(rc);
    h->data = data.Stream();
    h->sizesPending = false;
    h->position = end;
    h->written = true;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::SetFileSize(NTFS_FILE_HANDLE* h, uint64_t size) {
    if (h == nullptr)
        return ERR_BAD_ARGUMENT;
    kwRet rc = checkHandleWritable(h);
    if (rc != KW_OK)
        return rc;
    const uint64_t cluster = geometry_.bytesPerCluster;
    if (!h->data.nonResident && h->data.value.size() == size)
        return KW_OK; // nothing to change
    NTFS_ATTRIBUTE data(this);
    rc = openData(h, &data);
    if (rc == KW_OK && !data.Stream().nonResident) {
        uint64_t old = data.Stream().value.size();
        rc = data.SetSizes(size, ~uint64_t{0}, size);
        if (rc == KW_OK)
            rc = data.Store();
        if (rc != ERR_ATTRIBUTE_DATA_FIT) {
            if (rc == KW_OK)
                h->data = data.Stream();
            return rc;
        }
        rc = data.Open(h->record, ATTR_DATA, Bytes(kNoName, 0));
        if (rc == KW_OK)
            rc = data.MakeNonResident(Clusters(size, cluster) * cluster);
        if (rc == KW_OK)
            rc = data.SetSizes(size, ~uint64_t{0}, old);
        if (rc == KW_OK)
            rc = storeGrown(data);
    } else if (rc == KW_OK) {
        uint64_t keep = Clusters(size, cluster);
        bool grows = keep >= data.ClusterCount();
        if (grows && keep > data.ClusterCount())
            rc = data.AllocateClusters(keep - data.ClusterCount());
        else if (!grows)
            rc = data.TruncateAttribute(keep);
        if (rc == KW_OK)
            rc = data.SetSizes(size, ~uint64_t{0}, std::min(data.Stream().initializedSize, size));
        if (rc == KW_OK)
            rc = grows ? storeGrown(data) : storeShrunk(data);
    }
    if (rc != KW_OK)
        return dropWriteState(rc);
    h->data = data.Stream();
    h->sizesPending = false;
    h->written = true;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::FreeFileRecord(uint64_t number) {
    // Whatever no longer refers to the record (its names) is durable first.
    kwRet rc = FlushVolume();
    if (rc == KW_OK)
        rc = CheckWritable();
    std::vector<uint8_t> base;
    if (rc == KW_OK)
        rc = ReadRecordForChange(number, &base);
    if (rc != KW_OK)
        return rc;
    std::vector<uint64_t> records{number};
    NTFS_STREAM list;
    if (LoadStream(number, ATTR_ATTRIBUTE_LIST, Bytes(kNoName, 0), &list) == KW_OK) {
        std::vector<uint8_t> value(list.Size());
        std::vector<ListEntry> entries;
        if (ReadStream(list, 0, value.data(), value.size()) == KW_OK &&
            DecodeAttributeList(value, &entries) == KW_OK) {
            for (const ListEntry& e : entries) {
                if (std::find(records.begin(), records.end(), RecordNumber(e.reference)) ==
                    records.end())
                    records.push_back(RecordNumber(e.reference));
            }
        }
        if (list.nonResident) {
            for (const Run& r : list.runs)
                if (r.kind == RunKind::Clusters)
                    MarkClusters(r.lcn, r.length, false);
        }
    }
    // Each record marked unused (base record first: nothing names the
    // others then), its clusters collected.
    std::vector<Run> clusters;
    for (uint64_t n : records) {
        std::vector<uint8_t> r;
        if (ReadRecordForChange(n, &r) != KW_OK)
            continue;
        RecordHeader header;
        header.firstAttribute = kwbytes::LoadLe16(r.data() + FRS_FIRST_ATTRIBUTE);
        header.bytesInUse = kwbytes::LoadLe32(r.data() + FRS_BYTES_IN_USE);
        AttributeWalk walk(r, header);
        Attribute a;
        while (walk.Next(&a) == KW_OK) {
            if (a.nonResident)
                DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                           &clusters);
        }
        auto sequence = static_cast<uint16_t>(kwbytes::LoadLe16(r.data() + FRS_SEQUENCE) + 1);
        kwbytes::StoreLe16(r.data() + FRS_SEQUENCE, sequence == 0 ? 1 : sequence);
        kwbytes::StoreLe16(r.data() + FRS_FLAGS, 0);
        rc = WriteRecord(n, r);
        if (rc != KW_OK)
            return dropWriteState(rc);
    }
    rc = FlushVolume();
    for (uint64_t n : records)
        FreeFrs(n);
    for (const Run& r : clusters)
        if (r.kind == RunKind::Clusters)
            MarkClusters(r.lcn, r.length, false);
    if (rc == KW_OK)
        rc = WriteMftBitmap();
    if (rc == KW_OK)
        rc = WriteVolumeBitmap();
    if (rc == KW_OK)
        rc = FlushVolume();
    return rc == KW_OK ? KW_OK : dropWriteState(rc);
}

SECTOR_RUN* NTFS_FILESYSTEM::ListFileClusters(const char* path, bool makeNonResident) {
    uint64_t record = 0;
    NTFS_STREAM data;
    if (FindFile(path, &record, nullptr) != KW_OK)
        return nullptr;
    DbgPrintf("ListClusters: File Entry FRS# %lu\n", static_cast<unsigned long>(record));
    if (LoadStream(record, ATTR_DATA, Bytes(kNoName, 0), &data) != KW_OK)
        return nullptr;
    if (!data.nonResident) {
        // Only a caller that asks, on a volume that may be written, moves
        // the data out of the record.
        NTFS_ATTRIBUTE attr(this);
        if (!makeNonResident || CheckWritable() != KW_OK ||
            attr.Open(record, ATTR_DATA, Bytes(kNoName, 0)) != KW_OK ||
            attr.MakeNonResident(attr.Stream().value.size()) != KW_OK)
            return nullptr;
        if (storeGrown(attr) != KW_OK || FlushVolume() != KW_OK) {
            dropWriteState(ERR_FILE_WRITE);
            return nullptr;
        }
        data = attr.Stream();
    }
    SECTOR_RUN* first = nullptr;
    SECTOR_RUN* last = nullptr;
    uint32_t spc = geometry_.sectorsPerCluster;
    for (const Run& r : data.runs) {
        if (r.kind != RunKind::Clusters)
            continue;
        auto* node = new SECTOR_RUN;
        if (node == nullptr) {
            FreeSectorRuns(first);
            return nullptr;
        }
        node->firstSector = static_cast<uint32_t>(r.lcn * spc);
        node->sectorCount = static_cast<uint32_t>(r.length * spc);
        node->previous = last;
        (last != nullptr ? last->next : first) = node;
        last = node;
    }
    return first;
}
