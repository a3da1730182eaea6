#include "ui/widgets/Panels.h"

#include "ui/widgets/Cells.h"

#include <QPaintEvent>
#include <QPainter>

namespace salvor::widgets {

namespace {
class BlackHandle : public QSplitterHandle {
public:
    using QSplitterHandle::QSplitterHandle;

protected:
    void paintEvent(QPaintEvent* event) override { QPainter(this).fillRect(event->rect(), Qt::black); }
};
} // namespace

QSplitterHandle* CustemSplitView::createHandle() { return new BlackHandle(orientation(), this); }

void SelectTypeTopView::paintEvent(QPaintEvent* event) { QPainter(this).fillRect(event->rect(), typePageHeaderColor()); }

} // namespace salvor::widgets
