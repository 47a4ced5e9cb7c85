// The $I30 index of one folder as a B-tree of file names, for changing it:
// insert with node splits and root growth, delete with successor keys and
// with an emptied node filled from its sibling or merged into it, and
// in-place updates of a name's key (sizes, times).
//
// The root lives in the folder's $INDEX_ROOT value, every other node in an
// "INDX" buffer of $INDEX_ALLOCATION. INDEX_STORE is where they are read and
// written; the tree itself knows nothing of records or clusters.
//
// An operation first loads the nodes it touches and changes them in memory
// only; any failure up to there (a damaged node, no room) writes nothing.
// Then it writes every changed buffer, and every buffer above it, into a
// buffer not in use (copy on write), flushes, then writes the root in place
// together with the index's bitmap: the buffers of the new tree marked in
// use, those of the old one no longer. That one write of the folder's record
// switches the index from its old state to its new one, for a walk down the
// tree and for a reader that lists every buffer the bitmap marks alike; a cut
// between any two writes leaves the old index or the new one. The caller
// flushes after the root when the change must be durable.
#pragma once

#include "engine/ntfs/ntfs_layout.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kw::ntfs {

// The VCN by which the tree names its root, and "no node".
inline constexpr uint64_t INDEX_ROOT_VCN = 0xFFFFFFFFFFFFFFFEull;
inline constexpr uint64_t INDEX_NO_VCN = 0xFFFFFFFFFFFFFFFFull;

// 6: a node has no room for what must go into it.
inline constexpr kwRet ERR_INDEX_NO_ROOM = 6;

// One index entry in memory: the record it names, its $FILE_NAME key and the
// node below it (INDEX_NO_VCN for none).
struct IndexKey {
    uint64_t reference = 0;
    std::vector<uint8_t> key;
    uint64_t child = INDEX_NO_VCN;

    bool HasChild() const { return child != INDEX_NO_VCN; }
    // Bytes on disk: header, key rounded up to 8, then the child's VCN.
    uint32_t Length() const;
    // The name inside the key (UTF-16LE); empty for a key too short to hold one.
    Bytes Name() const;
};

// An index entry for a $FILE_NAME value naming `reference`.
IndexKey MakeIndexKey(uint64_t reference, Bytes fileName);

// Where one folder's index lives. Buffers are passed as stored, with their
// fix-ups applied; the tree removes and applies them itself.
class INDEX_STORE {
public:
    virtual ~INDEX_STORE() = default;
    // Bytes per index buffer.
    virtual uint32_t BufferSize() const = 0;
    // The $INDEX_ROOT value.
    virtual kwRet ReadRoot(std::vector<uint8_t>* value) = 0;
    // The longest $INDEX_ROOT value the folder's record can hold now, keeping
    // room for what the first index buffer adds to the record.
    virtual uint32_t RootRoom() = 0;
    // The root value and the index bitmap's bits of the buffers taken into
    // use and given back, in one write of the folder's record.
    virtual kwRet WriteRoot(const std::vector<uint8_t>& value, const std::vector<uint64_t>& taken,
                            const std::vector<uint64_t>& given) = 0;
    virtual kwRet ReadBuffer(uint64_t vcn, std::vector<uint8_t>* bytes) = 0;
    virtual kwRet WriteBuffer(uint64_t vcn, const std::vector<uint8_t>& bytes) = 0;
    // The VCN of a buffer that is not in use and was not handed out since the
    // last WriteRoot, backed by clusters; the WriteRoot that refers to it
    // marks it in use. A buffer that a root write gave back stays out of
    // use until that write is durable (an older root on the disk may still
    // refer to it).
    virtual kwRet AllocateBuffer(uint64_t* vcn) = 0;
    // Makes what was written so far durable before the next step.
    virtual kwRet Flush() = 0;
};

// The collation of two names (UTF-16LE): negative, 0 or positive.
using NameOrder = std::function<int(Bytes a, Bytes b)>;

// One node in memory: the root or an index buffer, with its entries parsed.
struct NODE_BUFFER {
    enum Kind : uint8_t { Empty = 0, Root = 1, Buffer = 2 };
    Kind kind = Empty;
    uint64_t vcn = INDEX_NO_VCN;
    // Root: the 16 bytes before the index header. Buffer: the bytes before
    // the first entry (header and update-sequence array), as read or built.
    std::vector<uint8_t> head;
    std::vector<IndexKey> entries; // the end entry aside
    uint64_t endChild = INDEX_NO_VCN;
    NODE_BUFFER* parent = nullptr;
    bool isNew = false;
    bool changed = false;
    bool freed = false;
    int depth = 0;

    bool IsLeaf() const { return endChild == INDEX_NO_VCN; }
    // Bytes the node takes: header, entries and end entry.
    uint32_t Used() const;
    // Decodes the root value or a buffer (fix-ups removed here).
    kwRet Parse(Bytes entries);
    std::vector<uint8_t> EncodeEntries() const;
};

// The index of one folder. Each call loads what it needs afresh.
class INDEX_BTREE {
public:
    INDEX_BTREE(INDEX_STORE& store, NameOrder order);
    ~INDEX_BTREE();

    // 300 when a name equal to the entry's (by the order) is present; nothing
    // is written then.
    kwRet Insert(const IndexKey& entry);
    // 504 when no such name.
    kwRet Delete(Bytes name);
    kwRet Find(Bytes name, IndexKey* out);
    // The key of the entry with the same name is replaced by this one's,
    // which must be as long (sizes and times change, names do not).
    kwRet Update(const IndexKey& entry);

private:
    struct Position {
        NODE_BUFFER* node = nullptr;
        size_t index = 0;
        bool found = false;
    };

    void reset();
    kwRet load(uint64_t vcn, NODE_BUFFER* parent, NODE_BUFFER** out);
    kwRet search(Bytes name, std::vector<Position>* path);
    uint32_t room(const NODE_BUFFER& n);
    bool fits(const NODE_BUFFER& n) { return n.Used() <= room(n); }
    NODE_BUFFER* newNode(NODE_BUFFER* parent);
    size_t slotOf(const NODE_BUFFER& parent, const NODE_BUFFER& child) const;
    NODE_BUFFER* child(NODE_BUFFER& parent, size_t slot);
    kwRet fixOverflow(NODE_BUFFER* n);
    kwRet fixOverflows();
    kwRet growRoot(NODE_BUFFER* root);
    kwRet splitNode(NODE_BUFFER* n);
    kwRet successorKey(NODE_BUFFER* n, size_t index, NODE_BUFFER** leaf);
    kwRet fixEmpty(NODE_BUFFER* n);
    kwRet fillFromSibling(NODE_BUFFER* p, size_t slot);
    kwRet commit();
    kwRet takeBuffers();
    std::vector<uint64_t> taken_, given_; // bits for the next root write
    kwRet writeNode(NODE_BUFFER& n);

    INDEX_STORE& store_;
    NameOrder order_;
    std::vector<std::unique_ptr<NODE_BUFFER>> nodes_;
    uint64_t nextTemporary_ = 0;
};

} // namespace kw::ntfs
