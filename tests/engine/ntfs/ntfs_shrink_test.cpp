// Shrinking NTFS volumes made by mkntfs in place: the files keep their bytes
// (ntfscat), ntfsfix and ntfsresize accept the result and count the new
// size; refusals write nothing; a shrink cut off after any of its writes
// leaves a volume ntfsfix accepts with every file whole.
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "engine/ntfs/ntfs_shrink.h"
#include "include/kwbytes.h"
#include "tests/engine/ntfs/ntfs_fixture.h"
#include "tests/engine/ntfs/ntfs_write_fixture.h"

#include <gtest/gtest.h>

#include <map>

namespace fs = std::filesystem;
using kwtest::NtfsAccountingProblems;
using kwtest::NtfsCat;
using kwtest::NtfsfixProblems;
using kwtest::NtfsWriteVolume;
using kwtest::Pattern;

namespace {

constexpr uint32_t kMib = 16;

// "" when ntfsfix -n accepts a cut state as it was left, or once the
// engine's first change of the volume has mended the copies the cut left
// apart (the boot sector's, $MFTMirr's place); *mended counts those.
std::string CutStateProblems(const fs::path& image, int* mended) {
    std::string problems = NtfsfixProblems(image);
    if (problems.empty())
        return "";
    {
        NtfsWriteVolume v(image);
        if (v.Status() != KW_OK || v->CheckWritable() != KW_OK)
            return "the engine does not open it for a change: " + problems;
    }
    ++*mended;
    return NtfsfixProblems(image);
}

class NtfsShrink : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = kwtest::MakeNtfsVolume(dir_, "v.img", kMib, 1024);
        // Large files first, so that later ones lie far into the volume.
        const size_t sizes[] = {3000000, 2500000, 70000, 500, 1500000};
        for (size_t i = 0; i < std::size(sizes); ++i)
            Put("f" + std::to_string(i) + ".bin", Pattern(sizes[i], static_cast<uint32_t>(i)));
    }
    void Put(const std::string& name, const std::string& bytes) {
        kwtest::WriteWhole(dir_ / "in", bytes);
        kwtest::NtfsPut(image_, dir_ / "in", name);
        files_[name] = bytes;
    }
    std::string FileProblems(const fs::path& image) {
        std::string out;
        for (const auto& [name, bytes] : files_) {
            if (NtfsCat(image, name) != bytes)
                out += name + " differs; ";
        }
        return out;
    }
    uint64_t TotalSectors(const fs::path& image) {
        std::vector<uint8_t> boot = kwtest::ReadAt(image, 0, 512);
        return kwbytes::LoadLe64(boot.data() + 0x28);
    }
    kwtest::TempDir dir_;
    fs::path image_;
    std::map<std::string, std::string> files_;
};

TEST_F(NtfsShrink, FilesPastTheNewEndMoveAndEveryToolAgrees) {
    const uint32_t oldSectors = kMib * 2048;
    const uint32_t newSectors = 11 * 2048 + 1;
    {
        NtfsWriteVolume v(image_);
        ASSERT_EQ(v.Status(), KW_OK);
        ASSERT_EQ(v->Resize(oldSectors, newSectors, nullptr, nullptr), KW_OK);
        EXPECT_EQ(v->GetGeometry().clusterCount, (newSectors - 1) / 2);
    }
    EXPECT_EQ(TotalSectors(image_), newSectors - 1u);
    EXPECT_EQ(NtfsfixProblems(image_), "");
    EXPECT_EQ(NtfsAccountingProblems(image_), "");
    EXPECT_EQ(FileProblems(image_), "");
    // The partition cut to the new size still opens and reads the same.
    fs::resize_file(image_, uint64_t{newSectors} * 512);
    EXPECT_EQ(NtfsfixProblems(image_), "");
    EXPECT_EQ(FileProblems(image_), "");
}

// Refusals before the first write: below the used size, a target that is in
// use or past the end, a dirty volume; the same size changes nothing.
TEST_F(NtfsShrink, RefusalsAndNoChangeWriteNothing) {
    const uint32_t oldSectors = kMib * 2048;
    const std::string before = kwtest::ReadWhole(image_);
    NTFS_MOVE_RUN used{0, 1, nullptr}, from{static_cast<uint32_t>(oldSectors / 2 - 10), 1, nullptr};
    NTFS_MOVE_RUN outside{static_cast<uint32_t>(oldSectors / 2 - 100), 1, nullptr};
    struct Case {
        const char* name;
        uint32_t newSectors;
        const NTFS_MOVE_RUN* oldRuns;
        const NTFS_MOVE_RUN* newRuns;
        kwRet expected;
    } cases[] = {
        {"below_used", 4 * 2048, nullptr, nullptr, ERR_NO_ROOM_TO_SHRINK},
        {"used_target", 10 * 2048, &from, &used, ERR_NO_ROOM_TO_SHRINK},
        {"target_past_end", 10 * 2048, &from, &outside, ERR_NO_ROOM_TO_SHRINK},
        {"grows", oldSectors + 2048, nullptr, nullptr, ERR_BAD_ARGUMENT},
        {"same_size", oldSectors, nullptr, nullptr, KW_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            NtfsWriteVolume v(image_);
            ASSERT_EQ(v.Status(), KW_OK);
            EXPECT_EQ(v->Resize(oldSectors, c.newSectors, const_cast<NTFS_MOVE_RUN*>(c.oldRuns),
                                const_cast<NTFS_MOVE_RUN*>(c.newRuns)),
                      c.expected);
        }
        EXPECT_TRUE(kwtest::ReadWhole(image_) == before);
    }
}

TEST_F(NtfsShrink, ADirtyVolumeIsRefused) {
    {
        NtfsWriteVolume v(image_);
        std::vector<uint8_t> r;
        ASSERT_EQ(v->CheckWritable(), KW_OK);
        ASSERT_EQ(v->ReadRecordForChange(3, &r), KW_OK);
        const uint8_t none[1] = {0};
        uint32_t at =
            kw::ntfs::FindAttribute(r, kw::ntfs::ATTR_VOLUME_INFORMATION, kw::ntfs::Bytes(none, 0));
        ASSERT_NE(at, 0u);
        r[at + kwbytes::LoadLe16(r.data() + at + kw::ntfs::AR_VALUE_OFFSET) + 10] |= 1;
        ASSERT_EQ(v->WriteRecord(3, r), KW_OK);
    }
    const std::string dirty = kwtest::ReadWhole(image_);
    {
        NtfsWriteVolume v(image_);
        EXPECT_EQ(v->Resize(kMib * 2048, 10 * 2048, nullptr, nullptr), ERR_WRITE_PROTECTED);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image_) == dirty);
}

// A $LogFile whose restart area is not marked clean holds changes not yet
// applied: the shrink is refused and writes nothing.
TEST_F(NtfsShrink, APendingLogFileIsRefused) {
    uint64_t logAt = 0;
    {
        NtfsWriteVolume v(image_);
        NTFS_STREAM logFile;
        const uint8_t none[1] = {0};
        ASSERT_EQ(v->LoadStream(2, kw::ntfs::ATTR_DATA, kw::ntfs::Bytes(none, 0), &logFile), KW_OK);
        logAt = logFile.runs[0].lcn * 1024;
    }
    std::string bytes = kwtest::ReadWhole(image_);
    std::string page(512, '\0');
    page.replace(0, 4, "RSTR");
    page[0x18] = 0x30; // the restart area, its flags (bit 1: clean) at 0x0E
    bytes.replace(logAt, page.size(), page);
    kwtest::WriteWhole(image_, bytes);
    {
        NtfsWriteVolume v(image_);
        EXPECT_EQ(v->Resize(kMib * 2048, 11 * 2048 + 1, nullptr, nullptr), ERR_WRITE_PROTECTED);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image_) == bytes);
}

// Cut off after each write: every state passes ntfsfix and every file reads
// whole, at its old place or its new one. Only the cut between sector 0 and
// the old backup at the partition's end (two copies that no order writes as
// one) needs the engine's mending at the next change.
TEST_F(NtfsShrink, AShrinkCutAtEveryWriteLeavesEveryFileWhole) {
    const std::string base = kwtest::ReadWhole(image_);
    std::vector<kwtest::DiskEvent> log;
    {
        NtfsWriteVolume v(image_, &log);
        ASSERT_EQ(v->Resize(kMib * 2048, 11 * 2048 + 1, nullptr, nullptr), KW_OK);
    }
    fs::path cut = dir_ / "cut.img";
    int mended = 0;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        kwtest::WriteWhole(cut, state);
        EXPECT_EQ(CutStateProblems(cut, &mended), "");
        EXPECT_EQ(FileProblems(cut), "");
    });
    EXPECT_LE(mended, 1);
}

} // namespace

namespace {

// "" when ntfsresize -i -f counts the clusters as $Bitmap marks them; on a
// volume left with no free cluster it then stops ("Volume is full").
std::string FullVolumeAccountingProblems(const fs::path& image) {
    std::string out = kwtest::Capture("ntfsresize -i -f " + kwtest::Quote(image) + " 2>&1");
    bool counted = out.find("Space in use") != std::string::npos &&
                   out.find("accounting") == std::string::npos;
    return counted ? "" : out;
}

// The size ntfsresize gives as the smallest it could shrink the volume to.
uint64_t NtfsresizeLeast(const fs::path& image) {
    std::string out = kwtest::Capture("ntfsresize -i -f " + kwtest::Quote(image) + " 2>&1");
    size_t at = out.find("You might resize at ");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + 20));
}

// mkntfs puts $MFTMirr and then $LogFile in the middle of the volume: a
// shrink to the smallest size CalcMinSotf gives (near what ntfsresize
// finds) moves both, the mirror rewritten at its new place and the boot
// sector naming it, and keeps every file; one cluster less is refused with
// nothing written. Cut after every write, each state passes as above; those
// between $MFTMirr's record and the boot sector naming its new place are
// mended by the engine's next change.
TEST(NtfsShrinkPastTheMiddle, TheMirrorAndTheLogMoveDownToTheLeastSize) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", kMib, 1024);
    std::map<std::string, std::string> files;
    for (uint32_t i = 0; i < 3; ++i) {
        files["f" + std::to_string(i)] = Pattern(150000 + 90000 * i, 5 + i);
        kwtest::WriteWhole(dir / "in", files["f" + std::to_string(i)]);
        kwtest::NtfsPut(image, dir / "in", "f" + std::to_string(i));
    }
    const std::string base = kwtest::ReadWhole(image);
    uint64_t least = 0;
    {
        NtfsWriteVolume v(image);
        ASSERT_EQ(v->CalcMinSotf(&least), KW_OK);
        EXPECT_EQ(v->Resize(kMib * 2048, static_cast<uint32_t>((least - 1) * 2), nullptr, nullptr),
                  ERR_NO_ROOM_TO_SHRINK);
    }
    EXPECT_TRUE(kwtest::ReadWhole(image) == base);
    const uint64_t toolLeast = NtfsresizeLeast(image);
    EXPECT_GT(toolLeast, 0u);
    EXPECT_LE(least * 1024, toolLeast + 8 * 1024);
    const auto newSectors = static_cast<uint32_t>((least - 1) * 2 + 1);
    std::vector<kwtest::DiskEvent> log;
    uint64_t mirrorAt = 0, logEnd = 0;
    {
        NtfsWriteVolume v(image, &log);
        ASSERT_EQ(v->Resize(kMib * 2048, newSectors, nullptr, nullptr), KW_OK);
        NTFS_STREAM mirror, logFile;
        const uint8_t none[1] = {0};
        ASSERT_EQ(v->LoadStream(1, kw::ntfs::ATTR_DATA, kw::ntfs::Bytes(none, 0), &mirror), KW_OK);
        ASSERT_EQ(v->LoadStream(2, kw::ntfs::ATTR_DATA, kw::ntfs::Bytes(none, 0), &logFile), KW_OK);
        mirrorAt = mirror.runs[0].lcn;
        logEnd = logFile.runs.back().lcn + logFile.runs.back().length;
    }
    EXPECT_LT(mirrorAt, least);
    EXPECT_LT(logEnd, least);
    EXPECT_EQ(NtfsfixProblems(image), "");
    EXPECT_EQ(FullVolumeAccountingProblems(image), "");
    auto fileProblems = [&](const fs::path& at) {
        std::string out;
        for (const auto& [name, bytes] : files)
            out += NtfsCat(at, name) == bytes ? "" : name + " differs; ";
        return out;
    };
    EXPECT_EQ(fileProblems(image), "");
    fs::path cut = dir / "cut.img";
    int mended = 0;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        kwtest::WriteWhole(cut, state);
        EXPECT_EQ(CutStateProblems(cut, &mended), "");
        EXPECT_EQ(fileProblems(cut), "");
    });
    EXPECT_LE(mended, 3);
    fs::resize_file(image, uint64_t{newSectors} * 512);
    EXPECT_EQ(NtfsfixProblems(image), "");
    EXPECT_EQ(fileProblems(image), "");
}

// The $MFT grown into the upper half (the clusters right after it taken
// when it grew) moves down with the rest: its later runs are copied after
// the records in them are written, and record 0 names the new place under
// the mirror hold. Every file keeps its bytes; cut after every write, each
// state passes as above.
TEST(NtfsShrinkPastTheMiddle, TheMftsLaterRunsMove) {
    kwtest::TempDir dir;
    const uint32_t mib = 32;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", mib, 1024);
    const std::string bytes = Pattern(120000, 9);
    kwtest::WriteWhole(dir / "in", bytes);
    kwtest::NtfsPut(image, dir / "in", "a.bin");
    const uint64_t low = 32767 / 8; // where the engine's allocation starts
    {
        NtfsWriteVolume v(image);
        ASSERT_EQ(v->CheckWritable(), KW_OK);
        // The upper part taken by one file, the lower by another; the first
        // goes again, and the $MFT grows into the upper part.
        auto freeIn = [&](uint64_t from, uint64_t to) {
            uint64_t n = 0;
            for (uint64_t c = from; c < to; ++c)
                n += v->ClusterUsed(c) ? 0 : 1;
            return n;
        };
        auto fill = [&](const char* path, uint64_t clusters) {
            ASSERT_EQ(v->CreateFile(path, 0, nullptr, nullptr), KW_OK);
            NTFS_FILE_HANDLE* h = nullptr;
            ASSERT_EQ(v->OpenFile(path, &h, true), KW_OK);
            ASSERT_EQ(v->SetFileSize(h, clusters * 1024), KW_OK);
            ASSERT_EQ(v->CloseFile(h), KW_OK);
        };
        fill("\\high", freeIn(low, v->GetGeometry().clusterCount));
        fill("\\low", freeIn(0, low) - 8);
        ASSERT_EQ(v->DeleteFile("\\high"), KW_OK);
        const uint64_t records = v->GetRecordCount();
        for (int i = 0; i < 64 && v->GetRecordCount() < records + 24; ++i)
            ASSERT_EQ(v->CreateFile(("\\n" + std::to_string(i)).c_str(), 0, nullptr, nullptr),
                      KW_OK);
        ASSERT_EQ(v->DeleteFile("\\low"), KW_OK);
        ASSERT_GE(v->MftStream().runs.back().lcn, 3800u) << "the $MFT did not grow upwards";
    }
    ASSERT_EQ(NtfsfixProblems(image), "");
    const std::string base = kwtest::ReadWhole(image);
    const uint32_t newSectors = 2 * 3800 + 1;
    std::vector<kwtest::DiskEvent> log;
    {
        NtfsWriteVolume v(image, &log);
        ASSERT_EQ(v->Resize(mib * 2048, newSectors, nullptr, nullptr), KW_OK);
    }
    {
        NtfsWriteVolume v(image);
        ASSERT_EQ(v.Status(), KW_OK);
        for (const kw::ntfs::Run& r : v->MftStream().runs)
            EXPECT_LE(r.lcn + r.length, 3800u);
    }
    EXPECT_EQ(NtfsfixProblems(image), "");
    EXPECT_EQ(NtfsAccountingProblems(image), "");
    EXPECT_TRUE(NtfsCat(image, "a.bin") == bytes);
    EXPECT_EQ(NtfsCat(image, "n5"), "");
    fs::path cut = dir / "cut.img";
    int mended = 0;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        kwtest::WriteWhole(cut, state);
        EXPECT_EQ(CutStateProblems(cut, &mended), "");
        EXPECT_TRUE(NtfsCat(cut, "a.bin") == bytes);
        EXPECT_EQ(NtfsCat(cut, "n5"), "");
    });
    EXPECT_LE(mended, 3);
}

} // namespace
