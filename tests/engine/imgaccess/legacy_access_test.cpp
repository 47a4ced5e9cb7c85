// Older-format images through image access: a real FAT volume stored by the
// test-only older-format writer in every kind of data, read back sector by
// sector through the read hook and file by file through IMGACCESS.
#include "engine/imgaccess/piece_cache.h"
#include "tests/engine/imgaccess/legacy_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;

namespace {

const uint32_t kPassword = ConvertPasswordString("pw");

using LegacyAccessTest = LegacyVolumeTest;

struct Case {
    const char* name;
    uint32_t code;
    bool password;
    uint64_t volumeLimit; // 0: one volume file
    uint32_t sectorsPerBlock;
    size_t codeBlock; // plain bytes per LZS or own-method block (0: the writer's)
};

} // namespace

// Odd block sizes of the compressors make pieces end inside blocks and at
// offsets that are no multiple of 4, where the password key must turn.
TEST_F(LegacyAccessTest, EverySectorReadsAsTheRawVolumeInEveryKindOfData) {
    const Case cases[] = {
        {"plain", 0, false, 0, 4, 0},
        {"plain, password, spanning", 0, true, 700000, 1, 0},
        {"LZS with history 100", 100, false, 0, 1, 0x2F01},
        {"LZS with history 103, password, spanning", 103, true, 700000, 4, 0x2F01},
        {"LZS fresh 305, password", 305, true, 0, 2, 0x8000},
        {"own method 200, spanning", 200, false, 700000, 1, 0x2F01},
        {"own method 209, password", 209, true, 0, 8, 0x1001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LegacyPartition part = LegacyPart(*volume_, c.sectorsPerBlock, c.code,
                                                c.password ? kPassword : 0, c.codeBlock);
        const std::string path = Write({part}, c.volumeLimit);
        UiCallback cb;
        cb.media.password = u"pw";
        IMAGE_ACCESS* image = OpenImage(path, "", &cb);
        ASSERT_NE(image, nullptr);
        ExpectEverySectorInRandomOrder(image, 0, part, volume_->raw, c.code + 1);
        image->Release();
    }
    EXPECT_EQ(PA_CACHE::Users(), 0u); // the last compressed partition freed the pool
    EXPECT_EQ(PA_CACHE::Count(), 0u);
}

TEST_F(LegacyAccessTest, FilesListAndReadThroughTheImageTree) {
    const std::string path = Write({LegacyPart(*volume_, 2, 101, kPassword, 0x2F01)}, 500000);
    UiCallback cb;
    cb.media.password = u"pw";
    IMAGE_ACCESS* image = OpenImage(path, "", &cb);
    ASSERT_NE(image, nullptr);
    for (size_t n = 0; n < volume_->names.size(); ++n) {
        const std::string file = "\\Partition0\\" + volume_->names[n];
        char name[64];
        uint64_t size = 0;
        ASSERT_EQ(image->GetFileInfo(file.c_str(), name, sizeof name, nullptr, nullptr, &size), 1u)
            << file;
        EXPECT_EQ(size, volume_->contents[n].size());
        IMGACCESS_FILEHANDLE* handle = image->OpenFile(file.c_str());
        ASSERT_NE(handle, nullptr) << file;
        std::vector<uint8_t> bytes(size);
        uint32_t done = 0;
        EXPECT_TRUE(handle->Read(bytes.data(), uint32_t(size), &done));
        EXPECT_EQ(bytes, volume_->contents[n]) << file;
        handle->Release();
    }
    image->Release();
}

TEST_F(LegacyAccessTest, RefusedAndDamagedPartitionsFailTheOpenWithTheirCode) {
    LegacyPartition zlib = LegacyPart(*volume_, 4, 3, 0, 0);
    LegacyPartition noSectors = LegacyPart(*volume_, 4, 101, 0, 0);
    noSectors.sectorsPerBlock = 0;
    LegacyPartition noBytes = LegacyPart(*volume_, 4, 0, 0, 0);
    noBytes.bytesPerSector = 0;
    const struct {
        const LegacyPartition* part;
        kwRet code;
    } cases[] = {
        {&zlib, ERR_IMG_COMPRESSION}, {&noSectors, ERR_IMG_INVALID}, {&noBytes, ERR_IMG_INVALID}};
    for (const auto& c : cases) {
        const std::string path = Write({*c.part});
        uint32_t code = 0;
        UiCallback cb;
        EXPECT_EQ(CreateImageAccess(path.c_str(), nullptr, &cb, &code), nullptr);
        EXPECT_EQ(code, c.code);
    }
    EXPECT_EQ(PA_CACHE::Users(), 0u);
}

TEST_F(LegacyAccessTest, ALongDecodeShowsProgressAndTheUserMayCancelIt) {
    const LegacyPartition part = LegacyPart(*volume_, 1, 103, 0, 0x2F01);
    const std::string path = Write({part});
    const uint32_t last = LastStoredSector(part);
    std::vector<uint8_t> sector(512);
    for (const uint32_t answers : {0b01u, 0b10u, 0b11u}) { // bit 0 Progress, bit 1 EndProgress
        SCOPED_TRACE(answers);
        UiCallback cb;
        cb.progressAnswer = answers & 1;
        cb.endProgressAnswer = answers >> 1 & 1;
        IMAGE_ACCESS* image = OpenImage(path, "", &cb);
        ASSERT_NE(image, nullptr);
        const kwRet rc = ReadThroughHook(image, 0, last, 1, sector.data());
        EXPECT_GE(cb.progressCalls, 1u);
        EXPECT_EQ(cb.endProgressCalls, 1u);
        if (answers == 0b11u) {
            ASSERT_EQ(rc, KW_OK);
            EXPECT_EQ(std::memcmp(sector.data(), volume_->raw.data() + size_t(last) * 512, 512), 0);
        } else {
            EXPECT_EQ(rc, ERR_USER_CANCEL);
        }
        image->Release();
    }
}

// The pool is shared: a second image's open does not replace it and its
// close does not free it under the first one.
TEST_F(LegacyAccessTest, ThePieceCacheOutlivesEveryImageButTheLast) {
    const LegacyPartition part = LegacyPart(*volume_, 1, 300, 0, 0x2F01);
    const std::string path = Write({part, part});
    UiCallback cb;
    IMAGE_ACCESS* first = OpenImage(path, "", &cb);
    IMAGE_ACCESS* second = OpenImage(path, "", &cb);
    ASSERT_TRUE(first != nullptr && second != nullptr);
    EXPECT_EQ(PA_CACHE::Users(), 4u);
    std::vector<uint8_t> a(512);
    ASSERT_EQ(ReadThroughHook(second, 1, LastStoredSector(part), 1, a.data()), KW_OK);
    second->Release();
    EXPECT_EQ(PA_CACHE::Users(), 2u);
    ExpectEverySectorInRandomOrder(first, 1, part, volume_->raw, 5);
    ExpectEverySectorInRandomOrder(first, 0, part, volume_->raw, 6);
    first->Release();
    EXPECT_EQ(PA_CACHE::Users(), 0u);
}
