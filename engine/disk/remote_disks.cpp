#include "engine/disk/remote_disks.h"

#include "engine/disk/kwlib.h"

kwRet ReleaseRemoteDisks() {
    DISK_RECORD* first = nullptr;
    kwGetDiskList(&first);
    KW_REMOTE_DISKS* shared = nullptr;
    for (DISK_RECORD* d = first; d != nullptr && shared == nullptr; d = d->next)
        if (d->ulFlags & DISK_REMOTE)
            shared = d->remote;
    if (shared == nullptr)
        return KW_OK;
    kwRet rc = KW_OK;
    for (DISK_RECORD* d = first; d != nullptr && rc == KW_OK;) {
        DISK_RECORD* next = d->next;
        if ((d->ulFlags & DISK_REMOTE) && d->remote == shared) {
            d->remote = nullptr;
            rc = RemoveDiskRecord(d);
        }
        d = next;
    }
    // Records that still name it lose the pointer before it goes.
    for (kwGetDiskList(&first); first != nullptr; first = first->next)
        if (first->remote == shared)
            first->remote = nullptr;
    delete shared;
    return rc;
}
