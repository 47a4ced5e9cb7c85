// The change file: its parser against damaged and foreign files, and the
// round trip through real older-format images.
#include "engine/imgaccess/change_file.h"
#include "kwbytes.h"
#include "tests/engine/imgaccess/legacy_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <unistd.h>

using namespace kw::imgaccess;
using namespace kw::imgaccess::test;

namespace {

// A file of two partitions with a record of three entries for partition 2.
struct SmallFile {
    CHANGE_LIMITS limits;
    std::vector<uint8_t> bytes;
    uint32_t record = 0; // offset of the record

    SmallFile() {
        limits.stamp = 0xABCD;
        limits.partitions = 2;
        limits.number = 2;
        limits.stateSize = 8;
        limits.volumes = 2;
        limits.blockLimit = 999;
        limits.blockBytes = 512;
        limits.storedBytes = 100000;
        limits.compressed = true;
        const uint64_t volumes[2] = {40000, UINT64_MAX};
        const uint64_t positions[3] = {0, 30000, 60000};
        const uint32_t firstBlocks[3] = {0, 128, 256}, carries[3] = {0, 17, 511};
        const uint8_t states[24] = {1, 2, 3};
        CHANGE_RECORD_SOURCE s{8, 7, 3, 2, volumes, positions, firstBlocks, carries, states};
        record = uint32_t(ChangeHeaderBytes(2));
        bytes.resize(record + ChangeRecordBytes(8, 3, 2));
        WriteChangeHeader(bytes, limits.stamp, 2);
        WriteChangeRecord(std::span(bytes).subspan(record), s);
        kwbytes::StoreLe32(bytes.data() + 20, record);
    }
    void Put32(size_t at, uint32_t v) { kwbytes::StoreLe32(bytes.data() + at, v); }
};

kwRet Parse(const SmallFile& f) {
    CHANGE_RECORD r;
    return ParseChangeRecord(f.bytes, f.limits, &r);
}

} // namespace

TEST(ChangeFileParse, AcceptsItsOwnRecordAndRefusesEveryDamagedOrForeignOne) {
    {
        SmallFile f;
        CHANGE_RECORD r;
        ASSERT_EQ(ParseChangeRecord(f.bytes, f.limits, &r), KW_OK);
        EXPECT_EQ(r.entries, 3u);
        EXPECT_EQ(r.Position(2), 60000u);
        EXPECT_EQ(r.Carry(1), 17u);
        EXPECT_EQ(r.State(0)[2], 3);
        EXPECT_EQ(r.Volume(1), UINT64_MAX);
    }
    const struct {
        const char* name;
        std::function<void(SmallFile&)> damage;
        kwRet code;
    } cases[] = {
        {"cut header", [](SmallFile& f) { f.bytes.resize(10); }, ERR_IMG_READ},
        {"magic", [](SmallFile& f) { f.Put32(0, 0x12263356); }, ERR_CHANGE_INVALID},
        {"version 2 of another reader", [](SmallFile& f) { f.Put32(4, 2); }, ERR_IMG_NEWER_VERSION},
        {"version 3", [](SmallFile& f) { f.Put32(4, 3); }, ERR_IMG_NEWER_VERSION},
        {"another image", [](SmallFile& f) { f.limits.stamp = 1; }, ERR_CHANGE_OTHER_IMAGE},
        {"partition count", [](SmallFile& f) { f.limits.partitions = 3; }, ERR_CHANGE_OTHER_IMAGE},
        {"no record", [](SmallFile& f) { f.limits.number = 1; }, ERR_CHANGE_NO_RECORD},
        {"record outside", [](SmallFile& f) { f.Put32(20, 0x7FFFFFF0); }, ERR_IMG_READ},
        {"record magic", [&](SmallFile& f) { f.Put32(f.record, 0); }, ERR_CHANGE_INVALID},
        {"state size", [](SmallFile& f) { f.limits.stateSize = 9; }, ERR_CHANGE_INVALID},
        {"shift 32", [](SmallFile& f) { f.Put32(f.record + 8, 32); }, ERR_CHANGE_INVALID},
        {"more entries than blocks", [](SmallFile& f) { f.limits.blockLimit = 200; },
         ERR_CHANGE_INVALID},
        {"entry count past the file", [](SmallFile& f) { f.Put32(f.record + 12, 7); },
         ERR_IMG_READ},
        {"huge entry count", [](SmallFile& f) { f.Put32(f.record + 12, 0xFFFFFFFF); },
         ERR_CHANGE_INVALID},
        {"volume count", [](SmallFile& f) { f.limits.volumes = 3; }, ERR_IMG_NOT_CONTIGUOUS},
        {"huge volume count", [](SmallFile& f) { f.Put32(f.record + 16, 0xFFFFFFFF); },
         ERR_IMG_NOT_CONTIGUOUS},
        {"entries of a plain partition", [](SmallFile& f) { f.limits.compressed = false; },
         ERR_CHANGE_INVALID},
        {"entry 0 not the start", [](SmallFile& f) { f.Put32(f.record + 36, 5); },
         ERR_CHANGE_INVALID},
        {"positions fall", [](SmallFile& f) { f.limits.storedBytes = 50000; }, ERR_CHANGE_INVALID},
        {"carry of a whole block",
         [](SmallFile& f) { f.Put32(f.record + 20 + 16 + 24 + 12 + 8, 512); }, ERR_CHANGE_INVALID},
    };
    for (const auto& c : cases) {
        SmallFile f;
        c.damage(f);
        EXPECT_EQ(Parse(f), c.code) << c.name;
    }
}

namespace {

class ChangeFileTest : public LegacyVolumeTest {
protected:
    // Two compressed partitions and a plain one, all with a password and
    // spread over several volume files.
    void SetUp() override {
        const uint32_t pw = ConvertPasswordString("pw");
        parts_ = {LegacyPart(*volume_, 1, 102, pw, 0x2F01), LegacyPart(*volume_, 4, 0, pw, 0),
                  LegacyPart(*volume_, 2, 204, pw, 0x3001)};
        image_ = Write(parts_, 900000);
        changes_ = image_.substr(0, image_.size() - 4) + ".kwx";
        cb_.media.password = u"pw";
    }
    PARTITION_ACCESS& Reader(IMAGE_ACCESS* image, uint32_t index) {
        return static_cast<OLDKWI_ACCESS*>(image->Access(index))->Reader();
    }
    // The image opened again with the password, as a later session opens it.
    IMAGE_ACCESS* Reopen(UiCallback* cb) {
        cb->media.password = u"pw";
        return OpenImage(image_, changes_, cb);
    }
    void ExpectAllPartitions(IMAGE_ACCESS* image) {
        for (uint32_t i = 0; i < parts_.size(); ++i)
            ExpectEverySectorInRandomOrder(image, i, parts_[i], volume_->raw, 40 + i);
    }

    // The first and the last stored block of a plain partition, one in the
    // first volume of its data and one in the last.
    void ExpectFirstAndLastBlocks(IMAGE_ACCESS* image, uint32_t index,
                                  const LegacyPartition& part) {
        const uint32_t n = part.sectorsPerBlock;
        std::vector<uint8_t> got(512 * size_t{n});
        for (uint32_t sector : {0u, LastStoredSector(part)}) {
            ASSERT_EQ(ReadThroughHook(image, index, sector, n, got.data()), KW_OK) << sector;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), volume_->raw.begin() + 512 * sector))
                << sector;
        }
    }

    std::vector<LegacyPartition> parts_;
    std::string image_, changes_;
    UiCallback cb_;
};

} // namespace

TEST_F(ChangeFileTest, SavedIndexAndVolumeTablesLoadAgainAndServeEveryPartition) {
    IMAGE_ACCESS* image = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(image, nullptr);
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(ReadThroughHook(image, 0, LastStoredSector(parts_[0]), 1, sector.data()), KW_OK);
    EXPECT_GT(cb_.progressCalls, 5u); // from the start without an index
    // Each partition that keeps a change file asked about the missing one.
    EXPECT_EQ(cb_.queries, std::vector<uint32_t>(3, ERR_FILE_NOT_FOUND));
    ASSERT_EQ(image->SaveAllChanges(), KW_OK);
    const uint32_t entries0 = Reader(image, 0).IndexEntries();
    const uint32_t entries2 = Reader(image, 2).IndexEntries();
    EXPECT_GT(entries0, 10u); // the save decoded the whole partition first
    EXPECT_EQ(image->SaveChanges("\\Partition1"), ERR_CHANGE_RECORD_EXISTS);
    image->Release();

    UiCallback again;
    image = Reopen(&again);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(again.queries.empty());
    EXPECT_EQ(Reader(image, 0).IndexEntries(), entries0);
    EXPECT_EQ(Reader(image, 2).IndexEntries(), entries2);
    EXPECT_EQ(Reader(image, 1).IndexEntries(), 0u); // plain: its volume table only
    // The last block decodes from a nearby point, not from the start.
    ASSERT_EQ(ReadThroughHook(image, 0, LastStoredSector(parts_[0]), 1, sector.data()), KW_OK);
    EXPECT_LE(again.progressCalls, 1u);
    ExpectAllPartitions(image);
    image->Release();
}

TEST_F(ChangeFileTest, AForeignOrDamagedFileIsRefusedAndThePartitionsDecodeWithoutIt) {
    IMAGE_ACCESS* image = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->SaveAllChanges(), KW_OK);
    image->Release();
    const std::vector<uint8_t> saved = kwv::test::FileBytes(changes_);
    const uint32_t record0 = kwbytes::LoadLe32(saved.data() + 16);
    const uint32_t entries = kwbytes::LoadLe32(saved.data() + record0 + 12);
    const uint32_t volumes = kwbytes::LoadLe32(saved.data() + record0 + 16);
    ASSERT_GT(entries, 2u);
    const size_t firstBlock2 = record0 + 20 + 8 * size_t{volumes} + 8 * size_t{entries} + 4 * 2;
    struct Case {
        std::string name;
        size_t at;
        uint32_t value;
        std::vector<uint32_t> queries;
        uint32_t part = 0; // the partition read back
        enum Read { kWhole, kEnds, kNone } read = kWhole;
    };
    std::vector<Case> cases = {
        {"version 2 of another reader", 4, 2, std::vector<uint32_t>(3, ERR_IMG_NEWER_VERSION)},
        {"another image", 8, 0x1234, std::vector<uint32_t>(3, ERR_CHANGE_OTHER_IMAGE)},
        {"not a change file", 0, 0x464C457F, std::vector<uint32_t>(3, ERR_CHANGE_INVALID)},
        {"state size", record0 + 4, 16, {ERR_CHANGE_INVALID}},
        {"first block out of order", firstBlock2, 0, {ERR_CHANGE_INVALID}},
    };
    // Every volume-table entry of every partition one byte off: the store
    // finds its volumes elsewhere, and the file is refused.
    for (uint32_t part = 0; part < parts_.size(); ++part) {
        const uint32_t record = kwbytes::LoadLe32(saved.data() + 16 + 4 * part);
        const uint32_t count = kwbytes::LoadLe32(saved.data() + record + 16);
        for (uint32_t i = 0; i < count; ++i) {
            const size_t at = record + 20 + 8 * size_t{i};
            const uint32_t low = kwbytes::LoadLe32(saved.data() + at);
            // The rows above decode a compressed partition without the file.
            const auto read = parts_[part].code == 0 ? Case::kEnds : Case::kNone;
            cases.push_back(
                {"volume entry " + std::to_string(i) + " of partition " + std::to_string(part + 1),
                 at,
                 low + 1,
                 {ERR_CHANGE_INVALID},
                 part,
                 read});
        }
    }
    ASSERT_GT(cases.size(), 8u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = saved;
        kwbytes::StoreLe32(bytes.data() + c.at, c.value);
        kwv::test::PutFileBytes(changes_, bytes);
        UiCallback cb;
        image = Reopen(&cb);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(cb.queries, c.queries);
        if (c.read == Case::kWhole)
            ExpectEverySectorInRandomOrder(image, c.part, parts_[c.part], volume_->raw, 3);
        else if (c.read == Case::kEnds)
            ExpectFirstAndLastBlocks(image, c.part, parts_[c.part]);
        // Saving never overwrites a file it cannot read as its own.
        if (c.queries.size() == 3) {
            EXPECT_EQ(image->SaveAllChanges(), c.queries[0]);
            EXPECT_EQ(kwv::test::FileBytes(changes_), bytes);
        }
        image->Release();
    }
    // Nor a short file of someone else, which is no torn header of its own.
    const std::vector<uint8_t> note = {'n', 'o', 't', 'e', 's', '\n'};
    kwv::test::PutFileBytes(changes_, note);
    image = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->SaveAllChanges(), ERR_CHANGE_INVALID);
    EXPECT_EQ(kwv::test::FileBytes(changes_), note);
    image->Release();
    // The user may also refuse to go on without it.
    kwv::test::PutFileBytes(changes_, std::vector<uint8_t>(40, 0));
    UiCallback refuses;
    refuses.media.password = u"pw";
    refuses.queryAnswer = 2;
    uint32_t code = 0;
    EXPECT_EQ(CreateImageAccess(image_.c_str(), changes_.c_str(), &refuses, &code), nullptr);
    EXPECT_EQ(code, ERR_CHANGE_REFUSED);
}

// A save cut short in an earlier run leaves a header that is short, or
// whose bytes never reached the disk: the next save rebuilds the file, and
// the image opens from it afterwards with every record in place.
TEST_F(ChangeFileTest, AFileTornBeforeItsHeaderWasWholeIsRebuiltByTheNextSave) {
    IMAGE_ACCESS* first = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->SaveAllChanges(), KW_OK);
    first->Release();
    const std::vector<uint8_t> saved = kwv::test::FileBytes(changes_);
    const auto cut = [&saved](size_t n) {
        return std::vector<uint8_t>(saved.begin(), saved.begin() + n);
    };
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } torn[] = {
        {"empty", {}},
        {"header cut", cut(5)},
        {"header never written", std::vector<uint8_t>(saved.size(), 0)},
        {"table cut", cut(kChangeHeaderBytes + 5)},
    };
    for (const auto& t : torn) {
        SCOPED_TRACE(t.name);
        kwv::test::PutFileBytes(changes_, t.bytes);
        UiCallback cb;
        IMAGE_ACCESS* image = Reopen(&cb);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->SaveAllChanges(), KW_OK);
        const uint32_t entries0 = Reader(image, 0).IndexEntries();
        image->Release();

        UiCallback again;
        image = Reopen(&again);
        ASSERT_NE(image, nullptr);
        EXPECT_TRUE(again.queries.empty());
        EXPECT_EQ(Reader(image, 0).IndexEntries(), entries0);
        EXPECT_GT(Reader(image, 2).IndexEntries(), 2u);
        ExpectAllPartitions(image);
        image->Release();
    }

    // The last record cut short: its partition saves again into the same
    // file, and the records before it stay.
    kwv::test::PutFileBytes(changes_, cut(saved.size() - 10));
    UiCallback cb;
    IMAGE_ACCESS* image = Reopen(&cb);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(cb.queries, std::vector<uint32_t>{ERR_IMG_READ});
    EXPECT_EQ(Reader(image, 0).SaveChanges(changes_.c_str()), ERR_CHANGE_RECORD_EXISTS);
    EXPECT_EQ(Reader(image, 2).SaveChanges(changes_.c_str()), KW_OK);
    image->Release();
    UiCallback again;
    image = Reopen(&again);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(again.queries.empty());
    EXPECT_GT(Reader(image, 2).IndexEntries(), 2u);
    image->Release();
}

// A save writes a new file over the old one, which keeps the old one's
// permissions.
TEST_F(ChangeFileTest, ASaveKeepsThePermissionsOfTheFileItReplaces) {
    IMAGE_ACCESS* image = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(Reader(image, 0).SaveChanges(changes_.c_str()), KW_OK);
    namespace fs = std::filesystem;
    const fs::perms mine = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(changes_, mine);
    ASSERT_EQ(Reader(image, 2).SaveChanges(changes_.c_str()), KW_OK);
    EXPECT_EQ(fs::status(changes_).permissions(), mine);
    image->Release();
}

// A save that cannot write its new file leaves the earlier one whole: the
// next opening still finds every record of it.
TEST_F(ChangeFileTest, ASaveThatCannotWriteKeepsTheEarlierFile) {
    IMAGE_ACCESS* image = OpenImage(image_, changes_, &cb_);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(Reader(image, 0).SaveChanges(changes_.c_str()), KW_OK);
    const std::vector<uint8_t> saved = kwv::test::FileBytes(changes_);
    // The temporary name is taken by a folder, so the new file cannot be made.
    const std::string temp = changes_ + ".tmp" + std::to_string(::getpid());
    ASSERT_TRUE(std::filesystem::create_directory(temp));
    EXPECT_EQ(Reader(image, 2).SaveChanges(changes_.c_str()), ERR_IMG_OPEN);
    std::filesystem::remove(temp);
    EXPECT_EQ(kwv::test::FileBytes(changes_), saved);
    image->Release();

    UiCallback again;
    image = Reopen(&again);
    ASSERT_NE(image, nullptr);
    // Partition 1 finds its record; the other two ask about theirs.
    EXPECT_EQ(again.queries, std::vector<uint32_t>(2, ERR_CHANGE_NO_RECORD));
    EXPECT_GT(Reader(image, 0).IndexEntries(), 2u);
    image->Release();
}
