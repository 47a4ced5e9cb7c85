// NTFS_FILESYSTEM: files, the volume's name and version, bad clusters and
// the used-cluster maps.
#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace kw::ntfs;

namespace {

constexpr uint64_t kVolumeRecord = 3;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBadClusRecord = 8;
constexpr uint64_t kFirstUserRecord = 16;
constexpr uint16_t kRecordViewIndex = 8;
const uint8_t kNoName[1] = {0};
const uint8_t kBad[8] = {'$', 0, 'B', 0, 'a', 0, 'd', 0};

} // namespace

kwRet NTFS_FILESYSTEM::OpenFile(const char* path, NTFS_FILE_HANDLE** handle, bool forWrite) {
    if (handle == nullptr)
        return ERR_BAD_ARGUMENT;
    *handle = nullptr;
    uint64_t record = 0;
    kwRet rc = forWrite ? CheckWritable() : KW_OK;
    if (rc == KW_OK)
        rc = FindFile(path, &record, nullptr);
    return rc == KW_OK ? openRecord(record, forWrite, handle) : rc;
}

kwRet NTFS_FILESYSTEM::openRecord(uint64_t record, bool forWrite, NTFS_FILE_HANDLE** handle) {
    RecordPtr r;
    kwRet rc = GetRecord(record, &r);
    if (rc != KW_OK)
        return rc;
    if (r->header.IsDirectory())
        return ERR_FILE_NOT_FOUND;
    auto* h = new NTFS_FILE_HANDLE;
    if (h == nullptr)
        return ERR_NO_MEMORY;
    h->record = record;
    h->readOnly = !forWrite;
    rc = LoadStream(record, ATTR_DATA, Bytes(kNoName, 0), &h->data);
    if (rc == KW_OK && (h->data.flags & (ATTR_FLAG_COMPRESSED | ATTR_FLAG_ENCRYPTED))) {
        DbgPrintf("Data is compressed or sparse, File %lu (%lu). Click OK to cancel conversion.\n",
                  static_cast<unsigned long>(record), static_cast<unsigned long>(record >> 32));
        rc = ERR_COMPRESSED;
    }
    if (rc != KW_OK) {
        delete h;
        return rc;
    }
    AttributeWalk walk(r->bytes, r->header);
    Attribute a;
    while (walk.Next(&a) == KW_OK)
        h->namedStreams = h->namedStreams || (a.type == ATTR_DATA && !a.name.empty());
    *handle = h;
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::CloseFile(NTFS_FILE_HANDLE* handle) {
    // The sizes written ahead are stored first; then the file's entry in its
    // folder's index shows its new size.
    kwRet rc = handle != nullptr && handle->written ? FinishWrites(handle) : KW_OK;
    if (rc == KW_OK && handle != nullptr && handle->written &&
        UpdateNameEntries(handle->record) != KW_OK)
        DbgPrintf(
            "NTFS_FILESYSTEM::CloseFile: the index entries of FRS# %lu keep their old sizes\n",
            static_cast<unsigned long>(handle->record));
    // Everything the handle wrote is durable once it is closed.
    if (rc == KW_OK && handle != nullptr && handle->written)
        rc = FlushVolume();
    delete handle;
    return rc;
}

kwRet NTFS_FILESYSTEM::ReadFile(NTFS_FILE_HANDLE* h, void* buffer, uint32_t count) {
    if (h == nullptr || (buffer == nullptr && count > 0))
        return ERR_BAD_ARGUMENT;
    kwRet rc = ReadStream(h->data, h->position, buffer, count);
    if (rc == KW_OK)
        h->position += count;
    return rc;
}

kwRet NTFS_FILESYSTEM::GetVolumeLabelUtf16(uint8_t* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    std::memset(buffer, 0, 512);
    NTFS_STREAM name;
    kwRet rc = LoadStream(kVolumeRecord, ATTR_VOLUME_NAME, Bytes(kNoName, 0), &name);
    if (rc == ERR_ATTRIBUTE_MISSING)
        return KW_OK; // no label
    if (rc != KW_OK)
        return rc;
    if (name.nonResident)
        return ERR_MUST_BE_RESIDENT;
    size_t n = name.value.size() & ~size_t{1};
    std::memcpy(buffer, name.value.data(), n < 510 ? n : 510);
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    uint8_t label[512];
    kwRet rc = GetVolumeLabelUtf16(label);
    if (rc != KW_OK)
        return rc;
    size_t units = 0;
    while (units < 255 && (label[2 * units] != 0 || label[2 * units + 1] != 0))
        ++units;
    // The caller's buffer holds at least 12 bytes: the label is cut to fit.
    std::string text = NtfsNameToUtf8(Bytes(label, 2 * units));
    std::strncpy(buffer, text.c_str(), 11);
    buffer[11] = '\0';
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::GetVersion(uint8_t* major, uint8_t* minor) {
    NTFS_STREAM info;
    kwRet rc = LoadStream(kVolumeRecord, ATTR_VOLUME_INFORMATION, Bytes(kNoName, 0), &info);
    if (rc == KW_OK && (info.nonResident || info.value.size() < 10))
        rc = ERR_ATTRIBUTE_POSITION;
    if (rc != KW_OK)
        return rc;
    *major = info.value[8];
    *minor = info.value[9];
    return KW_OK;
}

// The $MFT's bitmap, min(its data size, the bytes of the records there are).
kwRet NTFS_FILESYSTEM::mftBitmap(std::vector<uint8_t>* bits) {
    NTFS_STREAM bitmap;
    kwRet rc = LoadStream(0, ATTR_BITMAP, Bytes(kNoName, 0), &bitmap);
    if (rc != KW_OK)
        return rc;
    bits->resize(std::min<uint64_t>(bitmap.Size(), (recordCount_ + 7) / 8));
    return ReadStream(bitmap, 0, bits->data(), bits->size());
}

kwRet NTFS_FILESYSTEM::CountRecordsInUse(uint32_t* count) {
    *count = 0;
    std::vector<uint8_t> bits;
    kwRet rc = mftBitmap(&bits);
    for (uint64_t n = 0; rc == KW_OK && n < recordCount_ && n / 8 < bits.size(); ++n)
        *count += (bits[n / 8] >> (n % 8)) & 1;
    return rc;
}

uint32_t NTFS_FILESYSTEM::GetSerialNumber() {
    return static_cast<uint32_t>(geometry_.serial);
}

// The volume bitmap as $Bitmap holds it, one bit per cluster.
kwRet NTFS_FILESYSTEM::volumeBitmap(STATE_MAP* map) {
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    uint64_t clusters = geometry_.clusterCount;
    NTFS_STREAM bitmap;
    kwRet rc = LoadStream(kBitmapRecord, ATTR_DATA, Bytes(kNoName, 0), &bitmap);
    if (rc == KW_OK && bitmap.Size() < (clusters + 7) / 8)
        rc = ERR_ATTRIBUTE_POSITION;
    if (rc == KW_OK)
        rc = map->Create(static_cast<uint32_t>(clusters), false);
    if (rc != KW_OK)
        return rc;
    // Read min(the map's size, the data size): never past the map.
    std::vector<uint8_t> bytes((clusters + 7) / 8);
    rc = ReadStream(bitmap, 0, bytes.data(), bytes.size());
    if (rc != KW_OK)
        return rc;
    for (uint32_t w = 0; w < (clusters + 31) / 32; ++w) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < 4 && 4 * w + b < bytes.size(); ++b)
            v |= uint32_t{bytes[4 * w + b]} << (8 * b);
        map->GetWords()[w] = v;
    }
    // Bits past the cluster count are not clusters.
    if (clusters % 32 != 0)
        map->GetWords()[clusters / 32] &= (1u << (clusters % 32)) - 1;
    map->ulUnitsPerBit = geometry_.sectorsPerCluster;
    map->ulUnitCount = static_cast<uint32_t>(clusters);
    return KW_OK;
}

// Clears the clusters of $BadClus:$Bad. Only runs with real clusters count:
// the runs standing for no clusters (negative or sparse) touch nothing.
kwRet NTFS_FILESYSTEM::clearBadClusters(STATE_MAP* map) {
    NTFS_STREAM bad;
    kwRet rc = LoadStream(kBadClusRecord, ATTR_DATA, Bytes(kBad, 8), &bad);
    if (rc == ERR_ATTRIBUTE_MISSING)
        return KW_OK;
    if (rc != KW_OK)
        return rc;
    for (const Run& r : bad.runs) {
        if (r.kind == RunKind::Clusters)
            map->ClearRange(static_cast<uint32_t>(r.lcn), static_cast<uint32_t>(r.length));
    }
    return KW_OK;
}

// Clears the clusters of every file's data: what is left is the metadata
// (system files, folders and their indexes, attribute lists, names and
// security descriptors). A damaged record is logged and passed over.
kwRet NTFS_FILESYSTEM::clearFileData(STATE_MAP* map) {
    std::vector<uint8_t> inUse;
    kwRet rc = mftBitmap(&inUse);
    if (rc != KW_OK)
        return rc;
    for (uint64_t n = kFirstUserRecord; n < recordCount_ && n / 8 < inUse.size(); ++n) {
        if (!((inUse[n / 8] >> (n % 8)) & 1))
            continue;
        RecordPtr r;
        if (GetRecord(n, &r, true) != KW_OK)
            continue;
        uint16_t flags = r->header.flags;
        if (r->header.baseReference != 0) {
            RecordPtr base;
            if (GetRecord(RecordNumber(r->header.baseReference), &base) != KW_OK)
                continue;
            flags = base->header.flags;
        }
        if (flags & (2 | kRecordViewIndex))
            continue;
        AttributeWalk walk(r->bytes, r->header);
        Attribute a;
        while ((rc = walk.Next(&a)) == KW_OK) {
            if (!a.nonResident || a.type == ATTR_FILE_NAME || a.type == 0x50 ||
                a.type == ATTR_ATTRIBUTE_LIST)
                continue;
            std::vector<Run> runs;
            rc = DecodeRuns(a.mappingPairs, a.lowestVcn, a.highestVcn, geometry_.clusterCount,
                            &runs);
            if (rc != KW_OK)
                break;
            for (const Run& run : runs) {
                if (run.kind == RunKind::Clusters)
                    map->ClearRange(static_cast<uint32_t>(run.lcn),
                                    static_cast<uint32_t>(run.length));
            }
        }
        if (rc != ERR_NO_MORE_NAMES)
            DbgPrintf("GenerateBitmap error %lu initializing FRS[%lu]\n",
                      static_cast<unsigned long>(rc), static_cast<unsigned long>(n));
    }
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t flags) {
    if (map == nullptr)
        return ERR_BAD_ARGUMENT;
    auto* made = new (std::nothrow) STATE_MAP;
    if (made == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = volumeBitmap(made);
    if (rc == KW_OK)
        rc = clearBadClusters(made);
    if (rc == KW_OK && !(flags & FS_MAP_FILE_DATA))
        rc = clearFileData(made);
    if (rc != KW_OK) {
        delete made;
        return rc;
    }
    made->ulLastUsed = made->LastSet();
    // The last cluster a partition shrunk in place must still hold.
    uint64_t least = 0;
    made->ulMinEnd = CalcMinSotf(&least) == KW_OK && least > 0 && least - 1 <= UINT32_MAX
                         ? static_cast<uint32_t>(least - 1)
                         : made->ulLastUsed;
    delete *map;
    *map = made;
    return KW_OK;
}

// map1: the metadata only; map2: the file data only (all used clusters less
// map1).
kwRet NTFS_FILESYSTEM::GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) {
    bool wantMeta = (flags & FS_MAP_METADATA) != 0, wantData = (flags & FS_MAP_FILE_DATA) != 0;
    if ((wantMeta && map1 == nullptr) || (wantData && map2 == nullptr))
        return ERR_BAD_ARGUMENT;
    STATE_MAP* meta = nullptr;
    kwRet rc = GenerateBitmap(&meta, FS_MAP_METADATA);
    STATE_MAP* all = nullptr;
    if (rc == KW_OK && wantData) {
        rc = GenerateBitmap(&all, FS_MAP_METADATA | FS_MAP_FILE_DATA);
        if (rc == KW_OK)
            all->XorWith(*meta);
    }
    if (rc != KW_OK) {
        delete meta;
        delete all;
        return rc;
    }
    if (wantData) {
        all->ulLastUsed = all->LastSet();
        delete *map2;
        *map2 = all;
    }
    if (wantMeta) {
        delete *map1;
        *map1 = meta;
    } else {
        delete meta;
    }
    return KW_OK;
}

kwRet NTFS_FILESYSTEM::GetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_ARGUMENT;
    if (!open_)
        return ERR_VOLUME_NOT_OPEN;
    NTFS_STREAM bad;
    kwRet rc = LoadStream(kBadClusRecord, ATTR_DATA, Bytes(kBad, 8), &bad);
    if (rc == ERR_ATTRIBUTE_MISSING)
        return KW_OK;
    uint32_t spc = geometry_.sectorsPerCluster;
    for (const Run& r : bad.runs) {
        for (uint64_t c = 0; rc == KW_OK && r.kind == RunKind::Clusters && c < r.length; ++c) {
            for (uint32_t s = 0; rc == KW_OK && s < spc; ++s)
                rc = list->Add(static_cast<uint32_t>((r.lcn + c) * spc + s));
        }
    }
    return rc;
}

// The slot lists what is there: a resident $DATA is never moved for it.
SECTOR_RUN* NTFS_FILESYSTEM::ListClusters(const char* path) {
    return ListFileClusters(path, false);
}
