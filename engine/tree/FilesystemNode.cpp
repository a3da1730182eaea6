#include "engine/tree/FilesystemNode.h"

#include <utility>

CFilesystemNode::CFilesystemNode(_tagSearcherType type, std::string name, std::string volumeName, long long id)
    : m_type(type), m_name(std::move(name)), m_volumeName(std::move(volumeName)) {
    m_id = id;
}
