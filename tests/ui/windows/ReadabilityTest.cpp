// Readability measured on the screen of an X server (xcb), as a user sees
// the windows: every text of every window and dialog (pages, notice, About,
// update, recovery progress and its questions, the end dialogs, save/load
// progress, the folder chooser, the results window with its trees, list
// headers, search hint, strip and grid) against the background right behind
// its strokes (4.5:1 at least, at every row of a gradient); every control,
// progress fill and expand arrow 3:1 against what surrounds it; a visible
// keyboard focus on controls and on the trees' and list's rows; controls 6
// pixels apart and tree check boxes clear of their icons; Return / Escape in
// the notice and About.
#include "engine/tree/FilesystemNode.h"
#include "platform/Localization.h"
#include "services/ResultTrees.h"
#include "tests/support/TestFileNode.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/AttachedWindow.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/SearchFields.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TableViews.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RecoveryDialogs.h"
#include "ui/windows/RootWindow.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <tuple>
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

QRgb commonest(const std::map<QRgb, int>& counts) {
    QRgb best = 0;
    int most = 0;
    for (const auto& [c, n] : counts)
        if (n > most) most = n, best = c;
    return best;
}

// Text read against the background right behind it. Each row's background
// is the commonest colour just left and right of the text on that row (a
// vertical gradient changes from row to row; an underline fills its row);
// the text's colour is the pixel standing out most from its own row (the
// core of a stroke, as the screen shows it); the answer is that colour
// against the background of every row the strokes cross, the lowest one
// (the worst point of a gradient).
Measure measure(const QImage& shot, const QRect& area) {
    const QRect r = area.intersected(shot.rect());
    std::vector<QRgb> rowBackground;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        std::map<QRgb, int> counts;
        for (int d = 1; d <= 4; ++d)
            for (int x : {r.left() - d, r.right() + d})
                if (shot.rect().contains(x, y)) ++counts[shot.pixel(x, y) | 0xFF000000u];
        if (counts.empty()) // at the picture's edge: the row itself
            for (int x = r.left(); x <= r.right(); ++x) ++counts[shot.pixel(x, y) | 0xFF000000u];
        rowBackground.push_back(commonest(counts));
    }
    // The stroke pixels, most distinct first; the text's colour is that of the
    // stroke cores (the tenth most distinct), not of a lone pixel.
    std::vector<std::pair<double, QRgb>> strokes;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb c = shot.pixel(x, y) | 0xFF000000u;
            if (const double k = contrast(c, rowBackground[y - r.top()]); k >= 1.5) strokes.emplace_back(k, c);
        }
    std::sort(strokes.begin(), strokes.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    Measure m;
    if (strokes.empty()) return m;
    std::tie(m.ratio, m.text) = strokes[strokes.size() / 10];
    m.background = rowBackground.empty() ? 0 : rowBackground.front();
    for (int y = r.top(); y <= r.bottom(); ++y) {
        // A row the strokes cross: some pixel of it stands apart from its background.
        bool crossed = false;
        const QRgb bg = rowBackground[y - r.top()];
        for (int x = r.left(); x <= r.right() && !crossed; ++x) crossed = contrast(shot.pixel(x, y) | 0xFF000000u, bg) >= 1.5;
        if (crossed && contrast(m.text, bg) < m.ratio) m.ratio = contrast(m.text, bg), m.background = bg;
    }
    return m;
}

// What the X server shows of a widget: its window raised, painted and
// settled, the root window grabbed and cut to the widget.
QImage onScreen(QWidget* w) {
    QWidget* window = w->window();
    window->raise();
    QApplication::setActiveWindow(window);
    if (!QTest::qWaitForWindowExposed(window)) qWarning() << "window not exposed:" << window->objectName();
    QTest::qWait(150);
    const QPoint at = w->mapToGlobal(QPoint(0, 0));
    QImage shot = window->screen()->grabWindow(0, at.x(), at.y(), w->width(), w->height()).toImage();
    if (const QByteArray dir = qgetenv("SALVOR_SHOT_DIR"); !dir.isEmpty() && w == window)
        shot.save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + window->objectName() + QStringLiteral(".png"));
    return shot.convertToFormat(QImage::Format_RGB32);
}

QString describe(const QString& what, const Measure& m) {
    return QStringLiteral("%1: text %2 on %3, %4:1")
        .arg(what, QColor(m.text).name(), QColor(m.background).name())
        .arg(m.ratio, 0, 'f', 2);
}

// Whether the widget, or the image button it belongs to, can be used now.
bool usable(QWidget* w) {
    for (QWidget* p = w; p; p = p->parentWidget())
        if (auto* b = qobject_cast<widgets::TCImageButton*>(p)) return b->isUsable();
    return true;
}

// Where a text of the widget is drawn, in its own coordinates.
QRect textArea(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) {
        if (l->wordWrap()) return l->contentsRect();
        return QStyle::alignedRect(l->layoutDirection(), l->alignment(),
                                   l->fontMetrics().boundingRect(l->text()).size() + QSize(2, 2), l->contentsRect());
    }
    auto* b = static_cast<QAbstractButton*>(w);
    const QSize text = b->fontMetrics().boundingRect(b->text()).size() + QSize(2, 2);
    QRect r = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, text, b->rect());
    // An icon and the text are centred together, the text right of the icon.
    if (!b->icon().isNull()) r.translate((b->iconSize().width() + 4) / 2, 0);
    return r;
}

QString textOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->textFormat() == Qt::RichText ? QString(l->text()).remove(QRegularExpression(QStringLiteral("<[^>]*>"))) : l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    return {};
}

// Measures every visible text of the window on a picture of it; answers the
// lowest ratio and prints each measure.
double lowestTextContrast(QWidget* window, const QString& name, QStringList* failures) {
    const QImage shot = onScreen(window);
    if (const QByteArray dir = qgetenv("SALVOR_SHOT_DIR"); !dir.isEmpty())
        shot.save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + name + QStringLiteral(".png"));
    double lowest = 100;
    QList<QWidget*> texts;
    for (QLabel* l : window->findChildren<QLabel*>())
        if (!l->text().trimmed().isEmpty()) texts.append(l);
    // A button whose title is a label of its own is measured by that label.
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (!b->text().trimmed().isEmpty() && !b->findChild<QLabel*>()) texts.append(b);
    for (QWidget* w : texts) {
        // Controls that cannot be used now are exempt, as for any reader.
        if (!w->isVisibleTo(window) || !w->isEnabled() || !usable(w)) continue;
        const QRect area = textArea(w).translated(w->mapTo(window, QPoint(0, 0)));
        if (!window->rect().contains(area)) continue; // a page moved out of the window
        if (!w->visibleRegion().boundingRect().contains(textArea(w))) continue; // scrolled away or covered
        const Measure m = measure(shot, area);
        const QString text = textOf(w);
        const QString line = describe(name + QStringLiteral(" \"") + text.left(30) + QStringLiteral("\" (") +
                                          w->objectName() + QLatin1Char(')'), m);
        qInfo().noquote() << line;
        lowest = std::min(lowest, m.ratio);
        if (m.ratio < 4.5) failures->append(line);
    }
    return lowest;
}

// Every visible control (buttons, bars, fields) stands out from what
// surrounds it by 3:1: the most distinct pixel of the control against the
// commonest colour of a ring just outside it.
void checkControls(QWidget* window, const QString& name, QStringList* failures) {
    const QImage shot = onScreen(window);
    QList<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QProgressBar*>(w) || qobject_cast<QLineEdit*>(w))
            controls.append(w);
    for (QWidget* w : controls) {
        if (!w->isVisibleTo(window) || !w->isEnabled() || !usable(w) || w->width() < 6 || w->height() < 6) continue;
        if (w->parentWidget() && qobject_cast<QAbstractButton*>(w->parentWidget())) continue; // part of a control
        const QRect inside(w->mapTo(window, QPoint(0, 0)), w->size());
        const QRect ring = inside.adjusted(-3, -3, 3, 3);
        if (!window->rect().contains(ring) || !w->visibleRegion().boundingRect().contains(w->rect())) continue;
        std::map<QRgb, int> around;
        for (int y = ring.top(); y <= ring.bottom(); ++y)
            for (int x = ring.left(); x <= ring.right(); ++x)
                if (!inside.contains(x, y)) ++around[shot.pixel(x, y) | 0xFF000000u];
        QRgb background = 0;
        int most = 0;
        for (const auto& [c, n] : around)
            if (n > most) most = n, background = c;
        double best = 1;
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x)
                best = std::max(best, contrast(shot.pixel(x, y) | 0xFF000000u, background));
        const QString line = QStringLiteral("%1 control %2 (%3 in %6 at %7,%8): %4:1 on %5")
                                 .arg(name, w->objectName(), QLatin1String(w->metaObject()->className()))
                                 .arg(best, 0, 'f', 2)
                                 .arg(QColor(background).name())
                                 .arg(w->parentWidget() ? w->parentWidget()->objectName() : QString())
                                 .arg(inside.x())
                                 .arg(inside.y());
        qInfo().noquote() << line;
        if (best < 3.0) failures->append(line);
    }
}

// The expand arrows of a tree: the area left of each expandable row's text.
void checkArrows(QTreeView* tree, const QString& name, QStringList* failures) {
    const QImage shot = onScreen(tree->viewport());
    QAbstractItemModel* model = tree->model();
    int seen = 0;
    for (int row = 0; model && row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (!model->hasChildren(index)) continue;
        const QRect cell = tree->visualRect(index);
        const QRect arrow(cell.left() - tree->indentation(), cell.top(), tree->indentation(), cell.height());
        const Measure m = measure(shot, arrow.adjusted(2, 2, -2, -2));
        const QString line = describe(name + QStringLiteral(" expand arrow, row %1").arg(row), m);
        qInfo().noquote() << line;
        if (m.ratio < 3.0) failures->append(line);
        ++seen;
    }
    if (seen == 0) failures->append(name + QStringLiteral(": no expandable row to measure"));
}

// The grey hint of an empty field against the field behind it.
void checkPlaceholder(QLineEdit* field, const QString& name, QStringList* failures) {
    QVERIFY(field->text().isEmpty() && !field->placeholderText().isEmpty());
    const QImage shot = onScreen(field);
    const QMargins m = field->textMargins();
    const QSize text = field->fontMetrics().boundingRect(field->placeholderText()).size() + QSize(2, 2);
    const QRect inner = field->rect().marginsRemoved(m);
    const QRect area(inner.left() + 2, inner.center().y() - text.height() / 2, text.width(), text.height());
    const Measure mm = measure(shot, area);
    const QString line = describe(name + QStringLiteral(" placeholder \"%1\"").arg(field->placeholderText()), mm);
    qInfo().noquote() << line;
    if (mm.ratio < 4.5) failures->append(line);
}

// A progress bar's fill against its track (the part not yet filled) on
// every row of the bar inside its rim (a gradient is read at each of its
// points), and against the window around it.
void checkProgressFill(QProgressBar* bar, const QString& name, QStringList* failures) {
    QVERIFY(bar->value() > bar->minimum() && bar->value() < bar->maximum());
    const QImage shot = onScreen(bar->window());
    const QPoint at = bar->mapTo(bar->window(), QPoint(0, 0));
    const double done = double(bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum());
    const int fillX = at.x() + int(bar->width() * done / 2), trackX = at.x() + int(bar->width() * (1 + done) / 2);
    QRgb fill = 0, track = 0;
    double lowest = 100;
    for (int y = at.y() + 2; y <= at.y() + bar->height() - 3; ++y) {
        const QRgb f = shot.pixel(fillX, y) | 0xFF000000u, t = shot.pixel(trackX, y) | 0xFF000000u;
        if (contrast(f, t) < lowest) lowest = contrast(f, t), fill = f, track = t;
    }
    const QRgb window = shot.pixel(fillX, at.y() - 3) | 0xFF000000u;
    const QString line = QStringLiteral("%1 progress fill %2 on track %3: %4:1, on window %5: %6:1")
                             .arg(name, QColor(fill).name(), QColor(track).name())
                             .arg(lowest, 0, 'f', 2)
                             .arg(QColor(window).name())
                             .arg(contrast(fill, window), 0, 'f', 2);
    qInfo().noquote() << line;
    if (lowest < 3.0 || contrast(fill, window) < 3.0) failures->append(line);
}

// The titles of a file list's header, each where its cell draws it (the
// sort arrow beside it is not text).
void checkHeader(QHeaderView* header, widgets::CellViewHost* host, const QString& name, QStringList* failures) {
    const QImage top = onScreen(header);
    for (int i = 0; i < header->count(); ++i) {
        if (header->isSectionHidden(i) || header->sectionSize(i) < 8) continue;
        const QString title = header->model()->headerData(i, header->orientation()).toString();
        if (title.trimmed().isEmpty()) continue;
        const QRect section(header->sectionViewportPosition(i), 0, header->sectionSize(i), header->height());
        auto* cell = dynamic_cast<widgets::CustomHeaderCell*>(host->column(i)->headerCell.get());
        QVERIFY(cell);
        const QRect text(cell->titleRect(section).toRect().topLeft(),
                         QFontMetrics(cell->font).boundingRect(title).size() + QSize(2, 2));
        const Measure m = measure(top, text.intersected(section));
        const QString line = describe(name + QStringLiteral(" header \"%1\"").arg(title), m);
        qInfo().noquote() << line;
        if (m.ratio < 4.5) failures->append(line);
    }
}

// One found file system: a root with a folder and files, for the results window.
struct ResultsFake : FakeFacade {
    CFilesystemNode root{SEARCHER_FAT, "disk(FAT/FAT32)", "disk", 1};
    std::vector<std::unique_ptr<test::TestFileNode>> files;
    ResultsFake() {
        root.ShowNode(1);
        const auto add = [this](IFileNode* parent, long long id, const std::string& name, bool dir) {
            files.push_back(std::make_unique<test::TestFileNode>(id, parent->GetCurrentNodeID(), name, dir, dir ? 0 : 1000 * id));
            files.back()->ShowNode(1);
            parent->AddChild(files.back().get());
            return files.back().get();
        };
        IFileNode* folder = add(&root, 5, "DCIM", true);
        for (int i = 0; i < 3; ++i) add(&root, 10 + i, "IMG_000" + std::to_string(i) + ".JPG", false);
        for (int i = 0; i < 2; ++i) add(folder, 20 + i, "MOV_000" + std::to_string(i) + ".MP4", false);
    }
    int GetScanTreeNodeData(OpNodeList* roots, bool) override {
        if (!roots->empty()) return 1;
        TreeNodeData d;
        d.isFileSystem = 1, d.isDirectory = 1, d.node = &root;
        OpNodeRef item = OpNodeData::initWithNodeData(d);
        item->setExpandAble(1);
        // The folder as a row of its own, so that the root shows its arrow.
        OpNodeRef folder = OpNodeData::initWithFileNode(files.front().get());
        folder->setParent(item);
        item->addChildObject(OpNodeEntry(folder));
        roots->emplace_back(item);
        return 1;
    }
    int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) override {
        return VXResultTrees::GetFileNodeToArray(out, item);
    }
    void GetSelectedFilesAmout(int* count, std::uint64_t* size) override {
        for (auto& f : files)
            if (!f->IsDirectory() && f->GetCheckedStatus() == CHECK_ALL) ++*count, *size += std::uint64_t(f->GetFileSize());
    }
};

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
        const QImage before = onScreen(w);
        w->setFocus(Qt::TabFocusReason);
        QVERIFY(w->hasFocus());
        const int changed = differingPixels(before, onScreen(w));
        QVERIFY2(changed >= 20, qPrintable(QStringLiteral("no visible focus on %1 (%2 pixels)")
                                               .arg(w->objectName() + QLatin1Char('/') + w->metaObject()->className())
                                               .arg(changed)));
    }
}

// The keyboard's row of a tree or list shows while the view has the focus:
// pixels of that row change by 3:1 at least along its whole width, and
// Down carries the mark to the next row.
void checkRowFocusShows(QAbstractItemView* view, QWidget* elsewhere, const QString& name) {
    view->setCurrentIndex(view->model()->index(0, 0));
    const auto rowArea = [view] {
        const QRect cell = view->visualRect(view->currentIndex());
        return QRect(0, cell.top(), view->viewport()->width(), cell.height());
    };
    elsewhere->setFocus(Qt::TabFocusReason);
    QVERIFY(!view->hasFocus());
    QRect row = rowArea();
    const QImage before = onScreen(view->viewport()).copy(row);
    view->setFocus(Qt::TabFocusReason);
    QVERIFY(view->hasFocus());
    const QImage focused = onScreen(view->viewport());
    if (const QByteArray dir = qgetenv("SALVOR_SHOT_DIR"); !dir.isEmpty())
        focused.save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + name + QStringLiteral(", focused.png"));
    const int changed = differingPixels(before, focused.copy(row));
    qInfo().noquote() << QStringLiteral("%1: %2 pixels of the focused row changed by 3:1").arg(name).arg(changed);
    QVERIFY2(changed >= row.width(), qPrintable(QStringLiteral("%1: no visible focus on the current row (%2 pixels)").arg(name).arg(changed)));
    // The next row, unmarked now, is marked once Down has moved there.
    const QModelIndex first = view->currentIndex();
    const QRect next = row.translated(0, row.height());
    const QImage unmarked = onScreen(view->viewport()).copy(next);
    QVERIFY2(view->indexAt(QPoint(4, next.center().y())).isValid(), qPrintable(name + ": no second row"));
    QTest::keyClick(view, Qt::Key_Down);
    QVERIFY(view->currentIndex() != first);
    row = rowArea();
    QCOMPARE(row.top(), next.top());
    const int moved = differingPixels(unmarked, onScreen(view->viewport()).copy(row));
    QVERIFY2(moved >= row.width(), qPrintable(QStringLiteral("%1: the mark did not follow Down (%2 pixels)").arg(name).arg(moved)));
}

// Where a control shows on the screen: the box round its pixels that stand
// apart from the commonest colour just outside it.
QRect inkBox(const QImage& shot, const QRect& inside) {
    std::map<QRgb, int> around;
    const QRect ring = inside.adjusted(-2, -2, 2, 2);
    for (int y = ring.top(); y <= ring.bottom(); ++y)
        for (int x = ring.left(); x <= ring.right(); ++x)
            if (!inside.contains(x, y) && shot.rect().contains(x, y)) ++around[shot.pixel(x, y) | 0xFF000000u];
    const QRgb background = commonest(around);
    QRect box;
    const QRect r = inside.intersected(shot.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (contrast(shot.pixel(x, y) | 0xFF000000u, background) >= 1.3) box |= QRect(x, y, 1, 1);
    return box;
}

// The room between two boxes: the larger of the horizontal and vertical gaps
// (negative when they overlap).
int gapBetween(const QRect& a, const QRect& b) {
    const int dx = std::max(b.left() - a.right() - 1, a.left() - b.right() - 1);
    const int dy = std::max(b.top() - a.bottom() - 1, a.top() - b.bottom() - 1);
    return std::max(dx, dy);
}

// The window's zoom button pressed, as a user maximises it: the window
// manager gives it the screen.
void zoom(widgets::TCImageWindow* window) {
    QAbstractButton* button = window->standardWindowButton(widgets::TCImageWindow::ZoomButton);
    QVERIFY(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

// No two controls of the window closer than 6 pixels on the screen.
void checkControlsApart(QWidget* window, const QString& name, QStringList* failures) {
    const QImage shot = onScreen(window);
    if (const QByteArray dir = qgetenv("SALVOR_SHOT_DIR"); !dir.isEmpty())
        shot.save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + name + QStringLiteral(".png"));
    struct Control {
        QWidget* w;
        QRect ink;
    };
    std::vector<Control> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        // The search field shows as its pill, its line and buttons being parts of it.
        const auto isField = [](QWidget* x) { return qobject_cast<widgets::NewSearchTextFiled*>(x) != nullptr; };
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLineEdit*>(w) && !isField(w)) continue;
        if (!w->isVisibleTo(window) || w->visibleRegion().isEmpty()) continue;
        bool part = false; // a control inside another is a part of it
        for (QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
            part = part || qobject_cast<QAbstractButton*>(p) || isField(p);
        if (part) continue;
        const QRect ink = inkBox(shot, QRect(w->mapTo(window, QPoint(0, 0)), w->size()));
        if (!ink.isEmpty()) controls.push_back({w, ink});
    }
    QVERIFY2(controls.size() >= 4, qPrintable(name + ": too few controls on screen"));
    const auto label = [](const Control& c) {
        return QStringLiteral("%1 (%2) at %3,%4 %5x%6")
            .arg(c.w->objectName(), QLatin1String(c.w->metaObject()->className()))
            .arg(c.ink.x()).arg(c.ink.y()).arg(c.ink.width()).arg(c.ink.height());
    };
    QString closest;
    int least = 1 << 20;
    for (size_t i = 0; i < controls.size(); ++i)
        for (size_t j = i + 1; j < controls.size(); ++j) {
            const int gap = gapBetween(controls[i].ink, controls[j].ink);
            const QString line = QStringLiteral("%1: %2 and %3 %4 px apart")
                                     .arg(name, label(controls[i]), label(controls[j]))
                                     .arg(gap);
            if (gap < least) least = gap, closest = line;
            if (gap < 6) failures->append(line);
        }
    qInfo().noquote() << QStringLiteral("closest of %1 controls on screen:").arg(controls.size()) << closest;
}

// Every row's check box of a result tree stands clear on the screen: the 6
// columns right of the box hold none of the icon's pixels.
void checkBoxesUncovered(widgets::OutlineView* tree, const QString& name, QStringList* failures) {
    const QImage shot = onScreen(tree->viewport());
    int rows = 0;
    for (QModelIndex i = tree->model()->index(0, 0); i.isValid(); i = tree->indexBelow(i), ++rows) {
        const QRect cell = tree->visualRect(i);
        const QRect box(cell.x() + 5, cell.y() + (cell.height() - 14 + 1) / 2, 14, 14);
        const QRect beside(box.right() + 1, box.top(), 6, box.height());
        const QRect ink = inkBox(shot, beside.adjusted(0, -1, 0, 1));
        if (!ink.isEmpty())
            failures->append(QStringLiteral("%1 row %2 \"%3\": the check box at %4,%5 is touched by pixels at %6,%7 %8x%9")
                                 .arg(name).arg(rows).arg(i.data().toString())
                                 .arg(box.x()).arg(box.y()).arg(ink.x()).arg(ink.y()).arg(ink.width()).arg(ink.height()));
    }
    if (rows < 2) failures->append(name + QStringLiteral(": fewer than two rows to measure"));
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
        expectNone(failures);
    }
    // Texts and controls of a window, as shown now.
    void checkWindow(QWidget* window, const QString& name) {
        QStringList failures;
        lowestTextContrast(window, name, &failures);
        checkControls(window, name, &failures);
        expectNone(failures);
    }
    // Each failure on a line of its own (a test message is cut short).
    static void expectNone(const QStringList& failures) {
        for (const QString& f : failures) qWarning().noquote() << "below the minimum:" << f;
        QVERIFY2(failures.isEmpty(), qPrintable(QStringLiteral("%1 measures below the minimum, listed above").arg(failures.size())));
    }

private slots:
    void initTestCase() {
        // Measured as the X server shows the windows, never an offscreen rendering.
        QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
                 "needs an X server and the xcb platform: run it through tests/ui/windows/xvfb-screen.sh");
        test::setUpWindowTests(config_);
    }
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
        const QImage chosen = onScreen(tile);
        tile->click();
        QVERIFY(!tile->isSelect());
        const QImage unchosen = onScreen(tile);
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
        const QImage top = onScreen(header);
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
        const QImage rows = onScreen(outline->viewport());
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
        // Refused for want of permission: the notice names that cause.
        APFSScanWindowController denied(true);
        denied.showWindow();
        bool named = false;
        for (QLabel* l : denied.window()->findChildren<QLabel*>())
            named = named || l->text() == platform::localizedString("PERMISSION_NOTICE_TEXT");
        QVERIFY(named);
        checkTexts(denied.window(), QStringLiteral("permission notice"));
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

    void recoveryAndTransferDialogs() {
        // Read with the line said while the device does not answer.
        fake_->deviceNotAnswering = true;
        VXShowScanProgressWindowController progress;
        progress.showWindow();
        progress.changeProgressValue(40, QStringLiteral("IMG_0001.JPG"));
        QTRY_VERIFY(progress.deviceWaitLabel->isVisible());
        checkWindow(progress.window(), QStringLiteral("recovery progress"));
        QStringList fills;
        checkProgressFill(progress.progressBar, QStringLiteral("recovery"), &fills);
        progress.stopProgressButtonAction(); // no delegate: the question alone
        checkWindow(progress.window(), QStringLiteral("stop the recovery?"));
        progress.setNoMemeryViewHidden();
        checkWindow(progress.window(), QStringLiteral("not enough free space"));
        progress.close();

        VXScanEndSaveWindowController done;
        done.setSavePathStr(QStringLiteral("/home/user/Recovered"));
        done.showWindow();
        checkWindow(done.window(), QStringLiteral("recovery complete"));
        VXScanNotEndSaveWindowController stopped;
        stopped.showWindow();
        stopped.changeRecoveryFilesPoint(12, QStringLiteral("/home/user/Recovered"), 3);
        checkWindow(stopped.window(), QStringLiteral("recovery stopped"));

        for (bool save : {true, false}) {
            VXProgressWindow transfer;
            transfer.setBSave(save);
            transfer.showWindow();
            QTRY_VERIFY(transfer.deviceWaitLabel->isVisible());
            checkWindow(transfer.window(), save ? QStringLiteral("saving") : QStringLiteral("loading"));
            transfer.progress->setValue(40);
            checkProgressFill(transfer.progress, save ? QStringLiteral("saving") : QStringLiteral("loading"), &fills);
            transfer.close();
        }
        expectNone(fills);
        fake_->deviceNotAnswering = false;

        // The program's alerts, dark as its windows: a refusal during a save
        // with how far it is, and the question before leaving it.
        fake_->saveStatus = 2;
        fake_->progressTotal = 4, fake_->progressCurrent = 1;
        for (bool refusal : {true, false}) {
            QTimer::singleShot(0, [&] {
                QVERIFY(QTest::qWaitFor([] { return !kit::Alert::openAlerts().isEmpty(); }));
                QMessageBox* box = kit::Alert::openAlerts().front();
                QVERIFY(QTest::qWaitForWindowExposed(box));
                QTest::qWait(100);
                QCOMPARE(box->windowTitle(), QStringLiteral("Salvor"));
                checkWindow(box, refusal ? QStringLiteral("save still running") : QStringLiteral("stop the save?"));
                kit::Alert::buttonForAnswer(box, refusal ? kit::kAlertDefaultReturn : kit::kAlertAlternateReturn)->click();
            });
            if (refusal) {
                QVERIFY(VXProgressWindow::refusedWhileSaving());
            } else {
                QVERIFY(VXProgressWindow::askedBeforeLeavingSave(nullptr, this, [] {}));
                QTRY_VERIFY(kit::Alert::openAlerts().isEmpty());
            }
        }
        fake_->saveStatus = 0;
    }

    void resultsWindow() {
        // The page's plain fake makes way for one that serves a found tree.
        delete fake_;
        fake_ = nullptr;
        const auto restore = qScopeGuard([this] { fake_ = new FakeFacade; });
        ResultsFake fake;
        VXDeletailWindowController results;
        results.window()->show();
        QApplication::setActiveWindow(results.window());
        results.getData();
        fake.scanKey = "NormalScranValue";
        fake.postScanUpdate();
        QVERIFY(QTest::qWaitFor([&] { return !results.arrList.empty(); }));
        results.outlineView->expandAll();
        // The deep-scan suggestion covers the list's header: a press there
        // reaches the select-all box under it (ticking every file, so the
        // Recover button shows as when usable) and sends the bubble away.
        QVERIFY(QTest::qWaitFor([&] { return results.attachedWindow && results.attachedWindow->isVisible(); }));
        QWidget* box = results.listViewSelectAllButton;
        const QPoint at = box->mapTo(results.window(), box->rect().center());
        QVERIFY(results.attachedWindow->geometry().contains(results.attachedWindow->parentWidget()->mapFrom(results.window(), at)));
        QWidget* hit = results.window()->childAt(at);
        QCOMPARE(hit, box);
        QTest::mouseClick(hit, Qt::LeftButton, {}, box->rect().center());
        QVERIFY(QTest::qWaitFor([&] { return !results.attachedWindow; }));
        QVERIFY(results.recovertyButton->isUsable());
        QTest::qWait(20);
        QStringList failures;
        for (int mode = 0; mode < 3; ++mode) {
            results.segmentSelect(mode);
            QTest::qWait(50);
            const QString name = QStringList{QStringLiteral("results, list"), QStringLiteral("results, strip"),
                                             QStringLiteral("results, grid")}[mode];
            lowestTextContrast(results.window(), name, &failures);
            checkControls(results.window(), name, &failures);
        }
        results.segmentSelect(0);
        checkArrows(results.outlineView, QStringLiteral("results tree"), &failures);
        checkHeader(results.tableView->horizontalHeader(), results.tableView, QStringLiteral("results list"), &failures);
        checkPlaceholder(results.search->textField(), QStringLiteral("results search"), &failures);
        expectNone(failures);
        // Keyboard focus on the tree's row, the list's row, and every control Tab reaches.
        checkRowFocusShows(results.outlineView, results.tableView, QStringLiteral("results tree"));
        checkRowFocusShows(results.tableView, results.outlineView, QStringLiteral("results list"));
        checkFocusShows(results.window());
    }

    // Controls 6 pixels apart at least, the application menu's button among
    // them as the program places it: on the device page and in the results
    // window, each at its own size and maximised by its zoom button through
    // the window manager, with the search field's clear button showing; the
    // trees' check boxes clear of their icons.
    void controlsApart() {
        QMenu menu;
        menu.addAction(QStringLiteral("Quit"));
        fake_->disks = {{"Alpha", 2000000, {{"A1", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}};
        root_->imageWindow()->setApplicationMenu(&menu);
        QTest::keyClick(root_->window(), Qt::Key_Return);
        QTRY_VERIFY(root_->selectDiskVC);
        QTRY_VERIFY(root_->importButton->isVisible());
        QStringList failures;
        checkControlsApart(root_->window(), QStringLiteral("device page"), &failures);
        // A window of one size keeps it when its zoom button is pressed.
        const QSize page = root_->window()->size();
        zoom(root_->imageWindow());
        QTest::qWait(500);
        QCOMPARE(root_->window()->size(), page);
        checkControlsApart(root_->window(), QStringLiteral("device page, zoom pressed"), &failures);
        root_->window()->hide();

        delete fake_;
        fake_ = nullptr;
        const auto restore = qScopeGuard([this] { fake_ = new FakeFacade; });
        ResultsFake fake;
        VXDeletailWindowController results;
        results.imageWindow()->setApplicationMenu(&menu);
        results.window()->show();
        results.getData();
        fake.scanKey = "NormalScranValue";
        fake.postScanUpdate();
        QVERIFY(QTest::qWaitFor([&] { return !results.arrList.empty(); }));
        results.outlineView->expandAll();
        // The deep-scan suggestion, a passing bubble over the tabs, sent away first.
        QVERIFY(QTest::qWaitFor([&] { return results.attachedWindow && results.attachedWindow->isVisible(); }));
        QWidget* box = results.listViewSelectAllButton;
        QTest::mouseClick(results.window()->childAt(box->mapTo(results.window(), box->rect().center())), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !results.attachedWindow; }));
        const QSize largest = results.window()->screen()->availableGeometry().size();
        for (const QSize& size : {QSize(1000, 700), largest}) {
            if (size == largest) {
                zoom(results.imageWindow());
                QTRY_VERIFY(results.window()->isMaximized());
            } else {
                results.window()->setGeometry(QRect(QPoint(0, 0), size));
            }
            QTRY_COMPARE(results.window()->size(), size);
            QTest::qWait(200); // the layout follows the new size
            // Typed once the window has its size: the field's clear button shows.
            results.search->textField()->clear();
            QTest::keyClicks(results.search->textField(), QStringLiteral("IMG"));
            QTest::qWait(50);
            const QString name = QStringLiteral("results window %1x%2").arg(size.width()).arg(size.height());
            checkControlsApart(results.window(), name, &failures);
            checkBoxesUncovered(results.outlineView, name + QStringLiteral(" tree"), &failures);
        }
        expectNone(failures);
    }

    void folderChooser() {
        QFileDialog chooser;
        chooser.setOption(QFileDialog::DontUseNativeDialog);
        chooser.setFileMode(QFileDialog::Directory);
        chooser.setDirectory(QDir::tempPath());
        chooser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chooser));
        checkTexts(&chooser, QStringLiteral("folder chooser"));
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
