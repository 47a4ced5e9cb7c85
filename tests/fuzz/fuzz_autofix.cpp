// Fuzzes partition-table repair with a user who answers Yes to everything:
// the input is a whole writable disk (whole sectors). Every repair runs to its
// writes in memory; a second run must end as well, and the disk never grows.
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/autofix.h"
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

class YesUI : public UIInterface {
public:
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return UI_ANSWER_YES;
    }
};

const std::string& Scratch() {
    static const std::string folder = [] {
        std::string f = std::filesystem::temp_directory_path() /
                        ("kw_fuzz_autofix_" + std::to_string(getpid()));
        std::filesystem::create_directories(f);
        return f;
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512 || size > 512 * 4096)
        return 0;
    static YesUI ui;
    kwSetUIInterface(&ui);
    AutoFixSetBackupFolder(Scratch());
    std::filesystem::remove(Scratch() + "/AUTOFIX.BAK");
    std::string bytes(reinterpret_cast<const char*>(data), size / 512 * 512);
    kw::plat::MemorySectorSource* source = nullptr;
    kw::plat::SetDiskProviderForTests([&] {
        kw::plat::DiskScan scan;
        auto disk = std::make_unique<kw::plat::MemorySectorSource>("fuzz", bytes, true);
        source = disk.get();
        scan.disks.push_back(std::move(disk));
        return scan;
    });
    {
        UIBridgeThunk bridge; // AutoFix runs, answered Yes, as the disk is scanned
        kwLibOpen();
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        if (disk != nullptr)
            AutoFix(disk);
        if (source != nullptr && source->Bytes().size() != bytes.size())
            __builtin_trap();
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
    kwSetUIInterface(nullptr);
    return 0;
}
