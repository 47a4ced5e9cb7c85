// The header page of a Linux swap area: read, formatted, its bad pages kept.
#include "engine/lswap/lswap_filesystem.h"

#include "include/kwbytes.h"

#include <cstring>
#include <new>

namespace {

constexpr kwRet kNotLoaded = 725;
constexpr uint32_t kSignatureAt = 4086;
constexpr uint32_t kVersionAt = 1024;
constexpr uint32_t kLastPageAt = 1028;
constexpr uint32_t kBadCountAt = 1032;
constexpr uint32_t kBadListAt = 1536;
constexpr char kSignature1[] = "SWAP-SPACE";
constexpr char kSignature2[] = "SWAPSPACE2";
// Pages 0 to 7 may not be bad: the header and the first pages must be sound.
constexpr uint32_t kFirstBadPage = 8;

} // namespace

bool LSWAP_FILESYSTEM::IsVersion1() const {
    return std::memcmp(header_.data() + kSignatureAt, kSignature1, 10) == 0;
}

uint32_t LSWAP_FILESYSTEM::BadPageCount() const {
    if (!IsLoaded())
        return 0;
    if (!IsVersion1()) {
        uint32_t n = kwbytes::LoadLe32(header_.data() + kBadCountAt);
        return n < LSWAP_V2_MAX_BAD ? n : LSWAP_V2_MAX_BAD;
    }
    uint32_t bad = 0;
    for (uint32_t page = 1; page < pageCount_; ++page)
        bad += pageUsable(page) ? 0 : 1;
    return bad;
}

uint32_t LSWAP_FILESYSTEM::UsableSectors() const {
    uint64_t spent = LSWAP_SECTORS_PER_PAGE * (uint64_t{BadPageCount()} + 1);
    uint32_t total = GetPI()->NumSects;
    return total > spent ? total - static_cast<uint32_t>(spent) : 0;
}

bool LSWAP_FILESYSTEM::pageUsable(uint32_t page) const {
    return (header_[page / 8] >> (page % 8)) & 1;
}

void LSWAP_FILESYSTEM::setPageUsable(uint32_t page, bool usable) {
    uint8_t bit = static_cast<uint8_t>(1u << (page % 8));
    header_[page / 8] = usable ? header_[page / 8] | bit : header_[page / 8] & ~bit;
}

kwRet LSWAP_FILESYSTEM::readHeader() {
    kwRet rc = ReadSectors(0, header_.data(), LSWAP_SECTORS_PER_PAGE);
    uint32_t limit = GetPI()->NumSects / LSWAP_SECTORS_PER_PAGE;
    if (header_[kSignatureAt + 4] == '-') {
        pageCount_ = limit < LSWAP_V1_MAX_PAGES ? limit : LSWAP_V1_MAX_PAGES;
        return rc;
    }
    // The last page's index: the area has one page more, and must fit.
    uint32_t last = kwbytes::LoadLe32(header_.data() + kLastPageAt);
    pageCount_ = last < limit ? last + 1 : 0;
    if (rc == KW_OK && last >= limit)
        rc = ERR_OUT_OF_RANGE;
    return rc;
}

kwRet LSWAP_FILESYSTEM::Init(bool format, bool version2) {
    if (IsLoaded()) {
        kwRet rc = Uninit();
        if (rc != KW_OK)
            return rc;
    }
    header_.fill(0);
    uint32_t limit = GetPI()->NumSects / LSWAP_SECTORS_PER_PAGE;
    kwRet rc = KW_OK;
    if (!format) {
        rc = readHeader();
        state_ = kLoaded;
    } else if (!version2) {
        pageCount_ = limit < LSWAP_V1_MAX_PAGES ? limit : LSWAP_V1_MAX_PAGES;
        for (uint32_t page = 1; page < pageCount_; ++page)
            setPageUsable(page, true);
        std::memcpy(header_.data() + kSignatureAt, kSignature1, 10);
        state_ = kLoaded | kChanged;
    } else {
        pageCount_ = limit < LSWAP_V2_MAX_PAGES ? limit : LSWAP_V2_MAX_PAGES;
        kwbytes::StoreLe32(header_.data() + kVersionAt, 1);
        kwbytes::StoreLe32(header_.data() + kLastPageAt, pageCount_ > 0 ? pageCount_ - 1 : 0);
        std::memcpy(header_.data() + kSignatureAt, kSignature2, 10);
        state_ = kLoaded | kChanged;
    }
    PARTITION_INFO* pi = GetPI();
    std::memcpy(pi->volumeLabel, header_.data() + kSignatureAt, 10);
    pi->volumeLabel[10] = '\0';
    return rc;
}

kwRet LSWAP_FILESYSTEM::Uninit() {
    kwRet rc = KW_OK;
    if ((state_ & (kLoaded | kChanged)) == (kLoaded | kChanged))
        rc = WriteSectors(0, header_.data(), LSWAP_SECTORS_PER_PAGE);
    if (rc != KW_OK)
        return rc; // still loaded and changed: a later Uninit tries again
    state_ = 0;
    pageCount_ = 0;
    return KW_OK;
}

kwRet LSWAP_FILESYSTEM::AddBadSectors(SECT_LIST* list) {
    if (!IsLoaded())
        return kNotLoaded;
    if (list == nullptr)
        return KW_OK;
    bool v1 = IsVersion1();
    uint32_t count = v1 ? 0 : BadPageCount();
    uint32_t previous = 0;
    for (uint32_t i = 0; i < list->GetCount(); ++i) {
        uint32_t page = list->GetAt(i) / LSWAP_SECTORS_PER_PAGE;
        if (page < kFirstBadPage)
            return ERR_BAD_SECTOR_IN_AREA;
        if (i > 0 && page == previous)
            continue;
        previous = page;
        if (v1) {
            if (page < LSWAP_V1_MAX_PAGES)
                setPageUsable(page, false);
            continue;
        }
        if (count == LSWAP_V2_MAX_BAD)
            return ERR_TOO_MANY_BAD_SECTORS;
        kwbytes::StoreLe32(header_.data() + kBadListAt + 4 * count, page);
        kwbytes::StoreLe32(header_.data() + kBadCountAt, ++count);
        state_ |= kChanged;
    }
    state_ |= kChanged;
    return KW_OK;
}

kwRet LSWAP_FILESYSTEM::ClearBadSectors() {
    if (!IsLoaded())
        return kNotLoaded;
    if (IsVersion1()) {
        for (uint32_t page = 1; page < LSWAP_V1_MAX_PAGES; ++page)
            setPageUsable(page, page < pageCount_);
        std::memcpy(header_.data() + kSignatureAt, kSignature1, 10);
    } else {
        kwbytes::StoreLe32(header_.data() + kBadCountAt, 0);
        std::memset(header_.data() + kBadListAt, 0, 4 * LSWAP_V2_MAX_BAD);
    }
    state_ |= kChanged;
    return KW_OK;
}

kwRet LSWAP_FILESYSTEM::SetBadSectors(SECT_LIST* list) {
    if (!IsLoaded())
        return kNotLoaded;
    kwRet rc = ClearBadSectors();
    if (rc != KW_OK || list == nullptr)
        return rc;
    uint32_t start = GetPI()->ulStartSect;
    for (uint32_t i = 0; i < list->GetCount(); ++i)
        list->GetArray()[i] -= start;
    return AddBadSectors(list);
}

kwRet LSWAP_FILESYSTEM::GetBadSectors(SECT_LIST* list) {
    if (list == nullptr)
        return ERR_BAD_POINTER;
    if (!IsLoaded())
        return kNotLoaded;
    bool v1 = IsVersion1();
    uint32_t count = v1 ? pageCount_ : BadPageCount();
    for (uint32_t i = v1 ? 1 : 0; i < count; ++i) {
        if (v1 && pageUsable(i))
            continue;
        uint32_t page = v1 ? i : kwbytes::LoadLe32(header_.data() + kBadListAt + 4 * i);
        if (page == 0 || page >= pageCount_)
            continue;
        kwRet rc = list->AddRange(page * LSWAP_SECTORS_PER_PAGE, LSWAP_SECTORS_PER_PAGE);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

// Only the header page counts as used: an image of the area keeps its
// header and nothing else.
kwRet LSWAP_FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t /*flags*/) {
    if (map == nullptr)
        return ERR_BAD_POINTER;
    if (!IsLoaded())
        return kNotLoaded;
    auto* made = new (std::nothrow) STATE_MAP;
    if (made == nullptr || made->Create(pageCount_ > 0 ? pageCount_ : 1, false) != KW_OK) {
        delete made;
        return ERR_NO_MEMORY;
    }
    made->SetBit(0);
    made->ulUnitsPerBit = LSWAP_SECTORS_PER_PAGE;
    made->ulUnitCount = made->GetBitCount();
    made->ulLastUsed = 0;
    made->ulMinEnd = 0;
    delete *map;
    *map = made;
    return KW_OK;
}

kwRet LSWAP_FILESYSTEM::PrepareBadSectors(STATE_MAP** map, SECT_LIST* /*list*/,
                                          PARTITION_INFO* /*target*/) {
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet LSWAP_FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_POINTER;
    std::memcpy(buffer, GetPI()->volumeLabel, 10);
    buffer[10] = '\0';
    return KW_OK;
}

namespace {

// Runs `use` on the partition's swap area, its header read for the call.
template <class Use> kwRet WithSwap(PARTITION_INFO* pi, Use use) {
    FILESYSTEM* fs = nullptr;
    kwRet rc = OpenFileSystem(pi, &fs, FS_OPEN_SHARED, FS_KIND_LINUX_SWAP);
    if (rc != KW_OK)
        return rc;
    auto* swap = dynamic_cast<LSWAP_FILESYSTEM*>(fs);
    if (swap == nullptr)
        rc = ERR_FS_NOT_SUPPORTED;
    bool loadedHere = swap != nullptr && !swap->IsLoaded();
    if (loadedHere)
        rc = swap->Init();
    if (rc == KW_OK)
        rc = use(swap);
    if (loadedHere) {
        kwRet done = swap->Uninit();
        rc = rc != KW_OK ? rc : done;
    }
    CloseFileSystem(&fs);
    return rc;
}

} // namespace

kwRet lswapGetVolumeLabel(PARTITION_INFO* pi, char* buffer) {
    if (pi == nullptr || buffer == nullptr)
        return ERR_BAD_POINTER;
    kwRet rc = KW_OK;
    if (pi->volumeLabel[0] != 'S')
        rc = WithSwap(pi, [](LSWAP_FILESYSTEM*) { return KW_OK; });
    if (buffer != pi->volumeLabel)
        std::memcpy(buffer, pi->volumeLabel, 10);
    buffer[10] = '\0';
    return rc;
}

kwRet lswapEstimateFreeSects(PARTITION_INFO* pi, uint32_t* freeSects) {
    if (pi == nullptr || freeSects == nullptr)
        return ERR_BAD_POINTER;
    *freeSects = 0;
    return WithSwap(pi, [&](LSWAP_FILESYSTEM* swap) {
        *freeSects = swap->UsableSectors();
        return KW_OK;
    });
}
