// The engine host and engine set-up, start and stop over a disk-image file
// whose volumes the Debian tools made.
#include "engine/core/cmdline.h"
#include "engine/core/codepage.h"
#include "engine/core/globals_mgr.h"
#include "engine/core/inifile.h"
#include "engine/core/kwerror.h"
#include "engine/core/kwmemory.h"
#include "engine/core/logging_file.h"
#include "engine/core/msgformat.h"
#include "engine/core/msgres.h"
#include "engine/core/rebootmgr.h"
#include "engine/core/ui_interface.h"
#include "engine/core/workdir.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/legal_ops.h"
#include "engine/fs/fs_module.h"
#include "engine/host/engine.h"
#include "engine/host/engine_host.h"
#include "engine/host/engine_setup.h"
#include "engine/host/fs_modules.h"
#include "engine/host/prefs.h"
#include "engine/netware/nw_services.h"
#include "engine/ntfs/ntfs_services.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// An engine host over the standard test disk, with the engine's working
// directory in a folder of the test.
class EngineHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = kwtest::BuildStandardDisk(diskDir_);
        setenv("KW_DISKS", disk_.image.c_str(), 1);
        setenv("KW_SYSTEM_DIR", work_.path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KW_DISKS");
        unsetenv("KW_SYSTEM_DIR");
        kwResetWorkingDirectory();
    }

    kwRet Init(EngineF6& engine, std::vector<std::string> args, std::string* text = nullptr) {
        args_ = std::move(args);
        args_.insert(args_.begin(), "KwVtFe32");
        argv_.clear();
        for (const std::string& a : args_)
            argv_.push_back(a.c_str());
        std::string ignored;
        return engine.Init(static_cast<int>(argv_.size()), argv_.data(),
                           text != nullptr ? text : &ignored);
    }
    std::string Work(const std::string& name) const { return (work_ / name).string(); }

    static std::vector<PARTITION_INFO*> Partitions() {
        std::vector<PARTITION_INFO*> out;
        DISK_RECORD* first = nullptr;
        enGetDiskList(&first);
        for (DISK_RECORD* d = first; d != nullptr; d = d->next)
            for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
                out.push_back(pi);
        return out;
    }
    static PARTITION_INFO* ByType(uint8_t type) {
        for (PARTITION_INFO* pi : Partitions())
            if (pi->ucPartType == type && pi->ucFsKind != FS_KIND_EXTENDED_LINK)
                return pi;
        return nullptr;
    }

    kwtest::TempDir work_;
    kwtest::TempDir diskDir_;
    kwtest::StandardDisk disk_;
    std::vector<std::string> args_;
    std::vector<const char*> argv_;
};

TEST_F(EngineHostTest, StartListsEveryPartitionWithKindLabelAndOperations) {
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    // The partition table of the log is written at level 4.
    ASSERT_EQ(Init(engine, {"/LOG=" + Work("SCRLOG.TXT"), "/LVL=4"}), KW_OK);
    ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
    EXPECT_EQ(enGetEngineState(), EN_STATE_STARTED);
    EXPECT_EQ(gDbgMgr->GetLevel(), DBG_LEVEL_TRACE); // LVL given: start keeps it

    struct Expected {
        uint8_t type;
        uint8_t kind;
        const char* label;
        uint32_t ops;
    };
    const Expected expected[] = {
        {0x06, FS_KIND_FAT, "KWFAT16", LOP_GROUP_FAT},
        {0x07, FS_KIND_NTFS, "KWNTFS", LOP_GROUP_FS}, // read from the NTFS volume
        {0x0B, FS_KIND_FAT32, "KWFAT32", LOP_GROUP_FAT},
        {0x82, FS_KIND_LINUX_SWAP, "", LOP_GROUP_SWAP},
        {0x83, FS_KIND_EXT2, "kwext2", LOP_GROUP_FS},
        {0x01, FS_KIND_FAT, "KWFAT12", LOP_GROUP_FAT},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.type);
        PARTITION_INFO* pi = ByType(e.type);
        ASSERT_NE(pi, nullptr);
        EXPECT_EQ(pi->ucFsKind, e.kind);
        if (e.kind != FS_KIND_LINUX_SWAP) {
            EXPECT_STREQ(pi->volumeLabel, e.label);
        }
        EXPECT_EQ(pi->ulFlags & PI_READ_ERROR, 0u);
        EXPECT_EQ(pi->ucDriveLetter, '*');
        // Every operation of the kind's group that the partition's place allows.
        EXPECT_EQ(pi->ulFlags & e.ops & ~(LOP_MOVE | LOP_RESIZE), e.ops & ~(LOP_MOVE | LOP_RESIZE));
        EXPECT_NE(pi->ulFlags & LOP_INFO, 0u);
    }
    PARTITION_INFO* ext = ByType(0x05);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->ulFlags & LOP_DELETE, 0u); // it holds logical partitions
    EXPECT_NE(ByType(0x06)->ulFlags & LOP_SET_ACTIVE, LOP_SET_ACTIVE); // already active
    EXPECT_NE(ByType(0x07)->ulFlags & LOP_SET_ACTIVE, 0u);

    EXPECT_EQ(engine.Stop(), KW_OK);
    EXPECT_EQ(enGetEngineState(), EN_STATE_STOPPED);
    EXPECT_FALSE(kwLibIsOpen());

    std::string debug = ReadFile(Work("KW_DEBUG.TXT"));
    EXPECT_EQ(
        debug.rfind("Kestrelway Quorrin -- Windows 9x engine edition.\r\nDate Generated: ", 0), 0u)
        << debug.substr(0, 200);
    EXPECT_NE(debug.find("\tBegin Engine Initialization ...\r\n"), std::string::npos);
    // Lines inside the traced start are indented by the nesting.
    EXPECT_TRUE(std::regex_search(
        debug, std::regex(" *Volume        Partition       Serial   BootManager Used    Free\r\n"
                          " *Letter:Label  Type            Number   Name   Flag Sectors Sectors\r\n"
                          " *------------- --------------- -------- -------- -- ------- -------\r\n"
                          " *\\*:KWFAT16     FAT             1234ABCD          00")))
        << debug;
    EXPECT_TRUE(std::regex_search(debug, std::regex("\\*:KWFAT16     FAT             1234ABCD")))
        << debug;
    EXPECT_TRUE(std::regex_search(debug, std::regex("\\*:KWNTFS      NTFS            ")));
    EXPECT_NE(debug.find("enInitializeEngine complete (kwRet == 0)"), std::string::npos);
    std::string log = ReadFile(Work("SCRLOG.TXT"));
    EXPECT_EQ(log.rfind("Kestrelway Log Results.\r\nDate Generated: ", 0), 0u) << log;
}

TEST_F(EngineHostTest, StartWithoutDisksAndAgainAfterStop) {
    setenv("KW_DISKS", "", 1);
    {
        EngineF6 engine;
        ASSERT_EQ(engine.Open(2, 2), KW_OK);
        ASSERT_EQ(Init(engine, {"/LVL=5"}), KW_OK);
        EXPECT_EQ(engine.Start(0, nullptr), ERR_NO_DRIVE);
        EXPECT_EQ(enGetEngineState(), EN_STATE_STARTED);
        EXPECT_EQ(engine.Stop(), KW_OK);
    }
    std::string debug = ReadFile(Work("KW_DEBUG.TXT"));
    EXPECT_NE(debug.find("enStartEngine - Warning: No hard disks are present on the workstation"),
              std::string::npos);

    setenv("KW_DISKS", disk_.image.c_str(), 1);
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
    EXPECT_EQ(engine.Stop(), KW_OK);
    EXPECT_EQ(engine.Stop(), KW_OK); // stop without start: nothing to close
    ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
    EXPECT_NE(ByType(0x07), nullptr);
    EXPECT_EQ(engine.Stop(), KW_OK);
}

// fsck.fat's report of a partition copied out of the disk: the estimate's
// inputs as the tool reads them.
struct FsckFigures {
    std::uint64_t total = 0, dataStart = 0, sectorsPerCluster = 0, used = 0;
};

FsckFigures Fsck(const std::string& image, const PARTITION_INFO* pi, const std::string& copy) {
    EXPECT_TRUE(kwtest::Run("dd if=" + image + " of=" + copy +
                            " bs=512 skip=" + std::to_string(pi->ulStartSect) +
                            " count=" + std::to_string(pi->NumSects) + " status=none"));
    const std::string report = kwtest::Capture("fsck.fat -n -v " + copy + " 2>&1");
    auto number = [&](const char* pattern) -> std::uint64_t {
        std::smatch m;
        const std::regex re(pattern);
        EXPECT_TRUE(std::regex_search(report, m, re)) << pattern << "\n" << report;
        return m.size() > 1 ? std::stoull(m[1]) : 0;
    };
    FsckFigures f;
    f.total = number(R"((\d+) sectors total)");
    f.dataStart = number(R"(Data area starts at byte \d+ \(sector (\d+)\))");
    f.sectorsPerCluster = number(R"((\d+) bytes per cluster)") / 512;
    f.used = number(R"((\d+)/\d+ clusters)");
    return f;
}

TEST_F(EngineHostTest, FatEstimatesEqualFsckFreeSpace) {
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
    int fat = 0;
    for (PARTITION_INFO* pi : Partitions()) {
        if (pi->ucFsKind != FS_KIND_FAT && pi->ucFsKind != FS_KIND_FAT32)
            continue;
        SCOPED_TRACE(static_cast<int>(pi->ucPartType));
        ++fat;
        const FsckFigures f = Fsck(disk_.image, pi, Work("part.img"));
        const std::uint64_t free = f.total - (f.used * f.sectorsPerCluster + f.dataStart);
        EXPECT_EQ(pi->ulFreeSects, free);
        EXPECT_EQ(pi->ulFreeSects + pi->ulUsedSects, f.total);
        EXPECT_EQ(pi->ulFlags & PI_READ_ERROR, 0u);
    }
    EXPECT_EQ(fat, 3); // FAT12, FAT16 and FAT32
    EXPECT_EQ(engine.Stop(), KW_OK);
}

TEST_F(EngineHostTest, StartInstallsTheFileSystemsDiskHooks) {
    kwSetFsHooks(KW_FS_HOOKS{});
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
    const KW_FS_HOOKS& installed = kwGetFsHooks();
    EXPECT_EQ(installed.ntfsVolumeLabel, ntfsGetVolumeLabel);
    EXPECT_EQ(installed.registerNetWareVolumes, nwRegisterAllVolumes);
    EXPECT_EQ(installed.createSegmentList, CreateSegmentList);
    EXPECT_EQ(installed.deleteSegmentList, DeleteSegmentList);
    EXPECT_EQ(installed.readMirrorHeader, nwReadMirrorHeader);
    EXPECT_EQ(installed.readHotfixHeader, nwReadHotfixHeader);
    EXPECT_EQ(installed.getPartitionSector, nwGetPartitionSector);
    EXPECT_EQ(installed.netWareVolumeState, nwVolumeState);
    EXPECT_EQ(engine.Stop(), KW_OK);
}

// The slots each kind's built code must fill; a slot not listed may stay
// empty ("not supported").
enum Slot : unsigned { CREATE_FS = 1, CREATE_FILE = 2, ESTIMATE = 4, MINIMUM = 8 };
struct RequiredSlots {
    std::uint8_t kind;
    unsigned slots;
};
constexpr RequiredSlots kRequired[] = {
    {FS_KIND_FAT, CREATE_FS | CREATE_FILE | ESTIMATE},
    {FS_KIND_FAT32, CREATE_FS | CREATE_FILE | ESTIMATE},
    {FS_KIND_HPFS, CREATE_FS | ESTIMATE | MINIMUM},
    {FS_KIND_NTFS, CREATE_FS | CREATE_FILE | ESTIMATE | MINIMUM},
    {FS_KIND_EXT2, CREATE_FS | ESTIMATE | MINIMUM},
    {FS_KIND_LINUX_SWAP, CREATE_FS | ESTIMATE | MINIMUM},
    {FS_KIND_NETWARE, CREATE_FS | ESTIMATE},
};

TEST(FsModules, EveryKindHasOneRowWithTheSlotsItsCodeNeeds) {
    for (const RequiredSlots& want : kRequired) {
        SCOPED_TRACE(static_cast<int>(want.kind));
        const FS_MODULE* row = nullptr;
        for (std::size_t i = 0; enFsModuleAt(i) != nullptr; ++i) {
            if (enFsModuleAt(i)->kind != want.kind)
                continue;
            EXPECT_EQ(row, nullptr) << "two rows of one kind";
            row = enFsModuleAt(i);
        }
        ASSERT_NE(row, nullptr);
        EXPECT_NE(row->disk.logName, nullptr);
        EXPECT_NE(row->disk.legalGroup, FS_LEGAL_GROUP::NONE);
        EXPECT_EQ((want.slots & CREATE_FS) != 0, row->createFs != nullptr);
        EXPECT_EQ((want.slots & CREATE_FILE) != 0, row->createFile != nullptr);
        EXPECT_EQ((want.slots & ESTIMATE) != 0, row->estimateFree != nullptr);
        EXPECT_EQ((want.slots & MINIMUM) != 0, row->disk.minimumSize != nullptr);
    }
    std::size_t rows = 0;
    while (enFsModuleAt(rows) != nullptr)
        ++rows;
    EXPECT_EQ(rows, std::size(kRequired)) << "a row without its line above";
}

TEST_F(EngineHostTest, OpenServesTheRebootManagerAndThePreferenceRecord) {
    enSetServiceHooks(EN_SERVICE_HOOKS{});
    {
        EngineF6 engine;
        ASSERT_EQ(engine.Open(2, 2), KW_OK);
        ASSERT_NE(gRebootManager, nullptr);
        ASSERT_NE(gEnginePrefs, nullptr);
        ASSERT_EQ(engine.Start(0, nullptr), KW_OK);
        // Loaded at start: no preference file or sector, so the defaults.
        EXPECT_EQ(gEnginePrefs->record.state, PREFS_STATE_COMPLETE);
        EXPECT_EQ(gEnginePrefs->record.flags, PREFS_MODE_A | PREFS_ALLOW_CANCEL);
        EXPECT_FALSE(engine.HasRebootChanges());
        gRebootManager->PartitionCreated(0, 63, 0);
        EXPECT_TRUE(engine.HasRebootChanges());
        EXPECT_EQ(engine.GetRebootSummary(), "A partition was created on disk 1 at sector 63.\n");
        // The disks stay open for the restart that the change needs.
        EXPECT_EQ(engine.Stop(), ERR_RESTART_PENDING);
    }
    EXPECT_EQ(gRebootManager, nullptr);
    EXPECT_EQ(gEnginePrefs, nullptr);
}

TEST_F(EngineHostTest, CallsBeforeOpenAndASecondOpen) {
    EngineF6 engine;
    EXPECT_EQ(engine.Start(0, nullptr), ERR_NOT_OPEN);
    EXPECT_EQ(Init(engine, {}), ERR_NOT_OPEN);
    EXPECT_EQ(enGetEngineState(), EN_STATE_STOPPED);
    EXPECT_EQ(enStartEngine(0), ERR_NOT_OPEN);
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    DbgMgr* first = gDbgMgr;
    EXPECT_EQ(engine.Open(2, 2), KW_OK);
    EXPECT_EQ(gDbgMgr, first);
    EXPECT_FALSE(engine.IsCmdMode());
    EXPECT_FALSE(engine.IsNoUI());
}

TEST_F(EngineHostTest, BadCommandLineGoesToTheErrorLog) {
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    std::string text;
    EXPECT_EQ(Init(engine, {"/ERR=" + Work("ERR.TXT"), "/NRB", "/NRB"}, &text), ERR_BAD_ARGUMENT);
    EXPECT_EQ(text, "Switch NRB is used twice.");
    std::string again;
    EXPECT_EQ(Init(engine, {}, &again), ERR_BAD_ARGUMENT); // the first result stays
    EXPECT_EQ(again, text);
    CloseUserLogs();
    EXPECT_EQ(ReadFile(Work("ERR.TXT")), "Switch NRB is used twice.\r\n");
}

// With /LOG the result log and the log of user messages are one file: lines
// of both reach it and none overwrites another.
TEST_F(EngineHostTest, ResultLogAndUserLogShareTheirFile) {
    std::string path = Work("SHARED.TXT");
    {
        EngineF6 engine;
        ASSERT_EQ(engine.Open(2, 2), KW_OK);
        ASSERT_EQ(Init(engine, {"/LOG=" + path, "/LVL=3"}), KW_OK);
        gDbgMgr->Print(3, "engine result line\n");
        gDbgMgr->ScriptLog()->WriteLine(""); // nothing
        kwGetUIInterface()->ShowMessage(KWString("Caption"), KWString("user message"), 1);
        gDbgMgr->Print(3, "second result line\n");
    }
    std::string text = ReadFile(path);
    EXPECT_EQ(text.rfind("Kestrelway Log Results.\r\nDate Generated: ", 0), 0u) << text;
    for (const char* line :
         {"engine result line\r\n", "Caption\r\nuser message\r\n", "second result line\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

TEST_F(EngineHostTest, UnopenableDebugLogIsReported) {
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    std::string text;
    std::string path = Work("missing/dbg.txt");
    EXPECT_EQ(Init(engine, {"/DBG=" + path}, &text), ERR_FILE_OPEN);
    EXPECT_NE(text.find(path), std::string::npos) << text;
}

// Records the questions that reach the user.
class QuestionLog : public UIInterface {
public:
    std::uint32_t AskQuestion(KWString, KWString text, std::uint32_t kind, std::uint32_t,
                              std::uint32_t buttons) override {
        texts.push_back(text.GetAnsi(CPKIND_UTF8));
        kinds.push_back(kind);
        this->buttons.push_back(buttons);
        return UI_ANSWER_OK;
    }
    std::vector<std::string> texts;
    std::vector<std::uint32_t> kinds, buttons;
};

// An engine error reaches the user as an error box through the bridge.
TEST_F(EngineHostTest, EngineErrorsReachTheUser) {
    QuestionLog ui;
    kwSetUIInterface(&ui);
    {
        EngineF6 engine;
        ASSERT_EQ(engine.Open(2, 2), KW_OK);
        EXPECT_EQ(LogEngineError1(gErrorMgr, ERR_IMG_INVALID, 96, 0), KW_OK);
        ASSERT_EQ(ui.texts.size(), 1u);
        EXPECT_NE(ui.texts[0].find("Image file is invalid or corrupted."), std::string::npos)
            << ui.texts[0];
        EXPECT_EQ(ui.kinds[0], UI_KIND_ERROR);
        EXPECT_EQ(ui.buttons[0], UI_BUTTON_OK);
    }
    kwSetUIInterface(nullptr);
}

// Services the reboot manager installs, scripted.
bool gChanges = true;
int gReboots = 0;

TEST_F(EngineHostTest, RebootQueriesAndShutDown) {
    EN_SERVICE_HOOKS hooks;
    hooks.hasRebootChanges = [] { return gChanges; };
    hooks.isRebootNeeded = [] { return true; };
    hooks.rebootSummary = [] { return "C: resized"; };
    hooks.reboot = [] {
        ++gReboots;
        return KW_OK;
    };
    enSetServiceHooks(hooks);
    {
        EngineF6 engine;
        ASSERT_EQ(engine.Open(2, 2), KW_OK);
        ASSERT_EQ(Init(engine, {}), KW_OK);
        EXPECT_TRUE(engine.HasRebootChanges());
        EXPECT_TRUE(engine.IsRebootNeeded());
        EXPECT_EQ(engine.GetRebootSummary(), "C: resized");
        SetFeatureProfilePath(Work("none.ini"));
        EXPECT_EQ(engine.ShutDown(), KW_OK);
        EXPECT_EQ(gReboots, 1);
        WriteText(Work("features.ini"), "[VTFeatures]\r\nShutDown=5\r\n");
        SetFeatureProfilePath(Work("features.ini"));
        EXPECT_EQ(engine.ShutDown(), 5u);
        EXPECT_EQ(gReboots, 1);
    }
    EngineF6 engine;
    ASSERT_EQ(engine.Open(2, 2), KW_OK);
    ASSERT_EQ(Init(engine, {"/NRB"}), KW_OK);
    EXPECT_FALSE(engine.HasRebootChanges());
    enSetServiceHooks(EN_SERVICE_HOOKS{});
    SetFeatureProfilePath("");
}

// Set-up makes every global object or none.
TEST(EngineSetup, FailingStepRollsBackWhatWasMade) {
    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    GetEngineResource(&image, &size);
    auto nothingLeft = [] {
        return gDbgMgr == nullptr && gMessageFormatter == nullptr && gProgressInfo == nullptr &&
               gRootProgress == nullptr && gCommandLine == nullptr && gErrorMgr == nullptr &&
               gGlobalsManager == nullptr && gCodePageInfo == nullptr && !enLibraryIsSetUp();
    };
    kwRet rc = ERR_NO_MEMORY;
    for (std::uint32_t nth = 1; rc != KW_OK && nth < 500; ++nth) {
        kwInjectAllocFailure(nth);
        rc = enInitLibrary(image, size, CPKIND_UTF8, 0, 0);
        kwInjectAllocFailure(0);
        if (rc != KW_OK) {
            EXPECT_TRUE(rc == ERR_NO_MEMORY || rc == ERR_ENGINE_INIT) << rc;
            EXPECT_TRUE(nothingLeft()) << "failing allocation " << nth;
        }
    }
    ASSERT_EQ(rc, KW_OK);
    EXPECT_EQ(gGlobalsManager->Flags(), 0u);
    enTermLibrary();
    EXPECT_TRUE(nothingLeft());

    EXPECT_EQ(enInitLibrary(image, 40, CPKIND_UTF8, 0, 0), ERR_ENGINE_INIT);
    EXPECT_TRUE(nothingLeft());
    EXPECT_EQ(enInitLibrary(nullptr, 0, CPKIND_UTF8, 0, 0), ERR_ENGINE_INIT);
    EXPECT_TRUE(nothingLeft());
}

} // namespace
