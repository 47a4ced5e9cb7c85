#include "engine/ntfs/ntfs_layout.h"

#include "engine/ntfs/ntfs_codes.h"
#include "include/kwbytes.h"

#include <cstring>

using kwbytes::FieldFits;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::LoadLe64;

namespace kw::ntfs {

namespace {

constexpr uint32_t kSector = 512;
constexpr kwRet kEnd = ERR_NO_MORE_NAMES;

bool Is(Bytes b, size_t at, const char* text) {
    size_t n = std::strlen(text);
    return FieldFits(b.size(), at, n) && std::memcmp(b.data() + at, text, n) == 0;
}

bool PowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

} // namespace

uint32_t RecordSizeFromBoot(uint8_t value, uint32_t bytesPerCluster) {
    uint64_t bytes;
    if (value & 0x80) {
        uint32_t shift = 256u - value;
        if (shift < 9 || shift > 16)
            return 0;
        bytes = uint64_t{1} << shift;
    } else {
        bytes = uint64_t{value} * (bytesPerCluster > 4096 ? kSector : bytesPerCluster);
    }
    return bytes >= kSector && bytes <= 65536 && PowerOfTwo(static_cast<uint32_t>(bytes))
               ? static_cast<uint32_t>(bytes)
               : 0;
}

kwRet ParseBootSector(Bytes s, Geometry* out) {
    if (s.size() < kSector || (s[0] != 0xE9 && s[0] != 0xEB) || !Is(s, 3, "NTFS    "))
        return ERR_BOOT_SIGNATURE;
    uint32_t bytesPerSector = LoadLe16(s, 0x0B);
    uint32_t spc = s[0x0D];
    if (bytesPerSector != kSector || !PowerOfTwo(spc))
        return ERR_CLUSTER_SIZE;
    Geometry g;
    g.sectorsPerCluster = spc;
    g.bytesPerCluster = spc * kSector;
    g.bytesPerRecord = RecordSizeFromBoot(s[0x40], g.bytesPerCluster);
    if (g.bytesPerRecord == 0 || g.bytesPerRecord > 4096)
        return ERR_RECORD_SIZE;
    g.bytesPerIndexBuffer = RecordSizeFromBoot(s[0x44], g.bytesPerCluster);
    g.totalSectors = LoadLe64(s, 0x28);
    if (g.totalSectors >> 32)
        return ERR_CLUSTER_NUMBER_TOO_LARGE;
    g.clusterCount = g.totalSectors / spc;
    g.mftCluster = LoadLe64(s, 0x30);
    g.mftMirrorCluster = LoadLe64(s, 0x38);
    g.serial = LoadLe64(s, 0x48);
    if (g.mftCluster >= g.clusterCount)
        return ERR_CLUSTER_BEYOND_END;
    *out = g;
    return KW_OK;
}

kwRet RemoveFixups(std::span<uint8_t> r, uint32_t minOffset, uint32_t limit) {
    if (r.size() < kSector || r.size() % kSector != 0)
        return ERR_UPDATE_SEQUENCE;
    uint32_t sectors = static_cast<uint32_t>(r.size() / kSector);
    uint32_t offset = LoadLe16(r, 4), count = LoadLe16(r, 6);
    if (offset < minOffset || offset % 2 != 0 || count != sectors + 1 ||
        offset + 2 * count > limit || offset + 2 * count > kSector)
        return ERR_UPDATE_SEQUENCE;
    uint8_t* usa = r.data() + offset;
    for (uint32_t i = 0; i < sectors; ++i) {
        uint8_t* tail = r.data() + (i + 1) * kSector - 2;
        if (tail[0] != usa[0] || tail[1] != usa[1])
            return ERR_UPDATE_SEQUENCE;
        tail[0] = usa[2 + 2 * i];
        tail[1] = usa[3 + 2 * i];
    }
    return KW_OK;
}

kwRet DecodeRecord(std::span<uint8_t> r, RecordHeader* out) {
    if (!Is(r, 0, "FILE"))
        return ERR_RECORD_SIGNATURE;
    RecordHeader h;
    h.sequence = LoadLe16(r, 0x10);
    h.linkCount = LoadLe16(r, 0x12);
    h.firstAttribute = LoadLe16(r, 0x14);
    h.flags = LoadLe16(r, 0x16);
    h.bytesInUse = LoadLe32(r, 0x18);
    h.baseReference = LoadLe64(r, 0x20);
    kwRet rc = RemoveFixups(r, 42, h.firstAttribute);
    if (rc != KW_OK)
        return rc;
    if (h.firstAttribute % 8 != 0 || h.bytesInUse > r.size() ||
        uint32_t{h.firstAttribute} + 8 > h.bytesInUse)
        return ERR_ATTRIBUTE_POSITION;
    *out = h;
    return KW_OK;
}

AttributeWalk::AttributeWalk(Bytes record, const RecordHeader& header)
    : record_(record), position_(header.firstAttribute),
      end_(header.bytesInUse <= record.size() ? header.bytesInUse : 0) {}

kwRet AttributeWalk::Next(Attribute* out) {
    if (failed_ != KW_OK)
        return failed_;
    Bytes r = record_.first(end_);
    if (!FieldFits(r.size(), position_, 4))
        return failed_ = ERR_ATTRIBUTE_POSITION;
    uint32_t type = LoadLe32(r, position_);
    if (type == ATTR_END)
        return failed_ = kEnd;
    uint32_t length = LoadLe32(r, position_ + 4);
    if (length < 24 || length % 8 != 0 || !FieldFits(r.size(), position_, length))
        return failed_ = ERR_ATTRIBUTE_POSITION;
    Bytes a = r.subspan(position_, length);
    if (a[8] > 1)
        return failed_ = ERR_RESIDENCY;
    if (type < lastType_)
        return failed_ = ERR_ATTRIBUTE_ORDER;
    Attribute at;
    at.type = type;
    at.nonResident = a[8] == 1;
    at.flags = LoadLe16(a, 12);
    at.instance = LoadLe16(a, 14);
    uint32_t nameBytes = 2u * a[9], nameOffset = LoadLe16(a, 10);
    if (nameBytes != 0 && !FieldFits(length, nameOffset, nameBytes))
        return failed_ = ERR_ATTRIBUTE_POSITION;
    at.name = nameBytes != 0 ? a.subspan(nameOffset, nameBytes) : Bytes{};
    if (!at.nonResident) {
        uint32_t valueLength = LoadLe32(a, 16), valueOffset = LoadLe16(a, 20);
        if (!FieldFits(length, valueOffset, valueLength))
            return failed_ = ERR_ATTRIBUTE_POSITION;
        at.value = a.subspan(valueOffset, valueLength);
    } else {
        uint32_t pairs = LoadLe16(a, 32);
        if (length < 64 || pairs < 64 || pairs > length)
            return failed_ = ERR_ATTRIBUTE_POSITION;
        at.lowestVcn = LoadLe64(a, 16);
        at.highestVcn = LoadLe64(a, 24);
        at.allocatedSize = LoadLe64(a, 40);
        at.dataSize = LoadLe64(a, 48);
        at.initializedSize = LoadLe64(a, 56);
        at.mappingPairs = a.subspan(pairs);
    }
    lastType_ = type;
    position_ += length;
    *out = at;
    return KW_OK;
}

bool NameIs(const Attribute& a, Bytes name) {
    return a.name.size() == name.size() &&
           (name.empty() || std::memcmp(a.name.data(), name.data(), name.size()) == 0);
}

kwRet DecodeRuns(Bytes pairs, uint64_t firstVcn, uint64_t highestVcn, uint64_t clusterCount,
                 std::vector<Run>* runs) {
    size_t kept = runs->size();
    auto fail = [&](kwRet rc) {
        runs->resize(kept);
        return rc;
    };
    uint64_t vcn = firstVcn;
    int64_t lcn = 0;
    size_t at = 0;
    while (at < pairs.size() && pairs[at] != 0) {
        uint32_t lengthSize = pairs[at] & 0x0F, offsetSize = pairs[at] >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 ||
            !FieldFits(pairs.size(), at + 1, lengthSize + offsetSize))
            return fail(ERR_RUN_LIST);
        uint64_t length = 0;
        for (uint32_t i = 0; i < lengthSize; ++i)
            length |= uint64_t{pairs[at + 1 + i]} << (8 * i);
        if (length == 0 || length >> 62 || highestVcn < vcn || length > highestVcn - vcn + 1)
            return fail(ERR_RUN_LIST);
        Run run;
        run.vcn = vcn;
        run.length = length;
        if (offsetSize == 0) {
            run.kind = RunKind::Sparse;
        } else {
            uint64_t delta = 0;
            for (uint32_t i = 0; i < offsetSize; ++i)
                delta |= uint64_t{pairs[at + 1 + lengthSize + i]} << (8 * i);
            if (offsetSize < 8 && (delta >> (8 * offsetSize - 1)) & 1)
                delta |= ~uint64_t{0} << (8 * offsetSize);
            lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + delta);
            if (lcn < 0) {
                run.kind = RunKind::NoClusters;
            } else {
                run.lcn = static_cast<uint64_t>(lcn);
                if (run.lcn >= clusterCount || length > clusterCount - run.lcn)
                    return fail(ERR_CLUSTER_BEYOND_END);
            }
        }
        runs->push_back(run);
        vcn += length;
        at += 1 + lengthSize + offsetSize;
    }
    if (at >= pairs.size())
        return fail(ERR_RUN_LIST);
    return KW_OK;
}

kwRet DecodeAttributeList(Bytes v, std::vector<ListEntry>* out) {
    size_t at = 0;
    while (at < v.size()) {
        uint32_t length = LoadLe16(v, at + 4);
        if (length < 26 || !FieldFits(v.size(), at, length))
            return ERR_ATTRIBUTE_POSITION;
        Bytes e = v.subspan(at, length);
        ListEntry le;
        le.type = LoadLe32(e, 0);
        uint32_t nameBytes = 2u * e[6], nameOffset = e[7];
        if (nameBytes != 0 && !FieldFits(length, nameOffset, nameBytes))
            return ERR_ATTRIBUTE_POSITION;
        le.name = nameBytes != 0 ? e.subspan(nameOffset, nameBytes) : Bytes{};
        le.lowestVcn = LoadLe64(e, 8);
        le.reference = LoadLe64(e, 16);
        le.instance = LoadLe16(e, 24);
        out->push_back(le);
        at += length;
    }
    return KW_OK;
}

namespace {

// The entries of an index header at `at` inside `node`.
kwRet NodeEntries(Bytes node, uint32_t at, IndexNode* out) {
    uint32_t first = LoadLe32(node, at), total = LoadLe32(node, at + 4);
    uint32_t allocated = LoadLe32(node, at + 8);
    if (!FieldFits(node.size(), at, 16) || first < 16 || first > total || total > allocated ||
        !FieldFits(node.size(), at, allocated))
        return ERR_INDEX_ENTRY;
    out->entries = node.subspan(at + first, total - first);
    out->hasSubNodes = (node[at + 12] & 1) != 0;
    return KW_OK;
}

} // namespace

kwRet DecodeIndexRoot(Bytes value, uint32_t* bytesPerBuffer, IndexNode* out) {
    if (value.size() < 32 || LoadLe32(value, 0) != ATTR_FILE_NAME)
        return ERR_INDEX_ENTRY;
    *bytesPerBuffer = LoadLe32(value, 8);
    return NodeEntries(value, 16, out);
}

kwRet DecodeIndexBuffer(std::span<uint8_t> buffer, uint64_t* vcn, IndexNode* out) {
    if (!Is(buffer, 0, "INDX"))
        return ERR_INDEX_SIGNATURE;
    uint64_t first = 24 + uint64_t{LoadLe32(buffer, 24)};
    uint32_t limit = static_cast<uint32_t>(first < buffer.size() ? first : buffer.size());
    kwRet rc = RemoveFixups(buffer, 40, limit);
    if (rc != KW_OK)
        return rc;
    *vcn = LoadLe64(buffer, 16);
    return NodeEntries(buffer, 24, out);
}

kwRet EntryWalk::Next(IndexEntry* out) {
    if (done_ != KW_OK)
        return done_;
    Bytes e = entries_;
    if (!FieldFits(e.size(), position_, 16))
        return done_ = ERR_INDEX_ENTRY;
    uint32_t length = LoadLe16(e, position_ + 8), keyLength = LoadLe16(e, position_ + 10);
    uint16_t flags = LoadLe16(e, position_ + 12);
    uint32_t need = 16 + keyLength + ((flags & ENTRY_SUBNODE) ? 8 : 0);
    if (length < 16 || length % 8 != 0 || need > length || !FieldFits(e.size(), position_, length))
        return done_ = ERR_INDEX_ENTRY;
    IndexEntry entry;
    entry.reference = LoadLe64(e, position_);
    entry.flags = flags;
    if (!(flags & ENTRY_LAST))
        entry.key = e.subspan(position_ + 16, keyLength);
    if (flags & ENTRY_SUBNODE)
        entry.subNodeVcn = LoadLe64(e, position_ + length - 8);
    position_ += length;
    if (flags & ENTRY_LAST)
        done_ = kEnd;
    *out = entry;
    return KW_OK;
}

kwRet DecodeFileName(Bytes key, FileName* out) {
    if (key.size() < 66 || !FieldFits(key.size(), 66, 2u * key[64]))
        return ERR_INDEX_ENTRY;
    FileName f;
    f.parent = LoadLe64(key, 0);
    f.created = LoadLe64(key, 8);
    f.modified = LoadLe64(key, 16);
    f.changed = LoadLe64(key, 24);
    f.accessed = LoadLe64(key, 32);
    f.allocatedSize = LoadLe64(key, 40);
    f.dataSize = LoadLe64(key, 48);
    f.attributes = LoadLe32(key, 56);
    f.nameSpace = key[65];
    f.name = key.subspan(66, 2u * key[64]);
    *out = f;
    return KW_OK;
}

} // namespace kw::ntfs
