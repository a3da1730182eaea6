#pragma once
// The weekly update check: when it is due, where the remote version list
// comes from, and how long the first window waits for it. The clock and the
// fetcher are replaceable so tests can move time and answer (or never answer)
// by hand.
#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>

class QObject;

namespace salvor::windows {

// The stored time of the last check: "yyyy-MM-dd HH:mm:ss", local time.
inline constexpr const char* kCheckTimeFormat = "yyyy-MM-dd HH:mm:ss";
// The version list is waited for at most this long, as the network probe.
inline constexpr std::chrono::milliseconds kVersionListLimit{5000};

class LaunchClock {
public:
    virtual ~LaunchClock() = default;
    virtual QDateTime now() const = 0;
    // Runs fn after delay on the main thread; dropped when context goes first.
    virtual void after(std::chrono::milliseconds delay, QObject* context, std::function<void()> fn) = 0;
    // The wall clock and Qt timers.
    static LaunchClock& system();
};

class VersionListFetcher {
public:
    virtual ~VersionListFetcher() = default;
    // Fetches the property-list dictionary at url without blocking; done gets
    // it (an empty map when it cannot be fetched or parsed) on a later pass
    // of the main loop. It may never answer.
    virtual void fetch(const QString& url, std::function<void(const QVariantMap&)> done) = 0;
    // Over QNetworkAccessManager ("http", "https", "file").
    static VersionListFetcher& network();
};

// Whether a check is due: no stored time, an empty or blank one, one that
// does not parse, or 7 or more whole days (truncated towards zero) since.
bool isUpdateCheckDue(const QString& stored, const QDateTime& now);
// "VersionCheck" as a signed 32-bit value; 0 when missing.
int versionCheckOf(const QVariantMap& list);
// The local list's "VersionCheck".
int localVersionCheck();

// Fetches url and calls done exactly once: with the list, or with an empty
// map when limit passes on clock first. Nothing when context goes first.
void fetchVersionList(VersionListFetcher& fetcher, LaunchClock& clock, const QString& url, QObject* context,
                      std::function<void(const QVariantMap&)> done,
                      std::chrono::milliseconds limit = kVersionListLimit);

} // namespace salvor::windows
