#include "engine/netware/nw_vtable.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/netware/nw_io.h"
#include "engine/netware/nw_redir.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::LoadLe32;

namespace kw::netware {

uint32_t TableEntryCount(const uint8_t* sector) {
    return std::min(LoadLe32(sector + VT_ENTRY_COUNT), kMaxTableEntries);
}

bool IsVolumeTable(const uint8_t* sector) {
    return std::memcmp(sector + VT_TEXT, kVolumeTableText, sizeof kVolumeTableText) == 0;
}

void MergeVolumeTableCopy(uint8_t* out, const uint8_t* later) {
    for (uint32_t j = 0; j < TableEntryCount(later); ++j) {
        const uint32_t at = VT_ENTRIES + j * kSegmentEntryBytes;
        if (LoadLe32(out + at + SE_SYNC) < LoadLe32(later + at + SE_SYNC))
            std::memcpy(out + at, later + at, kSegmentEntryBytes);
    }
}

kwRet nwReadVolumeTables(const PartHandle& handle, uint32_t origin, uint8_t* out) {
    std::memset(out, 0, kSectorBytes);
    bool valid = false;
    uint8_t copy[kSectorBytes];
    for (uint32_t k = 0; k < kVolumeTableCopies; ++k) {
        if (kwRet rc = handle.Read(origin + kVolumeTableStride * (k + 1), copy, 1); rc != KW_OK)
            return rc;
        if (!IsVolumeTable(copy))
            continue;
        if (!valid)
            std::memcpy(out, copy, kSectorBytes);
        else
            MergeVolumeTableCopy(out, copy);
        valid = true;
    }
    return valid ? KW_OK : ERR_NW_NO_VOLUME_TABLE;
}

// Readers take the first valid copy whole and let later copies override
// entries with larger sync values, so a table half written over the copies
// in turn could read as neither table (a deleted entry brought back by an
// older copy). The writes are ordered so that a cut between any two leaves
// one table readable: every valid copy but the last loses its text, the
// last valid copy takes the new table (the switch), then the others do; a
// flush closes each step.
kwRet nwWriteVolumeTables(PARTITION_INFO* pi, uint32_t origin, const uint8_t* sector) {
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    if (rc != KW_OK)
        return rc;
    auto at = [origin](uint32_t k) { return origin + kVolumeTableStride * (k + 1); };
    bool valid[kVolumeTableCopies] = {};
    uint32_t last = kVolumeTableCopies; // none valid: nothing to keep readable
    uint8_t copy[kSectorBytes];
    for (uint32_t k = 0; k < kVolumeTableCopies; ++k)
        if (handle.Read(at(k), copy, 1) == KW_OK && IsVolumeTable(copy)) {
            valid[k] = true;
            last = k;
        }
    const uint8_t cleared[kSectorBytes] = {};
    for (uint32_t k = 0; k < kVolumeTableCopies && rc == KW_OK; ++k)
        if (valid[k] && k != last)
            rc = handle.Write(at(k), cleared, 1);
    if (rc == KW_OK && last < kVolumeTableCopies && (rc = handle.Flush()) == KW_OK &&
        (rc = handle.Write(at(last), sector, 1)) == KW_OK)
        rc = handle.Flush();
    for (uint32_t k = 0; k < kVolumeTableCopies && rc == KW_OK; ++k)
        if (k != last)
            rc = handle.Write(at(k), sector, 1);
    return rc != KW_OK ? rc : handle.Flush();
}

kwRet nwCheckPartitionSignature(const PartHandle& handle, uint8_t* sector, bool* found) {
    *found = false;
    kwRet rc = handle.Read(0, sector, 1);
    if (rc == KW_OK)
        *found = std::memcmp(sector + SG_SIGNATURE, kPartitionSignature,
                             sizeof kPartitionSignature) == 0;
    return rc;
}

kwRet nwReadPartitionSector(const PartHandle& handle, uint8_t* record) {
    std::memset(record, 0, kSignatureRecordBytes);
    uint8_t sector[kSectorBytes];
    bool found = false;
    kwRet rc = nwCheckPartitionSignature(handle, sector, &found);
    if (rc == KW_OK && found)
        std::memcpy(record, sector, kSignatureRecordBytes);
    return rc;
}

kwRet nwGetPartitionSector(PARTITION_INFO* pi, uint8_t* record) {
    std::memset(record, 0, kSignatureRecordBytes);
    PartHandle handle;
    kwRet rc = handle.Open(pi);
    return rc != KW_OK ? rc : nwReadPartitionSector(handle, record);
}

kwRet nwPartitionOrigin(PARTITION_INFO* pi, const PartHandle& handle, uint32_t* origin) {
    *origin = 0;
    uint8_t header[kSectorBytes];
    bool found = false;
    kwRet rc = ReadCurrentHeader(handle, true, 0, pi->NumSects, header, &found);
    if (rc != KW_OK)
        return rc;
    if (found) {
        *origin = LoadLe32(header + HF_AREA_SECTORS);
        return KW_OK;
    }
    uint8_t sector[kSectorBytes];
    if ((rc = nwCheckPartitionSignature(handle, sector, &found)) != KW_OK)
        return rc;
    if (!found || LoadLe32(sector + SG_PARTITION_SECTORS) == 0)
        return ERR_NW_BAD_REDIRECT_AREA;
    *origin = kSignatureOrigin;
    return KW_OK;
}

kwRet nwReadPartitionVolumeTable(PARTITION_INFO* pi, const PartHandle& handle, uint8_t* out) {
    uint32_t origin = 0;
    kwRet rc = nwPartitionOrigin(pi, handle, &origin);
    return rc != KW_OK ? rc : nwReadVolumeTables(handle, origin, out);
}

void nwMakeDosDateTime(std::time_t time, uint16_t* date, uint16_t* timeWord) {
    std::tm local{};
    localtime_r(&time, &local);
    int seconds = std::min(local.tm_sec, 58);
    *timeWord = static_cast<uint16_t>((local.tm_hour * 64 + local.tm_min) * 32 + seconds / 2);
    *date = static_cast<uint16_t>(((local.tm_year + 1900 - 1980) * 16 + local.tm_mon + 1) * 32 +
                                  local.tm_mday);
}

kwRet nwGetLargestPartitionId(uint32_t* id) {
    *id = 0;
    DISK_RECORD* disk = nullptr;
    kwRet rc = kwGetDiskList(&disk);
    if (rc != KW_OK)
        return rc;
    for (; disk != nullptr; disk = disk->next)
        for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind == FS_KIND_NETWARE)
                *id = std::max(*id, pi->ulSerial);
    return KW_OK;
}

uint32_t nwNewPartitionId(std::time_t time) {
    const bool given = time != 0;
    if (!given)
        time = std::time(nullptr);
    uint16_t date = 0;
    uint16_t timeWord = 0;
    nwMakeDosDateTime(time, &date, &timeWord);
    uint32_t id = uint32_t{date} << 16 | timeWord;
    uint32_t largest = 0;
    if (!given && nwGetLargestPartitionId(&largest) == KW_OK && largest + 9 >= id)
        id = largest + 10;
    return id;
}

} // namespace kw::netware
