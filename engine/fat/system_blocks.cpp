#include "engine/fat/system_blocks.h"

#include "engine/core/dbgmgr.h"

#include <cstring>
#include <new>

SYSTEM_BLOCKS::SYSTEM_BLOCKS(uint32_t highestBlock, uint32_t blockSize)
    : blockSize_(blockSize), highest_(highestBlock) {
    present_.Create(highestBlock + 1, false);
}

SYSTEM_BLOCKS::~SYSTEM_BLOCKS() {
    Reset();
}

void SYSTEM_BLOCKS::Reset() {
    for (auto& [number, entry] : blocks_)
        delete[] entry.data;
    blocks_.clear();
    present_.ClearRange(0, present_.GetBitCount());
}

void SYSTEM_BLOCKS::MakeFree(BLOCK_ENTRY& e) {
    delete[] e.data;
    e.data = nullptr;
    e.size = 0;
    e.flags |= BLOCK_FREE;
}

bool SYSTEM_BLOCKS::CompressBlockData(BLOCK_ENTRY& e, uint32_t /*flags*/) {
    for (uint32_t i = 0; i < e.size; ++i)
        if (e.data[i] != 0)
            return false;
    MakeFree(e);
    return true;
}

bool SYSTEM_BLOCKS::UncompressBlockData(const BLOCK_ENTRY& e, uint8_t* buffer, uint32_t size) {
    if ((e.flags & BLOCK_FREE) == 0)
        return false;
    std::memset(buffer, 0, size);
    return true;
}

kwRet SYSTEM_BLOCKS::AddBlock(uint32_t number, const uint8_t* data, uint16_t owner1,
                              uint16_t owner2, uint32_t flags) {
    if (present_.GetWords() == nullptr)
        return ERR_NO_MEMORY;
    if (number > highest_)
        return ERR_BAD_ARGUMENT;
    if (present_.IsSet(number)) {
        DbgPrintf("AddBlock Error: block %lu already exists\n", static_cast<unsigned long>(number));
        return ERR_BLOCK_EXISTS;
    }
    BLOCK_ENTRY e;
    e.number = number;
    e.owner1 = owner1;
    e.owner2 = owner2;
    e.flags = (flags & ADD_NOT_CHANGED) ? 0 : BLOCK_CHANGED;
    if (data != nullptr) {
        e.data = new (std::nothrow) uint8_t[blockSize_];
        if (e.data == nullptr)
            return ERR_NO_MEMORY;
        std::memcpy(e.data, data, blockSize_);
        e.size = blockSize_;
    } else {
        e.flags |= BLOCK_FREE;
    }
    CompressBlockData(e, flags);
    try {
        blocks_.emplace(number, e);
    } catch (const std::bad_alloc&) {
        delete[] e.data;
        return ERR_NO_MEMORY;
    }
    present_.SetBit(number);
    return KW_OK;
}

kwRet SYSTEM_BLOCKS::FindBlock(uint32_t number, BLOCK_ENTRY** entry) {
    if (entry == nullptr)
        return ERR_BAD_ARGUMENT;
    *entry = nullptr;
    if (!present_.IsSet(number))
        return ERR_BLOCK_NOT_FOUND;
    auto it = blocks_.find(number);
    if (it == blocks_.end()) {
        DbgPrintf("FindBlock Error: Block bitmap inconsistant\n");
        return ERR_BLOCK_NOT_FOUND;
    }
    *entry = &it->second;
    return KW_OK;
}

kwRet SYSTEM_BLOCKS::ReadBlock(uint32_t number, uint8_t* buffer, uint32_t size) {
    BLOCK_ENTRY* e = nullptr;
    kwRet rc = FindBlock(number, &e);
    if (rc != KW_OK)
        return rc;
    if (UncompressBlockData(*e, buffer, size))
        return KW_OK;
    uint32_t n = e->size < size ? e->size : size;
    if (n != 0)
        std::memcpy(buffer, e->data, n);
    std::memset(buffer + n, 0, size - n);
    return KW_OK;
}

kwRet SYSTEM_BLOCKS::DeleteBlock(uint32_t number) {
    auto it = present_.IsSet(number) ? blocks_.find(number) : blocks_.end();
    if (it == blocks_.end())
        return ERR_BLOCK_NOT_FOUND;
    delete[] it->second.data;
    blocks_.erase(it);
    present_.ClearBit(number);
    return KW_OK;
}

kwRet SYSTEM_BLOCKS::ChangeBlockNumber(uint32_t oldNumber, uint32_t newNumber, bool keepClean) {
    if (newNumber > highest_) {
        DbgPrintf("ChangeBlockNumber - Unable to change %lu to %lu (new number is beyond %lu)\n",
                  static_cast<unsigned long>(oldNumber), static_cast<unsigned long>(newNumber),
                  static_cast<unsigned long>(highest_));
        return ERR_BAD_ARGUMENT;
    }
    if (present_.IsSet(newNumber)) {
        DbgPrintf("ChangeBlockNumber Error: Trying to change block %lu to %lu but it already "
                  "exists\n",
                  static_cast<unsigned long>(oldNumber), static_cast<unsigned long>(newNumber));
        return ERR_BLOCK_EXISTS;
    }
    auto it = present_.IsSet(oldNumber) ? blocks_.find(oldNumber) : blocks_.end();
    if (it == blocks_.end())
        return ERR_BLOCK_NOT_FOUND;
    BLOCK_ENTRY e = it->second;
    e.number = newNumber;
    if (!keepClean)
        e.flags |= BLOCK_CHANGED;
    try {
        blocks_.emplace(newNumber, e);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
    blocks_.erase(it);
    present_.ClearBit(oldNumber);
    present_.SetBit(newNumber);
    return KW_OK;
}

kwRet SYSTEM_BLOCKS::SetHighestBlock(uint32_t number) {
    if (number < highest_) {
        while (!blocks_.empty() && blocks_.rbegin()->first > number)
            DeleteBlock(blocks_.rbegin()->first);
        present_.Shrink(highest_ - number);
    } else if (number > highest_) {
        uint32_t from = highest_ + 1;
        if (present_.Grow(number - highest_) != KW_OK)
            return ERR_NO_MEMORY;
        present_.ClearRange(from, number - highest_);
    }
    highest_ = number;
    return KW_OK;
}
