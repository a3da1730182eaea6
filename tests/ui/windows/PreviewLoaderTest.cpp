// The preview loader on a real thread: every job delivered in order on the
// main thread, a stop that waits for nothing (not even a read that hangs),
// answers of an older generation dropped, stopping an idle loader at once,
// the grid's one-request-at-a-time use. Also run under ThreadSanitizer.
#include "platform/MainThread.h"
#include "ui/windows/PreviewLoader.h"

#include <QCoreApplication>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace salvor;
using namespace salvor::windows;
using namespace std::chrono_literals;

namespace {

IFileNode* fileAt(std::int64_t i) { return reinterpret_cast<IFileNode*>(std::uintptr_t(0x1000 + 16 * i)); }

std::vector<PreviewLoader::Job> jobs(std::int64_t first, std::int64_t end) {
    std::vector<PreviewLoader::Job> v;
    for (std::int64_t i = first; i < end; ++i) v.push_back({i, fileAt(i), nullptr});
    return v;
}

struct Received {
    std::vector<std::int64_t> indexes;
    std::vector<QByteArray> bytes;
    bool offMainThread = false;
};

} // namespace

class PreviewLoaderTest : public QObject {
    Q_OBJECT

    // A loader whose fetch answers the file's index as bytes after delay
    // ("" for odd indexes when oddFail).
    std::unique_ptr<PreviewLoader> make(Received& r, std::chrono::microseconds delay = 0us, bool oddFail = false) {
        return std::make_unique<PreviewLoader>(
            [delay, oddFail](IFileNode* f) {
                if (delay.count()) std::this_thread::sleep_for(delay);
                const auto i = (reinterpret_cast<std::uintptr_t>(f) - 0x1000) / 16;
                if (oddFail && i % 2) return PreviewImage{};
                return PreviewImage{QByteArray::number(qulonglong(i)), QString()};
            },
            [&r](std::int64_t index, IFileNode* f, const PreviewImage& image) {
                r.offMainThread |= !platform::isMainThread() || f != fileAt(index);
                r.indexes.push_back(index);
                r.bytes.push_back(image.bytes);
            });
    }
    static bool waitFor(const std::function<bool()>& done) { return platform::runUntil(done, 5000ms); }

private slots:
    void loadsEveryJobInOrder() {
        Received r;
        auto loader = make(r, 0us, true);
        QCOMPARE(loader->state(), int(PreviewLoader::NeverStarted));
        loader->stop(); // never started: returns at once
        loader->start(jobs(150, 350));
        QVERIFY(waitFor([&] { return r.indexes.size() == 200; }));
        QCOMPARE(r.indexes.front(), 150);
        QCOMPARE(r.indexes.back(), 349);
        QVERIFY(std::is_sorted(r.indexes.begin(), r.indexes.end()));
        QVERIFY(!r.offMainThread);
        QCOMPARE(r.bytes[0], QByteArray("150"));
        QVERIFY(r.bytes[1].isEmpty()); // a failed preview is reported, with nothing
        QVERIFY(waitFor([&] { return loader->state() == PreviewLoader::Stopped; }));
        loader->stop(); // stopped already: at once
        loader->start({});
        QCOMPARE(loader->state(), int(PreviewLoader::Stopped));
    }

    void stopWaitsOnlyForTheFileInHand() {
        Received r;
        auto loader = make(r, 5ms);
        loader->start(jobs(0, 1000));
        QVERIFY(waitFor([&] { return !r.indexes.empty(); }));
        const auto before = std::chrono::steady_clock::now();
        loader->stop();
        QVERIFY(std::chrono::steady_clock::now() - before < 1s);
        QCOMPARE(loader->state(), int(PreviewLoader::Stopped));
        const std::size_t seen = r.indexes.size();
        QTest::qWait(50); // answers of the stopped load still queued are dropped
        QCOMPARE(r.indexes.size(), seen);
        QVERIFY(seen < 1000);
    }

    // A new start drops whatever the load before it still had on its way.
    void olderGenerationsAreDropped() {
        Received r;
        auto loader = make(r);
        for (int round = 0; round < 20; ++round) loader->start(jobs(round * 10, round * 10 + 10));
        QVERIFY(waitFor([&] { return loader->state() == PreviewLoader::Stopped; }));
        QTest::qWait(20);
        QCOMPARE(r.indexes, (std::vector<std::int64_t>{190, 191, 192, 193, 194, 195, 196, 197, 198, 199}));
    }

    // A read that hangs (a device held or gone mid-preview): stop, a new
    // start and the loader's end all return at once and the main loop runs;
    // the held file's answer, when it comes, is dropped, and its thread ends
    // on its own after the loader has gone.
    void stopNeverWaitsForAHeldRead() {
        struct Hold {
            std::mutex m;
            std::condition_variable cv;
            bool held = true;
            std::atomic<int> inside{0}, fetched{0};
        };
        auto hold = std::make_shared<Hold>();
        Received r;
        auto loader = std::make_unique<PreviewLoader>(
            [hold](IFileNode* f) {
                ++hold->inside;
                std::unique_lock lock(hold->m);
                hold->cv.wait(lock, [&] { return !hold->held; });
                ++hold->fetched;
                --hold->inside;
                return PreviewImage{QByteArray::number(qulonglong((reinterpret_cast<std::uintptr_t>(f) - 0x1000) / 16)),
                                    QString()};
            },
            [&r](std::int64_t index, IFileNode*, const PreviewImage&) { r.indexes.push_back(index); });
        auto release = [hold] {
            {
                std::lock_guard lock(hold->m);
                hold->held = false;
            }
            hold->cv.notify_all();
        };
        // Let go after a while whatever happens, so a stop that waits shows as slow, not as a hang.
        struct Joined {
            std::thread thread;
            ~Joined() { thread.join(); }
        } rescue{std::thread([hold, release] {
            std::unique_lock lock(hold->m);
            if (!hold->cv.wait_for(lock, 3s, [&] { return !hold->held; })) {
                lock.unlock();
                release();
            }
        })};
        // The file in hand is kept alive until its read is done, and let go on the loader's thread.
        std::atomic<bool> kept{true}, letGoOnMain{false};
        std::vector<PreviewLoader::Job> first = jobs(0, 10);
        first[0].keep = std::shared_ptr<const void>(&r, [&](const void*) {
            letGoOnMain = platform::isMainThread();
            kept = false;
        });
        loader->start(std::move(first));
        QVERIFY(waitFor([&] { return hold->inside.load() == 1; }));
        auto before = std::chrono::steady_clock::now();
        loader->stop();
        QVERIFY2(std::chrono::steady_clock::now() - before < 200ms, "stop waited for the read in flight");
        QCOMPARE(loader->state(), int(PreviewLoader::Stopped));
        QCOMPARE(hold->inside.load(), 1); // the read goes on, on the loader's thread
        QVERIFY(kept);
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        QVERIFY(waitFor([&] { return ran; })); // the main loop goes on
        before = std::chrono::steady_clock::now();
        loader->start(jobs(20, 22)); // waits behind the held read, on the thread
        QVERIFY(std::chrono::steady_clock::now() - before < 200ms);
        release();
        QVERIFY(waitFor([&] { return r.indexes.size() == 2; }));
        QCOMPARE(r.indexes, (std::vector<std::int64_t>{20, 21})); // file 0's answer dropped
        QVERIFY(!kept && !letGoOnMain);
        QVERIFY(waitFor([&] { return loader->state() == PreviewLoader::Stopped; }));

        // Gone while a read hangs: at once; the thread ends when the read does.
        {
            std::lock_guard lock(hold->m);
            hold->held = true;
        }
        const int fetched = hold->fetched.load();
        loader->enqueue({30, fileAt(30), nullptr});
        QVERIFY(waitFor([&] { return hold->inside.load() == 1; }));
        before = std::chrono::steady_clock::now();
        loader.reset();
        QVERIFY2(std::chrono::steady_clock::now() - before < 200ms, "the loader's end waited for the read");
        release();
        QVERIFY(waitFor([&] { return hold->inside.load() == 0 && hold->fetched.load() == fetched + 1; }));
        QTest::qWait(20);
        QCOMPARE(r.indexes.size(), std::size_t(2));
    }

    // The grid asks one file at a time; each request restarts a stopped loader.
    void gridRequests() {
        Received r;
        auto loader = make(r, 1ms);
        for (std::int64_t i = 0; i < 5; ++i) loader->enqueue({i, fileAt(i), nullptr});
        QVERIFY(waitFor([&] { return r.indexes.size() == 5; }));
        QVERIFY(waitFor([&] { return loader->state() == PreviewLoader::Stopped; }));
        loader->enqueue({7, fileAt(7), nullptr});
        QVERIFY(waitFor([&] { return r.indexes.size() == 6; }));
        QCOMPARE(r.indexes.back(), 7);
        // Destroyed while loading: the thread lets go, late answers dropped.
        for (std::int64_t i = 0; i < 50; ++i) loader->enqueue({i, fileAt(i), nullptr});
        loader.reset();
        QTest::qWait(20);
        QVERIFY(r.indexes.size() < 6 + 50);
    }
};

QTEST_GUILESS_MAIN(PreviewLoaderTest)
#include "PreviewLoaderTest.moc"
