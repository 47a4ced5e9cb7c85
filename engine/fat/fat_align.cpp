#include "engine/fat/fat_align.h"

#include "engine/fat/fat_filesystem.h"

namespace kw::fat {

uint32_t ChooseAlignmentShift(FAT_FILESYSTEM*, uint32_t) {
    return 0;
}

kwRet BuildAlignmentMap(FAT_FILESYSTEM*, uint32_t, uint32_t, uint32_t, uint32_t) {
    return ERR_NOT_SUPPORTED;
}

kwRet AlignClusters(FAT_FILESYSTEM*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t*) {
    return ERR_NOT_SUPPORTED;
}

bool IsDataAligned(FAT_FILESYSTEM*, uint32_t, uint32_t, uint32_t, uint32_t) {
    return false;
}

} // namespace kw::fat
