#include "engine/carver/RAWFileManager.h"

#include "engine/common/FormatTable.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

struct TagRow {
    const char* name;
    long long id;
    const char* suffix;
};
// By tag 0 to 5; Office documents take their suffix from the application.
constexpr TagRow kTags[] = {{"Artists", -14, "_MP3"}, {"Camera", -15, "_CAMERA"}, {"Office", -13, nullptr},
                            {"MOV", -8, "_MOV"},      {"PDF", -7, "_PDF"},        {"AI", -6, ""}};

struct OfficeRow {
    unsigned types[2];
    const char* name;
    long long id;
};
constexpr OfficeRow kOffice[] = {{{23, 73}, "Word", -12}, {{71, 74}, "Excel", -11}, {{52, 75}, "PowerPoint", -10}};

const OfficeRow* OfficeOf(unsigned type) {
    for (const OfficeRow& row : kOffice)
        if (row.types[0] == type || row.types[1] == type) return &row;
    return nullptr;
}

// A folder node named `name`, made from a record as every carved node is.
CRAWFileNode* MakeDirNode(long long parentId, long long id, const std::string& name, CRawCarveState& state) {
    CRawFileInfo folder;
    folder.m_llStartSector = -1;
    folder.SetRawFileName(name);
    auto* node = new CRAWFileNode();
    node->Initilaize(&folder, CRAWFileNode::kFolder, parentId, id, state);
    return node;
}

// Hands a new node to the builder; a refused one is freed here.
int Hand(IDirecotryTreeBuilder* builder, CRAWFileNode* node, _tagSearcherType type) {
    const int taken = builder->AddNode(node, type);
    if (!taken) node->Release();
    return taken;
}

} // namespace

// ---- label tree -------------------------------------------------------------

std::string CLABELRAWTreeBuilder::GetKeyName(CRawFileInfo* record) {
    RAW_FILE_TAG tag;
    std::string value;
    record->GetRawFileTagAndValue(tag, value);
    if (tag == RAW_TAG_OFFICE) {
        const OfficeRow* office = OfficeOf(record->m_eRawFileType);
        return office ? value + "_" + office->name : value;
    }
    if (tag >= RAW_TAG_ARTIST && tag <= RAW_TAG_PDF) return value + kTags[tag].suffix;
    return value;
}

CLABELRAWTreeBuilder::Folder* CLABELRAWTreeBuilder::TagFolder(RAW_FILE_TAG tag) {
    auto it = m_mapTagFolder.find(tag);
    if (it == m_mapTagFolder.end()) {
        const TagRow& row = kTags[tag];
        it = m_mapTagFolder.emplace(tag, Folder{row.id, kRootId, row.name, nullptr}).first;
    }
    return &it->second;
}

CLABELRAWTreeBuilder::Folder* CLABELRAWTreeBuilder::OfficeFolder(const Folder& tagFolder, unsigned type) {
    const OfficeRow* row = OfficeOf(type);
    if (!row) return nullptr;
    auto it = m_mapOfficeFolder.find(row->name);
    if (it == m_mapOfficeFolder.end())
        it = m_mapOfficeFolder
                 .emplace(row->name, Folder{row->id, tagFolder.id, row->name, &m_mapTagFolder.at(RAW_TAG_OFFICE)})
                 .first;
    return &it->second;
}

void CLABELRAWTreeBuilder::HandOver(Folder* folder, IDirecotryTreeBuilder* builder) {
    // The value folder first, then the folders above it that are new.
    for (Folder* f = folder; f && !f->handed; f = f->parent) {
        f->handed = true;
        Hand(builder, MakeDirNode(f->parentId, f->id, f->name, m_state), SEARCHER_RAW_LABEL);
    }
}

int CLABELRAWTreeBuilder::InsertNodeToTree(CRawFileInfo* record, IDirecotryTreeBuilder* builder) {
    if (!record || !builder) return kNotPlaced;
    RAW_FILE_TAG tag;
    std::string value;
    record->GetRawFileTagAndValue(tag, value);
    if (tag < RAW_TAG_ARTIST || tag > RAW_TAG_AI) return kNotPlaced;
    // Decided before any folder is made, so nothing is made for a record
    // that cannot be placed.
    if (tag == RAW_TAG_OFFICE && !OfficeOf(record->m_eRawFileType)) return kNotPlaced;

    Folder* tagFolder = TagFolder(tag);
    const std::string key = GetKeyName(record);
    auto it = m_mapKeyFolder.find(key);
    if (it == m_mapKeyFolder.end()) {
        Folder* parent = tag == RAW_TAG_OFFICE ? OfficeFolder(*tagFolder, record->m_eRawFileType) : tagFolder;
        it = m_mapKeyFolder.emplace(key, Folder{m_state.nextLabelId++, parent->id, value, parent}).first;
    }
    auto* file = new CRAWFileNode();
    file->Initilaize(record, CRAWFileNode::kFile, it->second.id, m_state.nextLabelId++, m_state);
    const int taken = Hand(builder, file, SEARCHER_RAW_LABEL);
    if (taken) HandOver(&it->second, builder);
    return taken;
}

// ---- tree by category -------------------------------------------------------

int CRAWFileManager::AddRawFileInfo(CRawFileInfo* record) {
    if (!record) return 0;
    return AddNode(record, CRAWFileNode::kFile, m_eFileType, m_state.nextFileId++);
}

int CRAWFileManager::AddNode(CRawFileInfo* record, unsigned attribute, long long parent, long long id) {
    if (!m_pTreeBuilder) return 0;
    // The label decides the tree; a labelled record the label tree cannot
    // place is filed here rather than lost.
    if (record->m_eTag != RAW_TAG_NONE) {
        const int placed = m_labels.InsertNodeToTree(record, m_pTreeBuilder);
        if (placed != CLABELRAWTreeBuilder::kNotPlaced) return placed;
    }
    auto* file = new CRAWFileNode();
    file->Initilaize(record, attribute, parent, id, m_state);
    const std::string name = file->GetFileName();
    const std::size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });

    auto it = m_mapExtFolder.find(ext);
    if (it == m_mapExtFolder.end()) it = m_mapExtFolder.emplace(ext, Folder{m_state.nextFolderId++}).first;
    file->SetParentNodeID(it->second.id);
    const int taken = Hand(m_pTreeBuilder, file, SEARCHER_RAW);
    if (taken && !it->second.handed) {
        it->second.handed = true;
        Hand(m_pTreeBuilder, MakeDirNode(m_nRootID, it->second.id, ext, m_state), SEARCHER_RAW);
    }
    return taken;
}
