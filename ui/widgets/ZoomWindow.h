#pragma once
// A snapshot window for zoom and fade effects of a window, and the window
// additions that make and show it.
#include <QGuiApplication>
#include <QRect>
#include <QWidget>

namespace salvor::widgets {

// The platform's time for a resize animation, seconds.
inline constexpr double kPlatformResizeTime = 0.2;

class ZoomWindow : public QWidget {
    Q_OBJECT
public:
    explicit ZoomWindow(const QRect& contentRect);

    double animationTimeMultiplier() const { return multiplier_; }
    void setAnimationTimeMultiplier(double m) { multiplier_ = m; }

    // The platform's resize time times the multiplier (in single precision);
    // with Shift held the multiplier counts ten times (slow motion).
    double animationResizeTime(const QRect& newFrame,
                               Qt::KeyboardModifiers modifiers = QGuiApplication::keyboardModifiers()) const;

private:
    double multiplier_ = 1.0;
};

// A borderless, transparent, non-activating window over rect showing a
// snapshot of window's content, scaled to fit; multiplier 0.3. The caller owns it.
ZoomWindow* createZoomWindowWithRect(QWidget* window, const QRect& rect);
// Alpha 0, shown in front, animated to 1 over 0.3 s.
void fadeIn(QWidget* window);
// Reduced to hiding: the window's alpha becomes 0; the arguments are unused.
void zoomInWithOvershot(QWidget* window, bool overshoot, bool fade, bool makeKey);

} // namespace salvor::widgets
