// The LILO fix-up over hand-made sectors: addresses one by one with their
// expected bytes, and a memory disk whose boot loader (descriptor table,
// map chains, map sector, address lists) pointed into a partition's old
// place before the partition moved.
#include "engine/disk/lilo_fixup.h"

#include "engine/disk/disk_probes.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/support/mbr_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Address = std::vector<uint8_t>;

Address Linear(uint32_t sector, uint8_t count, uint8_t device = 0) {
    return {static_cast<uint8_t>(sector), static_cast<uint8_t>(sector >> 8),
            static_cast<uint8_t>(0xC0 | device), static_cast<uint8_t>(sector >> 16), count};
}

Address Chs(uint32_t cylinder, uint32_t head, uint32_t sector, uint8_t count) {
    return {static_cast<uint8_t>(sector | (cylinder >> 8) << 6), static_cast<uint8_t>(cylinder),
            0x80, static_cast<uint8_t>(head), count};
}

TEST(LiloAddress, OnlyAddressesOfTheOldRangeOnTheMovedDiskAreRewritten) {
    DISK_RECORD disk;
    disk.chsHeads = 255;
    disk.chsSectorsPerTrack = 63;
    LILO_MOVE move;
    move.disk = &disk;
    move.oldStart = 1000, move.oldEnd = 2000, move.newStart = 5000;
    LILO_MOVE far = move;
    far.newStart = 0xFFFF00;
    LILO_MOVE beyondChs = move;
    beyondChs.newStart = 1024u * 255 * 63;
    const struct {
        const char* what;
        const LILO_MOVE* move;
        Address before, after;
        LILO_RELOCATION result;
    } cases[] = {
        {"linear, in the range", &move, Linear(1500, 3), Linear(5500, 3),
         LILO_RELOCATION::Rewritten},
        {"linear, at the old start", &move, Linear(1000, 1), Linear(5000, 1),
         LILO_RELOCATION::Rewritten},
        {"linear, at the old end", &move, Linear(2000, 1), Linear(2000, 1),
         LILO_RELOCATION::Unchanged},
        {"linear, another disk", &move, Linear(1500, 1, 1), Linear(1500, 1, 1),
         LILO_RELOCATION::Unchanged},
        {"a floppy",
         &move,
         {0xDC, 0x05, 0x40, 0, 1},
         {0xDC, 0x05, 0x40, 0, 1},
         LILO_RELOCATION::Unchanged},
        // 1500 = (0 x 255 + 23) x 63 + 52 - 1; 5500 = (0 x 255 + 87) x 63 + 20 - 1
        {"CHS, in the range", &move, Chs(0, 23, 52, 2), Chs(0, 87, 20, 2),
         LILO_RELOCATION::Rewritten},
        {"linear, moved past 24 bits", &far, Linear(1500, 1), Linear(1500, 1),
         LILO_RELOCATION::TooFar},
        {"CHS, moved past cylinder 1023", &beyondChs, Chs(0, 23, 52, 1), Chs(0, 23, 52, 1),
         LILO_RELOCATION::TooFar},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Address a = c.before;
        EXPECT_EQ(RelocateLiloAddress(*c.move, a.data()), c.result);
        EXPECT_EQ(a, c.after);
    }
}

constexpr uint32_t kPart = 2048;    // where the partition is now
constexpr uint32_t kOld = 10000;    // where it was
constexpr uint32_t kSectors = 4096; // its length
constexpr uint32_t kDiskSectors = kPart + kSectors + 64;

// A disk with one ext2 partition and, in the partition's own sectors, the
// loader's files; `boot` chooses the loader's boot sector (disk or
// partition) and its layout.
class LiloDisk : public ::testing::Test {
protected:
    void TearDown() override {
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    void Put(uint32_t sector, uint32_t offset, const std::vector<uint8_t>& bytes) {
        std::memcpy(&disk_[size_t{sector} * 512 + offset], bytes.data(), bytes.size());
    }
    std::vector<uint8_t> Get(uint32_t sector, uint32_t offset, uint32_t length) const {
        const char* p = &Disk()[size_t{sector} * 512 + offset];
        return {p, p + length};
    }
    const std::string& Disk() const { return memory_ != nullptr ? memory_->Bytes() : disk_; }

    // The loader's tables, addressed at the partition's old place (`at` is
    // the partition-relative offset) and stored at its new one.
    void Build() {
        disk_.assign(size_t{kDiskSectors} * 512, '\0');
        std::vector<uint8_t> entry = kwtest::MakeEntry(0x83, kPart, kSectors, kPart);
        Put(0, 446, entry);
        Put(0, 510, {0x55, 0xAA});
        Put(kPart + 2, 56, {0x53, 0xEF}); // the ext2 superblock's magic
        // Descriptor table at 100-101: one descriptor with both addresses,
        // each leading to a map chain.
        std::vector<uint8_t> table(1024, 0);
        table[2] = 'L';
        kwbytes::StoreLe32(&table[2 + 32], 1);
        std::memcpy(&table[2 + 36], Linear(kOld + 200, 1).data(), 5);
        std::memcpy(&table[2 + 41], Linear(kOld + 300, 1).data(), 5);
        Put(kPart + 100, 0, table);
        // Chain at 200: a kernel run, an address on another disk, the end of
        // the list, and a link to a second map sector at 210.
        Put(kPart + 200, 0, Linear(kOld + 400, 2));
        Put(kPart + 200, 5, Linear(kOld + 400, 2, 1));
        Put(kPart + 200, 505, Linear(kOld + 210, 1));
        Put(kPart + 210, 0, Linear(kOld + 410, 4));
        Put(kPart + 300, 0, Linear(kOld + 420, 1)); // chain at 300 ends there
        Put(kPart + 700, 0, Linear(kOld + 800, 1)); // the map sector at 42
    }
    // The loader's code in the disk's sector 0, before the partition table.
    void PutDiskBoot(const std::vector<uint8_t>& boot) {
        Put(0, 0, std::vector<uint8_t>(boot.begin(), boot.begin() + 446));
    }
    // A first-stage boot sector in the newer layout ("LILO" at 6).
    // With `tables`, it leads to the descriptor table and the map sector.
    std::vector<uint8_t> NewerBoot(bool tables = true) const {
        std::vector<uint8_t> b(512, 0);
        std::memcpy(&b[6], "LILO", 4);
        b[10] = 1;
        if (tables) {
            std::memcpy(&b[24], Linear(kOld + 100, 1).data(), 5);
            std::memcpy(&b[29], Linear(kOld + 101, 1).data(), 5);
            std::memcpy(&b[42], Linear(kOld + 700, 1).data(), 5);
        }
        std::memcpy(&b[34], Linear(kOld + 50, 1).data(), 5);
        std::memcpy(&b[52], Linear(kOld + 900, 1).data(), 5);
        std::memcpy(&b[57], Linear(kOld + kSectors, 1).data(), 5); // just past the old end
        return b;
    }
    void Open(uint64_t failRead = 0) {
        kw::plat::SetDiskProviderForTests([this, failRead] {
            kw::plat::DiskScan scan;
            auto mem = std::make_unique<kw::plat::MemorySectorSource>("mem", disk_);
            memory_ = mem.get();
            auto f = std::make_unique<kw::plat::FaultySectorSource>(std::move(mem));
            if (failRead != 0)
                f->FailReadAt(failRead);
            scan.disks.push_back(std::move(f));
            return scan;
        });
        ASSERT_EQ(kwLibOpen(), KW_OK);
    }
    PARTITION_INFO* Moved() const {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kPart)
                return pi;
        return nullptr;
    }
    // The table, after: every word XORed with the checksum word gives 0ABCDh.
    static uint16_t TableXor(const std::vector<uint8_t>& t) {
        uint16_t x = 0;
        for (size_t i = 0; i < t.size(); i += 2)
            x ^= kwbytes::LoadLe16(&t[i]);
        return x;
    }

    std::string disk_;
    kw::plat::MemorySectorSource* memory_ = nullptr;
};

TEST_F(LiloDisk, EveryAddressIntoTheOldPlaceFollowsThePartition) {
    Build();
    PutDiskBoot(NewerBoot());
    const std::vector<uint8_t> table = Get(kPart + 100, 0, 1024);
    Open();
    ASSERT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kOld, kPart), KW_OK);
    EXPECT_EQ(Get(0, 24, 5), Linear(kPart + 100, 1));
    EXPECT_EQ(Get(0, 29, 5), Linear(kPart + 101, 1));
    EXPECT_EQ(Get(0, 34, 5), Linear(kPart + 50, 1));
    EXPECT_EQ(Get(0, 42, 5), Linear(kPart + 700, 1));
    EXPECT_EQ(Get(0, 52, 5), Linear(kPart + 900, 1));
    EXPECT_EQ(Get(0, 57, 5), Linear(kOld + kSectors, 1)); // outside the old range
    EXPECT_EQ(Get(0, 446, 16), kwtest::MakeEntry(0x83, kPart, kSectors, kPart));
    std::vector<uint8_t> after = Get(kPart + 100, 0, 1024);
    EXPECT_EQ(Address(&after[2 + 36], &after[2 + 41]), Linear(kPart + 200, 1));
    EXPECT_EQ(Address(&after[2 + 41], &after[2 + 46]), Linear(kPart + 300, 1));
    EXPECT_EQ(TableXor(after), 0xABCD);
    EXPECT_NE(after, table);
    EXPECT_EQ(Get(kPart + 200, 0, 5), Linear(kPart + 400, 2));
    EXPECT_EQ(Get(kPart + 200, 5, 5), Linear(kOld + 400, 2, 1)); // another disk's
    EXPECT_EQ(Get(kPart + 200, 505, 5), Linear(kPart + 210, 1)); // the chain's link
    EXPECT_EQ(Get(kPart + 210, 0, 5), Linear(kPart + 410, 4));
    EXPECT_EQ(Get(kPart + 300, 0, 5), Linear(kPart + 420, 1));
    EXPECT_EQ(Get(kPart + 700, 0, 5), Linear(kPart + 800, 1));

    // A second run finds nothing left in the old range.
    const std::string once = Disk();
    EXPECT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kOld, kPart), KW_OK);
    EXPECT_TRUE(Disk() == once);
}

TEST_F(LiloDisk, OtherOperationsAndSectorsAreLeftAlone) {
    Build();
    PutDiskBoot(NewerBoot());
    std::vector<uint8_t> second = NewerBoot();
    second[10] = 2; // a second stage
    Put(kPart, 0, second);
    Open();
    const std::string before = Disk();
    EXPECT_EQ(FixLiloAfterMove(9, Moved(), kOld, kPart), KW_OK);
    EXPECT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kPart, kPart), KW_OK);
    EXPECT_TRUE(Disk() == before);
    // Many runs over a partition that holds no first stage leave no handle
    // open: every slot of the table can still be had.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), 90000, 80000), KW_OK);
    kwhandle h[KW_MAX_HANDLES];
    for (kwhandle& one : h)
        EXPECT_EQ(kwLogOpen(Moved(), &one), KW_OK);
    for (kwhandle one : h)
        kwLogClose(one);
}

TEST_F(LiloDisk, AnOlderLayoutIsWrittenBackInTheOlderLayout) {
    Build();
    // The same loader in the older layout, in the partition's own sector 0.
    std::vector<uint8_t> newer = NewerBoot();
    std::vector<uint8_t> older(512, 0x33); // bytes the layout does not map stay
    auto put = [&](uint32_t at, uint32_t from, uint32_t n) {
        std::memcpy(&older[at], &newer[from], n);
    };
    put(0, 0, 2), put(2, 6, 4), put(6, 10, 2), put(8, 12, 2), put(10, 14, 2), put(12, 16, 2);
    put(14, 18, 3), put(20, 24, 15), put(35, 39, 2), put(38, 42, 5), put(43, 52, 50);
    Put(kPart, 0, older);
    Open();
    ASSERT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kOld, kPart), KW_OK);
    std::vector<uint8_t> expected = older;
    std::memcpy(&expected[20], Linear(kPart + 100, 1).data(), 5);
    std::memcpy(&expected[25], Linear(kPart + 101, 1).data(), 5);
    std::memcpy(&expected[30], Linear(kPart + 50, 1).data(), 5);
    std::memcpy(&expected[38], Linear(kPart + 700, 1).data(), 5);
    std::memcpy(&expected[43], Linear(kPart + 900, 1).data(), 5);
    EXPECT_EQ(Get(kPart, 0, 512), expected);
}

// A read failure of the disk's loader is reported though the partition's
// loader, examined after it, is fixed; an address that would not fit leaves
// its loader untouched.
TEST_F(LiloDisk, TheFirstFailureWinsAndAFailedLoaderIsNotWritten) {
    Build();
    std::vector<uint8_t> diskBoot = NewerBoot();
    PutDiskBoot(diskBoot);
    Put(kPart, 0, NewerBoot(false));
    Open(kPart + 100); // the descriptor table cannot be read
    const kwRet rc = FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kOld, kPart);
    EXPECT_NE(rc, KW_OK);
    EXPECT_NE(rc, ERR_UNKNOWN_FS_INTERNAL);
    EXPECT_EQ(Get(0, 0, 446), Address(diskBoot.begin(), diskBoot.begin() + 446));
    EXPECT_EQ(Get(kPart, 34, 5), Linear(kPart + 50, 1));
    EXPECT_EQ(Get(kPart, 52, 5), Linear(kPart + 900, 1));
    kwLibClose();

    Build();
    Put(kPart, 0, NewerBoot(false));
    Open();
    const std::string before = Disk();
    // kOld + 50 would fit below 2^24, kOld + 900 would not.
    EXPECT_EQ(FixLiloAfterMove(LILO_OPERATION_MOVED, Moved(), kOld, 0xFFFFFF - 100),
              ERR_OUT_OF_RANGE);
    EXPECT_TRUE(Disk() == before);
}

// A finished change reported to the system takes the loader along only when
// it moved the partition: a resize leaves every address alone.
TEST_F(LiloDisk, AReportedMoveTakesTheLoaderAlong) {
    Build();
    PutDiskBoot(NewerBoot());
    Open();
    const std::string before = Disk();
    uint32_t changed = 7;
    EXPECT_EQ(NotifyPartitionResized(9, Moved(), &changed, kOld, kPart), KW_OK);
    EXPECT_TRUE(Disk() == before);
    EXPECT_EQ(NotifyPartitionResized(LILO_OPERATION_MOVED, Moved(), &changed, kOld, kPart), KW_OK);
    EXPECT_EQ(changed, 0u); // no drive letter
    EXPECT_EQ(Get(0, 24, 5), Linear(kPart + 100, 1));
    EXPECT_EQ(Get(0, 52, 5), Linear(kPart + 900, 1));
    EXPECT_EQ(Get(kPart + 210, 0, 5), Linear(kPart + 410, 4));
}

} // namespace
