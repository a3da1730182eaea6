#pragma once
// Image-only replacements for a window's close, minimise, zoom and full-screen
// buttons. Buttons sharing a group identifier share one TCWindowButtonGroup,
// which counts the buttons holding the pointer, so that the whole group shows
// its rollover images together.
#include <QAbstractButton>
#include <QPixmap>
#include <QPointer>
#include <QString>

#include <cstdint>

namespace salvor::widgets {

inline constexpr const char* kTCWindowButtonGroupDefault = "org.salvor.window-button-group.default";
// Posted by a group whenever its capture count changes; payload "identifier".
inline constexpr const char* TCWindowButtonGroupDidUpdateRolloverStateNotification =
    "TCWindowButtonGroupDidUpdateRolloverStateNotification";

class TCWindowButtonGroup {
public:
    // The registered group of identifier (empty: the default identifier),
    // made on first use. Groups live for the whole process.
    static TCWindowButtonGroup* groupWithIdentifier(const QString& identifier = {});

    explicit TCWindowButtonGroup(QString identifier);

    const QString& identifier() const { return identifier_; }
    std::int64_t numberOfCaptures() const { return captures_; }
    // Stores and posts when the value differs and is not negative.
    void setNumberOfCaptures(std::int64_t count);
    void didCaptureMousePointer() { setNumberOfCaptures(captures_ + 1); }
    void didReleaseMousePointer() { setNumberOfCaptures(captures_ - 1); }
    void resetMouseCaptures() { setNumberOfCaptures(0); }
    bool shouldDisplayRollOver() const { return captures_ > 0; }

private:
    QString identifier_;
    std::int64_t captures_ = 0;
};

class TCWindowButton : public QAbstractButton {
    Q_OBJECT
public:
    static TCWindowButton* windowButtonWithSize(const QSize& size, const QString& groupIdentifier,
                                                QWidget* parent = nullptr);
    TCWindowButton(const QSize& size, const QString& groupIdentifier, QWidget* parent = nullptr);
    ~TCWindowButton() override;

    const QString& groupIdentifier() const { return groupIdentifier_; }
    TCWindowButtonGroup* group() const { return TCWindowButtonGroup::groupWithIdentifier(groupIdentifier_); }

    // Plain stores: what shows changes only at the next update.
    void setActiveImage(const QPixmap& image) { activeImage_ = image; }
    const QPixmap& activeImage() const { return activeImage_; }
    void setActiveNotKeyWindowImage(const QPixmap& image) { activeNotKeyWindowImage_ = image; }
    const QPixmap& activeNotKeyWindowImage() const { return activeNotKeyWindowImage_; }
    void setInactiveImage(const QPixmap& image) { inactiveImage_ = image; }
    const QPixmap& inactiveImage() const { return inactiveImage_; }
    void setRolloverImage(const QPixmap& image) { rolloverImage_ = image; }
    const QPixmap& rolloverImage() const { return rolloverImage_; }
    void setPressedImage(const QPixmap& image) { pressedImage_ = image; }
    const QPixmap& pressedImage() const { return pressedImage_; }
    // The five images from the named images stem + _normal/_press/_hover/_disable.
    void setImagesFromStem(const QString& stem);

    // The image shown when not pressed.
    const QPixmap& image() const { return image_; }
    // What paints now: the pressed image while pressed, else image().
    const QPixmap& displayedImage() const;

    void updateRollOverImage();
    void updateImage();
    void updateActiveImage();
    // The end of a live resize: the group's captures are reset.
    void viewDidEndLiveResize();
    // The window's pointer tracking: the pointer is within the button grown
    // by 4. Once the window tracks the pointer, leaving the button itself no
    // longer releases its capture.
    void setPointerNear(bool near);

    QSize sizeHint() const override { return size_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setImage(const QPixmap& image);
    void releaseCapture();
    void observeWindow();
    void windowWillEnterFullScreen();
    void windowWillExitFullScreen();

    QSize size_;
    QString groupIdentifier_;
    QPixmap activeImage_, activeNotKeyWindowImage_, inactiveImage_, rolloverImage_, pressedImage_;
    QPixmap image_;
    QPointer<QWidget> observedWindow_;
    bool holdsCapture_ = false;
    bool nearTracked_ = false;
    bool fullScreen_ = false;
};

} // namespace salvor::widgets
