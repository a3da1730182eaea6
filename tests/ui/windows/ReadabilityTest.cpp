// Readability measured on pictures of the windows: every text of the
// file-type page, the device page, the notice, the About and the update
// window against the pixels around it (contrast 4.5:1 at least, computed
// from the drawn colours), chosen and unchosen tiles that look different, a
// visible keyboard focus, and Return / Escape in the notice and About.
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TableViews.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/RootWindow.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>

#include <cmath>
#include <map>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::FakeFacade;

namespace {

double luminance(QRgb c) {
    auto lin = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(qRed(c)) + 0.7152 * lin(qGreen(c)) + 0.0722 * lin(qBlue(c));
}

double contrast(QRgb a, QRgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Measure {
    QRgb background = 0, text = 0;
    double ratio = 0;
};

// The background is the commonest colour of the area; the text colour is
// the pixel that stands out most from it (glyph stems are fully covered).
Measure measure(const QImage& shot, const QRect& area) {
    std::map<QRgb, int> counts;
    const QRect r = area.intersected(shot.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) ++counts[shot.pixel(x, y) | 0xFF000000u];
    Measure m;
    int most = 0;
    for (const auto& [c, n] : counts)
        if (n > most) most = n, m.background = c;
    for (const auto& [c, n] : counts)
        if (const double k = contrast(c, m.background); k > m.ratio) m.ratio = k, m.text = c;
    return m;
}

QString describe(const QString& what, const Measure& m) {
    return QStringLiteral("%1: text %2 on %3, %4:1")
        .arg(what, QColor(m.text).name(), QColor(m.background).name())
        .arg(m.ratio, 0, 'f', 2);
}

// Where a text of the widget is drawn, in its own coordinates.
QRect textArea(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) {
        if (l->wordWrap()) return l->contentsRect();
        return QStyle::alignedRect(l->layoutDirection(), l->alignment(),
                                   l->fontMetrics().boundingRect(l->text()).size() + QSize(2, 2), l->contentsRect());
    }
    auto* b = static_cast<QPushButton*>(w);
    const QSize text = b->fontMetrics().boundingRect(b->text()).size() + QSize(2, 2);
    return QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, text, b->rect());
}

// Measures every visible text of the window on a picture of it; answers the
// lowest ratio and prints each measure.
double lowestTextContrast(QWidget* window, const QString& name, QStringList* failures) {
    const QImage shot = window->grab().toImage();
    if (const QByteArray dir = qgetenv("SALVOR_SHOT_DIR"); !dir.isEmpty())
        shot.save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + name + QStringLiteral(".png"));
    double lowest = 100;
    QList<QWidget*> texts;
    for (QLabel* l : window->findChildren<QLabel*>())
        if (!l->text().trimmed().isEmpty()) texts.append(l);
    for (QPushButton* b : window->findChildren<QPushButton*>())
        if (!b->text().trimmed().isEmpty()) texts.append(b);
    for (QWidget* w : texts) {
        if (!w->isVisibleTo(window)) continue;
        const QRect area = textArea(w).translated(w->mapTo(window, QPoint(0, 0)));
        if (!window->rect().contains(area)) continue; // a page moved out of the window
        const Measure m = measure(shot, area);
        const QString text = qobject_cast<QLabel*>(w) ? static_cast<QLabel*>(w)->text() : static_cast<QPushButton*>(w)->text();
        const QString line = describe(name + QStringLiteral(" \"") + text.left(30) + QLatin1Char('"'), m);
        qInfo().noquote() << line;
        lowest = std::min(lowest, m.ratio);
        if (m.ratio < 4.5) failures->append(line);
    }
    return lowest;
}

// Pixels that differ between two pictures of one size by a contrast of 3:1
// at least (what a focus ring or a check mark needs to be seen).
int differingPixels(const QImage& a, const QImage& b) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) n += contrast(a.pixel(x, y), b.pixel(x, y)) >= 3.0;
    return n;
}

// Every control of the window that Tab reaches shows when it has the focus.
void checkFocusShows(QWidget* window) {
    QList<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (w->isVisibleTo(window) && (w->focusPolicy() & Qt::TabFocus) && qobject_cast<QAbstractButton*>(w))
            controls.append(w);
    QVERIFY(!controls.isEmpty());
    for (QWidget* w : controls) {
        w->clearFocus();
        window->setFocus();
        const QImage before = w->grab().toImage();
        w->setFocus(Qt::TabFocusReason);
        QVERIFY(w->hasFocus());
        const int changed = differingPixels(before, w->grab().toImage());
        QVERIFY2(changed >= 20, qPrintable(QStringLiteral("no visible focus on %1 (%2 pixels)")
                                               .arg(w->objectName() + QLatin1Char('/') + w->metaObject()->className())
                                               .arg(changed)));
    }
}

} // namespace

class ReadabilityTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    FakeFacade* fake_ = nullptr;
    VXRootWindowController* root_ = nullptr;

    void checkTexts(QWidget* window, const QString& name) {
        QStringList failures;
        lowestTextContrast(window, name, &failures);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    }

private slots:
    void initTestCase() { test::setUpWindowTests(config_); }
    void init() {
        fake_ = new FakeFacade;
        root_ = new VXRootWindowController;
        root_->showWindow();
        QApplication::setActiveWindow(root_->window());
    }
    void cleanup() {
        delete root_;
        root_ = nullptr;
        delete fake_;
    }

    void fileTypePage() {
        checkTexts(root_->window(), QStringLiteral("file-type page"));
        // A tile's chosen and unchosen looks differ where the mark is drawn.
        widgets::TypeButton* tile = root_->selectTypeVC->typeButtons[0];
        QVERIFY(tile->rect().contains(tile->checkBox()->geometry()));
        root_->selectTypeVC->startScanButton->setFocus();
        const QImage chosen = tile->grab().toImage();
        tile->click();
        QVERIFY(!tile->isSelect());
        const QImage unchosen = tile->grab().toImage();
        QVERIFY2(differingPixels(chosen, unchosen) >= 40, "chosen and unchosen tiles look alike");
        checkFocusShows(root_->window());
        // Under the pointer the title changes its look and stays readable.
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(tile->mapToGlobal(QPoint(2, 2))));
        QApplication::sendEvent(tile, &enter);
        QVERIFY(tile->isFocus());
        checkTexts(root_->window(), QStringLiteral("file-type page, pointer on a tile"));
    }

    void devicePage() {
        fake_->disks = {{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}};
        QTest::keyClick(root_->window(), Qt::Key_Return);
        QTRY_VERIFY(root_->selectDiskVC);
        VXSelectDiskViewController* page = root_->selectDiskVC;
        checkTexts(root_->window(), QStringLiteral("device page"));
        // The header and the rows, drawn by the outline's own cells.
        widgets::VXCustomOutlineView* outline = page->outlineView;
        QHeaderView* header = outline->header();
        const QImage top = header->grab().toImage();
        QStringList titles;
        for (int i = 0; i < header->count(); ++i) {
            const QString title = outline->model()->headerData(i, Qt::Horizontal).toString();
            if (!title.isEmpty()) QVERIFY2(!titles.contains(title), qPrintable(title + " twice in the header"));
            titles.append(title);
            if (title.isEmpty()) continue;
            const QRect section(header->sectionViewportPosition(i), 0, header->sectionSize(i), header->height());
            const Measure m = measure(top, section.adjusted(2, 2, -2, -2));
            qInfo().noquote() << describe(QStringLiteral("device header \"%1\"").arg(title), m);
            QVERIFY2(luminance(m.background) < 0.2, "a light header in the dark window");
            QVERIFY(m.ratio >= 4.5);
        }
        QCOMPARE(titles.size(), 4);
        const QImage rows = outline->viewport()->grab().toImage();
        QAbstractItemModel* model = outline->model();
        for (const QModelIndex& disk : {model->index(0, 0), model->index(1, 0)}) {
            for (const QModelIndex& item : {disk, model->index(0, 0, disk)}) {
                for (int column = 0; column < 3; ++column) {
                    const QModelIndex cell = item.siblingAtColumn(column);
                    const Measure m = measure(rows, outline->visualRect(cell).adjusted(column == 0 ? 24 : 2, 2, -2, -2));
                    qInfo().noquote() << describe(QStringLiteral("device row \"%1\"").arg(cell.data().toString()), m);
                    QVERIFY(m.ratio >= 4.5);
                }
            }
        }
    }

    void smallWindows() {
        APFSScanWindowController notice;
        notice.showWindow();
        checkTexts(notice.window(), QStringLiteral("notice"));
        QApplication::setActiveWindow(notice.window());
        checkFocusShows(notice.window());
        VXAboutWindowController about;
        about.showWindow();
        checkTexts(about.window(), QStringLiteral("about"));
        fake_->network = false;
        VXCheckUpdateWindowController update;
        update.showWindow();
        checkTexts(update.window(), QStringLiteral("update"));
        VXCheckUpdateWindowController newer;
        newer.setFetchedList({{QStringLiteral("VersionCheck"), 99}, {QStringLiteral("Version"), QStringLiteral("9.0")},
                              {QStringLiteral("1"), QStringLiteral("Faster deep scans")}});
        newer.showWindow();
        checkTexts(newer.window(), QStringLiteral("update, newer version"));
    }

    void returnAndEscape_data() {
        QTest::addColumn<bool>("about");
        QTest::addColumn<int>("key");
        QTest::newRow("notice, Return") << false << int(Qt::Key_Return);
        QTest::newRow("notice, Enter") << false << int(Qt::Key_Enter);
        QTest::newRow("notice, Escape") << false << int(Qt::Key_Escape);
        QTest::newRow("About, Return") << true << int(Qt::Key_Return);
        QTest::newRow("About, Escape") << true << int(Qt::Key_Escape);
    }
    void returnAndEscape() {
        QFETCH(bool, about);
        QFETCH(int, key);
        std::unique_ptr<FadingDialog> dialog;
        if (about) dialog = std::make_unique<VXAboutWindowController>();
        else dialog = std::make_unique<APFSScanWindowController>();
        QWidget* w = dialog->window();
        bool keyed = false;
        QTimer::singleShot(0, w, [w, key, &keyed] {
            QApplication::setActiveWindow(w);
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w, Qt::Key(key));
            keyed = true;
        });
        // Ends the run should the key do nothing, so that the test fails instead of waiting.
        QTimer::singleShot(3000, w, [w] { kit::stopModalFor(w); });
        kit::runModal(w);
        QVERIFY(keyed);
        QVERIFY2(!w->isVisible(), "the key left the window open");
    }
};

QTEST_MAIN(ReadabilityTest)
#include "ReadabilityTest.moc"
