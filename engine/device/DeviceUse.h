#pragma once
// Devices opened by path hold their descriptor only while it is needed, so
// the system can let a device go (a detached loop device leaves at once, a
// pulled card is not kept). A user (a scan, a recovery, a preview) keeps the
// device open from BeginUse to its EndUse; with none, each read opens the
// device and closes it after.
#include "engine/include/StorageDevice.h"

class IDeviceUse {
public:
    // 0 when the device cannot be opened (EndUse is then not owed).
    virtual int BeginUse() = 0;
    virtual void EndUse() = 0;

protected:
    ~IDeviceUse() = default;
};

// One use of a device for as long as it lives. A device that does not count
// its uses needs none: Held() is then false and nothing is owed.
class CDeviceUse {
public:
    CDeviceUse() = default;
    explicit CDeviceUse(IStorageDevice* device) {
        auto* use = dynamic_cast<IDeviceUse*>(device);
        if (use && use->BeginUse())
            m_use = use;
    }
    CDeviceUse(CDeviceUse&& other) noexcept : m_use(other.m_use) { other.m_use = nullptr; }
    CDeviceUse& operator=(CDeviceUse&& other) noexcept {
        if (this != &other) {
            if (m_use)
                m_use->EndUse();
            m_use = other.m_use;
            other.m_use = nullptr;
        }
        return *this;
    }
    CDeviceUse(const CDeviceUse&) = delete;
    CDeviceUse& operator=(const CDeviceUse&) = delete;
    ~CDeviceUse() {
        if (m_use)
            m_use->EndUse();
    }
    bool Held() const { return m_use != nullptr; }

private:
    IDeviceUse* m_use = nullptr;
};
