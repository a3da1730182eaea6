#pragma once
// Thin scrollers that float over a scroll area's content instead of taking
// room beside it: no track, a flat grey knob. RFOverlayScrollView lays two of
// them over a QAbstractScrollArea (the area's own bars stay hidden and drive
// them), the vertical one below a table's header.
#include <QPointer>
#include <QRect>
#include <QScrollBar>
#include <QTimer>

class QAbstractScrollArea;

namespace salvor::widgets {

inline constexpr int kOverlayScrollerWidth = 15;

// The knob as drawn: a knob area at most 15 wide becomes a 5-wide bar 5 in
// from its left; one at most 15 high becomes a 5-high bar at y 5.
QRectF overlayKnobRect(const QRectF& knobPart);
// The knob part of a scroller of that size and range (Qt coordinates).
QRectF knobPartRect(Qt::Orientation o, const QSize& size, int minimum, int maximum, int pageStep, int value);

struct OverlayFrames {
    QRect vertical, horizontal;
};
// Frames in a scroll area of size (top-left origin) with a header of
// headerOffset above the content.
OverlayFrames overlayScrollerFrames(const QSize& size, int headerOffset, int verticalWidth = kOverlayScrollerWidth,
                                    int horizontalWidth = kOverlayScrollerWidth);

class RFOverlayScroller : public QScrollBar {
    Q_OBJECT
public:
    explicit RFOverlayScroller(Qt::Orientation o, QWidget* parent = nullptr);
    double alphaValue() const { return alpha_; }
    bool fadeOutPending() const { return fadeTimer_.isActive(); }
    int fadeOutCount() const { return fadeOuts_; }
    void fadeOut();
    QRectF drawnKnob() const;

signals:
    void fadedOut();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // The knob follows a drag; a press beside it pages toward the pointer.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void valueDidChange();
    QRectF knobPart() const;
    double along(const QPointF& p) const { return orientation() == Qt::Vertical ? p.y() : p.x(); }
    double grab_ = -1; // pointer offset into the knob while dragging
    QTimer fadeTimer_;
    double alpha_ = 1.0;
    int fadeOuts_ = 0;
};

class RFOverlayScrollView : public QObject {
    Q_OBJECT
public:
    // Lays overlay scrollers over area (which keeps owning them).
    explicit RFOverlayScrollView(QAbstractScrollArea* area);
    RFOverlayScroller* verticalScroller() const { return vertical_; }
    RFOverlayScroller* horizontalScroller() const { return horizontal_; }
    int headerOffset() const { return headerOffset_; }
    void setHeaderOffset(int offset);
    // The height of the area's table or tree header, 0 without one.
    int tableHeaderOffsetFromSuperview() const;
    void tile();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow(QScrollBar* source, RFOverlayScroller* overlay);
    QAbstractScrollArea* area_;
    RFOverlayScroller* vertical_;
    RFOverlayScroller* horizontal_;
    int headerOffset_ = 0;
};

} // namespace salvor::widgets
