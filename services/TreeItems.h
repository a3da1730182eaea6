#pragma once
// The items the windows display: OpNodeData, the item of every result tree
// (path, type and date views), which wraps one found node or stands for a
// group (category, extension, date root, year, month) and carries the
// tri-state tick mark; and DiskVolumeNodeData, the item of the device list.
// Both are made and used on the main thread. Items are shared by identity
// (widgets keep and compare the same object); a parent link is weak.
#include "engine/include/EngineTypes.h"

#include <QString>

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class IFileNode;
struct _DiskVolumeData;

class OpNodeData;
using OpNodeRef = std::shared_ptr<OpNodeData>;

// An element of an item's children: a child item, or a found file (a file
// entry) as the type and date groups and the file lists hold them.
class OpNodeEntry {
public:
    OpNodeEntry(OpNodeRef item) : m_item(std::move(item)) {}
    OpNodeEntry(IFileNode* file) : m_file(file) {}

    bool isItem() const { return m_item != nullptr; }
    const OpNodeRef& item() const { return m_item; }
    IFileNode* file() const { return m_file; }
    friend bool operator==(const OpNodeEntry& a, const OpNodeEntry& b) {
        return a.m_item == b.m_item && a.m_file == b.m_file;
    }

private:
    OpNodeRef m_item;
    IFileNode* m_file = nullptr;
};

using OpNodeList = std::vector<OpNodeEntry>;

// What an item is made from. The directory and deleted flags are carried for
// the makers; the item reads the root flag and the node.
struct TreeNodeData {
    std::uint32_t isDirectory = 0;
    std::uint32_t isDeleted = 0;
    std::uint32_t isFileSystem = 0;
    IFileNode* node = nullptr;
};

class OpNodeData : public std::enable_shared_from_this<OpNodeData> {
public:
    // An item for a record: state 0, not expandable, both times now, no
    // parent, no children, type 0.
    static OpNodeRef initWithNodeData(const TreeNodeData& data);
    // An item for a found node (not a file-system root).
    static OpNodeRef initWithFileNode(IFileNode* node);

    // Children: none until set; setSubNode makes this item the parent of
    // every child item.
    const OpNodeList* children() const { return m_children ? &*m_children : nullptr; }
    OpNodeList& ensureChildren();
    void setSubNode(OpNodeList children);
    void addChildObject(OpNodeEntry child);
    void clearChildren() { m_children.reset(); }

    OpNodeRef parent() const { return m_parent.lock(); }
    void setParent(const OpNodeRef& parent) { m_parent = parent; }
    IFileNode* fileNode() const { return m_node; }
    int isFileSystem() const { return m_isFileSystem; }
    int type() const { return m_type; }
    void setType(int type) { m_type = type; }
    std::time_t createtime() const { return m_createTime; }
    void setCreateTime(std::time_t t) { m_createTime = t; }
    std::time_t modifytime() const { return m_modifyTime; }
    void setModifyTime(std::time_t t) { m_modifyTime = t; }
    int isExpandAble() const { return m_expandable; }
    void setExpandAble(int expandable) { m_expandable = expandable; }
    const QString& fadeName() const { return m_fadeName; }
    void setFadeName(const QString& name) { m_fadeName = name; }

    // A group: a type other than 0 and no node.
    bool isFadeNode() const { return m_type != 0 && !m_node; }
    bool isDirect() const;
    std::uint64_t size() const;
    QString name() const;
    QString path() const;
    // Display texts of the node's times; "" for groups (and for a creation
    // time of 0).
    QString createTime() const;
    QString modifyTime() const;
    long long createTimeValue() const;
    bool isDeleted() const;
    // A node item: whether one of the node's children is a folder (the
    // sibling chain is loop-guarded); a group: its expandable flag.
    bool isHasFolderChildren() const;
    // The icon kind: 0 file-system root, 1 file or folder; groups: 2-7 the
    // categories 1, 2, 4, 8, 16, 32, 8 a date root, 9 a year or month, 10
    // anything else.
    int nodeType() const;
    // The node's tick state for a node item, else the stored state.
    int state() const;

    // Tick changes: the node (or the stored state) takes s, the change climbs
    // the chain of group parents and goes down to every child.
    void setNodeState(int s);
    void setParentNodeState(int s);
    void SetChildrenNodeState(int s);

    // On found files held as file entries; null nodes answer the neutral value.
    static bool isFileNodeDirect(IFileNode* node);
    static bool isFileNodeDeleted(IFileNode* node);
    static int fileNodeState(IFileNode* node);
    // SetCheck for states 0 to 2; anything else is ignored.
    static void setFileNode(IFileNode* node, int state);
    static QString fileNodeName(IFileNode* node);
    // A found file's size in bytes (0 for none or a negative record).
    static std::uint64_t fileNodeSize(IFileNode* node);

    OpNodeData(const OpNodeData&) = delete;
    OpNodeData& operator=(const OpNodeData&) = delete;

private:
    OpNodeData() = default;
    bool parentIsGroup() const;
    void setChildrenState(int s, int depth);

    int m_type = 0;
    int m_isFileSystem = 0;
    std::optional<OpNodeList> m_children;
    IFileNode* m_node = nullptr;
    int m_state = 0;
    int m_expandable = 0;
    std::time_t m_createTime = 0;
    std::time_t m_modifyTime = 0;
    QString m_fadeName;
    std::weak_ptr<OpNodeData> m_parent;
};

class DiskVolumeNodeData;
using DiskVolumeNodeRef = std::shared_ptr<DiskVolumeNodeData>;

class DiskVolumeNodeData {
public:
    // The record's name, or the localised "DEVICE_NAME_UNTITILED" when it has none.
    static DiskVolumeNodeRef initWithNodeData(const _DiskVolumeData& record);
    // One item per disk record, in order, its volume records as children
    // (each naming its disk as parent).
    static std::vector<DiskVolumeNodeRef> itemsFromRecords(const std::list<_DiskVolumeData>& disks);

    void setSubNode(std::vector<DiskVolumeNodeRef> children) { m_children = std::move(children); }
    const std::vector<DiskVolumeNodeRef>& children() const { return m_children; }

    const QString& name() const { return m_name; }
    const QString& parentName() const { return m_parentName; }
    void setParentName(const QString& name) { m_parentName = name; }
    std::uint64_t capacity() const { return m_capacity; }
    int diskIndex() const { return m_diskIndex; }
    int volumeIndex() const { return m_volumeIndex; }
    int fileSystem() const { return m_fileSystem; }
    int isDmg() const { return m_isDmg; }
    int isUsb() const { return m_isUsb; }
    int beCanOpen() const { return m_canOpen; }
    // The device list's texts of the size and the kind ("Disk Image", the
    // file system, or "Disk"), wherever a device is named to the user.
    QString sizeText() const;
    QString kindText() const;
    // The device's identity across listings (its indices change when other
    // media come or go); "" when the list gave none.
    const std::string& identity() const { return m_identity; }

private:
    QString m_name;
    QString m_parentName;
    std::uint64_t m_capacity = 0;
    int m_diskIndex = -1;
    int m_volumeIndex = -1;
    int m_fileSystem = -1;
    int m_isDmg = 0;
    int m_isUsb = 0;
    int m_canOpen = 1;
    std::string m_identity;
    std::vector<DiskVolumeNodeRef> m_children;
};
