#include "engine/exfat/ExfatFileNode.h"

CExFatFileNode::CExFatFileNode(const CExFatFileNode& other)
    : CFileNode(other), m_name(other.m_name), m_size(other.m_size), m_valid(other.m_valid), m_attributes(other.m_attributes),
      m_creation(other.m_creation), m_modification(other.m_modification), m_access(other.m_access) {
    m_id = -1;
    m_parentId = -1;
}

IFileNode* CExFatFileNode::Clone() { return new CExFatFileNode(*this); }
