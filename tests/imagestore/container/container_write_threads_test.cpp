// Writing with chunks compressed and sealed on worker threads: the set is the
// same whatever the number of threads, it reads and verifies the same, and a
// failed store, a full disk or a cancel ends a write as on one thread.
#include "container_test_util.h"
#include "fault_volume.h"

#include "imagestore/codec/error_correction.h"
#include "imagestore/container/worker_pool.h"
#include "imagestore/container/write_behind.h"
#include "imagestore/partstore/part_store_api.h"

#include <thread>

namespace kwv::test {
namespace {

// A thread count, and segments of three chunks' room so that a few megabytes
// make many of them, and optionally a limit on the sealed chunks waiting to be
// stored; the defaults come back at the end.
struct Setting {
    explicit Setting(uint32_t threads, uint32_t waiting = 0) {
        SetStoreThreads(threads);
        SetSegmentChunksForTests(3);
        SetChunksWaitingForTests(waiting);
    }
    ~Setting() {
        SetStoreThreads(0);
        SetSegmentChunksForTests(0);
        SetChunksWaitingForTests(0);
    }
};

const SetCase kCases[] = {
    {"stored", kOptPayloadCrc, nullptr, 0},
    {"low", kOptLzs | kOptPayloadCrc, nullptr, 0},
    {"high", kOptOwnMethod, nullptr, 0},
    {"password_scrambled", kOptPayloadCrc, u"secret", 0},
    {"password_high", kOptOwnMethod | kOptPayloadCrc, u"secret", 0},
    {"error_correction", kOptErrorCorrection | kOptPayloadCrc | kOptOwnMethod, nullptr, 0},
    {"split_verified", kOptLzs | kOptPayloadCrc | kOptVerifyVolumes, nullptr, 7 * 0x20000},
    {"old_signature", kOptOldSignature | kOptOwnMethod | kOptNoDirectoryCopy, nullptr, 0},
};

// Noise, text and zeros in stretches of uneven length.
std::vector<uint8_t> Content(size_t n, uint32_t seed) {
    std::vector<uint8_t> out = MixedBytes(n, seed);
    for (size_t at = 150000; at + 90000 < n; at += 700000) {
        std::fill(out.begin() + long(at), out.begin() + long(at + 90000), 0);
    }
    return out;
}

// Every chunk of every volume with the creation time and what follows from
// it (the record CRC, the check bytes) blanked, by file name.
std::map<std::string, std::vector<uint8_t>> Comparable(const std::string& folder) {
    auto files = FolderBytes(folder);
    for (auto& [name, bytes] : files) {
        const uint32_t stored = bytes.size() >= 96 ? kwbytes::LoadLe32(&bytes[28]) : 0;
        const uint32_t data = bytes.size() >= 96 ? kwbytes::LoadLe32(&bytes[32]) : 0;
        for (size_t at = 0; stored >= data && data > 96 && at + stored <= bytes.size();
             at += stored) {
            std::fill_n(&bytes[at + 16], 4, 0);
            std::fill_n(&bytes[at + 88], 4, 0);
            std::fill(&bytes[at + data], &bytes[at + stored], 0);
        }
    }
    return files;
}

// Writes three streams, asking for the current chunk between two writes of
// the big one (a part store's hint does so), and closes.
int WriteSet(const std::string& path, const SetCase& w, const std::vector<uint8_t>& big,
             RecordingCallback* cb) {
    int err = -1;
    StoreContainer* c =
        CreateContainer(path.c_str(), w.password, w.volumeLimit, 0, w.options, cb, &err);
    if (c == nullptr) {
        return err;
    }
    const size_t half = big.size() / 2 + 12345;
    const std::vector<uint8_t> first(big.begin(), big.begin() + long(half));
    std::vector<int> codes = {WriteStream(c, "small", Content(5000, 3)),
                              WriteStream(c, "big", first, 0, 100000)};
    const int32_t hint = c->GetCurrentChunk();
    int e = -1;
    StreamWriter* tail = c->CreateStream("tail", 0, 0, &e);
    codes.push_back(tail ? tail->Write(0, big.data() + half, uint32_t(big.size() - half)) : e);
    if (tail != nullptr) {
        tail->Release();
    }
    codes.push_back(c->Close());
    c->Release();
    for (int code : codes) {
        if (code != 0) {
            return code;
        }
    }
    return hint >= 0 ? 0 : -4;
}

TEST(ContainerWriteThreads, SameSetForOneTwoAndEightThreads) {
    const std::vector<uint8_t> big = Content(2'600'000, 7);
    for (const SetCase& w : kCases) {
        SCOPED_TRACE(w.name);
        std::map<std::string, std::vector<uint8_t>> one;
        std::vector<std::string> oneCalls;
        // The last run lets only two sealed chunks wait: the workers behind
        // the oldest segment then wait for it, and it never waits for them.
        const std::pair<uint32_t, uint32_t> runs[] = {{1, 0}, {2, 0}, {8, 0}, {8, 2}};
        for (const auto& [threads, waiting] : runs) {
            SCOPED_TRACE("threads " + std::to_string(threads) + " waiting " +
                         std::to_string(waiting));
            TempFolder dir;
            const std::string path = dir.File("w.kwi");
            RecordingCallback cb;
            {
                Setting use(threads, waiting);
                ASSERT_EQ(WriteSet(path, w, big, &cb), 0);
            }
            const auto now = Comparable(dir.Path());
            if (threads == 1) {
                one = now;
                oneCalls = cb.calls;
                EXPECT_EQ(w.volumeLimit != 0, now.size() > 1) << "volumes: " << now.size();
                continue;
            }
            EXPECT_TRUE(now == one) << "the set differs from the one written on one thread";
            EXPECT_EQ(cb.calls, oneCalls);
            for (uint32_t readers : {1u, 8u}) {
                Setting use(readers);
                RecordingCallback rcb;
                rcb.password = u"secret";
                const std::vector<uint8_t> first(big.begin(),
                                                 big.begin() + long(big.size() / 2) + 12345);
                const std::vector<uint8_t> rest(big.begin() + long(first.size()), big.end());
                EXPECT_EQ(ReadBack(path, "big", first, &rcb), 0);
                EXPECT_EQ(ReadBack(path, "tail", rest, &rcb), 0);
                EXPECT_EQ(ReadBack(path, "small", Content(5000, 3), &rcb), 0);
                if (w.password == nullptr) {
                    EXPECT_EQ(Verify(path), 0);
                }
            }
        }
    }
}

// Chunk `k` of a one-volume set, as bytes of the file.
uint8_t* ChunkAt(std::vector<uint8_t>& file, uint32_t k) {
    return &file[size_t(k) * kwbytes::LoadLe32(&file[28])];
}

// What reading stream `name` gave: the code and the bytes delivered.
std::pair<int, std::vector<uint8_t>> ReadAll(const std::string& path, const char* name) {
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), nullptr, &err);
    if (c == nullptr) {
        return {err, {}};
    }
    std::vector<uint8_t> back;
    err = ReadStream(c, name, &back);
    const int verify = c->VerifyAll();
    c->Release();
    return {err * 10000 + verify, back};
}

// Chunks sealed on workers carry sound check bytes and CRCs: three lost
// sub-blocks (the record's among them) are rebuilt, and a damaged payload
// reads and verifies with the same codes on one thread and on eight.
TEST(ContainerWriteThreads, ChunksSealedOnWorkersRepairAndFailAlike) {
    const std::vector<uint8_t> big = Content(2'000'000, 11);
    for (const SetCase& w : {kCases[1], kCases[5]}) {
        SCOPED_TRACE(w.name);
        TempFolder dir;
        const std::string path = dir.File("d.kwi");
        {
            Setting use(8);
            int err = -1;
            StoreContainer* c =
                CreateContainer(path.c_str(), nullptr, 0, 0, w.options, nullptr, &err);
            ASSERT_NE(c, nullptr) << err;
            ASSERT_EQ(WriteStream(c, "big", big), 0);
            ASSERT_EQ(c->Close(), 0);
            c->Release();
        }
        std::vector<uint8_t> file = FileBytes(path);
        const bool ecc = (w.options & kOptErrorCorrection) != 0;
        uint8_t* chunk = ChunkAt(file, 5); // in a segment of the workers
        if (ecc) {
            for (uint32_t lost : {0u, 9u, 34u}) {
                std::fill_n(chunk + lost * kEccSubBlockSize, kEccSubBlockSize, 0xA5);
            }
        } else {
            chunk[5000] ^= 0x40;
        }
        PutFileBytes(path, file);
        std::pair<int, std::vector<uint8_t>> seen[2];
        for (int i = 0; i < 2; ++i) {
            Setting use(i == 0 ? 1 : 8);
            seen[i] = ReadAll(path, "big");
        }
        EXPECT_EQ(seen[0], seen[1]);
        if (ecc) {
            EXPECT_EQ(seen[1].first, 0);
            EXPECT_TRUE(seen[1].second == big);
        } else {
            EXPECT_NE(seen[1].first, 0);
        }
    }
}

// How a write that met a fault ended: the first code any call gave, the
// close's code, and the folder afterwards.
struct Ending {
    int first = 0;
    int close = 0;
    std::map<std::string, std::vector<uint8_t>> folder;
};

// Appends stream "more" in pieces to the set in `dir`, stopping at the first
// failure as a caller does, then closes.
Ending AppendWithFault(const TempFolder& dir, const std::string& path, FaultPlan plan,
                       const std::vector<uint8_t>& data) {
    Ending out;
    {
        FaultScope faults(&plan);
        int err = -1;
        StoreContainer* c = OpenContainerForAppend(path.c_str(), 0, 0, nullptr, &err);
        if (c == nullptr) {
            out.first = err;
            return out;
        }
        out.first = WriteStream(c, "more", data);
        out.close = c->Close();
        c->Release();
    }
    out.folder = FolderBytes(dir.Path());
    if (out.first == 0) {
        out.first = out.close;
    }
    return out;
}

// A store that fails outright or a disk that fills up while workers are
// busy gives the code it gives on one thread (at a later call, or the close); a close that fails
// leaves the set exactly as before the append, and one that succeeds keeps every byte a write
// accepted.
TEST(ContainerWriteThreads, FaultsEndAWriteAsOnOneThread) {
    const std::vector<uint8_t> data = Content(1'500'000, 5);
    TempFolder dir;
    const std::string path = dir.File("f.kwi");
    {
        int err = -1;
        StoreContainer* c =
            CreateContainer(path.c_str(), nullptr, 0, 0, kOptOwnMethod, nullptr, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "one", Content(300000, 1)), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
    }
    const auto before = FolderBytes(dir.Path());
    for (int64_t n : {1, 3, 5}) {
        for (bool full : {false, true}) {
            SCOPED_TRACE((full ? "full from store " : "store fails: ") + std::to_string(n));
            FaultPlan plan;
            (full ? plan.fullFrom : plan.failAt) = n;
            Ending seen[2];
            for (int i = 0; i < 2; ++i) {
                Setting use(i == 0 ? 1 : 8);
                seen[i] = AppendWithFault(dir, path, plan, data);
                EXPECT_NE(seen[i].first, kStoreOk);
                EXPECT_EQ(ReadBack(path, "one", Content(300000, 1)), 0);
                EXPECT_EQ(Verify(path), 0);
                if (seen[i].close != kStoreOk) {
                    EXPECT_EQ(ReadBack(path, "more", {}), kStoreNoSuchStream);
                    EXPECT_EQ(seen[i].folder.size(), before.size());
                    for (const auto& [name, bytes] : before) {
                        EXPECT_EQ(seen[i].folder[name].size(), bytes.size()) << name;
                    }
                }
                RestoreFolder(dir.Path(), before);
            }
            EXPECT_EQ(seen[0].first, seen[1].first);
        }
    }
}

// A store that fails while a segment is settled part way is reported by the
// settle and once more by the next write, and stored again by the next call;
// the chunk the workers left open then takes the bytes that follow, so
// nothing is lost or stored twice. (On one thread the store fails in the
// write that fills a chunk: FailedChunkStoreIsRetriedNeverSealedAgain.)
TEST(ContainerWriteThreads, SettledSegmentStoredAgainAfterAFailure) {
    // Segments of three chunks' room after a first one of two (which holds
    // chunk 0's reserved area of 42,284 bytes too): "a" ends 2.8 rooms into
    // its third segment, so the settle hands the workers more than two chunks'
    // worth, stored as it is, however far they got before.
    const std::vector<uint8_t> a = Content(7 * 131000 + 65500, 2), c2 = Content(300'000, 4);
    Setting use(8);
    TempFolder dir;
    const std::string path = dir.File("s.kwi");
    FaultPlan plan;
    {
        FaultScope faults(&plan);
        int err = -1;
        StoreContainer* c =
            CreateContainer(path.c_str(), nullptr, 0, 0, kOptPayloadCrc, nullptr, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "a", a), 0);
        plan.failAt = plan.writes; // the next chunk store fails once
        EXPECT_EQ(c->SettleWrites(), kStoreMediaFailure);
        EXPECT_GE(c->GetCurrentChunk(), 0);
        EXPECT_EQ(WriteStream(c, "b", c2), kStoreMediaFailure);
        EXPECT_EQ(WriteStream(c, "c", c2), 0);
        EXPECT_EQ(c->Close(), 0);
        c->Release();
    }
    EXPECT_EQ(ReadBack(path, "a", a), 0);
    EXPECT_EQ(ReadBack(path, "b", {}), 0);
    EXPECT_EQ(ReadBack(path, "c", c2), 0);
    EXPECT_EQ(Verify(path), 0);
}

// Records from which thread progress is reported.
class ThreadCheckingCallback : public RecordingCallback {
public:
    std::thread::id caller = std::this_thread::get_id();
    bool elsewhere = false;
    uint32_t ProgressStep(uint32_t total, uint32_t done) override {
        elsewhere |= std::this_thread::get_id() != caller;
        return RecordingCallback::ProgressStep(total, done);
    }
};

// A cancel from the progress of a volume check, while workers compress the
// part's data, ends the image as on one thread: the code reaches the caller
// and the new image is gone.
TEST(ContainerWriteThreads, CancelDuringAParallelWriteEndsAsOnOneThread) {
    const std::vector<uint8_t> data = Content(2'500'000, 9);
    std::vector<int> outcome[2];
    for (int i = 0; i < 2; ++i) {
        Setting use(i == 0 ? 1 : 8);
        TempFolder dir;
        const std::string path = dir.File("c.kwi");
        ThreadCheckingCallback cb;
        cb.cancelProgressAfter = 3;
        int32_t err = -1;
        PART_STORE* store = kw::partstore::CreateImage(
            path.c_str(), nullptr, 6 * 0x20000,
            KW_CREATE_HIGH_COMPRESSION | KW_CREATE_VERIFY_VOLUMES, &cb, err);
        ASSERT_NE(store, nullptr) << err;
        uint32_t index = 0;
        int first = store->AddPart(&index);
        first = first ? first : store->CreateUdata();
        for (size_t at = 0; first == 0 && at < data.size(); at += 65536) {
            first =
                store->Write(data.data() + at, uint32_t(std::min<size_t>(65536, data.size() - at)));
        }
        const int closed = store->ClosePart();
        first = first ? first : closed;
        const int committed = store->Commit();
        first = first ? first : committed;
        store->Release();
        outcome[i] = {first, committed, int(FolderBytes(dir.Path()).size())};
        EXPECT_FALSE(cb.elsewhere);
    }
    EXPECT_EQ(outcome[0][0], kStoreCancelled);
    EXPECT_EQ(outcome[0][2], 0) << "the new image is gone";
    EXPECT_EQ(outcome[1], outcome[0]);
}

} // namespace
} // namespace kwv::test
