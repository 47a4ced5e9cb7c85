// FAT_FOLDERS: the folders a path walk read last, each with an index of its
// names (long and 8.3, case-folded), so that opening the files of one folder
// one after another reads and compares that folder once, not once per file.
// The owner drops them whenever the volume changes.
#pragma once

#include "engine/core/kwmemory.h"
#include "engine/fat/fat_dir.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// One entry of a cached folder: where its short entry and its pieces are.
struct FAT_FOLDER_ITEM {
    uint32_t index = 0;
    uint32_t firstIndex = 0;
    bool label = false;
};

// One folder read up to its end mark, and its names.
struct FAT_FOLDER : KwEngineAlloc {
    FAT_DIRECTORY dir;
    std::vector<FAT_FOLDER_ITEM> items;
    std::unordered_multimap<std::u16string, uint32_t> names; // folded name -> item
    uint32_t cluster = 0;
    uint64_t lastUse = 0;
    bool valid = false; // read and indexed

    // Builds the index from `dir`; false when memory ran out.
    bool Index(bool fat32);
    // The first item named `wanted` (any case) that is a volume label or is
    // not one, as asked; null when none is.
    const FAT_FOLDER_ITEM* Find(const char16_t* wanted, bool label) const;
};

// A few folders by first cluster (0: the fixed or FAT32 root).
class FAT_FOLDERS {
public:
    static constexpr size_t kKept = 4;
    // The cached folder, or null.
    FAT_FOLDER* Get(uint32_t cluster);
    // A slot for a folder about to be read (an old one is reused).
    FAT_FOLDER* Make(uint32_t cluster);
    void Drop() { kept_.clear(); }

private:
    std::vector<std::unique_ptr<FAT_FOLDER>> kept_;
    uint64_t clock_ = 0;
};

// The case-folded form of a name, as compared.
std::u16string FatFoldName(const char16_t* name);
