// Reading with chunks opened ahead on worker threads gives the same bytes and
// the same codes as reading on the caller's thread alone, on intact and on
// damaged sets, whatever the order of the reads.
#include "container_test_util.h"
#include "fault_volume.h"

#include "imagestore/container/worker_pool.h"

#include <filesystem>

namespace kwv::test {
namespace {

constexpr size_t kDataBytes = 3'000'000;

const SetCase kCases[] = {
    {"stored", 0, nullptr, 0},
    {"stored_crc", kOptPayloadCrc, nullptr, 0},
    {"lzs", kOptLzs | kOptPayloadCrc, nullptr, 0},
    {"own_method", kOptOwnMethod, nullptr, 0},
    {"scrambled", kOptPayloadCrc, u"secret", 0},
    {"password_own_method", kOptOwnMethod | kOptPayloadCrc, u"secret", 0},
    {"error_correction", kOptErrorCorrection | kOptPayloadCrc | kOptOwnMethod, nullptr, 0},
    {"split", kOptLzs | kOptPayloadCrc, nullptr, 6 * 0x20000},
};

// What one way of reading a set gave: the code of each read, the bytes it
// delivered and the verification's code.
struct Outcome {
    std::vector<int> codes;
    std::vector<uint8_t> bytes;
    int verify = -1;
    bool operator==(const Outcome&) const = default;
};

// Reads stream "d" in pieces at the given offsets (in this order), keeping
// what each read delivered, then verifies the set.
Outcome ReadAs(uint32_t threads, const std::string& path, const std::vector<uint64_t>& offsets,
               const char16_t* password) {
    Threads use(threads);
    RecordingCallback cb;
    cb.password = password ? password : u"";
    Outcome out;
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), &cb, &err);
    if (c == nullptr) {
        out.codes.push_back(err);
        return out;
    }
    StreamReader* r = c->OpenStream("d", &err);
    if (r == nullptr) {
        out.codes.push_back(err);
        c->Release();
        return out;
    }
    std::vector<uint8_t> piece(70000);
    for (uint64_t at : offsets) {
        uint32_t got = 0;
        out.codes.push_back(r->Read(at, piece.data(), uint32_t(piece.size()), &got));
        out.bytes.insert(out.bytes.end(), piece.begin(), piece.begin() + got);
    }
    r->Release();
    out.verify = c->VerifyAll();
    c->Release();
    return out;
}

std::vector<uint64_t> Sequential() {
    std::vector<uint64_t> at;
    for (uint64_t o = 0; o < kDataBytes; o += 70000) {
        at.push_back(o);
    }
    return at;
}

// Reading on, jumping back, jumping ahead, reading on again.
std::vector<uint64_t> Seeking() {
    std::vector<uint64_t> at = {0, 70000, 140000, 2'500'000, 2'570'000, 100, 1'000'000};
    for (uint64_t o = 1'070'000; o < 2'000'000; o += 70000) {
        at.push_back(o);
    }
    at.push_back(5);
    at.push_back(2'999'000);
    return at;
}

std::vector<uint8_t> Expected(const std::vector<uint64_t>& offsets) {
    const std::vector<uint8_t> data = MixedBytes(kDataBytes, 9);
    std::vector<uint8_t> out;
    for (uint64_t at : offsets) {
        const size_t n = size_t(std::min<uint64_t>(70000, kDataBytes - at));
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
    }
    return out;
}

class ContainerThreads : public ::testing::TestWithParam<SetCase> {
protected:
    std::string MakeSet() {
        const SetCase& tc = GetParam();
        const std::string path = dir_.File("set.kwi");
        int err = -1;
        StoreContainer* c = CreateContainer(path.c_str(), tc.password, tc.volumeLimit, 0,
                                            tc.options, nullptr, &err);
        EXPECT_NE(c, nullptr) << err;
        EXPECT_EQ(WriteStream(c, "d", MixedBytes(kDataBytes, 9)), 0);
        EXPECT_EQ(c->Close(), 0);
        c->Release();
        return path;
    }
    uint32_t StoredChunk() const {
        return (GetParam().options & kOptErrorCorrection) ? 0x46000 : 0x20000;
    }
    TempFolder dir_;
};

TEST_P(ContainerThreads, IntactSetReadsTheSameInAnyOrder) {
    const std::string path = MakeSet();
    for (const auto& offsets : {Sequential(), Seeking()}) {
        const Outcome one = ReadAs(1, path, offsets, GetParam().password);
        EXPECT_EQ(one.verify, 0);
        EXPECT_TRUE(one.bytes == Expected(offsets));
        for (uint32_t threads : {2u, 8u}) {
            EXPECT_TRUE(ReadAs(threads, path, offsets, GetParam().password) == one) << threads;
        }
    }
}

// A damaged record, a damaged payload, a chunk cut off: each read stops or
// goes on exactly as it does on one thread.
TEST_P(ContainerThreads, DamagedSetGivesTheSameBytesAndCodes) {
    const std::string path = MakeSet();
    const std::vector<uint8_t> good = FileBytes(path);
    const size_t chunk = StoredChunk();
    for (size_t at : {3 * chunk + 60, 4 * chunk + 5000, good.size() - chunk / 2}) {
        std::vector<uint8_t> bad = good;
        if (at >= good.size() - chunk) {
            bad.resize(at);
        } else {
            bad[at] ^= 0x21;
        }
        PutFileBytes(path, bad);
        for (const auto& offsets : {Sequential(), Seeking()}) {
            const Outcome one = ReadAs(1, path, offsets, GetParam().password);
            EXPECT_TRUE(ReadAs(8, path, offsets, GetParam().password) == one) << at;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, ContainerThreads, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Sub-blocks lost on the medium are rebuilt on the workers as on the caller's
// thread, and four lost ones fail the same read with 1811.
TEST(ContainerThreadsRepair, LostSubBlocksRebuildOrFailAlike) {
    TempFolder dir;
    const std::string path = dir.File("ecc.kwi");
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), nullptr, 0, 0,
                                        kOptErrorCorrection | kOptPayloadCrc, nullptr, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(kDataBytes, 9)), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    for (const auto& [lost, want] : std::vector<std::pair<std::vector<uint32_t>, int>>{
             {{3, 17, 33}, 0}, {{0, 9, 20, 34}, kStoreShortRead}}) {
        LostSubBlocks losing(lost, 5ull * 0x46000); // of chunk 5
        const Outcome one = ReadAs(1, path, Sequential(), nullptr);
        EXPECT_EQ(one.verify, want);
        if (want == 0) {
            EXPECT_TRUE(one.bytes == Expected(Sequential()));
        }
        EXPECT_TRUE(ReadAs(8, path, Sequential(), nullptr) == one);
    }
}

TEST(StoreThreadSetting, SettingThenEnvironmentThenCores) {
    SetStoreThreads(3);
    EXPECT_EQ(StoreThreads(), 3u);
    SetStoreThreads(0);
    ::setenv("KW_THREADS", "5", 1);
    EXPECT_EQ(StoreThreads(), 5u);
    for (const char* junk : {"0", "-2", "4x", ""}) {
        ::setenv("KW_THREADS", junk, 1);
        EXPECT_GE(StoreThreads(), 1u) << junk;
        EXPECT_EQ(StoreThreads(), std::clamp(std::thread::hardware_concurrency(), 1u, 64u));
    }
    ::unsetenv("KW_THREADS");
}

} // namespace
} // namespace kwv::test
