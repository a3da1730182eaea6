#pragma once
// The tree of the type view: six category roots (pictures, music, movies,
// archives, documents, other), under each one group per extension, under each
// group the found files of that extension. The catalogue of extensions is the
// shipped "FileType" property list. Each pass inserts only what the scan
// filed since the last one. Main thread only.
#include "services/TreeItems.h"

#include <QHash>
#include <QString>
#include <QVariantMap>

#include <map>
#include <string>
#include <unordered_map>

class ResultIndex;

class VXTypeMgr {
public:
    static VXTypeMgr& share();
    // A manager over a catalogue file (tests); "" reads the shipped one.
    explicit VXTypeMgr(const QString& catalogue = QString());
    virtual ~VXTypeMgr() = default;

    // The six roots in the order 1, 2, 4, 8, 16, 32.
    OpNodeList getRootNode() const;
    // Inserts the shown files results filed since the last pass.
    void refreshTypeTree(const ResultIndex& results);
    // The group of an extension, made under its category's root.
    OpNodeRef insertSubNodeToTree(const QString& ext);
    // The tick state of a group (or of the "other" root) from its files.
    void setNodeState(const OpNodeRef& item);
    void refreshTypeTreeState();
    bool isOtherNode(const OpNodeRef& item) const;
    // The icon request of an extension: the name of its themed icon, which
    // ui/kit resolves on the main thread; null outside the catalogue.
    QString getImageForType(const QString& ext) const;
    // The category's extensions joined with ";"; null when the catalogue has
    // no such category.
    QString getTypeString(int category) const;
    // Empties the tree for a new scan: groups and files go, the roots stay
    // (unticked).
    void clear();
    // Empties the tree for a name search, unticking every shown file first.
    void setSearch(bool search);

    static constexpr int kCategories[] = {1, 2, 4, 8, 16, 32};

private:
    OpNodeRef insertSubNode(const std::string& ext);

    QVariantMap m_dic;
    std::unordered_map<std::string, int> m_typeDict; // extension → category
    std::map<int, OpNodeRef> m_rootNode;
    std::unordered_map<std::string, OpNodeRef> m_subNodeDict;
    QHash<QString, QString> m_imgDict;
    // Per category, where the next pass starts in the scan's list. A pass
    // ends on the last node it examined when that one was hidden, so it is
    // looked at once more; files it inserted are not (no second entry).
    std::map<int, std::size_t> m_typeIndexMap;
};
