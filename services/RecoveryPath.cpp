#include "services/RecoveryPath.h"

#include <cstring>

char* CreateRecoveryFilePathByNode(void* node, RecoveryDestination& destination) {
    CRecoveryFile file;
    if (!CreateRecoveryFile(static_cast<IFileNode*>(node), destination, file)) return nullptr;
    return ::strdup(file.Path().c_str());
}
