// The volume manager: one process-wide list of the NetWare volumes the engine
// knows, so that every caller shares one NWVolume per volume (with its FAT
// and directory loaded once). Names are registered when the disk library
// opens; volumes are loaded on demand from one of their segments, counted by
// open and release, and never destroyed while a reference is out.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

namespace kw::netware {

class NWVolume;
class NetW_Segment;

// One known volume: its name and, once loaded, the volume object.
struct VolumeNode {
    int32_t iRefCount = 0;
    char name[16] = {};
    VolumeNode* next = nullptr;
    NWVolume* pVol = nullptr;
};

// Registers the name of every segment of every NetWare partition.
kwRet nwRegisterAllVolumes();
VolumeNode* nwFindVolumeNode(const char* name, const char* address, uint32_t partitionId);
kwRet nwRegisterVolume(const char* name, const char* address);
VolumeNode* nwCreateVolumeNode(const char* name, const char* address, NetW_Segment* segment,
                               uint32_t partitionId, kwRet* code, bool checkMirror);
// Opens (loading when needed) the volume of a segment and takes a reference.
kwRet nwOpenVolume(NWVolume** volume, NetW_Segment* segment, uint32_t partitionId,
                   bool checkMirror);
kwRet nwAcquireVolumeByName(const char* name, const char* address, NWVolume** volume,
                            bool checkMirror);
// Gives a reference back (1456 for a volume not held); the volume stays
// loaded.
kwRet nwReleaseVolume(NWVolume** volume);
// Removes a node (destroying its volume when asked); 1456 while the volume
// is held, and nothing changes then.
kwRet nwRemoveVolumeNode(const char* name, const char* address, bool destroyVolume);
kwRet nwDeleteVolumeNode(const char* name, const char* address);
// Called by the volume's destructor: its node goes, the volume is not
// destroyed again.
void nwForgetVolume(NWVolume* volume);
bool nwVolumeMatchesAddress(const NWVolume* volume, const char* address);
// References out on a volume (0 when it is not listed).
int32_t nwVolumeReferences(const NWVolume* volume);
// The first node (for tests and the registration walk).
VolumeNode* nwFirstVolumeNode();
// Destroys every volume and node (engine stop and tests).
void nwClearVolumes();

} // namespace kw::netware
