// NTFS_ATTRIBUTE: one attribute of one base record opened for change. It
// owns a copy of the attribute (a resident value, or the run list and sizes
// of a non-resident one) that its operations change in memory: sizes,
// values, clusters taken and given back, residency. Clusters it takes are
// marked used in the volume's bitmap at once; clusters it gives back only
// after Store has written the records that no longer refer to them.
//
// Store writes the attribute back: the first extent in the base record,
// and, when the run list no longer fits there, further extents in fresh
// extension records listed in the base record's attribute list. Fresh
// records are written before the base record that names them, and the
// extension records it named before are freed only after it; nothing is
// flushed here but between those steps, so a caller orders the volume
// bitmap write and the flush around it.
#pragma once

#include "engine/ntfs/ntfs_filesystem.h"

#include <cstdint>
#include <vector>

class NTFS_ATTRIBUTE {
public:
    explicit NTFS_ATTRIBUTE(NTFS_FILESYSTEM* fs) : fs_(fs) {}

    // The attribute of a base record (name: UTF-16LE bytes). With create a
    // missing one is made: resident holding `value`, or non-resident and
    // empty; it reaches the record at Store. 1517 when missing.
    kwRet Open(uint64_t record, uint32_t type, kw::ntfs::Bytes name, bool create = false,
               bool nonResident = false, kw::ntfs::Bytes value = {});
    const NTFS_STREAM& Stream() const { return s_; }
    uint64_t ClusterCount() const;

    kwRet ReadAttribute(uint64_t offset, void* buffer, size_t count);
    // Resident: the whole value only (4 otherwise). Non-resident: bytes in
    // the allocated clusters; sizes unchanged.
    kwRet WriteAttribute(uint64_t offset, const void* buffer, size_t count);
    kwRet WriteRaw(uint64_t offset, const void* buffer, size_t count) {
        return WriteAttribute(offset, buffer, count);
    }
    // Data and initialised size (all ones: the data size); the allocated
    // size always follows the run list. allocated is kept for the record's
    // form: all ones or the run list's size.
    kwRet SetSizes(uint64_t data, uint64_t allocated, uint64_t initialized);
    // Data = initialised = size.
    kwRet Resize(uint64_t size) { return SetSizes(size, ~uint64_t{0}, size); }
    kwRet ResizeResidentValue(kw::ntfs::Bytes value);

    kwRet AllocateClusters(uint64_t count, bool contiguous = false);
    kwRet AppendRun(const kw::ntfs::Run& run);
    // Keeps the first `keep` clusters; the rest are given back after Store.
    kwRet TruncateAttribute(uint64_t keep);
    kwRet FreeAllClusters() { return TruncateAttribute(0); }
    // Copies count clusters from `from` to `to` (marked used now; the old
    // ones are given back after Store). The run list is the caller's.
    kwRet MoveClusters(uint64_t from, uint64_t to, uint64_t count);
    // Moves a resident value into `allocatedBytes` worth of new clusters
    // (the value written there at once).
    kwRet MakeNonResident(uint64_t allocatedBytes);
    // Replaces the run list (a caller that remapped runs).
    void SetRuns(std::vector<kw::ntfs::Run> runs);

    // Writes the record(s); then gives back the clusters freed meanwhile.
    kwRet Store();

private:
    struct Layout;
    kwRet storeResident(std::vector<uint8_t>& base, uint32_t at);
    kwRet storeRuns(std::vector<uint8_t>& base);
    kwRet split(std::vector<uint8_t>& base, std::vector<uint64_t>* oldExtents);
    kwRet dropExtents(const std::vector<uint64_t>& records);
    uint32_t placeAttribute(std::vector<uint8_t>& base);
    void fileNameSizes(std::vector<uint8_t>& base);

    NTFS_FILESYSTEM* fs_;
    uint64_t record_ = 0;
    uint32_t type_ = 0;
    std::vector<uint8_t> name_;
    NTFS_STREAM s_;
    std::vector<kw::ntfs::Run> freed_; // given back after Store
};
