// NTFS volumes made by mkntfs and filled by ntfscp, read through the engine
// (kwfs and the file system's own calls) and compared with ntfsls, fls,
// ntfsinfo and the host files they came from; then the same volumes with
// one record or index damaged on purpose.
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "engine/fs/file_base.h"
#include "engine/fs/fs_module.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "engine/ntfs/ntfs_services.h"
#include "include/kwbytes.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;
using kwtest::FatListing;
using kwtest::Quote;

namespace {

void WriteHost(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string Sha(const fs::path& p) {
    return kwtest::Capture("sha256sum " + Quote(p)).substr(0, 64);
}

// The volume file as the disk library's only disk, its whole extent as one
// NTFS partition, read by the engine's own class.
class Volume {
public:
    explicit Volume(const fs::path& image) {
        setenv("KW_DISKS", image.c_str(), 1);
        if (kwLibOpen() != KW_OK)
            return;
        DISK_RECORD* disk = nullptr;
        kwGetDiskList(&disk);
        uint32_t sectors = static_cast<uint32_t>(fs::file_size(image) / 512);
        if (disk == nullptr ||
            CreatePi(disk, 0, nullptr, false, 0, sectors, 0, 0, PI_NO_ENTRY, 0, &pi_) != KW_OK)
            return;
        pi_->ucFsKind = FS_KIND_NTFS;
        fs_ = new NTFS_FILESYSTEM(pi_);
        rc_ = fs_->Init();
    }
    ~Volume() {
        delete fs_;
        DeletePi(&pi_);
        kwLibClose();
    }
    NTFS_FILESYSTEM* operator->() const { return fs_; }
    PARTITION_INFO* Pi() const { return pi_; }
    kwRet Status() const { return rc_; }

private:
    PARTITION_INFO* pi_ = nullptr;
    NTFS_FILESYSTEM* fs_ = nullptr;
    kwRet rc_ = ERR_NOT_OPEN;
};

uint32_t CountSet(const STATE_MAP& map) {
    uint32_t bits = map.GetBitCount();
    return bits == 0 ? 0 : map.CountSet(0, bits - 1, bits);
}

struct ClusterCase {
    const char* name;
    uint32_t cluster;
    uint32_t mib;
};

class NtfsToolVolumes : public ::testing::TestWithParam<ClusterCase> {};

// Small and resident, empty, long, non-ASCII and multi-cluster files.
fs::path FillStandardFiles(const kwtest::TempDir& dir, const fs::path& image) {
    fs::path host = dir / "host";
    fs::create_directories(host);
    std::string big;
    for (int i = 0; i < 60000; ++i)
        big += std::to_string(i * 7919) + "\n";
    const std::pair<std::string, std::string> files[] = {
        {"README.txt", "read me\n"},
        {"empty.bin", ""},
        {"Ünïcode näme — ok.dat", "unicode\n"},
        {std::string(200, 'L') + ".long", std::string(3000, 'x')},
        {"big file.log", big},
        {"lower case", "lower\n"},
    };
    for (const auto& [name, bytes] : files) {
        WriteHost(host / name, bytes);
        kwtest::NtfsPut(image, host / name, name);
    }
    return host;
}

TEST_P(NtfsToolVolumes, ListingsFilesAndUsedClustersEqualTheTools) {
    kwtest::TempDir dir;
    const ClusterCase& c = GetParam();
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", c.mib, c.cluster);
    fs::path host = FillStandardFiles(dir, image);
    kwtest::KwfsResult got = kwtest::KwfsLs("part:" + image.string(), true);
    ASSERT_EQ(got.status, 0) << got.err;
    FatListing tools = kwtest::NtfslsListing(image);
    ASSERT_EQ(tools.size(), 6u);
    EXPECT_EQ(got.listing, tools);
    std::set<std::string> names;
    for (const auto& [path, e] : got.listing) {
        names.insert(path);
        EXPECT_EQ(e.sha, Sha(host / path)) << path;
    }
    EXPECT_EQ(names, kwtest::FlsNtfsNames(image));
    kwtest::KwfsResult cat = kwtest::Kwfs("cat 'part:" + image.string() + "' 'big FILE.log'");
    EXPECT_EQ(cat.status, 0);
    WriteHost(dir / "got", cat.out);
    EXPECT_EQ(Sha(dir / "got"), Sha(host / "big file.log"));

    Volume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    STATE_MAP* meta = nullptr;
    STATE_MAP* data = nullptr;
    STATE_MAP* all = nullptr;
    ASSERT_EQ(v->GenerateBitmap(&all, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
    EXPECT_EQ(long(CountSet(*all)), kwtest::NtfsinfoUsedClusters(image));
    EXPECT_EQ(all->ulUnitsPerBit, c.cluster / 512);
    ASSERT_EQ(v->GenerateBitmaps(&meta, &data, FS_MAP_METADATA | FS_MAP_FILE_DATA), KW_OK);
    // The file data is what the big files hold, the rest is metadata.
    EXPECT_GT(CountSet(*data), 0u);
    EXPECT_EQ(CountSet(*meta) + CountSet(*data), CountSet(*all));
    delete meta;
    delete data;
    delete all;
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsToolVolumes,
                         ::testing::Values(ClusterCase{"c512", 512, 16},
                                           ClusterCase{"c4k", 4096, 64},
                                           ClusterCase{"c64k", 65536, 256}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NtfsDiskImage, APartitionOfADiskImageListsAsItsVolume) {
    kwtest::TempDir dir;
    fs::path volume =
        kwtest::MakeNtfsVolume(dir, "v.img", 32, 4096, "OnDisk", "-p 2048 -H 255 -S 63");
    fs::path host = FillStandardFiles(dir, volume);
    fs::path disk = dir / "disk.img";
    kwtest::MakeSparse(disk, (2048ull << 9) + fs::file_size(volume) + (1 << 20));
    kwtest::WriteLayout(disk, {{0x07, 2048, uint32_t(fs::file_size(volume) / 512)}}, 0, 0);
    kwtest::Splice(disk, 2048, volume);
    kwtest::KwfsResult got = kwtest::KwfsLs("disk:" + disk.string() + ":1", true);
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.listing, kwtest::KwfsLs("part:" + volume.string(), true).listing);
    EXPECT_EQ(got.listing.size(), 6u);
    EXPECT_EQ(kwtest::Kwfs("cat 'disk:" + disk.string() + ":1' readme.TXT").out, "read me\n");
}

TEST(NtfsFolders, AFolderWhoseIndexHasSeveralLevels) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 64, 4096);
    fs::path host = dir / "f";
    WriteHost(host, "same bytes\n");
    std::string script;
    for (int i = 0; i < 400; ++i)
        script += "ntfscp -q " + Quote(image) + " " + Quote(host) + " 'file number " +
                  std::to_string(i) + ".txt' && ";
    ASSERT_TRUE(kwtest::Run(script + "true"));
    kwtest::KwfsResult got = kwtest::KwfsLs("part:" + image.string());
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.listing.size(), 400u);
    EXPECT_EQ(got.listing, kwtest::NtfslsListing(image));
    for (const char* name : {"file number 0.txt", "FILE NUMBER 217.TXT", "file number 399.txt"}) {
        kwtest::KwfsResult cat =
            kwtest::Kwfs("cat 'part:" + image.string() + "' '" + std::string(name) + "'");
        EXPECT_EQ(cat.status, 0) << name;
        EXPECT_EQ(cat.out, "same bytes\n") << name;
    }
    EXPECT_EQ(kwtest::Kwfs("cat 'part:" + image.string() + "' 'file number 400.txt'").status, 1);
}

TEST(NtfsFolders, ASystemFolderListsItsChildrenLikeFls) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096);
    Volume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    DIRLIST list;
    ASSERT_EQ(v->ListDirectory(&list, "\\$Extend", 0), KW_OK);
    std::set<std::string> names;
    for (uint32_t i = 0; i < list.GetCount(); ++i)
        names.insert(list.Entry(i)->name);
    EXPECT_EQ(names, kwtest::FlsNtfsNames(image, 0, "11"));
    EXPECT_EQ(v->ListDirectory(&list, "\\$Extend\\missing", 0), ERR_PATH_NOT_FOUND);
    uint64_t record = 0;
    EXPECT_EQ(v->FindFile("\\$Extend\\", &record, nullptr), ERR_INVALID_PATH);
    EXPECT_EQ(v->FindFile("\\", &record, nullptr), KW_OK);
    EXPECT_EQ(record, 5u);
}

TEST(NtfsVolume, LabelVersionAndFreeSpace) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096, "Étiquette");
    Volume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    uint8_t major = 0, minor = 0;
    ASSERT_EQ(v->GetVersion(&major, &minor), KW_OK);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 1);
    uint8_t label[512];
    ASSERT_EQ(ntfsGetVolumeLabel(v.Pi(), label), KW_OK);
    const char16_t want[] = u"Étiquette";
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(kwbytes::LoadLe16(label + 2 * i), want[i]) << i;
    ASSERT_NE(fsModuleOf(FS_KIND_NTFS), nullptr);
    EXPECT_EQ(fsModuleOf(FS_KIND_NTFS)->diskHooks.ntfsVolumeLabel, &ntfsGetVolumeLabel);
    uint32_t files = 0, freeSects = 0;
    ASSERT_EQ(ntfsEstimateFilesAndFreeSects(v.Pi(), &freeSects, &files), KW_OK);
    EXPECT_GE(files, 16u);
    // The row's estimate: the free clusters ntfsinfo counts, in sectors.
    std::string info = kwtest::Capture("ntfsinfo -m " + Quote(image) + " 2>/dev/null");
    size_t at = info.find("Free Clusters: ");
    ASSERT_NE(at, std::string::npos);
    uint32_t rowFree = 0;
    ASSERT_NE(fsModuleOf(FS_KIND_NTFS)->estimateFree, nullptr);
    ASSERT_EQ(fsModuleOf(FS_KIND_NTFS)->estimateFree(v.Pi(), &rowFree), KW_OK);
    EXPECT_EQ(rowFree, std::stoul(info.substr(at + 15)) * 8);
    EXPECT_EQ(rowFree, freeSects);
}

// Reads that pass the end: a resident value refuses a range whose end lies
// past it (not only a length past it); the file object gives the bytes up to
// the end with 305, a seek past the end fails, and a file opened for reading
// takes no writes.
TEST(NtfsFiles, ReadsPastTheEndOfAResidentFile) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096);
    WriteHost(dir / "r", "resident");
    kwtest::NtfsPut(image, dir / "r", "r.txt");
    Volume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    NTFS_FILE_HANDLE* h = nullptr;
    ASSERT_EQ(v->OpenFile("\\r.txt", &h), KW_OK);
    ASSERT_FALSE(h->data.nonResident);
    char bytes[16] = {};
    EXPECT_EQ(v->ReadStream(h->data, 5, bytes, 5), kw::ntfs::ERR_AT_END_OF_FILE);
    EXPECT_EQ(v->ReadStream(h->data, 5, bytes, 3), KW_OK);
    EXPECT_EQ(std::string(bytes, 3), "ent");
    v->CloseFile(h);

    FILE_BASE* file = nullptr;
    ASSERT_EQ(kwFileOpen(&file, "\\r.txt", FILE_MODE_READ | FILE_MODE_BINARY, v.Pi(), nullptr, 0),
              KW_OK);
    ASSERT_EQ(kwFileSeek(file, 5, 0, FILE_SEEK_SET), KW_OK);
    uint32_t done = 0;
    EXPECT_EQ(kwFileRead(file, bytes, 10, &done), ERR_FILE_SHORT_READ);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(kwFileSeek(file, 9, 0, FILE_SEEK_SET), ERR_FILE_SEEK);
    EXPECT_EQ(kwFileWrite(file, bytes, 1, &done), ERR_BAD_ARGUMENT); // opened for reading
    EXPECT_EQ(kwFileClose(file, 0, nullptr), KW_OK);
}

TEST(NtfsFiles, ACompressedFileIsListedButNotRead) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096, "KwNtfs", "-C");
    WriteHost(dir / "z", std::string(200000, 'z'));
    WriteHost(dir / "small", "small");
    kwtest::NtfsPut(image, dir / "z", "zeds.bin");
    kwtest::NtfsPut(image, dir / "small", "small.txt");
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(ls.listing["zeds.bin"].size, 200000u);
    kwtest::KwfsResult cat = kwtest::Kwfs("cat 'part:" + image.string() + "' zeds.bin");
    EXPECT_EQ(cat.status, 1);
    EXPECT_NE(cat.err.find("error 1681"), std::string::npos) << cat.err;
    // --hash goes on past the file it cannot read and says so.
    kwtest::KwfsResult hashed = kwtest::Kwfs("ls --hash 'part:" + image.string() + "'");
    EXPECT_EQ(hashed.status, 3) << hashed.err;
    EXPECT_NE(hashed.out.find("\"error\": 1681"), std::string::npos) << hashed.out;
    EXPECT_NE(hashed.out.find("small.txt"), std::string::npos) << hashed.out;
}

// --- Damaged volumes ---

struct MftPlace {
    uint64_t offset = 0; // of record 0 in the image
    uint32_t recordSize = 0;
};

MftPlace FindMft(const fs::path& image) {
    std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
    kw::ntfs::Geometry g;
    EXPECT_EQ(kw::ntfs::ParseBootSector(boot, &g), KW_OK);
    return {g.mftCluster * g.bytesPerCluster, g.bytesPerRecord};
}

using Changes = std::vector<std::pair<size_t, std::vector<uint8_t>>>;

// Changes `size` bytes at `at` in place: `edit` gets them with their fix-ups
// removed and returns the changes (offset, bytes), which are written over the
// stored bytes; none may touch a sector's protected tail.
template <class Decode, class Edit>
void PatchFixedUp(const fs::path& image, uint64_t at, uint32_t size, Decode decode, Edit edit) {
    std::vector<uint8_t> decoded = kwtest::ReadAt(image, at, size);
    ASSERT_TRUE(decode(std::span<uint8_t>(decoded)));
    for (auto& [offset, bytes] : edit(std::span<const uint8_t>(decoded))) {
        for (size_t i = 0; i < bytes.size(); ++i)
            ASSERT_LT((offset + i) % 512, 510u) << "a protected tail";
        kwtest::WriteAt(image, at + offset, bytes);
    }
}

void PatchRecord(
    const fs::path& image, uint64_t number,
    const std::function<Changes(std::span<const uint8_t>, const kw::ntfs::RecordHeader&)>& edit) {
    MftPlace mft = FindMft(image);
    kw::ntfs::RecordHeader h;
    PatchFixedUp(
        image, mft.offset + number * mft.recordSize, mft.recordSize,
        [&](std::span<uint8_t> r) { return kw::ntfs::DecodeRecord(r, &h) == KW_OK; },
        [&](std::span<const uint8_t> r) { return edit(r, h); });
}

// The entries of each index entry in [first, end) of a span: offset, length,
// flags; stops after the last entry.
void ForEachEntry(std::span<const uint8_t> b, size_t first, size_t end,
                  const std::function<void(size_t, uint32_t, uint16_t)>& visit) {
    for (size_t e = first; e + 16 <= end;) {
        uint32_t length = kwbytes::LoadLe16(b.data() + e + 8);
        uint16_t flags = kwbytes::LoadLe16(b.data() + e + 12);
        visit(e, length, flags);
        if (length == 0 || (flags & 2))
            break;
        e += length;
    }
}

// The root folder's index buffer at `vcn` (4 KiB buffers and clusters),
// changed in place.
void PatchRootIndexBuffer(const fs::path& image, uint64_t vcn,
                          const std::function<Changes(std::span<const uint8_t>)>& edit) {
    Volume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    NTFS_STREAM allocation;
    const uint8_t i30[8] = {'$', 0, 'I', 0, '3', 0, '0', 0};
    ASSERT_EQ(
        v->LoadStream(5, kw::ntfs::ATTR_INDEX_ALLOCATION, kw::ntfs::Bytes(i30, 8), &allocation),
        KW_OK);
    uint64_t at = 0;
    for (const kw::ntfs::Run& r : allocation.runs) {
        if (r.vcn <= vcn && vcn < r.vcn + r.length)
            at = (r.lcn + vcn - r.vcn) * 4096;
    }
    ASSERT_NE(at, 0u);
    PatchFixedUp(
        image, at, 4096,
        [](std::span<uint8_t> b) {
            uint64_t stored = 0;
            kw::ntfs::IndexNode node;
            return kw::ntfs::DecodeIndexBuffer(b, &stored, &node) == KW_OK;
        },
        edit);
}

// The offset inside the record of its first attribute of a type.
size_t AttributeOffset(std::span<const uint8_t> r, const kw::ntfs::RecordHeader& h, uint32_t type) {
    kw::ntfs::AttributeWalk walk(r, h);
    kw::ntfs::Attribute a;
    size_t at = h.firstAttribute;
    while (walk.Next(&a) == KW_OK) {
        if (a.type == type)
            return at;
        at += kwbytes::LoadLe32(r.data() + at + 4);
    }
    ADD_FAILURE() << "no attribute " << type;
    return 0;
}

std::vector<uint8_t> Le64(uint64_t v) {
    std::vector<uint8_t> b(8);
    kwbytes::StoreLe64(b.data(), v);
    return b;
}

TEST(NtfsDamage, ADamagedRecordFailsThatFileOnly) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096);
    WriteHost(dir / "a", "first\n");
    WriteHost(dir / "b", "second\n");
    kwtest::NtfsPut(image, dir / "a", "a.txt");
    kwtest::NtfsPut(image, dir / "b", "b.txt");
    long record = kwtest::FlsRecordOf(image, "a.txt");
    ASSERT_GT(record, 15);
    MftPlace mft = FindMft(image);
    // The stored tail of the record's first sector no longer matches.
    kwtest::WriteAt(image, mft.offset + uint64_t(record) * mft.recordSize + 510, {0xEE, 0xEE});
    std::string source = "'part:" + image.string() + "'";
    kwtest::KwfsResult cat = kwtest::Kwfs("cat " + source + " a.txt");
    EXPECT_EQ(cat.status, 1);
    EXPECT_NE(cat.err.find("error 1527"), std::string::npos) << cat.err;
    EXPECT_EQ(kwtest::Kwfs("cat " + source + " b.txt").out, "second\n");
    kwtest::KwfsResult ls = kwtest::KwfsLs("part:" + image.string());
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(ls.listing.size(), 2u);
}

TEST(NtfsDamage, InitializedSizeSparseRunsAndOldTimes) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096);
    WriteHost(dir / "data", std::string(4 * 4096, 'd'));
    WriteHost(dir / "holes", std::string(3 * 4096, 'h'));
    WriteHost(dir / "old", "old times\n");
    kwtest::NtfsPut(image, dir / "data", "data.bin");
    kwtest::NtfsPut(image, dir / "holes", "holes.bin");
    kwtest::NtfsPut(image, dir / "old", "old.txt");
    // data.bin: the initialised size ends after 5000 bytes.
    PatchRecord(image, kwtest::FlsRecordOf(image, "data.bin"), [](auto r, const auto& h) {
        size_t at = AttributeOffset(r, h, kw::ntfs::ATTR_DATA);
        return Changes{{at + 0x38, Le64(5000)}};
    });
    // holes.bin: its one run becomes a sparse run of the same length.
    PatchRecord(image, kwtest::FlsRecordOf(image, "holes.bin"), [](auto r, const auto& h) {
        size_t at = AttributeOffset(r, h, kw::ntfs::ATTR_DATA);
        size_t pairs = at + kwbytes::LoadLe16(r.data() + at + 0x20);
        return Changes{{pairs, {0x01, 0x03, 0x00}}};
    });
    // old.txt: its index entry says it was changed in 1601 (the root's names
    // lie in its first index buffer: the system files fill the root record).
    PatchRootIndexBuffer(image, 0, [](std::span<const uint8_t> b) {
        Changes changes;
        ForEachEntry(b, 24 + kwbytes::LoadLe32(b.data() + 24), b.size(),
                     [&](size_t e, uint32_t, uint16_t flags) {
                         if (!(flags & 2) && b[e + 16 + 64] == 7 && b[e + 16 + 66] == 'o')
                             changes.push_back({e + 16 + 16, Le64(1)});
                     });
        EXPECT_EQ(changes.size(), 1u);
        return changes;
    });
    std::string source = "'part:" + image.string() + "'";
    kwtest::KwfsResult data = kwtest::Kwfs("cat " + source + " data.bin");
    ASSERT_EQ(data.status, 0) << data.err;
    EXPECT_EQ(data.out, std::string(5000, 'd') + std::string(4 * 4096 - 5000, '\0'));
    kwtest::KwfsResult holes = kwtest::Kwfs("cat " + source + " holes.bin");
    EXPECT_EQ(holes.status, 1);
    EXPECT_NE(holes.err.find("error 722"), std::string::npos) << holes.err;
    kwtest::KwfsResult ls = kwtest::Kwfs("ls " + source);
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find("\"old.txt\", \"kind\": \"file\", \"size\": 10, \"mtime\": \"1980-01-01"),
              std::string::npos)
        << ls.out;
}

TEST(NtfsDamage, AnIndexThatVisitsABufferTwiceFailsThatFolder) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 64, 4096);
    fs::path host = dir / "f";
    WriteHost(host, "x");
    std::string script;
    for (int i = 0; i < 200; ++i)
        script += "ntfscp -q " + Quote(image) + " " + Quote(host) + " 'name " + std::to_string(i) +
                  "' && ";
    ASSERT_TRUE(kwtest::Run(script + "true"));
    // The root's one child is an inner node: its first sub-node now names
    // that node itself.
    uint64_t child = ~0ull;
    PatchRecord(image, 5, [&](std::span<const uint8_t> r, const kw::ntfs::RecordHeader& h) {
        size_t at = AttributeOffset(r, h, kw::ntfs::ATTR_INDEX_ROOT);
        size_t value = at + kwbytes::LoadLe16(r.data() + at + 0x14);
        ForEachEntry(r, value + 16 + kwbytes::LoadLe32(r.data() + value + 16), r.size(),
                     [&](size_t e, uint32_t length, uint16_t flags) {
                         if ((flags & 1) && child == ~0ull)
                             child = kwbytes::LoadLe64(r.data() + e + length - 8);
                     });
        return Changes{};
    });
    ASSERT_NE(child, ~0ull);
    PatchRootIndexBuffer(image, child, [&](std::span<const uint8_t> b) {
        Changes changes;
        ForEachEntry(b, 24 + kwbytes::LoadLe32(b.data() + 24), b.size(),
                     [&](size_t e, uint32_t length, uint16_t flags) {
                         if ((flags & 1) && changes.empty())
                             changes.push_back({e + length - 8, Le64(child)});
                     });
        EXPECT_EQ(changes.size(), 1u);
        return changes;
    });
    kwtest::KwfsResult ls = kwtest::Kwfs("ls 'part:" + image.string() + "'");
    EXPECT_EQ(ls.status, 1);
    EXPECT_NE(ls.err.find("error 1526"), std::string::npos) << ls.err;
}

TEST(NtfsDamage, BootSectorsTheEngineRefuses) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 16, 4096);
    struct Case {
        size_t at;
        std::vector<uint8_t> bytes;
        kwRet want;
    };
    const Case cases[] = {
        {0x0B, {0x00, 0x10}, kw::ntfs::ERR_CLUSTER_SIZE}, // 4096 bytes per sector
        {0x40, {0xE0}, kw::ntfs::ERR_RECORD_SIZE},        // records of 2^32 bytes
        {0x00, {0x90}, kw::ntfs::ERR_BOOT_SIGNATURE},
    };
    std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
    for (const Case& c : cases) {
        kwtest::WriteAt(image, 0, boot);
        kwtest::WriteAt(image, c.at, c.bytes);
        Volume v(image);
        EXPECT_EQ(v.Status(), c.want) << c.at;
    }
}

} // namespace
