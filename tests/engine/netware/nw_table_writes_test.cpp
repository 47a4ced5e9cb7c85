// The volume tables rewritten over their four copies, cut after every write:
// each state the cut leaves reads as the old table or the new one, never a
// mix of the two.
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_partvol.h"
#include "tests/engine/netware/nw_disk.h"
#include "tests/engine/netware/nw_fixture.h"
#include "tests/engine/netware/nw_layouts.h"

#include <gtest/gtest.h>

using namespace kwtest::nw;

namespace {

// Deleting SYS's entry moves DATA's entry into slot 0. SYS's entries carry
// the larger sync value, so an old copy read after a new one would put SYS
// back over DATA's entry: the volumes read then are neither the old nor the
// new ones.
TEST(NwTableWrites, ACutAtAnyWriteLeavesTheOldOrTheNewTable) {
    DiskSpec spec = TwoPartitions();
    spec.volumes[0].sync = 5;
    const std::string original = BuildDisk(spec);
    std::vector<kwtest::DiskEvent> log;
    NwDisk disk(original);
    disk.Record(&log);
    ASSERT_EQ(disk.Open(), KW_OK);
    {
        FILESYSTEM* fs = nullptr;
        ASSERT_EQ(OpenFileSystem(disk.Part(kHotStart), &fs, FS_OPEN_SHARED, 0), KW_OK);
        auto* nw = dynamic_cast<kw::netware::NETWPART_VOLUME*>(fs);
        ASSERT_NE(nw, nullptr);
        EXPECT_EQ(nw->Init(), KW_OK);
        EXPECT_EQ(nw->DeleteSegmentEntry(0), KW_OK);
        CloseFileSystem(&fs);
    }
    disk.Close();
    const std::vector<std::string> before = NwWalker(original).Volumes();
    const std::vector<std::string> after = NwWalker(disk.Bytes()).Volumes();
    ASSERT_EQ(before, (std::vector<std::string>{"SYS", "DATA"}));
    ASSERT_EQ(after, (std::vector<std::string>{"DATA"}));
    size_t cuts = 0;
    kwtest::ForEachCutState(original, log, [&](const std::string& state, size_t writes) {
        SCOPED_TRACE(writes);
        const NwWalker walker(state);
        const std::vector<std::string> volumes = walker.Volumes();
        EXPECT_TRUE(volumes == before || volumes == after);
        EXPECT_EQ(walker.Check("DATA"), std::vector<std::string>{});
        ++cuts;
    });
    EXPECT_GE(cuts, 5u); // the switch and the copies after it were each cut
}

} // namespace
