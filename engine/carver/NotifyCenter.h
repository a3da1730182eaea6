#pragma once
// Relays the deep scan's stop request to the carver and its page readers,
// which have no progress sink of their own. One carve runs at a time.
#include "engine/include/Progress.h"

class CNotifyCenter {
public:
    static CNotifyCenter& Instance();

    void SetProgress(IProgress* progress) { m_pProgress = progress; }
    // The sink's answer; true without a sink.
    bool isContinue() const { return !m_pProgress || m_pProgress->Continued() != 0; }
    void Reset() { m_pProgress = nullptr; }
    IProgress* GetProgress() const { return m_pProgress; }

private:
    CNotifyCenter() = default;
    IProgress* m_pProgress = nullptr;
};
