// The HPFS volume's bitmaps and bad-sector list, for the used-sector map.
#include "engine/hpfs/hpfs_filesystem.h"

#include "engine/hpfs/hpfs_bitmaps.h"
#include "include/kwbytes.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kSuperblockSector = 16;
constexpr uint32_t kBlockSectors = 4; // a list block or a band bitmap
constexpr uint32_t kBandsPerListBlock = 512;
constexpr uint32_t kBadPerBlock = 511;
constexpr kwRet kBeyondVolume = 967;

} // namespace

HPFS_FILESYSTEM::HPFS_FILESYSTEM(PARTITION_INFO* pi) : FILESYSTEM(pi) {
    loaded_ = ReadSectors(kSuperblockSector, super_.data(), 1);
    if (loaded_ == KW_OK)
        loaded_ = ReadSectors(kSuperblockSector + 1, spare_.data(), 1);
    if (loaded_ == KW_OK && (kwbytes::LoadLe32(super_.data()) != HPFS_SUPER_MAGIC1 ||
                             kwbytes::LoadLe32(super_.data() + 4) != HPFS_SUPER_MAGIC2))
        loaded_ = ERR_HPFS_INIT;
}

uint32_t HPFS_FILESYSTEM::TotalSectors() const {
    uint32_t total = kwbytes::LoadLe32(super_.data() + 16);
    return total < GetPI()->NumSects ? total : GetPI()->NumSects;
}

template <class Use> kwRet HPFS_FILESYSTEM::forEachBand(Use use) {
    const uint32_t bands =
        (TotalSectors() + kw::hpfs::kSectorsPerBand - 1) / kw::hpfs::kSectorsPerBand;
    const uint32_t listSector = kwbytes::LoadLe32(super_.data() + 24);
    std::vector<uint8_t> list(kBlockSectors * 512);
    for (uint32_t band = 0; band < bands; ++band) {
        if (band % kBandsPerListBlock == 0) {
            kwRet rc = ReadSectors(listSector + band / kBandsPerListBlock * kBlockSectors,
                                   list.data(), kBlockSectors);
            if (rc != KW_OK)
                return rc;
        }
        kwRet rc = use(band, kwbytes::LoadLe32(list.data() + 4 * (band % kBandsPerListBlock)));
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet HPFS_FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t /*flags*/) {
    if (map == nullptr)
        return ERR_BAD_POINTER;
    if (loaded_ != KW_OK)
        return loaded_;
    auto* made = new (std::nothrow) STATE_MAP;
    const uint32_t total = TotalSectors();
    if (made == nullptr || made->Create(total, false) != KW_OK) {
        delete made;
        return ERR_NO_MEMORY;
    }
    std::vector<uint8_t> bits(kw::hpfs::kBandBitmapBytes);
    kwRet rc = forEachBand([&](uint32_t band, uint32_t sector) {
        kwRet read = ReadSectors(sector, bits.data(), kBlockSectors);
        if (read != KW_OK)
            return read;
        const uint32_t base = band * kw::hpfs::kSectorsPerBand;
        for (uint32_t k = 0; k < bits.size() && base + 8 * k < total; ++k) {
            if (bits[k] == 0xFF)
                continue;
            for (uint32_t n = 0; n < 8; ++n) {
                if (!((bits[k] >> n) & 1))
                    made->SetBit(base + 8 * k + n); // past the total: ignored
            }
        }
        return KW_OK;
    });
    SECT_LIST bad;
    if (rc == KW_OK)
        rc = GetBadSectors(&bad);
    if (rc != KW_OK) {
        delete made;
        return rc;
    }
    for (uint32_t i = 0; i < bad.GetCount(); ++i)
        made->ClearBit(bad.GetAt(i)); // bad sectors are not copied
    made->ulUnitsPerBit = 1;
    made->ulUnitCount = total;
    made->ulLastUsed = made->LastSet();
    made->ulMinEnd = made->ulLastUsed;
    delete *map;
    *map = made;
    return KW_OK;
}

// The chain of 4-sector blocks: word 0 the next block, words 1 to 511 bad
// sectors; the superblock's count says how many are valid. A chain that
// loops or runs past the count ends the walk.
kwRet HPFS_FILESYSTEM::GetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_POINTER;
    if (loaded_ != KW_OK)
        return loaded_;
    uint32_t left = kwbytes::LoadLe32(super_.data() + 20);
    uint32_t block = kwbytes::LoadLe32(super_.data() + 32);
    std::vector<uint8_t> words(kBlockSectors * 512);
    for (uint32_t hops = 0; left > 0 && block != 0 && hops <= TotalSectors() / kBlockSectors;
         ++hops) {
        kwRet rc = ReadSectors(block, words.data(), kBlockSectors);
        if (rc != KW_OK)
            return rc;
        for (uint32_t i = 1; i <= kBadPerBlock && left > 0; ++i, --left) {
            rc = list->Add(kwbytes::LoadLe32(words.data() + 4 * i));
            if (rc != KW_OK)
                return rc;
        }
        block = kwbytes::LoadLe32(words.data());
    }
    return KW_OK;
}

kwRet HPFS_FILESYSTEM::MarkSectors(uint32_t first, uint32_t count, bool used) {
    if (loaded_ != KW_OK)
        return loaded_;
    const uint32_t total = TotalSectors();
    if (first >= total)
        return kBeyondVolume;
    if (count > total - first)
        count = total - first;
    const uint32_t end = first + count;
    std::vector<uint8_t> bits(kw::hpfs::kBandBitmapBytes);
    return forEachBand([&](uint32_t band, uint32_t sector) {
        const uint32_t base = band * kw::hpfs::kSectorsPerBand;
        const uint32_t top = base + kw::hpfs::kSectorsPerBand;
        if (top <= first || base >= end)
            return KW_OK;
        kwRet rc = ReadSectors(sector, bits.data(), kBlockSectors);
        for (uint32_t s = first > base ? first : base; rc == KW_OK && s < end && s < top; ++s) {
            uint8_t& byte = bits[(s - base) / 8];
            const uint8_t bit = uint8_t(1u << ((s - base) % 8));
            byte = used ? uint8_t(byte & ~bit) : uint8_t(byte | bit); // set: free
        }
        return rc == KW_OK ? WriteSectors(sector, bits.data(), kBlockSectors) : rc;
    });
}

uint32_t HPFS_FILESYSTEM::GetSerialNumber() {
    uint8_t boot[512];
    return ReadSectors(0, boot, 1) == KW_OK ? kwbytes::LoadLe32(boot + 39) : 0;
}

kwRet HPFS_FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_POINTER;
    buffer[0] = '\0';
    uint8_t boot[512];
    kwRet rc = ReadSectors(0, boot, 1);
    if (rc != KW_OK)
        return rc;
    std::memcpy(buffer, boot + 43, 11);
    buffer[11] = '\0';
    return KW_OK;
}
