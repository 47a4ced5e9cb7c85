#include "engine/disk/kwlib.h"
#include "engine/disk/remote_disks.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int gDestroyed = 0;

class CountedInterface : public KW_REMOTE_DISKS {
public:
    ~CountedInterface() override { ++gDestroyed; }
};

std::vector<DISK_RECORD*> Disks() {
    std::vector<DISK_RECORD*> out;
    DISK_RECORD* d = nullptr;
    for (kwGetDiskList(&d); d != nullptr; d = d->next)
        out.push_back(d);
    return out;
}

DISK_RECORD* AddDisk(KW_REMOTE_DISKS* remote) {
    DISK_RECORD* d = nullptr;
    EXPECT_EQ(AddDiskRecord(&d, nullptr), KW_OK);
    if (remote != nullptr) {
        d->ulFlags |= DISK_REMOTE;
        d->remote = remote;
    }
    return d;
}

TEST(RemoteDisks, OnlyTheFirstInterfaceAndItsDisksAreReleased) {
    kwLibClose();
    gDestroyed = 0;
    DISK_RECORD* local = AddDisk(nullptr);
    EXPECT_EQ(ReleaseRemoteDisks(), KW_OK); // no remote disk: nothing happens
    EXPECT_EQ(Disks(), std::vector<DISK_RECORD*>{local});

    auto* first = new CountedInterface;
    auto* other = new CountedInterface;
    AddDisk(first);
    DISK_RECORD* elsewhere = AddDisk(other);
    AddDisk(first);
    EXPECT_EQ(ReleaseRemoteDisks(), KW_OK);
    EXPECT_EQ(gDestroyed, 1);
    EXPECT_EQ(Disks(), (std::vector<DISK_RECORD*>{local, elsewhere}));
    EXPECT_EQ(elsewhere->remote, other);
    // The next call releases the other interface.
    EXPECT_EQ(ReleaseRemoteDisks(), KW_OK);
    EXPECT_EQ(gDestroyed, 2);
    EXPECT_EQ(Disks(), std::vector<DISK_RECORD*>{local});
    kwLibClose();
}

} // namespace
