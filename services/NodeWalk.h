#pragma once
// Loop-guarded walks over the engine's node links. Found trees come from
// damaged media, so a parent or sibling chain may run in a circle.
#include "engine/include/FileNode.h"

#include <unordered_set>

// The deepest parent chain a walk follows before it counts as a loop.
inline constexpr int kMaxNodeDepth = 1024;

// Calls fn(node) for first and each following sibling until fn answers false
// or the chain ends. A chain that comes back to a node already passed stops
// before it, so fn sees every node once. Answers false when the walk stopped
// on such a loop.
template <class Fn>
bool ForEachSibling(IFileNode* first, Fn&& fn) {
    std::unordered_set<IFileNode*> seen;
    for (IFileNode* node = first; node; node = node->GetNextNode()) {
        if (!seen.insert(node).second) return false;
        if (!fn(node)) return true;
    }
    return true;
}

// The top of node's parent chain, or null for a null node or a chain longer
// than kMaxNodeDepth (a loop).
inline IFileNode* TopOfParentChain(IFileNode* node) {
    for (int depth = 0; node && depth <= kMaxNodeDepth; ++depth) {
        IFileNode* parent = node->GetParent();
        if (!parent) return node;
        node = parent;
    }
    return nullptr;
}
