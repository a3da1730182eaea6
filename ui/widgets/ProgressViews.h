#pragma once
// A thin progress indicator: a stretched track image 6 high with a small
// rounded orange bar over its left part, as wide as the percentage says.
#include <QWidget>

class QLabel;
class QProgressBar;

namespace salvor::widgets {

// Paints its whole bounds as the bar (orange with a blue glow).
class NSProgressBar : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The bar width for percent in a view viewWidth wide: the last point snaps
// to the full width; a negative or undefined percentage gives 0.
double progressBarWidth(float percent, double viewWidth);

// The dialogs' progress bars in the dark windows: a light blue fill that
// stands 3:1 from its dark track and from the window, and a rim that shows
// the empty bar, whatever the style.
void styleProgressBar(QProgressBar* bar);

class VXProgressView : public QWidget {
    Q_OBJECT
public:
    // A view of size whose track starts 368 wide whatever that width is;
    // both follow later width changes.
    explicit VXProgressView(const QSize& size = QSize(368, 6), QWidget* parent = nullptr);
    void changeProgressValue(float percent);
    QLabel* track() const { return track_; }
    NSProgressBar* bar() const { return bar_; }

private:
    QLabel* track_;
    NSProgressBar* bar_;
};

} // namespace salvor::widgets
