#include "DemoDialog.h"

#include "ui/kit/NamedImages.h"
#include "ui/widgets/TCWindowButton.h"

#include <QLabel>

#include <cstdlib>

namespace salvor::testing {

DemoDialogController::DemoDialogController() : kit::WindowController(QStringLiteral("DemoDialogController")) {
    setFadesOnClose(true);
}

QWidget* DemoDialogController::loadWindow() {
    auto* w = new widgets::TCImageWindow(QSize(360, 140));
    (new QLabel(QStringLiteral("Body"), w->contentView()))->setGeometry(20, 20, 200, 20);
    return w;
}

std::vector<ProbePixel> dialogProbes(widgets::TCImageWindow* dialog) {
    // The header image is a vertical gradient: every column alike, so its
    // stretched copy shows the same colours row by row.
    const QImage header = kit::namedImage(QStringLiteral("pop_header_bg"));
    std::vector<ProbePixel> probes;
    for (int row : {2, 11, 19}) probes.push_back({QPoint(dialog->width() - 6, row), header.pixelColor(100, row), "header"});
    probes.push_back({QPoint(dialog->width() / 2 + 60, 8), header.pixelColor(100, 8), "header beside the title"});
    // The close button's centre in the image its state shows (red when the
    // window is key, grey otherwise).
    auto* close =
        static_cast<widgets::TCWindowButton*>(dialog->standardWindowButton(widgets::TCImageWindow::CloseButton));
    const QImage image = close->displayedImage().toImage();
    probes.push_back({close->geometry().center(), image.pixelColor(image.width() / 2, image.height() / 2), "close"});
    return probes;
}

QString checkProbes(const QImage& picture, const QPoint& origin, const std::vector<ProbePixel>& probes,
                    int tolerance) {
    for (const ProbePixel& p : probes) {
        const QPoint at = origin + p.at;
        const QColor got = picture.rect().contains(at) ? picture.pixelColor(at) : QColor();
        if (!got.isValid() || std::abs(got.red() - p.expected.red()) > tolerance ||
            std::abs(got.green() - p.expected.green()) > tolerance || std::abs(got.blue() - p.expected.blue()) > tolerance)
            return QStringLiteral("%1 at (%2, %3): got %4, expected %5")
                .arg(QString::fromLatin1(p.what))
                .arg(at.x())
                .arg(at.y())
                .arg(got.isValid() ? got.name() : QStringLiteral("nothing (outside the picture)"), p.expected.name());
    }
    return QString();
}

} // namespace salvor::testing
