// Fuzzes the recovery of an interrupted FAT operation on a writable disk
// whose user agrees to everything: the input is the start of the disk, the
// rest of which reads as zeros. Whatever the tables, boot sectors, FATs and
// markers say, the recovery may write only the table sector of an entry of
// type 3Ch and, inside that partition, the sectors between its boot sector
// and its data area (the FATs and the root directory), or anywhere in it
// when the partition holds an alignment marker (a shift to complete moves
// the whole volume and rewrites its boot sector). The seeds are
// mkfs.fat volumes behind a 3Ch entry: FAT12 with its copies out of step,
// and FAT16 with its root directory moved into the clusters from 2 on.
// The disk is sparse (input, then zeros), so a run copies only the input.
#include "engine/core/ui_bridge.h"
#include "engine/core/ui_interface.h"
#include "engine/disk/align_marker.h"
#include "engine/disk/autofix.h"
#include "engine/disk/fat_recovery.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_table.h"
#include "platform/disk/disk_driver.h"
#include "tests/fuzz/sparse_disk.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t kDiskSectors = 8192;

// Says Yes to every question.
class YesUI : public UIInterface {
public:
    std::uint32_t AskQuestion(KWString, KWString, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return UI_ANSWER_YES;
    }
};

struct Region {
    uint64_t first, end; // [first, end)
};

// Where the recovery may write, from the disk as it was before.
std::vector<Region> Writable(const uint8_t* data, size_t size) {
    auto read = [data, size](uint32_t sector, uint8_t* buf) -> kwRet {
        if (sector >= kDiskSectors)
            return ERR_READ_FAULT;
        const uint64_t at = uint64_t{sector} * 512;
        const size_t held = at < size ? std::min<size_t>(512, size - at) : 0;
        std::memcpy(buf, data + at, held);
        std::memset(buf + held, 0, 512 - held);
        return KW_OK;
    };
    std::vector<Region> regions;
    for (const TABLE_ENTRY& te : WalkPartitionTables(read, true).entries) {
        if (te.entry.type != KW_TYPE_INTERRUPTED_FAT)
            continue;
        regions.push_back({te.tableSector, uint64_t{te.tableSector} + 1});
        uint8_t boot[512];
        FAT_RECOVERY_LAYOUT l;
        const uint64_t end = uint64_t{te.absStart} + te.entry.numSects;
        bool marker = false;
        for (uint64_t s = te.absStart; s < end && s < kDiskSectors && !marker; ++s) {
            ALIGN_MARKER m;
            marker = read(static_cast<uint32_t>(s), boot) == KW_OK &&
                     ALIGN_MARKER::Parse(boot, static_cast<uint32_t>(s), &m);
        }
        if (marker)
            regions.push_back({te.absStart, end});
        else if (read(te.absStart, boot) == KW_OK &&
                 FAT_RECOVERY_LAYOUT::parse(boot, te.absStart, &l))
            regions.push_back(
                {uint64_t{te.absStart} + 1,
                 std::min<uint64_t>(l.dataStart, uint64_t{te.absStart} + te.entry.numSects)});
    }
    return regions;
}

// A memory disk that traps on a write outside the allowed regions.
class GuardedDisk : public kw::fuzz::SparseDisk {
public:
    GuardedDisk(const uint8_t* data, size_t size, std::vector<Region> allowed)
        : SparseDisk(data, size, kDiskSectors, true), allowed_(std::move(allowed)) {}
    kw::plat::DiskIoResult Write(uint64_t sector, const void* buffer, uint32_t count) override {
        for (uint64_t s = sector; s < sector + count; ++s) {
            bool inside = false;
            for (const Region& r : allowed_)
                inside = inside || (s >= r.first && s < r.end);
            if (!inside)
                __builtin_trap();
        }
        return SparseDisk::Write(sector, buffer, count);
    }

private:
    std::vector<Region> allowed_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kDiskSectors * 512)
        return 0;
    static YesUI ui;
    kwSetUIInterface(&ui);
    static UIBridgeThunk bridge;
    // Partition-table repair, which also runs as the disk opens and is also
    // answered Yes, writes nothing here: the old sectors it must keep first
    // cannot be kept in a folder that does not exist.
    AutoFixSetBackupFolder("/proc/kw-no-folder");
    std::vector<Region> allowed = Writable(data, size);
    kw::plat::SetDiskProviderForTests([&] {
        kw::plat::DiskScan scan;
        scan.disks.push_back(std::make_unique<GuardedDisk>(data, size, allowed));
        return scan;
    });
    kwLibOpen();
    kwLibClose();
    kw::plat::SetDiskProviderForTests(nullptr);
    return 0;
}
