// The NTFS decoders over hand-made byte spans: boot sectors, fix-ups,
// attribute walks, run lists, attribute lists and index entries, with the
// damaged forms each must refuse without reading past its span or looping.
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_layout.h"
#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace kw::ntfs;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;
using kwbytes::StoreLe64;

namespace {

std::vector<uint8_t> Boot() {
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB;
    std::memcpy(&s[3], "NTFS    ", 8);
    StoreLe16(&s[0x0B], 512);
    s[0x0D] = 8;
    StoreLe64(&s[0x28], 100000);
    StoreLe64(&s[0x30], 4);
    s[0x40] = 0xF6;
    s[0x44] = 1;
    return s;
}

TEST(NtfsBoot, GeometryAndRefusals) {
    Geometry g;
    ASSERT_EQ(ParseBootSector(Boot(), &g), KW_OK);
    EXPECT_EQ(g.bytesPerCluster, 4096u);
    EXPECT_EQ(g.bytesPerRecord, 1024u);
    EXPECT_EQ(g.bytesPerIndexBuffer, 4096u);
    EXPECT_EQ(g.clusterCount, 12500u);

    struct Case {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        kwRet want;
    };
    const Case cases[] = {
        {"jump 90h", 0, {0x90}, ERR_BOOT_SIGNATURE},
        {"OEM name", 3, {'N', 'T', 'F', 'X'}, ERR_BOOT_SIGNATURE},
        {"3 sectors per cluster", 0x0D, {3}, ERR_CLUSTER_SIZE},
        {"0 sectors per cluster", 0x0D, {0}, ERR_CLUSTER_SIZE},
        {"1024 bytes per sector", 0x0B, {0x00, 0x04}, ERR_CLUSTER_SIZE},
        {"4096 bytes per sector", 0x0B, {0x00, 0x10}, ERR_CLUSTER_SIZE},
        {"record exponent 2^32", 0x40, {0xE0}, ERR_RECORD_SIZE},
        {"record exponent 2^8", 0x40, {0xF8}, ERR_RECORD_SIZE},
        {"records of 8 KiB", 0x40, {0xF3}, ERR_RECORD_SIZE},
        {"records of 0 clusters", 0x40, {0}, ERR_RECORD_SIZE},
        {"2^32 sectors", 0x28, {0, 0, 0, 0, 1}, ERR_CLUSTER_NUMBER_TOO_LARGE},
        {"$MFT past the end", 0x30, {0xFF, 0xFF, 0xFF}, ERR_CLUSTER_BEYOND_END},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> s = Boot();
        std::memcpy(&s[c.at], c.bytes.data(), c.bytes.size());
        EXPECT_EQ(ParseBootSector(s, &g), c.want) << c.what;
    }
    EXPECT_EQ(ParseBootSector(Bytes(Boot()).first(300), &g), ERR_BOOT_SIGNATURE);
}

TEST(NtfsBoot, RecordSizes) {
    EXPECT_EQ(RecordSizeFromBoot(0xF6, 4096), 1024u);
    EXPECT_EQ(RecordSizeFromBoot(0x02, 65536), 1024u); // clusters above 4 KiB count in 512s
    EXPECT_EQ(RecordSizeFromBoot(0x01, 4096), 4096u);
    EXPECT_EQ(RecordSizeFromBoot(0x80, 4096), 0u);
    EXPECT_EQ(RecordSizeFromBoot(0x03, 512), 0u); // not a power of two
}

// A 1024-byte record with its update-sequence array at usaOffset, the
// attributes given, and the sector tails protected.
class RecordBuilder {
public:
    explicit RecordBuilder(uint16_t usaOffset = 48) : r_(1024, 0), usa_(usaOffset) {
        std::memcpy(r_.data(), "FILE", 4);
        StoreLe16(&r_[4], usa_);
        StoreLe16(&r_[6], 3);
        first_ = static_cast<uint16_t>((usa_ + 6 + 7) & ~7);
        StoreLe16(&r_[0x14], first_);
        StoreLe16(&r_[0x16], 1);
        end_ = first_;
    }
    RecordBuilder& Resident(uint32_t type, std::vector<uint8_t> value, uint8_t residency = 0) {
        uint32_t length = (24 + static_cast<uint32_t>(value.size()) + 7) & ~7u;
        uint8_t* a = &r_[end_];
        StoreLe32(a, type);
        StoreLe32(a + 4, length);
        a[8] = residency;
        StoreLe32(a + 16, static_cast<uint32_t>(value.size()));
        StoreLe16(a + 20, 24);
        std::memcpy(a + 24, value.data(), value.size());
        end_ += length;
        return *this;
    }
    RecordBuilder& NonResident(uint32_t type, std::vector<uint8_t> pairs, uint64_t highest) {
        uint32_t length = (64 + static_cast<uint32_t>(pairs.size()) + 7) & ~7u;
        uint8_t* a = &r_[end_];
        StoreLe32(a, type);
        StoreLe32(a + 4, length);
        a[8] = 1;
        StoreLe64(a + 24, highest);
        StoreLe16(a + 32, 64);
        std::memcpy(a + 64, pairs.data(), pairs.size());
        end_ += length;
        return *this;
    }
    // These bytes at a record offset once the record is built.
    RecordBuilder& Poke(uint32_t offset, std::vector<uint8_t> bytes) {
        pokes_.push_back({offset, std::move(bytes)});
        return *this;
    }
    std::vector<uint8_t> Build() {
        StoreLe32(&r_[end_], ATTR_END);
        StoreLe32(&r_[0x18], end_ + 8);
        for (auto& [at, bytes] : pokes_)
            std::memcpy(&r_[at], bytes.data(), bytes.size());
        std::vector<uint8_t> out = r_;
        StoreLe16(&out[usa_], 0x1234);
        for (int i = 0; i < 2; ++i) {
            std::memcpy(&out[usa_ + 2 + 2 * i], &out[(i + 1) * 512 - 2], 2);
            StoreLe16(&out[(i + 1) * 512 - 2], 0x1234);
        }
        return out;
    }
    uint16_t First() const { return first_; }

private:
    std::vector<uint8_t> r_;
    uint16_t usa_;
    uint16_t first_;
    uint32_t end_;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> pokes_;
};

std::vector<Attribute> WalkAll(std::vector<uint8_t>& r, kwRet* rc) {
    RecordHeader h;
    *rc = DecodeRecord(r, &h);
    std::vector<Attribute> out;
    if (*rc != KW_OK)
        return out;
    AttributeWalk walk(r, h);
    Attribute a;
    while ((*rc = walk.Next(&a)) == KW_OK)
        out.push_back(a);
    EXPECT_EQ(walk.Next(&a), *rc); // a failed walk stays failed
    return out;
}

TEST(NtfsRecord, BothUpdateSequenceFormsDecode) {
    for (uint16_t usa : {42, 48}) {
        RecordBuilder b(usa);
        b.Resident(ATTR_STANDARD_INFORMATION, std::vector<uint8_t>(48, 7))
            .Resident(ATTR_DATA, std::vector<uint8_t>(1000 - 200, 0xAB));
        std::vector<uint8_t> r = b.Build();
        kwRet rc;
        std::vector<Attribute> attrs = WalkAll(r, &rc);
        EXPECT_EQ(rc, ERR_NO_MORE_NAMES) << usa;
        ASSERT_EQ(attrs.size(), 2u);
        EXPECT_EQ(attrs[1].value.size(), 800u);
        // The protected tail of sector 0 came back.
        EXPECT_EQ(r[510], 0xAB);
        EXPECT_EQ(r[511], 0xAB);
    }
}

TEST(NtfsRecord, DamagedRecordsFailThatRecord) {
    struct Case {
        const char* what;
        uint32_t at;
        std::vector<uint8_t> bytes;
        kwRet want;
    };
    RecordBuilder probe;
    const uint32_t a0 = probe.First();
    const Case cases[] = {
        {"signature", 0, {'B', 'A', 'A', 'D'}, ERR_RECORD_SIGNATURE},
        {"array offset odd", 4, {49, 0}, ERR_UPDATE_SEQUENCE},
        {"array count 2", 6, {2, 0}, ERR_UPDATE_SEQUENCE},
        {"array past the first attribute", 0x14, {48, 0}, ERR_UPDATE_SEQUENCE},
        {"first attribute unaligned", 0x14, {58, 0}, ERR_ATTRIBUTE_POSITION},
        {"bytes in use past the record", 0x18, {0x01, 0x08}, ERR_ATTRIBUTE_POSITION},
        {"zero attribute length", a0 + 4, {0, 0, 0, 0}, ERR_ATTRIBUTE_POSITION},
        {"attribute past bytes in use", a0 + 4, {0x00, 0x02}, ERR_ATTRIBUTE_POSITION},
        {"residency byte 2", a0 + 8, {2}, ERR_RESIDENCY},
        {"name past the attribute", a0 + 9, {40, 24, 0}, ERR_ATTRIBUTE_POSITION},
        {"value past the attribute", a0 + 16, {0, 1}, ERR_ATTRIBUTE_POSITION},
        {"types out of order", a0, {0x40}, ERR_ATTRIBUTE_ORDER},
    };
    for (const Case& c : cases) {
        RecordBuilder b;
        b.Resident(ATTR_STANDARD_INFORMATION, std::vector<uint8_t>(48, 1))
            .Resident(ATTR_FILE_NAME, std::vector<uint8_t>(70, 2))
            .Poke(c.at, c.bytes);
        std::vector<uint8_t> r = b.Build();
        kwRet rc;
        WalkAll(r, &rc);
        EXPECT_EQ(rc, c.want) << c.what;
    }
}

TEST(NtfsRecord, AChangedSectorTailFailsAfterTheFirstSectorIsRestored) {
    RecordBuilder b;
    b.Resident(ATTR_DATA, std::vector<uint8_t>(900, 0x5A));
    std::vector<uint8_t> r = b.Build();
    r[1022] ^= 1;
    RecordHeader h;
    EXPECT_EQ(DecodeRecord(r, &h), ERR_UPDATE_SEQUENCE);
    EXPECT_EQ(r[510], 0x5A);
}

TEST(NtfsRecord, MappingPairsPastTheRecordFail) {
    RecordBuilder b;
    b.NonResident(ATTR_DATA, {0x11, 4, 10, 0}, 3);
    uint32_t a = b.First();
    b.Poke(a + 32, {0x00, 0x01}); // mapping pairs at 256, past the attribute
    std::vector<uint8_t> r = b.Build();
    kwRet rc;
    WalkAll(r, &rc);
    EXPECT_EQ(rc, ERR_ATTRIBUTE_POSITION);
}

std::vector<kw::ntfs::Run> Decode(std::vector<uint8_t> pairs, kwRet* rc, uint64_t highest = 1000,
                                  uint64_t clusters = 100000) {
    std::vector<kw::ntfs::Run> runs;
    *rc = DecodeRuns(pairs, 0, highest, clusters, &runs);
    return runs;
}

TEST(NtfsRuns, DeltasSparseAndNoClusterRuns) {
    kwRet rc;
    std::vector<kw::ntfs::Run> runs =
        Decode({0x21, 0x18, 0x34, 0x56, 0x11, 0x30, 0xF0, 0x01, 0x05, 0x00}, &rc);
    ASSERT_EQ(rc, KW_OK);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].lcn, 0x5634u);
    EXPECT_EQ(runs[0].length, 0x18u);
    EXPECT_EQ(runs[1].lcn, 0x5634u - 0x10u);
    EXPECT_EQ(runs[1].vcn, 0x18u);
    EXPECT_EQ(runs[2].kind, RunKind::Sparse);
    EXPECT_EQ(runs[2].vcn, 0x48u);

    // The $BadClus form: a run at cluster -1 has no clusters anywhere, and the
    // next delta still counts from it.
    runs = Decode({0x11, 0x08, 0xFF, 0x11, 0x04, 0x0B, 0x00}, &rc);
    ASSERT_EQ(rc, KW_OK);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].kind, RunKind::NoClusters);
    EXPECT_EQ(runs[1].kind, RunKind::Clusters);
    EXPECT_EQ(runs[1].lcn, 10u);
}

TEST(NtfsRuns, DamagedRunListsFail) {
    struct Case {
        const char* what;
        std::vector<uint8_t> pairs;
        kwRet want;
    };
    const Case cases[] = {
        {"no end byte", {0x11, 0x04, 0x10}, ERR_RUN_LIST},
        {"pair past the span", {0x31, 0x04, 0x10}, ERR_RUN_LIST},
        {"length field of 9", {0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, ERR_RUN_LIST},
        {"offset field of 9", {0x91, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, ERR_RUN_LIST},
        {"zero length", {0x11, 0x00, 0x10, 0x00}, ERR_RUN_LIST},
        {"no length field", {0x10, 0x10, 0x00}, ERR_RUN_LIST},
        {"past the highest VCN", {0x12, 0xEA, 0x03, 0x10, 0x00}, ERR_RUN_LIST},
        {"past the last cluster", {0x31, 0x10, 0xF8, 0x86, 0x01, 0x00}, ERR_CLUSTER_BEYOND_END},
        {"huge length", {0x18, 0, 0, 0, 0, 0, 0, 0, 0x80, 1, 0}, ERR_RUN_LIST},
    };
    for (const Case& c : cases) {
        std::vector<kw::ntfs::Run> runs{kw::ntfs::Run{}};
        kwRet rc = DecodeRuns(c.pairs, 0, 1000, 100000, &runs);
        EXPECT_EQ(rc, c.want) << c.what;
        EXPECT_EQ(runs.size(), 1u) << c.what; // what it held before
    }
}

std::vector<uint8_t> Entry(uint64_t ref, uint16_t flags, std::vector<uint8_t> key,
                           uint64_t subNode = 0) {
    uint32_t length = (16 + static_cast<uint32_t>(key.size()) + 7) & ~7u;
    if (flags & ENTRY_SUBNODE)
        length += 8;
    std::vector<uint8_t> e(length, 0);
    StoreLe64(&e[0], ref);
    StoreLe16(&e[8], static_cast<uint16_t>(length));
    StoreLe16(&e[10], static_cast<uint16_t>(key.size()));
    StoreLe16(&e[12], flags);
    if (!key.empty())
        std::memcpy(&e[16], key.data(), key.size());
    if (flags & ENTRY_SUBNODE)
        StoreLe64(&e[length - 8], subNode);
    return e;
}

std::vector<uint8_t> NameKey(const char* ascii, uint8_t nameSpace = 1) {
    size_t n = std::strlen(ascii);
    std::vector<uint8_t> k(66 + 2 * n, 0);
    StoreLe64(&k[0], 5);
    StoreLe64(&k[48], 1234);
    k[64] = static_cast<uint8_t>(n);
    k[65] = nameSpace;
    for (size_t i = 0; i < n; ++i)
        k[66 + 2 * i] = static_cast<uint8_t>(ascii[i]);
    return k;
}

std::vector<uint8_t> Join(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(NtfsIndex, EntriesKeysAndSubNodes) {
    std::vector<uint8_t> entries =
        Join({Entry(40, 0, NameKey("abc")), Entry(41, ENTRY_SUBNODE, NameKey("abd"), 300),
              Entry(0, ENTRY_LAST | ENTRY_SUBNODE, {}, 7)});
    EntryWalk walk(entries);
    IndexEntry e;
    ASSERT_EQ(walk.Next(&e), KW_OK);
    FileName name;
    ASSERT_EQ(DecodeFileName(e.key, &name), KW_OK);
    EXPECT_EQ(name.dataSize, 1234u);
    EXPECT_EQ(name.name.size(), 6u);
    ASSERT_EQ(walk.Next(&e), KW_OK);
    EXPECT_EQ(e.subNodeVcn, 300u);
    ASSERT_EQ(walk.Next(&e), KW_OK);
    EXPECT_TRUE(e.key.empty());
    EXPECT_EQ(e.subNodeVcn, 7u);
    EXPECT_EQ(walk.Next(&e), ERR_NO_MORE_NAMES);
}

TEST(NtfsIndex, DamagedEntriesFail) {
    struct Case {
        const char* what;
        std::vector<uint8_t> entries;
    };
    std::vector<uint8_t> zero = Entry(40, 0, NameKey("a"));
    StoreLe16(&zero[8], 0);
    std::vector<uint8_t> keyPast = Entry(40, 0, NameKey("a"));
    StoreLe16(&keyPast[10], 200);
    std::vector<uint8_t> subNodePast = Entry(40, 0, NameKey("abcd"));
    subNodePast[12] = ENTRY_SUBNODE;
    std::vector<uint8_t> pastSpan = Entry(40, 0, NameKey("a"));
    StoreLe16(&pastSpan[8], 800);
    const Case cases[] = {
        {"zero entry length", zero},
        {"key past the entry", keyPast},
        {"sub-node past the entry", subNodePast},
        {"entry past the node", pastSpan},
        {"no last entry", Entry(40, 0, NameKey("a"))},
    };
    for (const Case& c : cases) {
        EntryWalk walk(c.entries);
        IndexEntry e;
        kwRet rc;
        int steps = 0;
        while ((rc = walk.Next(&e)) == KW_OK && steps < 10)
            ++steps;
        EXPECT_EQ(rc, ERR_INDEX_ENTRY) << c.what;
    }
    std::vector<uint8_t> key = NameKey("abcdef");
    key[64] = 40; // the name runs past the key
    FileName name;
    EXPECT_EQ(DecodeFileName(key, &name), ERR_INDEX_ENTRY);
}

TEST(NtfsIndex, RootAndBufferHeaders) {
    std::vector<uint8_t> entries = Join({Entry(40, 0, NameKey("x")), Entry(0, ENTRY_LAST, {})});
    std::vector<uint8_t> root(32 + entries.size(), 0);
    StoreLe32(&root[0], ATTR_FILE_NAME);
    StoreLe32(&root[8], 4096);
    StoreLe32(&root[16], 16);
    StoreLe32(&root[20], static_cast<uint32_t>(16 + entries.size()));
    StoreLe32(&root[24], static_cast<uint32_t>(16 + entries.size()));
    std::memcpy(&root[32], entries.data(), entries.size());
    uint32_t bufferSize = 0;
    IndexNode node;
    ASSERT_EQ(DecodeIndexRoot(root, &bufferSize, &node), KW_OK);
    EXPECT_EQ(bufferSize, 4096u);
    EXPECT_EQ(node.entries.size(), entries.size());
    StoreLe32(&root[20], 4000); // entries past the value
    EXPECT_EQ(DecodeIndexRoot(root, &bufferSize, &node), ERR_INDEX_ENTRY);

    std::vector<uint8_t> buffer(4096, 0);
    std::memcpy(buffer.data(), "INDX", 4);
    StoreLe16(&buffer[4], 40);
    StoreLe16(&buffer[6], 9);
    StoreLe64(&buffer[16], 8);
    StoreLe32(&buffer[24], 40);
    StoreLe32(&buffer[28], static_cast<uint32_t>(40 + entries.size()));
    StoreLe32(&buffer[32], 4096 - 24);
    std::memcpy(&buffer[64], entries.data(), entries.size());
    uint64_t vcn = 0;
    std::vector<uint8_t> copy = buffer;
    ASSERT_EQ(DecodeIndexBuffer(copy, &vcn, &node), KW_OK);
    EXPECT_EQ(vcn, 8u);
    copy = buffer;
    StoreLe16(&copy[6], 3); // count not sectors + 1
    EXPECT_EQ(DecodeIndexBuffer(copy, &vcn, &node), ERR_UPDATE_SEQUENCE);
    copy = buffer;
    copy[0] = 'J';
    EXPECT_EQ(DecodeIndexBuffer(copy, &vcn, &node), ERR_INDEX_SIGNATURE);
}

TEST(NtfsAttributeList, EntriesAndDamage) {
    std::vector<uint8_t> list(64, 0);
    StoreLe32(&list[0], ATTR_DATA);
    StoreLe16(&list[4], 32);
    StoreLe64(&list[8], 100);
    StoreLe64(&list[16], 0x0002000000000123ull);
    StoreLe32(&list[32], ATTR_DATA);
    StoreLe16(&list[36], 32);
    list[38] = 2;
    list[39] = 26;
    std::vector<ListEntry> out;
    ASSERT_EQ(DecodeAttributeList(list, &out), KW_OK);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].lowestVcn, 100u);
    EXPECT_EQ(RecordNumber(out[0].reference), 0x123u);
    EXPECT_EQ(out[1].name.size(), 4u);
    StoreLe16(&list[36], 0); // a zero entry length would never advance
    out.clear();
    EXPECT_EQ(DecodeAttributeList(list, &out), ERR_ATTRIBUTE_POSITION);
    list[39] = 30; // the name past the entry
    StoreLe16(&list[36], 32);
    out.clear();
    EXPECT_EQ(DecodeAttributeList(list, &out), ERR_ATTRIBUTE_POSITION);
}

} // namespace
