#include "ui/kit/WindowController.h"

#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowFade.h"

namespace salvor::kit {

WindowController::WindowController(QString windowName, QObject* parent)
    : QObject(parent), windowName_(std::move(windowName)) {}

WindowController::~WindowController() {
    if (window_) {
        if (windowDelegate(window_) == this) setWindowDelegate(window_, nullptr);
        delete window_.data();
    }
}

QWidget* WindowController::window() {
    // A build function that asks for the window again gets what exists so far.
    if (loaded_ || loading_) return window_;
    loading_ = true;
    window_ = loadWindow();
    if (window_) {
        window_->setObjectName(windowName_);
        setWindowDelegate(window_, this);
    }
    awakeFromNib();
    windowDidLoad();
    loading_ = false;
    loaded_ = true;
    return window_;
}

void WindowController::showWindow() {
    QWidget* w = window();
    if (!w) return;
    w->show();
    w->raise();
    w->activateWindow();
}

void WindowController::close() { closeWindow(window_); }

void WindowController::fadeIn() {
    QPointer<WindowController> self(this);
    fadeInWhenShown(window(), kDefaultAnimationDuration, [self](bool finished) {
        if (self) self->animationDidStop(finished);
    });
}

void WindowController::fadeOut() {
    if (!window_) return;
    QPointer<WindowController> self(this);
    animateAlpha(window_, 0.0, kDefaultAnimationDuration, [self](bool finished) {
        if (self) self->animationDidStop(finished);
    });
}

bool WindowController::windowShouldClose(QWidget*) {
    if (!fadesOnClose_) return true;
    fadeOut();
    return false;
}

void WindowController::animationDidStop(bool finished) {
    // A fade cut short by another one is not the end of the window.
    if (!finished || !fadesOnClose_ || !window_ || alphaValue(window_) > 0.0) return;
    stopModalFor(window_);
    closeWindow(window_);
}

ViewController::ViewController(QString viewName, QObject* parent) : QObject(parent), viewName_(std::move(viewName)) {}

ViewController::~ViewController() {
    if (view_ && !view_->parentWidget()) delete view_.data();
}

QWidget* ViewController::view() {
    if (loaded_ || loading_) return view_;
    loading_ = true;
    view_ = loadView();
    if (view_) view_->setObjectName(viewName_);
    awakeFromNib();
    viewDidLoad();
    loading_ = false;
    loaded_ = true;
    return view_;
}

} // namespace salvor::kit
