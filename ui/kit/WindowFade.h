#pragma once
// A window's alpha value and its animation: windows fade in when first shown
// and fade out before they close. The alpha is the window opacity; where the
// platform cannot show opacity (offscreen) the value is still kept and read back.
#include <functional>

class QWidget;

namespace salvor::kit {

// Default animation duration, seconds.
inline constexpr double kDefaultAnimationDuration = 0.25;

// Every animation's duration is multiplied by this (1 by default; tests set 0,
// which makes animations end on the next pass of the event loop).
void setAnimationDurationScale(double scale);
double animationDurationScale();

double alphaValue(const QWidget* window);
void setAlphaValue(QWidget* window, double alpha);

// Animates the window's alpha to target over seconds (scaled). The callback
// runs afterwards, never inside this call, with finished = false when another
// animation of the same window took over; it is dropped when the window is
// destroyed first.
void animateAlpha(QWidget* window, double target, double seconds,
                  std::function<void(bool finished)> didStop = {});
bool isAnimatingAlpha(const QWidget* window);

// Fade-in as the windows do it: a window on screen animates to 1 now; one not
// shown yet gets alpha 0 and animates to 1 when it is first shown.
void fadeInWhenShown(QWidget* window, double seconds = kDefaultAnimationDuration,
                     std::function<void(bool finished)> didStop = {});

} // namespace salvor::kit
