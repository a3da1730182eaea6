#pragma once
// A split view with a black divider and the dark header panel of the
// file-type page.
#include <QSplitter>
#include <QWidget>

namespace salvor::widgets {

class CustemSplitView : public QSplitter {
    Q_OBJECT
public:
    using QSplitter::QSplitter;

protected:
    QSplitterHandle* createHandle() override;
};

class SelectTypeTopView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace salvor::widgets
