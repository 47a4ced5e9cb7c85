// Reading images of the older format through IMAGE_STORE: images written by
// the test writer from FAT partitions made with mkfs.fat, read back sector
// for sector in every compression code, across volumes and after seeks.
#include "imagestore/legacy/image_store_reader.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"

#include <gtest/gtest.h>

#include <random>

using namespace kw::legacy;
using namespace kw::legacy::testing;

namespace {

struct StoreRef {
    IMAGE_STORE_READER* p = nullptr;
    int error = 0;
    ~StoreRef() {
        if (p)
            p->Release();
    }
    IMAGE_STORE_READER* operator->() { return p; }
};

void open(StoreRef& s, const std::string& path, MEDIA_CHANGE_CALLBACK* cb = nullptr) {
    s.p = new IMAGE_STORE_READER(path, cb);
    s.error = s.p->Open();
}

class LegacyStoreTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::vector<uint8_t> fat;
    void SetUp() override { fat = makeFatPartition(dir, 4096); }
};

struct CodeCase {
    uint32_t code;
    uint32_t password;
    bool bitmapZlib;
    size_t piece;
};

TEST_F(LegacyStoreTest, EveryCodeReadsBackTheRawPartition) {
    const CodeCase cases[] = {
        {0, 0, false, 512},
        {0, 0x1234ABCD, true, 4096},
        {1, 0, false, 65536},
        {8, 0x55AA0102, true, 512},
        {101, 0, false, 512},
        {100, 0xDEADBEEF, false, 100000},
        {105, 0, true, 8192},
        {300, 0, false, 4096},
        {305, 0x01020304, false, 512},
        {201, 0, false, 512},
        {209, 0xCAFEF00D, true, 70000},
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        LegacyPartition p = partitionFromRaw(fat, 8);
        p.code = c.code;
        p.passwordValue = c.password;
        p.bitmapZlib = c.bitmapZlib;
        std::string path = dir.File("img" + std::to_string(c.code) + ".kwi");
        writeLegacyImage(path, LegacyImage{}, {p});
        StoreRef s;
        open(s, path);
        ASSERT_EQ(s.error, 0);
        std::vector<uint8_t> back;
        ASSERT_EQ(readBack(s.p, 1, c.piece, &back), 0);
        EXPECT_TRUE(back == fat);
    }
}

TEST_F(LegacyStoreTest, SeveralPartitionsWithAndWithoutHeaderCopies) {
    std::vector<uint8_t> second = makeFatPartition(dir, 2048);
    LegacyPartition a = partitionFromRaw(fat, 4), b = partitionFromRaw(second, 1);
    b.code = 1;
    b.name = "SECOND";
    for (int form = 0; form < 3; ++form) {
        SCOPED_TRACE(form);
        LegacyImage im;
        im.recordCopies = form == 0;
        im.shortHeader = form == 2; // the oldest images: 512 bytes, found by walking
        std::string path = dir.File("multi" + std::to_string(form) + ".kwi");
        writeLegacyImage(path, im, {a, b, a});
        StoreRef s;
        open(s, path);
        ASSERT_EQ(s.error, 0);
        EXPECT_EQ(s->GetPartitionCount(), 3u);
        std::vector<uint8_t> back;
        for (uint32_t n : {3u, 2u, 1u}) {
            ASSERT_EQ(readBack(s.p, n, 4096, &back), 0);
            EXPECT_TRUE(back == (n == 2 ? second : fat));
        }
        char name[16];
        s->SelectPartition(2);
        s->GetPartitionName(name, sizeof name);
        EXPECT_STREQ(name, "SECOND");
        uint16_t version = 0, zero = 9;
        s->GetFormatVersion(&version, &zero);
        EXPECT_EQ(version, form == 2 ? 1 : 2);
        EXPECT_EQ(s->GetImageVolumeCount(), 1u);
    }
}

// Three volumes: reading straight through, then sectors in random order by
// seeking with the partition's volume table.
TEST_F(LegacyStoreTest, SpanningPartitionSeeksAcrossThreeVolumes) {
    LegacyPartition p = partitionFromRaw(fat, 1);
    p.passwordValue = 0x0BADCAFE;
    LegacyImage im;
    im.volumeLimit = p.data.size() / 2 - 1000;
    im.continuationCopies = true;
    LegacyPartition small;
    small.data.assign(4096, 0x5A);
    small.bitmap = {0x0F};
    small.blockCount = 4;
    small.usedBlocks = 4;
    small.sectorsPerBlock = 2;
    small.totalSectors = 8;
    std::string path = dir.File("span.kwi");
    auto files = writeLegacyImage(path, im, {p, small});
    ASSERT_EQ(files.size(), 3u);
    StoreRef s;
    open(s, path);
    ASSERT_EQ(s.error, 0);
    EXPECT_EQ(s->GetVolumeCount(), 3u);
    std::vector<uint8_t> back;
    ASSERT_EQ(readBack(s.p, 1, 3 * 512, &back), 0);
    EXPECT_TRUE(back == fat);
    ASSERT_EQ(readBack(s.p, 2, 512, &back), 0); // the partition behind the spanning one
    EXPECT_TRUE(back == small.data);

    ASSERT_EQ(s->SelectPartition(1), 0);
    EXPECT_EQ(s->SeekData(4096), kwv::kStoreVolumeTable); // no table yet
    ASSERT_EQ(s->BuildVolumeTable(), 0);
    uint32_t count = 0;
    const uint64_t* table = s->GetVolumeTable(&count);
    ASSERT_EQ(count, 3u);
    // Measured from the continuation records: the last volume's entry is the
    // partition's last byte.
    EXPECT_NE(table[0], kUnknownEntry);
    EXPECT_EQ(table[2], p.data.size() - 1);
    std::mt19937 rng(7);
    uint32_t sectors = uint32_t(p.data.size() / 512);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < sectors; i += 3)
        order.push_back(i);
    order.push_back(sectors - 1);
    std::shuffle(order.begin(), order.end(), rng);
    uint8_t sector[512];
    for (uint32_t i : order) {
        ASSERT_EQ(s->SeekData(uint64_t(i) * 512), 0) << i;
        uint32_t got = 0;
        ASSERT_EQ(s->ReadData(sector, 512, &got), 0) << i;
        ASSERT_EQ(got, 512u);
        ASSERT_TRUE(std::equal(sector, sector + 512, p.data.begin() + size_t(i) * 512)) << i;
    }
    table = s->GetVolumeTable(&count);
    EXPECT_EQ(table[2], p.data.size() - 1);
    EXPECT_LT(table[1], p.data.size() - 1);
    // A saved table is accepted back only with the image's volume count and
    // every entry where the store finds it.
    std::vector<uint64_t> saved(table, table + count);
    EXPECT_EQ(s->SetVolumeTable(2, saved.data()), kwv::kStoreVolumeTable);
    EXPECT_EQ(s->SetVolumeTable(3, saved.data()), 0);
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint64_t> off = saved;
        off[i] += 1;
        EXPECT_EQ(s->SetVolumeTable(3, off.data()), kwv::kStoreVolumeTable) << i;
    }
}

TEST_F(LegacyStoreTest, SpanningCompressedDataReadsStraightThrough) {
    LegacyPartition p = partitionFromRaw(fat, 2);
    p.code = 101;
    LegacyImage im;
    im.volumeLimit = 12000;
    std::string path = dir.File("spanz.kwi");
    auto files = writeLegacyImage(path, im, {p});
    ASSERT_GE(files.size(), 3u);
    StoreRef s;
    open(s, path);
    ASSERT_EQ(s.error, 0);
    std::vector<uint8_t> back;
    ASSERT_EQ(readBack(s.p, 1, 65536, &back), 0);
    EXPECT_TRUE(back == fat);
}

TEST_F(LegacyStoreTest, FirstVolumeHoldsTheAuthoritativeHeader) {
    LegacyImage im;
    im.firstVolume = true;
    im.title = "Spanned media";
    std::string path = dir.File("media.kwi");
    writeLegacyImage(path, im, {partitionFromRaw(fat, 8)});
    RecordingCallback cb;
    StoreRef s;
    open(s, path, &cb);
    ASSERT_EQ(s.error, 0);
    EXPECT_EQ(s->GetVolumeCount(), 2u); // the image file and its ".KWU"
    char text[128];
    s->GetImageTitle(text, sizeof text);
    EXPECT_STREQ(text, "Spanned media");
    s->GetVolumePath(0, text, sizeof text);
    EXPECT_EQ(std::string(text), dir.File("media.KWU"));
    std::vector<uint8_t> back;
    ASSERT_EQ(readBack(s.p, 1, 4096, &back), 0);
    EXPECT_TRUE(back == fat);
    // Without the ".KWU" file the image file's own header serves when no
    // callback is given; with a callback on fixed media the open fails.
    std::remove(dir.File("media.KWU").c_str());
    StoreRef plain;
    open(plain, path);
    EXPECT_EQ(plain.error, 0);
    StoreRef asked;
    open(asked, path, &cb);
    EXPECT_EQ(asked.error, kwv::kStoreCannotOpen);
}

// Checkpoints of an LZS partition whose history runs across blocks: the
// state saved after a read, restored after a seek, resumes decoding.
TEST_F(LegacyStoreTest, LzsCheckpointResumesAfterThePendingBytes) {
    LegacyPartition p = partitionFromRaw(fat, 8);
    p.code = 100;
    p.blockSize = 4096; // many blocks, each referring back into the one before
    std::string path = dir.File("lzs.kwi");
    writeLegacyImage(path, LegacyImage{}, {p});
    StoreRef s;
    open(s, path);
    ASSERT_EQ(s.error, 0);
    ASSERT_EQ(s->SelectPartition(1), 0);
    uint32_t size = s->GetDecoderStateSize();
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> buf(300000);
    uint32_t got = 0;
    ASSERT_GT(p.data.size(), 150000u);
    ASSERT_EQ(s->ReadData(buf.data(), 60000, &got), 0);
    ASSERT_EQ(got, 60000u);
    uint64_t position = s->GetDataPosition();
    uint32_t pending = s->GetPendingCount();
    std::vector<uint8_t> state(size);
    ASSERT_EQ(s->SaveDecoderState(state.data()), 0);
    ASSERT_EQ(s->ReadData(buf.data(), 30000, &got), 0); // move on, then come back
    ASSERT_EQ(s->SeekData(position), 0);
    ASSERT_EQ(s->RestoreDecoderState(state.data()), 0);
    ASSERT_EQ(s->ReadData(buf.data(), 50000, &got), 0);
    ASSERT_EQ(got, 50000u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + got, p.data.begin() + 60000 + pending));
    // Without the saved state the history is gone: the same read differs.
    ASSERT_EQ(s->SeekData(position), 0);
    std::vector<uint8_t> zero(size, 0);
    s->RestoreDecoderState(zero.data());
    int r = s->ReadData(buf.data(), 50000, &got);
    EXPECT_TRUE(r != 0 ||
                !std::equal(buf.begin(), buf.begin() + got, p.data.begin() + 60000 + pending));
}

// Checkpoints taken along a straight read of an LZS partition, visited again
// in random order: each resumes exactly where its pending bytes end, across
// block and volume boundaries.
TEST_F(LegacyStoreTest, LzsCheckpointsInRandomOrderAcrossVolumes) {
    LegacyPartition p = partitionFromRaw(fat, 1);
    p.code = 104;
    p.blockSize = 3000;
    LegacyImage im;
    im.volumeLimit = 30000;
    std::string path = dir.File("lzsrand.kwi");
    ASSERT_GE(writeLegacyImage(path, im, {p}).size(), 3u);
    StoreRef s;
    open(s, path);
    ASSERT_EQ(s.error, 0);
    ASSERT_EQ(s->SelectPartition(1), 0);
    ASSERT_EQ(s->BuildVolumeTable(), 0);
    struct Checkpoint {
        uint64_t position;
        size_t resumesAt;
        std::vector<uint8_t> state;
    };
    std::vector<Checkpoint> points;
    std::vector<uint8_t> buf(5000);
    size_t delivered = 0;
    for (;;) {
        uint32_t got = 0;
        ASSERT_EQ(s->ReadData(buf.data(), 5000, &got), 0);
        delivered += got;
        if (got < 5000)
            break;
        Checkpoint c{s->GetDataPosition(), delivered + s->GetPendingCount(),
                     std::vector<uint8_t>(s->GetDecoderStateSize())};
        ASSERT_EQ(s->SaveDecoderState(c.state.data()), 0);
        points.push_back(std::move(c));
    }
    ASSERT_EQ(delivered, p.data.size());
    std::shuffle(points.begin(), points.end(), std::mt19937(11));
    for (const Checkpoint& c : points) {
        ASSERT_EQ(s->SeekData(c.position), 0);
        ASSERT_EQ(s->RestoreDecoderState(c.state.data()), 0);
        uint32_t got = 0;
        ASSERT_EQ(s->ReadData(buf.data(), 2000, &got), 0);
        size_t want = std::min<size_t>(2000, p.data.size() - c.resumesAt);
        ASSERT_EQ(got, want);
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, p.data.begin() + c.resumesAt))
            << c.resumesAt;
    }
}

TEST(LegacyStoreCodes, DecoderStateSizeFollowsTheCode) {
    TempFolder dir;
    LegacyPartition p;
    p.data.assign(20000, 'x');
    p.bitmap = {0xFF};
    for (uint32_t code : {0u, 1u, 100u, 103u, 105u, 300u, 200u}) {
        p.code = code;
        std::string path = dir.File("c" + std::to_string(code) + ".kwi");
        writeLegacyImage(path, LegacyImage{}, {p});
        StoreRef s;
        open(s, path);
        ASSERT_EQ(s.error, 0);
        ASSERT_EQ(s->SelectPartition(1), 0);
        bool history = code >= 100 && code <= 105;
        EXPECT_EQ(s->GetDecoderStateSize() != 0, history) << code;
    }
}

TEST(LegacyStoreText, DescrambleRotatesTheKey) {
    // Key rotation 1 turns 0x44332211 into 0x33221144: the first four bytes
    // are one word, the last three take the key's bytes from the lowest.
    std::vector<uint8_t> bytes(7, 0);
    descramble(bytes, 0x44332211, 1);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x44, 0x11, 0x22, 0x33, 0x44, 0x11, 0x22}));
    std::vector<uint8_t> plain(7, 0);
    descramble(plain, 0x44332211, 0);
    EXPECT_EQ(plain, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33}));
}

TEST(LegacyStoreText, VolumeNamesSplitAtAShortExtension) {
    VolumeNames a("C:\\img\\disk.kwi");
    EXPECT_EQ(a.name(0), "C:\\img\\disk.KWU");
    EXPECT_EQ(a.name(1), "C:\\img\\disk.kwi");
    EXPECT_EQ(a.name(2), "C:\\img\\disk.002");
    EXPECT_EQ(a.name(999), "C:\\img\\disk.999");
    EXPECT_EQ(a.name(1000), "");
    VolumeNames b("C:\\my.images\\disk");
    EXPECT_EQ(b.name(12), "C:\\my.images\\disk.012");
    VolumeNames c("/tmp/x.image");
    EXPECT_EQ(c.name(3), "/tmp/x.image.003");
}

TEST_F(LegacyStoreTest, RecordValuesAndKinds) {
    struct Case {
        uint32_t kind, type, want;
    };
    const Case cases[] = {{1, 0x0C, 15}, {1, 0x0B, 15}, {1, 0x1C, 15}, {1, 0x06, 1}, {4, 0x07, 4}};
    std::vector<LegacyPartition> parts;
    for (const Case& c : cases) {
        LegacyPartition p;
        p.data.assign(512, 1);
        p.bitmap = {1};
        p.fileSystemKind = c.kind;
        p.partitionType = c.type;
        p.extraFlags = c.kind == 4 ? 0x04 | 0x100 | 0x800 : 0x200;
        parts.push_back(p);
    }
    std::string path = dir.File("kinds.kwi");
    writeLegacyImage(path, LegacyImage{}, parts);
    StoreRef s;
    open(s, path);
    ASSERT_EQ(s.error, 0);
    for (uint32_t n = 1; n <= 5; ++n) {
        ASSERT_EQ(s->SelectPartition(n), 0);
        uint32_t kind = 0, pk = 0, f100 = 0, f200 = 0, f800 = 0, v = 0;
        s->GetFileSystemKind(&kind);
        s->GetPartitionKind(&pk);
        s->IsPartFlag100(&f100);
        s->IsPartFlag200(&f200);
        s->IsPartFlag800(&f800);
        EXPECT_EQ(kind, cases[n - 1].want);
        bool ntfs = n == 5;
        EXPECT_EQ(pk, ntfs ? 1u : 2u);
        EXPECT_EQ(f100, ntfs ? 1u : 0u);
        EXPECT_EQ(f200, ntfs ? 0u : 1u);
        EXPECT_EQ(f800, ntfs ? 1u : 0u);
        s->GetRecordValue508(&v);
        EXPECT_EQ(v, 0x508u);
        s->GetRecordValue104(&v);
        EXPECT_EQ(v, 0x104u);
        uint32_t year = 0, month = 0, day = 0;
        s->GetPartitionDate(&year, &month, &day);
        EXPECT_EQ(year * 10000 + month * 100 + day, 20010714u);
    }
    uint32_t vol = 9;
    uint64_t off = 9, val = 9;
    EXPECT_EQ(s->GetPartitionLocation(1, &vol, &off, &val), 1);
    EXPECT_EQ(vol, 1u);
    EXPECT_EQ(off, 2048u + 5 * 512 + 512 + 1 + 512);
    EXPECT_EQ(s->GetPartitionLocation(5, &vol, &off, &val), 0);
    EXPECT_EQ(vol + off + val, 0u);
}

} // namespace
