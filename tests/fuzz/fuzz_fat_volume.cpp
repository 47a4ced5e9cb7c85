// Opens arbitrary bytes as a FAT volume through the disk library and the
// file-system factory, lists the whole tree, maps the used sectors, reads
// every file it finds and reads every folder into the folder cache; then
// moves a FAT16 root into a chain and back and packs it (the writes stay in
// memory). Nothing may crash, hang or read outside the volume.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fat/fat_filesystem.h"
#include "engine/fat/fat_root_ops.h"
#include "engine/fs/filesystem.h"
#include "engine/host/fs_modules.h"
#include "kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The volume sits on a sparse disk as large as its boot sector says, up to
// this: the input is its start, the rest reads as zeros, so a small input can
// describe a FAT32 volume.
constexpr uint64_t kMaxDiskSectors = 1u << 17;
// Larger inputs reach no structure a smaller one cannot.
constexpr size_t kMaxInput = 1u << 20;

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
    if (size < 512 || size > kMaxInput)
        return 0;
    const uint32_t total16 = kwbytes::LoadLe16(data + 19), total32 = kwbytes::LoadLe32(data + 32);
    const uint64_t sectors =
        std::clamp<uint64_t>(total16 != 0 ? total16 : total32, (size + 511) / 512, kMaxDiskSectors);
    kw::plat::SetDiskProviderForTests([data, size, sectors] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::fuzz::SparseDisk>(data, size, sectors, true));
        return scan;
    });
    enInstallFsModules();
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        PARTITION_INFO* pi = nullptr;
        if (disk != nullptr && CreatePi(disk, 0, nullptr, false, 0, static_cast<uint32_t>(sectors),
                                        0, 0, PI_NO_ENTRY, 0, &pi) == KW_OK) {
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
                // The whole-volume folder cache, in starting-cluster order.
                FAT_DIR_BLOCKS* dirs = nullptr;
                FAT_DIR_SLOT slot;
                if (static_cast<FAT_FILESYSTEM*>(fs)->LoadDirBlocks(nullptr, &dirs) == KW_OK)
                    for (bool more = dirs->FirstEntry(&slot); more;
                         more = dirs->NextEntry(&slot, false)) {
                    }
                SECT_LIST bad;
                fs->GetBadSectors(&bad);
                fatGetVolumeLabel(pi, label);
                auto* fat = static_cast<FAT_FILESYSTEM*>(fs);
                kw::fat::CompactStaticRoot(fat, false);
                uint32_t first = 0;
                if (kw::fat::ConvertRootToDynamic(fat, &first) == KW_OK)
                    kw::fat::ConvertRootToStatic(fat);
                kw::fat::CompactStaticRoot(fat, true);
                kw::fat::CompactRootChain(fat, false);
                kw::fat::CompactRootChain(fat, true);
                uint32_t entries = 0;
                fat->CountRootEntries(&entries, true);
                SECT_LIST under;
                under.Add(pi->ulStartSect + pi->NumSects / 2);
                map = nullptr;
                fs->PrepareBadSectors(&map, &under, pi);
                delete map;
            }
            CloseFileSystem(&fs);
            DeletePi(&pi);
        }
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests({});
    return 0;
}
