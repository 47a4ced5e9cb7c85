// Fuzzes the HPFS bitmap loader and its estimate. The input is the volume:
// the partition holds four times the input's sectors, and sectors beyond the
// input read as zeros.
#include "engine/disk/kwlib.h"
#include "engine/hpfs/hpfs_bitmaps.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

const std::uint8_t* gData = nullptr;
std::size_t gSize = 0;

kwRet ReadInput(std::uint32_t sector, void* buffer, std::uint32_t count) {
    std::size_t at = std::size_t{sector} * 512, n = std::size_t{count} * 512;
    std::memset(buffer, 0, n);
    if (at < gSize)
        std::memcpy(buffer, gData + at, n < gSize - at ? n : gSize - at);
    return KW_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512 || size > (1u << 20))
        return 0;
    gData = data;
    gSize = size;
    kwSetKwiPhyRead(ReadInput);
    kwSetUseKwiPhyRead(1);
    PARTITION_INFO pi;
    pi.disk = kwGetImageDisk();
    pi.ulFlags = PI_OPENABLE;
    pi.NumSects = static_cast<std::uint32_t>(size / 512 * 4);
    std::uint32_t freeSects = 0;
    if (kw::hpfs::EstimateHpfsFree(&pi, &freeSects) == KW_OK && freeSects > pi.NumSects)
        __builtin_trap();
    kw::hpfs::HpfsReleaseBitmaps();
    kwSetUseKwiPhyRead(0);
    return 0;
}
