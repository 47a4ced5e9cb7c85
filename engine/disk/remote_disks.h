// Disks reached through an interface object of their own (remote or object
// disks, disk flag 0x8000) rather than through the disk driver. One interface
// serves every disk record that points to it; it is released, with those
// records, when the engine stops.
#pragma once

#include "engine/core/kwret.h"

// The interface a remote disk's record points to. Destroyed through this
// base; the disk records do not own it.
class KW_REMOTE_DISKS {
public:
    virtual ~KW_REMOTE_DISKS() = default;
};

// Takes every disk record served by the first remote disk's interface out of
// the disk list, then destroys that interface once. Disks served by another
// interface stay. 0, or the error of the first removal that failed (the
// interface is still destroyed: no record points to it any more).
kwRet ReleaseRemoteDisks();
