#include "engine/imgaccess/part_access.h"

#include "engine/core/kwmemory.h"
#include "engine/disk/kwlib.h"
#include "engine/disk/partition_info.h"
#include "include/filetime.h"

#include <cstring>
#include <ctime>
#include <new>

namespace kw::imgaccess {

namespace {

KWIPART_ACCESS* gCurrent = nullptr;
CURRENT_PART_SCOPE* gInnermost = nullptr; // the guards open now, innermost first

// Largest run handed to the store in one read.
constexpr uint32_t kMaxRunSectors = 0x10000;

} // namespace

KWIPART_ACCESS* GetCurrentPartAccess() {
    return gCurrent;
}

CURRENT_PART_SCOPE::CURRENT_PART_SCOPE(KWIPART_ACCESS* access)
    : previous_(gCurrent), outer_(gInnermost) {
    gCurrent = access;
    gInnermost = this;
}

CURRENT_PART_SCOPE::~CURRENT_PART_SCOPE() {
    gCurrent = previous_;
    gInnermost = outer_;
}

void CURRENT_PART_SCOPE::Forget(const KWIPART_ACCESS* access) {
    if (gCurrent == access)
        gCurrent = nullptr;
    for (CURRENT_PART_SCOPE* guard = gInnermost; guard != nullptr; guard = guard->outer_) {
        if (guard->previous_ == access)
            guard->previous_ = nullptr;
    }
}

KWIPART_ACCESS::KWIPART_ACCESS(SHARED_PART_STORE* store, uint32_t part)
    : store_(store), part_(part) {
    store_->AddRef();
}

KWIPART_ACCESS::~KWIPART_ACCESS() {
    CloseAll();
    CURRENT_PART_SCOPE::Forget(this);
    store_->Release();
}

KWI_ACCESS::~KWI_ACCESS() {
    CloseAll(); // the file system reads through this object: close it first
}

KWIPART_ACCESS* CreatePartAccess(SHARED_PART_STORE* store, uint32_t part, kwRet* code) {
    KWIPART_ACCESS* access = new (std::nothrow) KWI_ACCESS(store, part);
    *code = access != nullptr ? KW_OK : ERR_PART_ACCESS_NO_MEMORY;
    return access;
}

kwRet KWIPART_ACCESS::MakePartitionRecord(uint32_t totalSectors, uint32_t type, uint32_t kind) {
    auto* pi = new PARTITION_INFO;
    if (pi == nullptr)
        return ERR_NO_MEMORY;
    pi->disk = kwGetImageDisk();
    pi->ulFlags = PI_OPENABLE | PI_LOCKED | PI_QUARANTINED | PI_NOT_LINKED;
    pi->ulStartSect = 0;
    pi->NumSects = pi->ulUsedSects = pi->ulRoom = pi->ulBootTotal = totalSectors;
    pi->ucPartType = static_cast<uint8_t>(type);
    pi->ucFsKind = static_cast<uint8_t>(kind);
    pi->ucDriveLetter = '*';
    pi->usBytesPerSector = kSectorBytes;
    pi->usSectorFactor = 1;
    pi_ = pi;
    return KW_OK;
}

bool KWIPART_ACCESS::ServeFromCache(uint32_t* sector, uint8_t** out, uint32_t* count) {
    // The sectors that the last listings left in the cache, from the first on.
    while (*count > 0 && cache_.Count() != 0 && cache_.Get(*sector, *out)) {
        ++*sector;
        *out += kSectorBytes;
        --*count;
    }
    return *count == 0;
}

void KWIPART_ACCESS::KeepListed(uint32_t sector, const uint8_t* data, uint32_t count) {
    if (!listing_)
        return;
    for (uint32_t i = 0; i < count; ++i)
        cache_.Put(sector + i, data + size_t{i} * kSectorBytes);
}

kwRet KWI_ACCESS::Open(const char*) {
    const uint32_t blocks = store_->GetBlockCount();
    const uint32_t sectorsPerBlock = store_->GetSectorsPerBlock();
    // Every offset below counts in 512-byte sectors, as the disk library does.
    if (blocks == 0 || sectorsPerBlock == 0 || store_->GetBytesPerSector() != kSectorBytes ||
        sectorsPerBlock > UINT32_MAX / kSectorBytes)
        return ERR_IMG_INVALID;
    kwRet rc = MakePartitionRecord(store_->GetTotalSectors(), store_->GetPartitionType(),
                                   store_->GetFileSystemKind());
    if (rc != KW_OK)
        return rc;
    blocks_ = blocks;
    sectorsPerBlock_ = sectorsPerBlock;
    storedLimit_ = store_->GetBlockLimit();
    native_ = store_->IsNativeImage() != 0;
    return KW_OK;
}

kwRet KWI_ACCESS::BuildUsedMap() {
    if (map_.IsBuilt())
        return KW_OK;
    if (!native_)
        return ERR_ILLEGAL_OPERATION; // an older-format part reads straight through only
    const uint32_t bytes = static_cast<uint32_t>((uint64_t{blocks_} + 7) / 8);
    uint8_t* bitmap = nullptr;
    kwRet rc = bytes == 0 ? ERR_IMG_INVALID : kwGetMemory(bytes, &bitmap);
    if (rc == KW_OK)
        rc = static_cast<kwRet>(store_->ReadPartBitmap(part_, bitmap, bytes));
    if (rc == KW_OK)
        rc = map_.Build(blocks_, sectorsPerBlock_, storedLimit_, {bitmap, bytes});
    kwFreeMemory(&bitmap);
    return rc;
}

kwRet KWI_ACCESS::ReadStored(uint32_t sector, uint8_t* out, uint32_t count) {
    uint64_t offset = 0;
    kwRet rc = map_.Locate(sector, count, &offset);
    while (rc == KW_OK && count > 0) {
        const uint32_t n = count < kMaxRunSectors ? count : kMaxRunSectors;
        rc = static_cast<kwRet>(store_->ReadPartData(part_, offset, out, n * kSectorBytes));
        if (rc == KW_OK)
            KeepListed(sector, out, n);
        offset += uint64_t{n} * kSectorBytes;
        out += size_t{n} * kSectorBytes;
        sector += n;
        count -= n;
    }
    return rc;
}

kwRet KWI_ACCESS::ReadSectors(uint32_t sector, void* buffer, uint32_t count) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    if (count == 0)
        return KW_OK;
    kwRet rc = BuildUsedMap();
    if (rc != KW_OK)
        return rc;
    auto* out = static_cast<uint8_t*>(buffer);
    return ServeFromCache(&sector, &out, &count) ? KW_OK : ReadStored(sector, out, count);
}

uint64_t DosDateToFileTime(uint32_t yearsSince1980, uint32_t month, uint32_t day, uint32_t hour,
                           uint32_t minute, uint32_t second) {
    static constexpr uint8_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const uint32_t year = 1980 + yearsSince1980;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (yearsSince1980 > 127 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
        return 0;
    std::tm local{};
    local.tm_year = static_cast<int>(year) - 1900;
    local.tm_mon = static_cast<int>(month) - 1;
    local.tm_mday = static_cast<int>(day);
    local.tm_hour = static_cast<int>(hour);
    local.tm_min = static_cast<int>(minute);
    local.tm_sec = static_cast<int>(second);
    local.tm_isdst = -1;
    const std::time_t t = std::mktime(&local);
    if (t == static_cast<std::time_t>(-1))
        return 0;
    return kwtime::FromUnix(t);
}

} // namespace kw::imgaccess

kwRet kwiPhyRead(uint32_t sector, void* buffer, uint32_t count) {
    kw::imgaccess::KWIPART_ACCESS* access = kw::imgaccess::GetCurrentPartAccess();
    return access != nullptr ? access->ReadSectors(sector, buffer, count) : ERR_IMG_NOT_OPEN;
}
