// The $I30 B-tree over an index kept in memory: random inserts and deletes
// against a set, with the tree read back by the read side's decoders (names in
// order, leaves at one depth, no empty buffer, every buffer in use referenced
// once), and every cut of an operation's writes leaving each name that was
// there before findable from the root.
#include "engine/ntfs/ntfs_codes.h"
#include "engine/ntfs/ntfs_index.h"
#include "engine/ntfs/ntfs_layout.h"
#include "include/kwbytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace kw::ntfs;
using kwbytes::LoadLe16;
using kwbytes::StoreLe32;

namespace {

std::vector<uint8_t> FileNameKey(const std::string& name, uint64_t parent = 5) {
    std::vector<uint8_t> k(66 + 2 * name.size(), 0);
    kwbytes::StoreLe64(k.data(), parent);
    k[64] = static_cast<uint8_t>(name.size());
    k[65] = NAMESPACE_WIN32;
    for (size_t i = 0; i < name.size(); ++i)
        k[66 + 2 * i] = static_cast<uint8_t>(name[i]);
    return k;
}

std::vector<uint8_t> Utf16(const std::string& name) {
    std::vector<uint8_t> out;
    for (char c : name) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

int Order(Bytes a, Bytes b) {
    size_t n = std::min(a.size(), b.size()) / 2;
    for (size_t i = 0; i < n; ++i) {
        int x = std::toupper(LoadLe16(a, 2 * i)), y = std::toupper(LoadLe16(b, 2 * i));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string Ascii(Bytes name) {
    std::string s;
    for (size_t i = 0; i + 1 < name.size(); i += 2)
        s += static_cast<char>(name[i]);
    return s;
}

// An index in memory; every write is journalled so that a test can rebuild
// the state after any number of them.
struct MemoryStore : INDEX_STORE {
    struct Write {
        uint64_t vcn;
        std::vector<uint8_t> bytes;
        std::vector<uint64_t> taken, given; // root writes
    };
    uint32_t bufferSize = 1024;
    uint32_t rootRoom = 600;
    std::vector<uint8_t> root;
    std::map<uint64_t, std::vector<uint8_t>> buffers;
    std::set<uint64_t> inUse, pending;
    std::vector<Write> journal;
    int failAllocationAfter = -1;

    MemoryStore() {
        root.assign(48, 0);
        StoreLe32(root.data(), ATTR_FILE_NAME);
        StoreLe32(root.data() + 4, 1);
        StoreLe32(root.data() + 8, bufferSize);
        StoreLe32(root.data() + 16, 16);
        StoreLe32(root.data() + 20, 32);
        StoreLe32(root.data() + 24, 32);
        root[32 + 8] = 16;
        root[32 + 12] = ENTRY_LAST;
    }
    uint32_t BufferSize() const override { return bufferSize; }
    kwRet ReadRoot(std::vector<uint8_t>* v) override {
        *v = root;
        return KW_OK;
    }
    uint32_t RootRoom() override { return rootRoom; }
    kwRet WriteRoot(const std::vector<uint8_t>& v, const std::vector<uint64_t>& taken,
                    const std::vector<uint64_t>& given) override {
        if (v.size() > rootRoom)
            return ERR_INDEX_NO_ROOM;
        root = v;
        for (uint64_t t : taken)
            EXPECT_TRUE(pending.count(t) && inUse.insert(t).second) << "taken twice";
        for (uint64_t g : given)
            EXPECT_EQ(inUse.erase(g), 1u) << "given back but not in use";
        pending.clear();
        journal.push_back({INDEX_ROOT_VCN, v, taken, given});
        return KW_OK;
    }
    kwRet ReadBuffer(uint64_t vcn, std::vector<uint8_t>* b) override {
        auto it = buffers.find(vcn);
        if (it == buffers.end())
            return ERR_INDEX_SIGNATURE;
        *b = it->second;
        return KW_OK;
    }
    kwRet WriteBuffer(uint64_t vcn, const std::vector<uint8_t>& b) override {
        EXPECT_TRUE(pending.count(vcn) && !inUse.count(vcn)) << "a buffer in use written over";
        buffers[vcn] = b;
        journal.push_back({vcn, b, {}, {}});
        return KW_OK;
    }
    kwRet AllocateBuffer(uint64_t* vcn) override {
        if (failAllocationAfter == 0)
            return 1551;
        if (failAllocationAfter > 0)
            --failAllocationAfter;
        uint64_t v = 0;
        while (inUse.count(v) || pending.count(v))
            v += bufferSize / 512;
        pending.insert(v);
        *vcn = v;
        return KW_OK;
    }
    kwRet Flush() override { return KW_OK; }
};

// What the read side sees in a stored index.
struct TreeView {
    std::vector<std::string> names; // in tree order
    std::set<uint64_t> referenced;
    std::set<int> leafDepths;
    bool emptyBuffer = false;
    kwRet rc = KW_OK;
};

void WalkNode(const MemoryStore& s, Bytes entries, int depth, TreeView* v) {
    if (depth > 40) {
        v->rc = ERR_INDEX_ENTRY;
        return;
    }
    EntryWalk walk(entries);
    IndexEntry e;
    kwRet rc;
    bool leaf = true;
    int count = 0;
    while (v->rc == KW_OK && (rc = walk.Next(&e)) == KW_OK) {
        if (e.flags & ENTRY_SUBNODE) {
            leaf = false;
            if (!v->referenced.insert(e.subNodeVcn).second || !s.buffers.count(e.subNodeVcn)) {
                v->rc = ERR_INDEX_ENTRY;
                return;
            }
            std::vector<uint8_t> b = s.buffers.at(e.subNodeVcn);
            uint64_t vcn = 0;
            IndexNode node;
            v->rc = DecodeIndexBuffer(b, &vcn, &node);
            if (v->rc == KW_OK && vcn != e.subNodeVcn)
                v->rc = ERR_INDEX_ENTRY;
            if (v->rc == KW_OK)
                WalkNode(s, node.entries, depth + 1, v);
        }
        if (!e.key.empty()) {
            FileName f;
            v->rc = DecodeFileName(e.key, &f);
            v->names.push_back(Ascii(f.name));
            ++count;
        }
    }
    if (leaf)
        v->leafDepths.insert(depth);
    if (depth > 0 && count == 0)
        v->emptyBuffer = true;
}

TreeView View(const MemoryStore& s) {
    TreeView v;
    uint32_t size = 0;
    IndexNode node;
    v.rc = DecodeIndexRoot(s.root, &size, &node);
    if (v.rc == KW_OK)
        WalkNode(s, node.entries, 0, &v);
    return v;
}

// The names findable by a descent from the root, asked one by one.
bool Findable(MemoryStore& s, const std::string& name) {
    INDEX_BTREE tree(s, Order);
    IndexKey k;
    return tree.Find(Utf16(name), &k) == KW_OK && Ascii(k.Name()) == name;
}

void ExpectSound(const MemoryStore& s, const std::set<std::string>& mirror) {
    TreeView v = View(s);
    ASSERT_EQ(v.rc, KW_OK);
    std::vector<std::string> sorted(mirror.begin(), mirror.end());
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return Order(Utf16(a), Utf16(b)) < 0;
    });
    ASSERT_EQ(v.names, sorted);
    EXPECT_LE(v.leafDepths.size(), 1u) << "leaves at different depths";
    EXPECT_FALSE(v.emptyBuffer);
    EXPECT_EQ(v.referenced, s.inUse) << "a buffer in use but not referenced, or the reverse";
    for (uint64_t vcn : v.referenced)
        EXPECT_TRUE(s.inUse.count(vcn)) << "the tree refers to a buffer given back";
}

std::string RandomName(std::mt19937& rng) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789._-";
    std::uniform_int_distribution<int> length(1, 24), letter(0, sizeof letters - 2);
    std::string s(static_cast<size_t>(length(rng)), 'a');
    for (char& c : s)
        c = letters[letter(rng)];
    return s;
}

TEST(NtfsIndexTree, DuplicatesAndCaseAndPrefixes) {
    MemoryStore s;
    INDEX_BTREE tree(s, Order);
    ASSERT_EQ(tree.Insert(MakeIndexKey(40, FileNameKey("abc"))), KW_OK);
    size_t writes = s.journal.size();
    EXPECT_EQ(tree.Insert(MakeIndexKey(41, FileNameKey("ABC"))), ERR_FILE_EXISTS);
    EXPECT_EQ(s.journal.size(), writes) << "a refused insert wrote";
    ASSERT_EQ(tree.Insert(MakeIndexKey(42, FileNameKey("ab"))), KW_OK);
    ASSERT_EQ(tree.Insert(MakeIndexKey(43, FileNameKey("abcd"))), KW_OK);
    EXPECT_EQ(View(s).names, (std::vector<std::string>{"ab", "abc", "abcd"}));
    IndexKey k;
    ASSERT_EQ(tree.Find(Utf16("ABC"), &k), KW_OK);
    EXPECT_EQ(k.reference, 40u);
    EXPECT_EQ(tree.Delete(Utf16("zz")), ERR_FILE_NOT_FOUND);
    ASSERT_EQ(tree.Delete(Utf16("AbC")), KW_OK);
    EXPECT_EQ(View(s).names, (std::vector<std::string>{"ab", "abcd"}));
}

TEST(NtfsIndexTree, RootGrowsIntoBufferAndUpdateRewritesKey) {
    MemoryStore s;
    INDEX_BTREE tree(s, Order);
    std::set<std::string> mirror;
    for (int i = 0; i < 8; ++i) {
        std::string n = "file" + std::to_string(i);
        ASSERT_EQ(tree.Insert(MakeIndexKey(100 + i, FileNameKey(n))), KW_OK);
        mirror.insert(n);
    }
    ExpectSound(s, mirror);
    EXPECT_EQ(s.inUse.size(), 1u) << "the root's names moved into one buffer";
    std::vector<uint8_t> key = FileNameKey("file3");
    key[48] = 0x77; // data size
    ASSERT_EQ(tree.Update(MakeIndexKey(103, key)), KW_OK);
    IndexKey k;
    ASSERT_EQ(tree.Find(Utf16("FILE3"), &k), KW_OK);
    EXPECT_EQ(k.key[48], 0x77);
    EXPECT_EQ(tree.Update(MakeIndexKey(103, FileNameKey("nothere"))), ERR_FILE_NOT_FOUND);
}

// Thousands of random inserts and deletes on small buffers, so nodes split,
// fill from siblings and merge at several levels.
TEST(NtfsIndexTree, RandomAgainstSet) {
    for (uint32_t size : {512u, 1024u}) {
        MemoryStore s;
        s.bufferSize = size;
        StoreLe32(s.root.data() + 8, size);
        INDEX_BTREE tree(s, Order);
        std::mt19937 rng(size);
        std::set<std::string> mirror;
        std::vector<std::string> names;
        size_t deepest = 0;
        for (int step = 0; step < 3000; ++step) {
            bool insert = names.empty() || rng() % 100 < (step < 1900 ? 70 : 30);
            if (insert) {
                std::string n = RandomName(rng);
                bool dup = std::any_of(mirror.begin(), mirror.end(), [&](const std::string& m) {
                    return Order(Utf16(m), Utf16(n)) == 0;
                });
                kwRet rc = tree.Insert(MakeIndexKey(16 + step, FileNameKey(n)));
                ASSERT_EQ(rc, dup ? ERR_FILE_EXISTS : KW_OK) << n;
                if (!dup) {
                    mirror.insert(n);
                    names.push_back(n);
                }
            } else {
                size_t i = rng() % names.size();
                ASSERT_EQ(tree.Delete(Utf16(names[i])), KW_OK) << names[i];
                mirror.erase(names[i]);
                names.erase(names.begin() + static_cast<long>(i));
            }
            if (step % 50 != 0)
                continue;
            ExpectSound(s, mirror);
            TreeView v = View(s);
            if (!v.leafDepths.empty())
                deepest = std::max<size_t>(deepest, static_cast<size_t>(*v.leafDepths.begin()));
        }
        ExpectSound(s, mirror);
        EXPECT_GE(deepest, 3u) << "the tree never grew past two levels of buffers";
        for (const std::string& n : names)
            ASSERT_EQ(tree.Delete(Utf16(n)), KW_OK);
        ExpectSound(s, {});
        EXPECT_TRUE(s.inUse.empty());
    }
}

// Each operation cut after every one of its writes but the last: the index
// read back is the one from before, whole and in order, and each of its names
// is found by a descent from the root.
TEST(NtfsIndexTree, EveryCutLeavesTheOldIndex) {
    MemoryStore s;
    s.bufferSize = 512;
    StoreLe32(s.root.data() + 8, 512);
    INDEX_BTREE tree(s, Order);
    std::mt19937 rng(7);
    std::vector<std::string> names;
    for (int step = 0; step < 600; ++step) {
        MemoryStore before = s;
        const std::vector<std::string> had = names;
        before.journal.clear();
        s.journal.clear();
        bool insert = names.size() < 12 || rng() % 100 < 52;
        std::string gone;
        if (insert) {
            std::string n = RandomName(rng);
            if (tree.Insert(MakeIndexKey(16 + step, FileNameKey(n))) == KW_OK)
                names.push_back(n);
        } else {
            size_t i = rng() % names.size();
            gone = names[i];
            ASSERT_EQ(tree.Delete(Utf16(gone)), KW_OK);
            names.erase(names.begin() + static_cast<long>(i));
        }
        for (size_t cut = 1; cut < s.journal.size(); ++cut) {
            MemoryStore state = before;
            for (size_t w = 0; w < cut; ++w) {
                const MemoryStore::Write& e = s.journal[w];
                if (e.vcn != INDEX_ROOT_VCN) {
                    state.buffers[e.vcn] = e.bytes;
                    continue;
                }
                state.root = e.bytes;
                state.inUse.insert(e.taken.begin(), e.taken.end());
                for (uint64_t g : e.given)
                    state.inUse.erase(g);
            }
            SCOPED_TRACE("step " + std::to_string(step) + " cut " + std::to_string(cut));
            ExpectSound(state, std::set<std::string>(had.begin(), had.end()));
            for (size_t i = 0; i < had.size(); i += 7)
                ASSERT_TRUE(Findable(state, had[i])) << had[i];
        }
    }
}

TEST(NtfsIndexTree, NoRoomOrNoBufferWritesNothing) {
    MemoryStore s;
    s.rootRoom = 50; // not even the end entry with a node below it
    INDEX_BTREE tree(s, Order);
    EXPECT_EQ(tree.Insert(MakeIndexKey(20, FileNameKey("a"))), ERR_INDEX_NO_ROOM);
    EXPECT_TRUE(s.journal.empty());
    MemoryStore t;
    INDEX_BTREE tree2(t, Order);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(tree2.Insert(MakeIndexKey(20 + i, FileNameKey("n" + std::to_string(i)))), KW_OK);
    t.failAllocationAfter = 0;
    t.journal.clear();
    EXPECT_EQ(tree2.Insert(MakeIndexKey(30, FileNameKey("n9"))), 1551u);
    EXPECT_TRUE(t.journal.empty());
    EXPECT_TRUE(t.inUse.empty());
    t.failAllocationAfter = -1;
    ASSERT_EQ(tree2.Insert(MakeIndexKey(30, FileNameKey("n9"))), KW_OK);
    ExpectSound(t, {"n0", "n1", "n2", "n3", "n4", "n5", "n9"});
}

} // namespace
