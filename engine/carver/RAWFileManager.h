#pragma once
// Files sized carved candidates into the two trees of carved files: by
// category and extension (searcher type 34) and, for records with a label,
// by label (searcher type 36).
#include "engine/carver/RAWFileNode.h"
#include "engine/include/SearchInterfaces.h"

#include <map>
#include <string>

// The tree by label: tag folder ("Camera", ...), for Office documents an
// application folder, then one folder per label value, then the files.
// Folders are handed to the tree builder with the first file placed under
// them, so a folder made for a record that could not be placed never hangs
// in the tree empty, and later files never hang under an unknown folder.
class CLABELRAWTreeBuilder {
public:
    static constexpr long long kRootId = 1000;
    static constexpr int kNotPlaced = -1;

    explicit CLABELRAWTreeBuilder(CRawCarveState& state) : m_state(state) {}

    // Places a labelled record: the builder's answer for the file node, or
    // kNotPlaced for a record without a label, with a tag above 5 or an Office
    // record of a type without an application folder.
    int InsertNodeToTree(CRawFileInfo* record, IDirecotryTreeBuilder* builder);
    // The label value followed by the suffix of the tag (or the application).
    static std::string GetKeyName(CRawFileInfo* record);

private:
    struct Folder {
        long long id;
        long long parentId;
        std::string name;
        Folder* parent; // null under the root
        bool handed = false;
    };
    Folder* TagFolder(RAW_FILE_TAG tag);
    Folder* OfficeFolder(const Folder& tagFolder, unsigned type);
    void HandOver(Folder* folder, IDirecotryTreeBuilder* builder);

    CRawCarveState& m_state;
    std::map<int, Folder> m_mapTagFolder;
    std::map<std::string, Folder> m_mapKeyFolder;  // value folders by key name
    std::map<std::string, Folder> m_mapOfficeFolder; // "Word", "Excel", "PowerPoint"
};

// The tree by category and extension of one file category.
class CRAWFileManager {
public:
    CRAWFileManager(int rootId, int fileType, IDirecotryTreeBuilder* builder, CRawCarveState& state,
                    CLABELRAWTreeBuilder& labels)
        : m_nRootID(rootId), m_eFileType(fileType), m_pTreeBuilder(builder), m_state(state), m_labels(labels) {}

    // Files one sized record; 1 when the builder took its node.
    int AddRawFileInfo(CRawFileInfo* record);

private:
    int AddNode(CRawFileInfo* record, unsigned attribute, long long parent, long long id);

    struct Folder {
        long long id;
        bool handed = false;
    };
    int m_nRootID;
    int m_eFileType;
    IDirecotryTreeBuilder* m_pTreeBuilder;
    CRawCarveState& m_state;
    CLABELRAWTreeBuilder& m_labels;
    std::map<std::string, Folder> m_mapExtFolder;
};
