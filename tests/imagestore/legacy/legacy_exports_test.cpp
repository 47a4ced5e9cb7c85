// Older-format images through the library's exported functions.
#include "include/kwvaults.h"
#include "include/kwvaults_image_store.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"

#include <gtest/gtest.h>

using namespace kw::legacy::testing;

namespace {

class LegacyExportsTest : public ::testing::Test {
protected:
    TempFolder dir;
    std::vector<uint8_t> fat = makeFatPartition(dir, 2048);
    std::string path = dir.File("older.kwi");
    void SetUp() override {
        LegacyPartition p = partitionFromRaw(fat, 4);
        p.code = 102;
        writeLegacyImage(path, LegacyImage{}, {p, partitionFromRaw(fat, 8)});
    }
};

TEST_F(LegacyExportsTest, OpenReadOnlyFallsBackToTheOlderFormat) {
    int32_t error = -1;
    PART_STORE* ps = PartStoreOpenReadOnly(path.c_str(), nullptr, &error);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ps->IsNativeImage(), 0);
    EXPECT_EQ(ps->GetPartCount(), 2u);
    ASSERT_EQ(ps->SelectPart(0), 0);
    uint64_t length = 0;
    ASSERT_EQ(ps->OpenUdata(&length), 0);
    std::vector<uint8_t> data(length);
    uint32_t got = 0;
    ASSERT_EQ(ps->Read(data.data(), uint32_t(length), &got), 0);
    EXPECT_EQ(got, length);
    EXPECT_TRUE(data == partitionFromRaw(fat, 4).data);
    ps->Release();
    EXPECT_EQ(PartStoreVerifyData(path.c_str(), nullptr), 0);
}

TEST_F(LegacyExportsTest, ImageStoreAndItsAdapter) {
    int32_t error = -1;
    IMAGE_STORE* store = ImageStoreOpenReadOnly(path.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(error, 0);
    PART_STORE* ps = PartStoreLegacyUseImageStore(store, nullptr, &error);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(error, 0);
    store->Release(); // the adapter keeps its own reference
    ASSERT_EQ(ps->SelectPart(1), 0);
    EXPECT_EQ(ps->GetUsedBlockCount(), partitionFromRaw(fat, 8).usedBlocks);
    ps->Release();
    EXPECT_EQ(PartStoreLegacyUseImageStore(nullptr, nullptr, &error), nullptr);
    EXPECT_EQ(error, 2);
}

TEST_F(LegacyExportsTest, NeitherFormatGivesTheOlderReadersError) {
    std::string other = dir.File("other.kwi");
    PutFileBytes(other, std::vector<uint8_t>(4096, 0x41));
    int32_t error = 0;
    EXPECT_EQ(PartStoreOpenReadOnly(other.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error, 1802);
    EXPECT_EQ(PartStoreVerifyData(other.c_str(), nullptr), 1802);
    // Damage inside an older image shows in its data check.
    std::vector<uint8_t> bytes = FileBytes(path);
    bytes.resize(bytes.size() - 5000);
    PutFileBytes(path, bytes);
    EXPECT_EQ(PartStoreVerifyData(path.c_str(), nullptr), 1802); // a short read, not spanning
}

// An image of the current format carries an older-format header with
// version 4 in its first chunk: the older reader refuses it with 1818.
TEST_F(LegacyExportsTest, CurrentFormatImagesAreRefusedWithTheVersionCode) {
    std::string current = dir.File("current.kwi");
    int32_t error = -1;
    PART_STORE* created = PartStoreCreateNew(current.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(created, nullptr);
    ASSERT_EQ(created->Commit(), 0);
    created->Release();
    EXPECT_EQ(ImageStoreOpenReadOnly(current.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error, 1818);
    PART_STORE* opened = PartStoreOpenReadOnly(current.c_str(), nullptr, &error);
    ASSERT_NE(opened, nullptr);
    EXPECT_NE(opened->IsNativeImage(), 0);
    opened->Release();
}

} // namespace
