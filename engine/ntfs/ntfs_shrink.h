// Shrinking an NTFS volume in place: every cluster in use past the new end
// moves below it (to the places a caller's move lists name, else to free
// clusters), the records that refer to them are rewritten, $Bitmap and
// $BadClus:$Bad are cut to the new size and the boot sector and its backup
// take the new total.
//
// Everything is planned and checked before the first write: a volume that
// is dirty or has a pending $LogFile, a move list that names a used or
// out-of-range target, a run past the end that no list covers and no free
// space can take, a run list that would no longer fit its record, data of
// the records that $MFTMirr mirrors ($MFT, $MFTMirr, $LogFile) reaching past
// the end (their records are written twice, and the boot sector names where
// the first two start: no order of writes moves them with every cut state
// sound): each is refused with nothing written. The writes then go in an order that a cut
// between any two leaves a volume ntfsfix accepts with every file whole:
// the copies first, then $Bitmap, then the records (each a switch from one
// whole copy to another), then the backup boot sector and sector 0, and
// only then the cuts of $Bitmap and $Bad.
#pragma once

#include "engine/ntfs/ntfs_filesystem.h"

#include <cstdint>

// One range of a move list: clusters [first, first + count). The n-th range
// of the old list moves to the n-th range of the new list.
struct NTFS_MOVE_RUN {
    uint32_t first = 0;
    uint32_t count = 0;
    NTFS_MOVE_RUN* next = nullptr;
};

// Shrinks the open volume to newSectors (the last one then holds the
// backup boot sector). 0 when nothing needs doing; 506 when the used
// clusters cannot fit below the new end; 55 for a volume that may not be
// written, is dirty or has a pending $LogFile; 4 for a size that grows.
kwRet kwShrinkNtfsOnTheFly(NTFS_FILESYSTEM* fs, uint32_t newSectors, uint32_t oldSectors,
                           const NTFS_MOVE_RUN* oldRuns, const NTFS_MOVE_RUN* newRuns);
