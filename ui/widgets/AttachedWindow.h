#pragma once
// MAAttachedWindow: a speech-bubble panel showing one view, with an arrow
// pointing at a point, on a chosen side of it (or one chosen to fit).
//
// Geometry and outline are pure functions in lower-left coordinates (y up),
// as the screen measures them. The bubble is shown as an overlay child of
// its parent window, whose own lower-left coordinates stand in for the screen:
// a translucent top-level window shows black corners without a compositor and
// does not follow its parent, while a child moves with the window by itself.
#include <QColor>
#include <QPainterPath>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QWidget>

namespace salvor::widgets {

enum MAAttachedWindowSide : int {
    MASideLeft = 0,
    MASideBottom = 1,
    MASideRight = 2,
    MASideTop = 3,
    MASideLeftTop = 4,
    MASideLeftBottom = 5,
    MASideRightTop = 6,
    MASideRightBottom = 7,
    MASideTopLeft = 8,
    MASideTopRight = 9,
    MASideBottomLeft = 10,
    MASideBottomRight = 11,
    MASideAutomatic = 12,
};

struct AttachedMetrics {
    float borderWidth = 0.2f;
    float viewMargin = 2.0f;
    float arrowBaseWidth = 15.0f;
    float arrowHeight = 10.0f;
    bool hasArrow = true;
    float cornerRadius = 8.0f;
    bool drawsRoundCornerBesideArrow = true;
};

struct AttachedGeometry {
    QRectF frame;     // the window, screen coordinates
    QRectF viewFrame; // the view, window coordinates
};

// Distance along an edge from the panel's corner to an off-centre arrow's axis.
float attachedArrowInset(const AttachedMetrics& m, double scale = 1.0);
AttachedGeometry attachedGeometry(const QSizeF& view, const QPointF& point, int side, float distance,
                                  const AttachedMetrics& m, double scale = 1.0);
// reference: the parent window's frame, or the screen's visible frame.
int bestSideForAutomaticPosition(const QSizeF& view, const QPointF& point, float distance, const AttachedMetrics& m,
                                 const QRectF& screen, const QRectF& reference, double scale = 1.0);
// The panel's outline with its arrow, in window coordinates.
QPainterPath attachedBackgroundPath(const QRectF& viewFrame, int side, const AttachedMetrics& m, double scale = 1.0);

class MAAttachedWindow : public QWidget {
    Q_OBJECT
public:
    // Shows view in a bubble over window, pointing at point (window
    // coordinates, lower-left origin). No view: no bubble.
    static MAAttachedWindow* initWithView(QWidget* view, const QPointF& point, QWidget* window,
                                          int side = MASideAutomatic, float distance = 0.0f);

    void setPoint(const QPointF& point, int side);
    int side() const { return side_; }
    QPointF point() const { return point_; }
    const AttachedMetrics& metrics() const { return m_; }
    QRectF viewFrame() const { return viewFrame_; }
    // The frame in the parent's lower-left coordinates.
    QRectF attachedFrame() const { return frame_; }

    QColor windowBackgroundColor() const { return background_; }
    void setBackgroundColor(const QColor& c);
    QColor borderColor() const { return border_; }
    void setBorderColor(const QColor& c);
    float borderWidth() const { return m_.borderWidth; }
    void setBorderWidth(float w);
    float viewMargin() const { return m_.viewMargin; }
    void setViewMargin(float margin);
    float arrowBaseWidth() const { return m_.arrowBaseWidth; }
    void setArrowBaseWidth(float w);
    float arrowHeight() const { return m_.arrowHeight; }
    void setArrowHeight(float h);
    float hasArrow() const { return m_.hasArrow ? 1.0f : 0.0f; }
    void setHasArrow(float yes);
    float cornerRadius() const { return m_.cornerRadius; }
    void setCornerRadius(float r);
    float drawsRoundCornerBesideArrow() const { return m_.drawsRoundCornerBesideArrow ? 1.0f : 0.0f; }
    void setDrawsRoundCornerBesideArrow(float yes);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    MAAttachedWindow(QWidget* view, const QPointF& point, QWidget* window, int side, float distance);
    void updateGeometry_();
    void redisplay();

    AttachedMetrics m_;
    QColor border_ = QColor::fromRgbF(1, 1, 1, 1);
    QColor background_ = QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f);
    QPointer<QWidget> view_;
    QPointF point_;
    int side_;
    float distance_;
    QRectF viewFrame_, frame_;
};

} // namespace salvor::widgets
