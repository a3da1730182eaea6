#include "ui/kit/Geometry.h"

#include <QEvent>
#include <QRectF>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace salvor::kit {

namespace {

const char* const kFrameProperty = "salvorFrame";
const char* const kMaskProperty = "salvorMask";
const char* const kLayoutSizeProperty = "salvorLayoutSize";
const char* const kFlippedProperty = "salvorFlipped";
const char* const kKeeperName = "salvorFrameKeeper";

// One axis: a view at pos with length len inside a parent of length total.
void resizeAxis(double& pos, double& len, double oldTotal, double newTotal, bool flexLow, bool flexLen,
                bool flexHigh) {
    const double delta = newTotal - oldTotal;
    const int flexible = int(flexLow) + int(flexLen) + int(flexHigh);
    if (delta == 0 || flexible == 0) return;
    const double low = std::max(0.0, pos);
    const double mid = std::max(0.0, len);
    const double high = std::max(0.0, oldTotal - pos - len);
    const double sum = (flexLow ? low : 0) + (flexLen ? mid : 0) + (flexHigh ? high : 0);
    auto share = [&](bool flex, double part) {
        if (!flex) return 0.0;
        return sum > 0 ? delta * part / sum : delta / flexible;
    };
    pos += share(flexLow, low);
    len = std::max(0.0, len + share(flexLen, mid));
}

Frame storedFrame(const QWidget* w, bool* has) {
    const QVariant v = w->property(kFrameProperty);
    *has = v.isValid();
    const QRectF r = v.toRectF();
    return {r.x(), r.y(), r.width(), r.height()};
}

void storeFrame(QWidget* w, const Frame& f) { w->setProperty(kFrameProperty, QRectF(f.x, f.y, f.width, f.height)); }

QRect placeIn(const QWidget* parent, const Frame& f) {
    if (!parent || isFlipped(parent)) {
        const int left = static_cast<int>(std::lround(f.x)), right = static_cast<int>(std::lround(f.x + f.width));
        const int top = static_cast<int>(std::lround(f.y)), bottom = static_cast<int>(std::lround(f.y + f.height));
        return QRect(left, top, right - left, bottom - top);
    }
    return toQtRect(f, parent->height());
}

class FrameKeeper : public QObject {
public:
    explicit FrameKeeper(QWidget* parent) : QObject(parent) {
        setObjectName(QString::fromLatin1(kKeeperName));
        parent->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize && watched == parent()) layoutFramedChildren(static_cast<QWidget*>(watched));
        return false;
    }
};

void ensureKeeper(QWidget* parent) {
    if (parent->findChild<FrameKeeper*>(QString::fromLatin1(kKeeperName), Qt::FindDirectChildrenOnly)) return;
    new FrameKeeper(parent);
    parent->setProperty(kLayoutSizeProperty, QSizeF(parent->size()));
}

} // namespace

Frame autoresizedFrame(const Frame& frame, const QSizeF& oldSize, const QSizeF& newSize, int mask) {
    Frame f = frame;
    resizeAxis(f.x, f.width, oldSize.width(), newSize.width(), mask & kViewMinXMargin, mask & kViewWidthSizable,
               mask & kViewMaxXMargin);
    resizeAxis(f.y, f.height, oldSize.height(), newSize.height(), mask & kViewMinYMargin, mask & kViewHeightSizable,
               mask & kViewMaxYMargin);
    return f;
}

QRect toQtRect(const Frame& f, double parentHeight) {
    const int left = static_cast<int>(std::lround(f.x)), right = static_cast<int>(std::lround(f.x + f.width));
    const int top = static_cast<int>(std::lround(parentHeight - f.y - f.height));
    const int bottom = static_cast<int>(std::lround(parentHeight - f.y));
    return QRect(left, top, right - left, bottom - top);
}

Frame fromQtRect(const QRect& r, double parentHeight) {
    return {double(r.x()), parentHeight - r.y() - r.height(), double(r.width()), double(r.height())};
}

void setFrame(QWidget* child, const Frame& f) {
    if (!child) return;
    QWidget* parent = child->parentWidget();
    if (parent) {
        ensureKeeper(parent);
        // Siblings first catch up with a size change not yet seen, so that
        // the new frame and theirs refer to the same parent size.
        layoutFramedChildren(parent);
    }
    storeFrame(child, f);
    child->setGeometry(placeIn(parent, f));
}

void setAutoresizingMask(QWidget* child, int mask) {
    if (child) child->setProperty(kMaskProperty, mask);
}

void setFrame(QWidget* child, const Frame& f, int mask) {
    setAutoresizingMask(child, mask);
    setFrame(child, f);
}

Frame frame(const QWidget* child) {
    if (!child) return {};
    QWidget* parent = child->parentWidget();
    if (parent) layoutFramedChildren(parent);
    bool has = false;
    const Frame f = storedFrame(child, &has);
    if (has) return f;
    if (!parent || isFlipped(parent)) {
        const QRect g = child->geometry();
        return {double(g.x()), double(g.y()), double(g.width()), double(g.height())};
    }
    return fromQtRect(child->geometry(), parent->height());
}

int autoresizingMask(const QWidget* child) { return child ? child->property(kMaskProperty).toInt() : 0; }

void setFlipped(QWidget* parent, bool flipped) {
    if (parent) parent->setProperty(kFlippedProperty, flipped);
}

bool isFlipped(const QWidget* parent) { return parent && parent->property(kFlippedProperty).toBool(); }

void layoutFramedChildren(QWidget* parent) {
    if (!parent) return;
    const QVariant stored = parent->property(kLayoutSizeProperty);
    const QSizeF now(parent->size());
    if (!stored.isValid()) {
        parent->setProperty(kLayoutSizeProperty, now);
        return;
    }
    const QSizeF before = stored.toSizeF();
    if (before == now) return;
    parent->setProperty(kLayoutSizeProperty, now);
    for (QObject* o : parent->children()) {
        auto* child = qobject_cast<QWidget*>(o);
        if (!child || child->isWindow()) continue;
        bool has = false;
        const Frame f = storedFrame(child, &has);
        if (!has) continue;
        const Frame next = autoresizedFrame(f, before, now, autoresizingMask(child));
        storeFrame(child, next);
        child->setGeometry(placeIn(parent, next));
    }
}

} // namespace salvor::kit
