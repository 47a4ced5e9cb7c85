#include "engine/fat/fat_dir.h"

#include "include/kwbytes.h"

#include <cstring>
#include <new>

using kwbytes::LoadLe16;
using kwbytes::LoadLe32;

FAT_DIR_ENTRY FAT_DIR_ENTRY::Parse(std::span<const uint8_t, FAT_DIR_ENTRY_SIZE> raw, bool fat32) {
    FAT_DIR_ENTRY e;
    std::memcpy(e.name, raw.data(), 11);
    e.attributes = raw[FDE_ATTR];
    e.caseFlags = raw[FDE_CASE];
    e.firstCluster = LoadLe16(raw.data() + FDE_CLUSTER_LOW);
    if (fat32)
        e.firstCluster |= uint32_t{LoadLe16(raw.data() + FDE_CLUSTER_HIGH)} << 16;
    e.size = LoadLe32(raw.data() + FDE_SIZE);
    e.writeTime = LoadLe16(raw.data() + FDE_WTIME);
    e.writeDate = LoadLe16(raw.data() + FDE_WDATE);
    return e;
}

FAT_DIRECTORY::~FAT_DIRECTORY() {
    delete[] bytes_;
    delete[] sectors_;
}

kwRet FAT_DIRECTORY::Reserve(uint32_t sectors) {
    if (sectors <= capacity_)
        return KW_OK;
    auto* bytes = new (std::nothrow) uint8_t[uint64_t{sectors} * 512];
    auto* numbers = new (std::nothrow) uint32_t[sectors];
    if (bytes == nullptr || numbers == nullptr) {
        delete[] bytes;
        delete[] numbers;
        return ERR_NO_MEMORY;
    }
    if (count_ > 0) {
        std::memcpy(bytes, bytes_, count_ * 512u);
        std::memcpy(numbers, sectors_, count_ * 4u);
    }
    delete[] bytes_;
    delete[] sectors_;
    bytes_ = bytes;
    sectors_ = numbers;
    capacity_ = sectors;
    return KW_OK;
}

bool FAT_DIR_WALK::Next(FAT_DIR_ITEM* item) {
    while (at_ < dir_.EntryCount()) {
        uint32_t index = at_++;
        const uint8_t* e = dir_.Entry(index);
        if (e[0] == 0) {
            at_ = dir_.EntryCount();
            return false;
        }
        if (e[0] == FAT_DELETED) {
            lfn_.Reset();
            continue;
        }
        if (e[FDE_ATTR] == FAT_ATTR_LFN) {
            lfn_.Piece(e, index);
            continue;
        }
        item->index = index;
        item->hasLongName = lfn_.Finish(e, item->longName, &item->firstIndex);
        if (!item->hasLongName)
            item->firstIndex = index;
        item->entry = FAT_DIR_ENTRY::Parse(
            std::span<const uint8_t, FAT_DIR_ENTRY_SIZE>(e, FAT_DIR_ENTRY_SIZE), fat32_);
        return true;
    }
    return false;
}
