// Damaged and forged sets: every case ends with its error code, never a crash,
// a hang or a read out of bounds.
#include "container_test_util.h"
#include "fault_volume.h"

#include "include/kwbytes.h"

#include <zlib.h>

namespace kwv::test {
namespace {

constexpr uint32_t kChunk = 0x20000;

using kwbytes::LoadLe32;
using kwbytes::StoreLe32;

// Recomputes the record CRC of the chunk at `at` (a forged record stays valid).
void Reseal(std::vector<uint8_t>& file, size_t at) {
    StoreLe32(&file[at + 88], uint32_t(crc32(0L, &file[at], 88)));
}

// A set with one data stream "d" of `bytes` bytes.
std::string MakeSet(const TempFolder& dir, uint32_t options, uint32_t limit, size_t bytes,
                    const char* name = "set.kwi") {
    const std::string path = dir.File(name);
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), nullptr, limit, 0, options, nullptr, &err);
    EXPECT_NE(c, nullptr) << err;
    EXPECT_EQ(WriteStream(c, "d", MixedBytes(bytes, 3)), 0);
    EXPECT_EQ(c->Close(), 0);
    c->Release();
    return path;
}

// Opens the set and reads "d": the first error met.
int OpenAndRead(const std::string& path) {
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), nullptr, &err);
    if (c == nullptr) {
        return err;
    }
    std::vector<uint8_t> back;
    err = ReadStream(c, "d", &back);
    if (err == 0 && back != MixedBytes(back.size(), 3)) {
        err = -3;
    }
    c->Release();
    return err;
}

TEST(ContainerDamage, InterruptedWriteStopsInsteadOfLooping) {
    TempFolder dir;
    const std::string path = MakeSet(dir, kOptNoDirectoryCopy, 0, 400000);
    std::vector<uint8_t> file = FileBytes(path);
    ASSERT_EQ(file.size(), 4u * kChunk);
    file.resize(3 * kChunk + 1000); // the chunk with the directory is lost
    PutFileBytes(path, file);
    EXPECT_EQ(OpenAndRead(path), kStoreInvalid);
    file.resize(100); // a record but not one whole chunk
    PutFileBytes(path, file);
    EXPECT_EQ(OpenAndRead(path), kStoreInvalid);
    file.resize(50); // not even a record
    PutFileBytes(path, file);
    EXPECT_EQ(OpenAndRead(path), kStoreShortRead);
}

TEST(ContainerDamage, FlippedBitAnywhereFailsItsChunk) {
    TempFolder dir;
    const std::string path = MakeSet(dir, kOptPayloadCrc, 0, 400000);
    const std::vector<uint8_t> good = FileBytes(path);
    for (size_t at : {size_t(0), size_t(17), size_t(52), size_t(64), size_t(91), size_t(95),
                      size_t(kChunk + 30), size_t(kChunk + 5000), size_t(2 * kChunk + 88),
                      size_t(3 * kChunk - 1)}) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= 0x10;
        PutFileBytes(path, bad);
        const int err = OpenAndRead(path);
        EXPECT_TRUE(err == kStoreInvalid || err == kStoreNotFound) << at << ": " << err;
    }
}

TEST(ContainerDamage, ForgedRecordsWithValidCrcAreRefused) {
    TempFolder dir;
    const std::string path = MakeSet(dir, 0, 0, 400000);
    const std::vector<uint8_t> good = FileBytes(path);
    struct Forge {
        size_t field;
        uint32_t value;
    } forges[] = {
        {64, 0x7FFFFFFF}, {64, 131001},  // more data than the payload holds
        {72, 0x40000000},                // stored length past the room
        {4, 0x00100000},  {4, 98},       // payload offset past the data size, unaligned
        {28, 0x7FFFFFF0}, {32, 0x40000}, // chunk sizes never written
        {8, 200},                        // record size unlike the header's
        {48, 7},                         // chunk number out of place
    };
    for (const Forge& f : forges) {
        std::vector<uint8_t> bad = good;
        StoreLe32(&bad[kChunk + f.field], f.value);
        Reseal(bad, kChunk);
        PutFileBytes(path, bad);
        EXPECT_EQ(OpenAndRead(path), kStoreInvalid) << f.field << "=" << f.value;
    }
    // The older-format magic counts only at stream offset 0.
    std::vector<uint8_t> bad = good;
    StoreLe32(&bad[kChunk], 0x12268978);
    Reseal(bad, kChunk);
    PutFileBytes(path, bad);
    EXPECT_EQ(OpenAndRead(path), kStoreInvalid);
}

// A set of one stream "d", optionally protected, read back through a callback
// that knows the password: the first error met (-3: data differ).
std::string MakeProtectedSet(const TempFolder& dir, uint32_t options, const char16_t* password,
                             size_t bytes) {
    const std::string path = dir.File("forged.kwi");
    DeleteContainerSet(path.c_str(), nullptr);
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), password, 0, 0, options, nullptr, &err);
    EXPECT_NE(c, nullptr) << err;
    EXPECT_EQ(WriteStream(c, "d", MixedBytes(bytes, 3)), 0);
    EXPECT_EQ(c->Close(), 0);
    c->Release();
    return path;
}

std::pair<int, int> ReadAndVerify(const std::string& path, const char16_t* password) {
    RecordingCallback callback;
    callback.password = password != nullptr ? password : u"";
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), &callback, &err);
    if (c == nullptr) {
        return {err, err};
    }
    std::vector<uint8_t> back;
    int read = ReadStream(c, "d", &back);
    if (read == 0 && back != MixedBytes(back.size(), 3)) {
        read = -3;
    }
    const int verified = c->VerifyAll();
    c->Release();
    return {read, verified};
}

// Records forged with valid CRCs over sound payloads: a chunk must agree with
// the chunk index, its neighbours and what its codec produced, else it fails
// with 1802 and gives no data. Reading and verifying agree.
TEST(ContainerDamage, ForgedPlaceOrCodecFieldsNeverReadAsData) {
    TempFolder dir;
    struct Set {
        const char* what;
        uint32_t options;
        const char16_t* password;
    } sets[] = {
        {"stored", kOptPayloadCrc, nullptr},
        {"scrambled", kOptPayloadCrc, u"pw"},
        {"LZS", kOptPayloadCrc | kOptLzs, nullptr},
        {"own method", kOptPayloadCrc | kOptOwnMethod, nullptr},
    };
    for (const Set& set : sets) {
        SCOPED_TRACE(set.what);
        const std::string path = MakeProtectedSet(dir, set.options, set.password, 600000);
        const std::vector<uint8_t> good = FileBytes(path);
        ASSERT_EQ(ReadAndVerify(path, set.password), std::make_pair(0, 0));
        // A chunk filled to the brim (the last chunk of a segment may be
        // short, and a short chunk stored raw from its start is sound).
        size_t at = kChunk;
        for (size_t k = kChunk; k + 2 * kChunk <= good.size(); k += kChunk) {
            at = LoadLe32(&good[k + 64]) > LoadLe32(&good[at + 64]) ? k : at;
        }
        const uint32_t raw = LoadLe32(&good[at + 72]);
        const bool compressed = LoadLe32(&good[at + 52]) & 1;
        std::vector<std::pair<size_t, uint32_t>> forges = {
            {56, LoadLe32(&good[at + 56]) + 1}, // stream offset off by one
            {64, LoadLe32(&good[at + 64]) - 1}, // one byte less
            {64, LoadLe32(&good[at + 64]) + 1}, // one byte more
            {4, 0x800},                         // scrambling from elsewhere
        };
        if (compressed) {
            forges.push_back({72, raw == 0xFFFFFFFFu ? 0 : 0xFFFFFFFFu});
            if (raw != 0xFFFFFFFFu) {
                forges.push_back({72, raw - 1});
                forges.push_back({72, raw + 1});
            }
        }
        for (const auto& [field, value] : forges) {
            std::vector<uint8_t> bad = good;
            StoreLe32(&bad[at + field], value);
            Reseal(bad, at);
            PutFileBytes(path, bad);
            EXPECT_EQ(ReadAndVerify(path, set.password),
                      std::make_pair(int(kStoreInvalid), int(kStoreInvalid)))
                << "byte " << field << " = " << value;
        }
        PutFileBytes(path, good);
    }
}

// Finds the entry of stream id `id` in the (unprotected) stream table of the
// last chunk's directory and lets `change` forge it.
template <typename Change> int ForgeEntry(const std::string& path, uint32_t id, Change change) {
    std::vector<uint8_t> file = FileBytes(path);
    for (size_t at = file.size(); at-- > 12;) {
        if (LoadLe32(&file[at]) == 0x45444324 && LoadLe32(&file[at + 8]) == id) {
            change(&file[at]);
            PutFileBytes(path, file);
            return OpenAndRead(path);
        }
    }
    return -100;
}

TEST(ContainerDamage, StreamTableWithHugeOrOverlappingLengths) {
    TempFolder dir;
    const std::string path = MakeSet(dir, kOptNoDirectoryCopy, 0, 300000);
    const std::vector<uint8_t> good = FileBytes(path);
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 36, 1); }), kStoreInvalid);
    PutFileBytes(path, good);
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 28, 0xFFFFFFFF); }),
              kStoreInvalid);
    PutFileBytes(path, good);
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 4, 0x7FFFFFFF); }), kStoreInvalid);
    PutFileBytes(path, good);
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 52, 0x40000000); }),
              kStoreInvalid);
    PutFileBytes(path, good);
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 44, 0x80000001); }),
              kStoreInvalid);
    PutFileBytes(path, good);
    // A stream that overlaps the directory reads what lies there: no harm.
    EXPECT_EQ(ForgeEntry(path, 2, [](uint8_t* e) { StoreLe32(e + 24, 100); }), -3);
    PutFileBytes(path, good);
    EXPECT_EQ(OpenAndRead(path), 0);
}

TEST(ContainerDamage, MissingMiddleVolumeAndForeignVolume) {
    TempFolder dir;
    const std::string path = MakeSet(dir, kOptNoDirectoryCopy, kChunk, 600000);
    const std::string second = dir.File("set.002");
    const std::vector<uint8_t> kept = FileBytes(second);
    std::filesystem::remove(second);
    EXPECT_EQ(OpenAndRead(path), kStoreNotFound);
    // The same volume, but stamped with another creation time.
    std::vector<uint8_t> foreign = kept;
    StoreLe32(&foreign[16], LoadLe32(&foreign[16]) + 1);
    Reseal(foreign, 0);
    PutFileBytes(second, foreign);
    EXPECT_EQ(OpenAndRead(path), kStoreInvalid);
    PutFileBytes(second, kept);
    EXPECT_EQ(OpenAndRead(path), 0);
}

TEST(ContainerDamage, ContinuationPathsAreRefusedBeforeAnyFileIsTouched) {
    TempFolder dir;
    int err = -1;
    for (const char* name : {"set.002", "set.005", "x.999"}) {
        const std::string path = dir.File(name);
        EXPECT_EQ(OpenContainerForRead(path.c_str(), nullptr, &err), nullptr);
        EXPECT_EQ(err, kStoreContinuation);
        EXPECT_EQ(CreateContainer(path.c_str(), nullptr, 0, 0, 0, nullptr, &err), nullptr);
        EXPECT_EQ(err, kStoreContinuation);
        EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), kStoreContinuation);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    EXPECT_EQ(OpenContainerForRead(dir.File("none.kwi").c_str(), nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreNotFound);
    PutFileBytes(dir.File("junk.kwi"), std::vector<uint8_t>(kChunk, 0x55));
    EXPECT_EQ(OpenContainerForRead(dir.File("junk.kwi").c_str(), nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreInvalid);
}

TEST(ContainerDamage, ErrorCorrectionRebuildsThreeLostSubBlocksNotFour) {
    TempFolder dir;
    // The record sub-block stays readable: the volume must open first.
    for (const auto& [bad, want] : std::vector<std::pair<std::vector<uint32_t>, int>>{
             {{3, 17, 33}, 0}, {{1, 2, 34}, 0}, {{3, 17, 30, 33}, kStoreShortRead}}) {
        const std::string path = MakeSet(dir, kOptErrorCorrection | kOptPayloadCrc, 0, 200000);
        {
            LostSubBlocks losing(bad);
            EXPECT_EQ(OpenAndRead(path), want);
        }
        EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    }
    // Without error correction a failed read is final.
    const std::string plain = MakeSet(dir, 0, 0, 200000, "plain.kwi");
    LostSubBlocks losing({5});
    EXPECT_EQ(OpenAndRead(plain), kStoreShortRead);
}

// A set whose volume 0 lost its first record is still deleted whole: its
// continuations are found by name. Continuations that belong to a sound set
// of the same stem under another extension, and files that hold no record,
// stay.
TEST(ContainerDamage, DeletingASetWithADamagedFirstVolumeTakesItsContinuations) {
    TempFolder dir;
    const std::string path = MakeSet(dir, 0, 2 * kChunk, 700000);
    ASSERT_TRUE(std::filesystem::exists(dir.File("set.003")));
    std::vector<uint8_t> first = FileBytes(path);
    std::fill(first.begin(), first.begin() + 96, uint8_t(0));
    PutFileBytes(path, first);
    PutFileBytes(dir.File("set.009"), std::vector<uint8_t>(1000, 0x41));
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    for (const char* gone : {"set.kwi", "set.002", "set.003"}) {
        EXPECT_FALSE(std::filesystem::exists(dir.File(gone))) << gone;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("set.009")));

    // A middle volume whose record is damaged still lies between members.
    MakeSet(dir, 0, 2 * kChunk, 700000);
    std::vector<uint8_t> middle = FileBytes(dir.File("set.002"));
    std::fill(middle.begin(), middle.begin() + 96, uint8_t(0));
    PutFileBytes(dir.File("set.002"), middle);
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    for (const char* gone : {"set.kwi", "set.002", "set.003"}) {
        EXPECT_FALSE(std::filesystem::exists(dir.File(gone))) << gone;
    }
    // One named between members whose sound record is another set's stays.
    MakeSet(dir, 0, 2 * kChunk, 700000, "other.kwi");
    MakeSet(dir, 0, 2 * kChunk, 700000);
    std::vector<uint8_t> stranger = FileBytes(dir.File("other.002"));
    StoreLe32(&stranger[16], 1000000000u); // made at another time, far from both
    Reseal(stranger, 0);
    PutFileBytes(dir.File("set.002"), stranger);
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("set.003")));
    EXPECT_EQ(FileBytes(dir.File("set.002")), stranger);
    std::filesystem::remove(dir.File("set.002"));

    const std::string other = MakeSet(dir, 0, 2 * kChunk, 700000, "set.abc");
    ASSERT_TRUE(std::filesystem::exists(dir.File("set.002")));
    PutFileBytes(path, std::vector<uint8_t>(kChunk, 0x55)); // set.kwi: no record at all
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(OpenAndRead(other), 0);
}

} // namespace
} // namespace kwv::test
