// The NetWare disks the tests share, as builder specifications.
#pragma once

#include "tests/engine/netware/nw_fixture.h"
#include "tests/support/mbr_writer.h"

namespace kwtest::nw {

inline constexpr uint32_t kHotStart = kCyl;
inline constexpr uint32_t kSigStart = 2 * kCyl;
inline constexpr uint32_t kHotId = 0x5A5A0001;
inline constexpr uint32_t kSigId = 0x5A5A0002;

// A hot-fix partition holding SYS and the first segment of DATA, and a
// signature-form partition holding DATA's second segment. SYS has a
// suballocation entry, a folder and an empty file; DATA's big file runs
// across both partitions.
inline DiskSpec TwoPartitions() {
    DiskSpec d;
    d.sectors = 4 * kCyl;
    PartitionSpec hot;
    hot.start = kHotStart;
    hot.sectors = kCyl;
    hot.id = kHotId;
    PartitionSpec sig;
    sig.start = kSigStart;
    sig.sectors = kCyl;
    sig.hotfix = false;
    sig.id = kSigId;
    d.partitions = {hot, sig};
    VolumeSpec sys;
    sys.name = "SYS";
    sys.segments = {{0, 160, 300}};
    sys.files = {{"a.dat", 5}, {"b.dat", 70}, {"folder", 0, true}, {"empty", 0}};
    sys.dirBlocks = 2;
    sys.suballoc = true;
    VolumeSpec data;
    data.name = "DATA";
    data.segments = {{0, 160 + 300 * 8, 200}, {1, 160, 200}};
    data.files = {{"big", 250}, {"small", 3}};
    d.volumes = {sys, data};
    return d;
}

// The partition sector of a volume block (for redirections).
inline uint32_t PartitionSectorOf(const DiskSpec& d, const VolumeSpec& v, uint32_t block,
                                  uint32_t partitionStart) {
    return uint32_t(BlockOffset(d, v, block) / kSector) - partitionStart;
}

} // namespace kwtest::nw
