// BAD_SECT_LIST::TestSects over a disk whose chosen sectors fail to read.
#include "engine/core/cmdline.h"
#include "engine/core/progress.h"
#include "engine/core/sectlist.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kPartStart = 63;
constexpr std::uint32_t kPartSectors = 5000;

// An MBR with one partition of a type nothing reads, then zeros.
std::string diskBytes() {
    std::string bytes(static_cast<std::size_t>(kPartStart + kPartSectors) * 512, '\0');
    unsigned char* e = reinterpret_cast<unsigned char*>(&bytes[446]);
    e[1] = 1; // CHS start 0/1/1
    e[2] = 1;
    e[4] = 0x7F; // partition type
    e[5] = 0xFE; // CHS end (not used for the extent)
    e[6] = 0xFF;
    e[7] = 0xFF;
    kwbytes::StoreLe32(e + 8, kPartStart);
    kwbytes::StoreLe32(e + 12, kPartSectors);
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    return bytes;
}

int gProgressCalls = 0;
std::uint32_t gAnswer = 0;

std::uint32_t countCall(std::uint32_t message, std::uint8_t, std::uint32_t, std::uint32_t,
                        std::uint32_t) {
    ++gProgressCalls;
    return message == PROGRESS_MSG_POLL ? gAnswer : 0;
}

// One faulty disk with one partition open through a handle, and a progress
// sink that counts what reaches it.
class BadSectTest : public ::testing::Test {
protected:
    void SetUp() override {
        kw::plat::SetDiskProviderForTests([this] {
            kw::plat::DiskScan scan;
            auto disk = std::make_unique<kw::plat::FaultySectorSource>(
                std::make_unique<kw::plat::MemorySectorSource>("bad", diskBytes(), false));
            faulty_ = disk.get();
            scan.disks.push_back(std::move(disk));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* disk = nullptr;
        ASSERT_EQ(kwGetDiskList(&disk), KW_OK);
        ASSERT_NE(disk, nullptr);
        PARTITION_INFO* pi = disk->firstPi;
        while (pi != nullptr && pi->ulStartSect != kPartStart)
            pi = pi->next;
        ASSERT_NE(pi, nullptr);
        ASSERT_EQ(kwLogOpen(pi, &handle_), KW_OK);
        gProgressCalls = 0;
        gAnswer = 0;
        PROGRESS_INFO::MakeCurrent(&sink_);
        sink_.SetCallback(countCall);
        root_ = new Progress;
    }
    void TearDown() override {
        delete root_;
        PROGRESS_INFO::MakeCurrent(nullptr);
        kwLogClose(handle_);
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    void failRelative(std::uint32_t sector) { faulty_->FailReadAt(kPartStart + sector); }

    kw::plat::FaultySectorSource* faulty_ = nullptr;
    kwhandle handle_ = 0;
    PROGRESS_INFO sink_;
    Progress* root_ = nullptr;
};

std::vector<std::uint32_t> entries(const SECT_LIST& l) {
    return std::vector<std::uint32_t>(l.GetArray(), l.GetArray() + l.GetCount());
}

TEST_F(BadSectTest, RecordsTheUnreadableSectorAndGoesOn) {
    failRelative(700);
    BAD_SECT_LIST list;
    const auto readsBefore = faulty_->ReadsSeen();
    EXPECT_EQ(list.TestSects(handle_, 0, 2000, 1, 10), KW_OK);
    EXPECT_EQ(entries(list), std::vector<std::uint32_t>{700});
    // Four chunk reads (630, 630, 630, 110); only the failed one is read
    // again, sector by sector.
    EXPECT_EQ(faulty_->ReadsSeen() - readsBefore, 4u + 630u);
    BAD_SECT_LIST none;
    EXPECT_EQ(none.TestSects(handle_, 1000, 0, 1, 10), KW_OK);
    EXPECT_EQ(none.TestSects(handle_, 0, 600, 1, 10), KW_OK);
    EXPECT_EQ(none.GetCount(), 0u);
}

TEST_F(BadSectTest, BudgetOfBadSectors) {
    for (std::uint32_t s : {10u, 20u, 640u, 1500u})
        failRelative(s);
    BAD_SECT_LIST three;
    EXPECT_EQ(three.TestSects(handle_, 0, 2000, 1, 3), ERR_TOO_MANY_BAD_SECTORS);
    EXPECT_EQ(entries(three), (std::vector<std::uint32_t>{10, 20, 640}));
    BAD_SECT_LIST zero;
    EXPECT_EQ(zero.TestSects(handle_, 0, 2000, 1, 0), ERR_TOO_MANY_BAD_SECTORS);
    EXPECT_EQ(entries(zero), std::vector<std::uint32_t>{10});
    BAD_SECT_LIST plenty;
    EXPECT_EQ(plenty.TestSects(handle_, 5, 2000, 1, 100), KW_OK);
    EXPECT_EQ(entries(plenty), (std::vector<std::uint32_t>{10, 20, 640, 1500}));
}

TEST_F(BadSectTest, RunPastThePartitionStops) {
    BAD_SECT_LIST list;
    EXPECT_EQ(list.TestSects(handle_, kPartSectors - 100, 200, 1, 10), ERR_OUT_OF_RANGE);
    EXPECT_EQ(list.GetCount(), 0u);
}

TEST_F(BadSectTest, ProgressOnlyAboveAThousandSectors) {
    BAD_SECT_LIST list;
    const int before = gProgressCalls;
    EXPECT_EQ(list.TestSects(handle_, 0, 1000, 1, 10), KW_OK);
    EXPECT_EQ(gProgressCalls, before);
    EXPECT_EQ(list.TestSects(handle_, 0, 1001, 1, 10), KW_OK);
    EXPECT_GT(gProgressCalls, before);
    EXPECT_EQ(root_->GetChild(), nullptr); // the level is gone again
}

TEST_F(BadSectTest, CancelThroughProgress) {
    gAnswer = PROGRESS_ANSWER_CANCEL;
    Progress::SetClock([] {
        static std::uint32_t now = 0;
        return now += 5; // every poll is due
    });
    BAD_SECT_LIST list;
    EXPECT_EQ(list.TestSects(handle_, 0, 4000, 1, 10), ERR_USER_CANCEL);
    Progress::SetClock(nullptr);
}

} // namespace
