// Opens arbitrary bytes as an NTFS volume held in memory, lists its whole
// tree, reads every file it finds, maps the used clusters and reads the
// label; then writes into the files it found (bytes, a cut, a growth), takes
// and gives back records, lists clusters with the move out of the record,
// creates and deletes files and folders, and shrinks the volume by a quarter.
// Nothing may crash, hang, or read or write outside the volume: the disk
// goes on 64 sectors past the partition, and a write there traps.
//
// Input: a 2 MiB volume of zeros patched by records of a 2-byte sector number
// (little-endian, taken modulo the volume's sectors) and 512 bytes, so that
// seeds hold only the sectors a volume uses (make_ntfs_seeds.sh).
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/filesystem.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "platform/disk/disk_driver.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSectors = 4096;
constexpr uint32_t kDiskSectors = kSectors + 64;

class MemorySource : public kw::plat::SectorSource {
public:
    explicit MemorySource(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
    std::string Name() const override { return "fuzz"; }
    uint64_t SectorCount() const override { return kDiskSectors; }
    bool Writable() const override { return true; }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        if (!kw::plat::RunInside(sector, count, SectorCount()))
            return {kw::plat::DiskIoStatus::OutOfRange, 0};
        std::memcpy(buffer, bytes_->data() + sector * kw::plat::kSectorBytes,
                    size_t{count} * kw::plat::kSectorBytes);
        return {};
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        if (!kw::plat::RunInside(sector, count, kSectors))
            __builtin_trap(); // outside the partition
        std::memcpy(bytes_->data() + sector * kw::plat::kSectorBytes, buffer,
                    size_t{count} * kw::plat::kSectorBytes);
        return {};
    }

private:
    std::vector<uint8_t>* bytes_;
};

// Changes one file: bytes past its start, a cut, a growth by size alone.
void Change(NTFS_FILESYSTEM* fs, const std::string& path) {
    NTFS_FILE_HANDLE* h = nullptr;
    if (fs->OpenFile(path.c_str(), &h, true) != KW_OK)
        return;
    static const uint8_t bytes[3000] = {1, 2, 3};
    h->position = 1;
    if (fs->WriteFile(h, bytes, sizeof bytes) == KW_OK && fs->SetFileSize(h, 100) == KW_OK)
        fs->SetFileSize(h, 20000);
    fs->CloseFile(h);
    FreeSectorRuns(fs->ListFileClusters(path.c_str(), true));
}

void ChangeRecords(NTFS_FILESYSTEM* fs) {
    uint64_t taken[3] = {};
    for (uint64_t& n : taken) {
        if (fs->AllocateFrs(false, &n) != KW_OK)
            break;
    }
    for (uint64_t n : taken) {
        if (n != 0)
            fs->FreeFrs(n);
    }
    fs->WriteMftBitmap();
}

// Names made, moved and taken away again: a file and a folder with a file
// in it, then one of the files found (renamed first).
void CreateAndDelete(NTFS_FILESYSTEM* fs, const std::vector<std::string>& found) {
    fs->CreateFile("\\fz.txt", 0, nullptr, nullptr);
    if (fs->CreateDirectory("\\fzd", 0, nullptr, nullptr) == KW_OK)
        fs->CreateFile("\\fzd\\FZ.TXT", 0, nullptr, nullptr);
    fs->RenameFile("\\fz.txt", "\\fzd\\a longer name for the moved file.txt");
    fs->RenameFile("\\fzd\\FZ.TXT", "\\fzd\\fz.txt");
    for (const char* path :
         {"\\fzd\\fz.txt", "\\fzd\\a longer name for the moved file.txt", "\\fzd", "\\fz.txt"})
        fs->DeleteFile(path);
    if (!found.empty() && fs->RenameFile(found.front().c_str(), "\\fz renamed") == KW_OK)
        fs->DeleteFile("\\fz renamed");
    else if (!found.empty())
        fs->DeleteFile(found.front().c_str());
}

void Walk(NTFS_FILESYSTEM* fs, const std::string& path, int depth,
          std::vector<std::string>* files) {
    if (depth > 8)
        return;
    DIRLIST list;
    list.SetWantTimes(true);
    if (fs->ListDirectory(&list, path.c_str(), LIST_LONG_NAMES) != KW_OK)
        return;
    for (uint32_t i = 0; i < list.GetCount() && i < 4; ++i) {
        const DIRLIST_ENTRY* e = list.Entry(i);
        std::string child = (path == "\\" ? "\\" : path + "\\") + e->name;
        if (e->attributes & DIR_ATTR_DIRECTORY) {
            Walk(fs, child, depth + 1, files);
            continue;
        }
        NTFS_FILE_HANDLE* h = nullptr;
        if (fs->OpenFile(child.c_str(), &h) != KW_OK)
            continue;
        uint8_t buffer[8192];
        uint64_t size = fs->GetFileSize(h);
        fs->ReadFile(h, buffer, static_cast<uint32_t>(size < sizeof buffer ? size : sizeof buffer));
        fs->CloseFile(h);
        FreeSectorRuns(fs->ListClusters(child.c_str()));
        files->push_back(child);
    }
}

std::vector<uint8_t>& Volume() {
    static std::vector<uint8_t> bytes(size_t{kDiskSectors} * 512);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t>& bytes = Volume();
    std::memset(bytes.data(), 0, bytes.size());
    for (size_t at = 0; at + 514 <= size; at += 514) {
        uint32_t sector = (data[at] | (data[at + 1] << 8)) % kSectors;
        std::memcpy(bytes.data() + size_t{sector} * 512, data + at + 2, 512);
    }
    kw::plat::SetDiskProviderForTests([&bytes] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<MemorySource>(&bytes));
        return scan;
    });
    if (kwLibOpen() == KW_OK) {
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        PARTITION_INFO* pi = nullptr;
        if (disk != nullptr &&
            CreatePi(disk, 0, nullptr, false, 0, kSectors, 0, 0, PI_NO_ENTRY, 0, &pi) == KW_OK) {
            pi->ucFsKind = FS_KIND_NTFS;
            {
                NTFS_FILESYSTEM fs(pi);
                if (fs.Init() == KW_OK) {
                    std::vector<std::string> found;
                    Walk(&fs, "\\", 0, &found);
                    STATE_MAP* meta = nullptr;
                    STATE_MAP* files = nullptr;
                    fs.GenerateBitmaps(&meta, &files, FS_MAP_METADATA | FS_MAP_FILE_DATA);
                    delete meta;
                    delete files;
                    uint8_t label[512];
                    fs.GetVolumeLabelUtf16(label);
                    uint8_t major = 0, minor = 0;
                    fs.GetVersion(&major, &minor);
                    for (size_t i = 0; i < found.size() && i < 3; ++i)
                        Change(&fs, found[i]);
                    ChangeRecords(&fs);
                    CreateAndDelete(&fs, found);
                    fs.Resize(kSectors,
                              static_cast<uint32_t>(fs.GetGeometry().totalSectors * 3 / 4 + 1),
                              nullptr, nullptr);
                }
            }
            DeletePi(&pi);
        }
    }
    kwLibClose();
    kw::plat::SetDiskProviderForTests({});
    return 0;
}
