#include "imagestore/container/stream_table.h"

#include "imagestore/container/container_directory.h"
#include "imagestore/store_error.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace kwv {

using namespace kwbytes; // little-endian field loads and stores

namespace {

// What a name unit compares as: ASCII upper case, anything above 127 as '?'.
char16_t Fold(char16_t c) {
    if (c > 127) {
        return u'?';
    }
    return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
}

bool NameMatches(const std::u16string& stored, std::string_view name) {
    size_t n = 0;
    while (n < stored.size() && stored[n] != 0) {
        ++n;
    }
    if (n != name.size()) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (Fold(stored[i]) != Fold(char16_t(static_cast<unsigned char>(name[i])))) {
            return false;
        }
    }
    return true;
}

std::u16string StoredName(std::string_view name) {
    std::u16string out;
    out.reserve(name.size() + 1);
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u > 127 ? u'?' : char16_t(u));
    }
    out.push_back(0);
    return out;
}

// Parses one entry at `p` with `avail` bytes of the table left after it.
int ParseEntry(const uint8_t* p, uint64_t avail, StreamEntry* e, uint32_t* size) {
    if (avail < kEntryFixedSize || LoadLe32(p) != kMagicEntry) {
        return kStoreInvalid;
    }
    *size = LoadLe32(p + 4);
    const uint64_t nameUnits = LoadLe32(p + 44);
    const uint64_t inlineLen = LoadLe32(p + 48);
    const uint64_t childCount = LoadLe32(p + 52);
    const uint64_t need = kEntryFixedSize + 2 * nameUnits + inlineLen + 4 * childCount;
    if (*size > kStreamTableMax || *size < need || *size > avail ||
        LoadLe32(p + 40) != kEntryFixedSize) {
        return kStoreInvalid;
    }
    e->id = LoadLe32(p + 8);
    e->parent = LoadLe32(p + 12);
    e->tag1 = LoadLe32(p + 16);
    e->tag2 = LoadLe32(p + 20);
    e->start = LoadLe64(p + 24);
    e->length = LoadLe64(p + 32);
    const uint8_t* q = p + kEntryFixedSize;
    e->name.resize(nameUnits);
    for (uint64_t i = 0; i < nameUnits; ++i, q += 2) {
        e->name[i] = LoadLe16(q);
    }
    e->inlineData.assign(q, q + inlineLen);
    q += inlineLen;
    e->children.resize(childCount);
    for (uint64_t i = 0; i < childCount; ++i, q += 4) {
        e->children[i] = LoadLe32(q);
    }
    e->extra.assign(q, p + *size);
    return kStoreOk;
}

} // namespace

std::string StreamEntry::NarrowName() const {
    std::string out;
    for (char16_t c : name) {
        if (c == 0) {
            break;
        }
        out.push_back(c > 127 ? '?' : char(c));
    }
    return out;
}

std::vector<std::string_view> SplitStreamPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string_view::npos) {
            j = path.size();
        }
        if (j > i) {
            parts.push_back(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return parts;
}

void StreamTable::Reset() {
    entries_.clear();
    StreamEntry root;
    root.id = kRootId;
    entries_.push_back(root);
    nextId_ = kRootId + 1;
    Rebuild();
}

void StreamTable::Rebuild() {
    byId_.clear();
    uint64_t size = 4;
    for (size_t i = 0; i < entries_.size(); ++i) {
        byId_.emplace(entries_[i].id, i);
        size += entries_[i].Size();
    }
    size_ = uint32_t(size);
}

int StreamTable::Parse(const uint8_t* bytes, uint64_t length) {
    if (length > kStreamTableMax) {
        Reset();
        return kStoreTableFull;
    }
    std::vector<StreamEntry> parsed;
    std::unordered_map<uint32_t, size_t> ids;
    uint64_t pos = 0;
    uint32_t maxId = 0;
    for (;;) {
        if (pos + 4 > length) {
            Reset();
            return kStoreInvalid;
        }
        if (LoadLe32(bytes + pos) == 0) {
            break;
        }
        StreamEntry e;
        uint32_t size = 0;
        int err = ParseEntry(bytes + pos, length - pos, &e, &size);
        if (err == kStoreOk && pos + size > kStreamTableMax - 4) {
            err = kStoreTableFull;
        }
        if (err == kStoreOk && !ids.emplace(e.id, parsed.size()).second) {
            err = kStoreInvalid; // the same id twice
        }
        if (err != kStoreOk) {
            Reset();
            return err;
        }
        maxId = std::max(maxId, e.id);
        parsed.push_back(std::move(e));
        pos += size;
    }
    if (ids.find(kRootId) == ids.end()) {
        Reset();
        return kStoreInvalid;
    }
    entries_ = std::move(parsed);
    nextId_ = maxId + 1;
    Rebuild();
    return kStoreOk;
}

void StreamTable::Serialise(uint8_t* out) const {
    uint8_t* p = out;
    for (const StreamEntry& e : entries_) {
        StoreLe32(p, kMagicEntry);
        StoreLe32(p + 4, uint32_t(e.Size()));
        StoreLe32(p + 8, e.id);
        StoreLe32(p + 12, e.parent);
        StoreLe32(p + 16, e.tag1);
        StoreLe32(p + 20, e.tag2);
        StoreLe64(p + 24, e.start);
        StoreLe64(p + 32, e.length);
        StoreLe32(p + 40, kEntryFixedSize);
        StoreLe32(p + 44, uint32_t(e.name.size()));
        StoreLe32(p + 48, uint32_t(e.inlineData.size()));
        StoreLe32(p + 52, uint32_t(e.children.size()));
        p += kEntryFixedSize;
        for (char16_t c : e.name) {
            StoreLe16(p, c);
            p += 2;
        }
        if (!e.inlineData.empty()) {
            std::memcpy(p, e.inlineData.data(), e.inlineData.size());
            p += e.inlineData.size();
        }
        for (uint32_t c : e.children) {
            StoreLe32(p, c);
            p += 4;
        }
        if (!e.extra.empty()) {
            std::memcpy(p, e.extra.data(), e.extra.size());
            p += e.extra.size();
        }
    }
    StoreLe32(p, 0);
}

StreamEntry* StreamTable::ById(uint32_t id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : &entries_[it->second];
}

StreamEntry* StreamTable::FindChild(const StreamEntry& parent, std::string_view name) {
    for (uint32_t child : parent.children) {
        StreamEntry* e = ById(child);
        if (e != nullptr && NameMatches(e->name, name)) {
            return e;
        }
    }
    return nullptr;
}

StreamEntry* StreamTable::Find(std::string_view path) {
    StreamEntry* e = ById(kRootId);
    for (std::string_view part : SplitStreamPath(path)) {
        if (e == nullptr) {
            break;
        }
        e = FindChild(*e, part);
    }
    return e;
}

int StreamTable::Create(std::string_view path, uint32_t tag1, uint32_t tag2, uint32_t* id) {
    std::vector<std::string_view> parts = SplitStreamPath(path);
    if (parts.empty()) {
        return kStoreStreamExists; // the root always exists
    }
    StreamEntry* parent = ById(kRootId);
    for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) {
        parent = FindChild(*parent, parts[i]);
    }
    if (parent == nullptr) {
        return kStoreNoSuchStream;
    }
    if (FindChild(*parent, parts.back()) != nullptr) {
        return kStoreStreamExists;
    }
    StreamEntry e;
    e.id = nextId_;
    e.parent = parent->id;
    e.tag1 = tag1;
    e.tag2 = tag2;
    e.name = StoredName(parts.back());
    if (nextId_ == 0xFFFFFFFFu || uint64_t(size_) + e.Size() + 4 > kStreamTableMax) {
        return kStoreTableFull;
    }
    parent->children.push_back(e.id);
    *id = e.id;
    ++nextId_;
    entries_.push_back(std::move(e));
    Rebuild();
    return kStoreOk;
}

int StreamTable::Remove(uint32_t id) {
    if (id == kRootId) {
        return kStoreWrongMode;
    }
    StreamEntry* e = ById(id);
    if (e == nullptr) {
        return kStoreNoSuchStream;
    }
    // The entry's subtree; the seen-set stops a stored table whose child lists
    // form a loop.
    std::unordered_set<uint32_t> doomed{id};
    std::vector<uint32_t> pending{id};
    while (!pending.empty()) {
        const StreamEntry* at = ById(pending.back());
        pending.pop_back();
        if (at == nullptr) {
            continue;
        }
        for (uint32_t child : at->children) {
            if (child != kRootId && doomed.insert(child).second) {
                pending.push_back(child);
            }
        }
    }
    if (StreamEntry* parent = ById(e->parent)) {
        std::erase(parent->children, id);
    }
    std::erase_if(entries_, [&](const StreamEntry& x) { return doomed.count(x.id) != 0; });
    Rebuild();
    return kStoreOk;
}

int StreamTable::SetInline(uint32_t id, const uint8_t* data, uint32_t length) {
    StreamEntry* e = ById(id);
    if (e == nullptr) {
        return kStoreNoSuchStream;
    }
    const uint64_t newSize = uint64_t(size_) - e->inlineData.size() + length;
    if (newSize > kStreamTableMax) {
        return kStoreTableFull;
    }
    e->inlineData.assign(data, data + length);
    size_ = uint32_t(newSize);
    return kStoreOk;
}

} // namespace kwv
