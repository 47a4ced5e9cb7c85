// The preference record: its completion, the search of track 0 for the
// marked sector (never outside sectors 1 .. sectors-per-track - 1), marking
// only when allowed and only in an unused track, and the file beside the
// program.
#include "engine/disk/kwlib.h"
#include "engine/host/prefs.h"
#include "include/kwbytes.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// A memory disk of the given sectors per track that records which sectors
// were read and written.
class TrackDisk : public kw::plat::MemorySectorSource {
public:
    TrackDisk(uint32_t spt, std::string bytes, bool writable)
        : MemorySectorSource("track", std::move(bytes), writable), spt_(spt) {}
    kw::plat::DiskGeometry Geometry() const override {
        return {static_cast<uint32_t>(SectorCount() / (16 * spt_)), 16, spt_};
    }
    kw::plat::DiskIoResult Read(uint64_t sector, void* buffer, uint32_t count) override {
        reads.push_back(sector);
        return MemorySectorSource::Read(sector, buffer, count);
    }
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        writes.push_back(sector);
        return MemorySectorSource::Write(sector, buffer, count);
    }
    std::vector<uint64_t> reads;
    std::vector<uint64_t> writes;

private:
    uint32_t spt_;
};

// Every sector s holds data (the byte s + 1 after a first byte AAh) except
// where a test puts something else; sector 0 has no table.
std::string Pattern(uint32_t sectors) {
    std::string b(size_t{sectors} * 512, '\0');
    for (uint32_t s = 1; s < sectors; ++s) {
        std::fill_n(b.begin() + size_t{s} * 512, 512, static_cast<char>(s + 1));
        b[size_t{s} * 512] = static_cast<char>(0xAA);
    }
    return b;
}

class Prefs : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPreferenceLocation();
        settings_ = dir_ / "settings.ini";
        setenv("KW_SETTINGS", settings_.c_str(), 1);
    }
    void TearDown() override {
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
        unsetenv("KW_SETTINGS");
        ResetPreferenceLocation();
    }
    TrackDisk* Open(uint32_t spt, std::string bytes, bool writable) {
        TrackDisk* disk = nullptr;
        kw::plat::SetDiskProviderForTests([&] {
            kw::plat::DiskScan scan;
            auto d = std::make_unique<TrackDisk>(spt, bytes, writable);
            disk = d.get();
            scan.disks.push_back(std::move(d));
            return scan;
        });
        EXPECT_EQ(kwLibOpen(), KW_OK);
        disk->reads.clear();
        return disk;
    }
    void AllowMarking() { std::ofstream(settings_) << "[Disks]\nMarkPreferenceSector=1\n"; }
    static DISK_RECORD* First() {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        return d;
    }

    kwtest::TempDir dir_;
    std::filesystem::path settings_;
};

} // namespace

TEST(PrefsRecord, CompletionFillsDefaultsAndDropsInvalidDiskBits) {
    PREFS_RECORD empty{PREFS_STATE_EMPTY, 0x10, 5, 3};
    CompletePrefsRecord(&empty);
    EXPECT_EQ(empty.state, PREFS_STATE_COMPLETE);
    EXPECT_EQ(empty.flags, PREFS_MODE_A);
    EXPECT_EQ(empty.value, 0xFFFFFFFFu);
    EXPECT_EQ(empty.diskBits, 0u);
    PREFS_RECORD noBits{PREFS_STATE_NO_DISK_BITS, 0x10, 5, 3};
    CompletePrefsRecord(&noBits);
    EXPECT_EQ(noBits.flags, 0x10u);
    EXPECT_EQ(noBits.diskBits, 0u);
}

TEST_F(Prefs, TheSearchVisitsTenToTheTrackEndThenOneToNine) {
    TrackDisk* disk = Open(63, Pattern(4 * 16 * 63), true);
    FindPreferenceSector(First(), false);
    std::vector<uint64_t> want;
    for (uint64_t s = 10; s < 63; ++s)
        want.push_back(s);
    for (uint64_t s = 1; s < 10; ++s)
        want.push_back(s);
    EXPECT_EQ(disk->reads, want);
    EXPECT_TRUE(disk->writes.empty());
    EXPECT_EQ(PreferenceLocation(), 1u); // nothing marked: the file
}

TEST_F(Prefs, ShortTracksAreSearchedOnlyWithinTrackZero) {
    std::string bytes = Pattern(4 * 16 * 8);
    std::fill_n(bytes.begin() + 512, 7 * 512, '\0'); // an unused track
    AllowMarking();
    TrackDisk* disk = Open(8, bytes, true);
    PREFS_RECORD r;
    ASSERT_EQ(ReadPreferenceRecord("/nonexistent/prog", &r), KW_OK);
    for (uint64_t s : disk->reads)
        EXPECT_TRUE(s < 8) << s;
    // Sector 1 comes first on a short track, but its location would read as the file.
    ASSERT_EQ(disk->writes, std::vector<uint64_t>{2});
    EXPECT_EQ(PreferenceLocation(), 2u);
    EXPECT_EQ(
        kwbytes::LoadLe32(reinterpret_cast<const uint8_t*>(disk->Bytes().data()) + 2 * 512 + 4),
        PREFS_MARK_SECOND);
    EXPECT_EQ(r.state, PREFS_STATE_COMPLETE);
    EXPECT_EQ(r.flags, PREFS_MODE_A);
}

// Track 0 behind the master boot record is taken only when nothing uses it.
TEST_F(Prefs, ATrackInUseIsNeverMarked) {
    struct Entry {
        uint8_t type;
        uint32_t start;
    };
    const struct {
        const char* what;
        Entry entry;
        uint32_t usedSector; // 0: the whole gap is zeros
        std::vector<uint64_t> writes;
    } cases[] = {
        {"an unused track", {0x83, 2048}, 0, {10}},
        {"a GUID partition table's protective entry", {0xEE, 1}, 0, {}},
        {"a boot loader in the gap", {0x83, 2048}, 3, {}},
        {"a boot loader's last sector", {0x83, 2048}, 62, {}},
        {"a partition that starts inside the track", {0x06, 32}, 0, {}},
    };
    AllowMarking();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes(size_t{4} * 16 * 63 * 512, '\0');
        auto* b = reinterpret_cast<uint8_t*>(bytes.data());
        b[446 + 4] = c.entry.type;
        kwbytes::StoreLe32(b + 446 + 8, c.entry.start);
        kwbytes::StoreLe32(b + 446 + 12, 1000);
        kwbytes::StoreLe16(b + 510, 0xAA55);
        for (uint32_t i = 0; c.usedSector != 0 && i < 512; ++i)
            b[size_t{c.usedSector} * 512 + i] = static_cast<uint8_t>(i * 7 + 1); // code
        ResetPreferenceLocation();
        TrackDisk* disk = Open(63, bytes, true);
        PREFS_RECORD r;
        ASSERT_EQ(ReadPreferenceRecord("/nonexistent/prog", &r), KW_OK);
        EXPECT_EQ(disk->writes, c.writes);
        EXPECT_EQ(PreferenceLocation(), c.writes.empty() ? 1u : 10u);
        kwLibClose();
        kw::plat::SetDiskProviderForTests(nullptr);
    }
}

TEST_F(Prefs, NothingIsMarkedUnlessTheSettingsAllowIt) {
    std::string bytes = Pattern(4 * 16 * 63);
    std::fill_n(bytes.begin() + 12 * 512, 512, '\0');
    TrackDisk* disk = Open(63, bytes, true);
    PREFS_RECORD r;
    ASSERT_EQ(ReadPreferenceRecord("/nonexistent/prog", &r), KW_OK);
    EXPECT_TRUE(disk->writes.empty());
    EXPECT_EQ(PreferenceLocation(), 1u);
}

TEST_F(Prefs, AMarkedSectorAndTheFileBesideTheProgram) {
    std::string bytes = Pattern(4 * 16 * 63);
    auto* b = reinterpret_cast<uint8_t*>(bytes.data()) + 20 * 512;
    kwbytes::StoreLe32(b, PREFS_MARK_FIRST);
    kwbytes::StoreLe32(b + PREFS_RECORD_OFFSET, PREFS_STATE_COMPLETE);
    kwbytes::StoreLe32(b + PREFS_RECORD_OFFSET + 4, PREFS_LARGE_CLUSTERS | PREFS_MODE_A);
    kwbytes::StoreLe32(b + PREFS_RECORD_OFFSET + 12, 1); // disk 0
    Open(63, bytes, false);
    ENGINE_PREFS prefs;
    ASSERT_EQ(prefs.Apply(), KW_OK);
    EXPECT_EQ(PreferenceLocation(), 20u);
    EXPECT_TRUE(prefs.AllowLargeClusters());
    EXPECT_TRUE(prefs.AllowCancel());
    EXPECT_EQ(prefs.record.flags & (PREFS_MODE_A | PREFS_MODE_B), PREFS_MODE_B);
    EXPECT_TRUE(First()->ulFlags & DISK_PREFERENCE);
    kwLibClose();

    ResetPreferenceLocation();
    std::ofstream(dir_ / PREFS_FILE_NAME, std::ios::binary)
        .write("\x02\0\0\0\x10\0\0\0\x07\0\0\0\0\0\0\0", 16);
    Open(63, Pattern(4 * 16 * 63), false);
    PREFS_RECORD r;
    ASSERT_EQ(ReadPreferenceRecord((dir_ / "prog").string(), &r), KW_OK);
    EXPECT_EQ(r.flags, PREFS_LARGE_CLUSTERS);
    EXPECT_EQ(r.value, 7u);
}
