#pragma once
// The push buttons of the windows, drawn from four named images (normal,
// pressed, hover, disabled): TCImageButton with an optional centred label,
// TypeButton (a file category: picture, title and a check mark), and
// VXHandButton (a plain button showing the pointing hand).
//
// "Usable" is the owner's switch (setButtonEnabled); "enabled" is the
// widget's own state, which e.g. a title bar turns off while its window is
// not main. Usable, enabled buttons take Tab focus and act on Space; a page's
// default button also acts on Return.
#include <QAbstractButton>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>

class QLabel;
class QShortcut;

namespace salvor::widgets {

// The state handling both image buttons share.
class StateImageButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Look { Platform, Pressed, Hover, Normal, Disabled };

    // usable: made in code (true) or from a window description (false).
    explicit StateImageButton(QWidget* parent, bool usable);

    // Looks the four images up by name (a missing name gives none).
    void setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                    const QString& disable);
    void setButtonEnabled(bool usable);
    bool isUsable() const { return usable_; }
    bool isFocus() const { return focus_; }
    void setIsFocus(bool yes) { focus_ = yes; }
    bool isTracking() const { return tracking_; }
    // Return acts on the default button of its window.
    void setDefaultButton(bool yes);
    bool isDefaultButton() const { return shortcut_ != nullptr; }

    // What painting draws now (Platform: no normal image, the plain look).
    Look look() const;
    // The image of look(); null when that state has none (nothing drawn).
    QPixmap lookImage() const;
    QRect dstRect() const { return dstRect_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    // Draws the plain look (no normal image) or the state image.
    void drawLook(QPainter& p);
    QRect dstRect_;
    bool fixedDstRect_ = false;

private:
    void updateFocusPolicy();
    QPixmap normal_, active_, hover_, disable_;
    QShortcut* shortcut_ = nullptr;
    bool usable_, focus_ = false, tracking_ = false;
};

class TCImageButton : public StateImageButton {
    Q_OBJECT
public:
    explicit TCImageButton(QWidget* parent = nullptr) : StateImageButton(parent, true) {}
    // A button read from a window description: not usable until setButtonEnabled(true).
    static TCImageButton* fromDescription(QWidget* parent = nullptr);

    // A centred label (system font 14, 18 high) across the button.
    void setTextWithName(const QString& text, const QRect& frame);
    QLabel* textField() const { return textField_; }
    QColor labelColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TCImageButton(QWidget* parent, bool usable) : StateImageButton(parent, usable) {}
    QLabel* textField_ = nullptr;
};

class TypeButton : public StateImageButton {
    Q_OBJECT
public:
    explicit TypeButton(QWidget* parent = nullptr);
    static TypeButton* fromDescription(QWidget* parent = nullptr);

    // The title below the picture and the check mark (selected).
    void setTextWithName(const QString& title);
    void changeSelect(bool selected);
    bool isSelect() const { return select_; }
    void setIsSelect(bool yes) { select_ = yes; }
    QColor titleColor() const;
    QLabel* textField() const { return textField_; }
    QLabel* checkBox() const { return checkBox_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TypeButton(QWidget* parent, bool usable);
    QLabel* textField_ = nullptr;
    QLabel* checkBox_ = nullptr;
    bool select_ = false;
};

// The colour of the keyboard focus ring on the dark windows.
QColor focusRingColor();
// A push button drawn by its style sheet that shows the keyboard focus as a
// ring, clear without the focus; style: further declarations of its look;
// ring: the ring's colour (one that stands out from what lies under it).
void setFocusRing(QPushButton* button, const QString& style = {}, const QColor& ring = focusRingColor());

class VXHandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

} // namespace salvor::widgets
