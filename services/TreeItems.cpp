#include "services/TreeItems.h"

#include "engine/include/FileNode.h"
#include "platform/Localization.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/NodeWalk.h"
#include "services/PublicUtilities.h"
#include "services/UIPublic.h"

#include <algorithm>

OpNodeRef OpNodeData::initWithNodeData(const TreeNodeData& data) {
    OpNodeRef item(new OpNodeData);
    item->m_isFileSystem = data.isFileSystem ? 1 : 0;
    item->m_node = data.node;
    item->m_createTime = item->m_modifyTime = std::time(nullptr);
    return item;
}

OpNodeRef OpNodeData::initWithFileNode(IFileNode* node) {
    TreeNodeData data;
    data.node = node;
    return initWithNodeData(data);
}

OpNodeList& OpNodeData::ensureChildren() {
    if (!m_children) m_children.emplace();
    return *m_children;
}

void OpNodeData::setSubNode(OpNodeList children) {
    const OpNodeRef self = shared_from_this();
    for (const OpNodeEntry& child : children)
        if (child.isItem()) child.item()->setParent(self);
    m_children = std::move(children);
}

void OpNodeData::addChildObject(OpNodeEntry child) { ensureChildren().push_back(std::move(child)); }

bool OpNodeData::isDirect() const {
    if (isFadeNode()) return true;
    return m_node && m_node->IsDirectory();
}

std::uint64_t OpNodeData::size() const {
    if (!m_node || isDirect()) return 0;
    const long long size = m_node->GetFileSize();
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

QString OpNodeData::name() const {
    if (m_node) return fileNodeName(m_node);
    if (isFadeNode()) return m_fadeName;
    return QString();
}

QString OpNodeData::path() const {
    if (isFadeNode() || !m_node) return QString();
    return VXUIPublic::GetPathByFileNode(m_node);
}

QString OpNodeData::createTime() const {
    if (isFadeNode() || !m_node) return QString();
    const _FILETIME t = m_node->GetCreationTime();
    if (t.Value() == 0) return QString();
    return VXUIPublic::FormatFileTimeToString(t);
}

QString OpNodeData::modifyTime() const {
    if (isFadeNode() || !m_node) return QString();
    return VXUIPublic::FormatFileTimeToString(m_node->GetModificationTime());
}

long long OpNodeData::createTimeValue() const {
    if (isFadeNode() || !m_node) return 0;
    return static_cast<long long>(m_node->GetCreationTime().Value());
}

bool OpNodeData::isDeleted() const {
    if (isFadeNode() || !m_node) return false;
    return m_node->IsDeleted() != 0;
}

bool OpNodeData::isHasFolderChildren() const {
    if (isFadeNode()) return m_expandable != 0;
    if (!m_node) return false;
    bool folder = false;
    ForEachSibling(m_node->GetFirstChild(), [&](IFileNode* child) {
        folder = child->IsDirectory() != 0;
        return !folder;
    });
    return folder;
}

int OpNodeData::nodeType() const {
    if (isFadeNode()) {
        if (m_type == 1) {
            switch (VXCPPPublic::instance().StringToFilterType(m_fadeName.toUtf8().constData())) {
            case FILTER_PICTURE: return 2;
            case FILTER_MUSIC: return 3;
            case FILTER_MOVIE: return 4;
            case FILTER_ARCHIVE: return 5;
            case FILTER_DOCUMENT: return 6;
            default: return 7;
            }
        }
        if (m_type == 2 || m_type == 3) return parent() ? 9 : 8;
        return 10;
    }
    if (!m_node) return 10;
    return m_isFileSystem ? 0 : 1;
}

int OpNodeData::state() const {
    if (m_node && !isFadeNode()) return m_node->GetCheckedStatus();
    return m_state;
}

bool OpNodeData::parentIsGroup() const {
    const OpNodeRef p = parent();
    return p && p->isFadeNode();
}

void OpNodeData::setNodeState(int s) {
    if (m_node && !isFadeNode())
        setFileNode(m_node, s);
    else
        m_state = s;
    if (parentIsGroup()) setParentNodeState(s);
    SetChildrenNodeState(s);
}

void OpNodeData::setParentNodeState(int s) {
    // Iterative climb: group chains are short, but a chain made into a circle
    // by mistake must still end.
    OpNodeRef hold;
    OpNodeData* item = this;
    for (int depth = 0; depth < kMaxNodeDepth; ++depth) {
        item->m_state = s;
        OpNodeRef p = item->parent();
        if (!p || !p->isFadeNode()) return;
        if (s != 1) {
            long long sum = 0, count = 0;
            if (const OpNodeList* siblings = p->children()) {
                for (const OpNodeEntry& e : *siblings) {
                    sum += e.isItem() ? e.item()->state() : fileNodeState(e.file());
                    ++count;
                }
            }
            s = sum == 0 ? 0 : (sum == 2 * count ? 2 : 1);
        }
        hold = std::move(p);
        item = hold.get();
    }
}

void OpNodeData::SetChildrenNodeState(int s) { setChildrenState(s, 0); }

void OpNodeData::setChildrenState(int s, int depth) {
    if (m_node && !isFadeNode()) {
        // Under a path item the node model carries the change down itself.
        if (parentIsGroup()) setFileNode(m_node, s);
        return;
    }
    m_state = s;
    if (s == 1 || !m_children || depth >= kMaxNodeDepth) return;
    for (const OpNodeEntry& child : *m_children) {
        if (child.isItem())
            child.item()->setChildrenState(s, depth + 1);
        else
            setFileNode(child.file(), s);
    }
}

bool OpNodeData::isFileNodeDirect(IFileNode* node) { return node && node->IsDirectory(); }

bool OpNodeData::isFileNodeDeleted(IFileNode* node) { return node && node->IsDeleted(); }

int OpNodeData::fileNodeState(IFileNode* node) { return node ? node->GetCheckedStatus() : 0; }

std::uint64_t OpNodeData::fileNodeSize(IFileNode* node) {
    return node ? static_cast<std::uint64_t>(std::max<long long>(0, node->GetFileSize())) : 0;
}

void OpNodeData::setFileNode(IFileNode* node, int state) {
    if (node && state >= CHECK_NONE && state <= CHECK_ALL) node->SetCheck(static_cast<_tagCheckedStatus>(state));
}

QString OpNodeData::fileNodeName(IFileNode* node) {
    const char* name = node ? node->GetFileName() : nullptr;
    return QString::fromUtf8(name ? name : "");
}

DiskVolumeNodeRef DiskVolumeNodeData::initWithNodeData(const _DiskVolumeData& record) {
    auto item = std::make_shared<DiskVolumeNodeData>();
    if (record.name && record.name[0])
        item->m_name = QString::fromUtf8(record.name);
    else
        item->m_name = salvor::platform::localizedString("DEVICE_NAME_UNTITILED");
    item->m_capacity = record.size;
    item->m_diskIndex = record.diskIndex;
    item->m_volumeIndex = record.volumeIndex;
    item->m_fileSystem = static_cast<int>(record.fileSystem);
    item->m_isDmg = record.isDmg ? 1 : 0;
    item->m_isUsb = record.isUsb ? 1 : 0;
    item->m_canOpen = record.canOpen ? 1 : 0;
    item->m_identity = record.identity;
    return item;
}

QString DiskVolumeNodeData::sizeText() const {
    return VXPublicUtilities::longlongDiskSize(static_cast<long long>(m_capacity));
}

QString DiskVolumeNodeData::kindText() const { return VXPublicUtilities::fileSystemTypeForInt(m_fileSystem, m_isDmg); }

std::vector<DiskVolumeNodeRef> DiskVolumeNodeData::itemsFromRecords(const std::list<_DiskVolumeData>& disks) {
    std::vector<DiskVolumeNodeRef> items;
    for (const _DiskVolumeData& disk : disks) {
        DiskVolumeNodeRef item = initWithNodeData(disk);
        if (!disk.children.empty()) {
            std::vector<DiskVolumeNodeRef> volumes;
            for (const _DiskVolumeData& volume : disk.children) {
                volumes.push_back(initWithNodeData(volume));
                volumes.back()->setParentName(item->name());
            }
            item->setSubNode(std::move(volumes));
        }
        items.push_back(std::move(item));
    }
    return items;
}
