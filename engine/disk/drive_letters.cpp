// Drive letters of the machine's partitions: a partition that Linux has
// mounted takes the letter the drive table gives its mount point; every
// other record keeps '*'.
#include "engine/disk/disk_log.h"
#include "engine/disk/kwlib_state.h"
#include "platform/drives/drive_table.h"

#include <algorithm>

namespace {

// The letter of the drive whose root is a mount point of the host partition.
// A FUSE file system has a device of its own (major 0); its mount was found
// to be the partition's by its source.
char LetterOf(const kw::plat::HostPartition& hp) {
    for (const kw::drives::DRIVE& d : kw::drives::DriveTable::Process().Drives()) {
        bool sameDevice = (d.major == hp.major && d.minor == hp.minor) || d.major == 0;
        bool atMountRoot =
            d.root == d.mountPoint &&
            std::find(hp.mountPoints.begin(), hp.mountPoints.end(), d.root) != hp.mountPoints.end();
        if (sameDevice && atMountRoot)
            return d.letter;
    }
    return '*';
}

// Gives the records of one disk the letters of their mounted partitions; the
// number of letters given.
int LetterDisk(DISK_RECORD* disk) {
    kw::plat::SectorSource* src = UnitSource(disk);
    if (src == nullptr)
        return 0;
    int given = 0;
    for (const kw::plat::HostPartition& hp : src->HostPartitions()) {
        if (hp.wholeDisk || !hp.Mounted())
            continue;
        char letter = LetterOf(hp);
        for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr && IsDriveLetter(letter);
             pi = pi->next) {
            if (pi->ulStartSect == hp.start && pi->ucFsKind != FS_KIND_FREE &&
                pi->ucDriveLetter == '*') {
                pi->ucDriveLetter = static_cast<uint8_t>(letter);
                pi->ulFlags |= PI_HOST_LETTER;
                ++given;
                break;
            }
        }
    }
    return given;
}

} // namespace

kwRet DriveLetters() {
    KW_TRACE(trace, "DriveLetters");
    DiskLog(DBG_LEVEL_DETAIL, "Query the host for drive letters\n");
    int given = 0;
    for (DISK_RECORD* d = DiskLib().diskList; d != nullptr; d = d->next)
        given += LetterDisk(d);
    if (given == 0)
        DiskLog(DBG_LEVEL_TRACE, "No partition of these disks is mounted: no drive letters\n");
    return trace.Return(KW_OK);
}
