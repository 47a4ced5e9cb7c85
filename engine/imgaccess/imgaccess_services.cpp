#include "engine/imgaccess/imgaccess_services.h"

// Image access is not part of this build yet: no image partition is ever
// current, so the hook has nothing to serve.
kwRet kwiPhyRead(uint32_t, void*, uint32_t) {
    return ERR_IMG_NOT_OPEN;
}

void NoRebootOnShutDown() {}
