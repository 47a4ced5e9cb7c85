#include "tests/engine/fat/fat_fixture.h"

#include "engine/core/rebootmgr.h"
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/file_disk_source.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace kwtest {

namespace {

const char* kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";

void Must(const std::string& command) {
    if (!Run(std::string(kEnv) + command))
        throw std::runtime_error("failed: " + command);
}

// The image file as the one disk the library opens, every write and flush
// logged.
void ProvideRecorded(const fs::path& image, std::vector<DiskEvent>* log) {
    kw::plat::SetDiskProviderForTests([image, log] {
        int err = 0;
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<RecordingSource>(
            kw::plat::FileSectorSource::Open(image.string(), kw::plat::DiskFileKind::ImageFile,
                                             true, &err),
            log));
        return scan;
    });
}

} // namespace

void FatVolumeTest::OpenVolume(const fs::path& image, bool init) {
    setenv("KW_DISKS", image.c_str(), 1);
    Attach(image, init);
}

void FatVolumeTest::OpenRecorded(const fs::path& image, std::vector<DiskEvent>* log) {
    ProvideRecorded(image, log);
    recorded_ = true;
    Attach(image, true);
}

void FatVolumeTest::Attach(const fs::path& image, bool init) {
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* disk = nullptr;
    kwGetDiskList(&disk);
    ASSERT_NE(disk, nullptr);
    uint32_t sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
    ASSERT_EQ(CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_), KW_OK);
    pi_->ucFsKind = FS_KIND_FAT;
    ASSERT_EQ(OpenFileSystem(pi_, &fs_, FS_OPEN_SHARED, 0), KW_OK);
    fat_ = dynamic_cast<FAT_FILESYSTEM*>(fs_);
    ASSERT_NE(fat_, nullptr);
    if (init) {
        ASSERT_EQ(fs_->Init(), KW_OK);
    }
}

void FatVolumeTest::CloseVolume() {
    CloseFileSystem(&fs_);
    fat_ = nullptr;
    if (pi_ != nullptr)
        DeletePi(&pi_);
    kwLibClose();
    unsetenv("KW_DISKS");
    if (recorded_)
        kw::plat::SetDiskProviderForTests(nullptr);
    recorded_ = false;
}

size_t ForEachCutImage(const std::string& base, const std::vector<DiskEvent>& log,
                       const fs::path& cut, const std::function<void()>& check) {
    size_t writes = 0;
    ForEachCutState(base, log, [&](const std::string& state, size_t k) {
        SCOPED_TRACE("cut after write " + std::to_string(k));
        writes = k;
        WriteHost(cut, state);
        check();
    });
    return writes;
}

size_t ForEachReorderedCutImage(const std::string& base, const std::vector<DiskEvent>& log,
                                const fs::path& cut, const std::function<void()>& check) {
    size_t states = 0;
    ForEachReorderedCutState(base, log, [&](const std::string& state) {
        SCOPED_TRACE("reordered state " + std::to_string(++states));
        WriteHost(cut, state);
        check();
    });
    return states;
}

std::string TreeHashes(const TempDir& dir, const fs::path& image) {
    fs::path out = dir / "tree-hashes";
    fs::remove_all(out);
    fs::create_directories(out);
    return Capture(std::string(kEnv) + "mcopy -s -n -i " + Quote(image) + " '::*' " + Quote(out) +
                   " 2>&1 && cd " + Quote(out) + " && find . -type f -exec sha256sum {} + | sort");
}

std::string Bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

std::string Mtype(const fs::path& image, const std::string& path) {
    return Capture(std::string(kEnv) + "mtype -i " + Quote(image) + " '::" + path +
                   "' 2>/dev/null");
}

void Mcopy(const fs::path& image, const fs::path& from, const std::string& to) {
    ASSERT_TRUE(Run(std::string(kEnv) + "mcopy -o -i " + Quote(image) + " " + Quote(from) +
                    " '::" + to + "'"));
}

void WriteHost(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string ReadHost(const fs::path& file) {
    // In one read: disk images run to tens of MiB.
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

fs::path MakeFatVolume(const TempDir& dir, const std::string& name, int bits, uint32_t kib,
                       int clusterSectors) {
    fs::path image = dir / name;
    Must("mkfs.fat -C -F " + std::to_string(bits) + " -s " + std::to_string(clusterSectors) +
         " -n KWTEST " + Quote(image) + " " + std::to_string(kib));
    return image;
}

fs::path FillStandardTree(const TempDir& dir, const fs::path& image) {
    fs::path root = dir / "tree";
    fs::create_directories(root / "Docs" / "Old Letters");
    fs::create_directories(root / "EMPTYDIR");
    fs::path deep = root / "deep";
    for (int i = 0; i < 12; ++i)
        deep /= "level " + std::to_string(i);
    fs::create_directories(deep);
    WriteHost(root / "README.TXT", "read me\n");
    WriteHost(root / "A rather long file name, with commas.text", std::string(3000, 'x'));
    WriteHost(root / "Ünïcode näme — ok.dat", "unicode\n");
    WriteHost(root / "lower.txt", "lower\n");
    WriteHost(root / "Docs" / "empty.bin", "");
    std::string big;
    for (int i = 0; i < 40000; ++i)
        big += std::to_string(i * 7919) + "\n";
    WriteHost(root / "Docs" / "Old Letters" / "big file.log", big);
    WriteHost(deep / "bottom.txt", "bottom\n");
    Must("mcopy -s -i " + Quote(image) + " " + Quote(root) + "/* ::");
    return root;
}

FatListing MdirListing(const fs::path& image, uint64_t offset) {
    std::string at = offset ? "@@" + std::to_string(offset * 512) : "";
    std::istringstream in(
        Capture(std::string(kEnv) + "mdir -/ -a -i " + Quote(image) + at + " ::"));
    static const std::regex entry(
        R"(^(.*?) +(<DIR>|[0-9][0-9 ]*?) +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]{1,2}:[0-9]{2}(?:  (.+)| )?$)");
    FatListing out;
    std::string line, folder;
    while (std::getline(in, line)) {
        if (line.rfind("Directory for ::/", 0) == 0) {
            folder = line.substr(17);
            continue;
        }
        std::smatch m;
        if (line.empty() || line[0] == ' ' || !std::regex_match(line, m, entry))
            continue;
        // The 8.3 name: base, blanks, extension.
        std::istringstream parts(m[1].str());
        std::string base, ext;
        parts >> base >> ext;
        if (base == "." || base == "..")
            continue;
        std::string name = m[3].matched ? m[3].str() : base + (ext.empty() ? "" : "." + ext);
        FatListed e;
        e.dir = m[2] == "<DIR>";
        if (!e.dir) {
            std::string digits = m[2];
            digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
            e.size = std::stoull(digits);
        }
        out[folder.empty() ? name : folder + "/" + name] = e;
    }
    return out;
}

FatListing FlsListing(const fs::path& image, uint64_t offset) {
    std::istringstream in(Capture(std::string(kEnv) + "fls -r -p -u -o " + std::to_string(offset) +
                                  " " + Quote(image)));
    FatListing out;
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(":\t");
        if (colon == std::string::npos || line[0] == 'v' || line[0] == 'V' ||
            line.find("(Volume Label Entry)") != std::string::npos)
            continue;
        FatListed e;
        e.dir = line[0] == 'd';
        out[line.substr(colon + 2)] = e;
    }
    return out;
}

KwfsResult Kwfs(const std::string& args) {
    KwfsResult r;
    fs::path err = fs::temp_directory_path() / ("kwfs-err-" + std::to_string(getpid()));
    std::string cmd = std::string(KW_KWFS) + " " + args + " 2>" + Quote(err);
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(err);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    fs::remove(err);
    return r;
}

KwfsResult KwfsLs(const std::string& source, bool hash) {
    KwfsResult r = Kwfs(std::string("ls ") + (hash ? "--hash " : "") + "'" + source + "'");
    static const std::regex row(
        R"re(^\{"path": "((?:[^"\\]|\\.)*)", "kind": "(file|dir)", "size": (null|[0-9]+).*?(?:"sha256": "([0-9a-f]+)")?\}$)re");
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, row))
            throw std::runtime_error("unexpected kwfs line: " + line);
        FatListed e;
        e.dir = m[2] == "dir";
        e.size = e.dir ? 0 : std::stoull(m[3]);
        e.sha = m[4];
        r.listing[m[1]] = e;
    }
    return r;
}

long FsckUsedClusters(const fs::path& image) {
    std::string out = Capture("fsck.fat -n -v " + Quote(image));
    static const std::regex used(R"(([0-9]+) files, ([0-9]+)/([0-9]+) clusters)");
    std::smatch m;
    return std::regex_search(out, m, used) ? std::stol(m[2]) : -1;
}

bool FsckClean(const fs::path& image, std::string* report) {
    std::string out = Capture("fsck.fat -n " + Quote(image) + "; echo status=$?");
    if (report != nullptr)
        *report = out;
    return out.find("status=0") != std::string::npos;
}

struct FatPartitionDisk::Host {
    YesUI ui;
    REBOOT_MANAGER reboots;
    std::unique_ptr<UIBridgeThunk> bridge;
};

FatPartitionDisk::FatPartitionDisk() : host_(new Host) {
    gRebootManager = &host_->reboots;
    kwSetUIInterface(&host_->ui);
    host_->bridge = std::make_unique<UIBridgeThunk>();
}

FatPartitionDisk::~FatPartitionDisk() {
    Close();
    host_->bridge.reset();
    kwSetUIInterface(nullptr);
    gRebootManager = nullptr;
}

void FatPartitionDisk::Make(const fs::path& volume, const fs::path& disk, uint8_t type) {
    disk_ = disk;
    sectors_ = static_cast<uint32_t>(fs::file_size(volume) / 512);
    MakeSparse(disk, uint64_t{kStart + sectors_ + 2048} * 512);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", type);
    Must("printf 'label: dos\\nstart=" + std::to_string(kStart) +
         ", size=" + std::to_string(sectors_) + ", type=" + hex + "\\n' | sfdisk -q " +
         Quote(disk) + " >/dev/null 2>&1");
    Splice(disk, kStart, volume);
}

FAT_FILESYSTEM* FatPartitionDisk::Open(std::vector<DiskEvent>* log) {
    fs::path image = disk_;
    ProvideRecorded(image, log);
    if (kwLibOpen() != KW_OK)
        return nullptr;
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    for (PARTITION_INFO* pi = d != nullptr ? d->firstPi : nullptr; pi != nullptr; pi = pi->next)
        if (pi->ulStartSect == kStart && OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, 0) == KW_OK)
            break;
    auto* fat = dynamic_cast<FAT_FILESYSTEM*>(fs_);
    return fat != nullptr && fat->Init() == KW_OK ? fat : nullptr;
}

void FatPartitionDisk::Close() {
    if (fs_ != nullptr)
        CloseFileSystem(&fs_);
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
}

void FatPartitionDisk::Rescan(const fs::path& image) {
    setenv("KW_DISKS", image.c_str(), 1);
    EXPECT_EQ(kwLibOpen(), KW_OK);
    kwLibClose();
    unsetenv("KW_DISKS");
}

void FatPartitionDisk::Extract(const fs::path& image, const fs::path& part) const {
    Must("dd if=" + Quote(image) + " of=" + Quote(part) +
         " bs=1M skip=" + std::to_string(uint64_t{kStart} * 512) + " count=" +
         std::to_string(uint64_t{sectors_} * 512) + " iflag=skip_bytes,count_bytes status=none");
}

uint8_t FatPartitionDisk::EntryType(const fs::path& image) {
    return ReadAt(image, 446 + 4, 1)[0];
}

} // namespace kwtest
