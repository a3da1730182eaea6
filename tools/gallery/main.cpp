// gallery OUT.png [--screen SHOT.png]
// Lays out every widget of ui/widgets in each of its states in one window and
// writes the window's picture to OUT.png. With --screen the window is shown on
// the X server (run under xvfb-run) and the whole screen is captured with
// ImageMagick's "import -window root" into SHOT.png. Either picture is checked
// at known pixels (table stripes, the chosen row, the progress bar); a
// mismatch prints what differs and exits 1.
#include "platform/MainThread.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/Panels.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/SearchFields.h"
#include "ui/widgets/TableViews.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstring>

using namespace salvor;
using namespace salvor::widgets;

namespace {

struct Rows : TableViewDataSource, TableViewDelegate {
    int numberOfRowsInTableView(CustomTableView*) override { return 40; }
    QVariant objectValueForTableColumn(CustomTableView*, TableColumn* c, int row) override {
        if (c->identifier == "Name") return QStringLiteral("IMG_%1.JPG").arg(row, 4, 10, QChar('0'));
        if (c->identifier == "Size") return QStringLiteral("%1 KB").arg(row * 37 + 12);
        return {};
    }
    void willDisplayCell(CustomTableView*, Cell* c, TableColumn* column, int row) override {
        if (auto* b = dynamic_cast<ButtonCell*>(c))
            b->image = kit::namedPixmap(row % 3 ? QStringLiteral("checkbox_no") : QStringLiteral("checkbox_yes"));
        if (auto* t = dynamic_cast<ImageAndTextCell*>(c); t && column->identifier == "Name")
            t->image = row % 4 == 1 ? kit::namedPixmap(QStringLiteral("deletered")) : QPixmap();
    }
};

struct Tree : OutlineViewDataSource, OutlineViewDelegate {
    // Items are the addresses of these numbers: folders 0..5, files below.
    int folders[6] = {0, 1, 2, 3, 4, 5};
    int files[6][3] = {};
    int numberOfChildrenOfItem(OutlineView*, OutlineItem i) override { return i ? (isFolder(i) ? 3 : 0) : 6; }
    OutlineItem child(OutlineView*, int n, OutlineItem i) override {
        return i ? static_cast<void*>(&files[*static_cast<int*>(i)][n]) : &folders[n];
    }
    bool isItemExpandable(OutlineView*, OutlineItem i) override { return !i || isFolder(i); }
    QVariant objectValueForTableColumn(OutlineView*, TableColumn*, OutlineItem i) override {
        return isFolder(i) ? QStringLiteral("Folder %1").arg(*static_cast<int*>(i)) : QStringLiteral("file.doc");
    }
    void willDisplayCell(OutlineView*, Cell* c, TableColumn*, OutlineItem i) override {
        if (auto* b = dynamic_cast<NewButton*>(c)) {
            static const char* const states[3] = {"checkbox_no", "checkbox_election", "checkbox_yes"};
            const int n = isFolder(i) ? *static_cast<int*>(i) % 3 : 2;
            b->image = kit::namedPixmap(QString::fromLatin1(states[n]));
            b->icon = kit::namedPixmap(isFolder(i) ? QStringLiteral("3IconImage") : QStringLiteral("6IconImage"));
        }
    }
    bool isFolder(OutlineItem i) const { return i >= &folders[0] && i <= &folders[5]; }
};

QLabel* caption(QWidget* parent, const QString& text, int x, int y) {
    auto* l = new QLabel(text, parent);
    l->setFont(kit::systemFont(11));
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(200, 200, 200));
    l->setPalette(pal);
    l->move(x, y);
    l->adjustSize();
    return l;
}

void press(QWidget* w) {
    QMouseEvent e(QEvent::MouseButtonPress, QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                  Qt::LeftButton, {});
    QApplication::sendEvent(w, &e);
}

// Four buttons of one kind in the states normal, hover, pressed, disabled
// and a fifth not usable (from a description).
template <class B>
void buttonRow(QWidget* parent, const QString& stem, int y, QSize size, const QString& title) {
    static const char* const names[5] = {"normal", "hover", "pressed", "disabled", "not usable"};
    for (int i = 0; i < 5; ++i) {
        B* b = i == 4 ? B::fromDescription(parent) : new B(parent);
        b->setGeometry(10 + i * (size.width() + 20), y + 16, size.width(), size.height());
        b->setImageFromFileNormalName(stem + "_normal", stem + "_press", stem + "_hover", stem + "_disable");
        if constexpr (std::is_same_v<B, TCImageButton>)
            b->setTextWithName(title, QRect(QPoint(), size));
        else
            b->setTextWithName(title);
        if (i == 1) b->setIsFocus(true);
        if (i == 2) press(b);
        if (i == 3) b->setEnabled(false);
        caption(parent, QString::fromLatin1(names[i]), 10 + i * (size.width() + 20), y);
    }
}

struct Probe {
    QWidget* widget;
    QPoint at;
    QColor color;
    const char* what;
};

QString check(const QImage& image, const QPoint& origin, const std::vector<Probe>& probes, QWidget* window) {
    QString out;
    for (const Probe& p : probes) {
        const QPoint at = origin + p.widget->mapTo(window, p.at);
        const QColor c = image.pixelColor(at);
        if (c.rgb() != p.color.rgb())
            out += QStringLiteral("%1 at (%2, %3): %4, expected %5\n")
                       .arg(QString::fromLatin1(p.what))
                       .arg(at.x())
                       .arg(at.y())
                       .arg(c.name(), p.color.name());
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString out, screen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screen") == 0 && i + 1 < argc)
            screen = QString::fromLocal8Bit(argv[++i]);
        else if (out.isEmpty())
            out = QString::fromLocal8Bit(argv[i]);
    }
    if (out.isEmpty()) {
        std::fprintf(stderr, "usage: gallery OUT.png [--screen SHOT.png]\n");
        return 2;
    }
    kit::installApplicationFonts();
    kit::setAnimationDurationScale(0);

    QWidget window;
    window.setWindowFlag(Qt::FramelessWindowHint);
    window.setAutoFillBackground(true);
    QPalette pal = window.palette();
    pal.setColor(QPalette::Window, QColor(24, 26, 29));
    window.setPalette(pal);
    window.resize(1180, 760);

    buttonRow<TCImageButton>(&window, "back", 10, QSize(90, 32), "Back");
    buttonRow<TypeButton>(&window, "icon_document", 70, QSize(90, 92), "Documents");
    auto* hand = new VXHandButton("Learn more", &window);
    hand->setGeometry(560, 26, 110, 28);
    caption(&window, "VXHandButton", 560, 10);
    auto* deselected = new TypeButton(&window);
    deselected->setGeometry(560, 86, 90, 92);
    deselected->setImageFromFileNormalName("icon_audio_normal", "icon_audio_press", "icon_audio_hover",
                                           "icon_audio_disable");
    deselected->setTextWithName("Music");
    deselected->changeSelect(false);
    caption(&window, "not selected", 560, 70);

    // Progress views at 0, 50 and 100 percent, one 348 wide.
    caption(&window, "VXProgressView 0 / 50 / 100 / 348 wide at 75", 10, 180);
    VXProgressView* full = nullptr;
    const float values[4] = {0, 50, 100, 75};
    for (int i = 0; i < 4; ++i) {
        auto* v = new VXProgressView(QSize(i == 3 ? 348 : 368, 6), &window);
        v->move(10 + (i % 2) * 400, 200 + (i / 2) * 16);
        v->changeProgressValue(values[i]);
        if (i == 2) full = v;
    }

    caption(&window, "NewSearchTextFiled empty / with text, THSearchField", 10, 236);
    auto* empty = new NewSearchTextFiled(&window);
    empty->move(10, 252);
    auto* typed = new NewSearchTextFiled(&window);
    typed->move(220, 252);
    typed->textField()->setText("holiday");
    typed->clearButton()->show();
    auto* th = new THSearchField(&window);
    th->setGeometry(430, 256, 200, 22);
    th->setPlaceholderText("Search");

    caption(&window, "CustomTableView (chosen row 1)", 10, 290);
    Rows rows;
    auto* table = new CustomTableView(&window);
    table->setGeometry(10, 306, 420, 25 + 6 * kStripeHeight);
    table->addTableColumn("CheckBox", "", 30, std::make_unique<ButtonCell>());
    table->addTableColumn("Name", "Name", 200, nullptr);
    table->addTableColumn("Size", "Size", 90, nullptr);
    table->setDataSource(&rows);
    table->setDelegate(&rows);
    table->reloadData();
    table->setRowNum(1);

    caption(&window, "empty list", 440, 290);
    auto* none = new CustomTableView(&window);
    none->setGeometry(440, 306, 300, 25 + 3 * kStripeHeight);
    none->addTableColumn("Name", "Name", 200, nullptr);
    none->reloadData();
    none->changeNoValue(false);

    caption(&window, "CustemOutlineView (result tree)", 760, 290);
    Tree tree;
    auto* outline = new CustemOutlineView(&window);
    outline->setGeometry(760, 306, 400, 25 + 6 * kStripeHeight);
    outline->addTableColumn("Name", "Name", 380, std::make_unique<NewButton>());
    outline->setDataSource(&tree);
    outline->setDelegate(&tree);
    outline->reloadData();
    outline->expandItem(&tree.folders[1]);
    outline->setIsSelectRow(2);

    caption(&window, "VXCustomOutlineView (device tree) in a CustemSplitView", 10, 560);
    auto* split = new CustemSplitView(Qt::Horizontal, &window);
    split->setGeometry(10, 576, 740, 170);
    auto* devices = new VXCustomOutlineView(split);
    devices->addTableColumn("Name", "Device", 300, nullptr);
    devices->column(0)->headerCell = std::make_unique<CustomTableHeaderView>();
    devices->column(0)->headerCell->title = "Device";
    devices->setDataSource(&tree);
    devices->reloadData();
    devices->setIsSelectRow(0);
    auto* top = new SelectTypeTopView(split);
    split->addWidget(devices);
    split->addWidget(top);
    split->setSizes({500, 240});

    const std::vector<Probe> probes = {
        {table->viewport(), QPoint(380, 2 * kStripeHeight + 3), stripeColor(0), "table stripe A"},
        {table->viewport(), QPoint(380, 3 * kStripeHeight + 3), stripeColor(1), "table stripe B"},
        {table->viewport(), QPoint(380, kStripeHeight + 3), chosenRowColor(), "table chosen row"},
        {outline->viewport(), QPoint(360, 2 * kStripeHeight + 3), chosenRowColor(), "outline chosen row"},
        {outline->viewport(), QPoint(360, 3 * kStripeHeight + 3), outlineRowColor(), "outline row"},
        {full->bar(), QPoint(full->bar()->width() / 2, 3), QColor(249, 171, 0), "progress bar"},
        {top, QPoint(20, 20), typePageHeaderColor(), "file-type header"},
    };

    using namespace std::chrono_literals;
    int failures = 0;
    if (!screen.isEmpty()) {
        window.move(10, 10);
        window.show();
        if (!platform::runUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 5000ms)) {
            std::fprintf(stderr, "the gallery was never exposed\n");
            return 1;
        }
        platform::runUntil([] { return false; }, 500ms);
        QProcess import;
        import.start("import", {"-window", "root", screen});
        if (!import.waitForFinished(20000) || import.exitCode() != 0) {
            std::fprintf(stderr, "import -window root failed (package imagemagick)\n");
            return 1;
        }
        const QImage shot(screen);
        if (const QString m = check(shot, window.mapToGlobal(QPoint(0, 0)), probes, &window); !m.isEmpty()) {
            std::fprintf(stderr, "screen:\n%s", qPrintable(m));
            ++failures;
        }
    }
    const QImage grabbed = window.grab().toImage();
    if (!grabbed.save(out)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        return 1;
    }
    if (const QString m = check(grabbed, QPoint(0, 0), probes, &window); !m.isEmpty()) {
        std::fprintf(stderr, "grab:\n%s", qPrintable(m));
        ++failures;
    }
    std::printf("%s%s%s\n", qPrintable(out), screen.isEmpty() ? "" : " ", qPrintable(screen));
    return failures ? 1 : 0;
}
