#pragma once
// Animations of child views: frame moves and alpha fades that run together
// over one duration (scaled by animationDurationScale(), 0 in tests, which
// applies the end values at once and reports completion from the loop).
//
// A child view's alpha is drawn through an opacity effect that exists only
// while the alpha is below 1, so a settled view costs nothing extra.
#include <QPointer>
#include <QRectF>

#include <functional>
#include <vector>

class QWidget;

namespace salvor::kit {

double viewAlpha(const QWidget* view);
void setViewAlpha(QWidget* view, double alpha);

// A later change of the same view and kind (frame or alpha) takes over from
// an earlier, still running one; a destroyed view is skipped.
class AnimationGroup {
public:
    explicit AnimationGroup(double seconds) : seconds_(seconds) {}
    // apply(view, frame) places the view at each step.
    void animateFrame(QWidget* view, const QRectF& from, const QRectF& to,
                      std::function<void(QWidget*, const QRectF&)> apply);
    void animateAlpha(QWidget* view, double to);
    // Starts the group; completion runs afterwards, never inside this call.
    void run(std::function<void()> completion = {});

    struct Change {
        QPointer<QWidget> view;
        int kind;
        unsigned long long generation;
        std::function<void(double)> step;
    };

private:
    double seconds_;
    std::vector<Change> changes_;
};

// The generation a view's change of kind (0 frame, 1 alpha) is at; a direct
// setting that must stop running animations calls takeOver().
unsigned long long takeOver(QWidget* view, int kind);

} // namespace salvor::kit
