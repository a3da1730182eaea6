#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace salvor::platform {

namespace {
constexpr const char* kLockName = "/salvor.lock";
constexpr const char* kSocketName = "/salvor.socket";
constexpr const char kRaise[] = "raise\n";
// The holder's answer: raised, or ending (it leaves by itself soon).
constexpr const char kRaised[] = "raised\n";
constexpr const char kEnding[] = "ending\n";
} // namespace

QString SingleInstance::defaultFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) return QString::fromLocal8Bit(runtime) + QStringLiteral("/salvor");
    return QStringLiteral("/tmp/salvor-%1").arg(::getuid());
}

SingleInstance& SingleInstance::shared() {
    static SingleInstance* const instance = new SingleInstance(defaultFolder());
    return *instance;
}

SingleInstance::SingleInstance(QString folder) : folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    delete server_;
    if (lock_) lock_->unlock();
}

bool SingleInstance::holdsLock() const { return lock_ && lock_->isLocked(); }

bool SingleInstance::prepareFolder() {
    const QByteArray path = folder_.toLocal8Bit();
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return false;
    // Another user's folder, or a link planted in /tmp, is never used.
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    return (st.st_mode & 0077) == 0 || ::chmod(path.constData(), 0700) == 0;
}

bool SingleInstance::anotherIsRunning() {
    if (holdsLock()) return false;
    if (!prepareFolder()) return false;
    auto lock = std::make_unique<QLockFile>(folder_ + QLatin1String(kLockName));
    // Never stale by age: only a holder that no longer runs gives it up.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        lock_ = std::move(lock);
        listen();
        return false;
    }
    if (lock->error() != QLockFile::LockFailedError) return false; // unusable: let this one start
    // An ending holder was raised already; it is waited for, not asked again.
    if (!holderEnding_) holderEnding_ = askHolderToRaise();
    return true;
}

void SingleInstance::listen() {
    const QString name = folder_ + QLatin1String(kSocketName);
    QLocalServer::removeServer(name); // left by a holder that ended without cleaning up
    server_ = new QLocalServer;
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name)) return;
    QObject::connect(server_, &QLocalServer::newConnection, server_, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->readAll().startsWith("raise")) {
                    socket->disconnectFromServer();
                    return;
                }
                const bool ending = raise_ && raise_();
                socket->write(ending ? kEnding : kRaised);
                socket->flush();
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::askHolderToRaise() {
    // The holder listens right after taking the lock: a start racing it waits a little.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(folder_ + QLatin1String(kSocketName));
        if (socket.waitForConnected(500)) {
            socket.write(kRaise, sizeof kRaise - 1);
            socket.waitForBytesWritten(1000);
            // A holder that does not answer (busy, or of an older build) was raised.
            QByteArray answer;
            while (!answer.contains('\n') && socket.waitForReadyRead(2000)) answer += socket.readAll();
            socket.disconnectFromServer();
            return answer.startsWith(kEnding);
        }
        QThread::msleep(100);
    }
    return false;
}

} // namespace salvor::platform
