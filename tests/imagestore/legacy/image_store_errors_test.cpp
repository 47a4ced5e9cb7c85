// Damaged and unusual older-format images: every one is refused or read with
// the right code, never a crash.
#include "imagestore/legacy/image_store_reader.h"
#include "platform/vfs/vfs.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"
#include "tests/platform/vfs/fake_extender.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace kw::legacy;
using namespace kw::legacy::testing;

namespace {

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    StoreLe32(b.data() + off, v);
}

struct Store {
    IMAGE_STORE_READER* p;
    int error;
    Store(const std::string& path, MEDIA_CHANGE_CALLBACK* cb = nullptr)
        : p(new IMAGE_STORE_READER(path, cb)), error(p->Open()) {}
    ~Store() { p->Release(); }
    IMAGE_STORE_READER* operator->() { return p; }
};

LegacyPartition smallPartition(uint32_t code = 0) {
    LegacyPartition p;
    for (int i = 0; i < 40000; ++i)
        p.data.push_back(uint8_t("older image data "[i % 17] + i / 5000));
    p.bitmap.assign(10, 0xFF);
    p.code = code;
    p.sectorsPerBlock = 1;
    p.blockCount = 80;
    p.usedBlocks = 80;
    p.totalSectors = 80;
    return p;
}

// Header offsets of an image of n partitions without continuation copies.
size_t firstRecord(size_t n) {
    return 2048 + 512 * n;
}

class LegacyErrorsTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::string path = dir.File("bad.kwi");
    std::vector<uint8_t> bytes;

    void make(std::vector<LegacyPartition> parts = {smallPartition()},
              LegacyImage im = LegacyImage{}) {
        writeLegacyImage(path, im, parts);
        bytes = FileBytes(path);
    }
    void save() { PutFileBytes(path, bytes); }
};

TEST_F(LegacyErrorsTest, DamagedHeadersAreRefused) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        int want;
    };
    const Case cases[] = {
        {"magic", [](auto& b) { put32(b, 0, 0x12345678); }, kwv::kStoreInvalid},
        {"current format",
         [](auto& b) { put32(b, 0, kImageMagicB), put32(b, 2020, 4), put32(b, 2024, 4); },
         kwv::kStoreUnsupported},
        {"reader version 7", [](auto& b) { put32(b, 2024, 7); }, kwv::kStoreUnsupported},
        {"header size below 512", [](auto& b) { put32(b, 4, 100); }, kwv::kStoreInvalid},
        {"header beyond the file", [](auto& b) { put32(b, 4, 0x20000); }, kwv::kStoreInvalid},
        {"no volumes", [](auto& b) { put32(b, 516, 0); }, kwv::kStoreInvalid},
        {"too many volumes", [](auto& b) { put32(b, 516, 0x10000); }, kwv::kStoreInvalid},
        {"huge partition count", [](auto& b) { put32(b, 8, 0xFFFFFFFF); }, kwv::kStoreInvalid},
        {"cut header", [](auto& b) { b.resize(300); }, kwv::kStoreInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        c.damage(bytes);
        save();
        RecordingCallback cb; // with a callback every partition is tried at open
        Store s(path, &cb);
        EXPECT_EQ(s.error, c.want);
    }
    Store missing(dir.File("absent.kwi"));
    EXPECT_EQ(missing.error, kwv::kStoreCannotOpen);
}

TEST_F(LegacyErrorsTest, WalkStopsAtADamagedRecord) {
    LegacyImage im;
    im.recordCopies = false;
    make({smallPartition(), smallPartition(), smallPartition()}, im);
    size_t second = firstRecord(3) + 512 + 10 + 40000;
    put32(bytes, second, 0x11111111);
    save();
    Store s(path);
    ASSERT_EQ(s.error, 0);
    EXPECT_EQ(s->SelectPartition(1), 0);
    EXPECT_EQ(s->SelectPartition(2), kwv::kStoreInvalid);
    EXPECT_EQ(s->SelectPartition(3), kwv::kStoreInvalid);
    // A data length that points past the volume ends the walk as well.
    make({smallPartition(), smallPartition()}, im);
    put32(bytes, firstRecord(2) + 52, 0x7FFFFFFF);
    save();
    Store t(path);
    EXPECT_EQ(t->SelectPartition(2), kwv::kStoreInvalid);
}

TEST_F(LegacyErrorsTest, PartitionSlotsNeedASelection) {
    make();
    Store s(path);
    ASSERT_EQ(s.error, 0);
    uint32_t v = 0;
    uint8_t buf[16];
    EXPECT_EQ(s->SelectPartition(0), kwv::kStorePartitionRange);
    EXPECT_EQ(s->SelectPartition(2), kwv::kStorePartitionRange);
    EXPECT_EQ(s->GetBlockCount(&v), kwv::kStoreNoPartition);
    EXPECT_EQ(s->ReadData(buf, 16, &v), kwv::kStoreNoPartition);
    EXPECT_EQ(s->ReadBitmap(buf, 16, &v, &v), kwv::kStoreNoPartition);
    EXPECT_EQ(s->SeekData(0), kwv::kStoreNoPartition);
    EXPECT_EQ(s->BuildVolumeTable(), kwv::kStoreNoPartition);
    EXPECT_EQ(s->NotSupported8(), kwv::kStoreNotSupported);
    ASSERT_EQ(s->SelectPartition(1), 0);
    EXPECT_EQ(s->GetSelectedPartition(), 1u);
    EXPECT_EQ(s->ReadBitmap(buf, 4, &v, &v), kwv::kStoreBufferSmall);
    s->ClosePartition();
    EXPECT_EQ(s->GetSelectedPartition(), 0u);
}

TEST_F(LegacyErrorsTest, BitmapAndCodeProblems) {
    LegacyPartition noBitmap = smallPartition();
    noBitmap.bitmap.clear();
    LegacyPartition unknown = smallPartition(50);
    LegacyPartition plainWithCode = smallPartition(1);
    plainWithCode.compressedFlag = false; // stored plainly, code recorded
    make({noBitmap, unknown, plainWithCode});
    Store s(path);
    ASSERT_EQ(s.error, 0);
    uint8_t buf[64];
    uint32_t n = 0, code = 9;
    ASSERT_EQ(s->SelectPartition(1), 0);
    EXPECT_EQ(s->ReadBitmap(buf, 64, &n, &n), kwv::kStoreNoData);
    EXPECT_EQ(s->ReadRawBitmap(buf, 64, &n, &n), kwv::kStoreNoData);
    ASSERT_EQ(s->SelectPartition(2), 0);
    EXPECT_EQ(s->ReadData(buf, 64, &n), kwv::kStoreUnknownCode);
    // A recorded code without the compressed flag delivers the stored data.
    ASSERT_EQ(s->SelectPartition(3), 0);
    std::vector<uint8_t> all(50000);
    ASSERT_EQ(s->ReadData(all.data(), 50000, &n), 0);
    ASSERT_EQ(n, 40000u);
    all.resize(n);
    EXPECT_TRUE(all == plainWithCode.data);
    ASSERT_EQ(s->SeekData(0), 0);
    EXPECT_EQ(s->ReadRawData(buf, 64, &n, &code), 0);
    EXPECT_EQ(code, 0u);
}

TEST_F(LegacyErrorsTest, CompressedDataEndingInsideTheStreamFails) {
    for (uint32_t code : {1u, 101u, 300u}) {
        SCOPED_TRACE(code);
        make({smallPartition(code)});
        uint32_t stored = LoadLe32(bytes, firstRecord(1) + 52);
        put32(bytes, firstRecord(1) + 52, stored / 2);
        put32(bytes, 2048 + 52, stored / 2);
        save();
        Store s(path);
        ASSERT_EQ(s.error, 0);
        ASSERT_EQ(s->SelectPartition(1), 0);
        std::vector<uint8_t> out(50000);
        uint32_t n = 0;
        EXPECT_EQ(s->ReadData(out.data(), 50000, &n), kwv::kStoreDecompress);
        EXPECT_EQ(s->ReadData(out.data(), 10, &n), kwv::kStoreDecompress); // until selected again
        // Garbage in place of the stream fails the same way.
        for (size_t i = firstRecord(1) + 512 + 10; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i * 7);
        save();
        Store t(path);
        ASSERT_EQ(t->SelectPartition(1), 0);
        EXPECT_EQ(t->ReadData(out.data(), 50000, &n), kwv::kStoreDecompress);
    }
}

TEST_F(LegacyErrorsTest, MissingContinuationVolume) {
    LegacyImage im;
    im.volumeLimit = 20000;
    make({smallPartition()}, im);
    std::remove(dir.File("bad.002").c_str());
    Store s(path);
    ASSERT_EQ(s.error, 0);
    ASSERT_EQ(s->SelectPartition(1), 0);
    std::vector<uint8_t> out(50000);
    uint32_t n = 0;
    EXPECT_EQ(s->ReadData(out.data(), 50000, &n), kwv::kStoreCannotOpen);
    // A continuation volume of another image set is refused.
    make({smallPartition()}, im);
    std::vector<uint8_t> next = FileBytes(dir.File("bad.002"));
    put32(next, 8, 0x0BAD0BAD);
    PutFileBytes(dir.File("bad.002"), next);
    Store t(path);
    ASSERT_EQ(t->SelectPartition(1), 0);
    EXPECT_EQ(t->ReadData(out.data(), 50000, &n), kwv::kStoreInvalid);
}

// On removable media a missing volume is asked for; a refusal cancels every
// later read of the store.
TEST_F(LegacyErrorsTest, RemovableMediaPromptsAndCancel) {
    LegacyImage im;
    im.volumeLimit = 20000;
    make({smallPartition()}, im);
    RemovableDrive removable('R', dir.Path());
    kw::test::FakeRemovableExtender& drive = removable.drive;
    drive.Hide("bad.002");
    RecordingCallback cb;
    Store s("R:\\bad.kwi", &cb);
    EXPECT_EQ(s.error, 0);
    if (s.error == 0) {
        EXPECT_EQ(s->GetMediaFlags(), 1u);
        ASSERT_EQ(s->SelectPartition(1), 0);
        std::vector<uint8_t> out(50000);
        uint32_t n = 0;
        EXPECT_EQ(s->ReadData(out.data(), 50000, &n), kwv::kStoreCancelled);
        EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskMediaNumber:R:\\bad.002"), 1);
        drive.ShowAll();
        EXPECT_EQ(s->SeekData(0), 0);
        EXPECT_EQ(s->ReadData(out.data(), 100, &n), kwv::kStoreCancelled);
        EXPECT_EQ(s->ReadRawData(out.data(), 100, &n, nullptr), kwv::kStoreCancelled);
    }
    // A yes after the medium was put in goes on reading.
    struct InsertsMedium : RecordingCallback {
        kw::test::FakeRemovableExtender* drive = nullptr;
        uint32_t AskMediaNumber(const char* path, uint32_t number) override {
            drive->ShowAll();
            mediaAnswers = 1;
            return RecordingCallback::AskMediaNumber(path, number);
        }
    } yes;
    yes.drive = &drive;
    drive.Hide("bad.002");
    Store t("R:\\bad.kwi", &yes);
    ASSERT_EQ(t->SelectPartition(1), 0);
    std::vector<uint8_t> all(50000);
    uint32_t n = 0;
    EXPECT_EQ(t->ReadData(all.data(), 50000, &n), 0);
    EXPECT_EQ(n, 40000u);
    EXPECT_EQ(std::count(yes.calls.begin(), yes.calls.end(), "WrongMedia"), 0);
}

} // namespace
