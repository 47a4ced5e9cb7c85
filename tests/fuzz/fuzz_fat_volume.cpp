// Opens arbitrary bytes as a FAT volume through the disk library and the
// file-system factory, lists the whole tree, maps the used sectors and reads
// every file it finds. Nothing may crash, hang or read outside the volume.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fs/filesystem.h"
#include "platform/disk/disk_driver.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class MemorySource : public kw::plat::SectorSource {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::string Name() const override { return "fuzz"; }
    uint64_t SectorCount() const override { return bytes_.size() / kw::plat::kSectorBytes; }
    bool Writable() const override { return false; }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        if (!kw::plat::RunInside(sector, count, SectorCount()))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        std::memcpy(buffer, bytes_.data() + sector * kw::plat::kSectorBytes,
                    size_t{count} * kw::plat::kSectorBytes);
        return {};
    }
    kw::plat::DiskIoResult Write(uint64_t, const void*, uint32_t) override {
        return {kw::plat::DiskIoStatus::ReadOnly, 0};
    }

private:
    std::vector<uint8_t> bytes_;
};

void Walk(FILESYSTEM* fs, const std::string& path, int depth) {
    if (depth > 8)
        return;
    DIRLIST list;
    list.SetWantTimes(true);
    if (fs->ListDirectory(&list, path.c_str(), LIST_LONG_NAMES) != KW_OK)
        return;
    auto* fat = static_cast<FAT_FILESYSTEM*>(fs);
    for (uint32_t i = 0; i < list.GetCount() && i < 64; ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0)
            continue;
        std::string child = (path == "\\" ? "\\" : path + "\\") + e->name;
        if (e->attributes & DIR_ATTR_DIRECTORY) {
            Walk(fs, child, depth + 1);
            continue;
        }
        FAT_FILE_HANDLE* h = nullptr;
        if (fat->OpenFile(child.c_str(), &h, 0) != KW_OK)
            continue;
        uint8_t buffer[4096];
        uint32_t n = h->GetSize() < sizeof buffer ? h->GetSize() : sizeof buffer;
        fat->Read(h, buffer, n);
        FreeSectorRuns(fat->ListClusters(child.c_str()));
        delete h;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512 || size > (8u << 20))
        return 0;
    std::vector<uint8_t> bytes(data, data + size);
    bytes.resize((size + 511) / 512 * 512, 0);
    kw::plat::SetDiskProviderForTests([&bytes] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<MemorySource>(bytes));
        return scan;
    });
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        PARTITION_INFO* pi = nullptr;
        if (disk != nullptr &&
            CreatePi(disk, 0, nullptr, false, 0, static_cast<uint32_t>(bytes.size() / 512), 0, 0,
                     PI_NO_ENTRY, 0, &pi) == KW_OK) {
            pi->ucFsKind = FS_KIND_FAT;
            FILESYSTEM* fs = nullptr;
            if (OpenFileSystem(pi, &fs, FS_OPEN_SHARED, 0) == KW_OK && fs->Init() == KW_OK) {
                Walk(fs, "\\", 0);
                STATE_MAP* map = nullptr;
                fs->GenerateBitmap(&map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
                delete map;
                char label[12];
                fs->GetVolumeLabel(label);
                DIRLIST found;
                fs->FileMatch("\\*.*", SEARCH_SUBDIRECTORIES, &found);
            }
            CloseFileSystem(&fs);
            DeletePi(&pi);
        }
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests({});
    return 0;
}
