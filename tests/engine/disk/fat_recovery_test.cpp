// Recovery of an interrupted FAT operation at enumeration: a FAT16 volume made
// by mkfs.fat with files from mtools, its entry set to type 3Ch and its FATs
// marked as the engine leaves them mid-operation; fsck.fat and mtools check
// what the recovery leaves. The user answers through the program's bridge.
#include "engine/core/rebootmgr.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>

using kwtest::kCyl;

namespace {

constexpr uint32_t kStart = 2048;
constexpr uint32_t kSectors = 40000;

// Answers every question with one answer and counts what it was asked.
class AnsweringUI : public UIInterface {
public:
    void ShowMessage(KWString, KWString, std::uint32_t) override { ++notices; }
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t buttons) override {
        ++questions;
        lastButtons = buttons;
        return answer;
    }
    std::uint32_t answer = UI_ANSWER_YES;
    int questions = 0, notices = 0;
    std::uint32_t lastButtons = 0;
};

class FatRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{4} * kCyl * 512);
        ASSERT_TRUE(kwtest::Run("printf 'label: dos\\nstart=2048, size=40000, type=6\\n' | "
                                "sfdisk -q '" +
                                image_.string() + "' >/dev/null 2>&1"));
        ASSERT_TRUE(kwtest::Run("mkfs.fat -F 16 --offset=2048 -n RECOVER '" + image_.string() +
                                "' 20000 >/dev/null 2>&1"));
        std::ofstream(dir_ / "a.txt") << "first file\n";
        std::ofstream(dir_ / "b.txt") << "second file\n";
        ASSERT_TRUE(kwtest::Run("mcopy -i '" + image_.string() + "@@1048576' '" +
                                (dir_ / "a.txt").string() + "' '" + (dir_ / "b.txt").string() +
                                "' ::/"));
        std::vector<uint8_t> boot = kwtest::ReadAt(image_, uint64_t{kStart} * 512, 512);
        ASSERT_TRUE(FAT_RECOVERY_LAYOUT::parse(boot, kStart, &layout_));
        ASSERT_EQ(layout_.fatBits, 16);
        ASSERT_EQ(layout_.fatCount, 2u);
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
    // Marks FAT copy 0 and sets the entry to 3Ch, as an operation does.
    void Interrupt(uint8_t marks) {
        Put(Fat(0), {marks, 0xFF, 0x06}); // FAT16 keeps the type in byte 2
        Put(446 + 4, {0x3C});
    }
    void Put(uint64_t at, const std::vector<uint8_t>& bytes) { kwtest::WriteAt(image_, at, bytes); }
    uint64_t Fat(uint32_t copy) const {
        return (uint64_t{layout_.firstFat} + copy * layout_.sectorsPerFat) * 512;
    }
    // Moves the root directory into the volume's last clusters, as an
    // operation does, and gives back the root area as it was.
    std::vector<uint8_t> MoveRootIntoChain() {
        uint32_t rootSectors = layout_.rootEntries * 32 / 512;
        uint32_t spc = layout_.sectorsPerCluster;
        uint32_t n = (rootSectors + spc - 1) / spc;
        uint32_t first = layout_.clusterCount + 2 - n;
        std::vector<uint8_t> root =
            kwtest::ReadAt(image_, uint64_t{layout_.rootStart} * 512, size_t{rootSectors} * 512);
        Put((uint64_t{layout_.dataStart} + uint64_t{first - 2} * spc) * 512, root);
        for (uint32_t copy = 0; copy < 2; ++copy)
            for (uint32_t i = 0; i < n; ++i) {
                std::vector<uint8_t> link(2);
                kwbytes::StoreLe16(link.data(), i + 1 < n ? first + i + 1 : 0xFFFF);
                Put(Fat(copy) + uint64_t{first + i} * 2, link);
            }
        std::vector<uint8_t> marker(size_t{rootSectors} * 512, 0);
        std::memcpy(marker.data(), "DYN_ROOT", 8);
        kwbytes::StoreLe16(marker.data() + 8, static_cast<uint16_t>(first));
        Put(uint64_t{layout_.rootStart} * 512, marker);
        return root;
    }
    std::vector<uint8_t> FatBytes(uint32_t copy) const {
        return kwtest::ReadAt(image_, Fat(copy), size_t{layout_.sectorsPerFat} * 512);
    }
    PARTITION_INFO* Open() {
        setenv("KW_DISKS", image_.c_str(), 1);
        EXPECT_EQ(kwLibOpen(), KW_OK);
        return Partition();
    }
    // Opens the image behind a fault injector that fails write number k (0:
    // none); *writes then counts the writes the library made.
    void OpenFailingWrite(uint64_t k, uint64_t* writes) {
        kw::plat::FaultySectorSource* faulty = nullptr;
        kwtest::ProvideFailingImage(image_, k, &faulty);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        *writes = faulty->WritesSeen();
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    PARTITION_INFO* Partition() {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kStart)
                return pi;
        return nullptr;
    }
    // fsck.fat's verdict on the partition, copied out of the image.
    bool FsckClean() const {
        std::string part = (dir_ / "part.img").string();
        return kwtest::Run(
            "dd if='" + image_.string() + "' of='" + part +
            "' bs=1M skip=1048576 count=20480000 iflag=skip_bytes,count_bytes conv=sparse "
            "status=none && fsck.fat -n '" +
            part + "' >/dev/null 2>&1");
    }
    std::string Listing() const {
        std::string text =
            kwtest::Capture("mdir -b -i '" + image_.string() + "@@1048576' ::/ 2>/dev/null");
        for (char& c : text)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    }
    std::string SfdiskType() const { return kwtest::SfdiskType(image_); }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
    FAT_RECOVERY_LAYOUT layout_;
    REBOOT_MANAGER reboots_;
    AnsweringUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

} // namespace

TEST_F(FatRecovery, CopiesOutOfStepAreBroughtInStepAndTheTypeComesBack) {
    Interrupt(FAT_MARK_COPIES_OUT_OF_STEP);
    Put(Fat(1) + 512, std::vector<uint8_t>(64, 0x5A)); // copy 1 was half written
    PARTITION_INFO* pi = Open();
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->ucPartType, 0x06);
    EXPECT_EQ(pi->ucFsKind, FS_KIND_FAT);
    EXPECT_STREQ(pi->volumeLabel, "RECOVER");
    EXPECT_EQ(SfdiskType(), "6");
    EXPECT_EQ(FatBytes(0), FatBytes(1));
    std::vector<uint8_t> start = kwtest::ReadAt(image_, Fat(0), 4);
    EXPECT_EQ(start, (std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(FsckClean());
    EXPECT_NE(Listing().find("A.TXT"), std::string::npos) << Listing();
    EXPECT_TRUE(reboots_.HasChanges()); // the running system must restart
}

TEST_F(FatRecovery, ARootDirectoryLeftInAClusterChainGoesBackToItsPlace) {
    std::vector<uint8_t> root = MoveRootIntoChain();
    Interrupt(FAT_MARK_ROOT_IN_CHAIN);

    PARTITION_INFO* pi = Open();
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->ucPartType, 0x06);
    EXPECT_EQ(kwtest::ReadAt(image_, uint64_t{layout_.rootStart} * 512, root.size()), root);
    std::string listing = Listing();
    EXPECT_NE(listing.find("A.TXT"), std::string::npos) << listing;
    EXPECT_NE(listing.find("B.TXT"), std::string::npos) << listing;
    EXPECT_TRUE(FsckClean()); // the chain's clusters are free again
    EXPECT_EQ(FatBytes(0), FatBytes(1));
}

TEST_F(FatRecovery, WhatCannotBeRecoveredOrIsNotAgreedToIsLeftAsItIs) {
    constexpr uint32_t kNobody = 99; // no user interface attached
    const struct {
        const char* what;
        uint8_t marks;
        uint8_t savedType;
        uint32_t answer;
    } cases[] = {
        {"the saved type is no FAT type", FAT_MARK_COPIES_OUT_OF_STEP, 0x83, UI_ANSWER_YES},
        {"no marks, and the user answers No to the type", 0, 0x06, UI_ANSWER_NO},
        {"the user answers No", FAT_MARK_COPIES_OUT_OF_STEP, 0x06, UI_ANSWER_NO},
        {"the user cancels", FAT_MARK_ROOT_IN_CHAIN, 0x06, UI_ANSWER_CANCEL},
        {"the box is closed without a button", FAT_MARK_COPIES_OUT_OF_STEP, 0x06, UI_ANSWER_NONE},
        {"nobody can be asked", FAT_MARK_COPIES_OUT_OF_STEP, 0x06, kNobody},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Put(Fat(0), {c.marks == 0 ? uint8_t{0xF8} : c.marks, 0xFF, c.savedType});
        Put(446 + 4, {0x3C});
        ui_.answer = c.answer;
        if (c.answer == kNobody)
            bridge_.reset();
        std::vector<uint8_t> before = kwtest::ReadAt(image_, 0, size_t{kStart + kSectors} * 512);
        PARTITION_INFO* pi = Open();
        ASSERT_NE(pi, nullptr);
        EXPECT_EQ(pi->ucPartType, 0x3C);
        EXPECT_EQ(pi->ucFsKind, FS_KIND_TYPE_3C);
        EXPECT_EQ(kwtest::ReadAt(image_, 0, before.size()), before);
        EXPECT_FALSE(reboots_.HasChanges());
        kwLibClose();
    }
    EXPECT_EQ(ui_.questions, 4); // asked only when the recovery could go ahead
    EXPECT_EQ(ui_.lastButtons, UI_BUTTON_YES_NO);
    EXPECT_EQ(ui_.notices, 0);
}

// A whole volume under a 3Ch entry, its FATs without marks (cut just before
// the type was written back): with consent the entry gets the type of the
// volume's kind and size; the data is not touched.
TEST_F(FatRecovery, AWholeVolumeUnderABare3ChEntryGetsTheTypeOfItsKind) {
    Put(446 + 4, {0x3C});
    std::vector<uint8_t> volume =
        kwtest::ReadAt(image_, uint64_t{kStart} * 512, size_t{kSectors} * 512);
    PARTITION_INFO* pi = Open();
    ASSERT_NE(pi, nullptr);
    EXPECT_EQ(pi->ucPartType, 0x04); // FAT16 whose sector count fits 16 bits
    EXPECT_EQ(pi->ucFsKind, FS_KIND_FAT);
    EXPECT_EQ(SfdiskType(), "4");
    EXPECT_EQ(kwtest::ReadAt(image_, uint64_t{kStart} * 512, volume.size()), volume);
    EXPECT_TRUE(FsckClean());
    EXPECT_NE(Listing().find("B.TXT"), std::string::npos) << Listing();
    EXPECT_EQ(ui_.questions, 1);
    EXPECT_TRUE(reboots_.HasChanges());
}

// A boot sector whose FAT is too small for the volume's clusters: a chain
// followed through it would reach past the FAT, so nothing is written and
// the disk is listed as holding a bad table.
TEST_F(FatRecovery, AFatTooSmallForItsClustersIsRefusedBeforeAnyWrite) {
    MoveRootIntoChain(); // its chain lies in the volume's last clusters
    Interrupt(FAT_MARK_COPIES_OUT_OF_STEP | FAT_MARK_ROOT_IN_CHAIN);
    Put(uint64_t{kStart} * 512 + 22, {8, 0}); // sectors per FAT
    std::vector<uint8_t> before = kwtest::ReadAt(image_, 0, size_t{kStart + kSectors} * 512);
    EXPECT_EQ(Open(), nullptr);
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(d->firstPi, nullptr);
    EXPECT_EQ(d->firstPi->ucFsKind, FS_KIND_RESERVED_DISK);
    EXPECT_EQ(d->firstPi->ulTableSect, ERR_FAT_BAD_GEOMETRY);
    EXPECT_EQ(kwtest::ReadAt(image_, 0, before.size()), before);
    EXPECT_EQ(ui_.questions, 0);
}

// The command-line tool attaches no user interface: listing a disk whose
// partition is marked leaves every byte of the image as it was.
TEST_F(FatRecovery, TheCommandLineToolWritesNothing) {
    Interrupt(FAT_MARK_COPIES_OUT_OF_STEP);
    Put(Fat(1) + 512, std::vector<uint8_t>(64, 0x5A));
    std::vector<uint8_t> before = kwtest::ReadAt(image_, 0, size_t{kStart + kSectors} * 512);
    std::string listing =
        kwtest::Capture(std::string(KW_KWFS) + " parts disk:'" + image_.string() + "'");
    EXPECT_NE(listing.find("\"0x3c\""), std::string::npos) << listing;
    EXPECT_EQ(kwtest::ReadAt(image_, 0, before.size()), before);
}

// A recovery cut off at any of its writes (the write fails, and nothing
// after it reaches the disk) is finished by the next one. A cut at the last
// write loses the saved type (the FATs' first bytes are normal again before
// the entry loses its 3Ch): the next run gives the whole volume the type of
// its kind and size, 04h for this small FAT16 volume.
TEST_F(FatRecovery, ARecoveryCutOffAtAnyWriteIsFinishedByTheNext) {
    std::vector<uint8_t> root = MoveRootIntoChain();
    Interrupt(FAT_MARK_COPIES_OUT_OF_STEP | FAT_MARK_ROOT_IN_CHAIN);
    Put(Fat(1) + 512, std::vector<uint8_t>(64, 0x5A));
    std::string interrupted = (dir_ / "interrupted.img").string();
    ASSERT_TRUE(kwtest::Run("cp --sparse=always '" + image_.string() + "' '" + interrupted + "'"));
    uint64_t writes = 0;
    OpenFailingWrite(0, &writes);
    ASSERT_EQ(SfdiskType(), "6");
    ASSERT_TRUE(FsckClean());
    for (uint64_t k = 1; k <= writes; ++k) {
        SCOPED_TRACE("cut off at write " + std::to_string(k) + " of " + std::to_string(writes));
        ASSERT_TRUE(
            kwtest::Run("cp --sparse=always '" + interrupted + "' '" + image_.string() + "'"));
        uint64_t seen = 0;
        OpenFailingWrite(k, &seen);
        ASSERT_EQ(seen, k);
        PARTITION_INFO* pi = Open();
        ASSERT_NE(pi, nullptr);
        uint8_t type = k == writes ? 0x04 : 0x06;
        EXPECT_EQ(pi->ucPartType, type);
        EXPECT_EQ(kwtest::ReadAt(image_, 446 + 4, 1)[0], type);
        EXPECT_EQ(kwtest::ReadAt(image_, uint64_t{layout_.rootStart} * 512, root.size()), root);
        EXPECT_EQ(FatBytes(0), FatBytes(1));
        EXPECT_TRUE(FsckClean());
        kwLibClose();
    }
}

// A FAT entry (not 3Ch) whose first FAT alone keeps the marks and saved
// type, as a protected update cut just before the entry became 3Ch (or just
// after it got its type back) leaves it: with consent the first FAT takes
// the other copy's first bytes. Anything more apart is left to a check.
TEST_F(FatRecovery, AFirstFatLeftMarkedUnderAFatEntryIsClearedAtTheScan) {
    const std::vector<uint8_t> clean = kwtest::ReadAt(image_, Fat(0), 4);
    const struct {
        const char* what;
        std::vector<uint8_t> first, second; // the copies' first bytes
        bool elsewhere;                     // copy 1 differs in its second sector
        uint32_t answer;
        bool repaired;
        int questions;
    } cases[] = {
        {"only the first copy marked",
         {FAT_MARK_MOVING, 0xFF, 0x06},
         clean,
         false,
         UI_ANSWER_YES,
         true,
         1},
        {"the user answers No",
         {FAT_MARK_MOVING, 0xFF, 0x06},
         clean,
         false,
         UI_ANSWER_NO,
         false,
         1},
        {"the copies differ elsewhere",
         {FAT_MARK_MOVING, 0xFF, 0x06},
         clean,
         true,
         UI_ANSWER_YES,
         false,
         0},
        {"both copies marked",
         {FAT_MARK_MOVING, 0xFF, 0x06},
         {FAT_MARK_MOVING, 0xFF, 0x06},
         false,
         UI_ANSWER_YES,
         false,
         0},
        {"no marks", clean, clean, false, UI_ANSWER_YES, false, 0},
    };
    std::vector<uint8_t> sound = kwtest::ReadAt(image_, 0, size_t{kStart + kSectors} * 512);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Put(0, sound);
        Put(Fat(0), c.first);
        Put(Fat(1), c.second);
        if (c.elsewhere)
            Put(Fat(1) + 512, std::vector<uint8_t>(64, 0x5A));
        ui_.answer = c.answer;
        ui_.questions = 0;
        std::vector<uint8_t> before = kwtest::ReadAt(image_, 0, sound.size());
        PARTITION_INFO* pi = Open();
        ASSERT_NE(pi, nullptr);
        EXPECT_EQ(pi->ucPartType, 0x06);
        EXPECT_EQ(ui_.questions, c.questions);
        if (c.repaired) {
            EXPECT_EQ(kwtest::ReadAt(image_, 0, sound.size()), sound);
            EXPECT_TRUE(FsckClean());
        } else {
            EXPECT_EQ(kwtest::ReadAt(image_, 0, before.size()), before);
        }
        kwLibClose();
    }
}

TEST(FatRecoveryLayout, SavedTypesAndBootSectorsThatAreNoFatVolume) {
    const uint8_t first[8] = {0x01, 0x6F, 0x00, 0xFF, 0x0B, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SavedPartitionType(32, first), 0x0B);
    EXPECT_EQ(SavedPartitionType(16, first), 0x00);
    EXPECT_EQ(SavedPartitionType(12, first), 0x06); // high nibble of 1, low of 2
    std::vector<uint8_t> s(512, 0);
    FAT_RECOVERY_LAYOUT l;
    EXPECT_FALSE(FAT_RECOVERY_LAYOUT::parse(s, 0, &l)); // no signature
    s[510] = 0x55;
    s[511] = 0xAA;
    kwbytes::StoreLe16(s.data() + 11, 512);
    s[13] = 4;
    kwbytes::StoreLe16(s.data() + 14, 4);
    s[16] = 1; // one FAT: nothing to bring in step
    kwbytes::StoreLe16(s.data() + 17, 512);
    kwbytes::StoreLe16(s.data() + 19, 40000);
    kwbytes::StoreLe16(s.data() + 22, 40);
    std::memcpy(s.data() + 54, "FAT16   ", 8);
    EXPECT_FALSE(FAT_RECOVERY_LAYOUT::parse(s, 0, &l));
    s[16] = 2;
    ASSERT_TRUE(FAT_RECOVERY_LAYOUT::parse(s, 100, &l));
    EXPECT_EQ(l.firstFat, 104u);
    EXPECT_EQ(l.rootStart, 184u);
    EXPECT_EQ(l.dataStart, 216u);
    EXPECT_EQ(l.fatBits, 16);
    const struct {
        const char* what;
        uint32_t at, value; // a 16-bit field of the boot sector
        uint32_t partitionSectors;
        bool sound;
    } geometries[] = {
        {"40 x 256 FAT entries for 9971 clusters", 22, 40, 40100, true},
        {"38 x 256 FAT entries for 9972 clusters", 22, 38, 40100, false},
        {"no reserved sector: the first FAT is the boot sector", 14, 0, 40100, false},
        {"FATs and root area end at the partition's end", 14, 4, 116, true},
        {"FATs and root area reach past the partition", 14, 4, 115, false},
    };
    for (const auto& g : geometries) {
        SCOPED_TRACE(g.what);
        std::vector<uint8_t> b = s;
        kwbytes::StoreLe16(b.data() + g.at, static_cast<uint16_t>(g.value));
        ASSERT_TRUE(FAT_RECOVERY_LAYOUT::parse(b, 100, &l));
        EXPECT_EQ(l.Fault(g.partitionSectors) == nullptr, g.sound);
    }
    kwbytes::StoreLe16(s.data() + 22, 0); // FAT32 size field without its name
    EXPECT_FALSE(FAT_RECOVERY_LAYOUT::parse(s, 0, &l));
}
