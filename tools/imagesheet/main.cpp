// imagesheet OUT.png [--drawn] [--scale N]
// Draws every named image at its size (scaled by N, 1 to 4) in a cell with its
// name and pixel size beneath, on a mid-grey ground so that light and dark art
// both show, and writes the sheet as a PNG. --drawn ignores override PNGs.
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace salvor::kit;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString out;
    bool drawn = false;
    int scale = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--drawn") == 0) {
            drawn = true;
        } else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
            scale = std::clamp(std::atoi(argv[++i]), 1, 4);
        } else if (out.isEmpty() && argv[i][0] != '-') {
            out = QString::fromLocal8Bit(argv[i]);
        } else {
            std::fprintf(stderr, "usage: imagesheet OUT.png [--drawn] [--scale N]\n");
            return 2;
        }
    }
    if (out.isEmpty()) {
        std::fprintf(stderr, "usage: imagesheet OUT.png [--drawn] [--scale N]\n");
        return 2;
    }
    if (!installApplicationFonts()) std::fprintf(stderr, "imagesheet: %s not found, using a fallback\n", kFontFamily);

    const auto& list = namedImageList();
    const QFont font = systemFont(11);
    const QFontMetrics fm(font);
    // Wide images (bars, backgrounds) are shown at scale 1 when they would not fit.
    const int cellW = 240, imageArea = 110, labelH = 2 * fm.height() + 6;
    const int cellH = imageArea + labelH + 12;
    const int columns = 6;
    const int rows = static_cast<int>((list.size() + columns - 1) / columns);
    QImage sheet(columns * cellW, rows * cellH, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(128, 132, 140));
    QPainter p(&sheet);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.setFont(font);
    int failures = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const QString name = QString::fromLatin1(list[i].name);
        const QImage img = drawn ? drawnImage(name) : namedImage(name);
        const QRect cell(static_cast<int>(i % columns) * cellW, static_cast<int>(i / columns) * cellH, cellW, cellH);
        p.fillRect(cell.adjusted(4, 4, -4, -4), QColor(118, 122, 130));
        if (img.isNull()) {
            ++failures;
            p.setPen(Qt::red);
            p.drawText(cell, Qt::AlignCenter, QStringLiteral("missing ") + name);
            continue;
        }
        int s = scale;
        while (s > 1 && (img.width() * s > cellW - 16 || img.height() * s > imageArea)) --s;
        QSize shown = img.size() * s;
        shown = shown.boundedTo(QSize(cellW - 16, imageArea)); // very wide art is clipped, not squeezed
        const QRect target(cell.x() + (cellW - shown.width()) / 2, cell.y() + 8 + (imageArea - shown.height()) / 2,
                           shown.width(), shown.height());
        p.drawImage(target, img.scaled(img.size() * s), QRect(QPoint(0, 0), shown));
        p.setPen(QColor(20, 22, 26));
        const QRect label(cell.x() + 6, cell.y() + imageArea + 12, cellW - 12, labelH);
        p.drawText(label, Qt::AlignHCenter | Qt::AlignTop,
                   name + QLatin1Char('\n') + QStringLiteral("%1 × %2").arg(list[i].width).arg(list[i].height));
    }
    p.end();
    if (!sheet.save(out, "PNG")) {
        std::fprintf(stderr, "imagesheet: cannot write %s\n", qPrintable(out));
        return 1;
    }
    // Read it back: the check that the file really is a picture.
    const QImage check(out);
    if (check.size() != sheet.size()) {
        std::fprintf(stderr, "imagesheet: %s does not read back\n", qPrintable(out));
        return 1;
    }
    std::printf("imagesheet: %zu images, %d missing -> %s\n", list.size(), failures, qPrintable(out));
    return failures == 0 ? 0 : 1;
}
