// Time from process start to the first window mapped on the X server, best
// of 5, for a usual launch (update check not due) and a first launch whose
// version list is at a refused loopback address. Run under Xvfb:
//   xvfb-run -a bench_app_start build/release/app/salvor
#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string makeConfig(bool firstLaunch) {
    char tmpl[] = "/tmp/salvor-app-start-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string salvor = dir + "/salvor";
    std::system(("mkdir -p '" + salvor + "'").c_str());
    char now[32] = "";
    const std::time_t t = std::time(nullptr);
    std::strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    std::ofstream(salvor + "/LocalVersionMessage.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>VersionCheck</key><integer>1</integer>"
        << "<key>upDataTimeStr</key><string>" << (firstLaunch ? "" : now) << "</string>"
        << "<key>en</key><dict><key>IniURL</key><string>http://127.0.0.1:9/version.plist</string></dict>"
        << "</dict></plist>\n";
    return dir;
}

// Milliseconds from fork to the first MapNotify of a window; -1 on time-out.
double launchOnce(xcb_connection_t* c, const char* app, const std::string& config) {
    xcb_generic_event_t* e;
    while ((e = xcb_poll_for_event(c))) free(e); // old news
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_STATE_HOME", config.c_str(), 1);
        execl(app, app, static_cast<char*>(nullptr));
        _exit(127);
    }
    double ms = -1;
    pollfd pfd{xcb_get_file_descriptor(c), POLLIN, 0};
    while (ms < 0 && Clock::now() - start < std::chrono::seconds(30)) {
        while ((e = xcb_poll_for_event(c))) {
            if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY && ms < 0)
                ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            free(e);
        }
        if (ms < 0) poll(&pfd, 1, 5);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SALVOR [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "no X server (run under xvfb-run)\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
    for (bool first : {false, true}) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            const std::string config = makeConfig(first);
            times.push_back(launchOnce(c, argv[1], config));
            std::system(("rm -rf '" + config + "'").c_str());
        }
        std::printf("%s launch:", first ? "first (version list refused)" : "usual");
        for (double t : times) std::printf(" %.0f", t);
        std::printf(" ms; best %.0f ms\n", *std::min_element(times.begin(), times.end()));
    }
    xcb_disconnect(c);
    return 0;
}
