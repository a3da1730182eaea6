#include "services/USBMonitorNotifier.h"

#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/utility/CatchExeception.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"

#include <exception>
#include <vector>

namespace {
// A steady stream of arrivals still gets its attach after this long.
constexpr int kLongestBurst = 4; // settle times
} // namespace

using salvor::platform::MediaEvent;
using salvor::platform::NotificationCenter;

CMediaNotifier::CMediaNotifier(std::unique_ptr<salvor::platform::IMediaEventSource> source, IBlockDeviceFacts& facts,
                               std::chrono::milliseconds settle)
    : m_source(std::move(source)), m_facts(facts), m_settle(settle) {}

CMediaNotifier::~CMediaNotifier() { salvor::platform::cancelPerforms(this); }

namespace {
// The facts of a medium that goes while they are read may fail in any way: a
// read that fails is an empty answer, never the end of the program.
template <class Read>
bool RunCaught(const char* what, Read read) {
    try {
        read();
        return true;
    } catch (const std::exception& e) {
        CatchExeception::WriteLog("media facts (%s) not read: %s\n", what, e.what());
    } catch (...) {
        CatchExeception::WriteLog("media facts (%s) not read\n", what);
    }
    return false;
}
} // namespace

bool CMediaNotifier::Start() {
    std::vector<BlockDiskFacts> disks;
    RunCaught("every disk", [&] { disks = m_facts.ListDisks(); });
    for (const BlockDiskFacts& disk : disks) {
        const std::string name = enum_linux::RegistryName(disk);
        m_media[disk.name] = Medium{name, disk.size512 > 0, disk.diskSeq};
        for (const BlockPartitionFacts& p : disk.partitions) m_media[p.name] = Medium{name, p.size512 > 0};
    }
    CatchExeception::WriteLog("USB Device Added Notification.\n");
    NotificationCenter::defaultCenter().post("RefreshAttachDevice");
    if (!m_source) return false;
    // Events come on the main thread's event loop: nothing may leave it thrown.
    const bool watching = m_source->start([this](const MediaEvent& e) {
        RunCaught(e.kernelName.c_str(), [&] { OnEvent(e); });
    });
    if (!watching) CatchExeception::WriteLog("matching notification registration failed: %d\n", -1);
    return watching;
}

void CMediaNotifier::LearnNames(const std::string& kernelName) {
    // Only the arriving medium's disk is read. A medium here keeps the name
    // it came with until its going is reported: the read may come after it
    // went (another medium's arrival, a loop device taken again at once),
    // and its own event, still queued, must name it as it was. Whether a
    // medium is here is said by the events alone, for the same reason.
    BlockDiskFacts disk;
    bool listed = false;
    if (!RunCaught(kernelName.c_str(), [&] { listed = m_facts.ReadDisk(kernelName, disk); }) || !listed) return;
    const std::string name = enum_linux::RegistryName(disk);
    auto learn = [this, &name](const std::string& kernel) -> Medium& {
        Medium& m = m_media[kernel];
        if (!m.present && (!name.empty() || m.name.empty())) m.name = name;
        return m;
    };
    if (Medium& m = learn(disk.name); !m.present) m.seq = disk.diskSeq;
    for (const BlockPartitionFacts& p : disk.partitions) learn(p.name);
}

void CMediaNotifier::OnEvent(const MediaEvent& event) {
    if (event.kernelName.empty()) return;
    const auto it = m_media.find(event.kernelName);
    const bool known = it != m_media.end();
    bool present = known && it->second.present;
    if (present && event.diskSeq && it->second.seq && event.diskSeq != it->second.seq) {
        // Another medium is in the device now: the one known there went,
        // though its own event may have read the newcomer's size.
        PostDetach(event.kernelName);
        present = false;
    }
    if (event.action == "remove") {
        // A medium not seen before counts as present: its going is reported.
        if (present || !known) PostDetach(event.kernelName);
        return;
    }
    if (event.action != "add" && event.action != "change") return;
    if (event.size512 == 0) {
        if (present) PostDetach(event.kernelName);
        else m_media[event.kernelName].present = false;
        return;
    }
    if (present && event.action == "change") return; // a change of a medium already here
    LearnNames(event.kernelName);
    Medium& m = m_media[event.kernelName];
    m.present = true;
    if (event.diskSeq) m.seq = event.diskSeq;
    ArmAttach();
}

void CMediaNotifier::ArmAttach() {
    const auto now = std::chrono::steady_clock::now();
    if (!m_attachPending) m_burstStart = now;
    // Each arrival waits for the burst to settle, up to a limit.
    if (m_attachPending && now - m_burstStart >= m_settle * kLongestBurst) return;
    salvor::platform::cancelPerforms(this);
    m_attachPending = true;
    salvor::platform::performAfterDelay(
        m_settle,
        [this] {
            m_attachPending = false;
            CatchExeception::WriteLog("USB Device Added Notification.\n");
            NotificationCenter::defaultCenter().post("RefreshAttachDevice");
        },
        this);
}

void CMediaNotifier::PostDetach(const std::string& kernelName) {
    Medium& m = m_media[kernelName];
    if (m.name.empty()) m.name = kernelName;
    m.present = false;
    CatchExeception::WriteLog("usb detatch name = %s\n", m.name.c_str());
    NotificationCenter::defaultCenter().post("RefreshDetachDevice", {{"USBPath", m.name}});
}

void USBNotifier_init() {
    static bool started = false;
    if (started) return;
    started = true;
    // Both live as long as the process.
    static CSysfsBlockDeviceFacts* const facts = new CSysfsBlockDeviceFacts;
    static CMediaNotifier* const notifier = new CMediaNotifier(salvor::platform::createSystemMediaEventSource(), *facts);
    notifier->Start();
}
