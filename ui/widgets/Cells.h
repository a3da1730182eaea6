#pragma once
// The cells the tables and outlines draw, their header cells and the dark
// look they share: 39-point stripes, a dark blue chosen row, drawn headers.
// A cell is a small value the view configures for one row and column (object
// value, then the delegate's will-display call) and then draws or clicks.
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QPolygonF>
#include <QRect>
#include <QString>
#include <QVariant>

#include <functional>

class QPainter;

namespace salvor::widgets {

// ---- the look ---------------------------------------------------------------
inline constexpr int kStripeHeight = 39;
QColor chosenRowColor();      // (9, 40, 76)
QColor outlineRowColor();     // (32, 36, 39)
QColor stripeColor(int band); // even bands (39, 43, 47), odd (37, 41, 45)
QColor headerBackgroundColor();
QColor headerTitleColor();
QColor emptyNoteColor();
QColor typePageHeaderColor();
// Bands drawn over a view of this height: bands 0 .. floor(height / 39).
int stripeBandCount(double height);
// Paints the bands of a view whose content starts yOffset above the visible
// top, visible height visibleHeight, content height contentHeight, width width.
void paintStripes(QPainter& p, int width, int yOffset, int visibleHeight, int contentHeight);

// ---- cells ------------------------------------------------------------------
class Cell {
public:
    virtual ~Cell() = default;
    QVariant objectValue;
    // Draws the cell into frame (view coordinates, flipped: y grows down).
    virtual void draw(QPainter& p, const QRectF& frame) const = 0;
    // A click at pos in a cell at frame; answers whether the cell acted.
    virtual bool click(const QPointF& /*pos*/, const QRectF& /*frame*/) { return false; }
    // Space on the row: what a click on the cell's check box does.
    virtual bool clickCheckBox(const QRectF& /*frame*/) { return false; }
    virtual bool hasCheckBox() const { return false; }
    virtual bool isTextCell() const { return false; }
};

// Text with an optional icon at its left, drawn 16 x 16 in a 19-wide strip.
class ImageAndTextCell : public Cell {
public:
    QPixmap image; // none: no icon
    QFont font;
    QColor textColor{Qt::white};
    bool drawsBackground = false;
    QColor backgroundColor;

    ImageAndTextCell();
    // The base size widened by 3 plus the icon's own width.
    QSizeF cellSize(const QSizeF& base) const;
    // What editing and selecting hand to the field editor.
    QRectF editingRect(const QRectF& frame) const;
    QRectF iconRect(const QRectF& frame) const;
    QRectF titleRectForBounds(const QRectF& bounds) const;
    void draw(QPainter& p, const QRectF& frame) const override;
    bool isTextCell() const override { return true; }

private:
    double reserved() const { return 3.0 + (image.isNull() ? 0.0 : image.deviceIndependentSize().width()); }
};

class NewButton;
class NewButtonDelegate {
public:
    virtual ~NewButtonDelegate() = default;
    virtual void clickButtonAction(NewButton* /*button*/) {}
};

// The name cell of the result trees: check box, file-type icon and label.
// Copies share the node, name and delegate.
class NewButton : public Cell {
public:
    bool hasLabel = true;    // the label cell
    bool hasIconCell = true; // the icon cell
    QString label;           // empty: the object value's text
    QPixmap icon;
    QPixmap checkBoxImage;
    QPixmap image; // the node's state picture, drawn in the check-box rectangle
    QFont font;
    QColor labelColor{Qt::white};
    void* opNodeData = nullptr;
    QString name;
    NewButtonDelegate* delegate = nullptr;

    NewButton();
    static QSizeF imageSize() { return {800, 16}; }
    static QSizeF iconImageSize() { return {20, 20}; }
    QRectF imageFrameRectForBounds(const QRectF& b) const; // the check box
    QRectF iconImageRectForBounds(const QRectF& b) const;
    QRectF imageRectForBounds(const QRectF& b) const; // the label
    void draw(QPainter& p, const QRectF& frame) const override;
    // Hits in the 15 x 30 area at the cell's top left call the delegate once;
    // the shared latch answers no hit for 0.2 s after (scaled by the
    // animation duration scale).
    bool hitTest(const QPointF& pos, const QRectF& cellFrame);
    static void changeValue(); // reopens the latch
    static bool latchClosed();
    bool click(const QPointF& pos, const QRectF& frame) override { return hitTest(pos, frame); }
    bool clickCheckBox(const QRectF& frame) override;
    bool hasCheckBox() const override { return true; }
    bool isTextCell() const override { return true; }
};

// An image button in a cell (the tick column of the file lists).
class ButtonCell : public Cell {
public:
    QPixmap image;
    int tag = 0;
    std::function<void(ButtonCell&)> action;
    QRectF imageRect(const QRectF& frame) const;
    void draw(QPainter& p, const QRectF& frame) const override;
    bool click(const QPointF& pos, const QRectF& frame) override;
    bool clickCheckBox(const QRectF& frame) override;
    bool hasCheckBox() const override { return true; }
};

// ---- header cells ----------------------------------------------------------
class HeaderCell {
public:
    virtual ~HeaderCell() = default;
    QString title;
    virtual void draw(QPainter& p, const QRectF& frame, bool highlighted) const = 0;
};

// Column headers of the file lists.
class CustomHeaderCell : public HeaderCell {
public:
    explicit CustomHeaderCell(const QString& title = {});
    QFont font;
    bool ascending = true;
    qint64 priority = 1;
    void setSortAscending(bool asc, qint64 prio) { ascending = asc, priority = prio; }
    QRectF titleRect(const QRectF& frame) const;
    QPolygonF sortIndicator(const QRectF& frame) const;
    void draw(QPainter& p, const QRectF& frame, bool highlighted) const override;
};

// Column headers of the device tree (a white header with hairlines).
class CustomTableHeaderView : public HeaderCell {
public:
    QFont font;
    QRectF body(const QRectF& frame) const { return frame.adjusted(0, 0, 0, -1); }
    void draw(QPainter& p, const QRectF& frame, bool highlighted) const override;
};

} // namespace salvor::widgets
