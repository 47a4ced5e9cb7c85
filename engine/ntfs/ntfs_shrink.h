// Shrinking an NTFS volume in place: every cluster in use past the new end
// moves below it (to the places a caller's move lists name, else to free
// clusters), the records that refer to them are rewritten, $Bitmap and
// $BadClus:$Bad are cut to the new size and the boot sector and its backup
// take the new total.
//
// Everything is planned and checked before the first write: a volume that
// is dirty or has a pending $LogFile, a move list that names a used or
// out-of-range target, a run past the end that no list covers and no free
// space can take, a run list that would no longer fit its record, a $MFT
// that begins past the end (the boot sector names its first cluster): each
// is refused with nothing written. $MFTMirr and $LogFile move like any
// file, the $MFT's later runs too.
//
// The writes go in an order that a cut between any two leaves every file
// whole and a volume ntfsfix accepts, or one the engine's next change mends
// first: the copies, $Bitmap, the ordinary records (each a switch from one
// whole copy to another), the $MFT's clusters that move, the mirrored
// records under a mirror hold (ntfs_mirror.cpp; the mirror is rewritten at
// its new place), the backup boot sector at the new last sector, sector 0,
// the old backup at the partition's end, and only then the cuts of $Bitmap
// and $Bad. Two kinds of copies cannot change in one write: sector 0 and the
// old backup, and $MFTMirr's record and the boot sector that names the
// mirror's first cluster. Cuts between them are mended at the next change.
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
