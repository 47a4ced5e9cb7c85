#include "engine/ntfs/ntfs_record_edit.h"

#include "engine/ntfs/ntfs_codes.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::FieldFits;
using kwbytes::LoadLe16;
using kwbytes::LoadLe32;
using kwbytes::LoadLe64;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;
using kwbytes::StoreLe64;

namespace kw::ntfs {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kUsaOffset = 48;

uint32_t Round8(uint32_t v) {
    return (v + 7) & ~7u;
}

uint32_t BytesInUse(Bytes r) {
    return LoadLe32(r, FRS_BYTES_IN_USE);
}

// The attribute records in order: offset of each, the end marker's last.
// False when the chain leaves the bytes in use.
bool Offsets(Bytes r, std::vector<uint32_t>* out) {
    uint32_t end = std::min<uint32_t>(BytesInUse(r), static_cast<uint32_t>(r.size()));
    uint32_t at = LoadLe16(r, FRS_FIRST_ATTRIBUTE);
    for (size_t guard = 0; guard < r.size() / 8; ++guard) {
        if (!FieldFits(end, at, 4))
            return false;
        out->push_back(at);
        if (LoadLe32(r, at) == ATTR_END)
            return true;
        uint32_t length = LoadLe32(r, at + AR_LENGTH);
        if (length < 24 || length % 8 != 0 || !FieldFits(end, at, length))
            return false;
        at += length;
    }
    return false;
}

Bytes NameOf(Bytes r, uint32_t at) {
    uint32_t chars = r[at + AR_NAME_LENGTH];
    uint32_t offset = LoadLe16(r, at + AR_NAME_OFFSET);
    uint32_t length = LoadLe32(r, at + AR_LENGTH);
    if (chars == 0 || !FieldFits(length, offset, 2 * chars))
        return {};
    return r.subspan(at + offset, 2 * chars);
}

// Names as the attribute order wants them: by 16-bit unit, shorter first.
int CompareNames(Bytes a, Bytes b) {
    size_t n = std::min(a.size(), b.size()) / 2;
    for (size_t i = 0; i < n; ++i) {
        uint16_t x = LoadLe16(a, 2 * i), y = LoadLe16(b, 2 * i);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Moves the bytes from `at` to the end of the bytes in use by delta (down
// when negative: the bytes [at + delta, at) are overwritten).
void Shift(MutableBytes r, uint32_t at, int64_t delta) {
    uint32_t used = BytesInUse(r);
    std::memmove(r.data() + at + delta, r.data() + at, used - at);
    if (delta > 0)
        std::memset(r.data() + at, 0, static_cast<size_t>(delta));
    else if (delta < 0)
        std::memset(r.data() + used + delta, 0, static_cast<size_t>(-delta));
    StoreLe32(r, FRS_BYTES_IN_USE, static_cast<uint32_t>(used + delta));
}

int ValueBytes(uint64_t v, bool isSigned) {
    int n = 1;
    if (!isSigned) {
        while (n < 8 && (v >> (8 * n)) != 0)
            ++n;
        // a positive value whose top byte has bit 7 set needs one more byte
        if (n < 8 && ((v >> (8 * n - 1)) & 1))
            ++n;
        return n;
    }
    auto s = static_cast<int64_t>(v);
    while (n < 8) {
        int64_t low = -(int64_t{1} << (8 * n - 1)), high = (int64_t{1} << (8 * n - 1)) - 1;
        if (s >= low && s <= high)
            break;
        ++n;
    }
    return n;
}

} // namespace

kwRet ApplyFixups(MutableBytes r) {
    if (r.size() < kSector || r.size() % kSector != 0)
        return ERR_UPDATE_SEQUENCE;
    uint32_t sectors = static_cast<uint32_t>(r.size() / kSector);
    uint32_t offset = LoadLe16(r, 4), count = LoadLe16(r, 6);
    if (offset < 40 || offset % 2 != 0 || count != sectors + 1 || offset + 2 * count > kSector)
        return ERR_UPDATE_SEQUENCE;
    uint8_t* usa = r.data() + offset;
    uint16_t number = static_cast<uint16_t>(LoadLe16(usa) + 1);
    if (number == 0 || number == 0xFFFF)
        number = 1;
    StoreLe16(usa, number);
    for (uint32_t i = 0; i < sectors; ++i) {
        uint8_t* tail = r.data() + (i + 1) * kSector - 2;
        std::memcpy(usa + 2 + 2 * i, tail, 2);
        StoreLe16(tail, number);
    }
    return KW_OK;
}

void BuildEmptyRecord(MutableBytes r, uint32_t number, uint16_t flags, uint16_t sequence) {
    std::memset(r.data(), 0, r.size());
    std::memcpy(r.data(), "FILE", 4);
    uint32_t count = static_cast<uint32_t>(r.size() / kSector) + 1;
    uint32_t first = Round8(kUsaOffset + 2 * count);
    StoreLe16(r, 4, kUsaOffset);
    StoreLe16(r, 6, static_cast<uint16_t>(count));
    StoreLe16(r, FRS_SEQUENCE, sequence);
    StoreLe16(r, FRS_FIRST_ATTRIBUTE, static_cast<uint16_t>(first));
    StoreLe16(r, FRS_FLAGS, flags);
    StoreLe32(r, FRS_BYTES_IN_USE, first + 8);
    StoreLe32(r, FRS_BYTES_ALLOCATED, static_cast<uint32_t>(r.size()));
    StoreLe32(r, FRS_RECORD_NUMBER, number);
    StoreLe16(r, kUsaOffset, 1);
    StoreLe32(r, first, ATTR_END);
}

uint32_t FindAttribute(Bytes r, uint32_t type, Bytes name, uint64_t lowestVcn) {
    std::vector<uint32_t> at;
    if (!Offsets(r, &at))
        return 0;
    for (size_t i = 0; i + 1 < at.size(); ++i) {
        uint32_t a = at[i];
        if (LoadLe32(r, a) != type || CompareNames(NameOf(r, a), name) != 0)
            continue;
        if (r[a + AR_NON_RESIDENT] == 0 || LoadLe64(r, a + AR_LOWEST_VCN) == lowestVcn)
            return a;
    }
    return 0;
}

std::vector<uint8_t> ResidentAttribute(uint32_t type, Bytes name, Bytes value) {
    uint32_t nameBytes = Round8(static_cast<uint32_t>(name.size()));
    uint32_t length = Round8(24 + nameBytes + static_cast<uint32_t>(value.size()));
    std::vector<uint8_t> a(length, 0);
    StoreLe32(a, 0, type);
    StoreLe32(a, AR_LENGTH, length);
    a[AR_NAME_LENGTH] = static_cast<uint8_t>(name.size() / 2);
    StoreLe16(a, AR_NAME_OFFSET, 24);
    StoreLe32(a, AR_VALUE_LENGTH, static_cast<uint32_t>(value.size()));
    StoreLe16(a, AR_VALUE_OFFSET, static_cast<uint16_t>(24 + nameBytes));
    std::copy(name.begin(), name.end(), a.begin() + 24);
    std::copy(value.begin(), value.end(), a.begin() + 24 + nameBytes);
    return a;
}

std::vector<uint8_t> NonResidentAttribute(uint32_t type, Bytes name, uint16_t flags) {
    uint32_t length = Round8(72 + static_cast<uint32_t>(name.size()));
    std::vector<uint8_t> a(length, 0);
    StoreLe32(a, 0, type);
    StoreLe32(a, AR_LENGTH, length);
    a[AR_NON_RESIDENT] = 1;
    a[AR_NAME_LENGTH] = static_cast<uint8_t>(name.size() / 2);
    StoreLe16(a, AR_NAME_OFFSET, 64);
    StoreLe16(a, AR_FLAGS, flags);
    StoreLe64(a, AR_HIGHEST_VCN, ~uint64_t{0});
    StoreLe16(a, AR_PAIRS_OFFSET, static_cast<uint16_t>(length - 8));
    std::copy(name.begin(), name.end(), a.begin() + 64);
    return a;
}

kwRet InsertAttribute(MutableBytes r, Bytes attribute, uint32_t* offset) {
    std::vector<uint32_t> at;
    if (!Offsets(r, &at) || attribute.size() < 24)
        return ERR_ATTRIBUTE_POSITION;
    auto length = static_cast<uint32_t>(attribute.size());
    if (BytesInUse(r) + length > r.size())
        return ERR_ATTRIBUTE_DATA_FIT;
    uint32_t type = LoadLe32(attribute, 0);
    Bytes name = NameOf(attribute, 0);
    uint32_t place = at.back();
    for (uint32_t a : at) {
        uint32_t t = LoadLe32(r, a);
        if (t > type || (t == type && a != at.back() && CompareNames(NameOf(r, a), name) > 0)) {
            place = a;
            break;
        }
    }
    Shift(r, place, length);
    std::memcpy(r.data() + place, attribute.data(), length);
    uint16_t instance = LoadLe16(r, FRS_NEXT_INSTANCE);
    StoreLe16(r, place + AR_INSTANCE, instance);
    StoreLe16(r, FRS_NEXT_INSTANCE, static_cast<uint16_t>(instance + 1));
    if (type == ATTR_INDEX_ROOT)
        StoreLe16(r, FRS_FLAGS, LoadLe16(r, FRS_FLAGS) | FRS_DIRECTORY);
    if (offset != nullptr)
        *offset = place;
    return KW_OK;
}

void RemoveAttribute(MutableBytes r, uint32_t offset) {
    uint32_t length = LoadLe32(r, offset + AR_LENGTH);
    Shift(r, offset + length, -static_cast<int64_t>(length));
}

kwRet ResizeAttributeRecord(MutableBytes r, uint32_t offset, uint32_t newLength) {
    uint32_t length = LoadLe32(r, offset + AR_LENGTH);
    if (newLength % 8 != 0 || newLength < 24)
        return ERR_ATTRIBUTE_POSITION;
    if (newLength > length && BytesInUse(r) + (newLength - length) > r.size())
        return ERR_ATTRIBUTE_DATA_FIT;
    if (newLength > length) {
        Shift(r, offset + length, newLength - length);
    } else if (newLength < length) {
        Shift(r, offset + length, -static_cast<int64_t>(length - newLength));
    }
    StoreLe32(r, offset + AR_LENGTH, newLength);
    return KW_OK;
}

kwRet SetResidentValue(MutableBytes r, uint32_t offset, Bytes value) {
    if (r[offset + AR_NON_RESIDENT] != 0)
        return ERR_MUST_BE_RESIDENT;
    uint32_t valueOffset = LoadLe16(r, offset + AR_VALUE_OFFSET);
    uint32_t newLength = Round8(valueOffset + static_cast<uint32_t>(value.size()));
    kwRet rc = ResizeAttributeRecord(r, offset, newLength);
    if (rc != KW_OK)
        return rc;
    std::memset(r.data() + offset + valueOffset, 0, newLength - valueOffset);
    if (!value.empty())
        std::memcpy(r.data() + offset + valueOffset, value.data(), value.size());
    StoreLe32(r, offset + AR_VALUE_LENGTH, static_cast<uint32_t>(value.size()));
    return KW_OK;
}

std::vector<uint8_t> EncodeRuns(std::span<const Run> runs, size_t room, size_t* taken) {
    std::vector<uint8_t> out;
    int64_t previous = 0;
    size_t n = 0;
    for (const Run& run : runs) {
        uint8_t pair[17];
        int lengthBytes = ValueBytes(run.length, false);
        int offsetBytes = 0;
        int64_t lcn = previous;
        if (run.kind != RunKind::Sparse) {
            lcn = run.kind == RunKind::NoClusters ? -1 : static_cast<int64_t>(run.lcn);
            uint64_t delta = static_cast<uint64_t>(lcn - previous);
            offsetBytes = ValueBytes(delta, true);
            for (int i = 0; i < offsetBytes; ++i)
                pair[1 + lengthBytes + i] = static_cast<uint8_t>(delta >> (8 * i));
        }
        pair[0] = static_cast<uint8_t>(lengthBytes | (offsetBytes << 4));
        for (int i = 0; i < lengthBytes; ++i)
            pair[1 + i] = static_cast<uint8_t>(run.length >> (8 * i));
        size_t size = 1 + static_cast<size_t>(lengthBytes + offsetBytes);
        if (out.size() + size + 1 > room)
            break;
        out.insert(out.end(), pair, pair + size);
        previous = lcn;
        ++n;
    }
    out.push_back(0);
    *taken = n;
    return out;
}

kwRet StoreRuns(MutableBytes r, uint32_t offset, std::span<const Run> runs, uint64_t firstVcn,
                size_t* taken) {
    *taken = 0;
    if (r[offset + AR_NON_RESIDENT] != 1)
        return ERR_MUST_BE_NONRESIDENT;
    uint32_t pairsAt = LoadLe16(r, offset + AR_PAIRS_OFFSET);
    uint32_t length = LoadLe32(r, offset + AR_LENGTH);
    if (pairsAt > length)
        return ERR_ATTRIBUTE_POSITION;
    size_t room = r.size() - BytesInUse(r) + (length - pairsAt);
    // the record length is rounded to 8: keep the encoding within the room
    room &= ~size_t{7};
    size_t n = 0;
    std::vector<uint8_t> pairs = EncodeRuns(runs, room, &n);
    if (pairs.size() > room)
        return ERR_ATTRIBUTE_DATA_FIT;
    kwRet rc =
        ResizeAttributeRecord(r, offset, Round8(pairsAt + static_cast<uint32_t>(pairs.size())));
    if (rc != KW_OK)
        return rc;
    std::memset(r.data() + offset + pairsAt, 0, LoadLe32(r, offset + AR_LENGTH) - pairsAt);
    std::memcpy(r.data() + offset + pairsAt, pairs.data(), pairs.size());
    uint64_t first = n > 0 ? runs[0].vcn : firstVcn;
    uint64_t end = n > 0 ? runs[n - 1].vcn + runs[n - 1].length : first;
    StoreLe64(r, offset + AR_LOWEST_VCN, first);
    StoreLe64(r, offset + AR_HIGHEST_VCN, end - 1); // all ones when empty at VCN 0
    *taken = n;
    return KW_OK;
}

void SetSizes(MutableBytes r, uint32_t offset, uint64_t allocated, uint64_t data,
              uint64_t initialized) {
    StoreLe64(r, offset + AR_ALLOCATED, allocated);
    StoreLe64(r, offset + AR_DATA_SIZE, data);
    StoreLe64(r, offset + AR_INITIALIZED, initialized);
}

std::vector<uint8_t> ListEntryBytes(uint32_t type, Bytes name, uint64_t lowestVcn,
                                    uint64_t reference, uint16_t instance) {
    uint32_t length = Round8(26 + static_cast<uint32_t>(name.size()));
    std::vector<uint8_t> e(length, 0);
    StoreLe32(e, 0, type);
    StoreLe16(e, 4, static_cast<uint16_t>(length));
    e[6] = static_cast<uint8_t>(name.size() / 2);
    e[7] = 0x1A;
    StoreLe64(e, 8, lowestVcn);
    StoreLe64(e, 0x10, reference);
    StoreLe16(e, 0x18, instance);
    std::copy(name.begin(), name.end(), e.begin() + 0x1A);
    return e;
}

} // namespace kw::ntfs
