// Writes that fail, appends that are refused or stop midway, and volumes
// that are missing: what is on disk never loses a committed stream, and what
// the container reports agrees with what the files hold.
#include "container_test_util.h"
#include "fault_volume.h"

#include "include/kwbytes.h"

#include <cstdio>

namespace kwv::test {
namespace {

constexpr uint32_t kChunk = 0x20000;

using kwbytes::LoadLe32;
using kwbytes::LoadLe64;
using Files = std::map<std::string, std::vector<uint8_t>>;

StoreContainer* Create(const std::string& path, uint32_t options, uint32_t limit,
                       const char16_t* pw = nullptr) {
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), pw, limit, 0, options, nullptr, &err);
    EXPECT_NE(c, nullptr) << err;
    return c;
}

StoreContainer* Append(const std::string& path, uint32_t limit, int* err) {
    return OpenContainerForAppend(path.c_str(), limit, 0, nullptr, err);
}

// A set of two sessions: "one" and then "two", written with a volume limit.
std::string TwoSessions(const TempFolder& dir, uint32_t options, uint32_t limit) {
    const std::string path = dir.File("a.kwi");
    StoreContainer* c = Create(path, options, limit);
    EXPECT_EQ(WriteStream(c, "one", MixedBytes(300000, 1)), 0);
    EXPECT_EQ(c->Close(), 0);
    c->Release();
    int err = -1;
    c = Append(path, limit, &err);
    EXPECT_NE(c, nullptr) << err;
    EXPECT_EQ(WriteStream(c, "two", MixedBytes(500000, 2)), 0);
    EXPECT_EQ(c->Close(), 0);
    c->Release();
    return path;
}

// The name of the set's highest continuation volume ("" for none).
std::string LastContinuation(const TempFolder& dir) {
    std::string last;
    for (const auto& [name, bytes] : FolderBytes(dir.Path())) {
        if (name != "a.kwi") {
            last = std::max(last, name);
        }
    }
    return last;
}

// A chunk whose store failed is stored again as it was sealed: scrambled
// payloads are never scrambled twice, and a writer that failed takes no
// more data, so a retried write cannot store its bytes twice.
TEST(ContainerSafety, FailedChunkStoreIsRetriedNeverSealedAgain) {
    // The caller's thread stores what it encodes as the write goes (worker
    // threads report a failed store later, in container_write_threads_test).
    const Threads one(1);
    for (const char16_t* password :
         {static_cast<const char16_t*>(u"secret"), static_cast<const char16_t*>(nullptr)}) {
        TempFolder dir;
        const std::string path = dir.File("s.kwi");
        const auto a = MixedBytes(300000, 1), b = MixedBytes(200000, 5), c2 = MixedBytes(50000, 6);
        FaultPlan plan;
        StoreContainer* c = nullptr;
        {
            FaultScope faults(&plan);
            c = Create(path, kOptPayloadCrc | kOptNoDirectoryCopy, 0, password);
            ASSERT_EQ(WriteStream(c, "a", a), 0);
            plan.failAt = plan.writes; // the next chunk store fails
            int err = -1;
            StreamWriter* w = c->CreateStream("b", 0, 0, &err);
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->Write(0, b.data(), uint32_t(b.size())), kStoreMediaFailure);
            EXPECT_EQ(w->Write(0, b.data(), uint32_t(b.size())), kStoreMediaFailure);
            w->Release();
            EXPECT_EQ(WriteStream(c, "c", c2), 0);
            EXPECT_EQ(c->Close(), 0);
            c->Release();
        }
        RecordingCallback cb;
        cb.password = u"secret";
        EXPECT_EQ(ReadBack(path, "a", a, &cb), 0);
        EXPECT_EQ(ReadBack(path, "b", {}, &cb), 0);
        EXPECT_EQ(ReadBack(path, "c", c2, &cb), 0);
    }
}

// An append opened and closed with nothing added, and an append the set
// refuses, leave every volume byte for byte as it was.
TEST(ContainerSafety, AppendThatAddsNothingOrIsRefusedWritesNothing) {
    for (uint32_t options : {0u, kOptNoDirectoryCopy}) {
        TempFolder dir;
        const std::string path = TwoSessions(dir, options, 3 * kChunk);
        const auto before = FolderBytes(dir.Path());
        int err = -1;
        StoreContainer* c = Append(path, 3 * kChunk, &err);
        ASSERT_NE(c, nullptr) << err;
        EXPECT_EQ(c->Close(), 0);
        c->Release();
        c = Append(path, 3 * kChunk, &err);
        ASSERT_NE(c, nullptr) << err;
        c->Release();
        EXPECT_TRUE(FolderBytes(dir.Path()) == before);
    }
}

// The last volume of a set written in two sessions is not there: appending
// is refused without touching anything, reading the later stream fails
// instead of showing the set as it was, and once the volume is back all of
// it reads.
TEST(ContainerSafety, MissingLastVolumeCostsNothing) {
    TempFolder dir, aside;
    const std::string path = TwoSessions(dir, 0, 3 * kChunk);
    const std::string last = LastContinuation(dir);
    ASSERT_FALSE(last.empty());
    std::filesystem::rename(dir.File(last), aside.File(last));
    const auto before = FolderBytes(dir.Path());
    int err = -1;
    EXPECT_EQ(Append(path, 3 * kChunk, &err), nullptr);
    EXPECT_EQ(err, kStoreNotFound);
    EXPECT_TRUE(FolderBytes(dir.Path()) == before);
    EXPECT_EQ(ReadBack(path, "one", MixedBytes(300000, 1)), 0);
    EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), kStoreNotFound);
    EXPECT_NE(Verify(path), 0);
    std::filesystem::rename(aside.File(last), dir.File(last));
    EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), 0);
    EXPECT_EQ(Verify(path), 0);
}

// A writer that stopped while writing the first chunk of a new volume left
// a volume file with a record and less than one chunk: it holds nothing.
TEST(ContainerSafety, TrailingVolumeWithoutAWholeChunkHoldsNothing) {
    for (uint32_t options : {0u, kOptNoDirectoryCopy}) {
        TempFolder dir;
        const std::string path = TwoSessions(dir, options, 3 * kChunk);
        const std::string last = LastContinuation(dir);
        ASSERT_FALSE(last.empty());
        const int next = std::stoi(last.substr(last.size() - 3)) + 1;
        char fragment[16];
        std::snprintf(fragment, sizeof fragment, "a.%03d", next);
        std::vector<uint8_t> piece = FileBytes(dir.File(last));
        piece.resize(5000);
        PutFileBytes(dir.File(fragment), piece);
        EXPECT_EQ(ReadBack(path, "one", MixedBytes(300000, 1)), 0);
        EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), 0);
        EXPECT_EQ(Verify(path), 0);
        int err = -1;
        StoreContainer* c = Append(path, 3 * kChunk, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "three", MixedBytes(400000, 3)), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), 0);
        EXPECT_EQ(ReadBack(path, "three", MixedBytes(400000, 3)), 0);
        EXPECT_EQ(Verify(path), 0);
    }
}

// The volumes of a set in order, as an independent reader finds them.
std::vector<std::vector<uint8_t>> Volumes(const TempFolder& dir) {
    std::vector<std::vector<uint8_t>> volumes{FileBytes(dir.File("a.kwi"))};
    for (int n = 2;; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "a.%03d", n);
        if (!std::filesystem::exists(dir.File(name))) {
            return volumes;
        }
        volumes.push_back(FileBytes(dir.File(name)));
    }
}

// The directory copy in chunk 0 (stored chunks, no password), read straight
// from the files: chunk count, volume count and volume table.
struct Counts {
    uint32_t chunks = 0, volumes = 0;
    std::vector<uint32_t> table;
};

Counts DirectoryOnDisk(const std::vector<std::vector<uint8_t>>& volumes) {
    std::vector<const uint8_t*> chunks;
    for (const auto& v : volumes) {
        for (size_t at = 0; at + kChunk <= v.size(); at += kChunk) {
            chunks.push_back(&v[at]);
        }
    }
    EXPECT_TRUE(LoadLe32(chunks[0] + 52) & 2);
    const uint64_t dirAt = LoadLe64(chunks[0] + 56) + int32_t(LoadLe32(chunks[0] + 68));
    std::vector<uint8_t> dir;
    for (uint64_t off = dirAt; dir.size() < 12284;) {
        for (const uint8_t* r : chunks) {
            const uint64_t start = LoadLe64(r + 56), len = LoadLe32(r + 64);
            if (off >= start && off < start + len) {
                dir.push_back(r[96 + (off - start)]);
                ++off;
                break;
            }
        }
    }
    Counts c;
    c.chunks = LoadLe32(&dir[24]);
    c.volumes = LoadLe32(&dir[28]);
    for (uint32_t n = 0; n < c.volumes; ++n) {
        c.table.push_back(LoadLe32(&dir[96 + 8192 + 4 * n]));
    }
    return c;
}

// After an append that cut off what a stopped write left, every counter and
// volume-table entry counts the chunks the volumes really hold, also when the
// resumed write is shorter than the leftovers and overwrites none of them.
TEST(ContainerSafety, CountsAfterCuttingLeftoversMatchTheFiles) {
    struct Case {
        uint32_t limit;
        size_t stoppedBytes, resumedBytes;
    } cases[] = {{0, 200000, 700000}, {6 * kChunk, 200000, 700000}, {0, 450000, 20000}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.stoppedBytes) + " then " + std::to_string(k.resumedBytes));
        const uint32_t limit = k.limit;
        TempFolder dir, stopped;
        const std::string path = dir.File("a.kwi");
        StoreContainer* c = Create(path, 0, limit);
        ASSERT_EQ(WriteStream(c, "one", MixedBytes(500000, 1)), 0);
        c->Release();
        int err = -1;
        c = Append(path, limit, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "two", MixedBytes(k.stoppedBytes, 2)), 0);
        ASSERT_EQ(c->SettleWrites(), 0);
        for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
            std::filesystem::copy_file(e.path(), stopped.File(e.path().filename().string()));
        }
        c->Release();
        const std::string copy = stopped.File("a.kwi");
        c = Append(copy, limit, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "two", MixedBytes(k.resumedBytes, 4)), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        const auto volumes = Volumes(stopped);
        const Counts counts = DirectoryOnDisk(volumes);
        uint32_t total = 0;
        ASSERT_EQ(counts.volumes, volumes.size());
        for (size_t n = 0; n < volumes.size(); ++n) {
            total += uint32_t(volumes[n].size() / kChunk);
            EXPECT_EQ(volumes[n].size() % kChunk, 0u);
            EXPECT_EQ(counts.table[n], total) << "volume " << n;
        }
        EXPECT_EQ(counts.chunks, total);
        EXPECT_EQ(ReadBack(copy, "two", MixedBytes(k.resumedBytes, 4)), 0);
        EXPECT_EQ(Verify(copy), 0);
    }
}

// A rollback file left beside a sound chunk 0 (a set removed and written
// again under the same name, or a rewrite whose last step, removing the
// file, failed) never replaces that chunk: the set reads as written, and
// deleting the set takes the stale file along.
TEST(ContainerSafety, StaleRollbackFileNeverReplacesASoundChunk0) {
    TempFolder dir;
    const std::string path = dir.File("a.kwi");
    const auto first = MixedBytes(100000, 1), second = MixedBytes(100000, 2);
    StoreContainer* c = Create(path, kOptPayloadCrc, 0);
    ASSERT_EQ(WriteStream(c, "d", first), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    std::vector<uint8_t> chunk0 = FileBytes(path);
    chunk0.resize(kChunk);
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    EXPECT_TRUE(FolderBytes(dir.Path()).empty());

    c = Create(path, kOptPayloadCrc, 0);
    ASSERT_EQ(WriteStream(c, "d", second), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    PutFileBytes(path + "~0", chunk0);
    EXPECT_EQ(ReadBack(path, "d", second), 0);
    EXPECT_EQ(Verify(path), 0);
    // An append rewrites chunk 0 over the stale file and still reads whole.
    int err = -1;
    c = Append(path, 0, &err);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_EQ(WriteStream(c, "e", first), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    EXPECT_EQ(ReadBack(path, "d", second), 0);
    EXPECT_EQ(ReadBack(path, "e", first), 0);
    PutFileBytes(path + "~0", chunk0);
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), 0);
    EXPECT_TRUE(FolderBytes(dir.Path()).empty());
}

// After a failed close of an append: every volume is as before the append.
// Only on a full disk, where the rollback file for chunk 0 finds no room,
// chunk 0 may keep its directory copy cleared: the set then reads from its
// end directory, which is the same.
void ExpectAsBefore(const TempFolder& dir, const Files& before, bool diskFull) {
    const Files now = FolderBytes(dir.Path());
    EXPECT_TRUE(now.size() == before.size()) << "files added or left behind";
    for (const auto& [name, bytes] : before) {
        const auto it = now.find(name);
        ASSERT_NE(it, now.end()) << name;
        const size_t from = diskFull && name == "a.kwi" ? kChunk : 0;
        EXPECT_TRUE(it->second.size() == bytes.size() &&
                    std::equal(bytes.begin() + from, bytes.end(), it->second.begin() + from))
            << name;
    }
    EXPECT_EQ(ReadBack(dir.File("a.kwi"), "one", MixedBytes(300000, 1)), 0);
    EXPECT_EQ(ReadBack(dir.File("a.kwi"), "two", MixedBytes(500000, 2)), 0);
    EXPECT_EQ(ReadBack(dir.File("a.kwi"), "three", {}), kStoreNoSuchStream);
    EXPECT_EQ(Verify(dir.File("a.kwi")), 0);
}

// An append whose close fails (the disk fills up, or one write fails) takes
// back what it stored, and the set takes a further append.
TEST(ContainerSafety, FailedCloseOfAnAppendLeavesTheSetAsItWas) {
    const struct {
        uint32_t options, limit;
    } sets[] = {{0, 0}, {0, 3 * kChunk}, {kOptNoDirectoryCopy, 3 * kChunk}};
    const auto three = MixedBytes(400000, 3);
    for (const auto& set : sets) {
        TempFolder dir;
        const std::string path = TwoSessions(dir, set.options, set.limit);
        const auto before = FolderBytes(dir.Path());
        int failedCloses = 0;
        for (int64_t n = 0, closedBoth = 0; closedBoth < 2; ++n) {
            closedBoth = 0;
            for (bool full : {false, true}) {
                SCOPED_TRACE("options " + std::to_string(set.options) + ", limit " +
                             std::to_string(set.limit) +
                             (full ? ", full from write " : ", write ") + std::to_string(n) +
                             (full ? "" : " fails"));
                FaultPlan plan;
                plan.cutFrees = true;
                (full ? plan.fullFrom : plan.failAt) = n;
                int closed = -1;
                {
                    FaultScope faults(&plan);
                    int err = -1;
                    StoreContainer* c = Append(path, set.limit, &err);
                    ASSERT_NE(c, nullptr) << err;
                    WriteStream(c, "three", three); // may fail: the close must say so
                    closed = c->Close();
                    c->Release();
                }
                if (closed == kStoreOk) {
                    ++closedBoth;
                    RestoreFolder(dir.Path(), before);
                    continue;
                }
                ++failedCloses;
                ExpectAsBefore(dir, before, full);
                RestoreFolder(dir.Path(), before);
            }
        }
        EXPECT_GT(failedCloses, 0);
        int err = -1;
        StoreContainer* c = Append(path, set.limit, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "three", three), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        EXPECT_EQ(ReadBack(path, "one", MixedBytes(300000, 1)), 0);
        EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), 0);
        EXPECT_EQ(ReadBack(path, "three", three), 0);
        EXPECT_EQ(Verify(path), 0);
    }
}

// New volume files and the rollback file beside volume 0 are in the folder
// for good before chunk 0 names them; a folder that cannot be made durable
// fails the close instead of passing as success, and costs nothing.
TEST(ContainerSafety, FolderEntriesAreMadeDurable) {
    TempFolder dir, other;
    const std::string path = dir.File("a.kwi");
    std::string setFolder = dir.Path();
    FaultPlan plan;
    std::vector<int64_t> syncedAfter; // writes done at each sync of the set's folder
    bool syncFails = false;
    struct SyncScope {
        ~SyncScope() { volfiles::SetFolderSyncForTests(nullptr); }
    } syncScope; // the stand-in goes with the test, also when an assertion ends it
    volfiles::SetFolderSyncForTests([&](const std::string& folder) {
        EXPECT_EQ(folder, setFolder);
        syncedAfter.push_back(plan.writes);
        return !syncFails;
    });
    FaultScope faults(&plan);
    StoreContainer* c = Create(path, 0, 3 * kChunk);
    ASSERT_EQ(WriteStream(c, "one", MixedBytes(700000, 1)), 0); // three volumes
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    // The close's last writes: the directory's chunk, the rollback file, chunk 0.
    const int64_t w = plan.writes;
    for (int64_t after : {w - 2, w - 1}) {
        EXPECT_NE(std::find(syncedAfter.begin(), syncedAfter.end(), after), syncedAfter.end())
            << "no sync after write " << after;
    }

    syncFails = true;
    const auto before = FolderBytes(dir.Path());
    int err = -1;
    c = Append(path, 3 * kChunk, &err);
    ASSERT_NE(c, nullptr) << err;
    WriteStream(c, "two", MixedBytes(500000, 2));
    EXPECT_EQ(c->Close(), kStoreMediaFailure);
    c->Release();
    EXPECT_TRUE(FolderBytes(dir.Path()) == before);
    setFolder = other.Path();
    c = Create(other.File("b.kwi"), kOptNoDirectoryCopy, 0);
    ASSERT_EQ(WriteStream(c, "one", MixedBytes(1000, 1)), 0);
    EXPECT_EQ(c->Close(), kStoreMediaFailure);
    c->Release();
    EXPECT_TRUE(FolderBytes(other.Path()).empty());
}

// One writer at a time: while a set is open for writing, a second append,
// a delete and a create over it are refused and change nothing.
TEST(ContainerSafety, SecondWriterIsRefused) {
    TempFolder dir;
    const std::string path = TwoSessions(dir, 0, 3 * kChunk);
    int err = -1;
    StoreContainer* first = Append(path, 3 * kChunk, &err);
    ASSERT_NE(first, nullptr) << err;
    const auto before = FolderBytes(dir.Path());
    EXPECT_EQ(Append(path, 3 * kChunk, &err), nullptr);
    EXPECT_EQ(err, kStoreCannotOpen);
    EXPECT_EQ(DeleteContainerSet(path.c_str(), nullptr), kStoreCannotOpen);
    RecordingCallback yes;
    yes.mediaAnswers = 10;
    EXPECT_EQ(CreateContainer(path.c_str(), nullptr, 0, 0, 0, &yes, &err), nullptr);
    EXPECT_TRUE(FolderBytes(dir.Path()) == before);
    ASSERT_EQ(WriteStream(first, "three", MixedBytes(200000, 3)), 0);
    ASSERT_EQ(first->Close(), 0);
    first->Release();
    StoreContainer* second = Append(path, 3 * kChunk, &err);
    ASSERT_NE(second, nullptr) << err;
    second->Release();
    EXPECT_EQ(ReadBack(path, "three", MixedBytes(200000, 3)), 0);
}

// A new set that cannot be finished (the disk fills up) removes the volume
// files it made; a file of the user's beside it stays.
TEST(ContainerSafety, CreateThatRunsOutOfSpaceLeavesNothing) {
    TempFolder dir;
    PutFileBytes(dir.File("notes.txt"), MixedBytes(1000, 9));
    FaultPlan plan;
    plan.fullFrom = 3;
    {
        FaultScope faults(&plan);
        StoreContainer* c = Create(dir.File("f.kwi"), 0, 2 * kChunk);
        ASSERT_NE(c, nullptr);
        // Stored on worker threads, the failure may only be seen at Close.
        const int written = WriteStream(c, "d", MixedBytes(900000, 1));
        EXPECT_TRUE(written == kStoreOk || written == kStoreNoRoom) << written;
        EXPECT_EQ(c->Close(), kStoreNoRoom);
        c->Release();
    }
    const auto left = FolderBytes(dir.Path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.begin()->first, "notes.txt");
}

// A read that fails partway reports the bytes it delivered; a directory
// whose tables are longer than any writer makes is refused.
TEST(ContainerSafety, PartialReadsAndOverlongDirectories) {
    TempFolder dir;
    const std::string path = dir.File("r.kwi");
    StoreContainer* c = Create(path, kOptPayloadCrc | kOptNoDirectoryCopy, 0);
    const auto data = MixedBytes(300000, 4);
    ASSERT_EQ(WriteStream(c, "d", data), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    std::vector<uint8_t> file = FileBytes(path);
    file[kChunk + 5000] ^= 1; // chunk 1 fails its payload check
    PutFileBytes(path, file);
    int err = -1;
    c = OpenContainerForRead(path.c_str(), nullptr, &err);
    ASSERT_NE(c, nullptr) << err;
    StreamReader* r = c->OpenStream("d", &err);
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> back(data.size());
    uint32_t got = 12345;
    EXPECT_EQ(r->Read(0, back.data(), uint32_t(back.size()), &got), kStoreInvalid);
    EXPECT_EQ(got, kChunk - 96);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + got, data.begin()));
    r->Release();
    c->Release();

    for (uint32_t field : {40u, 44u}) {
        const std::string set = dir.File("t.kwi");
        c = Create(set, 0, 0);
        ASSERT_EQ(WriteStream(c, "d", data), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        std::vector<uint8_t> bytes = FileBytes(set);
        const uint32_t at = 96 + LoadLe32(&bytes[68]) + field;
        kwbytes::StoreLe32(&bytes[at], LoadLe32(&bytes[at]) + 1);
        PutFileBytes(set, bytes);
        EXPECT_EQ(OpenContainerForRead(set.c_str(), nullptr, &err), nullptr);
        EXPECT_EQ(err, kStoreInvalid) << field;
        std::filesystem::remove(set);
    }
}

// Member volumes are found without regard to case and opened by the name
// the folder holds.
TEST(ContainerSafety, MembersOpenByTheirNameOnDisk) {
    TempFolder dir;
    const std::string path = TwoSessions(dir, 0, 3 * kChunk);
    for (const auto& [name, bytes] : FolderBytes(dir.Path())) {
        if (name != "a.kwi") {
            std::filesystem::rename(dir.File(name), dir.File("A" + name.substr(1)));
        }
    }
    EXPECT_EQ(ReadBack(path, "two", MixedBytes(500000, 2)), 0);
    EXPECT_EQ(Verify(path), 0);
    int err = -1;
    StoreContainer* c = Append(path, 3 * kChunk, &err);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_EQ(WriteStream(c, "three", MixedBytes(100000, 3)), 0);
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    EXPECT_EQ(ReadBack(path, "three", MixedBytes(100000, 3)), 0);
    EXPECT_EQ(Verify(path), 0);
}

} // namespace
} // namespace kwv::test
