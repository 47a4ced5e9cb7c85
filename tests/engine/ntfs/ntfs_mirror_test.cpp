// The records $MFTMirr mirrors, changed with every cut state sound: the
// $MFT grown by creates and cut after each write passes ntfsfix -n as it
// stands; a state cut while the mirror was held is mended by the engine's
// next change (mirror rewritten, its size back), and only by a change.
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_filesystem.h"
#include "include/kwbytes.h"
#include "tests/engine/ntfs/ntfs_fixture.h"
#include "tests/engine/ntfs/ntfs_write_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;
using kwtest::NtfsCat;
using kwtest::NtfsfixProblems;
using kwtest::NtfsWriteVolume;

namespace {

const uint8_t kNone[1] = {0};

// The mirror's data size as $MFTMirr's record in the $MFT gives it.
uint64_t MirrorSize(const fs::path& image) {
    NtfsWriteVolume v(image);
    NTFS_STREAM mirror;
    if (v.Status() != KW_OK ||
        v->LoadStream(1, kw::ntfs::ATTR_DATA, kw::ntfs::Bytes(kNone, 0), &mirror) != KW_OK)
        return ~uint64_t{0};
    return mirror.Size();
}

// The first `bytes` of the $MFT and of $MFTMirr, read where the boot sector
// says they start (the first records lie in the first cluster runs).
bool CopiesEqual(const std::string& volume, uint64_t bytes) {
    const auto* boot = reinterpret_cast<const uint8_t*>(volume.data());
    uint64_t cluster = uint64_t{kwbytes::LoadLe16(boot + 0x0B)} * boot[0x0D];
    uint64_t mft = kwbytes::LoadLe64(boot + 0x30) * cluster;
    uint64_t mirror = kwbytes::LoadLe64(boot + 0x38) * cluster;
    return volume.compare(mft, bytes, volume, mirror, bytes) == 0;
}

TEST(NtfsMirror, MftGrowthCutAtEveryWritePassesAsItStands) {
    kwtest::TempDir dir;
    fs::path image = kwtest::MakeNtfsVolume(dir, "v.img", 8, 512);
    const std::string keep = kwtest::Pattern(30000, 3);
    kwtest::WriteWhole(dir / "in", keep);
    kwtest::NtfsPut(image, dir / "in", "keep.bin");
    const std::string base = kwtest::ReadWhole(image);
    std::vector<kwtest::DiskEvent> log;
    {
        NtfsWriteVolume v(image, &log);
        ASSERT_EQ(v.Status(), KW_OK);
        const uint64_t records = v->GetRecordCount();
        for (int i = 0; i < 40 && v->GetRecordCount() == records; ++i) {
            std::string name = "\\n" + std::to_string(i);
            ASSERT_EQ(v->CreateFile(name.c_str(), 0, nullptr, nullptr), KW_OK);
        }
        ASSERT_GT(v->GetRecordCount(), records) << "the $MFT never grew";
    }
    EXPECT_EQ(NtfsfixProblems(image), "");
    EXPECT_EQ(kwtest::NtfsAccountingProblems(image), "");
    EXPECT_EQ(MirrorSize(image), 4096u);
    EXPECT_TRUE(CopiesEqual(kwtest::ReadWhole(image), 4096));
    fs::path cut = dir / "cut.img";
    std::string held;
    kwtest::ForEachCutState(base, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE("cut after write " + std::to_string(writes));
        kwtest::WriteWhole(cut, state);
        EXPECT_EQ(NtfsfixProblems(cut), "");
        EXPECT_TRUE(NtfsCat(cut, "keep.bin") == keep);
        if (held.empty() && MirrorSize(cut) == 0 && !CopiesEqual(state, 4096))
            held = state;
    });
    ASSERT_FALSE(held.empty()) << "no cut left the mirror held with the copies apart";

    // Opened read-only it stays as it is; the first change mends it.
    kwtest::WriteWhole(cut, held);
    {
        NtfsWriteVolume v(cut);
        v->SetReadOnly(true);
        EXPECT_EQ(v->CheckWritable(), ERR_WRITE_PROTECTED);
    }
    EXPECT_TRUE(kwtest::ReadWhole(cut) == held);
    {
        NtfsWriteVolume v(cut);
        ASSERT_EQ(v->CheckWritable(), KW_OK);
    }
    EXPECT_EQ(MirrorSize(cut), 4096u);
    EXPECT_TRUE(CopiesEqual(kwtest::ReadWhole(cut), 4096));
    EXPECT_EQ(NtfsfixProblems(cut), "");
    EXPECT_TRUE(NtfsCat(cut, "keep.bin") == keep);
}

} // namespace
