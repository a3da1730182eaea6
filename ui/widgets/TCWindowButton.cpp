#include "ui/widgets/TCWindowButton.h"

#include "platform/NotificationCenter.h"
#include "ui/kit/NamedImages.h"

#include <QEnterEvent>
#include <QPainter>

#include <map>
#include <memory>

namespace salvor::widgets {

namespace {

constexpr const char* kIdentifierKey = "identifier";

} // namespace

TCWindowButtonGroup* TCWindowButtonGroup::groupWithIdentifier(const QString& identifier) {
    static std::map<QString, std::unique_ptr<TCWindowButtonGroup>> registry;
    const QString key = identifier.isEmpty() ? QString::fromLatin1(kTCWindowButtonGroupDefault) : identifier;
    auto& slot = registry[key];
    if (!slot) slot = std::make_unique<TCWindowButtonGroup>(key);
    return slot.get();
}

TCWindowButtonGroup::TCWindowButtonGroup(QString identifier) : identifier_(std::move(identifier)) {}

void TCWindowButtonGroup::setNumberOfCaptures(std::int64_t count) {
    if (count == captures_ || count < 0) return;
    captures_ = count;
    platform::NotificationCenter::defaultCenter().post(TCWindowButtonGroupDidUpdateRolloverStateNotification,
                                                       {{kIdentifierKey, identifier_.toStdString()}});
}

TCWindowButton* TCWindowButton::windowButtonWithSize(const QSize& size, const QString& groupIdentifier,
                                                     QWidget* parent) {
    return new TCWindowButton(size, groupIdentifier, parent);
}

TCWindowButton::TCWindowButton(const QSize& size, const QString& groupIdentifier, QWidget* parent)
    : QAbstractButton(parent), size_(size),
      groupIdentifier_(groupIdentifier.isEmpty() ? QString::fromLatin1(kTCWindowButtonGroupDefault)
                                                 : groupIdentifier) {
    setGeometry(0, 0, size.width(), size.height());
    setFocusPolicy(Qt::NoFocus);
    setText(QString());
    setAttribute(Qt::WA_Hover);
    const std::string id = groupIdentifier_.toStdString();
    platform::NotificationCenter::defaultCenter().addObserver(
        static_cast<QObject*>(this), TCWindowButtonGroupDidUpdateRolloverStateNotification,
        [this, id](const platform::Notification& n) {
            if (n.value(kIdentifierKey) != id) return;
            // A reset of the group drops every button's capture.
            if (group()->numberOfCaptures() == 0) holdsCapture_ = false;
            updateRollOverImage();
        });
    observeWindow();
}

TCWindowButton::~TCWindowButton() {
    platform::NotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
    // A button that goes while holding the pointer gives its capture back, so
    // the rest of the group does not stay rolled over.
    if (holdsCapture_) {
        holdsCapture_ = false;
        group()->didReleaseMousePointer();
    }
}

void TCWindowButton::setImagesFromStem(const QString& stem) {
    using kit::ImageState;
    activeImage_ = kit::namedPixmap(kit::stateImageName(stem, ImageState::Normal));
    activeNotKeyWindowImage_ = kit::namedPixmap(kit::stateImageName(stem, ImageState::Disable));
    inactiveImage_ = activeNotKeyWindowImage_;
    rolloverImage_ = kit::namedPixmap(kit::stateImageName(stem, ImageState::Hover));
    pressedImage_ = kit::namedPixmap(kit::stateImageName(stem, ImageState::Press));
}

const QPixmap& TCWindowButton::displayedImage() const { return isDown() ? pressedImage_ : image_; }

void TCWindowButton::setImage(const QPixmap& image) {
    image_ = image;
    update();
}

void TCWindowButton::updateRollOverImage() {
    if (group()->shouldDisplayRollOver() && isEnabled())
        setImage(rolloverImage_);
    else
        updateImage();
}

void TCWindowButton::updateImage() {
    if (isEnabled())
        updateActiveImage();
    else
        setImage(inactiveImage_);
}

void TCWindowButton::updateActiveImage() {
    QWidget* w = window();
    setImage(w && w != this && w->isActiveWindow() ? activeImage_ : activeNotKeyWindowImage_);
}

void TCWindowButton::viewDidEndLiveResize() { group()->resetMouseCaptures(); }

void TCWindowButton::releaseCapture() {
    if (!holdsCapture_) return;
    holdsCapture_ = false;
    group()->didReleaseMousePointer();
}

void TCWindowButton::paintEvent(QPaintEvent*) {
    const QPixmap& pm = displayedImage();
    if (pm.isNull()) return;
    QPainter p(this);
    const QSizeF s = pm.deviceIndependentSize();
    p.drawPixmap(QPointF((width() - s.width()) / 2.0, (height() - s.height()) / 2.0), pm);
}

void TCWindowButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    if (!holdsCapture_) {
        holdsCapture_ = true;
        group()->didCaptureMousePointer();
    }
    updateRollOverImage();
}

void TCWindowButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    if (nearTracked_) return; // the grown area decides
    releaseCapture();
    updateRollOverImage();
}

void TCWindowButton::setPointerNear(bool near) {
    nearTracked_ = true;
    // A reset at the end of a live resize zeroed the count under a capture.
    const bool capture = near && (!holdsCapture_ || !group()->shouldDisplayRollOver());
    if (capture) {
        holdsCapture_ = true;
        group()->didCaptureMousePointer();
    } else if (!near && holdsCapture_) {
        releaseCapture();
    } else {
        return;
    }
    updateRollOverImage();
}

void TCWindowButton::hideEvent(QHideEvent* event) {
    QAbstractButton::hideEvent(event);
    // A hidden button gets no leave event.
    releaseCapture();
}

void TCWindowButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    switch (event->type()) {
    case QEvent::EnabledChange: setImage(isEnabled() ? activeImage_ : inactiveImage_); break;
    default: break;
    }
}

bool TCWindowButton::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ParentChange:
        observeWindow();
        updateImage();
        break;
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate: updateImage(); break; // the window's key state changed
    default: break;
    }
    return QAbstractButton::event(event);
}

void TCWindowButton::observeWindow() {
    QWidget* w = window();
    if (w == this) w = nullptr;
    if (w == observedWindow_) return;
    if (observedWindow_) observedWindow_->removeEventFilter(this);
    observedWindow_ = w;
    if (w) {
        w->installEventFilter(this);
        fullScreen_ = w->isFullScreen();
    }
}

bool TCWindowButton::eventFilter(QObject* watched, QEvent* event) {
    if (watched == observedWindow_ && event->type() == QEvent::WindowStateChange) {
        const bool full = observedWindow_->isFullScreen();
        if (full != fullScreen_) {
            fullScreen_ = full;
            if (full)
                windowWillEnterFullScreen();
            else
                windowWillExitFullScreen();
        }
    }
    return false;
}

void TCWindowButton::windowWillEnterFullScreen() {
    group()->resetMouseCaptures();
    hide();
}

void TCWindowButton::windowWillExitFullScreen() {
    group()->resetMouseCaptures();
    show();
}

} // namespace salvor::widgets
