// A NetWare partition's file system opened and initialised for the length of
// a scope, the walk over the other members of its mirror group, and the
// check that the disk library's handle table can take one more nested
// partition volume.
#pragma once

#include "engine/disk/kwlib.h"
#include "engine/disk/pi_find.h"
#include "engine/fs/filesystem.h"
#include "engine/netware/nw_partvol.h"

#include <cstdint>

namespace kw::netware {

// Owns the opened file system; closes it when it goes.
class OpenPartitionVolume {
public:
    explicit OpenPartitionVolume(PARTITION_INFO* pi) {
        rc_ = OpenFileSystem(pi, &fs_, FS_OPEN_SHARED, FS_KIND_NETWARE);
        if (rc_ == KW_OK) {
            volume_ = dynamic_cast<NETWPART_VOLUME*>(fs_);
            rc_ = volume_ != nullptr ? volume_->Init() : ERR_FS_NOT_SUPPORTED;
        }
    }
    ~OpenPartitionVolume() {
        if (fs_ != nullptr)
            CloseFileSystem(&fs_);
    }
    OpenPartitionVolume(const OpenPartitionVolume&) = delete;
    OpenPartitionVolume& operator=(const OpenPartitionVolume&) = delete;
    kwRet Result() const { return rc_; }
    NETWPART_VOLUME* operator->() const { return volume_; }
    NETWPART_VOLUME* Get() const { return volume_; }

private:
    FILESYSTEM* fs_ = nullptr;
    NETWPART_VOLUME* volume_ = nullptr;
    kwRet rc_ = KW_OK;
};

// Calls visit(member) for every other partition of a mirror group that has
// a record, in the order of the mirror header; the walk ends at the first
// empty slot or the first failure, whose code is returned.
template <class Visit> kwRet ForEachMirrorMember(PARTITION_INFO* pi, Visit visit) {
    uint32_t index = 0;
    for (uint32_t slot = 0; slot < kMirrorMembers; ++slot) {
        PARTITION_INFO* member = nullptr;
        if (kwRet rc = GetNextVolumePi(pi, &member, &index); rc != KW_OK || index == 0)
            return rc;
        if (member != nullptr && member != pi)
            if (kwRet rc = visit(member); rc != KW_OK)
                return rc;
    }
    return KW_OK;
}

inline bool IsMirrored(const PARTITION_INFO* pi) {
    return (pi->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR)) != 0;
}

// Whether a resize or move may write the partition: its disk takes writes
// and the host does not use it (55 otherwise). Every partition a change
// writes (each mirror member, a segment's target) is asked before the first
// write, so a refusal part way through cannot leave a group unequal.
inline kwRet nwCheckWritable(const PARTITION_INFO* pi) {
    return pi != nullptr && kwDiskWritable(pi->disk) && !kwPartitionMounted(pi)
               ? KW_OK
               : ERR_WRITE_PROTECTED;
}

// Handles one resize or move step holds at once besides its own file
// system's: the mover's source and target, and a table write.
inline constexpr uint32_t kHandlesPerResizeStep = 3;

// Whether the handle table still has room for `nested` more partition
// volumes (each its own handle) and the steps run inside the innermost;
// 21 (no handle free) otherwise. Checked before a nested volume is opened,
// so a deep nesting fails cleanly instead of half way through its writes.
inline kwRet nwCheckNestingRoom(uint32_t nested) {
    return kwLogFreeHandles() < nested + kHandlesPerResizeStep ? ERR_BAD_HANDLE : KW_OK;
}

} // namespace kw::netware
