// The container object's behaviour: appending, stream rules, limits,
// verification, passwords and deleting a set.
#include "container_test_util.h"

namespace kwv::test {
namespace {

constexpr uint32_t kChunk = 0x20000;

StoreContainer* Create(const std::string& path, uint32_t options = 0, uint32_t limit = 0,
                       MEDIA_CHANGE_CALLBACK* cb = nullptr, const char16_t* pw = nullptr) {
    int err = -1;
    StoreContainer* c = CreateContainer(path.c_str(), pw, limit, 0, options, cb, &err);
    EXPECT_NE(c, nullptr) << err;
    return c;
}

StoreContainer* OpenRead(const std::string& path, MEDIA_CHANGE_CALLBACK* cb = nullptr) {
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), cb, &err);
    EXPECT_NE(c, nullptr) << err;
    return c;
}

TEST(ContainerBehaviour, AppendingKeepsOldStreamsAndAddsNewOnes) {
    for (uint32_t options : {0u, kOptNoDirectoryCopy, kOptLzs | kOptPayloadCrc}) {
        TempFolder dir;
        const std::string path = dir.File("a.kwi");
        const auto first = MixedBytes(300000, 1), second = MixedBytes(500000, 2);
        StoreContainer* c = Create(path, options, 2 * kChunk);
        ASSERT_EQ(WriteStream(c, "one", first), 0);
        c->Release(); // the last release closes
        for (int round = 0; round < 2; ++round) {
            int err = -1;
            c = OpenContainerForAppend(path.c_str(), 2 * kChunk, 0, nullptr, &err);
            ASSERT_NE(c, nullptr) << err;
            const std::string name = round == 0 ? "two" : "three";
            ASSERT_EQ(WriteStream(c, name, second), 0);
            EXPECT_EQ(WriteStream(c, "one", first), kStoreStreamExists);
            ASSERT_EQ(c->Close(), 0);
            c->Release();
        }
        c = OpenRead(path);
        std::vector<uint8_t> back;
        ASSERT_EQ(ReadStream(c, "one", &back), 0);
        EXPECT_TRUE(back == first);
        ASSERT_EQ(ReadStream(c, "two", &back), 0);
        EXPECT_TRUE(back == second);
        ASSERT_EQ(ReadStream(c, "three", &back), 0);
        EXPECT_TRUE(back == second);
        EXPECT_EQ(c->VerifyAll(), 0);
        c->Release();
    }
}

// Copies the files of a set as they are now (a write that stops here).
void Snapshot(const TempFolder& from, const TempFolder& to) {
    for (const auto& e : std::filesystem::directory_iterator(from.Path())) {
        std::filesystem::copy_file(e.path(), to.File(e.path().filename().string()),
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// A write that stopped before its directory: the set reads as it was. An
// append cuts what was left, in later volumes too when chunk 0 shows that an
// append was under way; a set without a directory copy cannot show it, and
// its leftovers in later volumes look like a missing last volume: that
// append is refused and nothing is touched.
TEST(ContainerBehaviour, AppendThatStopsMidwayLeavesTheSetAsItWas) {
    struct Case {
        uint32_t options, limit;
        bool appendable;
    } cases[] = {{0, 0, true},
                 {kOptNoDirectoryCopy, 0, true},
                 {0, 2 * kChunk, true},
                 {kOptNoDirectoryCopy, 2 * kChunk, false}};
    for (const Case& k : cases) {
        TempFolder dir, stopped;
        const std::string path = dir.File("a.kwi");
        const auto first = MixedBytes(300000, 1);
        StoreContainer* c = Create(path, k.options, k.limit);
        ASSERT_EQ(WriteStream(c, "one", first), 0);
        c->Release();
        int err = -1;
        c = OpenContainerForAppend(path.c_str(), k.limit, 0, nullptr, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "two", MixedBytes(900000, 2)), 0);
        Snapshot(dir, stopped); // chunks written, no directory yet
        c->Release();
        const std::string copy = stopped.File("a.kwi");
        for (int round = 0; round < 2; ++round) {
            c = OpenContainerForRead(copy.c_str(), nullptr, &err);
            ASSERT_NE(c, nullptr) << err;
            std::vector<uint8_t> back;
            EXPECT_EQ(ReadStream(c, "one", &back), 0);
            EXPECT_TRUE(back == first);
            const bool replaced = round == 1 && k.appendable;
            EXPECT_EQ(ReadStream(c, "two", &back), replaced ? 0 : kStoreNoSuchStream);
            EXPECT_EQ(c->VerifyAll(), 0);
            c->Release();
            if (round == 1) {
                break;
            }
            const auto before = FolderBytes(stopped.Path());
            c = OpenContainerForAppend(copy.c_str(), k.limit, 0, nullptr, &err);
            if (!k.appendable) {
                EXPECT_EQ(c, nullptr);
                EXPECT_EQ(err, kStoreCannotOpen);
                EXPECT_TRUE(FolderBytes(stopped.Path()) == before);
                continue;
            }
            ASSERT_NE(c, nullptr) << err;
            ASSERT_EQ(WriteStream(c, "two", MixedBytes(200000, 2)), 0);
            ASSERT_EQ(c->Close(), 0);
            c->Release();
        }
    }
}

TEST(ContainerBehaviour, ClosedSetRefusesAppending) {
    TempFolder dir;
    const std::string path = dir.File("c.kwi");
    Create(path, kOptClosed)->Release();
    int err = -1;
    EXPECT_EQ(OpenContainerForAppend(path.c_str(), 0, 0, nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreCannotOpen);
    StoreContainer* c = OpenRead(path); // still readable, and its copy untouched
    uint32_t bits = 0;
    c->GetInfo(&bits, nullptr, nullptr, nullptr);
    EXPECT_EQ(bits, kInfoClosed);
    c->Release();
}

TEST(ContainerBehaviour, StreamRules) {
    TempFolder dir;
    const std::string path = dir.File("s.kwi");
    StoreContainer* c = Create(path);
    int err = -1;
    StreamWriter* w = c->CreateStream("a", 0, 0, &err);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(c->CreateStream("b", 0, 0, &err), nullptr); // one writer at a time
    EXPECT_EQ(err, kStoreWrongMode);
    const uint8_t data[10] = {};
    EXPECT_EQ(w->Write(5, data, 10), kStoreWrongMode); // not at the end: nothing written
    EXPECT_EQ(w->Write(0, data, 10), 0);
    EXPECT_EQ(w->Write(10, data, 0), 0);
    EXPECT_EQ(w->Write(0, data, 10), kStoreWrongMode);
    w->Release();
    EXPECT_EQ(c->CreateStream("x/y", 0, 0, &err), nullptr);
    EXPECT_EQ(err, kStoreNoSuchStream);
    EXPECT_EQ(c->CreateStream("A", 0, 0, &err), nullptr); // names compare without case
    EXPECT_EQ(err, kStoreStreamExists);
    EXPECT_EQ(c->OpenStream("a", &err), nullptr); // readers need read mode
    EXPECT_EQ(err, kStoreWrongMode);
    EXPECT_EQ(c->WriteSmallStream("nope", data, 1), kStoreNoSuchStream);
    // A name with a character above 127 is stored with '?' and found as spelled.
    ASSERT_EQ(WriteStream(c, "caf\xe9", {}), 0);
    char name[16];
    StreamEnumerator* en = c->EnumerateStreams("", name, sizeof name, &err);
    ASSERT_NE(en, nullptr);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(c->EnumerateStreams("", name, sizeof name, &err), nullptr);
    EXPECT_EQ(err, kStoreWrongMode); // one enumerator at a time
    ASSERT_EQ(en->Next(name, sizeof name), 0);
    EXPECT_STREQ(name, "caf?");
    en->Release();
    EXPECT_EQ(
        c->ReadSmallStream("CAF\xe9", nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(c->EnumerateStreams("a", name, sizeof name, &err), nullptr); // no children
    EXPECT_EQ(err, 0);
    ASSERT_EQ(c->Close(), 0);
    EXPECT_EQ(w = c->CreateStream("late", 0, 0, &err), nullptr);
    c->Release();
    c = OpenRead(path);
    StreamReader* r = c->OpenStream("a", &err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(c->OpenStream("a", &err), nullptr); // one reader at a time
    EXPECT_EQ(err, kStoreWrongMode);
    uint8_t back[20];
    uint32_t got = 99;
    EXPECT_EQ(r->Read(10, back, 5, &got), 0); // at the end: nothing, success
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(r->Read(4, back, 20, &got), 0); // cut at the end
    EXPECT_EQ(got, 6u);
    c->Close();
    EXPECT_EQ(r->Read(0, back, 5, &got), kStoreWrongMode); // detached
    r->Release();
    c->Release();
}

TEST(ContainerBehaviour, StreamTableFullGives1809) {
    TempFolder dir;
    StoreContainer* c = Create(dir.File("t.kwi"));
    int err = 0;
    int made = 0;
    const std::string longName(100, 'n');
    for (; made < 1000; ++made) {
        StreamWriter* w = c->CreateStream((longName + std::to_string(made)).c_str(), 0, 0, &err);
        if (w == nullptr) {
            break;
        }
        w->Release();
    }
    EXPECT_EQ(err, kStoreTableFull);
    EXPECT_GT(made, 100);
    std::vector<uint8_t> big(30000);
    EXPECT_EQ(c->WriteSmallStream("", big.data(), uint32_t(big.size())), kStoreTableFull);
    EXPECT_EQ(c->Close(), 0); // the full table still closes and reads back
    c->Release();
    c = OpenRead(dir.File("t.kwi"));
    EXPECT_EQ(c->ReadSmallStream((longName + "0").c_str(), nullptr, nullptr, nullptr, nullptr,
                                 nullptr, 0, nullptr),
              0);
    c->Release();
}

TEST(ContainerBehaviour, VolumeLimitsAndChunkBoundaries) {
    TempFolder dir;
    const std::string path = dir.File("v.kwi");
    StoreContainer* c = Create(path, kOptNoDirectoryCopy, 1000); // raised to one chunk
    EXPECT_EQ(c->GetCurrentChunk(), -1);
    const uint32_t room = kChunk - 96;
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(room, 1)), 0);
    EXPECT_EQ(c->GetCurrentChunk(), 0); // full, but not written until the next byte
    ASSERT_EQ(WriteStream(c, "e", MixedBytes(1, 1)), 0);
    EXPECT_EQ(c->GetCurrentChunk(), 1); // chunk 1 goes to the next volume when it is written
    ASSERT_EQ(c->Close(), 0);
    c->Release();
    EXPECT_EQ(std::filesystem::file_size(path), kChunk);
    EXPECT_EQ(std::filesystem::file_size(dir.File("v.002")), kChunk);
    EXPECT_FALSE(std::filesystem::exists(dir.File("v.003")));
    c = OpenRead(path);
    uint32_t volumes = 0;
    uint64_t stored = 0, length = 0;
    c->GetInfo(nullptr, &volumes, &stored, &length);
    EXPECT_EQ(stored, uint64_t(volumes) * kChunk);
    std::vector<uint8_t> back;
    ASSERT_EQ(ReadStream(c, "d", &back), 0);
    EXPECT_TRUE(back == MixedBytes(room, 1));
    c->Release();
}

TEST(ContainerBehaviour, VerifyReportsProgressAndCanBeCancelled) {
    TempFolder dir;
    const std::string path = dir.File("p.kwi");
    Create(path, kOptNoDirectoryCopy)->Release(); // an empty set
    RecordingCallback cb;
    StoreContainer* c = OpenRead(path, &cb);
    EXPECT_EQ(c->VerifyAll(), 0);
    EXPECT_EQ(cb.calls, (std::vector<std::string>{"ProgressBegin", "ProgressEnd"}));
    c->Release();
    StoreContainer* w = Create(dir.File("q.kwi"));
    ASSERT_EQ(WriteStream(w, "d", MixedBytes(450000, 1)), 0);
    w->Release();
    cb = RecordingCallback();
    cb.cancelProgressAfter = 2;
    c = OpenRead(dir.File("q.kwi"), &cb);
    EXPECT_EQ(c->VerifyAll(), kStoreCancelled);
    EXPECT_EQ(cb.progressSteps, 2);
    EXPECT_EQ(cb.calls.back(), "ProgressEnd");
    c->Release();
}

TEST(ContainerBehaviour, PasswordIsAskedAndChecked) {
    TempFolder dir;
    const std::string path = dir.File("pw.kwi");
    StoreContainer* c = Create(path, kOptPayloadCrc, 0, nullptr, u"Geheim");
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(1000, 1)), 0);
    c->Release();
    int err = -1;
    EXPECT_EQ(OpenContainerForRead(path.c_str(), nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreCancelled); // no callback
    RecordingCallback cb;
    cb.password = u"geheim"; // case matters
    EXPECT_EQ(OpenContainerForRead(path.c_str(), &cb, &err), nullptr);
    EXPECT_EQ(err, kStoreCancelled);
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskPassword"});
    cb.password = u"Geheim";
    c = OpenContainerForRead(path.c_str(), &cb, &err);
    ASSERT_NE(c, nullptr);
    uint32_t bits = 0;
    c->GetInfo(&bits, nullptr, nullptr, nullptr);
    EXPECT_EQ(bits, kInfoPayloadCrc | kInfoPassword);
    EXPECT_EQ(c->TryPassword(u"wrong"), 0u);
    EXPECT_EQ(c->TryPassword(u"Geheim"), 1u);
    c->Release();
}

TEST(ContainerBehaviour, DeleteSetRemovesOnlyItsMembers) {
    TempFolder dir;
    const std::string path = dir.File("del.kwi");
    StoreContainer* c = Create(path, 0, kChunk);
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(400000, 1)), 0);
    c->Release();
    ASSERT_TRUE(std::filesystem::exists(dir.File("del.003")));
    PutFileBytes(dir.File("del.txt"), {1, 2, 3});
    PutFileBytes(dir.File("del.009"), std::vector<uint8_t>(kChunk, 7)); // not a member
    RecordingCallback cb;
    EXPECT_EQ(DeleteContainerSet(path.c_str(), &cb), 0);
    EXPECT_EQ(cb.calls, (std::vector<std::string>{"DeleteImageBegin", "DeleteImageEnd"}));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(dir.File("del.002")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("del.003")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("del.txt")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("del.009")));
}

// Sets of one stem share the names of their continuation volumes and are
// told apart by their creation time: sets made in one second take the next
// free second, so deleting one never takes another's volumes. A set that
// does not exist is not deleted with success.
TEST(ContainerBehaviour, SetsOfOneStemMadeInOneSecondKeepTheirVolumes) {
    struct FixedClock {
        FixedClock() {
            SetCreationClockForTests([] { return 1900000000u; });
        }
        ~FixedClock() { SetCreationClockForTests(nullptr); }
    } clock;
    TempFolder dir;
    const auto made = [&](const char* name, uint32_t limit, size_t bytes) {
        StoreContainer* c = Create(dir.File(name), 0, limit);
        EXPECT_EQ(WriteStream(c, "d", MixedBytes(bytes, 1)), 0);
        EXPECT_EQ(c->Close(), 0);
        c->Release();
        ChunkRecord r;
        EXPECT_TRUE(ReadFirstRecord(dir.File(name), &r));
        return r.creationTime;
    };
    EXPECT_EQ(made("s.abc", kChunk, 300000), 1900000000u);
    ASSERT_TRUE(std::filesystem::exists(dir.File("s.003")));
    EXPECT_EQ(made("s.kwi", 0, 1000), 1900000001u);
    EXPECT_EQ(made("S.DEF", 0, 1000), 1900000002u);
    EXPECT_EQ(DeleteContainerSet(dir.File("s.kwi").c_str(), nullptr), 0);
    EXPECT_EQ(DeleteContainerSet(dir.File("S.DEF").c_str(), nullptr), 0);
    EXPECT_EQ(FolderBytes(dir.Path()).size(), 3u);
    EXPECT_EQ(ReadBack(dir.File("s.abc"), "d", MixedBytes(300000, 1)), 0);
    EXPECT_EQ(made("s.kwi", 0, 1000), 1900000001u); // its second is free again
    EXPECT_EQ(DeleteContainerSet(dir.File("s.abc").c_str(), nullptr), 0);
    EXPECT_EQ(ReadBack(dir.File("s.kwi"), "d", MixedBytes(1000, 1)), 0);

    RecordingCallback cb;
    EXPECT_EQ(DeleteContainerSet(dir.File("none.kwi").c_str(), &cb), kStoreNotFound);
    EXPECT_EQ(cb.calls, (std::vector<std::string>{"DeleteImageBegin", "DeleteImageEnd"}));
    EXPECT_EQ(FolderBytes(dir.Path()).size(), 1u);
}

TEST(ContainerBehaviour, CreatingOverAnOlderSetAsksFirst) {
    TempFolder dir;
    const std::string path = dir.File("old.kwi");
    StoreContainer* c = Create(path, 0, kChunk);
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(300000, 1)), 0);
    c->Release();
    for (const char* name : {"old.kwi", "old.002", "old.003"}) {
        Restamp(dir.File(name), 100);
    }
    PutFileBytes(dir.File("old.txt"), {1});
    int err = -1;
    EXPECT_EQ(CreateContainer(path.c_str(), nullptr, 0, 0, 0, nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreMediaFailure); // nobody to ask: the older set stays
    EXPECT_TRUE(std::filesystem::exists(dir.File("old.003")));
    RecordingCallback cb;
    cb.mediaAnswers = 1;
    c = Create(path, 0, 0, &cb);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(WriteStream(c, "e", MixedBytes(1000, 2)), 0);
    c->Release();
    EXPECT_EQ(cb.calls, std::vector<std::string>{"ConfirmDeleteImageSet:" + path});
    EXPECT_FALSE(std::filesystem::exists(dir.File("old.002")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("old.003")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("old.txt")));
    c = OpenRead(path);
    std::vector<uint8_t> back;
    EXPECT_EQ(ReadStream(c, "e", &back), 0);
    EXPECT_EQ(ReadStream(c, "d", &back), kStoreNoSuchStream);
    c->Release();
}

} // namespace
} // namespace kwv::test
