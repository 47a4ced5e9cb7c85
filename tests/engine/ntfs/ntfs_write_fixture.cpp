#include "tests/engine/ntfs/ntfs_write_fixture.h"

#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"
#include "tests/engine/fat/fat_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace kwtest {

NtfsWriteVolume::NtfsWriteVolume(const fs::path& image, std::vector<DiskEvent>* log) {
    std::string path = image.string();
    kw::plat::SetDiskProviderForTests([path, log] {
        int err = 0;
        std::unique_ptr<kw::plat::SectorSource> file =
            kw::plat::FileSectorSource::Open(path, kw::plat::DiskFileKind::ImageFile, true, &err);
        kw::plat::DiskScan scan;
        if (file != nullptr && log != nullptr)
            file = std::make_unique<RecordingSource>(std::move(file), log);
        if (file != nullptr)
            scan.disks.push_back(std::move(file));
        return scan;
    });
    if (kwLibOpen() != KW_OK)
        return;
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    auto sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
    if (disk == nullptr ||
        CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_) != KW_OK)
        return;
    pi_->ucFsKind = FS_KIND_NTFS;
    fs_ = new NTFS_FILESYSTEM(pi_);
    rc_ = fs_->Init();
}

NtfsWriteVolume::~NtfsWriteVolume() {
    delete fs_;
    DeletePi(&pi_);
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
}

std::string NtfsfixProblems(const fs::path& image) {
    std::string out = Capture("ntfsfix -n " + Quote(image) + " 2>&1; echo \"exit=$?\"");
    return out.find("exit=0") != std::string::npos ? "" : out;
}

std::string NtfsAccountingProblems(const fs::path& image) {
    std::string out = Capture("ntfsresize -i -f " + Quote(image) + " 2>&1; echo \"exit=$?\"");
    bool clean =
        out.find("exit=0") != std::string::npos && out.find("accounting") == std::string::npos;
    return clean ? "" : out.substr(0, 2000);
}

std::string NtfsToolProblems(const fs::path& image) {
    return NtfsfixProblems(image) + NtfsAccountingProblems(image);
}

std::string EnginePath(const std::string& path) {
    std::string out = "\\" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

std::string NtfsCat(const fs::path& image, const std::string& path) {
    std::string out =
        Capture("ntfscat " + Quote(image) + " '" + path + "' 2>/dev/null; echo -n \"$?\"");
    if (out.empty() || out.back() != '0')
        return "<missing>";
    out.pop_back();
    return out;
}

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

} // namespace kwtest
