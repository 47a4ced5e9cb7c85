// Sets on a removable drive: the prompts the container gives when volumes are
// missing, media are write-protected or an older set is in the way. The drive
// is a test provider over a temporary folder that can hide files.
#include "container_test_util.h"

#include "platform/vfs/vfs.h"
#include "tests/platform/vfs/fake_extender.h"

#include <functional>

namespace kwv::test {
namespace {

constexpr uint32_t kChunk = 0x20000;

// A callback whose media questions run a step (showing a file, say) and
// answer yes while answers are left.
class MediaCallback : public RecordingCallback {
public:
    std::function<void(const std::string& what)> onAsk;
    uint32_t Ask(const char* what, const char* path) {
        if (onAsk) {
            onAsk(what);
        }
        return Media(what, path);
    }
    uint32_t AskNewMediaForCreate(const char* p) override { return Ask("AskNewMediaForCreate", p); }
    uint32_t AskFirstMediaForUpdate(const char* p) override {
        return Ask("AskFirstMediaForUpdate", p);
    }
    uint32_t AskFirstMedia(const char* p) override { return Ask("AskFirstMedia", p); }
    uint32_t AskLastMedia(const char* p) override { return Ask("AskLastMedia", p); }
    uint32_t AskNextMedia(const char* p) override { return Ask("AskNextMedia", p); }
    uint32_t AskMediaWithFile(const char* p) override { return Ask("AskMediaWithFile", p); }
};

class ContainerMedia : public ::testing::Test {
protected:
    void SetUp() override { kw::vfs::vfsAddExtender(&drive_); }
    void TearDown() override { kw::vfs::vfsRemoveExtender(&drive_); }

    // A set on the drive with stream "d"; returns its path.
    std::string MakeSet(uint32_t options, uint32_t limit, size_t bytes, MEDIA_CHANGE_CALLBACK* cb,
                        const char* name = "R:\\set.kwi") {
        int err = -1;
        StoreContainer* c = CreateContainer(name, nullptr, limit, 0, options, cb, &err);
        EXPECT_NE(c, nullptr) << err;
        if (c != nullptr) {
            EXPECT_EQ(WriteStream(c, "d", MixedBytes(bytes, 4)), 0);
            EXPECT_EQ(c->Close(), 0);
            c->Release();
        }
        return name;
    }
    int OpenAndRead(const std::string& path, MEDIA_CHANGE_CALLBACK* cb) {
        int err = -1;
        StoreContainer* c = OpenContainerForRead(path.c_str(), cb, &err);
        if (c == nullptr) {
            return err;
        }
        std::vector<uint8_t> back;
        err = ReadStream(c, "d", &back);
        c->Release();
        return err;
    }

    TempFolder folder_;
    kw::test::FakeRemovableExtender drive_{'R', folder_.Path()};
};

TEST_F(ContainerMedia, MissingVolumeAsksForTheNextMedium) {
    const std::string path = MakeSet(0, kChunk, 500000, nullptr);
    drive_.Hide("set.002");
    MediaCallback cb;
    EXPECT_EQ(OpenAndRead(path, &cb), kStoreCancelled); // no answer left
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskNextMedia:R:\\set.002"});
    cb = MediaCallback();
    cb.mediaAnswers = 2;
    int asked = 0;
    cb.onAsk = [&](const std::string&) {
        if (++asked == 2) {
            drive_.ShowAll(); // the right medium, the second time
        }
    };
    EXPECT_EQ(OpenAndRead(path, &cb), 0);
    EXPECT_EQ(cb.calls, (std::vector<std::string>{"AskNextMedia:R:\\set.002", "WrongMedia",
                                                  "AskNextMedia:R:\\set.002"}));
    drive_.Hide("set.002");
    EXPECT_EQ(OpenAndRead(path, nullptr), kStoreCancelled); // no callback: declined
}

TEST_F(ContainerMedia, AbsentFirstVolumeIsAskedFor) {
    const std::string path = MakeSet(0, kChunk, 300000, nullptr);
    drive_.Hide("set.kwi");
    MediaCallback cb;
    cb.mediaAnswers = 1;
    cb.onAsk = [&](const std::string&) { drive_.ShowAll(); };
    EXPECT_EQ(OpenAndRead(path, &cb), 0);
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskFirstMedia:R:\\set.kwi"});
}

TEST_F(ContainerMedia, LastChunkWithoutDirectoryAsksForTheLastMedium) {
    const std::string path = MakeSet(kOptNoDirectoryCopy, 0, 300000, nullptr);
    std::vector<uint8_t> file = FileBytes(folder_.File("set.kwi"));
    file.resize(file.size() - kChunk);
    PutFileBytes(folder_.File("set.kwi"), file);
    MediaCallback cb;
    EXPECT_EQ(OpenAndRead(path, &cb), kStoreCancelled);
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskLastMedia:R:\\set.kwi"});
    EXPECT_EQ(OpenAndRead(path, nullptr), kStoreNotFound);
}

TEST_F(ContainerMedia, WriteProtectedMediumAsksForAnotherOne) {
    drive_.SetWriteProtected(true);
    int err = -1;
    EXPECT_EQ(CreateContainer("R:\\set.kwi", nullptr, 0, 0, 0, nullptr, &err), nullptr);
    EXPECT_EQ(err, kStoreNoRoom);
    MediaCallback cb;
    cb.mediaAnswers = 1;
    cb.onAsk = [&](const std::string&) { drive_.SetWriteProtected(false); };
    const std::string path = MakeSet(0, 0, 1000, &cb);
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskNewMediaForCreate:R:\\set.kwi"});
    EXPECT_EQ(OpenAndRead(path, nullptr), 0);
}

TEST_F(ContainerMedia, DirectoryCopyAsksForTheFirstMediumAtClose) {
    MediaCallback cb;
    int err = -1;
    StoreContainer* c = CreateContainer("R:\\set.kwi", nullptr, kChunk, 0, 0, &cb, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(400000, 4)), 0);
    drive_.Hide("set.kwi"); // the first medium was taken out
    cb.mediaAnswers = 1;
    cb.onAsk = [&](const std::string&) { drive_.ShowAll(); };
    EXPECT_EQ(c->Close(), 0);
    c->Release();
    EXPECT_EQ(cb.calls, std::vector<std::string>{"AskFirstMediaForUpdate:R:\\set.kwi"});
    EXPECT_EQ(OpenAndRead("R:\\set.kwi", nullptr), 0);
}

TEST_F(ContainerMedia, DirectoryCopyOpensWithTheFirstVolumeAlone) {
    int err = -1;
    StoreContainer* c = CreateContainer("R:\\set.kwi", nullptr, kChunk, 0, 0, nullptr, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(WriteStream(c, "a", MixedBytes(1000, 1)), 0);
    ASSERT_EQ(WriteStream(c, "d", MixedBytes(400000, 4)), 0);
    c->Release();
    drive_.Hide("set.002");
    drive_.Hide("set.003");
    drive_.Hide("set.004");
    MediaCallback cb;
    c = OpenContainerForRead("R:\\set.kwi", &cb, &err);
    ASSERT_NE(c, nullptr) << err;
    std::vector<uint8_t> back;
    EXPECT_EQ(ReadStream(c, "a", &back), 0);
    EXPECT_TRUE(back == MixedBytes(1000, 1));
    EXPECT_TRUE(cb.calls.empty());
    c->Release();
}

TEST_F(ContainerMedia, OlderSetInTheWayLosesOnlyItsOwnMembers) {
    MakeSet(kOptNoDirectoryCopy, kChunk, 300000, nullptr);
    Restamp(folder_.File("set.kwi"), 100);
    Restamp(folder_.File("set.002"), 100);
    Restamp(folder_.File("set.003"), 100);
    PutFileBytes(folder_.File("set.txt"), {1, 2, 3});
    std::filesystem::copy_file(folder_.File("set.003"), folder_.File("set.009"));
    Restamp(folder_.File("set.009"), 5); // a volume of yet another set
    MediaCallback cb;
    int err = -1;
    EXPECT_EQ(CreateContainer("R:\\set.kwi", nullptr, 0, 0, 0, &cb, &err), nullptr);
    EXPECT_EQ(err, kStoreCancelled); // the deletion was declined: another medium?
    EXPECT_EQ(cb.calls, (std::vector<std::string>{"ConfirmDeleteImageSet:R:\\set.kwi",
                                                  "AskNewMediaForCreate:R:\\set.kwi"}));
    EXPECT_TRUE(std::filesystem::exists(folder_.File("set.002")));
    cb = MediaCallback();
    cb.mediaAnswers = 1;
    MakeSet(0, 0, 1000, &cb);
    EXPECT_EQ(cb.calls, std::vector<std::string>{"ConfirmDeleteImageSet:R:\\set.kwi"});
    EXPECT_FALSE(std::filesystem::exists(folder_.File("set.002")));
    EXPECT_FALSE(std::filesystem::exists(folder_.File("set.003")));
    EXPECT_TRUE(std::filesystem::exists(folder_.File("set.txt")));
    EXPECT_TRUE(std::filesystem::exists(folder_.File("set.009")));
    EXPECT_EQ(OpenAndRead("R:\\set.kwi", nullptr), 0);
}

} // namespace
} // namespace kwv::test
