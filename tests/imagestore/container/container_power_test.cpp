// Power lost while an append runs: the appended chunks were not synced, so
// the last of them may come back with a stale page or sector, cut short, or
// not at all. Whatever the tail holds, the set opens as it was committed,
// verifies, and takes the next append.
#include "container_test_util.h"

#include "imagestore/store_log.h"

#include <filesystem>

namespace kwv::test {
namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kSector = 512;

struct PowerCase {
    const char* name;
    uint32_t options;
    const char16_t* password;
    uint32_t volumeChunks; // volume limit in chunks, 0: one volume
    uint32_t threads;
    bool removeTwo; // the append takes stream "two" out before adding
};

uint32_t StoredSize(uint32_t options) {
    return (options & kOptErrorCorrection) ? kEccStoredSize : kPlainChunkSize;
}

// The committed set: "one" and "two" in one session.
struct Committed {
    std::vector<uint8_t> one = MixedBytes(150000, 1), two = MixedBytes(170000, 2);
};

class PowerLoss {
public:
    PowerLoss(const TempFolder& dir, const PowerCase& pc)
        : pc_(pc), path_(dir.File("r.kwi")), folder_(dir.Path()) {
        cb_.password = pc.password == nullptr ? u"" : pc.password;
        limit_ = pc.volumeChunks * StoredSize(pc.options);
    }

    // Writes the committed set, then an append of "three" that stops before
    // its commit: the files as the writer left them.
    std::map<std::string, std::vector<uint8_t>> Interrupted() {
        int err = -1;
        StoreContainer* c =
            CreateContainer(path_.c_str(), pc_.password, limit_, 0, pc_.options, &cb_, &err);
        EXPECT_NE(c, nullptr) << err;
        EXPECT_EQ(WriteStream(c, "one", data_.one), 0);
        EXPECT_EQ(WriteStream(c, "two", data_.two), 0);
        EXPECT_EQ(c->Close(), 0);
        c->Release();
        c = OpenContainerForAppend(path_.c_str(), limit_, 0, &cb_, &err);
        EXPECT_NE(c, nullptr) << err;
        if (pc_.removeTwo) {
            EXPECT_EQ(c->RemoveStream("two"), 0);
        }
        EXPECT_EQ(WriteStream(c, "three", MixedBytes(900000, 3)), 0);
        EXPECT_EQ(c->SettleWrites(), 0);
        auto files = FolderBytes(folder_);
        c->Discard();
        c->Release();
        return files;
    }

    // The set opens as committed, verifies, and takes an append.
    void ExpectCommittedThenAppend() {
        EXPECT_EQ(ReadBack(path_, "one", data_.one, &cb_), 0);
        EXPECT_EQ(ReadBack(path_, "two", data_.two, &cb_), 0);
        EXPECT_EQ(ReadBack(path_, "three", {}, &cb_), kStoreNoSuchStream);
        EXPECT_EQ(VerifyWith(), 0);
        int err = -1;
        StoreContainer* c = OpenContainerForAppend(path_.c_str(), limit_, 0, &cb_, &err);
        ASSERT_NE(c, nullptr) << err;
        const auto four = MixedBytes(300000, 4);
        EXPECT_EQ(WriteStream(c, "four", four), 0);
        EXPECT_EQ(c->Close(), 0);
        c->Release();
        EXPECT_EQ(ReadBack(path_, "one", data_.one, &cb_), 0);
        EXPECT_EQ(ReadBack(path_, "two", data_.two, &cb_), 0);
        EXPECT_EQ(ReadBack(path_, "four", four, &cb_), 0);
        EXPECT_EQ(VerifyWith(), 0);
    }

private:
    int VerifyWith() {
        int err = -1;
        StoreContainer* c = OpenContainerForRead(path_.c_str(), &cb_, &err);
        if (c == nullptr) {
            return err;
        }
        err = c->VerifyAll();
        c->Release();
        return err;
    }

    PowerCase pc_;
    std::string path_, folder_;
    uint32_t limit_ = 0;
    RecordingCallback cb_;
    Committed data_;
};

// The volume files of a set, volume 0 first.
std::vector<std::string> VolumeNames(const std::map<std::string, std::vector<uint8_t>>& files) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) {
        if (name != "r.kwi") {
            names.push_back(name);
        }
    }
    names.insert(names.begin(), "r.kwi");
    return names;
}

// What a power loss left in the unsynced tail.
struct TailDamage {
    const char* name;
    // Changes the files as the stopped writer left them; `stored` is the
    // stored chunk size.
    void (*apply)(std::map<std::string, std::vector<uint8_t>>& files, uint32_t stored);
};

std::vector<uint8_t>& LastVolume(std::map<std::string, std::vector<uint8_t>>& files) {
    return files[VolumeNames(files).back()];
}

// The start of the last whole chunk of a volume.
size_t LastChunkAt(const std::vector<uint8_t>& v, uint32_t stored) {
    return (v.size() / stored - 1) * size_t(stored);
}

const TailDamage kDamage[] = {
    {"a page of the last chunk zeroed",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         std::fill_n(v.begin() + std::ptrdiff_t(LastChunkAt(v, stored) + 16 * kPage), kPage, 0);
     }},
    {"a sector of the last chunk zeroed",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         std::fill_n(v.begin() + std::ptrdiff_t(LastChunkAt(v, stored) + 9 * kSector), kSector, 0);
     }},
    {"the record page of the last chunk zeroed",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         std::fill_n(v.begin() + std::ptrdiff_t(LastChunkAt(v, stored)), kPage, 0);
     }},
    {"a page of the last chunk holding other bytes",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         std::fill_n(v.begin() + std::ptrdiff_t(LastChunkAt(v, stored) + 5 * kPage), kPage, 0x5A);
     }},
    {"the file cut inside its last chunk",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         v.resize(LastChunkAt(v, stored) + stored / 3);
     }},
    {"the last chunk and the one before it torn",
     [](auto& files, uint32_t stored) {
         auto& v = LastVolume(files);
         const size_t last = LastChunkAt(v, stored);
         std::fill_n(v.begin() + std::ptrdiff_t(last + 3 * kPage), kPage, 0);
         if (last >= stored) {
             std::fill_n(v.begin() + std::ptrdiff_t(last - stored + 7 * kPage), kPage, 0);
         }
     }},
    {"the first chunk of a new last volume torn",
     [](auto& files, uint32_t) {
         if (VolumeNames(files).size() > 1) { // volume 0 is committed
             auto& v = LastVolume(files);
             std::fill_n(v.begin(), std::min<size_t>(kPage, v.size()), 0);
         }
     }},
};

const PowerCase kCases[] = {
    {"plain, one thread", kOptPayloadCrc | kOptOldSignature, nullptr, 0, 1, false},
    {"plain, eight threads", kOptPayloadCrc | kOptOldSignature, nullptr, 0, 8, false},
    {"high compression", kOptPayloadCrc | kOptOwnMethod, nullptr, 0, 8, false},
    {"password", kOptPayloadCrc, u"pw", 0, 1, false},
    {"error correction", kOptPayloadCrc | kOptErrorCorrection, nullptr, 0, 1, false},
    {"stream taken out", kOptPayloadCrc, nullptr, 0, 1, true},
    {"across volumes", kOptPayloadCrc | kOptLzs, nullptr, 3, 8, false},
};

TEST(ContainerPowerLoss, DamageInTheUncommittedTailCostsNothingCommitted) {
    for (const PowerCase& pc : kCases) {
        Threads threads(pc.threads);
        TempFolder dir;
        PowerLoss run(dir, pc);
        const auto stopped = run.Interrupted();
        for (const TailDamage& d : kDamage) {
            SCOPED_TRACE(std::string(pc.name) + ": " + d.name);
            auto files = stopped;
            d.apply(files, StoredSize(pc.options));
            RestoreFolder(dir.Path(), files);
            run.ExpectCommittedThenAppend();
        }
    }
}

// An append that stopped after it spanned into new volumes left whole chunks
// there: the next append cuts them and says so in the log, unless a volume
// the committed directory references is missing, which refuses it (1810)
// without touching a file.
TEST(ContainerPowerLoss, LeftoversInNewVolumesAreCutOnlyWhenTheSetIsWhole) {
    const PowerCase pc = {"a chunk per volume", kOptPayloadCrc, nullptr, 1, 1, false};
    TempFolder dir;
    PowerLoss run(dir, pc);
    const auto stopped = run.Interrupted();
    const std::vector<std::string> names = VolumeNames(stopped);
    ASSERT_GE(names.size(), 6u);

    auto missing = stopped;
    missing.erase("r.002"); // holds a committed chunk
    RestoreFolder(dir.Path(), missing);
    int err = -1;
    EXPECT_EQ(OpenContainerForAppend(dir.File("r.kwi").c_str(), 0, 0, nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreCannotOpen);
    EXPECT_TRUE(FolderBytes(dir.Path()) == missing);

    RestoreFolder(dir.Path(), stopped);
    std::string log;
    SetStoreLogSinkForTests([&](const std::string& line) { log += line + "\n"; });
    run.ExpectCommittedThenAppend();
    SetStoreLogSinkForTests(nullptr);
    EXPECT_NE(log.find(names.back() + ", left by a write that stopped, is cut"), std::string::npos)
        << log;
}

} // namespace
} // namespace kwv::test
