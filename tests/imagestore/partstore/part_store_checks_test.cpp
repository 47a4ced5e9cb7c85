// The part store's own checks, through the exported functions: the data check
// finds parts whose record or streams disagree and names them in the debug
// log, it opens the image once, and parts removed again leave nothing behind
// in the stream table.
#include "imagestore/store_error.h"
#include "tests/imagestore/partstore/partstore_test_util.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kw::partstore::test {
namespace {

constexpr int32_t kInvalid = kwv::kStoreInvalid;

Partition SmallPartition(uint32_t seed) {
    Partition p;
    p.raw = MixedBytes(48 * 4096, seed);
    p.fsKind = 1;
    p.partitionType = 0x06;
    MarkBlocks(p, false);
    return p;
}

// The library's debug lines of one test. The exports run in the shared
// library, which finds its log file through the environment.
class LogFile {
public:
    explicit LogFile(const TempFolder& folder) : path_(folder.File("kwvaults.log")) {
        setenv("KW_VAULTS_LOG", path_.c_str(), 1);
    }
    ~LogFile() { unsetenv("KW_VAULTS_LOG"); }
    std::string Text() const {
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string path_;
};

// An image with one sound part named "first".
std::string NewImage(const TempFolder& folder, const char16_t* password = nullptr,
                     MEDIA_CHANGE_CALLBACK* callback = nullptr) {
    const std::string path = folder.File("img.kwi");
    int32_t error = -1;
    PART_STORE* store = PartStoreCreateNew(path.c_str(), password, 0, 0, 0, callback, &error);
    EXPECT_NE(store, nullptr) << error;
    uint32_t index = 0;
    EXPECT_EQ(StorePart(store, SmallPartition(1), "first", &index), 0);
    EXPECT_EQ(store->Commit(), 0);
    store->Release();
    return path;
}

PART_STORE* OpenAppend(const std::string& image) {
    int32_t error = -1;
    PART_STORE* store = PartStoreOpenWriteOnly(image.c_str(), 0, 0, nullptr, &error);
    EXPECT_NE(store, nullptr) << error;
    return store;
}

TEST(PartStoreChecks, PartLeftByAStoppedCopyFailsTheDataCheck) {
    TempFolder folder;
    LogFile log(folder);
    const std::string image = NewImage(folder);
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), 0);
    // A copy that gives up after five blocks; its caller releases the image
    // without RemovePart, so the part's record is written with its short data.
    PART_STORE* store = OpenAppend(image);
    ASSERT_NE(store, nullptr);
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, SmallPartition(2), "stopped", &index, 5), 0);
    store->Release();
    EXPECT_EQ(PartStoreVerify(image.c_str(), nullptr), 0); // every chunk is sound
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), kInvalid);
    EXPECT_NE(log.Text().find("kwi/part1"), std::string::npos) << log.Text();
}

// Records that lie about the part's size or its streams, stored with sound
// CRCs: the part is listed as damaged (selecting it answers 1802, the debug
// log says why), the part before it opens and reads as before, and the data
// check reports it.
TEST(PartStoreChecks, PartWhoseRecordLiesIsListedAsDamaged) {
    const Partition p = SmallPartition(4);
    const uint32_t sectors = uint32_t(p.raw.size() / kSectorBytes);
    struct Case {
        const char* what;
        void (*lie)(PART_STORE* store, const Partition& p, uint32_t sectors);
        int bitmapDelta, dataBlocks; // added to the bitmap's length, the data's blocks
    } cases[] = {
        {"total sectors a block more",
         [](PART_STORE* s, const Partition& p, uint32_t n) {
             s->SetTotalSectors(n + p.sectorsPerBlock);
         },
         0, 0},
        {"total sectors halved",
         [](PART_STORE* s, const Partition&, uint32_t n) { s->SetTotalSectors(n / 2); }, 0, 0},
        {"block count one more",
         [](PART_STORE* s, const Partition& p, uint32_t) { s->SetBlockCount(p.Blocks() + 1); }, 0,
         0},
        {"bytes per sector 1024",
         [](PART_STORE* s, const Partition&, uint32_t) { s->SetBytesPerSector(1024); }, 0, 0},
        {"sectors per block 0",
         [](PART_STORE* s, const Partition&, uint32_t) { s->SetSectorsPerBlock(0); }, 0, 0},
        {"more used blocks than blocks",
         [](PART_STORE* s, const Partition& p, uint32_t) { s->SetUsedBlockCount(p.Blocks() + 1); },
         0, 0},
        {"bitmap a byte long", nullptr, 1, 0},
        {"data a block short", nullptr, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        LogFile log(folder);
        const std::string image = NewImage(folder);
        PART_STORE* store = OpenAppend(image);
        ASSERT_NE(store, nullptr);
        uint32_t index = 0;
        ASSERT_EQ(store->AddPart(&index), 0);
        store->SetBytesPerSector(kSectorBytes);
        store->SetTotalSectors(sectors);
        store->SetSectorsPerBlock(p.sectorsPerBlock);
        store->SetBlockCount(p.Blocks());
        store->SetUsedBlockCount(p.UsedCount());
        if (c.lie != nullptr) {
            c.lie(store, p, sectors);
        }
        std::vector<uint8_t> bitmap = p.bitmap;
        bitmap.resize(size_t(int(bitmap.size()) + c.bitmapDelta));
        ASSERT_EQ(store->CreateUbmap(), 0);
        ASSERT_EQ(store->Write(bitmap.data(), uint32_t(bitmap.size())), 0);
        ASSERT_EQ(store->CreateUdata(), 0);
        for (uint32_t b = 0; b < uint32_t(int(p.UsedCount()) + c.dataBlocks); ++b) {
            ASSERT_EQ(store->Write(p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes()), 0);
        }
        ASSERT_EQ(store->Commit(), 0);
        store->Release();

        int32_t error = -1;
        store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(error, 0);
        EXPECT_EQ(store->GetPartCount(), 2u);
        ExpectPart(store, 0, SmallPartition(1), "first");
        EXPECT_EQ(store->SelectPart(1), kInvalid);
        EXPECT_EQ(store->GetTotalSectors(), 0u); // no part is current
        store->Release();
        EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), kInvalid);
        EXPECT_NE(log.Text().find("kwi/part1"), std::string::npos) << log.Text();
    }
}

// A part whose bitmap disagrees with its record, though its data stream has
// the length the record asks for.
TEST(PartStoreChecks, BitmapThatDisagreesWithTheRecordFailsTheDataCheck) {
    struct Case {
        const char* what;
        int usedDelta;   // added to the used count of the record and the data
        int bitmapDelta; // added to the bitmap's length
        int32_t want;
    } cases[] = {
        {"sound", 0, 0, 0},
        {"one used block more than bits set", 1, 0, kInvalid},
        {"bitmap a byte short", 0, -1, kInvalid},
        {"bitmap a byte long", 0, 1, kInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const std::string image = NewImage(folder);
        const Partition p = SmallPartition(3);
        PART_STORE* store = OpenAppend(image);
        ASSERT_NE(store, nullptr);
        uint32_t index = 0;
        ASSERT_EQ(store->AddPart(&index), 0);
        const uint32_t used = uint32_t(int(p.UsedCount()) + c.usedDelta);
        store->SetBytesPerSector(kSectorBytes);
        store->SetTotalSectors(uint32_t(p.raw.size() / kSectorBytes));
        store->SetSectorsPerBlock(p.sectorsPerBlock);
        store->SetBlockCount(p.Blocks());
        store->SetUsedBlockCount(used);
        std::vector<uint8_t> bitmap = p.bitmap;
        bitmap.resize(size_t(int(bitmap.size()) + c.bitmapDelta));
        ASSERT_EQ(store->CreateUbmap(), 0);
        ASSERT_EQ(store->Write(bitmap.data(), uint32_t(bitmap.size())), 0);
        ASSERT_EQ(store->CreateUdata(), 0);
        for (uint32_t b = 0; b < used; ++b) {
            ASSERT_EQ(store->Write(p.raw.data() + size_t(b) * p.BlockBytes(), p.BlockBytes()), 0);
        }
        ASSERT_EQ(store->Commit(), 0);
        store->Release();
        EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), c.want);
    }
}

TEST(PartStoreChecks, DataCheckAsksForThePasswordOnce) {
    TempFolder folder;
    RecordingCallback callback;
    callback.password = u"secret";
    const std::string image = NewImage(folder, u"secret", &callback);
    callback.calls.clear();
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), &callback), 0);
    EXPECT_EQ(std::count(callback.calls.begin(), callback.calls.end(), "AskPassword"), 1);
}

// An image of the current format that is damaged reports the current
// reader's code, not the older reader's refusal of the version it finds in
// the first chunk's older-format signature.
TEST(PartStoreChecks, DamagedImagesReportTheCurrentReadersCode) {
    const struct {
        const char* what;
        void (*damage)(std::vector<uint8_t>&);
    } cases[] = {
        {"payload of chunk 0", [](std::vector<uint8_t>& b) { b[5000] ^= 0x5A; }},
        {"volume cut inside chunk 0", [](std::vector<uint8_t>& b) { b.resize(100000); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const std::string image = NewImage(folder);
        std::vector<uint8_t> bytes = FileBytes(image);
        c.damage(bytes);
        PutFileBytes(image, bytes);
        int32_t error = -1;
        EXPECT_EQ(PartStoreOpenReadOnly(image.c_str(), nullptr, &error), nullptr);
        EXPECT_EQ(error, kInvalid);
        EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), kInvalid);
    }
}

std::vector<std::string> PartNames(const std::string& image) {
    int32_t error = -1;
    PART_STORE* store = PartStoreOpenReadOnly(image.c_str(), nullptr, &error);
    std::vector<std::string> names;
    for (uint32_t i = 0; store != nullptr && i < store->GetPartCount(); ++i) {
        char name[64] = {};
        EXPECT_EQ(store->SelectPart(i), 0);
        store->GetPartName(name, sizeof name);
        names.push_back(name);
    }
    if (store != nullptr) {
        store->Release();
    }
    return names;
}

// A part taken out again takes its entry and its streams' entries out of the
// stream table: cycles of adding and removing never fill it.
TEST(PartStoreChecks, RemovedPartsLeaveNothingInTheStreamTable) {
    TempFolder folder;
    const std::string image = NewImage(folder);
    const Partition p = SmallPartition(4);
    for (int cycle = 0; cycle < 140; ++cycle) {
        PART_STORE* store = OpenAppend(image);
        ASSERT_NE(store, nullptr) << cycle;
        uint32_t index = 0;
        ASSERT_EQ(StorePart(store, p, "gone", &index, 2), 0) << cycle;
        ASSERT_EQ(store->RemovePart(index), 0) << cycle;
        ASSERT_EQ(store->Commit(), 0) << cycle;
        store->Release();
    }
    // Within one open as well: the name a removed part freed is taken again.
    PART_STORE* store = OpenAppend(image);
    ASSERT_NE(store, nullptr);
    for (int cycle = 0; cycle < 60; ++cycle) {
        uint32_t index = 0;
        ASSERT_EQ(StorePart(store, p, "gone", &index), 0) << cycle;
        ASSERT_EQ(store->RemovePart(index), 0) << cycle;
    }
    uint32_t index = 0;
    ASSERT_EQ(StorePart(store, p, "kept", &index), 0);
    EXPECT_EQ(index, 1u);
    ASSERT_EQ(store->Commit(), 0);
    store->Release();
    EXPECT_EQ(PartNames(image), (std::vector<std::string>{"first", "kept"}));
    EXPECT_EQ(PartStoreVerifyData(image.c_str(), nullptr), 0);
}

} // namespace
} // namespace kw::partstore::test
