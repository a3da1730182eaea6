#include "ui/kit/WindowFade.h"

#include "platform/MainThread.h"

#include <QEvent>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace salvor::kit {

namespace {

double gScale = 1.0;
constexpr const char* kAlphaProperty = "salvorAlphaValue";
constexpr const char* kAnimationName = "salvorAlphaAnimation";

// Starts the fade-in at the first show of a window.
class ShowTrigger : public QObject {
public:
    ShowTrigger(QWidget* window, double seconds, std::function<void(bool)> didStop)
        : QObject(window), window_(window), seconds_(seconds), didStop_(std::move(didStop)) {
        setObjectName(QStringLiteral("salvorFadeInTrigger"));
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Show) {
            window_->removeEventFilter(this);
            animateAlpha(window_, 1.0, seconds_, std::move(didStop_));
            deleteLater();
        }
        return false;
    }

private:
    QWidget* window_;
    double seconds_;
    std::function<void(bool)> didStop_;
};

class AlphaAnimation : public QVariantAnimation {
public:
    AlphaAnimation(QWidget* window, double target, std::function<void(bool)> didStop)
        : QVariantAnimation(window), window_(window), target_(target), didStop_(std::move(didStop)) {
        setObjectName(QString::fromLatin1(kAnimationName));
        connect(this, &QVariantAnimation::valueChanged, this,
                [this](const QVariant& v) { setAlphaValue(window_, v.toDouble()); });
        connect(this, &QAbstractAnimation::finished, this, [this] { conclude(true); });
    }

    // Ends the animation once; finished = false when it was cut short.
    void conclude(bool finished) {
        if (done_) return;
        done_ = true;
        setObjectName(QString());
        if (state() != QAbstractAnimation::Stopped) stop();
        if (finished) setAlphaValue(window_, target_);
        // Reported from the loop, never from inside the call that started it.
        if (didStop_) {
            QPointer<QWidget> guard(window_);
            platform::postToMainThread([guard, fn = std::move(didStop_), finished] {
                if (guard) fn(finished);
            });
        }
        deleteLater();
    }

private:
    QWidget* window_;
    double target_;
    std::function<void(bool)> didStop_;
    bool done_ = false;
};

} // namespace

void setAnimationDurationScale(double scale) { gScale = std::max(0.0, scale); }

double animationDurationScale() { return gScale; }

double alphaValue(const QWidget* window) {
    if (!window) return 0.0;
    const QVariant v = window->property(kAlphaProperty);
    return v.isValid() ? v.toDouble() : 1.0;
}

void setAlphaValue(QWidget* window, double alpha) {
    if (!window) return;
    alpha = std::clamp(alpha, 0.0, 1.0);
    window->setProperty(kAlphaProperty, alpha);
    window->setWindowOpacity(alpha);
}

bool isAnimatingAlpha(const QWidget* window) {
    return window && window->findChild<QVariantAnimation*>(QString::fromLatin1(kAnimationName),
                                                           Qt::FindDirectChildrenOnly);
}

void animateAlpha(QWidget* window, double target, double seconds, std::function<void(bool)> didStop) {
    if (!window) return;
    target = std::clamp(target, 0.0, 1.0);
    // A running animation of the window stops unfinished.
    if (auto* old = window->findChild<AlphaAnimation*>(QString::fromLatin1(kAnimationName),
                                                       Qt::FindDirectChildrenOnly))
        old->conclude(false);
    const int ms = static_cast<int>(std::lround(std::max(0.0, seconds) * gScale * 1000.0));
    auto* anim = new AlphaAnimation(window, target, std::move(didStop));
    anim->setStartValue(alphaValue(window));
    anim->setEndValue(target);
    anim->setDuration(ms);
    if (ms == 0) {
        // Zero duration: the end value at once, the report from the loop.
        setAlphaValue(window, target);
        QMetaObject::invokeMethod(anim, [anim] { anim->conclude(true); }, Qt::QueuedConnection);
        return;
    }
    anim->start();
}

void fadeInWhenShown(QWidget* window, double seconds, std::function<void(bool)> didStop) {
    if (!window) return;
    if (window->isVisible()) {
        animateAlpha(window, 1.0, seconds, std::move(didStop));
        return;
    }
    setAlphaValue(window, 0.0);
    delete window->findChild<QObject*>(QStringLiteral("salvorFadeInTrigger"), Qt::FindDirectChildrenOnly);
    new ShowTrigger(window, seconds, std::move(didStop));
}

} // namespace salvor::kit
