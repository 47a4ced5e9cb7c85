// The $I30 B-tree: loading nodes, insert with splits and root growth,
// delete with successor keys, emptied nodes filled from a sibling or merged
// with it, and the ordered write-back (see ntfs_index.h).
#include "engine/ntfs/ntfs_index.h"

#include "engine/core/dbgmgr.h"
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_record_edit.h"
#include "include/kwbytes.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kw::ntfs {

using kwbytes::LoadLe32;
using kwbytes::LoadLe64;
using kwbytes::StoreLe16;
using kwbytes::StoreLe32;
using kwbytes::StoreLe64;

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kEntryHeader = 16;
// New nodes carry a VCN from here up until they get a buffer of their own.
constexpr uint64_t kTemporaryVcn = uint64_t{1} << 62;
// A tree deeper than this, or an operation loading more nodes, is damaged.
constexpr int kMaxDepth = 32;
constexpr size_t kMaxNodes = 4096;

int Depth(const NODE_BUFFER* n) {
    int d = 0;
    for (; n->parent != nullptr && d <= kMaxDepth + 2; n = n->parent)
        ++d;
    return d;
}

uint32_t Align8(uint32_t n) {
    return (n + 7) & ~7u;
}

} // namespace

uint32_t IndexKey::Length() const {
    return Align8(kEntryHeader + static_cast<uint32_t>(key.size())) + (HasChild() ? 8 : 0);
}

Bytes IndexKey::Name() const {
    if (key.size() < 66 || key.size() < 66u + 2u * key[64])
        return {};
    return Bytes(key.data() + 66, 2u * key[64]);
}

IndexKey MakeIndexKey(uint64_t reference, Bytes fileName) {
    IndexKey k;
    k.reference = reference;
    k.key.assign(fileName.begin(), fileName.end());
    return k;
}

uint32_t NODE_BUFFER::Used() const {
    uint32_t n = kind == Root ? 32 : static_cast<uint32_t>(head.size());
    for (const IndexKey& k : entries)
        n += k.Length();
    return n + kEntryHeader + (IsLeaf() ? 0 : 8);
}

kwRet NODE_BUFFER::Parse(Bytes span) {
    EntryWalk walk(span);
    IndexEntry e;
    kwRet rc;
    while ((rc = walk.Next(&e)) == KW_OK) {
        uint64_t child = (e.flags & ENTRY_SUBNODE) ? e.subNodeVcn : INDEX_NO_VCN;
        if (child >= kTemporaryVcn && child != INDEX_NO_VCN)
            return ERR_INDEX_ENTRY;
        if (e.flags & ENTRY_LAST) {
            endChild = child;
            continue;
        }
        IndexKey k;
        k.reference = e.reference;
        k.key.assign(e.key.begin(), e.key.end());
        k.child = child;
        if (k.Name().empty())
            return ERR_INDEX_ENTRY;
        entries.push_back(std::move(k));
    }
    return rc == ERR_NO_MORE_NAMES ? KW_OK : rc;
}

std::vector<uint8_t> NODE_BUFFER::EncodeEntries() const {
    std::vector<uint8_t> out;
    auto put = [&](uint64_t reference, const std::vector<uint8_t>& key, uint64_t child,
                   uint16_t flags) {
        uint32_t length = Align8(kEntryHeader + static_cast<uint32_t>(key.size()));
        if (child != INDEX_NO_VCN) {
            length += 8;
            flags |= ENTRY_SUBNODE;
        }
        size_t at = out.size();
        out.resize(at + length, 0);
        uint8_t* p = out.data() + at;
        StoreLe64(p, reference);
        StoreLe16(p + 8, static_cast<uint16_t>(length));
        StoreLe16(p + 10, static_cast<uint16_t>(key.size()));
        StoreLe16(p + 12, flags);
        if (!key.empty())
            std::memcpy(p + kEntryHeader, key.data(), key.size());
        if (child != INDEX_NO_VCN)
            StoreLe64(p + length - 8, child);
    };
    for (const IndexKey& k : entries)
        put(k.reference, k.key, k.child, 0);
    put(0, {}, endChild, ENTRY_LAST);
    return out;
}

INDEX_BTREE::INDEX_BTREE(INDEX_STORE& store, NameOrder order)
    : store_(store), order_(std::move(order)) {}

INDEX_BTREE::~INDEX_BTREE() = default;

void INDEX_BTREE::reset() {
    nodes_.clear();
    nextTemporary_ = kTemporaryVcn;
}

// Reads the root (INDEX_ROOT_VCN) or the buffer at `vcn` below `parent`.
kwRet INDEX_BTREE::load(uint64_t vcn, NODE_BUFFER* parent, NODE_BUFFER** out) {
    for (auto& n : nodes_) {
        if (n->vcn == vcn) {
            if (n->parent != parent)
                return ERR_INDEX_ENTRY; // two entries point at one buffer: the tree loops
            *out = n.get();
            return KW_OK;
        }
    }
    if (nodes_.size() >= kMaxNodes || (parent != nullptr && parent->depth >= kMaxDepth))
        return ERR_INDEX_ENTRY;
    auto node = std::make_unique<NODE_BUFFER>();
    node->vcn = vcn;
    node->parent = parent;
    node->depth = parent != nullptr ? parent->depth + 1 : 0;
    std::vector<uint8_t> bytes;
    IndexNode span;
    kwRet rc;
    if (vcn == INDEX_ROOT_VCN) {
        node->kind = NODE_BUFFER::Root;
        rc = store_.ReadRoot(&bytes);
        uint32_t bufferSize = 0;
        if (rc == KW_OK)
            rc = DecodeIndexRoot(bytes, &bufferSize, &span);
        if (rc == KW_OK)
            node->head.assign(bytes.begin(), bytes.begin() + 16);
    } else {
        node->kind = NODE_BUFFER::Buffer;
        rc = store_.ReadBuffer(vcn, &bytes);
        if (rc != KW_OK) {
            DbgPrintf("NODE_BUFFER::Init: [Error] Failed to read IAB from disk. kwRet == %lu\n",
                      static_cast<unsigned long>(rc));
            return rc;
        }
        uint64_t stored = 0;
        if (bytes.size() != store_.BufferSize())
            rc = ERR_INDEX_BUFFER_SIZE;
        if (rc == KW_OK)
            rc = DecodeIndexBuffer(bytes, &stored, &span);
        if (rc == KW_OK && stored != vcn)
            rc = ERR_INDEX_ENTRY;
        if (rc == KW_OK)
            node->head.assign(bytes.begin(), bytes.begin() + (span.entries.data() - bytes.data()));
    }
    if (rc == KW_OK)
        rc = node->Parse(span.entries);
    if (rc != KW_OK)
        return rc;
    *out = node.get();
    nodes_.push_back(std::move(node));
    return KW_OK;
}

// The path from the root to the name, or to the leaf slot where it would go.
kwRet INDEX_BTREE::search(Bytes name, std::vector<Position>* path) {
    NODE_BUFFER* node = nullptr;
    kwRet rc = load(INDEX_ROOT_VCN, nullptr, &node);
    while (rc == KW_OK) {
        Position at{node, node->entries.size(), false};
        for (size_t i = 0; i < node->entries.size(); ++i) {
            int c = order_(name, node->entries[i].Name());
            if (c <= 0) {
                at.index = i;
                at.found = c == 0;
                break;
            }
        }
        path->push_back(at);
        uint64_t below =
            at.index < node->entries.size() ? node->entries[at.index].child : node->endChild;
        if (at.found || below == INDEX_NO_VCN)
            return KW_OK;
        NODE_BUFFER* next = nullptr;
        rc = load(below, node, &next);
        node = next;
    }
    return rc;
}

uint32_t INDEX_BTREE::room(const NODE_BUFFER& n) {
    return n.kind == NODE_BUFFER::Root ? store_.RootRoom() : store_.BufferSize();
}

NODE_BUFFER* INDEX_BTREE::newNode(NODE_BUFFER* parent) {
    auto node = std::make_unique<NODE_BUFFER>();
    node->kind = NODE_BUFFER::Buffer;
    node->vcn = nextTemporary_++;
    node->parent = parent;
    node->isNew = true;
    node->changed = true;
    const uint32_t size = store_.BufferSize();
    const uint32_t count = size / kSector + 1;
    node->head.assign(Align8(40 + 2 * count), 0);
    std::memcpy(node->head.data(), "INDX", 4);
    StoreLe16(node->head.data() + 4, 40);
    StoreLe16(node->head.data() + 6, static_cast<uint16_t>(count));
    nodes_.push_back(std::move(node));
    return nodes_.back().get();
}

size_t INDEX_BTREE::slotOf(const NODE_BUFFER& p, const NODE_BUFFER& c) const {
    for (size_t i = 0; i < p.entries.size(); ++i) {
        if (p.entries[i].child == c.vcn)
            return i;
    }
    return p.endChild == c.vcn ? p.entries.size() : SIZE_MAX;
}

// The node below slot i of p (the end entry's for i = entry count), loaded.
NODE_BUFFER* INDEX_BTREE::child(NODE_BUFFER& p, size_t i) {
    uint64_t vcn = i < p.entries.size() ? p.entries[i].child : p.endChild;
    if (vcn == INDEX_NO_VCN)
        return nullptr;
    NODE_BUFFER* c = nullptr;
    return load(vcn, &p, &c) == KW_OK ? c : nullptr;
}

namespace {

// Loaded nodes below `vcn` now hang under `parent`.
void Adopt(std::vector<std::unique_ptr<NODE_BUFFER>>& nodes, NODE_BUFFER* parent, uint64_t vcn) {
    for (auto& n : nodes) {
        if (n->vcn == vcn && !n->freed)
            n->parent = parent;
    }
}

} // namespace

// The root's entries move into a new buffer below a root that keeps only its
// end entry.
kwRet INDEX_BTREE::growRoot(NODE_BUFFER* root) {
    NODE_BUFFER* c = newNode(root);
    c->entries = std::move(root->entries);
    c->endChild = root->endChild;
    root->entries.clear();
    for (auto& n : nodes_) {
        if (n->parent == root && n.get() != c)
            n->parent = c;
    }
    root->endChild = c->vcn;
    root->changed = true;
    if (!fits(*root)) {
        DbgPrintf("ntfsBtreeAddToNode: [Error] Not enough room in FRS to add new key\n");
        return ERR_INDEX_NO_ROOM;
    }
    return KW_OK;
}

// Splits a buffer: the entries before the middle go to a new buffer below the
// middle entry, which moves up into the parent; the node keeps the rest.
kwRet INDEX_BTREE::splitNode(NODE_BUFFER* n) {
    NODE_BUFFER* p = n->parent;
    const size_t count = n->entries.size();
    size_t slot = p != nullptr ? slotOf(*p, *n) : SIZE_MAX;
    if (count < 3 || slot == SIZE_MAX) {
        DbgPrintf("ntfsBtreeSplitNode: [Error] Not enough room in node buffer to add new key\n");
        return ERR_INDEX_NO_ROOM;
    }
    uint32_t total = 0, sum = 0;
    for (const IndexKey& k : n->entries)
        total += k.Length();
    size_t middle = 0;
    while (middle < count && sum < total / 2)
        sum += n->entries[middle++].Length();
    middle = std::clamp<size_t>(middle, 1, count - 2);
    NODE_BUFFER* lower = newNode(p);
    lower->entries.assign(n->entries.begin(), n->entries.begin() + middle);
    lower->endChild = n->entries[middle].child;
    for (const IndexKey& k : lower->entries)
        Adopt(nodes_, lower, k.child);
    Adopt(nodes_, lower, lower->endChild);
    IndexKey up = n->entries[middle];
    up.child = lower->vcn;
    n->entries.erase(n->entries.begin(), n->entries.begin() + middle + 1);
    n->changed = true;
    p->entries.insert(p->entries.begin() + slot, std::move(up));
    p->changed = true;
    if (!fits(*lower) || !fits(*n))
        return ERR_INDEX_NO_ROOM;
    return KW_OK;
}

kwRet INDEX_BTREE::fixOverflow(NODE_BUFFER* n) {
    while (n != nullptr && !fits(*n)) {
        kwRet rc;
        if (n->kind == NODE_BUFFER::Root) {
            rc = growRoot(n);
            n = nodes_.back().get(); // the new child; it may need a split in turn
            if (rc == KW_OK && !fits(*n))
                rc = splitNode(n);
            n = n->parent;
        } else {
            rc = splitNode(n);
            n = n->parent;
        }
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet INDEX_BTREE::Insert(const IndexKey& entry) {
    reset();
    IndexKey key = entry;
    key.child = INDEX_NO_VCN;
    if (key.Name().empty())
        return ERR_BAD_ARGUMENT;
    std::vector<Position> path;
    kwRet rc = search(key.Name(), &path);
    if (rc != KW_OK) {
        DbgPrintf("ntfsBtreeNodeInsert: [Error] Failure searching node for new key\n");
        return rc;
    }
    Position& at = path.back();
    if (at.found) {
        DbgPrintf("ntfsBtreeNodeInsert: [Error] Can not add duplicate key to index\n");
        return ERR_FILE_EXISTS;
    }
    at.node->entries.insert(at.node->entries.begin() + at.index, std::move(key));
    at.node->changed = true;
    rc = fixOverflow(at.node);
    return rc == KW_OK ? commit() : rc;
}

// Replaces entry `index` of n (which has a node below it) by its successor,
// the first name of the leftmost leaf right of it; that leaf is returned.
kwRet INDEX_BTREE::successorKey(NODE_BUFFER* n, size_t index, NODE_BUFFER** leaf) {
    NODE_BUFFER* c = child(*n, index + 1);
    while (c != nullptr && !c->IsLeaf())
        c = child(*c, 0);
    if (c == nullptr || c->entries.empty()) {
        DbgPrintf("ntfsBtreeSuccessorKey: [Error] Could not find the key specified in the "
                  "current node\n");
        return ERR_INDEX_ENTRY;
    }
    IndexKey s = std::move(c->entries.front());
    c->entries.erase(c->entries.begin());
    c->changed = true;
    s.child = n->entries[index].child;
    n->entries[index] = std::move(s);
    n->changed = true;
    *leaf = c;
    return KW_OK;
}

// A buffer left without names: it takes one from its parent and the
// parent one from a sibling, or it merges with a sibling of one name, or,
// as its parent's only child, it goes.
kwRet INDEX_BTREE::fixEmpty(NODE_BUFFER* e) {
    NODE_BUFFER* p = e->parent;
    size_t slot = p != nullptr ? slotOf(*p, *e) : SIZE_MAX;
    if (slot == SIZE_MAX)
        return ERR_INDEX_ENTRY;
    if (!p->entries.empty())
        return fillFromSibling(p, slot);
    p->endChild = e->endChild;
    Adopt(nodes_, p, e->endChild);
    e->freed = true;
    p->changed = true;
    if (p->kind == NODE_BUFFER::Buffer && p->IsLeaf())
        return fixEmpty(p);
    return KW_OK;
}

kwRet INDEX_BTREE::fillFromSibling(NODE_BUFFER* p, size_t slot) {
    const size_t count = p->entries.size();
    const bool right = slot < count; // the sibling right of the empty node
    const size_t q = right ? slot : count - 1;
    NODE_BUFFER* e = child(*p, slot);
    NODE_BUFFER* s = child(*p, right ? slot + 1 : count - 1);
    if (e == nullptr || s == nullptr)
        return ERR_INDEX_ENTRY;
    IndexKey down = p->entries[q];
    e->changed = s->changed = p->changed = true;
    if (s->entries.size() >= 2) {
        // Rotation through the parent.
        IndexKey up;
        if (right) {
            up = std::move(s->entries.front());
            s->entries.erase(s->entries.begin());
            down.child = e->endChild;
            e->entries.push_back(std::move(down));
            e->endChild = up.child;
            Adopt(nodes_, e, up.child);
            up.child = e->vcn;
        } else {
            up = std::move(s->entries.back());
            s->entries.pop_back();
            down.child = s->endChild;
            Adopt(nodes_, e, down.child);
            e->entries.insert(e->entries.begin(), std::move(down));
            s->endChild = up.child;
            up.child = s->vcn;
        }
        p->entries[q] = std::move(up);
        return KW_OK;
    }
    // Merge: left node + separator + right node into the left one.
    NODE_BUFFER* left = right ? e : s;
    NODE_BUFFER* gone = right ? s : e;
    down.child = left->endChild;
    left->entries.push_back(std::move(down));
    left->entries.insert(left->entries.end(), gone->entries.begin(), gone->entries.end());
    left->endChild = gone->endChild;
    for (const IndexKey& k : gone->entries)
        Adopt(nodes_, left, k.child);
    Adopt(nodes_, left, gone->endChild);
    gone->freed = true;
    p->entries.erase(p->entries.begin() + q);
    if (q < p->entries.size())
        p->entries[q].child = left->vcn;
    else
        p->endChild = left->vcn;
    if (!fits(*left))
        return ERR_INDEX_NO_ROOM;
    if (p->kind == NODE_BUFFER::Buffer && p->entries.empty())
        return fixEmpty(p);
    return KW_OK;
}

// Nodes that took a longer name than they gave (a successor, a rotated
// separator) are split, deepest first.
kwRet INDEX_BTREE::fixOverflows() {
    for (size_t round = 0; round < nodes_.size(); ++round) {
        NODE_BUFFER* over = nullptr;
        for (auto& node : nodes_) {
            if (!node->freed && !fits(*node) &&
                (over == nullptr || Depth(node.get()) > Depth(over)))
                over = node.get();
        }
        if (over == nullptr)
            return KW_OK;
        kwRet rc = fixOverflow(over);
        if (rc != KW_OK)
            return rc;
    }
    return KW_OK;
}

kwRet INDEX_BTREE::Delete(Bytes name) {
    reset();
    std::vector<Position> path;
    kwRet rc = search(name, &path);
    if (rc != KW_OK) {
        DbgPrintf("ntfsBtreeNodeDelete: [Error] Failure searching node for key to delete\n");
        return rc;
    }
    Position at = path.back();
    if (!at.found)
        return ERR_FILE_NOT_FOUND;
    NODE_BUFFER* n = at.node;
    NODE_BUFFER* emptied = n;
    if (n->entries[at.index].HasChild()) {
        rc = successorKey(n, at.index, &emptied);
    } else {
        n->entries.erase(n->entries.begin() + at.index);
        n->changed = true;
    }
    if (rc == KW_OK && emptied->kind == NODE_BUFFER::Buffer && emptied->entries.empty())
        rc = fixEmpty(emptied);
    if (rc == KW_OK)
        rc = fixOverflows();
    return rc == KW_OK ? commit() : rc;
}

kwRet INDEX_BTREE::Find(Bytes name, IndexKey* out) {
    reset();
    std::vector<Position> path;
    kwRet rc = search(name, &path);
    if (rc == KW_OK && !path.back().found)
        rc = ERR_FILE_NOT_FOUND;
    if (rc == KW_OK && out != nullptr)
        *out = path.back().node->entries[path.back().index];
    reset();
    return rc;
}

kwRet INDEX_BTREE::Update(const IndexKey& entry) {
    reset();
    std::vector<Position> path;
    kwRet rc = search(entry.Name(), &path);
    if (rc == KW_OK && !path.back().found)
        rc = ERR_FILE_NOT_FOUND;
    if (rc != KW_OK)
        return rc;
    IndexKey& k = path.back().node->entries[path.back().index];
    if (k.key.size() != entry.key.size())
        return ERR_BAD_ARGUMENT;
    k.key = entry.key;
    k.reference = entry.reference;
    path.back().node->changed = true;
    return commit();
}

// New nodes get buffers of their own; their temporary VCNs are replaced
// everywhere.
kwRet INDEX_BTREE::takeBuffers() {
    std::vector<std::pair<uint64_t, uint64_t>> taken;
    for (auto& n : nodes_) {
        if (!n->isNew || n->freed)
            continue;
        uint64_t vcn = INDEX_NO_VCN;
        kwRet rc = store_.AllocateBuffer(&vcn);
        if (rc != KW_OK || vcn >= kTemporaryVcn) {
            DbgPrintf("Invalid VCN for empty IAB.  The node VCN is -1.\n");
            return rc != KW_OK ? rc : ERR_INDEX_ENTRY;
        }
        taken.emplace_back(n->vcn, vcn);
        taken_.push_back(vcn);
    }
    // The store made the clusters behind new buffers durable when it took
    // them; the copies written into them are flushed before the root.
    auto map = [&](uint64_t& v) {
        for (auto& t : taken) {
            if (v == t.first) {
                v = t.second;
                return;
            }
        }
    };
    for (auto& n : nodes_) {
        map(n->vcn);
        map(n->endChild);
        for (IndexKey& k : n->entries)
            map(k.child);
    }
    return KW_OK;
}

kwRet INDEX_BTREE::writeNode(NODE_BUFFER& n) {
    std::vector<uint8_t> entries = n.EncodeEntries();
    const uint32_t flags = n.IsLeaf() ? 0 : 1;
    if (n.kind == NODE_BUFFER::Root) {
        std::vector<uint8_t> value(32 + entries.size(), 0);
        std::memcpy(value.data(), n.head.data(), 16);
        StoreLe32(value.data() + 16, 16);
        StoreLe32(value.data() + 20, static_cast<uint32_t>(16 + entries.size()));
        StoreLe32(value.data() + 24, static_cast<uint32_t>(16 + entries.size()));
        value[28] = static_cast<uint8_t>(flags);
        std::memcpy(value.data() + 32, entries.data(), entries.size());
        return store_.WriteRoot(value, taken_, given_);
    }
    const uint32_t size = store_.BufferSize();
    if (n.head.size() + entries.size() > size)
        return ERR_INDEX_NO_ROOM;
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), n.head.data(), n.head.size());
    const uint32_t first = static_cast<uint32_t>(n.head.size()) - 24;
    StoreLe64(bytes.data() + 16, n.vcn);
    StoreLe32(bytes.data() + 24, first);
    StoreLe32(bytes.data() + 28, first + static_cast<uint32_t>(entries.size()));
    StoreLe32(bytes.data() + 32, size - 24);
    bytes[36] = static_cast<uint8_t>(flags);
    std::memcpy(bytes.data() + n.head.size(), entries.data(), entries.size());
    kwRet rc = ApplyFixups(bytes);
    return rc == KW_OK ? store_.WriteBuffer(n.vcn, bytes) : rc;
}

// Every changed buffer goes to a buffer not in use, and so does every buffer
// on the way from it up to the root; the old ones are given back after the
// root is written. The root lives in the folder's record, so the index on
// disk switches from its old state to its new one with that one write (an
// index buffer written in place could be cut halfway, a record not).
kwRet INDEX_BTREE::commit() {
    NODE_BUFFER* top = nullptr;
    for (auto& n : nodes_) {
        if (n->kind == NODE_BUFFER::Root)
            top = n.get();
    }
    if (top == nullptr)
        return ERR_INDEX_ENTRY;
    for (auto& n : nodes_) {
        if (!n->changed || n->freed || n.get() == top)
            continue;
        NODE_BUFFER* up = n->parent;
        for (; up != nullptr && up != top; up = up->parent)
            up->changed = true;
        if (up == nullptr)
            return ERR_INDEX_ENTRY; // a node that does not hang below the root
    }
    top->changed = true;
    taken_.clear();
    given_.clear();
    for (auto& n : nodes_) {
        if (n->freed && !n->isNew)
            given_.push_back(n->vcn);
        if (!n->changed || n->freed || n->isNew || n.get() == top)
            continue;
        const uint64_t old = n->vcn;
        given_.push_back(old);
        n->vcn = nextTemporary_++;
        n->isNew = true;
        NODE_BUFFER* p = n->parent;
        for (IndexKey& k : p->entries) {
            if (k.child == old)
                k.child = n->vcn;
        }
        if (p->endChild == old)
            p->endChild = n->vcn;
    }
    kwRet rc = takeBuffers();
    for (auto& n : nodes_) {
        if (rc == KW_OK && n->changed && !n->freed && n.get() != top)
            rc = writeNode(*n);
    }
    // The copies, and whatever the caller wrote for the new names to point
    // at, reach the disk before the root refers to them. The root itself is
    // made durable by the caller, before it reports success or changes what
    // depends on it.
    if (rc == KW_OK)
        rc = store_.Flush();
    if (rc == KW_OK)
        rc = writeNode(*top);
    reset();
    return rc;
}

} // namespace kw::ntfs
