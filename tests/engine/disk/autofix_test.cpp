// Partition-table repair on disks written by the test tree's MBR writer: each
// repair is checked against sfdisk and partx (every logical partition keeps
// its start and its data), against No, Cancel, a closed box and no user
// interface (nothing written), and against a crash at every one of its
// writes (the fault-injecting source fails the k-th write).
#include "engine/core/codepage.h"
#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/autofix.h"
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fs_modules_env.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>

using kwtest::kCyl;
using kwtest::LogicalEntry;
using kwtest::MbrLayout;

namespace {

constexpr uint32_t kDiskSectors = 10 * kCyl;

// The engine's message texts for the questions' wording.
class EngineTexts {
public:
    EngineTexts() {
        const std::uint8_t* image = nullptr;
        std::uint32_t size = 0;
        GetEngineResource(&image, &size);
        cpLoadMessages(image, size, false);
        gMessageFormatter = new MESSAGE_FORMATTER;
    }
    ~EngineTexts() {
        delete gMessageFormatter;
        gMessageFormatter = nullptr;
        delete gCodePageInfo;
        gCodePageInfo = nullptr;
    }
};

// Answers every question with one fixed answer and counts what it was shown.
class ScriptedUI : public UIInterface {
public:
    std::uint32_t AskQuestion(KWString, KWString text, std::uint32_t, std::uint32_t,
                              std::uint32_t buttons) override {
        if (buttons == UI_BUTTON_OK) {
            ++notices;
            return UI_ANSWER_OK;
        }
        questions.push_back(text.GetAnsi(CPKIND_UTF8));
        return answer;
    }
    std::vector<std::string> questions;
    int notices = 0;
    std::uint32_t answer = UI_ANSWER_YES;
};

struct Part {
    uint64_t start;
    uint64_t size;
    unsigned type;
    bool operator==(const Part&) const = default;
};

std::vector<Part> Sfdisk(const std::filesystem::path& image) {
    std::string json = kwtest::Capture("sfdisk --json '" + image.string() + "' 2>/dev/null");
    std::regex node(R"re("start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([0-9a-f]+)")re");
    std::vector<Part> out;
    for (std::sregex_iterator it(json.begin(), json.end(), node), end; it != end; ++it)
        out.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]),
                       static_cast<unsigned>(std::stoul((*it)[3], nullptr, 16))});
    return out;
}

// The starts partx lists (Linux's own reading of the chain).
std::vector<uint64_t> PartxStarts(const std::filesystem::path& image) {
    std::string out = kwtest::Capture("partx --show --noheadings --output START '" +
                                      image.string() + "' 2>/dev/null");
    std::vector<uint64_t> starts;
    std::istringstream in(out);
    for (uint64_t s = 0; in >> s;)
        starts.push_back(s);
    return starts;
}

std::string ReadRange(const std::filesystem::path& image, uint64_t sector, uint64_t count) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * 512));
    std::string bytes(count * 512, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::string WholeFile(const std::filesystem::path& image) {
    std::ifstream in(image, std::ios::binary);
    std::string bytes(std::filesystem::file_size(image), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// Marks every partition's first, middle and last sector with bytes of its
// own, so that a moved or clobbered sector shows in its hash.
void MarkData(const std::filesystem::path& image, const std::vector<Part>& parts) {
    for (const Part& p : parts) {
        for (uint64_t s : {p.start, p.start + p.size / 2, p.start + p.size - 1}) {
            std::vector<uint8_t> b(512);
            for (size_t i = 0; i < b.size(); ++i)
                b[i] = static_cast<uint8_t>(s * 7 + i * 13 + p.type);
            kwtest::WriteAt(image, s * 512, b);
        }
    }
}

class AutoFixTest : public ::testing::Test {
protected:
    AutoFixTest() {
        enInstallFsModules();
        KWString::SetDefaultKind(CPKIND_UTF8);
        kwSetUIInterface(&ui_);
        AutoFixSetBackupFolder(dir_.path());
        image_ = dir_ / "disk.img";
    }
    ~AutoFixTest() override {
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
        kwSetUIInterface(nullptr);
        AutoFixSetBackupFolder("");
        KWString::SetDefaultKind(CPKIND_WIN);
    }

    void Write(const MbrLayout& layout) {
        std::filesystem::remove(image_);
        kwtest::MakeSparse(image_, uint64_t{kDiskSectors} * 512);
        kwtest::WriteMbrLayout(image_, layout);
    }

    // Opens the disk library over the image (AutoFix runs as the disk is
    // scanned) with the given bridge; write `failWrite` fails (0: none). The
    // number of writes the source saw.
    uint64_t Open(bool withBridge, uint64_t failWrite = 0, bool writable = true) {
        kwLibClose();
        uint64_t* seen = &writes_;
        auto image = image_;
        kw::plat::SetDiskProviderForTests([=] {
            int error = 0;
            auto file = kw::plat::FileSectorSource::Open(image, kw::plat::DiskFileKind::ImageFile,
                                                         writable, &error);
            auto faulty = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
            faulty->FailWriteNumber(failWrite);
            kw::plat::DiskScan scan;
            faultySource_ = faulty.get();
            scan.disks.push_back(std::move(faulty));
            return scan;
        });
        std::unique_ptr<UIBridgeThunk> bridge;
        if (withBridge)
            bridge = std::make_unique<UIBridgeThunk>();
        EXPECT_EQ(kwLibOpen(), KW_OK);
        *seen = faultySource_->WritesSeen();
        bridge.reset();
        kwLibClose();
        return writes_;
    }

    DISK_RECORD* OpenKept() {
        kw::plat::SetDiskProviderForTests([image = image_] {
            int error = 0;
            kw::plat::DiskScan scan;
            scan.disks.push_back(kw::plat::FileSectorSource::Open(
                image, kw::plat::DiskFileKind::ImageFile, true, &error));
            return scan;
        });
        EXPECT_EQ(kwLibOpen(), KW_OK);
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        return d;
    }

    std::vector<Part> Logicals() {
        std::vector<Part> out;
        for (const Part& p : Sfdisk(image_))
            if (p.type != 0x05 && p.type != 0x0f)
                out.push_back(p);
        return out;
    }

    std::map<uint64_t, std::string> Hashes(const std::vector<Part>& parts) {
        std::map<uint64_t, std::string> h;
        for (const Part& p : parts) {
            std::string s;
            for (uint64_t at : {p.start, p.start + p.size / 2, p.start + p.size - 1})
                s += ReadRange(image_, at, 1);
            h[p.start] = s;
        }
        return h;
    }

    kwtest::TempDir dir_;
    std::filesystem::path image_;
    ScriptedUI ui_;
    EngineTexts texts_;
    uint64_t writes_ = 0;
    inline static kw::plat::FaultySectorSource* faultySource_ = nullptr;
};

// A broken disk, the data partitions it holds (which every state must list
// at these starts) and what the repaired tables must show.
struct Scenario {
    const char* name;
    MbrLayout layout;
    std::function<void(const std::filesystem::path&)> spoil; // raw edits after the writer
    std::function<void(const std::filesystem::path&)> checkRepaired;
};

std::vector<uint8_t> Entry(uint8_t type, uint32_t rel, uint32_t count, uint32_t abs) {
    return kwtest::MakeEntry(type, rel, count, abs);
}

void PutSlot(const std::filesystem::path& image, uint32_t sector, int slot,
             const std::vector<uint8_t>& entry) {
    kwtest::WriteAt(image, uint64_t{sector} * 512 + 446 + 16 * slot, entry);
}

std::vector<uint8_t> Slot(const std::filesystem::path& image, uint32_t sector, int slot) {
    std::string s = ReadRange(image, sector, 1);
    return {s.begin() + 446 + 16 * slot, s.begin() + 446 + 16 * slot + 16};
}

uint32_t Le32(const std::vector<uint8_t>& e, size_t at) {
    return e[at] | e[at + 1] << 8 | e[at + 2] << 16 | uint32_t{e[at + 3]} << 24;
}

constexpr uint32_t kExt = 2 * kCyl;

MbrLayout ThreeLogicals(uint32_t secondEbr, uint32_t firstEbr = 0, uint32_t thirdEbr = 0) {
    MbrLayout l;
    l.primaries = {{0x83, 63, kCyl - 63}};
    l.extendedStart = kExt;
    l.extendedCount = 7 * kCyl;
    l.logicals = {{0x83, 3 * kCyl + 63, kCyl - 63, firstEbr},
                  {0x83, 5 * kCyl + 63, 2 * kCyl - 63, secondEbr},
                  {0x83, 8 * kCyl + 63, kCyl - 63, thirdEbr}};
    if (firstEbr == 0)
        l.logicals[0] = {0x83, kExt + 63, 2 * kCyl - 63, 0};
    return l;
}

std::vector<Scenario> Scenarios();

Scenario Named(const std::string& name) {
    for (const Scenario& sc : Scenarios())
        if (name == sc.name)
            return sc;
    return {};
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> out;
    // The second record lies two tracks before its logical: it moves to one
    // track before it, the link to the third record travelling with it.
    out.push_back({"second record moved", ThreeLogicals(5 * kCyl - 126), nullptr,
                   [](const std::filesystem::path& image) {
                       std::vector<uint8_t> e = Slot(image, 5 * kCyl, 0);
                       EXPECT_EQ(Le32(e, 8), 63u);
                       EXPECT_EQ(Le32(Slot(image, kExt, 1), 8), 3 * kCyl);
                       EXPECT_EQ(Le32(Slot(image, 5 * kCyl, 1), 8), 6 * kCyl);
                   }});
    // The second and the third record both lie two tracks early: the link
    // that moved along with the second record is the one rewritten when the
    // third record moves.
    out.push_back({"second and third records moved",
                   ThreeLogicals(5 * kCyl - 126, 0, 8 * kCyl - 126), nullptr,
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Le32(Slot(image, 5 * kCyl, 1), 8), 8 * kCyl - kExt);
                       EXPECT_EQ(Le32(Slot(image, 8 * kCyl, 0), 8), 63u);
                   }});
    // The last record holds its logical in the second slot and no link.
    out.push_back({"last record out of order, without a link", ThreeLogicals(0),
                   [](const std::filesystem::path& image) {
                       PutSlot(image, 8 * kCyl, 1, Slot(image, 8 * kCyl, 0));
                       PutSlot(image, 8 * kCyl, 0, std::vector<uint8_t>(16, 0));
                   },
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Le32(Slot(image, 8 * kCyl, 0), 8), 63u);
                       EXPECT_EQ(Slot(image, 8 * kCyl, 1), std::vector<uint8_t>(16, 0));
                   }});
    // The first logical lies a cylinder after the extended partition's first
    // record: a new record goes before it and the first one only links to
    // it; the second logical must stay reachable.
    out.push_back({"first logical far from its record", ThreeLogicals(0, kExt), nullptr,
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Slot(image, kExt, 0), std::vector<uint8_t>(16, 0));
                       EXPECT_EQ(Le32(Slot(image, kExt, 1), 8), kCyl);
                       EXPECT_EQ(Le32(Slot(image, 3 * kCyl, 0), 8), 63u);
                       EXPECT_EQ(Le32(Slot(image, 3 * kCyl, 1), 8), 5 * kCyl - kExt);
                   }});
    // The last logical runs past the extended partition: the extended entry
    // grows to hold it.
    MbrLayout past = ThreeLogicals(0);
    past.extendedCount = 6 * kCyl + 200;
    out.push_back({"logical past its extended partition", past, nullptr,
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Le32(Slot(image, 0, 1), 12), 7 * kCyl);
                   }});
    // The second record holds the link first and the logical second.
    out.push_back({"entries out of order", ThreeLogicals(0),
                   [](const std::filesystem::path& image) {
                       std::vector<uint8_t> a = Slot(image, 5 * kCyl, 0),
                                            b = Slot(image, 5 * kCyl, 1);
                       PutSlot(image, 5 * kCyl, 0, b);
                       PutSlot(image, 5 * kCyl, 1, a);
                   },
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Le32(Slot(image, 5 * kCyl, 0), 8), 63u);
                       EXPECT_EQ(Slot(image, 5 * kCyl, 1)[4], 0x05);
                   }});
    // An empty record off a cylinder boundary between the first and the
    // second logical's records: the first record links past it.
    out.push_back({"empty record", ThreeLogicals(0),
                   [](const std::filesystem::path& image) {
                       uint32_t empty = 4 * kCyl + 100;
                       std::vector<uint8_t> sig(512, 0);
                       sig[510] = 0x55;
                       sig[511] = 0xAA;
                       kwtest::WriteAt(image, uint64_t{empty} * 512, sig);
                       std::vector<uint8_t> onward = Slot(image, kExt, 1);
                       PutSlot(image, empty, 1, onward);
                       PutSlot(image, kExt, 1,
                               Entry(0x05, empty - kExt, 5 * kCyl - empty + 2 * kCyl, empty));
                   },
                   [](const std::filesystem::path& image) {
                       EXPECT_EQ(Le32(Slot(image, kExt, 1), 8), 3 * kCyl);
                   }});
    // The extended partition runs past the end of the disk: it is cut to the
    // disk, never below a logical partition it holds.
    MbrLayout beyond = ThreeLogicals(0);
    beyond.extendedCount = 12 * kCyl;
    out.push_back(
        {"extended past the disk", beyond, nullptr, [](const std::filesystem::path& image) {
             EXPECT_EQ(Le32(Slot(image, 0, 1), 12), kDiskSectors - kExt);
         }});
    return out;
}

TEST_F(AutoFixTest, EachRepairKeepsEveryLogicalAndItsData) {
    for (const Scenario& sc : Scenarios()) {
        SCOPED_TRACE(sc.name);
        Write(sc.layout);
        if (sc.spoil)
            sc.spoil(image_);
        std::vector<Part> before = Logicals();
        ASSERT_EQ(before.size(), 4u) << kwtest::Capture("sfdisk -d " + image_.string());
        MarkData(image_, before);
        auto hashes = Hashes(before);
        ui_.questions.clear();
        EXPECT_GT(Open(true), 0u);
        EXPECT_FALSE(ui_.questions.empty());
        std::vector<Part> after = Logicals();
        EXPECT_EQ(after, before);
        EXPECT_EQ(Hashes(after), hashes);
        std::vector<uint64_t> starts = PartxStarts(image_);
        for (const Part& p : before)
            EXPECT_NE(std::find(starts.begin(), starts.end(), p.start), starts.end()) << p.start;
        sc.checkRepaired(image_);
        // A second run finds nothing more to repair.
        ui_.questions.clear();
        EXPECT_EQ(Open(true), 0u);
        EXPECT_TRUE(ui_.questions.empty()) << ui_.questions[0];
    }
}

// A crash after any write of a repair leaves tables from which sfdisk and
// partx read every logical partition at its start, with its data.
TEST_F(AutoFixTest, ACrashAtEveryWriteKeepsEveryLogical) {
    for (const Scenario& sc : Scenarios()) {
        Write(sc.layout);
        if (sc.spoil)
            sc.spoil(image_);
        uint64_t writes = Open(true);
        for (uint64_t k = 1; k <= writes; ++k) {
            SCOPED_TRACE(std::string(sc.name) + ", write " + std::to_string(k) + " fails");
            Write(sc.layout);
            if (sc.spoil)
                sc.spoil(image_);
            std::vector<Part> before = Logicals();
            MarkData(image_, before);
            auto hashes = Hashes(before);
            std::vector<uint64_t> listed = PartxStarts(image_);
            Open(true, k);
            EXPECT_EQ(Logicals(), before);
            EXPECT_EQ(Hashes(before), hashes);
            // Linux's reading: what it listed before it still lists.
            std::vector<uint64_t> starts = PartxStarts(image_);
            for (uint64_t s : listed)
                EXPECT_NE(std::find(starts.begin(), starts.end(), s), starts.end()) << s;
        }
    }
}

// Only an explicit Yes writes: No, Cancel, a box closed without a button, no
// user interface and a disk that cannot be written leave every byte as it was.
TEST_F(AutoFixTest, NothingIsWrittenWithoutYes) {
    Scenario sc = Named("first logical far from its record");
    struct Answer {
        const char* what;
        bool bridge;
        std::uint32_t answer;
        bool writable;
        bool asked;
    };
    const Answer answers[] = {
        {"No", true, UI_ANSWER_NO, true, true},
        {"Cancel", true, UI_ANSWER_CANCEL, true, true},
        {"closed", true, UI_ANSWER_NONE, true, true},
        {"no user interface", false, UI_ANSWER_YES, true, false},
        {"read-only disk", true, UI_ANSWER_YES, false, false},
    };
    for (const Answer& a : answers) {
        SCOPED_TRACE(a.what);
        Write(sc.layout);
        std::string bytes = WholeFile(image_);
        ui_.questions.clear();
        ui_.answer = a.answer;
        EXPECT_EQ(Open(a.bridge, 0, a.writable), 0u);
        EXPECT_EQ(ui_.questions.size(), a.asked ? 1u : 0u);
        EXPECT_TRUE(WholeFile(image_) == bytes);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "AUTOFIX.BAK"));
}

// The old sectors are kept before the first write: the backup file holds
// every sector the repair changed, as it was.
TEST_F(AutoFixTest, OldSectorsAreKeptBeforeTheFirstWrite) {
    Scenario sc = Named("first logical far from its record");
    Write(sc.layout);
    std::string first = ReadRange(image_, kExt, 1);
    Open(true);
    std::string backup = WholeFile(dir_ / "AUTOFIX.BAK");
    ASSERT_EQ(backup.size() % 528, 0u);
    std::map<uint32_t, std::string> kept;
    for (size_t at = 0; at < backup.size(); at += 528) {
        EXPECT_EQ(backup.substr(at, 8), "KWAFBAK1");
        auto sector = static_cast<uint32_t>(static_cast<uint8_t>(backup[at + 12]) |
                                            static_cast<uint8_t>(backup[at + 13]) << 8 |
                                            static_cast<uint8_t>(backup[at + 14]) << 16);
        kept[sector] = backup.substr(at + 16, 512);
    }
    ASSERT_EQ(kept.count(kExt), 1u);
    EXPECT_EQ(kept[kExt], first);
    EXPECT_EQ(kept.count(3 * kCyl), 1u);
}

// A FAT volume that runs into the next partition, with nothing stored past
// the next partition's start: the volume and its entry are cut there, and the
// cut volume is one fsck.fat passes, with its file intact.
TEST_F(AutoFixTest, FatVolumeCutBackToTheNextPartition) {
    struct Case {
        const char* what;
        const char* mkfs;
        uint32_t count;
        uint32_t overlap;
        bool offered;
    };
    const Case cases[] = {
        {"FAT16", "-F 16 -s 4", 2 * kCyl - 63, 1000, true},
        {"FAT32", "-F 32 -s 1", 6 * kCyl - 63, 2000, true},
        // One cylinder less would leave too few clusters for FAT32.
        {"FAT32 that would change kind", "-F 32 -s 1", 5 * kCyl - 63, kCyl, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::path vol = dir_ / "vol.img";
        std::filesystem::remove(vol);
        ASSERT_TRUE(kwtest::Run("mkfs.fat -C " + std::string(c.mkfs) + " '" + vol.string() + "' " +
                                std::to_string(c.count / 2) + " >/dev/null"));
        ASSERT_TRUE(kwtest::Run("echo kept > " + (dir_ / "f.txt").string() + " && mcopy -i '" +
                                vol.string() + "' " + (dir_ / "f.txt").string() + " ::F.TXT"));
        uint32_t next = 63 + c.count - c.overlap;
        MbrLayout l;
        uint8_t type = c.mkfs[3] == '3' ? 0x0B : 0x06;
        l.primaries = {{type, 63, c.count}, {0x83, next, kDiskSectors - next}};
        Write(l);
        kwtest::Splice(image_, 63, vol);
        std::string sector3 = ReadRange(image_, 63 + 3, 1);
        std::string before = WholeFile(image_);
        ui_.questions.clear();
        Open(true);
        EXPECT_EQ(ui_.questions.size(), c.offered ? 1u : 0u);
        if (!c.offered) {
            EXPECT_TRUE(WholeFile(image_) == before);
            continue;
        }
        uint32_t cut = next - 63;
        EXPECT_EQ(Sfdisk(image_)[0], (Part{63, cut, type}));
        std::string boot = ReadRange(image_, 63, 1);
        std::vector<uint8_t> bpb(boot.begin(), boot.begin() + 40);
        uint32_t small = bpb[19] | bpb[20] << 8;
        uint32_t total = small != 0 ? small : Le32(bpb, 32);
        EXPECT_EQ(total, cut);
        if (type == 0x0B) {
            // The backup boot sector (sector 6) has the new length; sector 3
            // is left alone; FSInfo's counts are unknown.
            std::string backup = ReadRange(image_, 63 + 6, 1);
            EXPECT_EQ(backup.substr(0, 90), boot.substr(0, 90));
            EXPECT_EQ(ReadRange(image_, 63 + 3, 1), sector3);
            std::string info = ReadRange(image_, 63 + 1, 1);
            EXPECT_EQ(info.substr(488, 8), std::string(8, '\xFF'));
        }
        std::filesystem::path out = dir_ / "cut.img";
        ASSERT_TRUE(kwtest::Run("dd if='" + image_.string() + "' of='" + out.string() +
                                "' bs=512 skip=63 count=" + std::to_string(cut) + " status=none"));
        EXPECT_TRUE(kwtest::Run("fsck.fat -n '" + out.string() + "' >/dev/null"))
            << kwtest::Capture("fsck.fat -n '" + out.string() + "'");
        EXPECT_EQ(kwtest::Capture("mtype -i '" + out.string() + "' ::F.TXT"), "kept\n");
    }
}

// Two logical entries in one extended boot record: no repair is safe, none
// is offered, and nothing is written.
TEST_F(AutoFixTest, TwoLogicalsInOneRecordAreRefused) {
    MbrLayout l = ThreeLogicals(0, kExt);
    Write(l);
    // A second logical in the first record (the first one lies far from it,
    // which alone would be repaired).
    PutSlot(image_, kExt, 2, Entry(0x83, 100, 1000, kExt + 100));
    std::string before = WholeFile(image_);
    ui_.questions.clear();
    EXPECT_EQ(Open(true), 0u);
    EXPECT_TRUE(ui_.questions.empty());
    EXPECT_TRUE(WholeFile(image_) == before);
    DISK_RECORD* disk = OpenKept();
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(AutoFix(disk), ERR_BAD_PARTITION_TABLE);
}

// A record off a cylinder boundary whose logical partition lies past the
// next record in start order is not empty: nothing is offered and every
// logical stays (the chain runs L1, L2 far out, then L3 back in front).
TEST_F(AutoFixTest, ARecordHoldingALogicalIsNotEmpty) {
    MbrLayout l;
    l.primaries = {{0x83, 63, kCyl - 63}, {0x05, kExt, 7 * kCyl}};
    Write(l); // the MBR only; the chain is written by hand
    uint32_t b = 3 * kCyl + 100, c = 4 * kCyl;
    std::vector<uint8_t> sig(512, 0);
    sig[510] = 0x55;
    sig[511] = 0xAA;
    for (uint32_t at : {kExt, b, c})
        kwtest::WriteAt(image_, uint64_t{at} * 512, sig);
    PutSlot(image_, kExt, 0, Entry(0x83, 63, kCyl - 63, kExt + 63));
    PutSlot(image_, kExt, 1, Entry(0x05, b - kExt, 7 * kCyl - b, b));
    PutSlot(image_, b, 0, Entry(0x83, 6 * kCyl + 63 - b, kCyl - 63, 6 * kCyl + 63));
    PutSlot(image_, b, 1, Entry(0x05, c - kExt, kCyl, c));
    PutSlot(image_, c, 0, Entry(0x83, 63, kCyl - 63, c + 63));
    std::vector<Part> before = Logicals();
    ASSERT_EQ(before.size(), 4u);
    std::string bytes = WholeFile(image_);
    ui_.questions.clear();
    EXPECT_EQ(Open(true), 0u);
    EXPECT_TRUE(ui_.questions.empty()) << ui_.questions[0];
    EXPECT_TRUE(WholeFile(image_) == bytes);
}

// A chain whose last record links back to the first ends where it meets a
// record already read: nothing to repair, nothing written.
TEST_F(AutoFixTest, ACyclicChainEndsAndIsLeftAlone) {
    Write(ThreeLogicals(0));
    PutSlot(image_, 8 * kCyl, 1, Entry(0x05, 0, kCyl, kExt));
    std::string bytes = WholeFile(image_);
    ui_.questions.clear();
    EXPECT_EQ(Open(true), 0u);
    EXPECT_TRUE(ui_.questions.empty());
    EXPECT_TRUE(WholeFile(image_) == bytes);
}

// Start values: a start CHS that names another sector than the start LBA is
// rewritten from the LBA when only the LBA names a boot sector; past
// cylinder 1023 the large-drive triple agrees and nothing is asked.
TEST_F(AutoFixTest, StartValuesAndTheLargeDriveTriple) {
    MbrLayout l;
    l.primaries = {{0x06, kCyl, kCyl}, {0x83, 3 * kCyl, kCyl}};
    Write(l);
    std::vector<uint8_t> boot(512, 0);
    boot[0] = 0xEB;
    boot[1] = 0x3C;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    kwtest::WriteAt(image_, uint64_t{kCyl} * 512, boot);
    std::vector<uint8_t> e = Slot(image_, 0, 0);
    e[1] = 5; // head 5 of cylinder 1: a sector that holds nothing
    PutSlot(image_, 0, 0, e);
    ui_.questions.clear();
    EXPECT_GT(Open(true), 0u);
    ASSERT_EQ(ui_.questions.size(), 1u);
    EXPECT_NE(ui_.questions[0].find("error 116"), std::string::npos) << ui_.questions[0];
    EXPECT_EQ(Slot(image_, 0, 0), Entry(0x06, kCyl, kCyl, kCyl));

    // A disk of 1100 cylinders with a partition past cylinder 1023, its
    // triples the placeholder Linux tools write: nothing to repair.
    std::filesystem::remove(image_);
    kwtest::MakeSparse(image_, uint64_t{1100} * kCyl * 512);
    l.primaries = {{0x83, 1050 * kCyl + 63, 20 * kCyl}};
    kwtest::WriteMbrLayout(image_, l);
    ui_.questions.clear();
    EXPECT_EQ(Open(true), 0u);
    EXPECT_TRUE(ui_.questions.empty()) << ui_.questions[0];
}

} // namespace
