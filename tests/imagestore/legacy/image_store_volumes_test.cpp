// Older-format images spread over several volume files: a volume cut short,
// a volume of another set or of another place put in, and seeks around every
// volume boundary. Whatever is wrong, a read fails with its code and never
// delivers other bytes with success.
#include "imagestore/legacy/image_store_reader.h"
#include "tests/imagestore/legacy/legacy_fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

using namespace kw::legacy;
using namespace kw::legacy::testing;

namespace {

struct Store {
    IMAGE_STORE_READER* p;
    int error;
    explicit Store(const std::string& path, MEDIA_CHANGE_CALLBACK* cb = nullptr)
        : p(new IMAGE_STORE_READER(path, cb)), error(p->Open()) {}
    ~Store() { p->Release(); }
    IMAGE_STORE_READER* operator->() { return p; }
};

// Bytes that differ from any shifted copy of themselves, so that data read
// from a wrong place never matches by chance.
LegacyPartition noisePartition(size_t bytes, uint32_t code, uint32_t seed) {
    LegacyPartition p;
    std::mt19937 rng(seed);
    p.data.resize(bytes);
    for (uint8_t& b : p.data)
        b = uint8_t(rng());
    uint32_t blocks = uint32_t(bytes / 512);
    p.bitmap.assign((blocks + 7) / 8, 0xFF);
    p.code = code;
    p.blockSize = 0x2000;
    p.sectorsPerBlock = 1;
    p.blockCount = blocks;
    p.usedBlocks = blocks;
    p.totalSectors = blocks;
    return p;
}

// Partition 1 lies wholly in volume 1; partition 2 begins there and spans
// volumes 2, 3 and 4.
class LegacyVolumesTest : public ::testing::Test {
public:
    TempFolder dir;
    std::string path = dir.File("set.kwi");
    std::vector<LegacyPartition> parts;
    std::vector<std::string> files;

    void make(uint32_t code, bool continuationCopies = false, uint32_t setId = 0x5EED0001,
              const std::string& at = "") {
        parts = {noisePartition(6144, code, 1), noisePartition(51200, code, 2)};
        LegacyImage im;
        im.volumeLimit = 20000;
        im.continuationCopies = continuationCopies;
        im.setId = setId;
        files = writeLegacyImage(at.empty() ? path : at, im, parts);
    }
    std::string volume(uint32_t n) const { return files[n - 1]; }
    // Volume 2 of another set of the same shape put in place of this one's.
    void foreignVolume2(bool copies) {
        std::vector<std::string> mine = files;
        make(0, copies, 0x0BAD5E75, dir.File("other.kwi"));
        std::filesystem::copy_file(dir.File("other.002"), mine[1],
                                   std::filesystem::copy_options::overwrite_existing);
        files = mine;
    }
};

// Reads partition `number` whole in pieces: the first error, and the bytes
// delivered before it.
int readAll(IMAGE_STORE* store, uint32_t number, std::vector<uint8_t>* out) {
    out->clear();
    if (int r = store->SelectPartition(number))
        return r;
    std::vector<uint8_t> piece(7000);
    for (;;) {
        uint32_t got = 0;
        int r = store->ReadData(piece.data(), uint32_t(piece.size()), &got);
        out->insert(out->end(), piece.begin(), piece.begin() + got);
        if (r != 0 || got == 0)
            return r;
    }
}

// Where partition 2's data stands in each of its volumes: the stored-data
// offset at which volume n's bytes begin.
std::vector<uint64_t> boundaries(IMAGE_STORE* store) {
    uint32_t count = 0;
    const uint64_t* table = store->GetVolumeTable(&count);
    std::vector<uint64_t> starts;
    for (uint32_t i = 0; table != nullptr && i + 1 < count; ++i)
        if (table[i] != 0 && table[i + 1] != kUnknownEntry)
            starts.push_back(table[i] + 1);
    return starts;
}

} // namespace

// Cuts inside each volume, in plain and in compressed data: the read that
// reaches the cut fails with the damaged-image code; what came before it is
// the partition's own data.
TEST_F(LegacyVolumesTest, AVolumeCutShortIsDamageNeverTheNextVolumesBytes) {
    const struct {
        const char* name;
        uint32_t volume;
        uint32_t partition;
        std::function<uint64_t(uint64_t)> cutAt; // from the volume's size
    } cuts[] = {
        {"volume 1 inside the partition that does not span", 1, 1,
         [](uint64_t) { return 3072 + 512 + 2 + 3000; }},
        {"volume 1 inside the spanning partition", 1, 2, [](uint64_t n) { return n - 700; }},
        {"volume 1 by one byte", 1, 2, [](uint64_t n) { return n - 1; }},
        {"volume 2 in its middle", 2, 2, [](uint64_t n) { return n / 2; }},
        {"volume 3 inside its continuation record", 3, 2, [](uint64_t) { return 300; }},
        {"the last volume", 4, 2, [](uint64_t n) { return n - 10; }},
    };
    for (uint32_t code : {0u, 300u, 102u}) {
        for (const auto& c : cuts) {
            SCOPED_TRACE(std::string(c.name) + ", code " + std::to_string(code));
            make(code);
            ASSERT_EQ(files.size(), 4u);
            std::filesystem::resize_file(volume(c.volume),
                                         c.cutAt(std::filesystem::file_size(volume(c.volume))));
            Store s(path);
            ASSERT_EQ(s.error, 0);
            std::vector<uint8_t> back;
            int r = readAll(s.p, c.partition, &back);
            EXPECT_EQ(r, kwv::kStoreInvalid);
            const std::vector<uint8_t>& truth = parts[c.partition - 1].data;
            ASSERT_LT(back.size(), truth.size());
            EXPECT_TRUE(std::equal(back.begin(), back.end(), truth.begin()));
        }
    }
}

// A volume of another set, or another volume of this set, in a volume's
// place: refused by the record actually read from it, also when the header
// carries copies of the continuation records.
TEST_F(LegacyVolumesTest, AVolumeOfAnotherSetOrPlaceIsRefused) {
    const struct {
        const char* name;
        bool copies;
        std::function<void(LegacyVolumesTest&)> swap;
    } swaps[] = {
        {"volume 2 of another set", false, [](LegacyVolumesTest& t) { t.foreignVolume2(false); }},
        {"volume 2 of another set, with copies", true,
         [](LegacyVolumesTest& t) { t.foreignVolume2(true); }},
        {"volume 2 in the place of volume 3", false,
         [](LegacyVolumesTest& t) {
             std::filesystem::copy_file(t.volume(2), t.volume(3),
                                        std::filesystem::copy_options::overwrite_existing);
         }},
        {"volume 3 in the place of volume 2, with copies", true,
         [](LegacyVolumesTest& t) {
             std::filesystem::copy_file(t.volume(3), t.volume(2),
                                        std::filesystem::copy_options::overwrite_existing);
         }},
    };
    for (const auto& c : swaps) {
        SCOPED_TRACE(c.name);
        make(0, c.copies);
        ASSERT_EQ(files.size(), 4u);
        std::vector<uint8_t> back;
        {
            Store s(path);
            ASSERT_EQ(s.error, 0);
            ASSERT_EQ(readAll(s.p, 2, &back), 0); // before the swap
        }
        c.swap(*this);
        Store s(path);
        ASSERT_EQ(s.error, 0);
        EXPECT_EQ(readAll(s.p, 2, &back), kwv::kStoreInvalid);
        EXPECT_LT(back.size(), parts[1].data.size());
        EXPECT_TRUE(std::equal(back.begin(), back.end(), parts[1].data.begin()));
        ASSERT_EQ(readAll(s.p, 1, &back), 0); // volume 1 alone is sound
        EXPECT_EQ(back, parts[0].data);
    }
}

// On removable media a volume of the wrong place is not read: the user is
// told and asked for the right one, and reading goes on once it is in.
TEST_F(LegacyVolumesTest, OnRemovableMediaTheRightVolumeIsAskedFor) {
    make(0);
    const std::vector<uint8_t> right = FileBytes(volume(2));
    PutFileBytes(volume(2), FileBytes(volume(3)));
    RemovableDrive drive('R', dir.Path());
    struct PutsTheRightOneIn : RecordingCallback {
        std::string file;
        std::vector<uint8_t> bytes;
        uint32_t AskMediaNumber(const char* p, uint32_t number) override {
            PutFileBytes(file, bytes);
            mediaAnswers = 1;
            return RecordingCallback::AskMediaNumber(p, number);
        }
    } cb;
    cb.file = volume(2);
    cb.bytes = right;
    Store s("R:\\set.kwi", &cb);
    ASSERT_EQ(s.error, 0);
    std::vector<uint8_t> back;
    EXPECT_EQ(readAll(s.p, 2, &back), 0);
    EXPECT_EQ(back, parts[1].data);
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "WrongMedia"), 1);
    EXPECT_EQ(std::count(cb.calls.begin(), cb.calls.end(), "AskMediaNumber:R:\\set.002"), 1);
}

// One byte read at each volume boundary -1, 0 and +1 and at the last byte,
// in an order that goes back and forth between the volumes.
TEST_F(LegacyVolumesTest, SeeksAroundEveryVolumeBoundaryReadTheRightByte) {
    make(0);
    Store s(path);
    ASSERT_EQ(s.error, 0);
    ASSERT_EQ(s->SelectPartition(2), 0);
    ASSERT_EQ(s->BuildVolumeTable(), 0);
    const std::vector<uint64_t> starts = boundaries(s.p);
    ASSERT_EQ(starts.size(), 3u);
    const std::vector<uint8_t>& truth = parts[1].data;
    std::vector<uint64_t> offsets = {truth.size() - 1, 0};
    for (auto it = starts.rbegin(); it != starts.rend(); ++it)
        for (uint64_t at : {*it + 1, *it - 1, *it})
            offsets.push_back(at);
    offsets.push_back(truth.size() - 1);
    for (uint64_t at : offsets) {
        SCOPED_TRACE(at);
        ASSERT_EQ(s->SeekData(at), 0);
        uint8_t byte = 0;
        uint32_t got = 0;
        ASSERT_EQ(s->ReadData(&byte, 1, &got), 0);
        ASSERT_EQ(got, 1u);
        EXPECT_EQ(byte, truth[at]);
    }
    // Past the last byte nothing is left.
    ASSERT_EQ(s->SeekData(truth.size()), 0);
    uint32_t got = 7;
    uint8_t byte = 0;
    EXPECT_EQ(s->ReadData(&byte, 1, &got), 0);
    EXPECT_EQ(got, 0u);
}
