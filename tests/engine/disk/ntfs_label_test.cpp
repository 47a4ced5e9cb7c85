// An NTFS label of 256 UTF-16 units fills more than the record's 256-byte
// label field in UTF-8: it is cut at a whole character, 255 bytes at most.
#include "engine/disk/kwlib.h"
#include "platform/disk/disk_driver.h"
#include "platform/disk/fault_disk_source.h"
#include "tests/engine/disk/disk_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using kwtest::kCyl;

namespace {

std::string NtfsDisk() {
    std::string bytes(size_t{3} * kCyl * 512, '\0');
    std::vector<uint8_t> e = kwtest::MakeEntry(0x07, kCyl, kCyl, kCyl);
    std::memcpy(bytes.data() + 446, e.data(), e.size());
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    size_t boot = size_t{kCyl} * 512;
    std::memcpy(bytes.data() + boot + 3, "NTFS    ", 8);
    bytes[boot + 12] = 2; // 512 bytes per sector
    bytes[boot + 510] = 0x55;
    bytes[boot + 511] = static_cast<char>(0xAA);
    return bytes;
}

// 256 units of U+00E9, two bytes each in UTF-8, without a terminator.
kwRet LongLabel(PARTITION_INFO*, uint8_t* buffer) {
    for (size_t i = 0; i < 256; ++i) {
        buffer[2 * i] = 0xE9;
        buffer[2 * i + 1] = 0;
    }
    return KW_OK;
}

} // namespace

TEST(NtfsLabel, ALongLabelIsCutAtAWholeCharacterWithinTheField) {
    KW_FS_HOOKS hooks;
    hooks.ntfsVolumeLabel = LongLabel;
    kwSetFsHooks(hooks);
    kw::plat::SetDiskProviderForTests([] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<kw::plat::MemorySectorSource>("ntfs", NtfsDisk()));
        return scan;
    });
    ASSERT_EQ(kwLibOpen(), KW_OK);
    DISK_RECORD* d = nullptr;
    kwGetDiskList(&d);
    PARTITION_INFO* pi = d->firstPi;
    while (pi != nullptr && pi->ucFsKind != FS_KIND_NTFS)
        pi = pi->next;
    ASSERT_NE(pi, nullptr);
    size_t n = strnlen(pi->volumeLabel, sizeof pi->volumeLabel);
    EXPECT_LT(n, sizeof pi->volumeLabel);
    EXPECT_GE(n, 254u);
    EXPECT_EQ(n % 2, 0u); // whole two-byte characters only
    for (size_t i = 0; i < n; i += 2) {
        EXPECT_EQ(static_cast<uint8_t>(pi->volumeLabel[i]), 0xC3) << i;
        EXPECT_EQ(static_cast<uint8_t>(pi->volumeLabel[i + 1]), 0xA9) << i;
    }
    kwLibClose();
    kwSetFsHooks(KW_FS_HOOKS{});
    kw::plat::SetDiskProviderForTests(nullptr);
}
