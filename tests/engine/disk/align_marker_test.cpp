// Completing an interrupted alignment shift: FAT16 and FAT32 volumes made by
// mkfs.fat with files from mtools, shifted part of the way by a helper of
// this test (chunks moved from the top down, the marker left below the last
// one moved), the entry set to 3Ch and the FATs marked as moving. fsck.fat
// and mtools check what the engine's recovery at enumeration leaves, also
// after a recovery cut off at each of its writes and run again.
#include "engine/core/rebootmgr.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/align_marker.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStart = 2048;
constexpr uint32_t kDistance = 48; // not the 64 an old rule stepped by
constexpr uint32_t kShift = 128;

class QuietUI : public UIInterface {
public:
    void ShowMessage(KWString, KWString, std::uint32_t) override { ++notices; }
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        ++questions;
        return UI_ANSWER_YES;
    }
    int questions = 0, notices = 0;
};

std::vector<uint8_t> MarkerSector(uint32_t lowest, uint32_t distance, uint32_t shift) {
    std::vector<uint8_t> s(512, 0);
    kwbytes::StoreLe32(&s[0], lowest);
    kwbytes::StoreLe32(&s[4], distance);
    kwbytes::StoreLe32(&s[8], shift);
    std::memcpy(&s[16], "KWALIGNMARKER", 13);
    return s;
}

struct Volume {
    const char* name;
    int fatBits;
    uint32_t sectors;
    uint8_t type;
    const char* mkfs;
};

const Volume kFat16{"FAT16", 16, 40000, 0x06, "-F 16"};
const Volume kFat32{"FAT32", 32, 72000, 0x0C, "-F 32 -s 1"};

class AlignShift : public ::testing::Test {
protected:
    void SetUp() override {
        gRebootManager = &reboots_;
        kwSetUIInterface(&ui_);
        bridge_.emplace();
    }
    void TearDown() override {
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
        bridge_.reset();
        kwSetUIInterface(nullptr);
        gRebootManager = nullptr;
        unsetenv("KW_DISKS");
    }

    // A volume with files, shifted but for the lowest `left` chunks; with
    // `marked`, its entry and FATs as the operation leaves them.
    void Make(const Volume& v, uint32_t left, bool marked = true) {
        volume_ = v;
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, (uint64_t{kStart} + v.sectors + 64) * 512);
        kwtest::MbrLayout layout;
        layout.primaries.push_back({v.type, kStart, v.sectors});
        kwtest::WriteMbrLayout(image_, layout);
        ASSERT_TRUE(kwtest::Run("mkfs.fat " + std::string(v.mkfs) + " --offset=2048 -n SHIFTED '" +
                                image_.string() + "' " + std::to_string(v.sectors / 2) +
                                " >/dev/null 2>&1"));
        std::string files;
        for (int i = 0; i < 6; ++i) {
            std::ofstream out(dir_ / ("f" + std::to_string(i) + ".bin"), std::ios::binary);
            for (int k = 0; k < 3000 * (i + 1); ++k)
                out << "line " << k << " of file " << i << '\n';
            files += " '" + (dir_ / ("f" + std::to_string(i) + ".bin")).string() + "'";
        }
        ASSERT_TRUE(kwtest::Run("mcopy -i " + Mtools() + files + " ::/"));
        hashes_ = Hashes();
        reserved_ = Reserved(0);
        ShiftAllBut(left);
        if (marked)
            MarkMoving();
    }
    std::string Mtools() const { return "'" + image_.string() + "@@1048576'"; }
    std::string Hashes() const {
        return kwtest::Capture("for f in f0 f1 f2 f3 f4 f5; do mtype -i " + Mtools() +
                               " ::/$f.bin | md5sum; done");
    }
    uint32_t Reserved(uint32_t relative) const {
        return kwbytes::LoadLe16(
            kwtest::ReadAt(image_, (uint64_t{kStart} + relative) * 512 + 14, 2).data());
    }
    uint32_t Lowest() const { return kStart + reserved_; }
    std::vector<uint8_t> Sectors(uint64_t sector, uint32_t n) const {
        return kwtest::ReadAt(image_, sector * 512, size_t{n} * 512);
    }
    void Put(uint64_t sector, const std::vector<uint8_t>& bytes) {
        kwtest::WriteAt(image_, sector * 512, bytes);
    }
    // The shift as an operation runs it, from the region's top down, cut
    // off with `left` chunks still to move.
    void ShiftAllBut(uint32_t left) {
        const uint64_t top = uint64_t{kStart} + volume_.sectors - kShift;
        uint64_t chunks = (top - Lowest() + kDistance - 1) / kDistance;
        ASSERT_GE(chunks, left);
        const std::vector<uint8_t> marker = MarkerSector(Lowest(), kDistance, kShift);
        uint64_t end = top;
        Put(end, marker);
        for (uint64_t moved = 0; moved < chunks - left; ++moved) {
            const uint64_t from = end - Lowest() > kDistance ? end - kDistance : Lowest();
            Put(from + kShift, Sectors(from, static_cast<uint32_t>(end - from)));
            Put(from, marker);
            end = from;
        }
    }
    // The first sector of each FAT copy where it lies now, marked as moving
    // with the partition's type kept, and the entry typed 3Ch.
    void MarkMoving() {
        const std::vector<uint8_t> boot = Sectors(kStart, 1);
        const uint32_t fats = boot[16];
        const uint32_t perFat =
            volume_.fatBits == 32 ? kwbytes::LoadLe32(&boot[36]) : kwbytes::LoadLe16(&boot[22]);
        const uint32_t marker = MarkerAt();
        for (uint32_t copy = 0; copy < fats; ++copy) {
            uint64_t s = Lowest() + uint64_t{copy} * perFat;
            s += s >= marker ? kShift : 0;
            std::vector<uint8_t> first = Sectors(s, 1);
            first[0] = FAT_MARK_MOVING;
            first[volume_.fatBits == 32 ? 4 : 2] = volume_.type;
            Put(s, first);
        }
        kwtest::WriteAt(image_, 446 + 4, {0x3C});
    }
    uint32_t MarkerAt() const {
        const std::vector<uint8_t> all = Sectors(kStart, volume_.sectors);
        for (uint32_t s = 1; s < volume_.sectors; ++s)
            if (std::memcmp(all.data() + size_t{s} * 512 + 16, "KWALIGNMARKER", 13) == 0)
                return kStart + s;
        return 0;
    }
    PARTITION_INFO* Open() {
        setenv("KW_DISKS", image_.c_str(), 1);
        EXPECT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kStart)
                return pi;
        return nullptr;
    }
    // Runs the recovery on the image with write number k failing (0: none);
    // *writes counts the writes it made.
    kwRet RecoverFailingWrite(uint64_t k, uint64_t* writes) {
        kw::plat::FaultySectorSource* faulty = nullptr;
        kwtest::ProvideFailingImage(image_, k, &faulty);
        EXPECT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        kwRet rc = kwCheckAlignMarker(d, kStart, volume_.sectors, nullptr);
        *writes = faulty->WritesSeen();
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
        return rc;
    }
    // fsck.fat's report on the partition, copied out of the image, and its
    // exit code last.
    std::string Fsck() const {
        const std::string part = (dir_ / "part.img").string();
        return kwtest::Capture("dd if='" + image_.string() + "' of='" + part +
                               "' bs=512 skip=2048 count=" + std::to_string(volume_.sectors) +
                               " conv=sparse status=none && fsck.fat -n '" + part +
                               "' 2>&1; echo exit $?");
    }
    // The volume as a finished shift leaves it.
    void ExpectShifted() {
        EXPECT_EQ(kwtest::SfdiskType(image_), volume_.type == 0x06 ? "6" : "c");
        EXPECT_EQ(Reserved(0), reserved_ + kShift);
        if (volume_.fatBits == 32) {
            EXPECT_EQ(Reserved(6), reserved_ + kShift); // the backup boot sector
        }
        EXPECT_EQ(MarkerAt(), 0u);
        EXPECT_EQ(Hashes(), hashes_);
        const std::string fsck = Fsck();
        EXPECT_NE(fsck.find("exit 0"), std::string::npos) << fsck;
    }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
    Volume volume_ = kFat16;
    std::string hashes_;
    uint32_t reserved_ = 0;
    REBOOT_MANAGER reboots_;
    QuietUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

TEST(AlignMarker, FieldsThatCannotBeFollowedAreRefused) {
    constexpr uint32_t start = 1000, count = 5000, reserved = 32;
    std::vector<uint8_t> boot(512, 0);
    kwbytes::StoreLe16(&boot[14], reserved);
    boot[510] = 0x55, boot[511] = 0xAA;
    const struct {
        const char* what;
        uint32_t at, lowest, distance, shift, reserved;
        bool sound;
    } cases[] = {
        {"a marker as a shift leaves it", 3000, start + reserved, 64, 128, reserved, true},
        {"the count raised already", 1100, start + reserved, 64, 128, reserved + 128, true},
        {"the last chunk below the region", start + reserved, start + reserved, 64, 128, reserved,
         true},
        {"no chunk length", 3000, start + reserved, 0, 128, reserved, false},
        {"a shift no longer than a chunk", 3000, start + reserved, 64, 64, reserved, false},
        {"a region in the boot sector", 3000, start, 64, 128, 0, false},
        {"a marker below its region", 1010, start + reserved, 64, 128, reserved, false},
        {"a chunk moved past the partition", start + count - 100, start + reserved, 64, 128,
         reserved, false},
        {"a region not after the reserved sectors", 3000, start + reserved + 8, 64, 128, reserved,
         false},
        {"a reserved count past 16 bits", 3000, start + 65000, 64, 1000, 65000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kwbytes::StoreLe16(&boot[14], static_cast<uint16_t>(c.reserved));
        ALIGN_MARKER m;
        ASSERT_TRUE(ALIGN_MARKER::Parse(MarkerSector(c.lowest, c.distance, c.shift), c.at, &m));
        EXPECT_EQ(m.Fault(start, c.reserved > 60000 ? 70000 : count, boot) == nullptr, c.sound);
    }
    ALIGN_MARKER m;
    EXPECT_FALSE(ALIGN_MARKER::Parse(std::vector<uint8_t>(512, 0), 1, &m));
}

TEST_F(AlignShift, AnInterruptedShiftIsCompletedAtStart) {
    for (const Volume& v : {kFat16, kFat32}) {
        SCOPED_TRACE(v.name);
        Make(v, 5);
        PARTITION_INFO* pi = Open();
        ASSERT_NE(pi, nullptr);
        EXPECT_EQ(pi->ucPartType, v.type);
        kwLibClose();
        ExpectShifted();
    }
}

TEST_F(AlignShift, AShiftWithOnlyTheBootSectorLeftIsCompleted) {
    Make(kFat16, 0); // every chunk moved; the marker lies at the region's start
    ASSERT_EQ(MarkerAt(), Lowest());
    ASSERT_NE(Open(), nullptr);
    kwLibClose();
    ExpectShifted();
}

TEST_F(AlignShift, AMarkerThatCannotBeFollowedLeavesTheDiskAsItIs) {
    Make(kFat16, 3);
    const uint32_t at = MarkerAt();
    Put(at, MarkerSector(Lowest(), kDistance, kDistance)); // chunks would overwrite themselves
    const std::vector<uint8_t> before = Sectors(0, kStart + kFat16.sectors);
    setenv("KW_DISKS", image_.c_str(), 1);
    EXPECT_EQ(kwLibOpen(), KW_OK); // the disk is listed as holding a bad table
    kwLibClose();
    EXPECT_TRUE(Sectors(0, kStart + kFat16.sectors) == before);
    EXPECT_EQ(ui_.questions, 1);
}

// Cut off at every write, then run again: the shift completes each time.
TEST_F(AlignShift, AShiftCutAtAnyWriteIsCompletedByTheNextRun) {
    for (const Volume& v : {kFat16, kFat32}) {
        Make(v, 3, false);
        const std::vector<uint8_t> interrupted = Sectors(0, kStart + v.sectors + 64);
        uint64_t writes = 0;
        ASSERT_EQ(RecoverFailingWrite(0, &writes), KW_OK);
        ExpectShifted();
        ASSERT_GT(writes, 7u); // three chunks and their markers, the boot sector, the markers
        for (uint64_t k = 1; k <= writes; ++k) {
            SCOPED_TRACE(std::string(v.name) + ", write " + std::to_string(k));
            Put(0, interrupted);
            uint64_t seen = 0;
            ASSERT_NE(RecoverFailingWrite(k, &seen), KW_OK);
            ASSERT_EQ(RecoverFailingWrite(0, &seen), KW_OK);
            ExpectShifted();
        }
    }
}

} // namespace
