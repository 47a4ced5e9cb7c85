#include "engine/ntfs/ntfs_attribute.h"

#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

using namespace kw::ntfs;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::LoadLe64;
using kwbytes::StoreLe64;

namespace {

constexpr uint64_t kMoveChunk = 16u << 20;
const uint8_t kNoName[1] = {0};

uint64_t RunEnd(const std::vector<Run>& runs) {
    return runs.empty() ? 0 : runs.back().vcn + runs.back().length;
}

RecordHeader HeaderOf(Bytes r) {
    RecordHeader h;
    h.sequence = LoadLe16(r, FRS_SEQUENCE);
    h.firstAttribute = LoadLe16(r, FRS_FIRST_ATTRIBUTE);
    h.flags = LoadLe16(r, FRS_FLAGS);
    h.bytesInUse = LoadLe32(r, FRS_BYTES_IN_USE);
    h.baseReference = LoadLe64(r, FRS_BASE_REFERENCE);
    return h;
}

// An attribute-list entry held apart from the list's bytes.
struct Entry {
    uint32_t type = 0;
    std::vector<uint8_t> name;
    uint64_t lowestVcn = 0;
    uint64_t reference = 0;
    uint16_t instance = 0;
    bool operator<(const Entry& o) const {
        if (type != o.type)
            return type < o.type;
        if (name != o.name)
            return name < o.name;
        return lowestVcn < o.lowestVcn;
    }
};

std::vector<uint8_t> ListBytes(std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end());
    std::vector<uint8_t> out;
    for (const Entry& e : entries) {
        std::vector<uint8_t> b =
            ListEntryBytes(e.type, e.name, e.lowestVcn, e.reference, e.instance);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// Entries for every attribute record of `record` (the list itself left out).
std::vector<Entry> EntriesOf(Bytes r, uint64_t number) {
    std::vector<Entry> out;
    AttributeWalk walk(r, HeaderOf(r));
    Attribute a;
    uint64_t reference = number | (uint64_t{LoadLe16(r, FRS_SEQUENCE)} << 48);
    while (walk.Next(&a) == KW_OK) {
        if (a.type == ATTR_ATTRIBUTE_LIST)
            continue;
        Entry e;
        e.type = a.type;
        e.name.assign(a.name.begin(), a.name.end());
        e.lowestVcn = a.nonResident ? a.lowestVcn : 0;
        e.reference = reference;
        e.instance = a.instance;
        out.push_back(std::move(e));
    }
    return out;
}

// The first record of the attribute (pastFirst: a non-resident extent past
// VCN 0 only); 0 when there is none.
uint32_t FindExtent(Bytes r, uint32_t type, Bytes name, bool pastFirst) {
    AttributeWalk walk(r, HeaderOf(r));
    Attribute a;
    uint32_t offset = LoadLe16(r, FRS_FIRST_ATTRIBUTE);
    while (walk.Next(&a) == KW_OK) {
        bool named =
            a.name.size() == name.size() && std::equal(a.name.begin(), a.name.end(), name.begin());
        if (a.type == type && named && (!pastFirst || (a.nonResident && a.lowestVcn != 0)))
            return offset;
        offset += LoadLe32(r, offset + AR_LENGTH);
    }
    return 0;
}

} // namespace

// How the attribute lies in the base record's attribute list.
struct NTFS_ATTRIBUTE::Layout {
    bool hasList = false;
    std::vector<Entry> others;     // entries of other records for other attributes
    std::vector<uint64_t> extents; // records that held extents of this one
};

kwRet NTFS_ATTRIBUTE::Open(uint64_t record, uint32_t type, Bytes name, bool create,
                           bool nonResident, Bytes value) {
    record_ = record;
    type_ = type;
    name_.assign(name.begin(), name.end());
    freed_.clear();
    kwRet rc = fs_->LoadStream(record, type, name, &s_);
    if (rc == ERR_ATTRIBUTE_MISSING && create) {
        s_ = NTFS_STREAM{};
        s_.type = type;
        s_.nonResident = nonResident;
        if (!nonResident)
            s_.value.assign(value.begin(), value.end());
        return KW_OK;
    }
    if (rc == KW_OK && (s_.flags & (ATTR_FLAG_COMPRESSED | ATTR_FLAG_ENCRYPTED)))
        rc = ERR_COMPRESSED;
    return rc;
}

uint64_t NTFS_ATTRIBUTE::ClusterCount() const {
    return RunEnd(s_.runs);
}

kwRet NTFS_ATTRIBUTE::ReadAttribute(uint64_t offset, void* buffer, size_t count) {
    return fs_->ReadStream(s_, offset, buffer, count);
}

kwRet NTFS_ATTRIBUTE::WriteAttribute(uint64_t offset, const void* buffer, size_t count) {
    if (!s_.nonResident) {
        if (offset != 0 || count != s_.value.size())
            return ERR_BAD_ARGUMENT;
        if (count > 0)
            std::memcpy(s_.value.data(), buffer, count);
        return KW_OK;
    }
    return fs_->WriteStream(s_, offset, buffer, count);
}

kwRet NTFS_ATTRIBUTE::SetSizes(uint64_t data, uint64_t, uint64_t initialized) {
    if (!s_.nonResident) {
        s_.value.resize(static_cast<size_t>(data), 0);
        return KW_OK;
    }
    uint64_t allocated = ClusterCount() * fs_->GetGeometry().bytesPerCluster;
    if (data > allocated)
        return ERR_TOO_FEW_CLUSTERS;
    s_.dataSize = data;
    s_.initializedSize = std::min(initialized == ~uint64_t{0} ? data : initialized, data);
    s_.allocatedSize = allocated;
    return KW_OK;
}

kwRet NTFS_ATTRIBUTE::ResizeResidentValue(Bytes value) {
    if (s_.nonResident)
        return ERR_MUST_BE_RESIDENT;
    s_.value.assign(value.begin(), value.end());
    return KW_OK;
}

kwRet NTFS_ATTRIBUTE::AllocateClusters(uint64_t count, bool contiguous) {
    if (!s_.nonResident)
        return ERR_MUST_BE_NONRESIDENT;
    std::vector<Run> pieces;
    kwRet rc = fs_->AllocateClusters(count, contiguous, s_.runs.empty() ? nullptr : &s_.runs.back(),
                                     &pieces);
    for (const Run& p : pieces) {
        Run r = p;
        r.vcn = ClusterCount();
        r.kind = RunKind::Clusters;
        Run& last = s_.runs.empty() ? r : s_.runs.back();
        if (!s_.runs.empty() && last.kind == RunKind::Clusters && last.lcn + last.length == r.lcn)
            last.length += r.length;
        else
            s_.runs.push_back(r);
    }
    if (rc == KW_OK)
        s_.allocatedSize = ClusterCount() * fs_->GetGeometry().bytesPerCluster;
    return rc;
}

kwRet NTFS_ATTRIBUTE::AppendRun(const Run& run) {
    if (!s_.nonResident)
        return ERR_MUST_BE_NONRESIDENT;
    Run r = run;
    r.vcn = ClusterCount();
    if (!s_.runs.empty()) {
        Run& last = s_.runs.back();
        bool carries =
            last.kind == r.kind && (r.kind != RunKind::Clusters || last.lcn + last.length == r.lcn);
        if (carries) {
            last.length += r.length;
            r.length = 0;
        }
    }
    if (r.length > 0)
        s_.runs.push_back(r);
    if (run.kind == RunKind::Clusters)
        fs_->MarkClusters(run.lcn, run.length, true);
    s_.allocatedSize = ClusterCount() * fs_->GetGeometry().bytesPerCluster;
    return KW_OK;
}

kwRet NTFS_ATTRIBUTE::TruncateAttribute(uint64_t keep) {
    if (!s_.nonResident)
        return ERR_MUST_BE_NONRESIDENT;
    while (!s_.runs.empty() && s_.runs.back().vcn + s_.runs.back().length > keep) {
        Run& last = s_.runs.back();
        uint64_t cut = last.vcn >= keep ? last.length : last.vcn + last.length - keep;
        if (last.kind == RunKind::Clusters) {
            Run gone;
            gone.lcn = last.lcn + last.length - cut;
            gone.length = cut;
            freed_.push_back(gone);
        }
        last.length -= cut;
        if (last.length == 0)
            s_.runs.pop_back();
    }
    uint64_t bytes = ClusterCount() * fs_->GetGeometry().bytesPerCluster;
    s_.allocatedSize = bytes;
    s_.dataSize = std::min(s_.dataSize, bytes);
    s_.initializedSize = std::min(s_.initializedSize, s_.dataSize);
    return KW_OK;
}

kwRet NTFS_ATTRIBUTE::MoveClusters(uint64_t from, uint64_t to, uint64_t count) {
    const uint64_t cluster = fs_->GetGeometry().bytesPerCluster;
    uint64_t chunk = std::max<uint64_t>(1, kMoveChunk / cluster);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(chunk, count) * cluster));
    fs_->MarkClusters(to, count, true);
    // A target above an overlapping source is copied from the end down.
    bool down = to > from && to < from + count;
    if (down)
        chunk = std::min(chunk, to - from);
    for (uint64_t done = 0; done < count;) {
        uint64_t n = std::min(chunk, count - done);
        uint64_t at = down ? count - done - n : done;
        NTFS_STREAM src;
        src.nonResident = true;
        src.dataSize = src.initializedSize = src.allocatedSize = n * cluster;
        src.runs.push_back(Run{0, n, from + at, RunKind::Clusters});
        NTFS_STREAM dst = src;
        dst.runs[0].lcn = to + at;
        kwRet rc = fs_->ReadStream(src, 0, buffer.data(), static_cast<size_t>(n * cluster));
        if (rc == KW_OK)
            rc = fs_->WriteStream(dst, 0, buffer.data(), static_cast<size_t>(n * cluster));
        if (rc != KW_OK)
            return rc;
        done += n;
    }
    for (uint64_t c = from; c < from + count; ++c) {
        if (c < to || c >= to + count)
            freed_.push_back(Run{0, 1, c, RunKind::Clusters});
    }
    return KW_OK;
}

kwRet NTFS_ATTRIBUTE::MakeNonResident(uint64_t allocatedBytes) {
    if (s_.nonResident)
        return ERR_MUST_BE_RESIDENT;
    std::vector<uint8_t> value = std::move(s_.value);
    const uint64_t cluster = fs_->GetGeometry().bytesPerCluster;
    uint64_t need = std::max<uint64_t>(allocatedBytes, value.size());
    s_.value.clear();
    s_.nonResident = true;
    s_.runs.clear();
    kwRet rc = AllocateClusters((need + cluster - 1) / cluster);
    if (rc == KW_OK && !value.empty()) {
        std::vector<uint8_t> whole((value.size() + cluster - 1) / cluster * cluster, 0);
        std::copy(value.begin(), value.end(), whole.begin());
        rc = fs_->WriteStream(s_, 0, whole.data(), whole.size());
    }
    if (rc != KW_OK) {
        for (const Run& r : s_.runs)
            fs_->MarkClusters(r.lcn, r.length, false);
        s_.runs.clear();
        s_.nonResident = false;
        s_.value = std::move(value);
        return rc;
    }
    s_.dataSize = s_.initializedSize = value.size();
    s_.allocatedSize = ClusterCount() * cluster;
    return KW_OK;
}

void NTFS_ATTRIBUTE::SetRuns(std::vector<Run> runs) {
    s_.runs = std::move(runs);
}

// --- Store ---

// Where the attribute's first extent goes: found, or made in the form the
// copy has now (a residency change replaces the record).
uint32_t NTFS_ATTRIBUTE::placeAttribute(std::vector<uint8_t>& base) {
    uint32_t at = FindAttribute(base, type_, name_, 0);
    if (at != 0 && (base[at + AR_NON_RESIDENT] != 0) != s_.nonResident) {
        RemoveAttribute(base, at);
        at = 0;
    }
    if (at != 0)
        return at;
    std::vector<uint8_t> fresh = s_.nonResident
                                     ? NonResidentAttribute(type_, name_, s_.flags)
                                     : ResidentAttribute(type_, name_, Bytes(kNoName, 0));
    if (InsertAttribute(base, fresh, &at) != KW_OK)
        return 0;
    return at;
}

// The unnamed $DATA's sizes are repeated in the record's own names.
void NTFS_ATTRIBUTE::fileNameSizes(std::vector<uint8_t>& base) {
    if (type_ != ATTR_DATA || !name_.empty())
        return;
    uint64_t data = s_.Size();
    uint64_t allocated = s_.nonResident ? s_.allocatedSize : (data + 7) / 8 * 8;
    AttributeWalk walk(base, HeaderOf(base));
    Attribute a;
    while (walk.Next(&a) == KW_OK) {
        if (a.type != ATTR_FILE_NAME || a.nonResident || a.value.size() < 66)
            continue;
        auto* v = const_cast<uint8_t*>(a.value.data());
        StoreLe64(v + 40, allocated);
        StoreLe64(v + 48, data);
    }
}

kwRet NTFS_ATTRIBUTE::storeResident(std::vector<uint8_t>& base, uint32_t at) {
    kwRet rc = SetResidentValue(base, at, s_.value);
    return rc == ERR_ATTRIBUTE_DATA_FIT ? ERR_ATTRIBUTE_DATA_FIT : rc;
}

kwRet NTFS_ATTRIBUTE::Store() {
    std::vector<uint8_t> base;
    kwRet rc = fs_->ReadRecordForChange(record_, &base);
    if (rc == KW_OK && HeaderOf(base).baseReference != 0)
        rc = ERR_EXTENSION_RECORD;
    if (rc != KW_OK)
        return rc;
    uint32_t at = placeAttribute(base);
    if (at == 0)
        return ERR_ATTRIBUTE_DATA_FIT;
    if (!s_.nonResident) {
        rc = storeResident(base, at);
        fileNameSizes(base);
        if (rc == KW_OK)
            rc = fs_->WriteRecord(record_, base);
    } else {
        fileNameSizes(base);
        rc = storeRuns(base);
    }
    if (rc != KW_OK)
        return rc;
    for (const Run& r : freed_)
        fs_->MarkClusters(r.lcn, r.length, false);
    freed_.clear();
    return KW_OK;
}

// The run list in the base record, or split over extension records.
kwRet NTFS_ATTRIBUTE::storeRuns(std::vector<uint8_t>& base) {
    // Extents of this attribute past the first that the base record holds go.
    for (uint32_t at; (at = FindExtent(base, type_, name_, true)) != 0;)
        RemoveAttribute(base, at);
    std::vector<uint64_t> oldExtents;
    kwRet rc = split(base, &oldExtents);
    if (rc == KW_OK)
        rc = fs_->WriteRecord(record_, base);
    if (rc == KW_OK && !oldExtents.empty())
        rc = dropExtents(oldExtents);
    return rc;
}

namespace {

// The base record's attribute list becomes `entries` (removed when they all
// name the base record itself).
kwRet ApplyList(std::vector<uint8_t>& base, uint64_t number, const std::vector<Entry>& entries) {
    uint32_t at = FindAttribute(base, ATTR_ATTRIBUTE_LIST, {}, 0);
    bool needed = std::any_of(entries.begin(), entries.end(),
                              [&](const Entry& e) { return RecordNumber(e.reference) != number; });
    if (!needed) {
        if (at != 0)
            RemoveAttribute(base, at);
        return KW_OK;
    }
    std::vector<uint8_t> value = ListBytes(entries);
    if (at == 0)
        return InsertAttribute(base, ResidentAttribute(ATTR_ATTRIBUTE_LIST, {}, value), nullptr);
    return SetResidentValue(base, at, value);
}

} // namespace

// Lays the run list out: as many runs as fit in the base record's first
// extent, the rest in fresh extension records (written here, with the $MFT
// bitmap before them), the base record's list naming them. The records that
// held extents before go to *oldExtents; the caller frees them once the base
// record is written.
kwRet NTFS_ATTRIBUTE::split(std::vector<uint8_t>& base, std::vector<uint64_t>* oldExtents) {
    const uint32_t size = fs_->GetGeometry().bytesPerRecord;
    Layout layout;
    uint32_t listAt = FindAttribute(base, ATTR_ATTRIBUTE_LIST, {}, 0);
    if (listAt != 0 && base[listAt + AR_NON_RESIDENT] != 0)
        return ERR_EXTENSION_MISMATCH; // a list in clusters is not rewritten
    if (listAt != 0) {
        uint32_t valueAt = listAt + LoadLe16(base, listAt + AR_VALUE_OFFSET);
        std::vector<ListEntry> entries;
        kwRet rc = DecodeAttributeList(
            Bytes(base).subspan(valueAt, LoadLe32(base, listAt + AR_VALUE_LENGTH)), &entries);
        if (rc != KW_OK)
            return rc;
        for (const ListEntry& e : entries) {
            if (RecordNumber(e.reference) == record_)
                continue;
            bool ours = e.type == type_ && e.name.size() == name_.size() &&
                        std::equal(e.name.begin(), e.name.end(), name_.begin());
            if (ours) {
                if (std::find(oldExtents->begin(), oldExtents->end(), RecordNumber(e.reference)) ==
                    oldExtents->end())
                    oldExtents->push_back(RecordNumber(e.reference));
                continue;
            }
            Entry kept;
            kept.type = e.type;
            kept.name.assign(e.name.begin(), e.name.end());
            kept.lowestVcn = e.lowestVcn;
            kept.reference = e.reference;
            kept.instance = e.instance;
            layout.others.push_back(std::move(kept));
        }
    }
    const uint64_t sequence = LoadLe16(base, FRS_SEQUENCE);
    const uint64_t baseReference = record_ | (sequence << 48);
    std::vector<uint8_t> laid;
    std::vector<std::vector<uint8_t>> extents;
    std::vector<uint64_t> vcns;
    auto layOut = [&](const std::vector<uint64_t>& numbers) -> kwRet {
        laid = base;
        uint32_t at = FindAttribute(laid, type_, name_, 0);
        size_t none = 0;
        // The old pairs make room for the list first.
        if (at == 0 || StoreRuns(laid, at, {}, 0, &none) != KW_OK)
            return ERR_ATTRIBUTE_POSITION;
        std::vector<Entry> entries = EntriesOf(laid, record_);
        entries.insert(entries.end(), layout.others.begin(), layout.others.end());
        for (size_t i = 0; i < numbers.size() && i < vcns.size(); ++i) {
            Entry e;
            e.type = type_;
            e.name = name_;
            e.lowestVcn = vcns[i];
            e.reference = numbers[i];
            entries.push_back(e);
        }
        kwRet rc = ApplyList(laid, record_, entries);
        at = FindAttribute(laid, type_, name_, 0);
        if (rc != KW_OK || at == 0)
            return rc != KW_OK ? rc : ERR_ATTRIBUTE_DATA_FIT;
        kw::ntfs::SetSizes(laid, at, s_.allocatedSize, s_.dataSize, s_.initializedSize);
        size_t taken = 0;
        rc = StoreRuns(laid, at, s_.runs, 0, &taken);
        extents.clear();
        std::vector<uint64_t> starts;
        for (size_t pos = taken; rc == KW_OK && pos < s_.runs.size();) {
            size_t i = extents.size();
            uint64_t number = i < numbers.size() ? RecordNumber(numbers[i]) : 0xFFFFFFFF;
            std::vector<uint8_t> ext(size, 0);
            BuildEmptyRecord(ext, static_cast<uint32_t>(number), FRS_IN_USE,
                             i < numbers.size() ? static_cast<uint16_t>(numbers[i] >> 48) : 1);
            StoreLe64(ext, FRS_BASE_REFERENCE, baseReference);
            uint32_t off = 0;
            rc = InsertAttribute(ext, NonResidentAttribute(type_, name_, s_.flags), &off);
            size_t n = 0;
            if (rc == KW_OK)
                rc = StoreRuns(ext, off, std::span<const Run>(s_.runs).subspan(pos),
                               s_.runs[pos].vcn, &n);
            if (rc == KW_OK && n == 0)
                rc = ERR_ATTRIBUTE_DATA_FIT;
            starts.push_back(s_.runs[pos].vcn);
            extents.push_back(std::move(ext));
            pos += n;
        }
        vcns = starts;
        return rc;
    };
    // The list's size depends on how many extension records there are.
    std::vector<uint64_t> numbers;
    kwRet rc = KW_OK;
    for (int round = 0; round < 8; ++round) {
        size_t before = vcns.size();
        std::vector<uint64_t> placeholders(before, 0xFFFFFFFF);
        rc = layOut(placeholders);
        if (rc != KW_OK || vcns.size() == before)
            break;
    }
    if (rc != KW_OK)
        return rc;
    if (extents.empty()) {
        base = std::move(laid);
        return KW_OK;
    }
    // Real record numbers, then the same layout with them.
    for (size_t i = 0; rc == KW_OK && i < extents.size(); ++i) {
        uint64_t n = 0;
        rc = fs_->AllocateFrs(record_ == 0, &n);
        std::vector<uint8_t> image;
        if (rc == KW_OK)
            rc = fs_->NewRecordImage(n, FRS_IN_USE, &image);
        if (rc == KW_OK)
            numbers.push_back(n | (uint64_t{LoadLe16(image, FRS_SEQUENCE)} << 48));
        else if (n != 0)
            fs_->FreeFrs(n);
    }
    if (rc == KW_OK) {
        std::vector<uint64_t> listed = vcns;
        rc = layOut(numbers);
        if (rc == KW_OK && vcns != listed)
            rc = layOut(numbers);
    }
    if (rc == KW_OK && extents.size() != numbers.size())
        rc = ERR_ATTRIBUTE_DATA_FIT;
    if (rc == KW_OK)
        rc = fs_->WriteMftBitmap();
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    for (size_t i = 0; rc == KW_OK && i < extents.size(); ++i)
        rc = fs_->WriteRecord(RecordNumber(numbers[i]), extents[i]);
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    if (rc != KW_OK) {
        for (uint64_t n : numbers)
            fs_->FreeFrs(RecordNumber(n));
        return rc;
    }
    base = std::move(laid);
    return KW_OK;
}

// The records that held this attribute's extents, once the base record no
// longer names them: the extents removed, an emptied record freed.
kwRet NTFS_ATTRIBUTE::dropExtents(const std::vector<uint64_t>& records) {
    kwRet rc = fs_->FlushVolume();
    for (uint64_t n : records) {
        std::vector<uint8_t> ext;
        if (rc == KW_OK)
            rc = fs_->ReadRecordForChange(n, &ext);
        if (rc != KW_OK)
            break;
        for (uint32_t at; (at = FindExtent(ext, type_, name_, false)) != 0;)
            RemoveAttribute(ext, at);
        bool empty = LoadLe32(ext, LoadLe16(ext, FRS_FIRST_ATTRIBUTE)) == ATTR_END;
        if (empty) {
            uint16_t sequence = static_cast<uint16_t>(LoadLe16(ext, FRS_SEQUENCE) + 1);
            kwbytes::StoreLe16(ext, FRS_SEQUENCE, sequence == 0 ? 1 : sequence);
            kwbytes::StoreLe16(ext, FRS_FLAGS, 0);
        }
        rc = fs_->WriteRecord(n, ext);
        if (rc == KW_OK && empty)
            rc = fs_->FreeFrs(n);
    }
    if (rc == KW_OK)
        rc = fs_->FlushVolume();
    if (rc == KW_OK)
        rc = fs_->WriteMftBitmap();
    return rc;
}
