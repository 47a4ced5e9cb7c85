#include "engine/netware/nw_volmgr.h"

#include "engine/disk/kwlib.h"
#include "engine/disk/pi_find.h"
#include "engine/netware/nw_codes.h"
#include "engine/netware/nw_segment.h"
#include "engine/netware/nw_volume.h"

#include <cstring>
#include <new>

namespace kw::netware {

namespace {

VolumeNode* gHead = nullptr;
VolumeNode* gTail = nullptr;

constexpr const char* kLocal = "000.000.000.000";

bool Matches(const VolumeNode* node, const char* address) {
    return nwVolumeMatchesAddress(node->pVol, address);
}

VolumeNode* FindByName(const char* name, const char* address) {
    for (VolumeNode* n = gHead; n != nullptr; n = n->next)
        if (std::strcmp(n->name, name) == 0 && Matches(n, address))
            return n;
    return nullptr;
}

void Unlink(VolumeNode* node) {
    VolumeNode* previous = nullptr;
    for (VolumeNode* n = gHead; n != nullptr; previous = n, n = n->next) {
        if (n != node)
            continue;
        (previous != nullptr ? previous->next : gHead) = n->next;
        if (gTail == n)
            gTail = previous;
        return;
    }
}

VolumeNode* Append(const char* name) {
    auto* node = new (std::nothrow) VolumeNode;
    if (node == nullptr)
        return nullptr;
    std::strncpy(node->name, name, sizeof node->name - 1);
    (gTail != nullptr ? gTail->next : gHead) = node;
    gTail = node;
    return node;
}

// Destroys a node's volume; the name stays registered.
void DestroyVolumeOf(VolumeNode* node) {
    NWVolume* volume = node->pVol;
    node->pVol = nullptr;
    delete volume;
}

} // namespace

bool nwVolumeMatchesAddress(const NWVolume* volume, const char* address) {
    if (volume == nullptr)
        return std::strcmp(address, kLocal) == 0;
    return std::strcmp(volume->DiskAddress(), address) == 0;
}

VolumeNode* nwFirstVolumeNode() {
    return gHead;
}

int32_t nwVolumeReferences(const NWVolume* volume) {
    for (VolumeNode* n = gHead; n != nullptr; n = n->next)
        if (n->pVol == volume && volume != nullptr)
            return n->iRefCount;
    return 0;
}

kwRet nwRegisterAllVolumes() {
    DISK_RECORD* disk = nullptr;
    kwRet rc = kwGetDiskList(&disk);
    if (rc != KW_OK)
        return rc;
    for (; disk != nullptr; disk = disk->next)
        for (PARTITION_INFO* pi = disk->firstPi; pi != nullptr; pi = pi->next) {
            if (pi->ucFsKind != FS_KIND_NETWARE)
                continue;
            for (NetW_Segment* s = SegmentsOf(pi); s != nullptr; s = s->nextInPartition) {
                char name[kMaxNameLength + 1];
                GetSegmentVolumeName(s, name);
                if (nwFindVolumeNode(name, DiskAddressOf(pi), 0) != nullptr)
                    continue;
                if ((rc = nwRegisterVolume(name, DiskAddressOf(pi))) != KW_OK)
                    return rc;
            }
        }
    return KW_OK;
}

VolumeNode* nwFindVolumeNode(const char* name, const char* address, uint32_t partitionId) {
    for (VolumeNode* n = gHead; n != nullptr; n = n->next) {
        if (std::strcmp(n->name, name) != 0)
            continue;
        if (address != nullptr && address[0] != '\0' && !Matches(n, address))
            continue;
        // A volume loaded for another partition goes, unless it is held.
        if (n->pVol != nullptr && partitionId != 0 && n->pVol->PartitionId() != partitionId &&
            n->iRefCount == 0)
            DestroyVolumeOf(n);
        return n;
    }
    return nullptr;
}

kwRet nwRegisterVolume(const char* name, const char* address) {
    if (nwFindVolumeNode(name, address, 0) != nullptr)
        return KW_OK;
    kwRet code = KW_OK;
    return nwCreateVolumeNode(name, address, nullptr, 0, &code, false) != nullptr ? code
                                                                                  : ERR_NO_MEMORY;
}

VolumeNode* nwCreateVolumeNode(const char* name, const char* address, NetW_Segment* segment,
                               uint32_t partitionId, kwRet* code, bool checkMirror) {
    VolumeNode* node = nwFindVolumeNode(name, address, partitionId);
    if (node != nullptr && node->pVol != nullptr) {
        *code = ERR_NW_BAD_REFERENCE; // held for another partition
        return nullptr;
    }
    const bool created = node == nullptr;
    if (created && (node = Append(name)) == nullptr) {
        *code = ERR_NO_MEMORY;
        return nullptr;
    }
    if (segment == nullptr)
        return node;
    *code = KW_OK;
    if (partitionId == 0) {
        *code = ERR_BAD_ARGUMENT;
        return nullptr;
    }
    auto* volume = new NWVolume(segment, partitionId);
    if (volume == nullptr) {
        *code = ERR_NO_MEMORY;
        return nullptr;
    }
    node->pVol = volume;
    volume->mirrorChecked = checkMirror;
    *code = volume->Load();
    if (*code == KW_OK)
        return node;
    // Undo only what this call made: a node that was registered before stays
    // registered, without the volume.
    if (created) {
        delete volume; // takes its node with it
    } else {
        node->pVol = nullptr; // the node is no longer the volume's
        delete volume;
    }
    return nullptr;
}

kwRet nwOpenVolume(NWVolume** volume, NetW_Segment* segment, uint32_t partitionId,
                   bool checkMirror) {
    *volume = nullptr;
    char name[kMaxNameLength + 1];
    GetSegmentVolumeName(segment, name);
    const char* address = DiskAddressOf(segment->GetPartition());
    VolumeNode* node = FindByName(name, address);
    if (node != nullptr && node->pVol != nullptr && partitionId != 0 &&
        partitionId != node->pVol->PartitionId()) {
        if (node->iRefCount != 0)
            return ERR_NW_BAD_REFERENCE; // held for another partition
        DestroyVolumeOf(node);
    }
    if (node == nullptr || node->pVol == nullptr) {
        kwRet code = KW_OK;
        node = nwCreateVolumeNode(name, address, segment, partitionId, &code, checkMirror);
        if (code != KW_OK)
            return code;
        if (node == nullptr)
            return ERR_NO_MEMORY;
    }
    *volume = node->pVol;
    ++node->iRefCount;
    return KW_OK;
}

kwRet nwAcquireVolumeByName(const char* name, const char* address, NWVolume** volume,
                            bool checkMirror) {
    *volume = nullptr;
    VolumeNode* node = FindByName(name, address);
    if (node == nullptr) {
        if (nwRegisterVolume(name, address) != KW_OK)
            return ERR_NW_BAD_REFERENCE;
        node = FindByName(name, address);
    }
    if (node == nullptr || node->pVol == nullptr || node->pVol->FirstSegment() == nullptr)
        return ERR_NW_BAD_REFERENCE; // never opened from a segment
    NetW_Segment* first = node->pVol->FirstSegment();
    PARTITION_INFO* pi = first->GetPartition();
    if (checkMirror && !node->pVol->mirrorChecked &&
        (pi->ulFlags2 & (PI2_PART_MIRROR | PI2_HAS_MIRROR)) != 0) {
        PARTITION_INFO* primary = nullptr;
        if (GetFirstVolumePi(pi, &primary) != KW_OK || primary == nullptr)
            return ERR_NW_PRIMARY_NOT_FOUND;
        if (node->iRefCount != 0)
            return ERR_NW_BAD_REFERENCE;
        // Reopen from the same segment (it belongs to a partition list and
        // outlives the volume) for the primary partition.
        nwDeleteVolumeNode(name, address);
        return nwOpenVolume(volume, first, primary->ulSerial, checkMirror);
    }
    *volume = node->pVol;
    ++node->iRefCount;
    return KW_OK;
}

kwRet nwReleaseVolume(NWVolume** volume) {
    for (VolumeNode* n = gHead; n != nullptr; n = n->next) {
        if (n->pVol != *volume || *volume == nullptr)
            continue;
        if (n->iRefCount < 1)
            return ERR_NW_BAD_REFERENCE;
        --n->iRefCount;
        NWVolume* v = *volume;
        *volume = nullptr;
        // A volume whose segments all went while it was held goes now.
        if (n->iRefCount == 0 && v->LoadedSegments() == 0)
            delete v;
        return KW_OK;
    }
    return ERR_NW_BAD_REFERENCE;
}

kwRet nwRemoveVolumeNode(const char* name, const char* address, bool destroyVolume) {
    VolumeNode* node = nullptr;
    for (VolumeNode* n = gHead; n != nullptr && node == nullptr; n = n->next)
        if (std::strcmp(n->name, name) == 0 && Matches(n, address))
            node = n;
    if (node == nullptr)
        return KW_OK;
    if (node->pVol != nullptr && node->iRefCount != 0)
        return ERR_NW_BAD_REFERENCE;
    Unlink(node);
    NWVolume* volume = node->pVol;
    node->pVol = nullptr;
    delete node;
    if (destroyVolume && volume != nullptr)
        delete volume; // its node is already gone
    return KW_OK;
}

kwRet nwDeleteVolumeNode(const char* name, const char* address) {
    return nwRemoveVolumeNode(name, address, true);
}

void nwForgetVolume(NWVolume* volume) {
    for (VolumeNode* n = gHead; n != nullptr; n = n->next) {
        if (n->pVol == volume) {
            Unlink(n);
            delete n;
            return;
        }
    }
}

void nwClearVolumes() {
    while (gHead != nullptr) {
        VolumeNode* n = gHead;
        if (n->pVol != nullptr) {
            delete n->pVol; // its destructor removes the node
            continue;
        }
        Unlink(n);
        delete n;
    }
    gTail = nullptr;
}

} // namespace kw::netware
