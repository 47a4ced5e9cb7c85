// Loading the band bitmaps of an HPFS volume, and the estimate built on them.
#include "engine/hpfs/hpfs_bitmaps.h"

#include "engine/core/engine_util.h"
#include "engine/core/kwmemory.h"
#include "engine/core/progress.h"
#include "engine/disk/kwlib.h"
#include "kwbytes.h"

#include <cstring>

namespace kw::hpfs {

using namespace kwbytes;

namespace {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kBitmapSectors = 4; // one band bitmap, 2048 bytes
constexpr std::uint32_t kSectorsPerListBlock = 8388608;

// An engine-allocated block that frees itself.
class Block {
public:
    Block() = default;
    ~Block() { Free(); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    bool Get(std::uint32_t size, bool zero = false) {
        Free();
        if (kwGetMemory(size, &p_) != KW_OK)
            return false;
        size_ = size;
        if (zero)
            std::memset(p_, 0, size);
        return true;
    }
    void Free() {
        if (p_ != nullptr)
            kwFreeMemory(&p_);
        p_ = nullptr;
        size_ = 0;
    }
    std::uint8_t* data() const { return p_; }
    std::span<const std::uint8_t> span() const { return {p_, size_}; }

private:
    std::uint8_t* p_ = nullptr;
    std::uint32_t size_ = 0;
};

struct LoaderState {
    std::uint8_t boot[kSectorBytes] = {};
    std::uint8_t superSpare[1564] = {};
    Block bandBitmaps;
    Block bandSectors;
    Block dirBandBitmap;
    Block perBand;
    std::uint32_t bands = 0;
    std::uint32_t sectors = 0;
    bool loaded = false;
    std::uint32_t serial = 0;
    char label[12] = {};
    std::uint32_t bootChecks = 0;
};

LoaderState& State() {
    static LoaderState state;
    return state;
}

// A partition handle that closes itself.
struct Handle {
    kwhandle h = 0;
    bool open = false;
    ~Handle() {
        if (open)
            kwLogClose(h);
    }
};

kwRet ReadOr1003(kwhandle h, std::uint32_t sector, void* buffer, std::uint32_t count) {
    return kwLogRead(h, sector, buffer, count) == KW_OK ? KW_OK : ERR_HPFS_INIT;
}

// Reads the band bitmaps named by the list, one request per run of
// contiguous bitmaps.
kwRet ReadBands(kwhandle h, const std::uint8_t* list, Progress& progress) {
    LoaderState& s = State();
    std::uint8_t* out = s.bandBitmaps.data();
    std::uint8_t* starts = s.bandSectors.data();
    std::uint32_t done = 0;
    while (done < s.bands) {
        std::uint32_t first = LoadLe32(list + 4 * done);
        if (first == 0)
            break;
        std::uint32_t run = 1;
        StoreLe32(starts + 4 * done, first);
        while (done + run < s.bands &&
               LoadLe32(list + 4 * (done + run)) == first + kBitmapSectors * run) {
            StoreLe32(starts + 4 * (done + run), first + kBitmapSectors * run);
            ++run;
        }
        if (kwRet rc = progress.UpdateCount(done, s.bands); rc != KW_OK)
            return rc;
        if (kwRet rc = ReadOr1003(h, first, out, run * kBitmapSectors); rc != KW_OK)
            return rc;
        out += std::size_t{run} * kBandBitmapBytes;
        done += run;
    }
    StoreLe32(starts + 4 * done, 0);
    return KW_OK;
}

kwRet LoadAfterBoot(kwhandle h, PARTITION_INFO* pi, Progress& progress) {
    LoaderState& s = State();
    if (ReadOr1003(h, 16, s.superSpare, 1) != KW_OK ||
        ReadOr1003(h, 17, s.superSpare + kSectorBytes, 1) != KW_OK)
        return ERR_HPFS_INIT;
    HPFS_SUPERBLOCK sb = HPFS_SUPERBLOCK::parse({s.superSpare, kSectorBytes});
    std::uint32_t bootTotal = LoadLe32(s.boot + 32);
    if (bootTotal == 0)
        bootTotal = LoadLe16(s.boot + 19);
    if (sb.sectorsOnVolume > bootTotal)
        return ERR_HPFS_SUPERBLOCK_SIZE;
    // The bitmaps of sectors beyond the partition are never read.
    s.sectors = sb.sectorsOnVolume < pi->NumSects ? sb.sectorsOnVolume : pi->NumSects;
    s.bands = static_cast<std::uint32_t>((std::uint64_t{s.sectors} + kSectorsPerBand - 1) /
                                         kSectorsPerBand);
    std::uint32_t listSectors = static_cast<std::uint32_t>(
        (std::uint64_t{s.sectors} + kSectorsPerListBlock - 1) / kSectorsPerListBlock * 4);
    Block list;
    if (!list.Get(listSectors * kSectorBytes + 4, true) || !s.perBand.Get(s.bands + 1, true))
        return ERR_HPFS_INIT;
    if (listSectors != 0 && ReadOr1003(h, sb.bitmapListSector, list.data(), listSectors) != KW_OK)
        return ERR_HPFS_INIT;
    if (!s.bandBitmaps.Get(s.bands * kBandBitmapBytes + 1, true) ||
        !s.bandSectors.Get((s.bands + 1) * 4, true))
        return ERR_HPFS_INIT;
    if (kwRet rc = ReadBands(h, list.data(), progress); rc != KW_OK)
        return rc;
    if (!s.dirBandBitmap.Get(kBandBitmapBytes) ||
        ReadOr1003(h, sb.dirBandBitmapSector, s.dirBandBitmap.data(), kBitmapSectors) != KW_OK)
        return ERR_HPFS_INIT;
    return progress.Done();
}

} // namespace

HPFS_SUPERBLOCK HPFS_SUPERBLOCK::parse(std::span<const std::uint8_t> sector) {
    HPFS_SUPERBLOCK sb;
    sb.sectorsOnVolume = LoadLe32Padded(sector, 16);
    sb.bitmapListSector = LoadLe32Padded(sector, 24);
    sb.dirBandSectors = LoadLe32Padded(sector, 48);
    sb.dirBandBitmapSector = LoadLe32Padded(sector, 60);
    return sb;
}

void HpfsReleaseBitmaps() {
    LoaderState& s = State();
    s.bandBitmaps.Free();
    s.bandSectors.Free();
    s.dirBandBitmap.Free();
    s.perBand.Free();
    s.bands = 0;
    s.sectors = 0;
    s.loaded = false;
}

kwRet HpfsLoadBitmaps(PARTITION_INFO* pi) {
    if (pi == nullptr)
        return ERR_BAD_POINTER;
    Progress progress;
    HpfsReleaseBitmaps();
    LoaderState& s = State();
    std::memset(s.superSpare, 0, sizeof s.superSpare);
    Handle handle;
    kwRet rc = kwLogOpen(pi, &handle.h);
    if (rc != KW_OK)
        return rc;
    handle.open = true;
    rc = ReadOr1003(handle.h, 0, s.boot, 1);
    if (rc == KW_OK)
        rc = CheckHpfsBootSector();
    if (rc == KW_OK)
        rc = LoadAfterBoot(handle.h, pi, progress);
    if (rc != KW_OK)
        HpfsReleaseBitmaps();
    s.loaded = rc == KW_OK;
    return rc;
}

HPFS_BITMAPS_VIEW HpfsLoaded() {
    LoaderState& s = State();
    HPFS_BITMAPS_VIEW v;
    if (!s.loaded)
        return v;
    v.bootSector = {s.boot, kSectorBytes};
    v.superBlock = HPFS_SUPERBLOCK::parse({s.superSpare, kSectorBytes});
    v.bandBitmaps = {s.bandBitmaps.data(), std::size_t{s.bands} * kBandBitmapBytes};
    v.dirBandBitmap = s.dirBandBitmap.span();
    v.bands = s.bands;
    v.sectorsOnVolume = s.sectors;
    return v;
}

kwRet CheckHpfsBootSector() {
    LoaderState& s = State();
    s.serial = LoadLe32(s.boot + 39);
    std::memcpy(s.label, s.boot + 43, 11);
    s.label[11] = '\0';
    ++s.bootChecks;
    std::uint8_t signature = s.boot[38];
    bool hasTotal = LoadLe32(s.boot + 32) != 0 || LoadLe16(s.boot + 19) != 0;
    return (signature == 0x28 || signature == 0x29) && hasTotal ? KW_OK : ERR_BAD_BOOT_SECTOR;
}

std::uint32_t HpfsBootSerial() {
    return State().serial;
}

const char* HpfsBootLabel() {
    return State().label;
}

kwRet EstimateHpfsFree(PARTITION_INFO* pi, std::uint32_t* freeSects) {
    kwRet rc = HpfsLoadBitmaps(pi);
    if (rc != KW_OK)
        return rc;
    HPFS_BITMAPS_VIEW v = HpfsLoaded();
    std::uint32_t n = v.sectorsOnVolume;
    std::uint32_t setBits = CountSetBits(v.bandBitmaps.data(), 0, n);
    std::uint32_t reserve = n / 50 < 4096 ? n / 50 : 4096;
    *freeSects = setBits > reserve ? setBits - reserve : 0;
    std::uint32_t m = v.superBlock.dirBandSectors / 4;
    if (m > kBandBitmapBytes * 8)
        m = kBandBitmapBytes * 8;
    std::uint32_t dirEstimate = (m - CountSetBits(v.dirBandBitmap.data(), 0, m) + 1) * 22;
    if (pi->ulLimitBase < 2 && dirEstimate != 0)
        pi->ulLimitBase = dirEstimate;
    return KW_OK;
}

} // namespace kw::hpfs
