#include "engine/fat/fat_folders.h"

#include "engine/core/codepage.h"
#include "engine/fat/fat_names.h"

#include <new>

std::u16string FatFoldName(const char16_t* name) {
    std::u16string out;
    for (; *name != 0; ++name)
        out.push_back(static_cast<char16_t>(cpFoldCase(*name, 2)));
    return out;
}

bool FAT_FOLDER::Index(bool fat32) {
    items.clear();
    names.clear();
    auto item = std::unique_ptr<FAT_DIR_ITEM>(new (std::nothrow) FAT_DIR_ITEM);
    if (!item)
        return false;
    FAT_DIR_WALK walk(dir, fat32);
    char shortName[40];
    char16_t shortWide[16];
    while (walk.Next(item.get())) {
        uint32_t slot = static_cast<uint32_t>(items.size());
        items.push_back({item->index, item->firstIndex, item->entry.IsVolumeLabel()});
        if (item->hasLongName)
            names.emplace(FatFoldName(item->longName), slot);
        ShortNameDisplay(item->entry.name, item->entry.caseFlags, shortName, sizeof shortName);
        Utf8ToUtf16(shortName, shortWide, 16);
        names.emplace(FatFoldName(shortWide), slot);
    }
    return true;
}

const FAT_FOLDER_ITEM* FAT_FOLDER::Find(const char16_t* wanted, bool label) const {
    auto [first, last] = names.equal_range(FatFoldName(wanted));
    const FAT_FOLDER_ITEM* best = nullptr;
    for (auto it = first; it != last; ++it) {
        const FAT_FOLDER_ITEM& i = items[it->second];
        if (i.label == label && (best == nullptr || i.index < best->index))
            best = &i;
    }
    return best;
}

FAT_FOLDER* FAT_FOLDERS::Get(uint32_t cluster) {
    for (auto& f : kept_) {
        if (f->valid && f->cluster == cluster) {
            f->lastUse = ++clock_;
            return f.get();
        }
    }
    return nullptr;
}

FAT_FOLDER* FAT_FOLDERS::Make(uint32_t cluster) {
    FAT_FOLDER* slot = nullptr;
    if (kept_.size() < kKept) {
        auto* made = new FAT_FOLDER; // the engine allocator gives null when out of memory
        if (made == nullptr)
            return nullptr;
        kept_.emplace_back(made);
        slot = made;
    } else {
        slot = kept_.front().get();
        for (auto& f : kept_)
            slot = f->lastUse < slot->lastUse ? f.get() : slot;
    }
    slot->cluster = cluster;
    slot->valid = false;
    slot->lastUse = ++clock_;
    slot->items.clear();
    slot->names.clear();
    return slot;
}
