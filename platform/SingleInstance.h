#pragma once
// One running instance per user. The instance holds a lock file in the
// user's runtime folder for as long as it lives (a process that ended, even
// by _exit or a crash, leaves a stale lock the next start takes over), and
// listens on a local socket beside it; a later start finds the lock held,
// asks the running instance through the socket to raise its window, and
// leaves. Processes of other programs, whatever their names, play no part.
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

namespace salvor::platform {

class SingleInstance {
public:
    // $XDG_RUNTIME_DIR/salvor, else /tmp/salvor-<uid>.
    static QString defaultFolder();
    // The instance of this process over the default folder; never destroyed.
    static SingleInstance& shared();

    explicit SingleInstance(QString folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another instance holds the lock; it has then been asked to
    // raise its window. False when this one holds it (taken on the first
    // call), and when the folder cannot be used safely (made 0700 and owned
    // by this user, else refused): nothing then stops this start.
    bool anotherIsRunning();
    bool holdsLock() const;
    // What runs (on the main thread) when a later start asks this instance
    // to raise its window.
    void setRaiseHandler(std::function<void()> handler) { raise_ = std::move(handler); }
    const QString& folder() const { return folder_; }

private:
    bool prepareFolder();
    void listen();
    void askHolderToRaise();

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
    std::function<void()> raise_;
};

} // namespace salvor::platform
