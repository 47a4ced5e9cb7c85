// Partition copy between images: new and existing destinations, every
// destination flag, cancel midway and inconsistent sources. The copies are
// read back through the library and checked with its own verify.
#include "engine/core/progress.h"
#include "engine/imgaccess/image_access.h"
#include "engine/imgaccess/partition_copy.h"
#include "tests/engine/imgaccess/imgaccess_fixture.h"

#include <gtest/gtest.h>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;
using kw::partstore::test::ExpectPart;

namespace {

uint32_t gPolls = 0;
uint32_t gCancelAtPoll = 0; // 0: never
uint32_t gClock = 0;

uint32_t Sink(uint32_t message, uint8_t, uint32_t, uint32_t, uint32_t) {
    if (message != PROGRESS_MSG_POLL)
        return 0;
    return ++gPolls == gCancelAtPoll ? PROGRESS_ANSWER_CANCEL : 0;
}

class CopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        gPolls = 0;
        gCancelAtPoll = 0;
        Progress::SetClock([] { return gClock += 3; }); // every update may poll
        PROGRESS_INFO::MakeCurrent(&sink_);
        sink_.SetCallback(Sink);
    }
    void TearDown() override {
        PROGRESS_INFO::MakeCurrent(nullptr);
        Progress::SetClock(nullptr);
    }
    std::string Path(const std::string& name) const { return folder_.File(name); }
    PART_STORE* OpenRead(const std::string& path) {
        int32_t error = 0;
        PART_STORE* store = PartStoreOpenReadOnly(path.c_str(), nullptr, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    PART_STORE* OpenAppend(const std::string& path) {
        int32_t error = 0;
        PART_STORE* store = PartStoreOpenWriteOnly(path.c_str(), 0, 0, nullptr, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    PART_STORE* Create(const std::string& path, uint32_t flags) {
        int32_t error = 0;
        PART_STORE* store = PartStoreCreateNew(path.c_str(), nullptr, 0, 0, flags, nullptr, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    TempFolder folder_;
    PROGRESS_INFO sink_;
};

} // namespace

TEST_F(CopyTest, CopiesIntoNewAndExistingImagesThatReadAndVerifyAsTheSource) {
    const Partition fat = MakeFatPartition(folder_, "SRC16", 16, 20480, false);
    // 300 used blocks move in chunks of 128, 128 and 44.
    const Partition pattern = MakePatternPartition(310, 8, {true, false, true}, 6);
    ASSERT_EQ(pattern.UsedCount(), 309u);
    const std::string source = Path("source.kwi");
    ASSERT_EQ(WriteImage(source, {&fat, &pattern},
                         ImageOptions().Flags(KW_CREATE_LOW_COMPRESSION).Names({"Fat", "Pat"})),
              0);
    for (uint32_t flags :
         {0u, uint32_t(KW_CREATE_HIGH_COMPRESSION), uint32_t(KW_CREATE_ERROR_CORRECTION)}) {
        SCOPED_TRACE(flags);
        const std::string target = Path("target" + std::to_string(flags) + ".kwi");
        PART_STORE* from = OpenRead(source);
        PART_STORE* to = Create(target, flags);
        ASSERT_EQ(CopyPartition(to, from, 2, 0), KW_OK);
        ASSERT_EQ(to->Commit(), 0);
        to->Release();
        to = OpenAppend(target); // an existing image gets a second part
        ASSERT_EQ(CopyPartition(to, from, 1, COPY_FINE_PROGRESS), KW_OK);
        ASSERT_EQ(to->Commit(), 0);
        to->Release();
        from->Release();

        PART_STORE* check = OpenRead(target);
        ASSERT_EQ(check->GetPartCount(), 2u);
        ExpectPart(check, 0, pattern, "Pat");
        ExpectPart(check, 1, fat, "Fat");
        check->Release();
        EXPECT_EQ(PartStoreVerifyData(target.c_str(), nullptr), 0);
    }
}

TEST_F(CopyTest, CancelMidwayLeavesTheDestinationAsItWas) {
    const Partition a = MakePatternPartition(40, 8, {}, 1);
    const Partition big = MakePatternPartition(2000, 8, {}, 2);
    const std::string source = Path("source.kwi");
    const std::string target = Path("target.kwi");
    ASSERT_EQ(WriteImage(source, {&big}), 0);
    ASSERT_EQ(WriteImage(target, {&a}, ImageOptions().Names({"Kept"})), 0);
    PART_STORE* from = OpenRead(source);
    PART_STORE* to = OpenAppend(target);
    gCancelAtPoll = 8; // inside the data copy
    EXPECT_EQ(CopyPartition(to, from, 1, 0), ERR_USER_CANCEL);
    EXPECT_EQ(to->Commit(), 0);
    to->Release();
    from->Release();

    PART_STORE* check = OpenRead(target);
    EXPECT_EQ(check->GetPartCount(), 1u);
    ExpectPart(check, 0, a, "Kept");
    check->Release();
    EXPECT_EQ(PartStoreVerifyData(target.c_str(), nullptr), 0);
}

// Every progress call reads the clock once unless a cancel was heard. A copy
// of 8 MiB in chunks of 4 MiB asks for user input at least every 256 KiB
// read or written, and a cancel requested from elsewhere (the window thread)
// ends it at the first progress call after the request.
TEST_F(CopyTest, CancelIsHeardAtTheFirstProgressCallAfterTheRequest) {
    static uint32_t reads = 0, cancelAt = 0;
    Progress::SetClock([] {
        if (++reads == cancelAt)
            PROGRESS_INFO::RequestCancel();
        return reads * 3;
    });
    const Partition big = MakePatternPartition(256, 64, {}, 3); // blocks of 32 KiB
    const std::string source = Path("big.kwi");
    ASSERT_EQ(WriteImage(source, {&big}), 0);
    for (uint32_t at : {0u, 40u}) {
        SCOPED_TRACE(at);
        reads = 0;
        cancelAt = at;
        PART_STORE* from = OpenRead(source);
        PART_STORE* to = Create(Path("copy" + std::to_string(at) + ".kwi"), 0);
        const kwRet rc = CopyPartition(to, from, 1, 0);
        PROGRESS_INFO::ClearCancelRequest();
        if (at == 0) {
            EXPECT_EQ(rc, KW_OK);
            EXPECT_GE(reads, 2u * (8u << 20) / (256u << 10));
        } else {
            EXPECT_EQ(rc, ERR_USER_CANCEL);
            EXPECT_EQ(reads, at);
        }
        EXPECT_EQ(to->GetPartCount(), at == 0 ? 1u : 0u);
        to->Release();
        from->Release();
    }
}

TEST_F(CopyTest, InconsistentSourceFailsBeforeAnyPartIsAdded) {
    const Partition p = MakePatternPartition(20, 8, {}, 5);
    const std::string source = Path("odd.kwi");
    int32_t error = 0;
    PART_STORE* store = PartStoreCreateNew(source.c_str(), nullptr, 0, 0, 0, nullptr, &error);
    ASSERT_NE(store, nullptr);
    uint32_t index = 0;
    ASSERT_EQ(store->AddPart(&index), 0);
    store->SetBytesPerSector(512);
    store->SetTotalSectors(20 * 8);
    store->SetSectorsPerBlock(8);
    store->SetBlockCount(20);
    store->SetUsedBlockCount(19); // one less than the bitmap has
    ASSERT_EQ(store->CreateUbmap(), 0);
    ASSERT_EQ(store->Write(p.bitmap.data(), uint32_t(p.bitmap.size())), 0);
    ASSERT_EQ(store->CreateUdata(), 0);
    ASSERT_EQ(store->Write(p.raw.data(), 19 * p.BlockBytes()), 0);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();

    PART_STORE* from = OpenRead(source);
    PART_STORE* to = Create(Path("target.kwi"), 0);
    EXPECT_EQ(CopyPartition(to, from, 1, 0), ERR_IMG_INVALID);
    EXPECT_EQ(CopyPartition(to, from, 2, 0), ERR_FILE_NOT_FOUND); // no such part
    EXPECT_EQ(CopyPartition(to, from, 0, 0), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(to->GetPartCount(), 0u);
    to->Commit();
    to->Release();
    from->Release();
}

TEST_F(CopyTest, PartWithoutUsedBlocksCopiesAndOpensEmpty) {
    const Partition empty = MakePatternPartition(16, 8, std::vector<bool>(16, false), 7);
    const std::string source = Path("empty.kwi");
    ASSERT_EQ(WriteImage(source, {&empty}), 0);
    const std::string target = Path("copy.kwi");
    PART_STORE* from = OpenRead(source);
    PART_STORE* to = Create(target, KW_CREATE_HIGH_COMPRESSION);
    ASSERT_EQ(CopyPartition(to, from, 1, 0), KW_OK);
    ASSERT_EQ(to->Commit(), 0);
    to->Release();
    from->Release();

    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(target.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code; // opens: every read is an unstored block
    KWIPART_ACCESS* access = static_cast<IMAGE_ACCESS*>(image)->Access(0);
    uint8_t sector[512];
    CURRENT_PART_SCOPE current(access);
    EXPECT_EQ(kwiPhyRead(0, sector, 1), ERR_FILE_SHORT_READ);
    EXPECT_EQ(kwiPhyRead(100, sector, 1), ERR_FILE_SHORT_READ);
    image->Release();
}

TEST_F(CopyTest, CopiesOutOfAnOpenImageWhileItIsBrowsed) {
    const Partition a = MakePatternPartition(30, 8, {}, 11);
    const Partition b = MakePatternPartition(30, 8, {}, 12);
    const std::string source = Path("browsed.kwi");
    ASSERT_EQ(WriteImage(source, {&a, &b}), 0);
    uint32_t code = 0;
    IMGACCESS* image = CreateImageAccess(source.c_str(), nullptr, nullptr, &code);
    ASSERT_NE(image, nullptr) << code;
    KWIPART_ACCESS* access = static_cast<IMAGE_ACCESS*>(image)->Access(0);
    uint8_t sector[512];
    CURRENT_PART_SCOPE current(access);
    ASSERT_EQ(kwiPhyRead(3, sector, 1), KW_OK);
    PART_STORE* to = Create(Path("out.kwi"), 0);
    ASSERT_EQ(CopyPartition(to, image->GetPartStore(), 2, 0), KW_OK);
    ASSERT_EQ(to->Commit(), 0);
    to->Release();
    // partition 0 still reads its own bytes
    ASSERT_EQ(kwiPhyRead(7, sector, 1), KW_OK);
    EXPECT_EQ(std::memcmp(sector, a.raw.data() + 7 * 512, 512), 0);
    image->Release();
    PART_STORE* check = OpenRead(Path("out.kwi"));
    ExpectPart(check, 0, b, "Part1");
    check->Release();
}
