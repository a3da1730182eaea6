#include "ui/kit/ViewAnimation.h"

#include "platform/MainThread.h"
#include "ui/kit/WindowFade.h"

#include <QCoreApplication>
#include <QGraphicsOpacityEffect>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <memory>

namespace salvor::kit {

namespace {
constexpr const char* kAlpha = "salvorViewAlpha";
constexpr const char* kGeneration[2] = {"salvorFrameGeneration", "salvorAlphaGeneration"};

unsigned long long generation(const QWidget* view, int kind) {
    return view->property(kGeneration[kind]).toULongLong();
}
} // namespace

unsigned long long takeOver(QWidget* view, int kind) {
    const unsigned long long g = generation(view, kind) + 1;
    view->setProperty(kGeneration[kind], g);
    return g;
}

double viewAlpha(const QWidget* view) {
    if (!view) return 0.0;
    const QVariant v = view->property(kAlpha);
    return v.isValid() ? v.toDouble() : 1.0;
}

void setViewAlpha(QWidget* view, double alpha) {
    if (!view) return;
    alpha = std::clamp(alpha, 0.0, 1.0);
    view->setProperty(kAlpha, alpha);
    if (alpha >= 1.0) {
        if (view->graphicsEffect()) view->setGraphicsEffect(nullptr);
        return;
    }
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view);
        view->setGraphicsEffect(effect);
    }
    effect->setOpacity(alpha);
}

void AnimationGroup::animateFrame(QWidget* view, const QRectF& from, const QRectF& to,
                                  std::function<void(QWidget*, const QRectF&)> apply) {
    if (!view) return;
    changes_.push_back({view, 0, takeOver(view, 0), [view, from, to, apply = std::move(apply)](double t) {
                            const QRectF r(from.x() + (to.x() - from.x()) * t, from.y() + (to.y() - from.y()) * t,
                                           from.width() + (to.width() - from.width()) * t,
                                           from.height() + (to.height() - from.height()) * t);
                            apply(view, t >= 1.0 ? to : r);
                        }});
}

void AnimationGroup::animateAlpha(QWidget* view, double to) {
    if (!view) return;
    const double from = viewAlpha(view);
    changes_.push_back(
        {view, 1, takeOver(view, 1), [view, from, to](double t) { setViewAlpha(view, from + (to - from) * t); }});
}

void AnimationGroup::run(std::function<void()> completion) {
    auto changes = std::make_shared<std::vector<Change>>(std::move(changes_));
    changes_.clear();
    auto apply = [changes](double t) {
        for (Change& c : *changes)
            if (c.view && generation(c.view, c.kind) == c.generation) c.step(t);
    };
    const int ms = static_cast<int>(std::lround(std::max(0.0, seconds_) * animationDurationScale() * 1000.0));
    if (ms == 0) {
        apply(1.0);
        if (completion) platform::postToMainThread(std::move(completion));
        return;
    }
    auto* anim = new QVariantAnimation(QCoreApplication::instance());
    anim->setStartValue(0.0);
    anim->setEndValue(1.0);
    anim->setDuration(ms);
    QObject::connect(anim, &QVariantAnimation::valueChanged, anim, [apply](const QVariant& v) { apply(v.toDouble()); });
    QObject::connect(anim, &QAbstractAnimation::finished, anim, [apply, completion = std::move(completion)] {
        apply(1.0);
        if (completion) completion();
    });
    anim->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace salvor::kit
