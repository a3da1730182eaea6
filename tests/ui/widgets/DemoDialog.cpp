#include "DemoDialog.h"

#include "ui/kit/NamedImages.h"
#include "ui/widgets/TCWindowButton.h"

#include <QLabel>
#include <QVBoxLayout>

#include <cstdlib>

namespace salvor::testing {

DemoDialogController::DemoDialogController() : kit::WindowController(QStringLiteral("DemoDialogController")) {
    setFadesOnClose(true);
}

QWidget* DemoDialogController::loadWindow() {
    auto* w = new widgets::TCImageWindow(QSize(360, 140));
    auto* body = new QLabel(QStringLiteral("Body"), w->contentView());
    body->setGeometry(20, 20, 200, 20);
    return w;
}

void DemoDialogController::awakeFromNib() { fadeIn(); }

void DemoDialogController::windowDidLoad() { bar = widgets::installDialogTitleBar(dialog()); }

std::vector<ProbePixel> dialogProbes(widgets::TCImageWindow* dialog) {
    const QImage header = kit::namedImage(QStringLiteral("pop_header_bg"));
    const int right = dialog->width() - 6;
    // The header image is a vertical gradient: every column alike, so its
    // stretched copy shows the same colours row by row.
    std::vector<ProbePixel> probes = {
        {QPoint(right, 2), header.pixelColor(100, 2), "header, right end, row 2"},
        {QPoint(right, 11), header.pixelColor(100, 11), "header, right end, row 11"},
        {QPoint(right, 19), header.pixelColor(100, 19), "header, right end, row 19"},
        {QPoint(dialog->width() / 2 + 60, 8), header.pixelColor(100, 8), "header beside the title"},
    };
    // The close button's centre, in the image its state shows (red when the
    // window is key, grey otherwise).
    auto* close =
        static_cast<widgets::TCWindowButton*>(dialog->standardWindowButton(widgets::TCImageWindow::CloseButton));
    const QImage closeImage = close->displayedImage().toImage();
    probes.push_back({close->geometry().center(),
                      closeImage.pixelColor(closeImage.width() / 2, closeImage.height() / 2), "close button"});
    return probes;
}

QString checkProbes(const QImage& picture, const QPoint& origin, const std::vector<ProbePixel>& probes,
                    int tolerance) {
    for (const ProbePixel& p : probes) {
        const QPoint at = origin + p.at;
        if (!picture.rect().contains(at)) return QStringLiteral("%1: (%2, %3) outside the picture").arg(p.what).arg(at.x()).arg(at.y());
        const QColor got = picture.pixelColor(at);
        if (std::abs(got.red() - p.expected.red()) > tolerance || std::abs(got.green() - p.expected.green()) > tolerance ||
            std::abs(got.blue() - p.expected.blue()) > tolerance)
            return QStringLiteral("%1 at (%2, %3): got %4, expected %5")
                .arg(QString::fromLatin1(p.what))
                .arg(at.x())
                .arg(at.y())
                .arg(got.name(), p.expected.name());
    }
    return QString();
}

} // namespace salvor::testing
