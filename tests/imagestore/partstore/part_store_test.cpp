// Images of the current format through the exported functions: round trips of
// real FAT and NTFS volumes over the create options, verification of damaged
// images, deletion of split sets and appending.
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <filesystem>

using namespace kw::partstore::test;

namespace {

struct CreateCase {
    const char* what;
    uint32_t flags;
    const char16_t* password;
    uint32_t volumeLimit;
    uint32_t imageFlags; // expected from GetImageFlags
};

const CreateCase kCreateCases[] = {
    {"plain", 0, nullptr, 0, 0},
    {"low compression", KW_CREATE_LOW_COMPRESSION, nullptr, 0, KW_IMAGE_LOW_COMPRESSION},
    {"high compression", KW_CREATE_HIGH_COMPRESSION, nullptr, 0, KW_IMAGE_HIGH_COMPRESSION},
    {"both compressions: high wins", KW_CREATE_LOW_COMPRESSION | KW_CREATE_HIGH_COMPRESSION,
     nullptr, 0, KW_IMAGE_HIGH_COMPRESSION},
    {"empty password: none", 0, u"", 0, 0},
    {"password, payload scrambled", 0, u"secret", 0, KW_IMAGE_PASSWORD},
    {"password with compression", KW_CREATE_LOW_COMPRESSION, u"secret", 0,
     KW_IMAGE_LOW_COMPRESSION | KW_IMAGE_PASSWORD},
    {"split into 400 KiB volumes", 0, nullptr, 400 * 1024, 0},
    {"split, compressed, verified volumes", KW_CREATE_LOW_COMPRESSION | KW_CREATE_VERIFY_VOLUMES,
     nullptr, 300 * 1024, KW_IMAGE_LOW_COMPRESSION},
    {"error correction", KW_CREATE_ERROR_CORRECTION, nullptr, 0, 0},
};

class PartStoreImage : public ::testing::Test {
protected:
    TempFolder folder;
    std::string image = folder.File("disk.kwi");
    RecordingCallback callback;
};

} // namespace

TEST_F(PartStoreImage, RoundTripOverTheCreateOptions) {
    const Partition fat = MakeFat(folder, 2, true);
    const Partition ntfs = MakeNtfs(folder, 2, false);
    ASSERT_LT(ntfs.UsedCount(), ntfs.Blocks()); // some blocks stay out of the image
    for (const CreateCase& c : kCreateCases) {
        SCOPED_TRACE(c.what);
        callback.password = c.password != nullptr ? c.password : u"";
        int32_t error = -1;
        PART_STORE* store = PartStoreCreateNew(image.c_str(), c.password, c.volumeLimit, 0, c.flags,
                                               &callback, &error);
        ASSERT_NE(store, nullptr) << error;
        uint32_t index = 9;
        ASSERT_EQ(store->SetDescription("two volumes"), 0);
        ASSERT_EQ(StorePart(store, fat, "FAT part", &index), 0);
        EXPECT_EQ(index, 0u);
        ASSERT_EQ(StorePart(store, ntfs, "NTFS part", &index), 0);
        EXPECT_EQ(index, 1u);
        ASSERT_EQ(store->Commit(), 0);
        store->Release();

        store = PartStoreOpenReadOnly(image.c_str(), &callback, &error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(store->GetImageFlags(), c.imageFlags);
        EXPECT_EQ(store->IsNativeImage(), 1);
        char text[64] = {};
        store->GetDescription(text, sizeof text);
        EXPECT_STREQ(text, "two volumes");
        ASSERT_EQ(store->GetPartCount(), 2u);
        if (c.volumeLimit != 0) {
            EXPECT_GT(store->GetVolumeCount(), 1u);
        } else {
            EXPECT_EQ(store->GetVolumeCount(), 1u);
        }
        uint64_t fileBytes = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
            if (entry.path().stem() == "disk") {
                fileBytes += entry.file_size();
            }
        }
        EXPECT_EQ(store->GetImageSize(), fileBytes);
        char path[512] = {};
        store->GetImagePath(path, sizeof path);
        EXPECT_EQ(std::filesystem::path(path), std::filesystem::path(image));
        ExpectPart(store, 0, fat, "FAT part");
        ExpectPart(store, 1, ntfs, "NTFS part");
        store->Release();

        EXPECT_EQ(PartStoreVerify(image.c_str(), &callback), 0);
        EXPECT_EQ(PartStoreVerifyData(image.c_str(), &callback), 0);
        ASSERT_EQ(PartStoreDelete(image.c_str(), &callback), 0);
        ASSERT_FALSE(std::filesystem::exists(image));
    }
}

TEST_F(PartStoreImage, ProtectedImageNeedsItsPassword) {
    const Partition fat = MakeFat(folder, 1, false);
    int32_t error = -1;
    PART_STORE* store = PartStoreCreateNew(image.c_str(), u"pw", 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "p", &index), 0);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();

    EXPECT_EQ(PartStoreOpenReadOnly(image.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error, 7);
    callback.password = u"wrong";
    EXPECT_EQ(PartStoreOpenReadOnly(image.c_str(), &callback, &error), nullptr);
    EXPECT_EQ(error, 7);
    callback.password = u"pw";
    store = PartStoreOpenReadOnly(image.c_str(), &callback, &error);
    ASSERT_NE(store, nullptr) << error;
    ExpectPart(store, 0, fat, "p");
    store->Release();
}

TEST_F(PartStoreImage, VerifyFindsADamagedByte) {
    const Partition fat = MakeFat(folder, 2, true);
    for (const uint32_t flags : {0u, uint32_t(KW_CREATE_HIGH_COMPRESSION)}) {
        SCOPED_TRACE(flags);
        int32_t error = -1;
        PART_STORE* store =
            PartStoreCreateNew(image.c_str(), nullptr, 0, 0, flags, nullptr, &error);
        ASSERT_NE(store, nullptr) << error;
        uint32_t index = 0;
        ASSERT_EQ(StorePart(store, fat, "fat", &index), 0);
        ASSERT_EQ(store->Commit(), 0);
        store->Release();
        ASSERT_EQ(PartStoreVerify(image.c_str(), &callback), 0);

        std::vector<uint8_t> bytes = FileBytes(image);
        ASSERT_GE(bytes.size(), 2 * 0x20000u);
        bytes[0x20000 + 5000] ^= 0x10; // a payload byte of the second chunk
        PutFileBytes(image, bytes);
        EXPECT_EQ(PartStoreVerify(image.c_str(), &callback), 1802);
        EXPECT_EQ(PartStoreVerifyData(image.c_str(), &callback), 1802);
        ASSERT_EQ(PartStoreDelete(image.c_str(), nullptr), 0);
    }
}

TEST_F(PartStoreImage, VerifyCanBeCancelled) {
    const Partition fat = MakeFat(folder, 2, true);
    int32_t error = -1;
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "fat", &index), 0);
    store->Release(); // the last release commits
    callback.cancelProgressAfter = 2;
    EXPECT_EQ(PartStoreVerify(image.c_str(), &callback), 7);
    callback.progressSteps = 0;
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), &callback), 7);
}

TEST_F(PartStoreImage, DeleteRemovesEveryVolumeAndNothingElse) {
    const Partition fat = MakeFat(folder, 2, true);
    int32_t error = -1;
    PART_STORE* store =
        PartStoreCreateNew(image.c_str(), nullptr, 300 * 1024, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "fat", &index), 0);
    ASSERT_GE(store->GetVolumeCount(), 3u);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();
    ASSERT_TRUE(std::filesystem::exists(folder.File("disk.002")));
    ASSERT_TRUE(std::filesystem::exists(folder.File("disk.003")));
    const char* others[] = {"disk.txt", "disk2.kwi", "other.002", "disk.1000"};
    for (const char* name : others) {
        PutFileBytes(folder.File(name), {1, 2, 3});
    }

    EXPECT_EQ(PartStoreDelete(folder.File("disk.002").c_str(), &callback), 1878);
    EXPECT_TRUE(std::filesystem::exists(folder.File("disk.002")));
    EXPECT_EQ(PartStoreDelete(image.c_str(), &callback), 0);
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.rfind("disk.0", 0), std::string::npos) << name << " left behind";
    }
    EXPECT_FALSE(std::filesystem::exists(image));
    for (const char* name : others) {
        EXPECT_EQ(FileBytes(folder.File(name)), (std::vector<uint8_t>{1, 2, 3})) << name;
    }
}

// A copy into an existing image that fails midway removes the part it added:
// the image then reads and verifies as before.
TEST_F(PartStoreImage, FailedAppendLeavesTheImageWhole) {
    const Partition fat = MakeFat(folder, 2, true);
    const Partition ntfs = MakeNtfs(folder, 2, false);
    int32_t error = -1;
    PART_STORE* store = PartStoreCreateNew(image.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, fat, "first", &index), 0);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();

    store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_EQ(StorePart(store, ntfs, "second", &index, 40), 0); // gives up after 40 blocks
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(store->ClosePart(), 0);
    EXPECT_EQ(store->RemovePart(0), 2); // parts already in the image stay
    EXPECT_EQ(store->RemovePart(index), 0);
    EXPECT_EQ(store->GetPartCount(), 1u);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();

    store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->GetPartCount(), 1u);
    ExpectPart(store, 0, fat, "first");
    store->Release();
    EXPECT_EQ(PartStoreVerify(image.c_str(), nullptr), 0);
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), 0);

    // The image still takes a further part, which reads back whole.
    store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_EQ(StorePart(store, ntfs, "second", &index, 10), 0);
    EXPECT_EQ(store->RemovePart(index), 0); // still current: dropped unwritten
    ASSERT_EQ(StorePart(store, ntfs, "third", &index), 0);
    EXPECT_EQ(index, 1u);
    store->Release();
    store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_EQ(store->GetPartCount(), 2u);
    ExpectPart(store, 0, fat, "first");
    ExpectPart(store, 1, ntfs, "third");
    store->Release();
}
