#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/PreviewImages.h"

#include <QBuffer>
#include <QDir>
#include <QFontInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using namespace salvor::kit;

namespace {

// Names the windows use, spelled as they ask for them.
const char* const kStems[] = {"back", "continue", "start", "import", "icon_graphics", "icon_audio", "icon_video",
                              "icon_archive", "icon_document", "icon_other", "home", "deepscan", "export", "pause",
                              "play", "stop", "botton_recover"};
const char* const kPlain[] = {"warning_b", "pop_header_bg", "checkbox_yes", "checkbox_no", "checkbox_election",
                              "del_normal", "del_press", "mirror_image", "usb.png", "select", "deletered",
                              "loading.gif", "loading.png", "logo", "view_bg_normal", "view_bg_press",
                              "BackgroundDust", "bg_150", "text_bg", "bg_tab", "list_focus", "list_no_hover",
                              "preview_focus", "preview_no_hover", "grid_focus", "grid_no_hover", "schedule_bg", "progress_bar_bg", "search_normal",
                              "NSAscendingSortIndicator", "NSDescendingSortIndicator"};
const ImageState kStates[] = {ImageState::Normal, ImageState::Press, ImageState::Hover, ImageState::Disable};

bool hasVisiblePixels(const QImage& img) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 0) return true;
    return false;
}

} // namespace

class NamedImagesTest : public QObject {
    Q_OBJECT
private slots:
    void everyNameResolvesToAnImageOfItsSize() {
        QSet<QString> seen;
        for (const NamedImageInfo& info : namedImageList()) {
            const QString name = QString::fromLatin1(info.name);
            QVERIFY2(!seen.contains(name), qPrintable(name));
            seen.insert(name);
            const QImage img = namedImage(name);
            QCOMPARE(img.size(), QSize(info.width, info.height));
            QCOMPARE(namedImageSize(name), img.size());
            QVERIFY2(hasVisiblePixels(img), qPrintable(name));
        }
    }
    void namesTheWindowsUseAreThereWithDistinctStates() {
        QCOMPARE(stateImageName(QStringLiteral("home"), ImageState::Disable), QStringLiteral("home_disable"));
        for (const char* stem : kStems) {
            QList<QImage> looks;
            for (ImageState st : kStates) {
                QVERIFY2(hasNamedImage(stateImageName(QString::fromLatin1(stem), st)), stem);
                looks.append(namedImage(stateImageName(QString::fromLatin1(stem), st)));
            }
            for (int a = 0; a < looks.size(); ++a)
                for (int b = a + 1; b < looks.size(); ++b) QVERIFY2(looks[a] != looks[b], stem);
        }
        for (const char* name : kPlain) QVERIFY2(hasNamedImage(QString::fromLatin1(name)), name);
        for (int type = 0; type <= 10; ++type) QVERIFY(hasNamedImage(QStringLiteral("%1IconImage").arg(type)));
    }
    void unknownNameIsNullAndTheSpinnerHasFrames() {
        const QString none = QStringLiteral("no_such_image");
        QVERIFY(namedImage(none).isNull() && namedPixmap(none).isNull() && namedImageFrames(none).isEmpty());
        QVERIFY(!namedImageSize(none).isValid());
        const QList<QImage> frames = namedImageFrames(QStringLiteral("loading.gif"));
        QCOMPARE(frames.size(), 8);
        QVERIFY(frames[0] != frames[1]);
        for (const QImage& f : frames) QCOMPARE(f.size(), QSize(16, 16));
        QCOMPARE(namedImageFrames(QStringLiteral("logo")).size(), 1);
    }
    void pngInTheResourcesOverridesTheDrawing() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("images")));
        QImage red(20, 10, QImage::Format_ARGB32_Premultiplied);
        red.fill(Qt::red);
        QVERIFY(red.save(dir.filePath(QStringLiteral("images/warning_b.png"))));
        QVERIFY(red.save(dir.filePath(QStringLiteral("images/usb.png"))));
        qputenv("SALVOR_RESOURCE_DIR", QFile::encodeName(dir.path()));
        clearImageCache();
        QCOMPARE(namedImage(QStringLiteral("warning_b")).size(), QSize(20, 10));
        QCOMPARE(namedImage(QStringLiteral("usb.png")).pixel(3, 3), QColor(Qt::red).rgba());
        QCOMPARE(drawnImage(QStringLiteral("warning_b")).size(), QSize(64, 64));
        QCOMPARE(namedImage(QStringLiteral("logo")).size(), QSize(64, 64));
        qunsetenv("SALVOR_RESOURCE_DIR");
        clearImageCache();
        QCOMPARE(namedImage(QStringLiteral("warning_b")).size(), QSize(64, 64));
    }
    // Every image drawn afresh on four threads at once equals the one drawn on the
    // main thread: no uninitialised pixels, no shared painter state.
    void drawingIsTheSameOnEveryThread() {
        QList<QImage> mine;
        for (const NamedImageInfo& info : namedImageList()) mine.append(drawnImage(QString::fromLatin1(info.name)));
        QList<QImage> made[4];
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t, &made] {
                for (const NamedImageInfo& info : namedImageList())
                    made[t].append(drawnImage(QString::fromLatin1(info.name)));
            });
        for (auto& t : threads) t.join();
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < mine.size(); ++i) QVERIFY2(made[t][i] == mine[i], namedImageList()[i].name);
    }
    void fontsArePixelSizedInTheFixedFamily() {
        QVERIFY2(installApplicationFonts(), "DejaVu Sans is missing: install the package fonts-dejavu-core");
        QCOMPARE(QFontInfo(systemFont(13)).family(), QString::fromLatin1(kFontFamily));
        QCOMPARE(boldSystemFont(12).weight(), QFont::Bold);
        const QFont light = fontNamed(QStringLiteral("Helvetica Light"), 14);
        QVERIFY(light.pixelSize() == 14 && light.weight() == QFont::Light);
        QCOMPARE(QApplication::font().pixelSize(), 13);
    }
    // Preview bytes decode on any thread; a header that asks for more than
    // Qt's allocation limit, and junk, decode to nothing; every extension has
    // an icon (ours when the theme has none).
    void previewBytesAndFileTypeIcons() {
        QImage image(30, 20, QImage::Format_RGB32);
        image.fill(Qt::red);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        QSize onThread;
        std::thread([&] { onThread = salvor::kit::decodedPreviewSize(png); }).join();
        QCOMPARE(onThread, QSize(30, 20));
        QCOMPARE(salvor::kit::decodedPreviewSize(png), QSize(30, 20));
        QByteArray huge;
        QBuffer bmp(&huge);
        bmp.open(QIODevice::WriteOnly);
        image.save(&bmp, "BMP");
        for (int at : {18, 22}) { // width and height: 100000 each
            huge[at] = char(0xA0);
            huge[at + 1] = char(0x86);
            huge[at + 2] = 0x01;
        }
        QVERIFY(salvor::kit::decodedPreviewSize(huge).isEmpty());
        QVERIFY(salvor::kit::decodedPreviewSize("not a picture").isEmpty());
        for (const char* ext : {"jpg", "mp3", "", "qqq"}) QVERIFY(!salvor::kit::iconForFileType(QString::fromLatin1(ext)).isNull());
    }
};

QTEST_MAIN(NamedImagesTest)
#include "NamedImagesTest.moc"
