// Older-format images through the PART_STORE interface (the adapter), its
// passwords and its data check.
#include "imagestore/legacy/legacy_open.h"
#include "imagestore/legacy/legacy_part_store.h"
#include "imagestore/partstore/password_value.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kw::legacy;
using namespace kw::legacy::testing;

namespace {

struct Adapter {
    PART_STORE* p = nullptr;
    int32_t error = -1;
    Adapter(const std::string& path, MEDIA_CHANGE_CALLBACK* cb) {
        p = openAsPartStore(path.c_str(), cb, error);
    }
    ~Adapter() {
        if (p)
            p->Release();
    }
    PART_STORE* operator->() { return p; }
};

// Rebuilds part `index` from its "ubmap" and "udata" streams, reading the
// data in pieces of `piece` bytes.
int32_t rebuild(PART_STORE* ps, uint32_t index, uint32_t piece, std::vector<uint8_t>* raw) {
    if (int32_t r = ps->SelectPart(index))
        return r;
    uint64_t bitmapLength = 0, dataLength = 0;
    if (int32_t r = ps->OpenUbmap(&bitmapLength))
        return r;
    std::vector<uint8_t> bitmap(bitmapLength);
    uint32_t got = 0;
    if (int32_t r = ps->Read(bitmap.data(), uint32_t(bitmapLength), &got))
        return r;
    if (int32_t r = ps->OpenUdata(&dataLength))
        return r;
    std::vector<uint8_t> data;
    std::vector<uint8_t> buf(piece);
    while (data.size() < dataLength) {
        if (int32_t r = ps->Read(buf.data(), piece, &got))
            return r;
        if (got == 0)
            return -1;
        data.insert(data.end(), buf.begin(), buf.begin() + got);
    }
    size_t blockBytes = size_t(ps->GetSectorsPerBlock()) * ps->GetBytesPerSector();
    raw->assign(size_t(ps->GetBlockCount()) * blockBytes, 0);
    size_t at = 0;
    for (uint32_t b = 0; b < ps->GetBlockCount(); ++b)
        if (bitmap[b / 8] >> (b % 8) & 1) {
            std::copy_n(data.begin() + at, blockBytes, raw->begin() + size_t(b) * blockBytes);
            at += blockBytes;
        }
    raw->resize(size_t(ps->GetTotalSectors()) * ps->GetBytesPerSector());
    return 0;
}

class LegacyAdapterTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::vector<uint8_t> fat = makeFatPartition(dir, 4096);
    std::string path = dir.File("older.kwi");
    uint32_t secret = kw::partstore::PasswordValue("secret");
    uint32_t other = kw::partstore::PasswordValue("Other");
};

TEST_F(LegacyAdapterTest, PartsReadBackThroughTheInterface) {
    LegacyPartition plain = partitionFromRaw(fat, 8);
    LegacyPartition lzs = partitionFromRaw(fat, 4);
    lzs.code = 103;
    lzs.passwordValue = secret;
    lzs.extraFlags = 0x04;
    LegacyPartition own = partitionFromRaw(fat, 2);
    own.code = 204;
    own.passwordValue = secret;
    LegacyImage im;
    im.volumeLimit = 150000;
    im.title = "Backup";
    im.description = "weekly";
    auto files = writeLegacyImage(path, im, {plain, lzs, own});
    ASSERT_GE(files.size(), 3u);
    RecordingCallback cb;
    cb.passwords = {u"wrong", u"SECRET"}; // compared without regard to case
    Adapter a(path, &cb);
    ASSERT_EQ(a.error, 0);
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskPassword"), 1);
    EXPECT_EQ(a->GetPartCount(), 3u);
    EXPECT_EQ(a->GetVolumeCount(), uint32_t(files.size()));
    std::vector<uint8_t> back;
    for (uint32_t index : {0u, 1u, 2u})
        for (uint32_t piece : {512u, 999u, 65536u}) {
            SCOPED_TRACE(index * 100000 + piece);
            ASSERT_EQ(rebuild(a.p, index, piece, &back), 0);
            EXPECT_TRUE(back == fat);
        }
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskPassword"), 1); // asked once
    ASSERT_EQ(a->SelectPart(1), 0);
    EXPECT_EQ(a->GetPartFlags(), 0x04u);
    EXPECT_EQ(a->GetImageFlags(), uint32_t(KW_IMAGE_LOW_COMPRESSION | KW_IMAGE_PASSWORD));
    ASSERT_EQ(a->SelectPart(2), 0);
    EXPECT_EQ(a->GetImageFlags(), uint32_t(KW_IMAGE_HIGH_COMPRESSION | KW_IMAGE_PASSWORD));
    a->ClosePart();
    EXPECT_EQ(a->GetImageFlags(), uint32_t(KW_IMAGE_PASSWORD)); // partition 1 is stored plainly
    char text[64];
    a->GetDescription(text, sizeof text);
    EXPECT_STREQ(text, "Backup - weekly");
    a->GetImagePath(text, sizeof text);
    EXPECT_EQ(std::string(text), path.substr(0, 63));
    EXPECT_EQ(a->SelectPart(3), 504);
}

TEST_F(LegacyAdapterTest, PasswordsAreAskedOncePerValue) {
    LegacyPartition a = partitionFromRaw(fat, 8);
    LegacyPartition b = a, c = a;
    a.passwordValue = secret;
    b.passwordValue = secret;
    c.passwordValue = other;
    writeLegacyImage(path, LegacyImage{}, {a, b, c});
    RecordingCallback cb;
    cb.passwords = {u"secret", u"other"};
    Adapter ad(path, &cb);
    ASSERT_EQ(ad.error, 0);
    EXPECT_EQ(ad->SelectPart(1), 0); // same value: no question
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskPassword"), 1);
    EXPECT_EQ(ad->SelectPart(2), 0);
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskPassword"), 2);
    // A refused password leaves no part selected.
    RecordingCallback refuses;
    refuses.passwords = {u"secret"};
    Adapter bad(path, &refuses);
    ASSERT_EQ(bad.error, 0);
    EXPECT_EQ(bad->SelectPart(2), 7);
    EXPECT_EQ(bad->GetBlockCount(), 0u);
    Adapter none(path, nullptr);
    EXPECT_EQ(none.error, 7);
    EXPECT_EQ(none.p, nullptr);
}

TEST_F(LegacyAdapterTest, UnprotectedImageNeverAsksAndNeverWrites) {
    LegacyPartition p = partitionFromRaw(fat, 8);
    p.year = 1999;
    p.month = 12;
    p.day = 31;
    writeLegacyImage(path, LegacyImage{}, {p});
    RecordingCallback cb;
    Adapter a(path, &cb);
    ASSERT_EQ(a.error, 0);
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskPassword"), 0);
    EXPECT_EQ(a->IsNativeImage(), 0);
    EXPECT_EQ(a->Commit(), 0);
    EXPECT_EQ(a->Write("x", 1), 2);
    EXPECT_EQ(a->SetPartName("x"), 2);
    EXPECT_EQ(a->AddPart(nullptr), 2);
    EXPECT_EQ(a->CreateUdata(), 2);
    int32_t y = 0, mo = 0, d = 0, h = 9, mi = 9, s = 9;
    a->GetCreationTime(&y, &mo, &d, &h, &mi, &s);
    EXPECT_EQ(std::vector<int32_t>({y, mo, d, h, mi, s}),
              std::vector<int32_t>({1999, 12, 31, 0, 0, 0}));
    ASSERT_EQ(a->SelectPart(0), 0);
    EXPECT_EQ(a->OpenSdata(nullptr), 504);
    EXPECT_EQ(a->GetPartValue50(), 0xFFFFFFFFu);
    EXPECT_EQ(a->GetPartValue58(), 0x508u);
    EXPECT_EQ(a->GetPartValue20(), 0x76u);
    uint64_t length = 0;
    ASSERT_EQ(a->OpenUdata(&length), 0);
    EXPECT_EQ(length, p.data.size());
    a->SetPosition(0); // the current position keeps the stream open
    uint8_t sector[512];
    uint32_t got = 0;
    EXPECT_EQ(a->Read(sector, 512, &got), 0);
    a->SetPosition(4096); // any other position ends it
    EXPECT_EQ(a->Read(sector, 512, &got), 2);
    // The size estimate: headers plus each partition's data and record.
    EXPECT_EQ(a->GetImageSize(), (1 + 15) * 512 + p.data.size() + 512);
}

TEST_F(LegacyAdapterTest, DataCheckCountsBlocksAndFindsDamage) {
    LegacyPartition p = partitionFromRaw(fat, 4);
    p.code = 101;
    writeLegacyImage(path, LegacyImage{}, {p, partitionFromRaw(fat, 8)});
    RecordingCallback cb;
    EXPECT_EQ(verifyImageData(path.c_str(), &cb), 0);
    uint32_t steps = p.usedBlocks + 1 + partitionFromRaw(fat, 8).usedBlocks + 1;
    EXPECT_EQ(cb.lastTotal, steps);
    EXPECT_EQ(cb.lastDone, steps);
    EXPECT_EQ(cb.calls.front(), "ProgressBegin");
    EXPECT_EQ(cb.calls.back(), "ProgressEnd");

    RecordingCallback cancels;
    cancels.cancelProgressAfter = 3;
    EXPECT_EQ(verifyImageData(path.c_str(), &cancels), 7);

    struct Damage {
        uint32_t usedBlocks, blockCount;
        int32_t want;
    };
    const Damage cases[] = {
        {p.usedBlocks + 1, p.blockCount, kwv::kStoreInvalid}, // the bitmap has fewer bits set
        {p.usedBlocks, p.blockCount + 64,
         kwv::kStoreInvalid}, // the bitmap is shorter than its blocks
    };
    for (const Damage& c : cases) {
        LegacyPartition q = p;
        q.usedBlocks = c.usedBlocks;
        q.blockCount = c.blockCount;
        writeLegacyImage(path, LegacyImage{}, {q});
        EXPECT_EQ(verifyImageData(path.c_str(), nullptr), c.want);
    }
    // Data that ends early: one block less stored than the bitmap says.
    LegacyPartition q = partitionFromRaw(fat, 8);
    q.data.resize(q.data.size() - 4096);
    writeLegacyImage(path, LegacyImage{}, {q});
    EXPECT_EQ(verifyImageData(path.c_str(), nullptr), kwv::kStoreShortRead);
    // Zero bytes per sector cannot divide anything.
    q = partitionFromRaw(fat, 8);
    q.bytesPerSector = 0;
    writeLegacyImage(path, LegacyImage{}, {q});
    EXPECT_EQ(verifyImageData(path.c_str(), nullptr), kwv::kStoreInvalid);
}

} // namespace
