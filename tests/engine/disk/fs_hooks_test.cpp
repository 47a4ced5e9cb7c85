// The disk layer reaches NTFS labels and NetWare volumes only through the
// hook table installed at engine start; without hooks it answers as if those
// file systems were not there.
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using kwtest::kCyl;

namespace {

// A disk with an NTFS partition at one cylinder and a NetWare partition at two.
std::string NtfsAndNetWareDisk() {
    std::string bytes(size_t{4} * kCyl * 512, '\0');
    auto put = [&](uint64_t at, const std::vector<uint8_t>& b) {
        std::memcpy(bytes.data() + at, b.data(), b.size());
    };
    put(446, kwtest::MakeEntry(0x07, kCyl, kCyl, kCyl));
    put(462, kwtest::MakeEntry(0x65, 2 * kCyl, kCyl, 2 * kCyl));
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    size_t boot = size_t{kCyl} * 512;
    std::memcpy(bytes.data() + boot + 3, "NTFS    ", 8);
    bytes[boot + 11] = 0; // 512 bytes per sector
    bytes[boot + 12] = 2;
    bytes[boot + 510] = 0x55;
    bytes[boot + 511] = static_cast<char>(0xAA);
    return bytes;
}

struct Calls {
    int registered = 0;
    int created = 0;
    int deleted = 0;
};
Calls calls;
int segmentList = 0;

kwRet LabelHook(PARTITION_INFO*, uint8_t* buffer) {
    const char16_t name[] = u"HOOKED";
    for (size_t i = 0; i < 6; ++i) {
        buffer[2 * i] = static_cast<uint8_t>(name[i]);
        buffer[2 * i + 1] = 0;
    }
    return KW_OK;
}

class FsHooks : public ::testing::Test {
protected:
    void SetUp() override {
        calls = {};
        kw::plat::SetDiskProviderForTests([] {
            kw::plat::DiskScan scan;
            scan.disks.push_back(
                std::make_unique<kw::plat::MemorySectorSource>("disk", NtfsAndNetWareDisk()));
            return scan;
        });
    }
    void TearDown() override {
        kwLibClose();
        kwSetFsHooks(KW_FS_HOOKS{});
        kw::plat::SetDiskProviderForTests(nullptr);
    }
    static PARTITION_INFO* Kind(uint8_t kind) {
        DISK_RECORD* d = nullptr;
        kwGetDiskList(&d);
        for (PARTITION_INFO* pi = d->firstPi; pi != nullptr; pi = pi->next)
            if (pi->ucFsKind == kind)
                return pi;
        return nullptr;
    }
};

} // namespace

TEST_F(FsHooks, InstalledHooksServeLabelsRegistrationAndSegmentLists) {
    KW_FS_HOOKS hooks;
    hooks.ntfsVolumeLabel = LabelHook;
    hooks.registerNetWareVolumes = [] {
        ++calls.registered;
        return KW_OK;
    };
    hooks.createSegmentList = [](PARTITION_INFO*, void** list) {
        ++calls.created;
        *list = &segmentList;
        return KW_OK;
    };
    hooks.deleteSegmentList = [](void** list) {
        ++calls.deleted;
        *list = nullptr;
    };
    kwSetFsHooks(hooks);
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(Kind(FS_KIND_NTFS), nullptr);
    EXPECT_STREQ(Kind(FS_KIND_NTFS)->volumeLabel, "HOOKED");
    ASSERT_NE(Kind(FS_KIND_NETWARE), nullptr);
    EXPECT_EQ(Kind(FS_KIND_NETWARE)->si, &segmentList);
    EXPECT_EQ(calls.registered, 1);
    EXPECT_EQ(calls.created, 1);
    kwLibClose();
    EXPECT_EQ(calls.deleted, 1);
}

TEST_F(FsHooks, WithoutHooksTheRecordsAreBuiltAsBefore) {
    ASSERT_EQ(kwLibOpen(), KW_OK);
    ASSERT_NE(Kind(FS_KIND_NTFS), nullptr);
    EXPECT_STREQ(Kind(FS_KIND_NTFS)->volumeLabel, "");
    ASSERT_NE(Kind(FS_KIND_NETWARE), nullptr);
    EXPECT_STREQ(Kind(FS_KIND_NETWARE)->volumeLabel, "NETWARE");
    EXPECT_EQ(Kind(FS_KIND_NETWARE)->si, nullptr);
}
