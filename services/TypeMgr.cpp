#include "services/TypeMgr.h"

#include "engine/include/FileNode.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "services/CPPPublic.h"
#include "services/ResultIndex.h"

#include <QMimeDatabase>
#include <QStringList>
#include <QVariantList>

#include <cctype>
#include <cstring>

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
            m_typeDict[ext.toString().toStdString()] = category;
        TreeNodeData data;
        data.isDirectory = 1;
        OpNodeRef root = OpNodeData::initWithNodeData(data);
        root->setType(1);
        root->setExpandAble(1);
        root->setFadeName(QString::fromStdString(
            VXCPPPublic::instance().FilterTypeToString(static_cast<_FILTER_TYPE>(category))));
        m_rootNode[category] = root;
    }
    for (const auto& [ext, category] : m_typeDict) {
        const QString name = QString::fromStdString(ext);
        m_imgDict.insert(name, mime.mimeTypeForFile(QStringLiteral("x.") + name, QMimeDatabase::MatchExtension).iconName());
    }
}

OpNodeList VXTypeMgr::getRootNode() const {
    OpNodeList roots;
    for (int category : kCategories) roots.emplace_back(m_rootNode.at(category));
    return roots;
}

namespace {
// The text after the last "." of the name, ASCII lower-cased, into ext
// (reused, so short extensions cost no allocation).
void ExtensionOf(IFileNode* node, std::string& ext) {
    ext.clear();
    const char* name = node->GetFileName();
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot) return;
    for (const char* c = dot + 1; *c; ++c) ext.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
}
} // namespace

void VXTypeMgr::refreshTypeTree(const ResultIndex& results) {
    std::string ext;
    for (const auto& [category, files] : results.TypesSince(m_typeIndexMap)) {
        std::size_t& position = m_typeIndexMap[category];
        const std::size_t base = position;
        for (std::size_t k = 0; k < files.size(); ++k) {
            IFileNode* node = files[k];
            if (!node || !node->IsNodeShow()) {
                position = base + k;
                continue;
            }
            position = base + k + 1;
            ExtensionOf(node, ext);
            const auto known = m_typeDict.find(ext);
            if (known == m_typeDict.end()) {
                m_rootNode[32]->addChildObject(node);
                continue;
            }
            const auto group = m_subNodeDict.find(ext);
            (group != m_subNodeDict.end() ? group->second : insertSubNode(ext))->addChildObject(node);
        }
    }
}

OpNodeRef VXTypeMgr::insertSubNodeToTree(const QString& ext) { return insertSubNode(ext.toStdString()); }

OpNodeRef VXTypeMgr::insertSubNode(const std::string& ext) {
    TreeNodeData data;
    data.isDirectory = 1;
    OpNodeRef group = OpNodeData::initWithNodeData(data);
    group->setExpandAble(1);
    group->setFadeName(QString::fromStdString(ext));
    group->setType(1);
    group->setNodeState(0);
    const auto category = m_typeDict.find(ext);
    const OpNodeRef& root = m_rootNode[category == m_typeDict.end() ? 32 : category->second];
    group->setParent(root);
    root->addChildObject(group);
    m_subNodeDict[ext] = group;
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
        // Children first: the old files may be gone, only the roots' own
        // states are reset.
        root->clearChildren();
        root->setNodeState(0);
    }
    m_typeIndexMap.clear();
}

void VXTypeMgr::setSearch(bool) {
    for (auto& [category, root] : m_rootNode) {
        root->setNodeState(0);
        root->clearChildren();
    }
    m_subNodeDict.clear();
    m_typeIndexMap.clear();
}
