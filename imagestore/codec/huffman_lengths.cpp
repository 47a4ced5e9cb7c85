// Huffman code lengths with deterministic tie rules.
#include "imagestore/codec/huffman_lengths.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMaxSymbols = 336;
constexpr uint32_t kDepthLimit = 15; // a merge reaching this depth forces halving

struct Node {
    uint64_t count;
    uint32_t depth; // height of the subtree, 0 for a leaf
    uint32_t order; // leaf: symbol; merged: creation index
    bool merged;
    int32_t left = -1;
    int32_t right = -1;
};

constexpr uint32_t kMaxNodes = 2 * kMaxSymbols;

// The tree under construction: leaves first, then merged nodes in the order
// they were made.
struct Tree {
    Node nodes[kMaxNodes];
    uint32_t size = 0;
};

// True when node a is popped after node b.
struct PoppedLater {
    const Node* nodes;
    bool operator()(int32_t a, int32_t b) const {
        const Node& x = nodes[a];
        const Node& y = nodes[b];
        if (x.count != y.count) {
            return x.count > y.count;
        }
        if (x.merged != y.merged) {
            return x.merged; // leaves first
        }
        if (!x.merged) {
            return x.order > y.order; // leaves in symbol order
        }
        if (x.depth != y.depth) {
            return x.depth > y.depth; // shallower first
        }
        return x.order < y.order; // at equal depth the later one first
    }
};

// Builds the tree; false when a merge reaches kDepthLimit.
bool BuildTree(const uint64_t* counts, uint32_t symbols, Tree& tree) {
    tree.size = 0;
    for (uint32_t s = 0; s < symbols; ++s) {
        if (counts[s] != 0) {
            tree.nodes[tree.size++] = Node{counts[s], 0, s, false};
        }
    }
    if (tree.size == 1) {
        uint32_t used = tree.nodes[0].order;
        tree.nodes[tree.size++] = Node{0, 0, (used % 2 == 0) ? 1u : 0u, false};
    }
    int32_t heap[kMaxNodes];
    uint32_t heapSize = 0;
    PoppedLater later{tree.nodes};
    for (uint32_t i = 0; i < tree.size; ++i) {
        heap[heapSize++] = static_cast<int32_t>(i);
    }
    std::make_heap(heap, heap + heapSize, later);
    uint32_t made = 0;
    while (heapSize > 1) {
        std::pop_heap(heap, heap + heapSize--, later);
        std::pop_heap(heap, heap + heapSize--, later);
        int32_t a = heap[heapSize];
        int32_t b = heap[heapSize + 1];
        uint32_t depth = std::max(tree.nodes[a].depth, tree.nodes[b].depth) + 1;
        if (depth >= kDepthLimit) {
            return false;
        }
        tree.nodes[tree.size] =
            Node{tree.nodes[a].count + tree.nodes[b].count, depth, made++, true, a, b};
        heap[heapSize++] = static_cast<int32_t>(tree.size++);
        std::push_heap(heap, heap + heapSize, later);
    }
    return true;
}

void AssignLengths(const Tree& tree, uint8_t* lengths) {
    // Merged nodes come after their children, so walking backwards from the
    // root hands every child its parent's depth + 1.
    uint8_t depth[kMaxNodes] = {};
    for (uint32_t i = tree.size; i-- > 0;) {
        const Node& n = tree.nodes[i];
        if (n.merged) {
            depth[n.left] = depth[n.right] = static_cast<uint8_t>(depth[i] + 1);
        } else {
            lengths[n.order] = depth[i];
        }
    }
}

} // namespace

void BuildCodeLengths(const uint32_t* counts, uint32_t symbols, uint8_t* lengths) {
    uint64_t work[kMaxSymbols];
    for (uint32_t s = 0; s < symbols; ++s) {
        work[s] = counts[s];
    }
    std::memset(lengths, 0, symbols);
    Tree tree;
    while (!BuildTree(work, symbols, tree)) {
        for (uint32_t s = 0; s < symbols; ++s) {
            work[s] = (work[s] + 1) / 2;
        }
    }
    AssignLengths(tree, lengths);
}
