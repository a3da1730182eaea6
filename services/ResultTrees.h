#pragma once
// The result trees the windows pull through the facade: the path view built
// from the found file-system roots, the type and date views from their
// managers, the file lists of items, counts and tick refreshes. Main thread
// only; the node model is walked while the scan's worker may still link new
// nodes (the links are published safely), with loop guards everywhere.
#include "services/TreeItems.h"

#include <vector>

class VXUIScan;

// scan: the scan operation whose view type and current session's results
// the trees show.
class VXResultTrees {
public:
    // The pull of the current view's tree into array; null does nothing.
    // clear shows every root again and unticks every shown found node.
    static int GetScanTreeNodeData(VXUIScan& scan, OpNodeList* array, bool clear);
    static void AddNodeToArr(VXUIScan& scan, OpNodeList& array);
    // New folder items at every depth, in the engine's sibling order.
    static void AddPathNodeToArray(OpNodeList& array);
    static void AddTypeNodeToArr(VXUIScan& scan, OpNodeList& array);
    static void AddDateNodeToArray(VXUIScan& scan, OpNodeList& array);
    static bool IsFileNode(IFileNode* node, const OpNodeList& array);

    // The file list of an item by its type (0 path, 1 type, 2 and 3 date);
    // any other type answers 0 and leaves out unchanged.
    static int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item);
    static int GetPathInfoToArray(OpNodeList& out, const OpNodeRef& item);
    static int GetTypeInfoToArray(OpNodeList& out, const OpNodeRef& item);
    static int GetDateInfoToArray(OpNodeList& out, const OpNodeRef& item);

    // Found files under a group item.
    static std::size_t GetNodeChildrenCnt(const OpNodeRef& item);
    // A month group's tick state from its found files.
    static void setNodeState(const OpNodeRef& month, const std::vector<IFileNode*>& files);
    static void RefreshTimeTreeState(VXUIScan& scan, const OpNodeList& dateRoots);
    // A group of the type tree, or the whole tree for null.
    static void RefreshTypeTreeState(const OpNodeRef& item);
};
