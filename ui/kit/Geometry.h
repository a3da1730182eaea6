#pragma once
// Frames in points with a lower-left origin relative to the parent, and
// autoresizing masks, for the drawn windows (no Qt layouts there).
//
// A child placed with setFrame() keeps its frame in the parent's lower-left
// coordinates; whenever the parent's size changes, every such child's frame is
// recomputed by autoresizedFrame() from its mask and the child is moved. A
// parent marked flipped (setFlipped) measures its children's frames from its
// top-left corner instead.
#include <QRect>
#include <QSizeF>

class QWidget;

namespace salvor::kit {

// Autoresizing mask bits.
enum AutoresizingMask : int {
    kViewNotSizable = 0,
    kViewMinXMargin = 1,   // flexible left margin
    kViewWidthSizable = 2, // flexible width
    kViewMaxXMargin = 4,   // flexible right margin
    kViewMinYMargin = 8,   // flexible bottom margin
    kViewHeightSizable = 16,
    kViewMaxYMargin = 32, // flexible top margin
};

struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Frame&) const = default;
};

// The frame after the parent went from oldSize to newSize. The change of each
// axis is shared by the flexible parts of that axis in proportion to their
// current lengths (equally when they are all 0); with none flexible the frame
// keeps its distance to the lower (min) edge. Pure.
Frame autoresizedFrame(const Frame& frame, const QSizeF& oldSize, const QSizeF& newSize, int mask);

// Lower-left frame -> Qt rectangle in a parent of parentHeight, and back.
QRect toQtRect(const Frame& frame, double parentHeight);
Frame fromQtRect(const QRect& rect, double parentHeight);

// Places child in its parent (lower-left frame, unless the parent is flipped)
// and from now on follows the parent's size changes with mask.
void setFrame(QWidget* child, const Frame& frame);
void setAutoresizingMask(QWidget* child, int mask);
void setFrame(QWidget* child, const Frame& frame, int mask);
// The frame last given or computed; from the Qt geometry for a child never
// placed with setFrame().
Frame frame(const QWidget* child);
int autoresizingMask(const QWidget* child);

void setFlipped(QWidget* parent, bool flipped);
bool isFlipped(const QWidget* parent);

// Applies a pending parent size change to its framed children now (done
// automatically on every resize event of the parent).
void layoutFramedChildren(QWidget* parent);

} // namespace salvor::kit
