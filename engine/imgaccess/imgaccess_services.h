// What the engine core asks of image access: the physical-read hook that
// serves the image pseudo-disk, and the shut-down notice.
#pragma once

#include "engine/core/kwret.h"

#include <cstdint>

// Reads count 512-byte sectors at an absolute sector of the current image
// partition into buffer; 0 when all were read.
kwRet kwiPhyRead(uint32_t sector, void* buffer, uint32_t count);

void NoRebootOnShutDown();
