#include "engine/fat/fat_ea.h"

#include "engine/fat/fat_filesystem.h"

namespace kw::fat {

kwRet ConvertEaFile(FAT_FILESYSTEM*, const char*, uint32_t) {
    return ERR_NOT_SUPPORTED;
}

kwRet TrimEaFile(FAT_FILESYSTEM*, const char*) {
    return ERR_NOT_SUPPORTED;
}

} // namespace kw::fat
