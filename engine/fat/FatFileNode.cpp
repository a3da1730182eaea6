#include "engine/fat/FatFileNode.h"

#include "engine/include/FileNode.h"

CFATFileNode::~CFATFileNode() { CFATFileProperties::Destory(m_properties); }

const char* CFATFileNode::GetFileName() { return m_properties ? m_properties->GetFileName() : ""; }

long long CFATFileNode::GetFileSize() { return m_properties ? m_properties->GetFileSize() : 0; }

unsigned CFATFileNode::GetAttribute() { return m_properties ? (m_properties->GetAttribute() & 0xFFFF) : 0; }

_FILETIME CFATFileNode::GetCreationTime() { return m_properties ? m_properties->GetCreationTime() : _FILETIME{}; }

_FILETIME CFATFileNode::GetModificationTime() {
    return m_properties ? m_properties->GetModificationTime() : _FILETIME{};
}

_FILETIME CFATFileNode::GetLastAccessTime() {
    return m_properties ? m_properties->GetLastAccessTime() : _FILETIME{};
}

int CFATFileNode::IsDirectory() { return m_properties && (m_properties->GetAttribute() & 0x10) ? 1 : 0; }

int CFATFileNode::IsDeleted() {
    return m_properties && (m_properties->GetState() & CFATFileProperties::kStateDeleted) ? 1 : 0;
}

void CFATFileNode::MarkDeleted() {
    if (m_properties) m_properties->SetState(m_properties->GetState() | CFATFileProperties::kStateDeleted);
}

void CFATFileNode::FilterFileNameByDot() {
    if (!m_properties) return;
    const std::string name = CFileNode::FilterFileNameByDot(std::string(m_properties->GetFileName()));
    m_properties->SetFileName(name.c_str());
}

void CFATFileNode::SetFileName(const char* name) {
    if (m_properties) m_properties->SetFileName(name);
}

bool CFATFileNode::SetFileProperties(IFileProperties* properties) {
    auto* fat = dynamic_cast<CFATFileProperties*>(properties);
    if (!fat) {
        delete properties;
        return false;
    }
    if (fat != m_properties) CFATFileProperties::Destory(m_properties);
    m_properties = fat;
    SetNodeID(fat->GetFirstClusterNum());
    SetParentNodeID(fat->GetParentFirstClusterNum());
    SetMetaDataSector(fat->GetMetaDataSector());
    return true;
}

IFileNode* CFATFileNode::Clone() {
    auto* copy = new CFATFileNode();
    if (m_properties) {
        IFileProperties* props = m_properties->Clone();
        if (!props || !copy->SetFileProperties(props)) {
            copy->Release();
            return nullptr;
        }
    }
    copy->SetDataRunList(m_dataRuns ? m_dataRuns->Clone() : nullptr);
    copy->m_id = m_id;
    copy->m_parentId = m_parentId;
    copy->m_state.store(m_state.load());
    copy->m_compressed = m_compressed;
    return copy;
}

void CFATFileNode::TakeDuplicateProperties(CFileNode& other) {
    auto* twin = dynamic_cast<CFATFileNode*>(&other);
    if (twin && twin->m_properties && m_properties && twin != this) *m_properties = *twin->m_properties;
}
