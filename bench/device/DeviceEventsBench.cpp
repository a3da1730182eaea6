// The window thread while devices come and go: 100 small images attached as
// loop devices (as root), then one more attached or detached every second.
// The program's own media notifier, facade and device page follow them, as
// on the start window's device page; a 5 ms heartbeat on the window thread
// measures how long it was held. Per event it prints the longest hold and
// the time until the page showed the new list.
//
//   bench_device_events [--devices N] [--events N] [--window-thread]
//
// --window-thread lists the devices on the window thread at each event, as
// the device page did before (for comparison). Only the loop devices this
// program attached are detached, in every case.
#include "app/Startup.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/UIController.h"
#include "ui/kit/WindowFade.h"
#include "ui/windows/StartPages.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string Run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The images and the loop devices this run attached; all detached at the end.
struct Loops {
    std::string dir;
    std::vector<std::string> devices;
    ~Loops() {
        // Another program listing the devices may hold one for a moment.
        for (const std::string& d : devices)
            for (int attempt = 0; attempt < 20; ++attempt) {
                const std::string said = Run("losetup -d '" + d + "' 2>&1 && echo detached");
                if (said.find("detached") != std::string::npos) break;
                if (attempt == 19) std::printf("could not detach %s: %s\n", d.c_str(), said.c_str());
                ::usleep(250000);
            }
        if (!dir.empty()) Run("rm -rf '" + dir + "'");
    }
    std::string Attach(int n) {
        const std::string image = dir + "/bench-loop-" + std::to_string(n) + ".img";
        Run("truncate -s 1M '" + image + "'");
        const std::string device = Run("losetup -r -f --show '" + image + "' 2>/dev/null");
        if (device.rfind("/dev/loop", 0) == 0) devices.push_back(device);
        return device.rfind("/dev/loop", 0) == 0 ? device : std::string();
    }
    void Detach(const std::string& device) {
        Run("losetup -d '" + device + "' 2>&1");
        devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
    }
};

} // namespace

int main(int argc, char** argv) {
    int devices = 100, events = 12;
    bool windowThread = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--devices") && i + 1 < argc) devices = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--events") && i + 1 < argc) events = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--window-thread")) windowThread = true;
    }
    if (::geteuid() != 0) {
        std::puts("bench_device_events: needs root (attaches loop devices); nothing measured");
        return 0;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    salvor::kit::setAnimationDurationScale(0);
    salvor::app::startUp();

    Loops loops;
    char folder[] = "/tmp/salvor-bench-events-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    loops.dir = folder;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < devices; ++i)
        if (loops.Attach(i).empty()) {
            std::printf("could attach only %d loop devices\n", i);
            break;
        }
    std::printf("attached %zu loop devices in %.1f s\n", loops.devices.size(), clock.elapsed() / 1000.0);

    using salvor::platform::NotificationCenter;
    VXUIController& facade = VXUIController::shared();
    // The device page as the start window shows it, over the real facade.
    bool listed = false;
    NotificationCenter::defaultCenter().addObserver(&listed, "benchListed",
                                                    [&](const salvor::platform::Notification&) { listed = true; });
    clock.restart();
    facade.NotifiyDeviceInfoAfterInit("benchListed");
    salvor::platform::runUntil([&] { return listed; }, 600s);
    std::vector<DiskVolumeNodeRef> disks;
    facade.GetDeviceInfoToArray(disks);
    std::printf("first listing: %zu disks in %.0f ms\n", disks.size(), double(clock.elapsed()));
    salvor::windows::VXSelectDiskViewController page;
    page.view()->resize(1000, 618);
    page.setAllDiskArr(disks);
    page.InitFinished();
    if (windowThread) {
        // As before: the page lists the devices on the window thread at each event.
        page.disableRefreshDevice();
        for (const char* name : {"RefreshAttachDevice", "RefreshDetachDevice"})
            NotificationCenter::defaultCenter().addObserver(&page, name, [&page](const salvor::platform::Notification&) {
                VXUIController::shared().RefreshDeviceInfo();
                page.getDiskValue();
            });
    }
    facade.USBNotifier_init();

    // The heartbeat: the longest time the window thread did not turn.
    qint64 lastBeat = clock.elapsed(), longest = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - lastBeat);
        lastBeat = now;
    });
    beat.start(5);
    std::size_t rows = page.outlineView->model()->rowCount();
    salvor::platform::runUntil([] { return false; }, 2s); // the notifier's first attach settles

    std::printf("event  what                      held(ms)  shown after(ms)  disks\n");
    std::vector<qint64> holds;
    std::string extra;
    for (int e = 1; e <= events; ++e) {
        longest = 0;
        lastBeat = clock.elapsed();
        const qint64 start = clock.elapsed();
        const bool attach = extra.empty();
        if (attach)
            extra = loops.Attach(devices + e);
        else
            loops.Detach(extra), extra.clear();
        // Until the page shows the new count of disks (or the second is over).
        qint64 shown = -1;
        const std::size_t before = rows;
        salvor::platform::runUntil(
            [&] {
                const std::size_t now = std::size_t(page.outlineView->model()->rowCount());
                if (now != before && shown < 0) shown = clock.elapsed() - start, rows = now;
                return false;
            },
            std::chrono::milliseconds(std::max<qint64>(0, 1000 - (clock.elapsed() - start))));
        if (shown < 0) // a slow listing: wait for it, and count the wait
            salvor::platform::runUntil(
                [&] {
                    const std::size_t now = std::size_t(page.outlineView->model()->rowCount());
                    if (now != before) shown = clock.elapsed() - start, rows = now;
                    return shown >= 0;
                },
                120s);
        holds.push_back(longest);
        std::printf("%5d  %-24s  %8lld  %15lld  %5zu\n", e, attach ? "attach" : "detach", (long long)longest,
                    (long long)shown, rows);
    }
    std::sort(holds.begin(), holds.end());
    std::printf("window thread held per event: median %lld ms, longest %lld ms (%s, %zu loop devices of this run)\n",
                (long long)holds[holds.size() / 2], (long long)holds.back(),
                windowThread ? "listing on the window thread" : "listing on a thread of its own", loops.devices.size());
    NotificationCenter::defaultCenter().removeObserver(&listed);
    NotificationCenter::defaultCenter().removeObserver(&page);
    return 0;
}
