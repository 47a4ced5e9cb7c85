#include "engine/ntfs/ntfs_templates.h"

#include "engine/core/nttime.h"
#include "include/kwbytes.h"

#include <ctime>

using kwbytes::StoreLe16;
using kwbytes::StoreLe32;
using kwbytes::StoreLe64;

namespace kw::ntfs {

namespace {

// A SID: revision 1, the authority (big-endian, 6 bytes), sub-authorities.
std::vector<uint8_t> Sid(uint8_t authority, std::initializer_list<uint32_t> subs) {
    std::vector<uint8_t> s(8 + 4 * subs.size(), 0);
    s[0] = 1;
    s[1] = static_cast<uint8_t>(subs.size());
    s[7] = authority;
    size_t at = 8;
    for (uint32_t v : subs) {
        StoreLe32(s.data() + at, v);
        at += 4;
    }
    return s;
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> Ace(uint8_t flags, uint32_t mask, const std::vector<uint8_t>& sid) {
    std::vector<uint8_t> a(8, 0);
    a[1] = flags;
    StoreLe16(a.data() + 2, static_cast<uint16_t>(8 + sid.size()));
    StoreLe32(a.data() + 4, mask);
    Append(a, sid);
    return a;
}

} // namespace

uint64_t NtfsNow() {
    return SecondsToNtTime(static_cast<uint32_t>(std::time(nullptr)));
}

std::vector<uint8_t> SecurityDescriptor(TemplateKind kind) {
    const std::vector<uint8_t> admins = Sid(5, {32, 544});
    std::vector<uint8_t> aces;
    uint16_t count = 0;
    if (kind == TemplateKind::Everyone) {
        Append(aces, Ace(3, 0x1F01FF, Sid(1, {0})));
        count = 1;
    } else {
        uint32_t mask = kind == TemplateKind::SystemRead ? 0x120089 : 0x12019F;
        Append(aces, Ace(0, mask, Sid(5, {18})));
        Append(aces, Ace(0, mask, admins));
        count = 2;
    }
    std::vector<uint8_t> acl(8, 0);
    acl[0] = 2;
    StoreLe16(acl.data() + 2, static_cast<uint16_t>(8 + aces.size()));
    StoreLe16(acl.data() + 4, count);
    Append(acl, aces);
    std::vector<uint8_t> d(20, 0);
    auto owner = static_cast<uint32_t>(20 + acl.size());
    d[0] = 1;
    StoreLe16(d.data() + 2, 0x8004);
    StoreLe32(d.data() + 4, owner);
    StoreLe32(d.data() + 8, owner + 16);
    StoreLe32(d.data() + 16, 20);
    Append(d, acl);
    Append(d, admins);
    Append(d, admins);
    return d;
}

std::vector<uint8_t> FileNameValue(const TemplateRecord& t) {
    uint64_t time = t.time != 0 ? t.time : NtfsNow();
    std::vector<uint8_t> v(66 + t.name.size(), 0);
    StoreLe64(v.data(), t.parentReference);
    for (int i = 0; i < 4; ++i)
        StoreLe64(v.data() + 8 + 8 * i, time);
    StoreLe64(v.data() + 40, t.allocatedSize);
    StoreLe64(v.data() + 48, t.dataSize);
    StoreLe32(v.data() + 56, t.fileAttributes);
    v[64] = static_cast<uint8_t>(t.name.size() / 2);
    v[65] = t.nameSpace;
    std::copy(t.name.begin(), t.name.end(), v.begin() + 66);
    return v;
}

kwRet BuildTemplateRecord(MutableBytes record, const TemplateRecord& t) {
    BuildEmptyRecord(record, t.number, FRS_IN_USE, t.sequence);
    uint64_t time = t.time != 0 ? t.time : NtfsNow();
    std::vector<uint8_t> info(48, 0);
    for (int i = 0; i < 4; ++i)
        StoreLe64(info.data() + 8 * i, time);
    StoreLe32(info.data() + 32, t.fileAttributes);
    kwRet rc =
        InsertAttribute(record, ResidentAttribute(ATTR_STANDARD_INFORMATION, {}, info), nullptr);
    if (rc == KW_OK && !t.name.empty()) {
        TemplateRecord named = t;
        named.time = time;
        std::vector<uint8_t> a = ResidentAttribute(ATTR_FILE_NAME, {}, FileNameValue(named));
        a[0x16] = 1; // indexed
        rc = InsertAttribute(record, a, nullptr);
        StoreLe16(record.data() + FRS_LINK_COUNT, 1);
    }
    if (rc == KW_OK)
        rc = InsertAttribute(record, ResidentAttribute(0x50, {}, SecurityDescriptor(t.kind)),
                             nullptr);
    return rc;
}

} // namespace kw::ntfs
