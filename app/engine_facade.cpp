#include "app/engine_facade.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/errtext.h"
#include "engine/core/progress.h"
#include "engine/fs/fs_module.h"
#include "engine/hidpart/hidpart.h"
#include "engine/host/engine_host.h"
#include "engine/imgaccess/image_access.h"
#include "engine/imgaccess/imgaccess.h"

#include <cstdio>

namespace kw::app {
namespace {

// The engine host of the program: set-up on Open; the switches, the logs
// and the machine's disks on Start; everything undone on Stop and at
// destruction.
class HostEngine final : public EngineFacade {
public:
    ~HostEngine() override {
        if (hiddenIn_ != nullptr)
            kw::hidpart::RemoveHidPartExtender(*hiddenIn_);
    }
    kwRet Open(uint32_t major, uint32_t minor) override { return engine_.Open(major, minor); }

    kwRet Start(const std::vector<std::string>& args) override {
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        std::string bad;
        if (engine_.Init(argc, argv.data(), &bad) != KW_OK && !bad.empty())
            std::fprintf(stderr, "%s\n", bad.c_str()); // a bad switch or a log that did not open
        kwRet rc = engine_.Start(argc, argv.data());
        started_ = true;
        return rc;
    }

    kwRet Stop() override {
        if (!started_)
            return KW_OK;
        started_ = false;
        if (hiddenIn_ != nullptr)
            kw::hidpart::RemoveHidPartExtender(*hiddenIn_);
        hiddenIn_ = nullptr;
        return engine_.Stop();
    }

    bool Started() const override { return started_; }

    void ServeHiddenPartitions(vfs::VFS_NAMESPACE& ns) override {
        if (!started_ || hiddenIn_ != nullptr)
            return;
        kw::hidpart::InstallHidPartExtender(ns);
        hiddenIn_ = &ns;
    }

private:
    EngineF6 engine_;
    bool started_ = false;
    vfs::VFS_NAMESPACE* hiddenIn_ = nullptr; // where the hidden partitions are offered
};

} // namespace

std::unique_ptr<EngineFacade> MakeEngineFacade() {
    return std::make_unique<HostEngine>();
}

uint32_t EngineProgressPercent() {
    return GetProgressPercent(0, 0);
}

PARTITION_INFO* HiddenPartition(const std::string& path) {
    hidpart::HIDPART_PATH parsed;
    if (!hidpart::HidPartParsePath(path, &parsed) || (parsed.rest != "" && parsed.rest != "\\"))
        return nullptr;
    PARTITION_INFO* pi = hidpart::HidPartFindPartition(parsed.disk, parsed.part);
    return hidpart::HidPartServes(pi) ? pi : nullptr;
}

bool HiddenPartitionWritable(const std::string& path) {
    hidpart::HIDPART_PATH parsed;
    if (!hidpart::HidPartParsePath(path, &parsed))
        return false;
    PARTITION_INFO* pi = hidpart::HidPartFindPartition(parsed.disk, parsed.part);
    return hidpart::HidPartServes(pi) && hidpart::HidPartWritable(pi);
}

void SetEngineCancel(bool on) {
    if (on)
        PROGRESS_INFO::RequestCancel();
    else
        PROGRESS_INFO::ClearCancelRequest();
}

bool EngineCancelSet() {
    return PROGRESS_INFO::CancelRequested();
}

IMGACCESS* OpenImageAccess(const std::string& hostPath, const std::string& changeFile,
                           IMGACCESS_UI_CALLBACK* callback, uint32_t* code) {
    return CreateImageAccess(hostPath.c_str(), changeFile.empty() ? nullptr : changeFile.c_str(),
                             callback, code);
}

kwRet ImageListingError(IMGACCESS* access) {
    return access == nullptr ? ERR_IMG_READ
                             : static_cast<imgaccess::IMAGE_ACCESS*>(access)->LastListingError();
}

int32_t VerifyImage(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback) {
    return PartStoreVerifyData(hostPath.c_str(), callback);
}

void LogLine(const std::string& line) {
    DbgPrintf("%s\n", line.c_str());
}

std::string ErrorText(kwRet code) {
    return kwGetErrorTextA(code);
}

namespace {

// Names by file-system kind; FAT types 0x0C and 0x1C are the extended FAT32.
const char* NameOfKind(uint32_t kind, uint32_t type) {
    const bool fat32x = type == 0x0C || type == 0x1C;
    switch (kind) {
    case 1:
        if (type == 0x0B || type == 0x1B)
            return "FAT32";
        return fat32x ? "FAT32X" : (type == 0x12 ? "Utility" : "FAT");
    case 4:
        return "NTFS";
    case 7:
        return "HPFS";
    case 9:
        return "Linux Ext2";
    case 12:
        return "Linux Swap";
    case 13:
        return "NetWare";
    case 15:
        return fat32x ? "FAT32X" : "FAT32";
    default:
        return "";
    }
}

const char* NameOfType(uint32_t type) {
    switch (type) {
    case 0x01:
        return "FAT12";
    case 0x04:
        return "FAT16";
    case 0x05:
    case 0x0F:
        return "Extended";
    case 0x06:
        return "FAT16B";
    case 0x07:
        return "NTFS";
    case 0x0A:
        return "Boot Manager";
    case 0x0B:
        return "FAT32";
    case 0x0C:
        return "FAT32X";
    case 0x82:
        return "Linux Swap";
    case 0x83:
        return "Linux Ext2";
    default:
        return "";
    }
}

} // namespace

bool FileSystemHasFiles(uint32_t fsKind) {
    const FS_MODULE* row = fsKind <= 0xFF ? fsModuleOf(static_cast<uint8_t>(fsKind)) : nullptr;
    return row != nullptr && row->createFile != nullptr;
}

std::string FileSystemName(uint32_t fsKind, uint32_t partitionType) {
    std::string name = NameOfKind(fsKind, partitionType);
    return name.empty() ? NameOfType(partitionType) : name;
}

} // namespace kw::app
