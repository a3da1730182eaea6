// Pictures: a grid of 40 generated thumbnails (one hovered, one ticked), the
// preview strip, and a bubble pointing at a button; grabbed offscreen and,
// under Xvfb (screenUnderX11), captured from the screen with ImageMagick's
// "import -window root". Tile fill, bubble fill and arrow tip are checked at
// known pixels in both.
#include "platform/Paths.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/AttachedWindow.h"
#include "ui/widgets/GridView.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ImageFlowView.h"

#include <QPainter>
#include <QProcess>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

namespace {

const QColor kWindow(30, 34, 40);

QImage thumbnail(int i) {
    QImage image(120, 80, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(i * 9, 160, 220));
    QPainter p(&image);
    p.setFont(kit::systemFont(20));
    p.drawText(image.rect(), Qt::AlignCenter, QString::number(i));
    return image;
}

struct Thumbs : CNGridViewDataSource, ImageFlowDataSource {
    struct Photo : ImageFlowItem {
        int i;
        QString imageUID() const override { return imageTitle(); }
        QString imageTitle() const override { return QStringLiteral("IMG_%1.JPG").arg(i, 4, 10, QChar('0')); }
        QImage imageRepresentation() const override { return thumbnail(i); }
    };
    std::vector<Photo> photos;
    Thumbs() {
        photos.resize(40);
        for (int i = 0; i < 40; ++i) photos[size_t(i)].i = i;
    }
    std::uint64_t numberOfItemsInSection(CNGridView*, std::int64_t) override { return 40; }
    CNGridViewItemBase* itemAtIndex(CNGridView* grid, std::int64_t i, std::int64_t) override {
        auto* item = static_cast<CNGridViewItem*>(grid->dequeueReusableItemWithIdentifier(kCNDefaultItemIdentifier));
        if (!item) item = new CNGridViewItem(nullptr, kCNDefaultItemIdentifier);
        item->refImageWithImage(thumbnail(int(i)));
        item->titleLabel()->setText(photos[size_t(i)].imageTitle());
        item->itemButton()->setImageName(i == 7 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no"));
        return item;
    }
    std::int64_t numberOfItemsInImageFlow(ImageFlowView*) override { return 40; }
    const ImageFlowItem* itemAtIndex(ImageFlowView*, std::int64_t i) override { return &photos[size_t(i)]; }
};

QColor over(QColor top, QColor below) {
    const double a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + below.redF() * (1 - a)), float(top.greenF() * a + below.greenF() * (1 - a)),
                            float(top.blueF() * a + below.blueF() * (1 - a)));
}

struct Scene {
    QWidget window;
    Thumbs thumbs;
    CNGridScrollView* grid = new CNGridScrollView(&window);
    ImageFlowView* strip = new ImageFlowView(&window);
    TCImageButton* button = new TCImageButton(&window);
    MAAttachedWindow* bubble = nullptr;
    Scene() {
        window.setWindowFlag(Qt::FramelessWindowHint);
        window.setAutoFillBackground(true);
        QPalette pal = window.palette();
        pal.setColor(QPalette::Window, kWindow);
        window.setPalette(pal);
        window.resize(1240, 1000);
        grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        grid->setGeometry(10, 10, 1200, 750); // 8 columns, 5 rows
        grid->gridView()->setDataSource(&thumbs);
        strip->setGeometry(10, 770, 800, 220);
        strip->setDataSource(&thumbs);
        strip->setSelectedIndex(3);
        button->setGeometry(900, 900, 120, 32);
        button->setImageFromFileNormalName("back_normal", "back_press", "back_hover", "back_disable");
        button->setTextWithName("Deep Scan", QRect(0, 0, 120, 32));
        auto* hint = new QLabel(QStringLiteral("Try a deep scan"));
        hint->setAlignment(Qt::AlignCenter);
        hint->setStyleSheet("color: white");
        hint->resize(180, 40);
        // Lower-left window coordinates: the middle of the button's top edge.
        bubble = MAAttachedWindow::initWithView(hint, QPointF(960, window.height() - 900), &window, MASideTop);
        grid->gridView()->reloadData();
        strip->reloadData();
    }
    void settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        grid->gridView()->hoverItemAtIndex(5);
    }
    // "" when the known pixels of picture (window at origin) are right.
    QString check(const QImage& picture, QPoint origin = {}) {
        const QColor tile = over(itemBackgroundColor(), controlColor());
        const QColor hovered = over(itemBackgroundHoverColor(), controlColor());
        const QColor fill = over(bubble->windowBackgroundColor(), kWindow);
        const QRectF tip = bubble->geometry(); // the arrow's tip is the bottom centre
        const QPoint tipAt(int(tip.center().x()), int(tip.bottom()));
        const struct {
            QPoint at;
            QColor expected;
            const char* what;
        } probes[] = {
            {grid->mapTo(&window, QPoint(15, 115)), tile, "tile fill"},
            {grid->mapTo(&window, QPoint(5 * 150 + 15, 115)), hovered, "hovered tile fill"},
            {bubble->mapTo(&window, QPoint(4, 20)), fill, "bubble fill"},
            {tipAt - QPoint(0, 4), fill, "inside the arrow's tip"},
            {tipAt - QPoint(6, 2), kWindow, "beside the arrow's tip"},
        };
        for (const auto& p : probes) {
            const QColor got = picture.rect().contains(origin + p.at) ? picture.pixelColor(origin + p.at) : QColor();
            if (!got.isValid() || qAbs(got.red() - p.expected.red()) > 3 || qAbs(got.green() - p.expected.green()) > 3 ||
                qAbs(got.blue() - p.expected.blue()) > 3)
                return QStringLiteral("%1: %2, expected %3")
                    .arg(p.what, got.isValid() ? got.name() : QStringLiteral("nothing"), p.expected.name());
        }
        return {};
    }
};

QString shotPath(const QString& name) {
    const QString dir = QString::fromLocal8Bit(qgetenv("SALVOR_SHOT_DIR"));
    return (dir.isEmpty() ? platform::executableDir() : dir) + "/" + name;
}

} // namespace

class GridPicturesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        kit::installApplicationFonts();
        kit::setAnimationDurationScale(0);
    }
    void offscreen() {
        Scene s;
        s.window.show();
        s.settle();
        QCOMPARE(s.grid->gridView()->numberOfVisibleItems(), 40u);
        const QImage picture = s.window.grab().toImage();
        QVERIFY(picture.save(shotPath("grid_offscreen.png")));
        const QString mismatch = s.check(picture);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
    void screenUnderX11() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QVERIFY2(qEnvironmentVariableIsEmpty("SALVOR_REQUIRE_X11"), "no X server: the platform is not xcb");
            QSKIP("needs an X server: the test ui_widgets_grid_pictures_xvfb runs this under xvfb-run");
        }
        Scene s;
        s.window.move(10, 10);
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        s.settle();
        QTest::qWait(500);
        QProcess import;
        import.start("import", {"-window", "root", shotPath("grid_xvfb_root.png")});
        QVERIFY2(import.waitForFinished(20000) && import.exitCode() == 0,
                 qPrintable("import -window root failed (package imagemagick): " + import.readAllStandardError()));
        const QString mismatch = s.check(QImage(shotPath("grid_xvfb_root.png")), s.window.mapToGlobal(QPoint()));
        QVERIFY2(mismatch.isEmpty(), qPrintable("screen " + mismatch));
    }
};

QTEST_MAIN(GridPicturesTest)
#include "GridPicturesTest.moc"
