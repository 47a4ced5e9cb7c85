// A writer that dies: a child process appends to a set and ends (_exit) at
// each call that changes a volume file, with none, a little or much of that
// write done. Whatever the moment, the set then reads every committed stream
// byte for byte, verifies, and takes a further append.
#include "container_test_util.h"
#include "fault_volume.h"

#include <sys/wait.h>
#include <unistd.h>

namespace kwv::test {
namespace {

constexpr uint32_t kChunk = 0x20000;
constexpr int kFinished = 42;

// Appends stream `name` in a child that dies at change `killAt` (tearing
// that write after `tear` bytes); true when the child got through.
bool AppendInChild(const std::string& path, uint32_t limit, const char* name,
                   const std::vector<uint8_t>& data, int64_t killAt, uint32_t tear) {
    const pid_t pid = fork();
    if (pid == 0) {
        FaultPlan plan;
        plan.killAt = killAt;
        plan.tear = tear;
        FaultScope faults(&plan);
        int err = -1;
        StoreContainer* c = OpenContainerForAppend(path.c_str(), limit, 0, nullptr, &err);
        if (c == nullptr || WriteStream(c, name, data) != 0 || c->Close() != 0) {
            _exit(1);
        }
        c->Release();
        _exit(kFinished);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "the append failed on its own";
    return WEXITSTATUS(status) == kFinished;
}

TEST(ContainerKill, WriterKilledAtEveryChangeOfAnAppend) {
    const auto one = MixedBytes(300000, 1), two = MixedBytes(400000, 2),
               three = MixedBytes(150000, 3);
    for (uint32_t options : {kOptPayloadCrc, kOptPayloadCrc | kOptNoDirectoryCopy}) {
        TempFolder dir;
        const std::string path = dir.File("k.kwi");
        const uint32_t limit = 3 * kChunk;
        int err = -1;
        StoreContainer* c =
            CreateContainer(path.c_str(), nullptr, limit, 0, options, nullptr, &err);
        ASSERT_NE(c, nullptr) << err;
        ASSERT_EQ(WriteStream(c, "one", one), 0);
        ASSERT_EQ(c->Close(), 0);
        c->Release();
        const auto base = FolderBytes(dir.Path());
        bool finished = false;
        for (int64_t kill = 0; !finished; ++kill) {
            for (uint32_t tear : {0u, 90u, 4096u, 70000u}) {
                SCOPED_TRACE("options " + std::to_string(options) + ", killed at change " +
                             std::to_string(kill) + " after " + std::to_string(tear) + " bytes");
                RestoreFolder(dir.Path(), base);
                finished = AppendInChild(path, limit, "two", two, kill, tear);
                EXPECT_EQ(ReadBack(path, "one", one), 0);
                const int second = ReadBack(path, "two", two);
                EXPECT_TRUE(second == 0 || (!finished && second == kStoreNoSuchStream)) << second;
                EXPECT_EQ(Verify(path), 0);
                // A further append either goes through or, when the dead
                // writer left whole chunks in a later volume, is refused.
                c = OpenContainerForAppend(path.c_str(), limit, 0, nullptr, &err);
                if (c == nullptr) {
                    EXPECT_EQ(err, kStoreCannotOpen);
                    continue;
                }
                ASSERT_EQ(WriteStream(c, "three", three), 0);
                ASSERT_EQ(c->Close(), 0);
                c->Release();
                EXPECT_EQ(ReadBack(path, "one", one), 0);
                EXPECT_EQ(ReadBack(path, "two", two), second);
                EXPECT_EQ(ReadBack(path, "three", three), 0);
                EXPECT_EQ(Verify(path), 0);
                if (finished) {
                    break;
                }
            }
        }
    }
}

} // namespace
} // namespace kwv::test
