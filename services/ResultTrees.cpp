#include "services/ResultTrees.h"

#include "engine/include/FileNode.h"
#include "platform/Localization.h"
#include "services/CPPPublic.h"
#include "services/NodeWalk.h"
#include "services/TimeMgr.h"
#include "services/TypeMgr.h"
#include "services/UIScan.h"

#include <unordered_set>

int VXResultTrees::GetScanTreeNodeData(VXUIScan& scan, OpNodeList* array, bool clear) {
    if (!array) return 0;
    const int view = scan.GetScanType();
    scan.SetOpTreeFinished(0);
    for (IFileNode* root : scan.GetFileSystemNode()) {
        if (!root) continue;
        if (clear) {
            root->ShowNode(1);
            root->SetCheck(CHECK_NONE);
        }
        if (view == 0 && !IsFileNode(root, *array)) {
            TreeNodeData data;
            data.isDirectory = static_cast<std::uint32_t>(root->IsDirectory());
            data.isDeleted = static_cast<std::uint32_t>(root->IsDeleted());
            data.isFileSystem = 1;
            data.node = root;
            OpNodeRef item = OpNodeData::initWithNodeData(data);
            item->setExpandAble(1);
            array->emplace_back(item);
        }
    }
    AddNodeToArr(scan, *array);
    scan.SetOpTreeFinished(1);
    return 0;
}

void VXResultTrees::AddNodeToArr(VXUIScan& scan, OpNodeList& array) {
    switch (scan.GetScanType()) {
    case 0: AddPathNodeToArray(array); break;
    case 1: AddTypeNodeToArr(scan, array); break;
    case 2:
    case 3:
    case 4: AddDateNodeToArray(scan, array); break;
    default: break;
    }
}

bool VXResultTrees::IsFileNode(IFileNode* node, const OpNodeList& array) {
    for (const OpNodeEntry& e : array)
        if (e.isItem() && e.item()->fileNode() == node) return true;
    return false;
}

void VXResultTrees::AddPathNodeToArray(OpNodeList& array) {
    // Depth first over the items, without recursion. An item whose node is
    // already held by an item above it (a damaged link back up the tree) is
    // not walked again.
    struct Visit {
        OpNodeRef item;
        std::vector<IFileNode*> above; // nodes of the items above, this one included
    };
    std::vector<Visit> stack;
    for (auto it = array.rbegin(); it != array.rend(); ++it)
        if (it->isItem()) stack.push_back({it->item(), {}});
    while (!stack.empty()) {
        Visit visit = std::move(stack.back());
        stack.pop_back();
        const OpNodeRef& item = visit.item;
        IFileNode* node = item->fileNode();
        if (node) {
            bool looped = false;
            for (IFileNode* a : visit.above) looped = looped || a == node;
            if (looped || visit.above.size() >= static_cast<std::size_t>(kMaxNodeDepth)) continue;
            visit.above.push_back(node);
        }
        if (node && item->isExpandAble()) {
            std::unordered_set<IFileNode*> held;
            if (const OpNodeList* children = item->children())
                for (const OpNodeEntry& e : *children)
                    if (e.isItem()) held.insert(e.item()->fileNode());
            ForEachSibling(node->GetFirstChild(), [&](IFileNode* child) {
                if (child->IsDirectory() && child->IsNodeShow() && held.insert(child).second) {
                    TreeNodeData data;
                    data.node = child;
                    OpNodeRef folder = OpNodeData::initWithNodeData(data);
                    folder->setExpandAble(1);
                    folder->setParent(item);
                    item->ensureChildren().emplace_back(folder);
                }
                return true;
            });
        }
        if (const OpNodeList* children = item->children())
            for (auto it = children->rbegin(); it != children->rend(); ++it)
                if (it->isItem()) stack.push_back({it->item(), visit.above});
    }
}

void VXResultTrees::AddTypeNodeToArr(VXUIScan& scan, OpNodeList& array) {
    array.clear();
    VXTypeMgr& types = VXTypeMgr::share();
    types.refreshTypeTree(scan.Session()->Results());
    for (OpNodeEntry& root : types.getRootNode()) array.push_back(std::move(root));
}

void VXResultTrees::AddDateNodeToArray(VXUIScan& scan, OpNodeList& array) {
    const int view = scan.GetScanType();
    if (array.empty()) {
        TreeNodeData data;
        data.isDirectory = 1;
        data.isDeleted = 1;
        OpNodeRef root = OpNodeData::initWithNodeData(data);
        root->setFadeName(salvor::platform::localizedString(view == 3   ? "MODIFY_TIME_ROOT_NAME"
                                                            : view == 4 ? "LAST_ACCESS_TIME_ROOT_NAME"
                                                                        : "CREATE_TIME_ROOT_NAME"));
        root->ensureChildren();
        root->setExpandAble(1);
        root->setType(view);
        array.emplace_back(root);
    }
    if (array.front().isItem()) VXTimeMgr::share().refreshTimeTree(array.front().item(), view, scan.Session()->Results());
}

int VXResultTrees::GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) {
    if (!item) return 0;
    switch (item->type()) {
    case 0: return GetPathInfoToArray(out, item);
    case 1: return GetTypeInfoToArray(out, item);
    case 2:
    case 3:
    case 4: return GetDateInfoToArray(out, item);
    default: return 0;
    }
}

int VXResultTrees::GetPathInfoToArray(OpNodeList& out, const OpNodeRef& item) {
    if (!item || !item->isDirect()) return 0;
    item->ensureChildren();
    out.clear();
    if (IFileNode* node = item->fileNode())
        ForEachSibling(node->GetFirstChild(), [&](IFileNode* child) {
            if (!child->IsDirectory() && child->IsNodeShow()) out.emplace_back(child);
            return true;
        });
    return out.empty() ? 0 : 1;
}

int VXResultTrees::GetTypeInfoToArray(OpNodeList& out, const OpNodeRef& item) {
    if (!item) return 0;
    out.clear();
    if (!item->parent() && !VXTypeMgr::share().isOtherNode(item)) return 1;
    if (const OpNodeList* children = item->children()) out = *children;
    return 0;
}

int VXResultTrees::GetDateInfoToArray(OpNodeList& out, const OpNodeRef& item) {
    if (!item) return 0;
    item->ensureChildren();
    out.clear();
    if (!item->parent()) return 0;
    int year = 0;
    VXCPPPublic::instance().GetYearMonthByTimeT(&year, nullptr,
                                                item->type() == 3 ? item->modifytime() : item->createtime());
    if (item->name() == QString::asprintf("%04d", year)) return 0;
    out = *item->children();
    return 0;
}

std::size_t VXResultTrees::GetNodeChildrenCnt(const OpNodeRef& item) {
    if (!item || !item->children()) return 0;
    const bool dateRoot = !item->parent() && (item->type() == 2 || item->type() == 3);
    std::size_t total = 0;
    for (const OpNodeEntry& child : *item->children()) {
        if (dateRoot && child.isItem()) {
            total += GetNodeChildrenCnt(child.item());
        } else if (child.isItem()) {
            total += child.item()->children() ? child.item()->children()->size() : 0;
        } else {
            total += item->children()->size();
            break;
        }
    }
    return total;
}

void VXResultTrees::setNodeState(const OpNodeRef& month, const std::vector<IFileNode*>& files) {
    if (!month) return;
    long long sum = 0, shown = 0;
    for (IFileNode* node : files) {
        if (!node || !node->IsNodeShow()) continue;
        const int s = node->GetCheckedStatus();
        sum += s;
        ++shown;
        if (s >= 1)
            month->setNodeState(1);
        else if (sum >= 1 && month->state() == 1)
            break; // ticked and unticked files both seen
    }
    if (sum == 0)
        month->setNodeState(0);
    else if (sum == 2 * shown)
        month->setNodeState(2);
}

void VXResultTrees::RefreshTimeTreeState(VXUIScan& scan, const OpNodeList& dateRoots) {
    const std::shared_ptr<ScanSession> session = scan.Session();
    for (const OpNodeEntry& root : dateRoots) {
        if (!root.isItem() || !root.item()->children()) continue;
        for (const OpNodeEntry& year : OpNodeList(*root.item()->children())) {
            if (!year.isItem() || !year.item()->children()) continue;
            for (const OpNodeEntry& month : OpNodeList(*year.item()->children())) {
                if (!month.isItem()) continue;
                const OpNodeRef& group = month.item();
                const int view = group->type();
                int y = 0, m = 0;
                VXCPPPublic::instance().GetYearMonthByTimeT(&y, &m, view == 3 ? group->modifytime() : group->createtime());
                setNodeState(group, session->Results().DateFiles(view == 3 ? 3 : 2, y, m));
            }
        }
    }
}

void VXResultTrees::RefreshTypeTreeState(const OpNodeRef& item) {
    if (item)
        VXTypeMgr::share().setNodeState(item);
    else
        VXTypeMgr::share().refreshTypeTreeState();
}
