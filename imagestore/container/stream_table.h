// The container's stream table: the tree of named streams with their tag
// words, stream-space extents and inline data, kept in table order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kwv {

constexpr uint32_t kMagicEntry = 0x45444324; // "$CDE"
constexpr uint32_t kEntryFixedSize = 56;
constexpr uint32_t kRootId = 1;

// One STREAM_ENTRY.
struct StreamEntry {
    uint32_t id = 0;
    uint32_t parent = 0;
    uint32_t tag1 = 0;
    uint32_t tag2 = 0;
    uint64_t start = 0;
    uint64_t length = 0;
    std::u16string name; // as stored, terminating zero included (empty for the root)
    std::vector<uint8_t> inlineData;
    std::vector<uint32_t> children;
    std::vector<uint8_t> extra; // bytes of a read entry past its contents, kept as they were

    uint64_t Size() const {
        return kEntryFixedSize + 2 * uint64_t(name.size()) + inlineData.size() +
               4 * uint64_t(children.size()) + extra.size();
    }
    // The name as narrow text (units above 127 as '?').
    std::string NarrowName() const;
};

// The whole table; owns its entries.
class StreamTable {
public:
    StreamTable() { Reset(); }

    // A new table: the root alone.
    void Reset();
    // Parses `length` bytes of a stored table. Returns 0, 1802 (damaged) or
    // 1809 (past the table's limit). On failure the table is left as new.
    int Parse(const uint8_t* bytes, uint64_t length);
    // Bytes of the serialised table, terminating zero included.
    uint32_t Size() const { return size_; }
    void Serialise(uint8_t* out) const;

    // The entry a path names ("" names the root), or null.
    StreamEntry* Find(std::string_view path);
    StreamEntry* ById(uint32_t id);
    // Adds an entry as the last child of its parent: 504 when the parent path
    // is absent, 502 when the name exists, 1809 when the table would pass its
    // limit.
    int Create(std::string_view path, uint32_t tag1, uint32_t tag2, uint32_t* id);
    // Replaces an entry's inline data; 1809 when the table would pass its limit.
    int SetInline(uint32_t id, const uint8_t* data, uint32_t length);
    // Takes an entry and everything below it out of the table (their data
    // stays in the stream space, referenced by nothing). 504 when the entry is
    // absent, 2 for the root.
    int Remove(uint32_t id);

private:
    StreamEntry* FindChild(const StreamEntry& parent, std::string_view name);
    void Rebuild();

    std::vector<StreamEntry> entries_;
    std::unordered_map<uint32_t, size_t> byId_;
    uint32_t nextId_ = 2;
    uint32_t size_ = 0;
};

// Splits a stream path at '\' and '/', skipping empty components.
std::vector<std::string_view> SplitStreamPath(std::string_view path);

} // namespace kwv
