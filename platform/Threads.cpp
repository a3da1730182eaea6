#include "platform/Threads.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

namespace salvor::platform {

namespace {

struct Start {
    std::function<void()> body;
    std::string name;
};

void* threadMain(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    if (!start->name.empty()) pthread_setname_np(pthread_self(), start->name.c_str());
    try {
        start->body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "worker thread ended by an exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "worker thread ended by an exception\n");
    }
    return nullptr;
}

std::size_t systemDefaultStack() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    std::size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    return size;
}

} // namespace

std::size_t effectiveStackSize(std::size_t requested) {
    std::size_t size = std::max({requested, kMinimumThreadStack, systemDefaultStack(),
                                 static_cast<std::size_t>(PTHREAD_STACK_MIN)});
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096u;
    return (size + p - 1) / p * p;
}

bool startDetachedThread(std::function<void()> body, std::size_t stackBytes, const char* name) {
    if (!body) return false;
    auto start = std::make_unique<Start>();
    start->body = std::move(body);
    if (name) start->name = std::string(name).substr(0, 15);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
              pthread_attr_setstacksize(&attr, effectiveStackSize(stackBytes)) == 0;
    pthread_t thread;
    if (ok) ok = pthread_create(&thread, &attr, threadMain, start.get()) == 0;
    pthread_attr_destroy(&attr);
    if (ok) start.release(); // the thread owns it now
    return ok;
}

} // namespace salvor::platform
