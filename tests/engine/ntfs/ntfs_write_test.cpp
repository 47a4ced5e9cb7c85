// The write side of the NTFS file system: record edits checked against the
// decoders, then writes into volumes made by mkntfs, judged after every
// step by ntfsfix -n, ntfsresize -i -f and ntfscat; refused writes leave
// every byte as it was; writes cut off after any disk write leave a volume
// ntfsfix accepts with every file's bytes old or new.
#include "engine/fs/file_base.h"
#include "engine/ntfs/ntfs_attribute.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "engine/ntfs/ntfs_templates.h"
#include "include/kwbytes.h"
#include "tests/engine/ntfs/ntfs_fixture.h"
#include "tests/engine/ntfs/ntfs_write_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace fs = std::filesystem;
using namespace kw::ntfs;
using Runs = std::vector<kw::ntfs::Run>;
using kwtest::NtfsAccountingProblems;
using kwtest::NtfsCat;
using kwtest::NtfsfixProblems;
using kwtest::NtfsWriteVolume;
using kwtest::Pattern;

namespace {

const uint8_t kNoName[1] = {0};

// ---------------------------------------------------------------- record edits

std::vector<uint8_t> Bytes_(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

kw::ntfs::Run ClusterRun(uint64_t vcn, uint64_t length, uint64_t lcn) {
    return kw::ntfs::Run{vcn, length, lcn, RunKind::Clusters};
}

struct PairsCase {
    const char* name;
    Runs runs;
    std::vector<uint8_t> pairs;
};

class MappingPairs : public ::testing::TestWithParam<PairsCase> {};

// The encoder writes the fewest bytes for each value, and what it writes
// decodes to the same runs.
TEST_P(MappingPairs, EncodeToTheShortestFormAndDecodeBack) {
    const PairsCase& c = GetParam();
    size_t taken = 0;
    std::vector<uint8_t> pairs = EncodeRuns(c.runs, 4096, &taken);
    EXPECT_EQ(taken, c.runs.size());
    EXPECT_EQ(pairs, c.pairs);
    Runs back;
    uint64_t end = c.runs.back().vcn + c.runs.back().length;
    ASSERT_EQ(DecodeRuns(pairs, 0, end - 1, 1u << 30, &back), KW_OK);
    ASSERT_EQ(back.size(), c.runs.size());
    for (size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(back[i].length, c.runs[i].length);
        EXPECT_EQ(back[i].kind, c.runs[i].kind);
        if (back[i].kind == RunKind::Clusters) {
            EXPECT_EQ(back[i].lcn, c.runs[i].lcn);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, MappingPairs,
    ::testing::Values(
        PairsCase{"one_run", {ClusterRun(0, 0x18, 0x5634)}, Bytes_({0x21, 0x18, 0x34, 0x56, 0})},
        PairsCase{"backwards",
                  {ClusterRun(0, 0x18, 0x5634), ClusterRun(0x18, 0x30, 0x5624)},
                  Bytes_({0x21, 0x18, 0x34, 0x56, 0x11, 0x30, 0xF0, 0})},
        // 0x80 needs a second byte to stay positive
        PairsCase{"sign_byte", {ClusterRun(0, 0x80, 0x80)}, Bytes_({0x22, 0x80, 0, 0x80, 0, 0})},
        PairsCase{
            "sparse_between",
            {ClusterRun(0, 1, 16), kw::ntfs::Run{1, 4, 0, RunKind::Sparse}, ClusterRun(5, 1, 17)},
            Bytes_({0x11, 1, 16, 0x01, 4, 0x11, 1, 1, 0})},
        PairsCase{"no_clusters",
                  {kw::ntfs::Run{0, 0x100, 0, RunKind::NoClusters}},
                  Bytes_({0x12, 0, 1, 0xFF, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MappingPairs, OnlyWholePairsThatFitTheRoomAreWritten) {
    Runs runs;
    for (uint64_t i = 0; i < 10; ++i)
        runs.push_back(ClusterRun(i, 1, 100 + 2 * i)); // 3 bytes a pair after the first
    size_t taken = 0;
    std::vector<uint8_t> pairs = EncodeRuns(runs, 8, &taken);
    EXPECT_EQ(taken, 2u); // 3 + 3 bytes, then the end byte; a third pair would pass 8
    EXPECT_LE(pairs.size(), 8u);
    EXPECT_EQ(pairs.back(), 0);
}

std::vector<uint8_t> EmptyRecord(uint32_t size = 1024) {
    std::vector<uint8_t> r(size);
    BuildEmptyRecord(r, 30, FRS_IN_USE, 3);
    return r;
}

// The record as the reader sees it after a write: fix-ups applied, then
// decoded again.
std::vector<Attribute> Reread(std::vector<uint8_t> r, std::vector<uint8_t>* kept) {
    EXPECT_EQ(ApplyFixups(r), KW_OK);
    RecordHeader h;
    EXPECT_EQ(DecodeRecord(r, &h), KW_OK);
    *kept = r;
    std::vector<Attribute> out;
    AttributeWalk walk(*kept, h);
    Attribute a;
    kwRet rc;
    while ((rc = walk.Next(&a)) == KW_OK)
        out.push_back(a);
    EXPECT_EQ(rc, ERR_NO_MORE_NAMES);
    return out;
}

TEST(RecordEdit, FixupsTakeANewNumberEachWriteAndComeOffAgain) {
    std::vector<uint8_t> r = EmptyRecord();
    r[511] = 0xAB, r[1023] = 0xCD;
    std::vector<uint8_t> original = r;
    kwbytes::StoreLe16(r.data() + 48, 0xFFFE);
    original = r;
    ASSERT_EQ(ApplyFixups(r), KW_OK);
    EXPECT_EQ(kwbytes::LoadLe16(r.data() + 48), 1); // FFFFh and 0 are passed over
    EXPECT_EQ(kwbytes::LoadLe16(r.data() + 510), 1);
    EXPECT_EQ(kwbytes::LoadLe16(r.data() + 1022), 1);
    RecordHeader h;
    ASSERT_EQ(DecodeRecord(r, &h), KW_OK);
    EXPECT_EQ(r[511], 0xAB);
    EXPECT_EQ(r[1023], 0xCD);
    EXPECT_TRUE(h.InUse());
    EXPECT_EQ(h.sequence, 3);
}

// Attributes go in type order, then name order; a value that shrinks to
// nothing keeps the end marker behind it; a record that is full refuses.
TEST(RecordEdit, AttributesStayOrderedAndTheRecordStaysWalkable) {
    std::vector<uint8_t> r = EmptyRecord();
    const uint8_t nameB[2] = {'B', 0}, nameA[2] = {'A', 0};
    std::vector<uint8_t> v100(100, 7);
    ASSERT_EQ(InsertAttribute(r, ResidentAttribute(ATTR_DATA, Bytes(kNoName, 0), v100), nullptr),
              KW_OK);
    ASSERT_EQ(InsertAttribute(r, NonResidentAttribute(ATTR_DATA, Bytes(nameB, 2)), nullptr), KW_OK);
    ASSERT_EQ(InsertAttribute(r, ResidentAttribute(ATTR_DATA, Bytes(nameA, 2), {}), nullptr),
              KW_OK);
    ASSERT_EQ(InsertAttribute(r, ResidentAttribute(ATTR_STANDARD_INFORMATION, {}, v100), nullptr),
              KW_OK);
    uint32_t data = FindAttribute(r, ATTR_DATA, Bytes(kNoName, 0));
    ASSERT_NE(data, 0u);
    ASSERT_EQ(SetResidentValue(r, data, {}), KW_OK);
    std::vector<uint8_t> kept;
    std::vector<Attribute> attrs = Reread(r, &kept);
    ASSERT_EQ(attrs.size(), 4u);
    EXPECT_EQ(attrs[0].type, ATTR_STANDARD_INFORMATION);
    EXPECT_TRUE(attrs[1].name.empty());
    EXPECT_EQ(attrs[1].value.size(), 0u);
    EXPECT_EQ(attrs[2].name.size(), 2u);
    EXPECT_EQ(attrs[2].name[0], 'A');
    EXPECT_EQ(attrs[3].name[0], 'B');
    EXPECT_TRUE(attrs[3].nonResident);
    std::vector<uint8_t> big(1000, 1);
    std::vector<uint8_t> before = r;
    EXPECT_EQ(SetResidentValue(r, data, big), ERR_ATTRIBUTE_DATA_FIT);
    EXPECT_EQ(InsertAttribute(r, ResidentAttribute(ATTR_BITMAP, {}, big), nullptr),
              ERR_ATTRIBUTE_DATA_FIT);
    EXPECT_EQ(r, before);
}

// ---------------------------------------------------------------- volumes

std::string VolumeProblems(const fs::path& image) {
    return NtfsfixProblems(image) + NtfsAccountingProblems(image);
}

NTFS_FILE_HANDLE* OpenForWrite(NTFS_FILESYSTEM* fs, const char* path) {
    NTFS_FILE_HANDLE* h = nullptr;
    EXPECT_EQ(fs->OpenFile(path, &h, true), KW_OK) << path;
    return h;
}

// Writes bytes at a position of an existing file through the engine.
kwRet WriteAt(const fs::path& image, const char* path, uint64_t at, const std::string& bytes) {
    NtfsWriteVolume v(image);
    NTFS_FILE_HANDLE* h = OpenForWrite(v.Fs(), path);
    if (h == nullptr)
        return ERR_FILE_NOT_FOUND;
    h->position = at;
    kwRet rc = v->WriteFile(h, bytes.data(), static_cast<uint32_t>(bytes.size()));
    v->CloseFile(h);
    return rc;
}

kwRet Resize(const fs::path& image, const char* path, uint64_t size) {
    NtfsWriteVolume v(image);
    NTFS_FILE_HANDLE* h = OpenForWrite(v.Fs(), path);
    if (h == nullptr)
        return ERR_FILE_NOT_FOUND;
    kwRet rc = v->SetFileSize(h, size);
    v->CloseFile(h);
    return rc;
}

// A put as kwfs does it, through the engine's file object: the file
// emptied, then written in pieces.
kwRet EnginePut(PARTITION_INFO* pi, const char* path, const std::string& bytes, size_t piece) {
    FILE_BASE* f = nullptr;
    kwRet rc = kwFileOpen(&f, path, FILE_MODE_CREATE_ALWAYS | FILE_MODE_BINARY, pi, nullptr, 0);
    if (rc == KW_OK)
        rc = kwFileSetSize(f, 0, 0);
    for (size_t at = 0; rc == KW_OK && at < bytes.size(); at += piece) {
        auto n = static_cast<uint32_t>(std::min(piece, bytes.size() - at));
        uint32_t done = 0;
        rc = kwFileWrite(f, bytes.data() + at, n, &done);
    }
    kwRet closed = f != nullptr ? kwFileClose(f, 0, nullptr) : KW_OK;
    return rc != KW_OK ? rc : closed;
}

struct VolumeCase {
    const char* name;
    uint32_t cluster;
    uint32_t mib;
};

class NtfsWrites : public ::testing::TestWithParam<VolumeCase> {
protected:
    void SetUp() override {
        image_ = kwtest::MakeNtfsVolume(dir_, "v.img", GetParam().mib, GetParam().cluster);
        Put("small.txt", "hello");
        Put("data.bin", Pattern(40000, 1));
        Put("keep.bin", Pattern(30000, 2));
    }
    void Put(const std::string& name, const std::string& bytes) {
        kwtest::WriteWhole(dir_ / "in", bytes);
        kwtest::NtfsPut(image_, dir_ / "in", name);
        expected_[name] = bytes;
    }
    // Every file reads as expected and both tools accept the volume.
    void Check(const std::string& step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(VolumeProblems(image_), "");
        for (const auto& [name, bytes] : expected_)
            EXPECT_TRUE(NtfsCat(image_, name) == bytes) << name;
    }
    kwtest::TempDir dir_;
    fs::path image_;
    std::map<std::string, std::string> expected_;
};

// A resident file grows into clusters, is overwritten in the middle, cut,
// grown by its size alone (new bytes read as zeros) and emptied; a
// non-resident file is emptied and refilled as kwfs put does it.
TEST_P(NtfsWrites, GrowOverwriteCutAndEmptyKeepTheVolumeSound) {
    std::string& small = expected_["small.txt"];
    ASSERT_EQ(WriteAt(image_, "\\small.txt", 2, "LLO, WORLD"), KW_OK);
    small = "heLLO, WORLD";
    Check("resident write");
    std::string grown = Pattern(70000, 3);
    ASSERT_EQ(WriteAt(image_, "\\small.txt", small.size(), grown), KW_OK);
    small += grown;
    Check("resident grown into clusters");
    ASSERT_EQ(WriteAt(image_, "\\small.txt", 5000, "middle"), KW_OK);
    small.replace(5000, 6, "middle");
    Check("overwrite");
    ASSERT_EQ(Resize(image_, "\\small.txt", 1234), KW_OK);
    small.resize(1234);
    Check("cut");
    // The record's own name carries the sizes too.
    EXPECT_EQ(kwtest::NtfslsListing(image_)["small.txt"].size, 1234u);
    ASSERT_EQ(Resize(image_, "\\small.txt", 20000), KW_OK);
    small.resize(20000, '\0');
    Check("grown by size");
    ASSERT_EQ(Resize(image_, "\\small.txt", 0), KW_OK);
    small.clear();
    Check("emptied");
    {
        NtfsWriteVolume v(image_);
        ASSERT_EQ(v.Status(), KW_OK);
        expected_["data.bin"] = Pattern(123457, 4);
        ASSERT_EQ(EnginePut(v.Pi(), "\\data.bin", expected_["data.bin"], 4096), KW_OK);
    }
    Check("put");
}

INSTANTIATE_TEST_SUITE_P(Clusters, NtfsWrites,
                         ::testing::Values(VolumeCase{"c512", 512, 8}, VolumeCase{"c1k", 1024, 8},
                                           VolumeCase{"c4k", 4096, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NtfsWriteRefusals, ReadOnlyDirtyOrReadHandlesWriteNothing) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 1024);
    kwtest::WriteWhole(dir / "in", "abc");
    kwtest::NtfsPut(image, dir / "in", "f.txt");
    // Marks the volume dirty through the engine's own record writer.
    auto markDirty = [&] {
        NtfsWriteVolume v(image);
        std::vector<uint8_t> r;
        ASSERT_EQ(v->CheckWritable(), KW_OK);
        ASSERT_EQ(v->ReadRecordForChange(3, &r), KW_OK);
        uint32_t at = FindAttribute(r, ATTR_VOLUME_INFORMATION, Bytes(kNoName, 0));
        ASSERT_NE(at, 0u);
        uint32_t value = at + kwbytes::LoadLe16(r.data() + at + AR_VALUE_OFFSET);
        r[value + 10] |= 1;
        ASSERT_EQ(v->WriteRecord(3, r), KW_OK);
    };
    const std::string clean = kwtest::ReadWhole(image);
    {
        NtfsWriteVolume v(image);
        NTFS_FILE_HANDLE* h = nullptr;
        ASSERT_EQ(v->OpenFile("\\f.txt", &h), KW_OK);
        EXPECT_EQ(v->WriteFile(h, "x", 1), ERR_READ_ONLY_MEDIA);
        EXPECT_EQ(v->SetFileSize(h, 0), ERR_READ_ONLY_MEDIA);
        v->CloseFile(h);
        v->SetReadOnly(true);
        EXPECT_EQ(v->OpenFile("\\f.txt", &h, true), ERR_WRITE_PROTECTED);
        EXPECT_EQ(v->ListFileClusters("\\f.txt", true), nullptr);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image) == clean);
    markDirty();
    const std::string dirty = kwtest::ReadWhole(image);
    {
        NtfsWriteVolume v(image);
        NTFS_FILE_HANDLE* h = nullptr;
        EXPECT_EQ(v->OpenFile("\\f.txt", &h, true), ERR_WRITE_PROTECTED);
        uint64_t n = 0;
        EXPECT_EQ(v->AllocateFrs(false, &n), ERR_WRITE_PROTECTED);
        EXPECT_EQ(v->FreeFileRecord(64), ERR_WRITE_PROTECTED);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image) == dirty);
}

// The listing slot never moves a resident $DATA out of its record; a
// caller that asks for it on a writable volume gets the clusters.
TEST(NtfsListClusters, ResidentDataMovesOnlyWhenAsked) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 1024);
    kwtest::WriteWhole(dir / "in", "resident bytes");
    kwtest::NtfsPut(image, dir / "in", "r.txt");
    const std::string before = kwtest::ReadWhole(image);
    {
        NtfsWriteVolume v(image);
        EXPECT_EQ(v->ListClusters("\\r.txt"), nullptr);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image) == before);
    {
        NtfsWriteVolume v(image);
        SECTOR_RUN* runs = v->ListFileClusters("\\r.txt", true);
        ASSERT_NE(runs, nullptr);
        EXPECT_EQ(runs->sectorCount, 2u);
        EXPECT_EQ(runs->next, nullptr);
        FreeSectorRuns(runs);
    }
    EXPECT_EQ(VolumeProblems(image), "");
    EXPECT_EQ(NtfsCat(image, "r.txt"), "resident bytes");
}

// Records: the first free ordinary record is passed over; when none is
// left the $MFT grows (new records written before its size takes them in).
TEST(NtfsRecords, AllocationPassesOverTheFirstFreeRecordAndGrowsTheMft) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 512);
    uint64_t records = 0;
    {
        NtfsWriteVolume v(image);
        ASSERT_EQ(v->CheckWritable(), KW_OK);
        records = v->GetRecordCount();
        // mkntfs fills records up to 26 ($Extend's files): the $MFT grows, and
        // of the new records the first is passed over.
        ASSERT_LT(records, 32u);
        uint64_t first = 0;
        ASSERT_EQ(v->AllocateFrs(false, &first), KW_OK);
        EXPECT_EQ(first, records + 1);
        std::vector<uint64_t> taken{first};
        for (int i = 0; i < 8; ++i) {
            uint64_t n = 0;
            ASSERT_EQ(v->AllocateFrs(false, &n), KW_OK);
            taken.push_back(n);
        }
        EXPECT_GE(v->GetRecordCount(), 32u);
        for (uint64_t n : taken)
            ASSERT_EQ(v->FreeFrs(n), KW_OK);
        ASSERT_EQ(v->WriteMftBitmap(), KW_OK);
        ASSERT_EQ(v->FlushVolume(), KW_OK);
    }
    EXPECT_EQ(VolumeProblems(image), "");
    NtfsWriteVolume v(image);
    ASSERT_EQ(v.Status(), KW_OK);
    EXPECT_GE(v->GetRecordCount(), 32u);
}

bool HasAttributeList(NTFS_FILESYSTEM* fs, uint64_t record) {
    std::vector<uint8_t> r;
    return fs->ReadRecordForChange(record, &r) == KW_OK &&
           FindAttribute(r, ATTR_ATTRIBUTE_LIST, {}) != 0;
}

// Two files grown one cluster at a time in turn (by their size alone: no
// clusters are taken ahead then): each run list has hundreds of runs and
// spills into extension records named by an attribute list; then bytes are
// written over the whole of one; cut back to one cluster, the extension
// records and the list go again.
TEST(NtfsRunLists, ARunListTooLongForItsRecordSpillsOverAndComesBack) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 512);
    kwtest::WriteWhole(dir / "in", "");
    kwtest::NtfsPut(image, dir / "in", "a.bin");
    kwtest::NtfsPut(image, dir / "in", "b.bin");
    const uint32_t steps = 320;
    const std::string a = Pattern(512 * steps, 1);
    {
        NtfsWriteVolume v(image);
        NTFS_FILE_HANDLE* ha = OpenForWrite(v.Fs(), "\\a.bin");
        NTFS_FILE_HANDLE* hb = OpenForWrite(v.Fs(), "\\b.bin");
        ASSERT_TRUE(ha != nullptr && hb != nullptr);
        for (uint32_t i = 1; i <= steps; ++i) {
            ASSERT_EQ(v->SetFileSize(ha, 512 * i), KW_OK) << i;
            ASSERT_EQ(v->SetFileSize(hb, 512 * i), KW_OK) << i;
        }
        EXPECT_TRUE(HasAttributeList(v.Fs(), ha->record));
        EXPECT_GT(ha->data.runs.size(), 300u);
        ASSERT_EQ(v->WriteFile(ha, a.data(), static_cast<uint32_t>(a.size())), KW_OK);
        EXPECT_EQ(v->CloseFile(ha), KW_OK);
        EXPECT_EQ(v->CloseFile(hb), KW_OK);
    }
    EXPECT_EQ(VolumeProblems(image), "");
    EXPECT_TRUE(NtfsCat(image, "a.bin") == a);
    EXPECT_TRUE(NtfsCat(image, "b.bin") == std::string(512 * steps, '\0'));
    ASSERT_EQ(Resize(image, "\\a.bin", 512), KW_OK);
    {
        NtfsWriteVolume v(image);
        uint64_t record = 0;
        ASSERT_EQ(v->FindFile("\\a.bin", &record, nullptr), KW_OK);
        EXPECT_FALSE(HasAttributeList(v.Fs(), record));
    }
    EXPECT_EQ(VolumeProblems(image), "");
    EXPECT_TRUE(NtfsCat(image, "a.bin") == a.substr(0, 512));
}

// ---------------------------------------------------------------- cut-off writes

struct CutCase {
    const char* name;
    size_t oldSize;
    size_t newSize;
};

class NtfsCutWrites : public ::testing::TestWithParam<CutCase> {};

// A put cut off after each of its disk writes (those before on the disk,
// none after): ntfsfix accepts every state, the other files keep their
// bytes, the file holds its old bytes or a beginning of its new ones. The
// finished put passes the cluster accounting too.
TEST_P(NtfsCutWrites, APutCutAtEveryWriteLeavesOldOrNewAndNothingElseLost) {
    const CutCase& c = GetParam();
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 4, 512);
    const std::string other = Pattern(20000, 7), oldBytes = Pattern(c.oldSize, 8),
                      newBytes = Pattern(c.newSize, 9);
    kwtest::WriteWhole(dir / "in", other);
    kwtest::NtfsPut(image, dir / "in", "other.bin");
    kwtest::WriteWhole(dir / "in", oldBytes);
    kwtest::NtfsPut(image, dir / "in", "target.bin");
    const std::string base = kwtest::ReadWhole(image);
    std::vector<kwtest::DiskEvent> log;
    {
        NtfsWriteVolume v(image, &log);
        ASSERT_EQ(EnginePut(v.Pi(), "\\target.bin", newBytes, 8192), KW_OK);
    }
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().flush) << "the put ends without a flush";
    EXPECT_EQ(VolumeProblems(image), "");
    fs::path cut = dir / "cut.img";
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        kwtest::WriteWhole(cut, state);
        EXPECT_EQ(NtfsfixProblems(cut), "");
        EXPECT_TRUE(NtfsCat(cut, "other.bin") == other);
        std::string now = NtfsCat(cut, "target.bin");
        bool oldOrNew = now == oldBytes || newBytes.compare(0, now.size(), now) == 0;
        EXPECT_TRUE(oldOrNew) << "target.bin holds " << now.size() << " bytes of neither";
    });
}

INSTANTIATE_TEST_SUITE_P(Sizes, NtfsCutWrites,
                         ::testing::Values(CutCase{"resident_to_clusters", 100, 30000},
                                           CutCase{"larger_to_smaller", 40000, 700},
                                           CutCase{"smaller_to_larger", 3000, 50000}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// A template record decodes with its three attributes in order, the name
// indexed and the descriptor of the size its kind gives.
TEST(RecordTemplates, NamedRecordsCarryTheirNameTimesAndDescriptor) {
    const uint8_t name[6] = {'a', 0, '.', 0, 'b', 0};
    for (auto [kind, descriptor] :
         {std::pair{TemplateKind::SystemRead, 104u}, std::pair{TemplateKind::SystemWrite, 104u},
          std::pair{TemplateKind::Everyone, 80u}}) {
        std::vector<uint8_t> r(1024);
        TemplateRecord t;
        t.number = 40;
        t.sequence = 7;
        t.name = Bytes(name, 6);
        t.kind = kind;
        t.fileAttributes = 0x20;
        t.parentReference = 5 | (uint64_t{5} << 48);
        ASSERT_EQ(BuildTemplateRecord(r, t), KW_OK);
        std::vector<uint8_t> kept;
        std::vector<Attribute> attrs = Reread(r, &kept);
        ASSERT_EQ(attrs.size(), 3u);
        EXPECT_EQ(attrs[0].type, ATTR_STANDARD_INFORMATION);
        EXPECT_EQ(attrs[0].value.size(), 48u);
        FileName fn;
        ASSERT_EQ(DecodeFileName(attrs[1].value, &fn), KW_OK);
        EXPECT_EQ(fn.parent, 5 | (uint64_t{5} << 48));
        EXPECT_EQ(fn.attributes, 0x20u);
        EXPECT_EQ(fn.name.size(), 6u);
        EXPECT_EQ(fn.created, fn.accessed);
        EXPECT_EQ(attrs[2].type, 0x50u);
        EXPECT_EQ(attrs[2].value.size(), descriptor);
        EXPECT_EQ(kwbytes::LoadLe16(kept.data() + FRS_LINK_COUNT), 1);
    }
}

} // namespace
