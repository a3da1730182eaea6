#include "services/TypeMgr.h"

#include "engine/include/FileNode.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "services/CPPPublic.h"
#include "services/UIScan.h"

#include <QMimeDatabase>
#include <QStringList>
#include <QVariantList>

VXTypeMgr& VXTypeMgr::share() {
    static VXTypeMgr* const manager = new VXTypeMgr;
    return *manager;
}

VXTypeMgr::VXTypeMgr(const QString& catalogue) {
    const QString path = catalogue.isEmpty() ? salvor::platform::resourcePath(QStringLiteral("FileType.plist")) : catalogue;
    m_dic = salvor::platform::readPropertyList(path).toMap();
    const QMimeDatabase mime;
    for (int category : kCategories) {
        // A later category wins an extension listed twice.
        for (const QVariant& ext : m_dic.value(QString::number(category)).toList())
            m_typeDict.insert(ext.toString(), category);
        TreeNodeData data;
        data.isDirectory = 1;
        OpNodeRef root = OpNodeData::initWithNodeData(data);
        root->setType(1);
        root->setExpandAble(1);
        root->setFadeName(QString::fromStdString(
            VXCPPPublic::instance().FilterTypeToString(static_cast<_FILTER_TYPE>(category))));
        m_rootNode[category] = root;
    }
    for (auto it = m_typeDict.cbegin(); it != m_typeDict.cend(); ++it) {
        const QString icon = mime.mimeTypeForFile(QStringLiteral("x.") + it.key(), QMimeDatabase::MatchExtension).iconName();
        m_imgDict.insert(it.key(), icon);
    }
}

OpNodeList VXTypeMgr::getRootNode() const {
    OpNodeList roots;
    for (int category : kCategories) roots.emplace_back(m_rootNode.at(category));
    return roots;
}

void VXTypeMgr::refreshTypeTree() {
    for (const auto& [category, files] : VXUIScan::instance().GetTypeMap()) {
        std::size_t& position = m_typeIndexMap[category];
        for (std::size_t i = position; i < files.size(); ++i) {
            position = i;
            IFileNode* node = files[i];
            if (!node || !node->IsNodeShow() || !m_insertFileNodeMap.insert(node).second) continue;
            const QString ext = QString::fromStdString(VXUIScan::GetNodeExt(node));
            if (m_typeDict.contains(ext)) {
                OpNodeRef group = m_subNodeDict.value(ext);
                if (!group) group = insertSubNodeToTree(ext);
                group->addChildObject(node);
            } else {
                m_rootNode[32]->addChildObject(node);
            }
        }
    }
}

OpNodeRef VXTypeMgr::insertSubNodeToTree(const QString& ext) {
    TreeNodeData data;
    data.isDirectory = 1;
    OpNodeRef group = OpNodeData::initWithNodeData(data);
    group->setExpandAble(1);
    group->setFadeName(ext);
    group->setType(1);
    group->setNodeState(0);
    const OpNodeRef& root = m_rootNode[m_typeDict.value(ext, 32)];
    group->setParent(root);
    root->addChildObject(group);
    m_subNodeDict.insert(ext, group);
    return group;
}

void VXTypeMgr::setNodeState(const OpNodeRef& item) {
    if (!item) return;
    std::size_t ticked = 0, files = 0;
    if (const OpNodeList* children = item->children())
        for (const OpNodeEntry& e : *children)
            if (!e.isItem()) {
                ++files;
                if (OpNodeData::fileNodeState(e.file()) == CHECK_ALL) ++ticked;
            }
    item->setNodeState(ticked == 0 ? 0 : (ticked == files ? 2 : 1));
}

void VXTypeMgr::refreshTypeTreeState() {
    for (const auto& [category, root] : m_rootNode) {
        if (category == 32) {
            setNodeState(root);
            continue;
        }
        if (const OpNodeList* groups = root->children())
            for (const OpNodeEntry& e : OpNodeList(*groups))
                if (e.isItem()) setNodeState(e.item());
    }
}

bool VXTypeMgr::isOtherNode(const OpNodeRef& item) const { return item && item == m_rootNode.at(32); }

QString VXTypeMgr::getImageForType(const QString& ext) const { return m_imgDict.value(ext); }

QString VXTypeMgr::getTypeString(int category) const {
    const QString key = QString::number(category);
    if (!m_dic.contains(key)) return QString();
    QStringList exts;
    for (const QVariant& ext : m_dic.value(key).toList()) exts << ext.toString();
    return exts.join(QLatin1Char(';'));
}

void VXTypeMgr::clear() {
    m_subNodeDict.clear();
    for (auto& [category, root] : m_rootNode) {
        root->clearChildren();
        root->setNodeState(0);
    }
    m_insertFileNodeMap.clear();
    m_typeIndexMap.clear();
}

void VXTypeMgr::setSearch(bool) {
    m_insertFileNodeMap.clear();
    for (auto& [category, root] : m_rootNode) {
        root->setNodeState(0);
        root->clearChildren();
    }
    m_subNodeDict.clear();
    m_typeIndexMap.clear();
}
