#pragma once
// One running instance per user. The instance holds a lock file in the
// user's runtime folder for as long as it lives (a process that ended, even
// by _exit or a crash, leaves a stale lock the next start takes over), and
// listens on a local socket beside it; a later start finds the lock held,
// asks the running instance through the socket to raise its window, and
// leaves, unless the running instance answers that it is ending (its windows
// closed, a save still being stopped): the later start then waits for it and
// takes the lock once it has gone. Processes of other programs, whatever their names, play no part.
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
    // Once the holder has said it is ending, it is not asked again.
    bool anotherIsRunning();
    bool holdsLock() const;
    // After anotherIsRunning answered true: the holder answered that it is
    // ending; it leaves by itself, and a later anotherIsRunning takes the lock.
    bool holderIsEnding() const { return holderEnding_; }
    // What runs (on the main thread) when a later start asks this instance
    // to raise its window; it answers whether this instance is ending.
    void setRaiseHandler(std::function<bool()> handler) { raise_ = std::move(handler); }
    const QString& folder() const { return folder_; }

private:
    bool prepareFolder();
    void listen();
    // True when the holder answered that it is ending.
    bool askHolderToRaise();

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
    std::function<bool()> raise_;
    bool holderEnding_ = false;
};

} // namespace salvor::platform
