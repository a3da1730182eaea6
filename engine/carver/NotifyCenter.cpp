#include "engine/carver/NotifyCenter.h"

CNotifyCenter& CNotifyCenter::Instance() {
    static CNotifyCenter center;
    return center;
}
