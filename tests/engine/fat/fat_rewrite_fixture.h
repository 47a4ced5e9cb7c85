// The fixture of the rewrite tests: volumes made by mkfs.fat inside a
// partitioned disk and filled by mtools, run on by the engine, then judged by
// fsck.fat and by every file's hash read back with mcopy.
#pragma once

#include "engine/core/rebootmgr.h"
#include "engine/core/sectlist.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_migrate.h"
#include "engine/fat/fat_rewrite.h"
#include "engine/fat/fat_root_ops.h"
#include "engine/fs/filesystem.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"
#include "tests/engine/fat/fat_fixture.h"
#include "tests/support/mbr_writer.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace fatrewrite {

namespace fs = std::filesystem;
using namespace kw::fat;

inline constexpr uint32_t kStart = 2048;
inline constexpr uint32_t kSectors = 80000;
inline const std::string kAt = "@@" + std::to_string(uint64_t{kStart} * 512);

struct RewriteCase {
    const char* name;
    int bits;        // mkfs.fat's kind
    int spc;         // and cluster size
    uint32_t newSpc; // the rewrite's
    bool toFat32;
    uint32_t newTotal = 0;  // 0: the partition's size
    const char* type = "6"; // the partition type afterwards
};

class FatRewrite : public ::testing::TestWithParam<RewriteCase> {
protected:
    void SetUp() override {
        gRebootManager = &reboots_;
        kwSetUIInterface(&ui_);
        bridge_.emplace();
    }
    void TearDown() override {
        Close();
        kw::plat::SetDiskProviderForTests(nullptr);
        bridge_.reset();
        kwSetUIInterface(nullptr);
        gRebootManager = nullptr;
        unsetenv("KW_DISKS");
    }
    std::string Mtools(const std::string& args) const {
        return "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + args;
    }
    void Must(const std::string& cmd) const { ASSERT_TRUE(kwtest::Run(cmd)) << cmd; }
    void WriteHost(const fs::path& p, const std::string& bytes) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        files_[fs::relative(p, host_).generic_string()] = p;
    }
    // A disk with one FAT partition; a padding file first, deleted after the
    // tree is in, leaves the clusters the new system area needs free.
    void MakeVolume(int bits, int spc) {
        image_ = dir_ / "disk.img";
        kwtest::MakeSparse(image_, uint64_t{6} * kwtest::kCyl * 512);
        Must("printf 'label: dos\\nstart=" + std::to_string(kStart) +
             ", size=" + std::to_string(kSectors) + ", type=" + (bits == 32 ? "c" : "6") +
             "\\n' | sfdisk -q '" + image_.string() + "' >/dev/null 2>&1");
        Must("mkfs.fat -F " + std::to_string(bits) + " -s " + std::to_string(spc) +
             " --offset=" + std::to_string(kStart) + " -n REWRITE '" + image_.string() + "' " +
             std::to_string(kSectors / 2) + " >/dev/null 2>&1");
        host_ = dir_ / "host";
        fs::create_directories(host_);
        std::ofstream(dir_ / "PAD.BIN", std::ios::binary) << std::string(1536 * 1024, 'p');
        Must(Mtools("mcopy -i '" + image_.string() + kAt + "' '" + (dir_ / "PAD.BIN").string() +
                    "' ::/"));
        WriteHost(host_ / "README.TXT", "read me\n");
        WriteHost(host_ / "A long file name, with commas.text", std::string(3000, 'x'));
        WriteHost(host_ / "one.bin", "1");
        std::string big;
        for (int i = 0; i < 30000; ++i)
            big += std::to_string(i * 7919) + "\n";
        WriteHost(host_ / "Docs" / "Old Letters" / "big file.log", big);
        WriteHost(host_ / "Docs" / "empty.bin", "");
        std::string deep = "deep";
        for (int i = 0; i < 6; ++i)
            deep += "/level " + std::to_string(i);
        WriteHost(host_ / deep / "bottom.txt", "bottom\n");
        for (int i = 0; i < 40; ++i) // a folder of several clusters
            WriteHost(host_ / "many" / ("file number " + std::to_string(i) + ".txt"),
                      std::string(100 + i * 37, static_cast<char>('a' + i % 26)));
        for (int i = 0; i < rootFiles_; ++i)
            WriteHost(host_ / RootFileName(i), std::string(200 + i * 50, 'r'));
        Must(Mtools("mcopy -s -i '" + image_.string() + kAt + "' '" + host_.string() + "'/* ::"));
        Must(Mtools("mdel -i '" + image_.string() + kAt + "' ::/PAD.BIN"));
    }
    bool FsckClean(std::string* report = nullptr) const {
        std::string part = (dir_ / "part.img").string();
        std::string out = kwtest::Capture(
            "dd if='" + image_.string() + "' of='" + part +
            "' bs=512 skip=" + std::to_string(kStart) + " count=" + std::to_string(kSectors) +
            " conv=sparse status=none && fsck.fat -n '" + part + "' 2>&1; echo status=$?");
        if (report != nullptr)
            *report = out;
        return out.find("status=0") != std::string::npos;
    }
    // Every host file reads back through mcopy with the same bytes (the
    // whole tree copied out at once).
    void ExpectFiles() const {
        fs::path out = dir_ / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        ASSERT_TRUE(kwtest::Run(Mtools("mcopy -s -n -i '" + image_.string() + kAt + "' '::/*' '" +
                                       out.string() + "/'")));
        auto bytes = [](const fs::path& p) {
            std::ifstream in(p, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        for (const auto& [name, host] : files_) {
            EXPECT_TRUE(fs::exists(out / name)) << name;
            EXPECT_TRUE(bytes(out / name) == bytes(host)) << name;
        }
    }
    PARTITION_INFO* OpenVolume() {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
            if (pi->ulStartSect == kStart) {
                if (OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) != KW_OK)
                    return nullptr;
                fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
                return fat_ != nullptr && fat_->Init() == KW_OK ? pi : nullptr;
            }
        return nullptr;
    }
    void Close() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
        fat_ = nullptr;
        kwLibClose();
    }
    // Runs `op` on the volume opened on a disk that fails its failWrite-th
    // write (0: none); the library counts the writes.
    kwRet RunOnVolume(const std::function<kwRet(FAT_FILESYSTEM*, PARTITION_INFO*)>& op,
                      uint64_t failWrite, uint64_t* writes) {
        kw::plat::FaultySectorSource* faulty = nullptr;
        kw::plat::SetDiskProviderForTests([&] {
            int err = 0;
            auto file = kw::plat::FileSectorSource::Open(
                image_.string(), kw::plat::DiskFileKind::ImageFile, true, &err);
            auto f = std::make_unique<kw::plat::FaultySectorSource>(std::move(file));
            f->FailWriteNumber(failWrite);
            faulty = f.get();
            kw::plat::DiskScan scan;
            scan.disks.push_back(std::move(f));
            return scan;
        });
        kwRet rc = kwLibOpen();
        PARTITION_INFO* pi = rc == KW_OK ? OpenVolume() : nullptr;
        if (pi == nullptr)
            rc = ERR_NOT_OPEN;
        uint64_t before = faulty->WritesSeen();
        if (rc == KW_OK)
            rc = op(fat_, pi);
        if (writes != nullptr)
            *writes = faulty->WritesSeen() - before;
        Close();
        kw::plat::SetDiskProviderForTests(nullptr);
        return rc;
    }
    // Rewrites the volume for the case's layout.
    kwRet Rewrite(const RewriteCase& c, uint64_t failWrite, uint64_t* writes) {
        return RunOnVolume(
            [&](FAT_FILESYSTEM* fat, PARTITION_INFO* pi) {
                FAT_BOOT_RECORD layout;
                kwRet rc = LayoutAfter(fat, c.newTotal != 0 ? c.newTotal : pi->NumSects, c.newSpc,
                                       c.toFat32, 512, &layout);
                return rc == KW_OK ? RewriteCriticalArea(fat, layout, bad_) : rc;
            },
            failWrite, writes);
    }
    // The next disk scan: the recovery of a 3Ch entry runs here.
    void Rescan() {
        setenv("KW_DISKS", image_.c_str(), 1);
        ASSERT_EQ(kwLibOpen(), KW_OK);
        kwLibClose();
    }
    std::string TypeByte() const { return std::to_string(kwtest::ReadAt(image_, 446 + 4, 1)[0]); }

    static std::string RootFileName(int i) {
        return "Root file number " + std::to_string(i) + ".txt";
    }

    kwtest::TempDir dir_;
    fs::path image_, host_;
    int rootFiles_ = 0; // files with long names in the root, from MakeVolume
    std::map<std::string, fs::path> files_;
    const SECT_LIST* bad_ = nullptr; // sectors the rewrite marks bad
    FILESYSTEM* fs_ = nullptr;
    FAT_FILESYSTEM* fat_ = nullptr;
    REBOOT_MANAGER reboots_;
    kwtest::YesUI ui_;
    std::optional<UIBridgeThunk> bridge_;
};

} // namespace fatrewrite
