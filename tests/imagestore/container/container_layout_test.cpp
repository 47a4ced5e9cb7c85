// Reads the volume files a container writes with a small reader of its own
// (record, directory, stream table) that shares no code with the library, and
// checks every field of the byte layout.
#include "container_test_util.h"

#include <map>
#include <zlib.h>

namespace kwv::test {
namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) {
    return Le32(p) | uint64_t(Le32(p + 4)) << 32;
}
uint32_t Crc(const uint8_t* p, size_t n) {
    return uint32_t(crc32(0L, p, uInt(n)));
}
bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

struct Chunk {
    std::vector<uint8_t> bytes; // one stored chunk
    uint32_t volume = 0;
    uint32_t Field(size_t at) const { return Le32(bytes.data() + at); }
};

struct Entry {
    uint32_t id, parent, tag1, tag2;
    uint64_t start, length;
    std::u16string name;
    std::vector<uint8_t> inlineData;
    std::vector<uint32_t> children;
};

// The set as an outside reader sees it.
struct Layout {
    std::vector<Chunk> chunks;
    std::vector<uint8_t> space;           // the stream space, unscrambled
    std::map<std::string, Entry> entries; // by name path
};

std::vector<Chunk> ReadChunks(const std::vector<std::string>& volumes, uint32_t stored) {
    std::vector<Chunk> chunks;
    for (uint32_t v = 0; v < volumes.size(); ++v) {
        const std::vector<uint8_t> file = FileBytes(volumes[v]);
        EXPECT_EQ(file.size() % stored, 0u) << volumes[v];
        for (size_t at = 0; at + stored <= file.size(); at += stored) {
            chunks.push_back(
                {std::vector<uint8_t>(file.begin() + at, file.begin() + at + stored), v});
        }
    }
    return chunks;
}

// Parses the stream table; names are joined with '/'.
void ParseTable(const uint8_t* p, uint32_t length, Layout* out) {
    std::map<uint32_t, Entry> byId;
    uint32_t pos = 0;
    while (Le32(p + pos) != 0) {
        ASSERT_EQ(Le32(p + pos), 0x45444324u); // "$CDE"
        Entry e;
        const uint8_t* q = p + pos;
        const uint32_t size = Le32(q + 4);
        e.id = Le32(q + 8);
        e.parent = Le32(q + 12);
        e.tag1 = Le32(q + 16);
        e.tag2 = Le32(q + 20);
        e.start = Le64(q + 24);
        e.length = Le64(q + 32);
        EXPECT_EQ(Le32(q + 40), 56u);
        const uint32_t nameUnits = Le32(q + 44), inlineLen = Le32(q + 48), children = Le32(q + 52);
        EXPECT_EQ(size, 56 + 2 * nameUnits + inlineLen + 4 * children);
        for (uint32_t i = 0; i < nameUnits; ++i) {
            e.name.push_back(char16_t(q[56 + 2 * i] | q[57 + 2 * i] << 8));
        }
        e.inlineData.assign(q + 56 + 2 * nameUnits, q + 56 + 2 * nameUnits + inlineLen);
        for (uint32_t i = 0; i < children; ++i) {
            e.children.push_back(Le32(q + 56 + 2 * nameUnits + inlineLen + 4 * i));
        }
        byId[e.id] = e;
        pos += size;
        ASSERT_LE(pos + 4, length);
    }
    EXPECT_EQ(pos + 4, length);
    ASSERT_TRUE(byId.count(1));
    EXPECT_TRUE(byId[1].name.empty());
    EXPECT_EQ(byId[1].parent, 0u);
    // Walk from the root to give each entry its path.
    std::vector<std::pair<uint32_t, std::string>> todo{{1, ""}};
    while (!todo.empty()) {
        auto [id, path] = todo.back();
        todo.pop_back();
        const Entry& e = byId[id];
        out->entries[path] = e;
        for (uint32_t child : e.children) {
            const Entry& c = byId[child];
            EXPECT_EQ(c.parent, id);
            EXPECT_EQ(c.name.back(), 0);
            std::string name(c.name.begin(), c.name.end() - 1);
            todo.push_back({child, path.empty() ? name : path + "/" + name});
        }
    }
}

// Checks a directory (record, index, volume table) and parses its stream table.
void CheckDirectory(const uint8_t* d, const Layout& layout, bool final, Layout* out) {
    ASSERT_EQ(Le32(d), 0x48444324u); // "$CDH"
    EXPECT_EQ(Le32(d + 4), 12284u);
    EXPECT_EQ(Le32(d + 8), 96u);
    EXPECT_EQ(Le32(d + 36), 1u);
    EXPECT_EQ(Le32(d + 40), 1024u);
    EXPECT_EQ(Le32(d + 44), 999u);
    EXPECT_TRUE(AllZero(d + 48, 48));
    const uint32_t chunks = Le32(d + 24);
    if (final) {
        EXPECT_EQ(chunks, layout.chunks.size());
        EXPECT_EQ(Le64(d + 16), layout.space.size());
        EXPECT_EQ(Le32(d + 28), layout.chunks.back().volume + 1);
    }
    // Index: chunk i ends where the next starts; unused entries repeat.
    uint64_t last = 0;
    for (uint32_t i = 0; i < 1024; ++i) {
        if (i < chunks) {
            const Chunk& c = layout.chunks[i];
            last = Le64(c.bytes.data() + 56) + c.Field(64);
        }
        EXPECT_EQ(Le64(d + 96 + 8 * i), last) << i;
    }
    // Volume table: chunks held by volumes 0..n.
    for (uint32_t n = 0; n < 999; ++n) {
        uint32_t count = 0;
        for (uint32_t i = 0; i < chunks; ++i) {
            count += layout.chunks[i].volume <= n;
        }
        EXPECT_EQ(Le32(d + 96 + 8192 + 4 * n), count) << n;
    }
    ParseTable(d + 12284, Le32(d + 12), out);
}

struct Expect {
    uint32_t flags;
    bool oldSignature;
    const char16_t* password;
};

Layout CheckLayout(const std::vector<std::string>& volumes, const Expect& want) {
    Layout layout;
    const std::vector<uint8_t> first = FileBytes(volumes[0]);
    const uint32_t stored = Le32(first.data() + 28);
    layout.chunks = ReadChunks(volumes, stored);
    const uint8_t* h = first.data();
    uint64_t offset = 0;
    for (uint32_t k = 0; k < layout.chunks.size(); ++k) {
        const Chunk& c = layout.chunks[k];
        const uint8_t* b = c.bytes.data();
        const bool sig = k == 0 && want.oldSignature;
        EXPECT_EQ(c.Field(0), sig ? 0x12268978u : 0x4E414324u) << k;
        EXPECT_EQ(c.Field(4), sig ? 2048u : 96u);
        EXPECT_EQ(c.Field(8), 96u);
        EXPECT_EQ(b[12] | b[13], 0);
        EXPECT_EQ(std::memcmp(b + 14, h + 14, 34), 0) << k;
        EXPECT_EQ(c.Field(48), k);
        EXPECT_EQ(Le64(b + 56), offset) << k;
        EXPECT_TRUE(AllZero(b + 76, 12));
        EXPECT_EQ(c.Field(88), Crc(b, 88)) << k;
        const uint32_t dataSize = c.Field(32);
        EXPECT_EQ(c.Field(92), (want.flags & 2) ? Crc(b + 96, dataSize - 96) : 0u) << k;
        std::vector<uint8_t> payload(b + 96, b + dataSize);
        if (((c.Field(20) >> 20) & 15) == 2) {
            const uint32_t key = Le32(h + 24) ^ 0x5A17C3E9u;
            for (uint32_t i = c.Field(4) - 96; i + 4 <= payload.size(); i += 4) {
                const uint32_t v = Le32(&payload[i]) ^ key;
                std::memcpy(&payload[i], &v, 4); // little-endian host
            }
        }
        const uint32_t length = c.Field(64);
        EXPECT_EQ(c.Field(52) & 1, 0u); // stored sets only here
        EXPECT_EQ(c.Field(72), 0u);
        EXPECT_TRUE(AllZero(payload.data() + length, payload.size() - length)) << k;
        layout.space.insert(layout.space.end(), payload.begin(), payload.begin() + length);
        offset += length;
    }
    // Header fields.
    EXPECT_EQ(h[14], 1);
    EXPECT_EQ(h[15], 1);
    EXPECT_EQ(Le32(h + 20), want.flags);
    EXPECT_EQ(Le32(h + 24), want.password ? PasswordCrc(want.password) : 0u);
    EXPECT_TRUE(AllZero(h + 36, 12));
    if (want.oldSignature) {
        const uint8_t* b = layout.chunks[0].bytes.data();
        EXPECT_EQ(Le32(b + 2020), 4u);
        EXPECT_EQ(Le32(b + 2024), 4u);
        std::vector<uint8_t> rest(b + 96, b + 2048);
        std::memset(&rest[2020 - 96], 0, 8);
        EXPECT_TRUE(AllZero(rest.data(), rest.size()));
    }
    // The directory at the end of the stream space.
    const Chunk& last = layout.chunks.back();
    EXPECT_EQ(last.Field(52) & 2, 2u);
    const int64_t dirAt = int64_t(Le64(last.bytes.data() + 56)) + int32_t(last.Field(68));
    Layout atEnd;
    CheckDirectory(layout.space.data() + dirAt, layout, false, &atEnd);
    layout.entries = atEnd.entries;
    // The copy in chunk 0 carries the final counters.
    const Chunk& c0 = layout.chunks[0];
    if (want.flags & 1) {
        const uint32_t reserveAt = want.oldSignature ? 1952 : 0;
        EXPECT_EQ(c0.Field(68), reserveAt);
        EXPECT_EQ(c0.Field(52) & 2, 2u);
        Layout copy;
        CheckDirectory(layout.space.data() + reserveAt, layout, true, &copy);
        EXPECT_EQ(Le32(layout.space.data() + reserveAt + 32), 42284u);
        EXPECT_EQ(copy.entries.size(), atEnd.entries.size());
    }
    return layout;
}

std::vector<uint8_t> SpaceBytes(const Layout& l, const std::string& path) {
    const Entry& e = l.entries.at(path);
    return std::vector<uint8_t>(l.space.begin() + e.start, l.space.begin() + e.start + e.length);
}

struct LayoutCase {
    const char* name;
    uint32_t options;
    const char16_t* password;
    uint32_t limit;
    Expect want;
};

class ContainerLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ContainerLayout, FilesHoldTheFormatExactly) {
    const LayoutCase& tc = GetParam();
    TempFolder dir;
    const std::string path = dir.File("set.kwi");
    const std::vector<uint8_t> data = MixedBytes(400000, 7);
    const uint8_t record[5] = {1, 2, 3, 4, 5};
    int err = -1;
    StoreContainer* c =
        CreateContainer(path.c_str(), tc.password, tc.limit, 0, tc.options, nullptr, &err);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_EQ(c->WriteSmallStream("", record, 0), 0);
    ASSERT_EQ(WriteStream(c, "kwi", {}, 0x49574B24), 0);
    ASSERT_EQ(c->WriteSmallStream("kwi", record, sizeof record), 0);
    ASSERT_EQ(WriteStream(c, "kwi/part0", {}), 0);
    ASSERT_EQ(WriteStream(c, "kwi/part0/sdata", data), 0);
    ASSERT_EQ(WriteStream(c, "kwi/mbr", std::vector<uint8_t>(512, 0xAB)), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    std::vector<std::string> volumes{path};
    for (int n = 2; std::filesystem::exists(dir.File("set.00" + std::to_string(n))); ++n) {
        volumes.push_back(dir.File("set.00" + std::to_string(n)));
    }
    EXPECT_EQ(volumes.size() > 1, tc.limit != 0);
    const Layout l = CheckLayout(volumes, tc.want);
    ASSERT_EQ(l.entries.size(), 5u);
    EXPECT_EQ(l.entries.at("").children.size(), 1u);
    EXPECT_EQ(l.entries.at("kwi").id, 2u);
    EXPECT_EQ(l.entries.at("kwi").tag1, 0x49574B24u);
    EXPECT_EQ(l.entries.at("kwi").inlineData, std::vector<uint8_t>(record, record + 5));
    EXPECT_EQ(l.entries.at("kwi").children, (std::vector<uint32_t>{3, 5}));
    EXPECT_EQ(l.entries.at("kwi/part0/sdata").id, 4u);
    EXPECT_TRUE(SpaceBytes(l, "kwi/part0/sdata") == data);
    EXPECT_TRUE(SpaceBytes(l, "kwi/mbr") == std::vector<uint8_t>(512, 0xAB));
}

constexpr uint32_t kChunk = 0x20000;

INSTANTIATE_TEST_SUITE_P(
    Sets, ContainerLayout,
    ::testing::Values(
        LayoutCase{"CopyAndCrc", kOptPayloadCrc, nullptr, 0, {0x3, false, nullptr}},
        LayoutCase{
            "OldSignatureSpanning", kOptOldSignature, nullptr, 2 * kChunk, {0x1, true, nullptr}},
        LayoutCase{
            "NoCopyClosed", kOptNoDirectoryCopy | kOptClosed, nullptr, 0, {0x4, false, nullptr}},
        LayoutCase{
            "Scrambled", kOptPayloadCrc, u"Pässwort", kChunk, {0x200003, false, u"Pässwort"}},
        LayoutCase{"PasswordChecked", 0, u"abc", 0, {0x100001, false, u"abc"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kwv::test
