#include "engine/netware/nw_dir.h"

#include "engine/core/dbgmgr.h"
#include "engine/core/statemap.h"
#include "engine/netware/nw_check.h"
#include "engine/netware/nw_fat.h"
#include "engine/netware/nw_volume.h"
#include "kwbytes.h"

#include <algorithm>
#include <cstring>

using kwbytes::LoadLe32;

namespace kw::netware {

namespace {

// Directory memory: at most 8/10 of the budget, 4 MB windows to start with.
constexpr uint32_t kWindowBytes = 0x400000;

bool IsDirectory(const uint8_t* entry) {
    return (entry[DE_ATTRIBUTES] & kDirectoryAttribute) != 0;
}

void MarkBlock(STATE_MAP* map, uint32_t block) {
    if (map != nullptr && block < map->GetBitCount())
        map->SetBit(block);
}

} // namespace

NWDir::NWDir(NWVolume* volume) : volume_(volume) {
    windowBlocks_ = std::max<uint32_t>(1, kWindowBytes / volume->BytesPerBlock());
    blockChains_ = std::min<uint32_t>(volume->BytesPerBlock() / kSectorBytes, kMaxSuballocChains);
}

NWDir::~NWDir() {
    if (table_ != nullptr)
        kwFreeMemory(&table_);
}

// Walks both directory chains in step; each next block must lie in the
// volume and carry the next position, in both chains.
kwRet NWDir::CountBlocks(NWFat* fat, uint32_t* count) {
    *count = 0;
    const uint32_t blocks = volume_->BlocksInVolume();
    uint32_t p = volume_->FirstDirBlock();
    uint32_t m = volume_->FirstMirrorDirBlock();
    if (p >= blocks || fat->Value(p) != 0)
        return ERR_NW_FIRST_DIR;
    if (m >= blocks || fat->Value(m) != 0)
        return ERR_NW_FIRST_MIRROR_DIR;
    uint32_t n = 1;
    while (fat->Link(p) != kChainEnd && fat->Link(m) != kChainEnd) {
        const uint32_t np = fat->Link(p);
        const uint32_t nm = fat->Link(m);
        if (np >= blocks || nm >= blocks || fat->Value(np) != fat->Value(p) + 1 ||
            fat->Value(nm) != fat->Value(m) + 1 || n >= blocks)
            return ERR_NW_DIR_CHAIN;
        p = np;
        m = nm;
        ++n;
    }
    *count = n;
    return KW_OK;
}

kwRet NWDir::LoadWindow(NWFat* fat, uint32_t n, uint32_t s) {
    const uint32_t bpb = volume_->BytesPerBlock();
    uint32_t budget = 0;
    kwQueryMemoryBudget(&budget);
    const uint64_t limit = std::max<uint64_t>(uint64_t{budget} * 8 / 10, bpb);
    n = static_cast<uint32_t>(std::min<uint64_t>(n, limit / bpb));
    n = std::max<uint32_t>(n, 1);
    uint64_t bytes = uint64_t{n} * bpb;
    if (table_ == nullptr || tableBytes_ < bytes) {
        if (table_ != nullptr)
            kwFreeMemory(&table_);
        tableBytes_ = 0;
        while (kwGetMemory(static_cast<uint32_t>(bytes), &table_) != KW_OK) {
            DbgPrintf("Error allocating %dMb memory for Directory\r\n", int(bytes >> 20));
            if (n == 1)
                return ERR_NW_DIR_MEMORY;
            n -= std::max<uint32_t>(n / 4, 1);
            bytes = uint64_t{n} * bpb;
        }
        tableBytes_ = static_cast<uint32_t>(bytes);
    }
    windowBlocks_ = n;
    uint32_t p = volume_->FirstDirBlock();
    uint32_t m = volume_->FirstMirrorDirBlock();
    uint32_t read = 0;
    for (uint32_t i = 0; i < dirBlocks_ && read < n; ++i) {
        if (i >= s) {
            uint8_t* at = table_ + uint64_t{read} * bpb;
            kwRet rc = volume_->ReadBlock(p, at);
            if (rc != KW_OK && (rc = volume_->ReadBlock(m, at)) != KW_OK)
                return rc;
            ++read;
        }
        p = fat->Link(p);
        m = fat->Link(m);
    }
    const uint32_t perBlock = bpb / kDirEntryBytes;
    firstEntry_ = perBlock * s;
    inMemory_ = read * perBlock;
    lastEntry_ = firstEntry_ + inMemory_ - 1;
    return KW_OK;
}

kwRet NWDir::Read(uint32_t blocks, uint32_t first) {
    NWFat* fat = nullptr;
    kwRet rc = volume_->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    rc = CountBlocks(fat, &dirBlocks_);
    if (rc == KW_OK) {
        totalEntries_ =
            static_cast<uint32_t>(uint64_t{volume_->BytesPerBlock()} * dirBlocks_ / kDirEntryBytes);
        first = std::min(first, dirBlocks_ - 1);
        if (blocks == 0 || blocks > dirBlocks_ - first)
            blocks = dirBlocks_ - first;
        rc = LoadWindow(fat, blocks, first);
    }
    volume_->ReleaseFat(&fat);
    if (rc != KW_OK && table_ != nullptr) {
        kwFreeMemory(&table_);
        tableBytes_ = 0;
        inMemory_ = 0;
    }
    return rc;
}

const uint8_t* NWDir::getEntry(uint32_t index) {
    if (index >= totalEntries_ || table_ == nullptr)
        return nullptr;
    if (index < firstEntry_ || index > lastEntry_ || inMemory_ == 0) {
        if (modified_)
            WriteBack();
        const uint32_t perBlock = volume_->BytesPerBlock() / kDirEntryBytes;
        kwRet rc = Read(windowBlocks_, index / perBlock);
        if (rc != KW_OK) {
            loadError_ = rc;
            return nullptr;
        }
        if (index < firstEntry_ || index > lastEntry_)
            return nullptr;
    }
    return table_ + uint64_t{index - firstEntry_} * kDirEntryBytes;
}

uint8_t* NWDir::getEntryForWrite(uint32_t index) {
    const uint8_t* entry = getEntry(index);
    if (entry != nullptr)
        modified_ = true;
    return const_cast<uint8_t*>(entry);
}

kwRet NWDir::WriteBack() {
    if (!modified_)
        return KW_OK;
    NWFat* fat = nullptr;
    kwRet rc = volume_->GetFat(&fat);
    if (rc != KW_OK)
        return rc;
    const uint32_t bpb = volume_->BytesPerBlock();
    const uint32_t firstBlock = firstEntry_ / (bpb / kDirEntryBytes);
    const uint32_t held = inMemory_ / (bpb / kDirEntryBytes);
    uint32_t p = volume_->FirstDirBlock();
    uint32_t m = volume_->FirstMirrorDirBlock();
    for (uint32_t i = 0; rc == KW_OK && i < firstBlock + held && i < dirBlocks_; ++i) {
        if (i >= firstBlock) {
            const uint8_t* at = table_ + uint64_t{i - firstBlock} * bpb;
            rc = volume_->WriteBlock(p, at);
            if (rc == KW_OK)
                rc = volume_->WriteBlock(m, at);
        }
        p = fat->Link(p);
        m = fat->Link(m);
    }
    volume_->ReleaseFat(&fat);
    modified_ = false;
    return rc;
}

kwRet NWDir::ReadSuballocHeads() {
    suballocFound_ = 0;
    const uint8_t* root = getEntry(0);
    if (root == nullptr)
        return loadError_ != KW_OK ? loadError_ : ERR_NW_DIR_ENTRY;
    uint32_t number = LoadLe32(root + DE_ROOT_SUBALLOC);
    for (uint32_t steps = 0; number != 0; ++steps) {
        const uint8_t* entry = getEntry(number);
        if (entry == nullptr || steps >= totalEntries_ ||
            LoadLe32(entry + DE_PARENT) != kEntrySuballoc)
            return loadError_ != KW_OK ? loadError_ : ERR_NW_SUBALLOC_ENTRY;
        for (uint32_t k = 0; k < kSuballocSlots && suballocFound_ < blockChains_; ++k)
            if (uint32_t head = LoadLe32(entry + DE_SUBALLOC_HEADS + 4 * k); head != 0)
                heads_[suballocFound_++] = head;
        number = LoadLe32(entry + DE_SUBALLOC_NEXT);
    }
    return KW_OK;
}

kwRet NWDir::CheckRoot(KWERRORMGR* errors, STATE_MAP* map, NWFat* fat) {
    CheckReport report(errors);
    const uint8_t* root = getEntry(0);
    if (root == nullptr)
        return loadError_ != KW_OK ? loadError_ : ERR_NW_DIR_ENTRY;
    if ((LoadLe32(root + DE_PARENT) != kEntryRoot || (root[DE_ROOT_FLAGS] & kRootFlag) == 0) &&
        !report.Add(ERR_NW_ROOT_ENTRY, kClassStructure))
        return report.Result();
    for (size_t at : {size_t{DE_ROOT_CHAIN}, size_t{DE_ROOT_CHAIN2}})
        if (uint32_t b = LoadLe32(root + at); b != 0)
            MarkBlock(map, b);
    for (uint32_t i = 0; i < suballocFound_; ++i) {
        if (fat != nullptr && !fat->IsChainHead(heads_[i]) &&
            !report.Add(ERR_NW_SUBALLOC_CHAIN, kClassStructure))
            return report.Result();
        MarkBlock(map, heads_[i]);
    }
    if (suballocFound_ != 0 && suballocFound_ != blockChains_)
        report.Add(ERR_NW_SUBALLOC_COUNT, kClassStructure);
    return report.Result();
}

kwRet NWDir::CheckEntry(uint32_t index, KWERRORMGR* errors, STATE_MAP* map, NWFat* fat,
                        uint32_t* parentCache) {
    CheckReport report(errors);
    const uint8_t* e = getEntry(index);
    if (e == nullptr)
        return loadError_ != KW_OK ? loadError_ : ERR_NW_DIR_ENTRY;
    const uint32_t parent = LoadLe32(e + DE_PARENT);
    const uint32_t blocks = volume_->BlocksInVolume();
    if (parent >= 0x80000000) {
        if (parent < kEntrySuballoc)
            report.Add(ERR_NW_DIR_ENTRY, kClassStructure);
        else if (parent == kEntrySuballoc && suballocFound_ == 0)
            report.Add(ERR_NW_SUBALLOC_COUNT, kClassStructure);
        return report.Result();
    }
    if (parent >= totalEntries_)
        return report.Add(ERR_NW_DIR_ENTRY, kClassStructure), report.Result();
    const bool isDir = IsDirectory(e);
    const uint8_t ns = e[DE_NAME_SPACE];
    uint32_t first = LoadLe32(e + DE_FIRST_BLOCK);
    uint32_t ns1 = LoadLe32(e + DE_NS1_BLOCK);
    if (inMemory_ == totalEntries_ && parent != *parentCache) {
        const uint8_t* p = getEntry(parent);
        if (p == nullptr || !IsDirectory(p)) {
            if (!report.Add(ERR_NW_PARENT_NOT_DIR, kClassStructure))
                return report.Result();
        } else {
            *parentCache = parent;
        }
    }
    if (isDir)
        return report.Result();
    if (ns == 1 && (ns1 & kSuballocBit) == 0) {
        if (ns1 >= blocks)
            report.Add(ERR_NW_DIR_ENTRY, kClassStructure);
        else
            MarkBlock(map, ns1);
    } else if (ns > 4) {
        report.Add(ERR_NW_DIR_ENTRY, kClassStructure);
    } else if (ns == 0 && (first & kSuballocBit) == 0) {
        if (fat != nullptr && !fat->IsChainHead(first) &&
            !report.Add(ERR_NW_FILE_CHAIN, kClassStructure))
            return report.Result();
        if (first >= blocks)
            report.Add(ERR_NW_DIR_ENTRY, kClassStructure);
        else
            MarkBlock(map, first);
    }
    return report.Result();
}

kwRet NWDir::Check(KWERRORMGR* errors, STATE_MAP* map, NWFat* fat) {
    if (suballocFound_ == 0)
        if (kwRet rc = ReadSuballocHeads(); rc != KW_OK)
            return rc;
    kwRet first = CheckRoot(errors, map, fat);
    uint32_t parentCache = 0xFFFFFFFF;
    for (uint32_t i = 1; i < totalEntries_; ++i) {
        kwRet rc = CheckEntry(i, errors, map, fat, &parentCache);
        if (loadError_ != KW_OK)
            return loadError_;
        if (rc == ERR_TOO_MANY_ERRORS)
            return rc;
        if (first == KW_OK)
            first = rc;
    }
    return first;
}

kwRet NWDir::MarkUsed(STATE_MAP* map, PARTITION_INFO* pi) {
    if (suballocFound_ == 0)
        if (kwRet rc = ReadSuballocHeads(); rc != KW_OK)
            return rc;
    kwRet rc = volume_->MarkChain(map, volume_->FirstDirBlock(), pi);
    if (rc == KW_OK)
        rc = volume_->MarkChain(map, volume_->FirstMirrorDirBlock(), pi);
    const uint8_t* root = getEntry(0);
    for (size_t at : {size_t{DE_ROOT_CHAIN}, size_t{DE_ROOT_CHAIN2}})
        if (uint32_t b = root != nullptr ? LoadLe32(root + at) : 0; rc == KW_OK && b != 0)
            rc = volume_->MarkChain(map, b, pi);
    for (uint32_t i = 0; rc == KW_OK && i < suballocFound_; ++i)
        rc = volume_->MarkChain(map, heads_[i], pi);
    return rc;
}

} // namespace kw::netware
