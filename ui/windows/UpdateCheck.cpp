#include "ui/windows/UpdateCheck.h"

#include "platform/MainThread.h"
#include "platform/PropertyList.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace salvor::windows {

namespace {

class SystemClock final : public LaunchClock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    void after(std::chrono::milliseconds delay, QObject* context, std::function<void()> fn) override {
        QTimer::singleShot(delay, context, std::move(fn));
    }
};

class NetworkFetcher final : public VersionListFetcher {
public:
    void fetch(const QString& url, std::function<void(const QVariantMap&)> done) override {
        const QUrl address(url);
        if (!address.isValid() || url.isEmpty()) {
            platform::postToMainThread([done] { done({}); });
            return;
        }
        if (!manager_) manager_ = std::make_unique<QNetworkAccessManager>();
        QNetworkRequest request(address);
        // The reply is abandoned by the caller's limit; it still must not linger.
        request.setTransferTimeout(int(kVersionListLimit.count()));
        QNetworkReply* reply = manager_->get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done] {
            const QByteArray bytes = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
            reply->deleteLater();
            done(platform::parsePropertyList(bytes).toMap());
        });
    }

private:
    std::unique_ptr<QNetworkAccessManager> manager_;
};

} // namespace

LaunchClock& LaunchClock::system() {
    static SystemClock clock;
    return clock;
}

VersionListFetcher& VersionListFetcher::network() {
    static NetworkFetcher* const fetcher = new NetworkFetcher; // lives until the process ends
    return *fetcher;
}

bool isUpdateCheckDue(const QString& stored, const QDateTime& now) {
    if (stored.trimmed().isEmpty()) return true;
    const QDateTime last = QDateTime::fromString(stored, QString::fromLatin1(kCheckTimeFormat));
    if (!last.isValid()) return true;
    const qint64 days = last.secsTo(now) / 86400;
    return days >= 7;
}

int versionCheckOf(const QVariantMap& list) { return static_cast<qint32>(list.value(QStringLiteral("VersionCheck")).toLongLong()); }

int localVersionCheck() {
    return versionCheckOf(platform::loadPropertyList(QStringLiteral("LocalVersionMessage.plist")));
}

void fetchVersionList(VersionListFetcher& fetcher, LaunchClock& clock, const QString& url, QObject* context,
                      std::function<void(const QVariantMap&)> done, std::chrono::milliseconds limit) {
    auto answered = std::make_shared<bool>(false);
    QPointer<QObject> guard(context);
    auto once = [answered, guard, done](const QVariantMap& list) {
        if (*answered || !guard) return;
        *answered = true;
        done(list);
    };
    clock.after(limit, context, [once] { once({}); });
    fetcher.fetch(url, once);
}

} // namespace salvor::windows
