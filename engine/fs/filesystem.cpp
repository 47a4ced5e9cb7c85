#include "engine/fs/filesystem.h"

#include "engine/core/dbgmgr.h"

#include <cstring>

void FreeSectorRuns(SECTOR_RUN* first) {
    while (first != nullptr) {
        SECTOR_RUN* next = first->next;
        delete first;
        first = next;
    }
}

FILESYSTEM::FILESYSTEM(PARTITION_INFO* pi) : pi_(pi) {
    if (kwLogOpen(pi, &handle_) != KW_OK)
        handle_ = FS_NO_HANDLE;
}

FILESYSTEM::~FILESYSTEM() {
    if (locked_)
        Unlock(0);
    if (handle_ != FS_NO_HANDLE)
        kwLogClose(handle_);
}

namespace {

// A new map of `bits` bits, every bit set or clear; replaces what *map held.
kwRet MakeMap(STATE_MAP** map, uint32_t bits, bool setAll) {
    delete *map;
    *map = new (std::nothrow) STATE_MAP;
    if (*map == nullptr)
        return ERR_NO_MEMORY;
    kwRet rc = (*map)->Create(bits, setAll);
    if (rc != KW_OK) {
        delete *map;
        *map = nullptr;
    }
    return rc;
}

} // namespace

kwRet FILESYSTEM::GenerateBitmap(STATE_MAP** map, uint32_t /*flags*/) {
    if (map == nullptr)
        return ERR_BAD_ARGUMENT;
    uint32_t bits = pi_->ucFsKind == FS_KIND_RAW ? 1 : pi_->NumSects;
    return MakeMap(map, bits, true);
}

kwRet FILESYSTEM::GenerateBitmaps(STATE_MAP** map1, STATE_MAP** map2, uint32_t flags) {
    kwRet rc = GenerateBitmap(map1, flags);
    if (rc != KW_OK || (flags & FS_MAP_FILE_DATA) == 0)
        return rc;
    if (map2 == nullptr)
        return ERR_BAD_ARGUMENT;
    return MakeMap(map2, (*map1)->GetBitCount(), false);
}

kwRet FILESYSTEM::PrepareBadSectors(STATE_MAP** map, SECT_LIST* list, PARTITION_INFO*) {
    if (list != nullptr && list->GetCount() > 0)
        return ERR_BAD_SECTOR_IN_AREA;
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet FILESYSTEM::CheckBadSectors(STATE_MAP** map, SECT_LIST* list) {
    if (list != nullptr && list->GetCount() > 0)
        return ERR_TOO_MANY_BAD_SECTORS;
    return GenerateBitmap(map, FS_MAP_METADATA | FS_MAP_FILE_DATA);
}

kwRet FILESYSTEM::GetVolumeLabel(char* buffer) {
    if (buffer == nullptr)
        return ERR_BAD_ARGUMENT;
    buffer[0] = '\0';
    return KW_OK;
}

void FILESYSTEM::SetPartition(PARTITION_INFO* pi) {
    if (pi == pi_)
        return;
    if (handle_ != FS_NO_HANDLE)
        kwLogClose(handle_);
    if (pi_ != nullptr && pi_->fileSystem == this) {
        pi_->fileSystem = nullptr;
        pi->fileSystem = this;
    }
    pi_ = pi;
    handle_ = FS_NO_HANDLE;
    locked_ = false;
    if (kwLogOpen(pi, &handle_) != KW_OK)
        handle_ = FS_NO_HANDLE;
}

kwRet FILESYSTEM::Lock() {
    kwRet rc = kwLogLock(handle_);
    if (rc == KW_OK)
        locked_ = true;
    return rc;
}

kwRet FILESYSTEM::Unlock(uint8_t flag) {
    kwRet rc = locked_ ? kwLogUnlock(handle_, flag) : KW_OK;
    locked_ = false;
    return rc;
}

kwRet FILESYSTEM::ReadSectors(uint32_t first, void* buffer, uint32_t count) {
    return kwLogRead(handle_, first, buffer, count);
}

kwRet FILESYSTEM::WriteSectors(uint32_t first, const void* buffer, uint32_t count) {
    return kwLogWrite(handle_, first, buffer, count);
}

kwRet PARTITION_HOLD::Take(PARTITION_INFO* pi) {
    kwRet rc = kwLogOpen(pi, &handle);
    if (rc != KW_OK) {
        handle = FS_NO_HANDLE;
        return rc;
    }
    rc = kwLogLock(handle);
    shared = rc == ERR_ALREADY_LOCKED;
    locked = rc == KW_OK || shared;
    if (!locked) {
        Release();
        return rc;
    }
    return KW_OK;
}

void PARTITION_HOLD::Release() {
    if (locked && !shared)
        kwLogUnlock(handle, 0);
    locked = false;
    if (handle != FS_NO_HANDLE)
        kwLogClose(handle);
    handle = FS_NO_HANDLE;
}
