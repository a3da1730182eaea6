#include "ui/kit/NamedImages.h"

#include "platform/Paths.h"

#include <QFileInfo>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <mutex>

namespace salvor::kit {

namespace {

// ---- the table of names -------------------------------------------------------

enum class Art {
    PillBack, PillContinue, PillStart, PillPlain,
    RoundHome, RoundDeepScan,
    Export, Import, Pause, Play, Stop, Delete,
    TypeGraphics, TypeAudio, TypeVideo, TypeArchive, TypeDocument, TypeOther,
    WinClose, WinMinimize, WinZoom,
    CheckYes, CheckNo, CheckMixed,
    Warning, PopHeader, NodeIcon, Spinner, LoadingPlaceholder, Logo, Select, DeletedMark,
    DiskImage, Usb, CellNormal, CellPress, TabSelected, TextBackground, Panel150, Dust,
    ListFocus, ListNoHover, PreviewFocus, PreviewNoHover, GridFocus, GridNoHover, ScheduleBackground, ProgressTrack,
    Search, SortAscending, SortDescending,
};

enum class St { None, Normal, Press, Hover, Disable };

struct Spec {
    const char* name;
    int width;
    int height;
    Art art;
    St state;
    int variant;
};

#define SALVOR_STATES(stem, w, h, art)                                                                     \
    {stem "_normal", w, h, Art::art, St::Normal, 0}, {stem "_press", w, h, Art::art, St::Press, 0},        \
        {stem "_hover", w, h, Art::art, St::Hover, 0}, {stem "_disable", w, h, Art::art, St::Disable, 0}

// One row per name. Sizes are the frames the windows give these images.
const Spec kSpecs[] = {
    // start window pages
    SALVOR_STATES("back", 90, 32, PillBack),
    SALVOR_STATES("continue", 90, 32, PillContinue),
    SALVOR_STATES("start", 150, 40, PillStart),
    SALVOR_STATES("import", 16, 16, Import),
    SALVOR_STATES("icon_graphics", 50, 50, TypeGraphics),
    SALVOR_STATES("icon_audio", 50, 50, TypeAudio),
    SALVOR_STATES("icon_video", 50, 50, TypeVideo),
    SALVOR_STATES("icon_archive", 50, 50, TypeArchive),
    SALVOR_STATES("icon_document", 50, 50, TypeDocument),
    SALVOR_STATES("icon_other", 50, 50, TypeOther),
    // results window title bar and progress box
    SALVOR_STATES("home", 32, 32, RoundHome),
    SALVOR_STATES("deepscan", 32, 32, RoundDeepScan),
    SALVOR_STATES("export", 16, 16, Export),
    SALVOR_STATES("pause", 16, 16, Pause),
    SALVOR_STATES("play", 16, 16, Play),
    SALVOR_STATES("stop", 16, 16, Stop),
    SALVOR_STATES("botton_recover", 100, 30, PillPlain),
    {"del_normal", 16, 16, Art::Delete, St::Normal, 0},
    {"del_press", 16, 16, Art::Delete, St::Press, 0},
    // window buttons of the drawn title bar
    SALVOR_STATES("window_close", 14, 14, WinClose),
    SALVOR_STATES("window_minimize", 14, 14, WinMinimize),
    SALVOR_STATES("window_zoom", 14, 14, WinZoom),
    // tick boxes, alerts, dialog header
    {"checkbox_yes", 14, 14, Art::CheckYes, St::None, 0},
    {"checkbox_no", 14, 14, Art::CheckNo, St::None, 0},
    {"checkbox_election", 14, 14, Art::CheckMixed, St::None, 0},
    {"warning_b", 64, 64, Art::Warning, St::None, 0},
    {"pop_header_bg", 200, 22, Art::PopHeader, St::None, 0},
    // tree icons by node type: root, file or folder, six categories, year,
    // month, anything else
    {"0IconImage", 32, 32, Art::NodeIcon, St::None, 0},
    {"1IconImage", 32, 32, Art::NodeIcon, St::None, 1},
    {"2IconImage", 32, 32, Art::NodeIcon, St::None, 2},
    {"3IconImage", 32, 32, Art::NodeIcon, St::None, 3},
    {"4IconImage", 32, 32, Art::NodeIcon, St::None, 4},
    {"5IconImage", 32, 32, Art::NodeIcon, St::None, 5},
    {"6IconImage", 32, 32, Art::NodeIcon, St::None, 6},
    {"7IconImage", 32, 32, Art::NodeIcon, St::None, 7},
    {"8IconImage", 32, 32, Art::NodeIcon, St::None, 8},
    {"9IconImage", 32, 32, Art::NodeIcon, St::None, 9},
    {"10IconImage", 32, 32, Art::NodeIcon, St::None, 10},
    // device list
    {"mirror_image", 32, 32, Art::DiskImage, St::None, 0},
    {"usb.png", 32, 32, Art::Usb, St::None, 0},
    {"select", 16, 16, Art::Select, St::None, 0},
    // file list, grid and preview
    {"deletered", 16, 16, Art::DeletedMark, St::None, 0},
    {"loading.gif", 16, 16, Art::Spinner, St::None, 0},
    {"loading.png", 100, 75, Art::LoadingPlaceholder, St::None, 0},
    {"logo", 64, 64, Art::Logo, St::None, 0},
    {"view_bg_normal", 114, 94, Art::CellNormal, St::None, 0},
    {"view_bg_press", 114, 94, Art::CellPress, St::None, 0},
    {"BackgroundDust", 64, 64, Art::Dust, St::None, 0},
    {"bg_150", 150, 150, Art::Panel150, St::None, 0},
    {"text_bg", 400, 50, Art::TextBackground, St::None, 0},
    {"bg_tab", 100, 30, Art::TabSelected, St::None, 0},
    {"list_focus", 30, 22, Art::ListFocus, St::None, 0},
    {"list_no_hover", 30, 22, Art::ListNoHover, St::None, 0},
    {"preview_focus", 30, 22, Art::PreviewFocus, St::None, 0},
    {"preview_no_hover", 30, 22, Art::PreviewNoHover, St::None, 0},
    {"grid_focus", 30, 22, Art::GridFocus, St::None, 0},
    {"grid_no_hover", 30, 22, Art::GridNoHover, St::None, 0},
    {"schedule_bg", 400, 40, Art::ScheduleBackground, St::None, 0},
    {"progress_bar_bg", 368, 6, Art::ProgressTrack, St::None, 0},
    {"search_normal", 16, 16, Art::Search, St::None, 0},
    {"NSAscendingSortIndicator", 9, 8, Art::SortAscending, St::None, 0},
    {"NSDescendingSortIndicator", 9, 8, Art::SortDescending, St::None, 0},
};

#undef SALVOR_STATES

constexpr int kSpinnerFrames = 8;

const Spec* findSpec(const QString& name) {
    static const QHash<QString, const Spec*> index = [] {
        QHash<QString, const Spec*> h;
        for (const Spec& s : kSpecs) h.insert(QString::fromLatin1(s.name), &s);
        return h;
    }();
    return index.value(name, nullptr);
}

// ---- palette ----------------------------------------------------------------

const QColor kAccent(52, 120, 220);
// Dark enough that a white label reads at 4.5:1 at the light top of the pill.
const QColor kPillAccent(30, 96, 196);
const QColor kInk(175, 186, 219);
const QColor kInkBright(232, 236, 246);
const QColor kPanel(46, 50, 58);
const QColor kPanelLine(70, 76, 88);
const QColor kDisabled(112, 118, 130);
const QColor kWhite(255, 255, 255);

QColor tint(const QColor& base, St st) {
    switch (st) {
    case St::Hover: return base.lighter(118);
    case St::Press: return base.darker(130);
    case St::Disable: {
        QColor c = kDisabled;
        c.setAlpha(150);
        return c;
    }
    default: return base;
    }
}

// Glyph colour on a plain (backgroundless) small control.
QColor glyphTint(St st) {
    switch (st) {
    case St::Hover: return kInkBright;
    case St::Press: return kAccent;
    case St::Disable: {
        QColor c = kDisabled;
        c.setAlpha(130);
        return c;
    }
    default: return kInk;
    }
}

// ---- drawing helpers ----------------------------------------------------------
// Glyphs are drawn on a 24 × 24 design grid mapped onto a target square.

class Grid {
public:
    Grid(QPainter& p, const QRectF& box) : p_(p) {
        const double side = std::min(box.width(), box.height());
        p_.save();
        p_.translate(box.center().x() - side / 2, box.center().y() - side / 2);
        p_.scale(side / 24.0, side / 24.0);
    }
    ~Grid() { p_.restore(); }

private:
    QPainter& p_;
};

QPen strokePen(const QColor& c, double width) {
    QPen pen(c, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void strokePath(QPainter& p, const QPainterPath& path, const QColor& c, double width) {
    p.setBrush(Qt::NoBrush);
    p.setPen(strokePen(c, width));
    p.drawPath(path);
}

void fillPath(QPainter& p, const QPainterPath& path, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(path);
}

QPainterPath poly(std::initializer_list<QPointF> pts, bool close = false) {
    QPainterPath path;
    bool first = true;
    for (const QPointF& pt : pts) {
        if (first)
            path.moveTo(pt);
        else
            path.lineTo(pt);
        first = false;
    }
    if (close) path.closeSubpath();
    return path;
}

QPainterPath roundRect(const QRectF& r, double radius) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

// Glyphs on the 24 grid, drawn in colour c.
void glyphChevron(QPainter& p, bool left, const QColor& c) {
    strokePath(p, left ? poly({{14.5, 5}, {7.5, 12}, {14.5, 19}}) : poly({{9.5, 5}, {16.5, 12}, {9.5, 19}}), c, 3);
}

void glyphMagnifier(QPainter& p, const QColor& c, bool plus = false) {
    QPainterPath lens;
    lens.addEllipse(QPointF(10, 10), 6.5, 6.5);
    strokePath(p, lens, c, 2.5);
    strokePath(p, poly({{15, 15}, {20.5, 20.5}}), c, 3);
    if (plus) {
        strokePath(p, poly({{7, 10}, {13, 10}}), c, 2);
        strokePath(p, poly({{10, 7}, {10, 13}}), c, 2);
    }
}

void glyphHouse(QPainter& p, const QColor& c) {
    strokePath(p, poly({{3.5, 12}, {12, 4}, {20.5, 12}}), c, 2.5);
    QPainterPath body = poly({{6.5, 10.5}, {6.5, 20}, {10, 20}, {10, 15}, {14, 15}, {14, 20}, {17.5, 20}, {17.5, 10.5}});
    strokePath(p, body, c, 2.2);
}

void glyphTrayArrow(QPainter& p, const QColor& c, bool up) {
    strokePath(p, poly({{4, 14}, {4, 20}, {20, 20}, {20, 14}}), c, 2.5);
    strokePath(p, poly({{12, 3.5}, {12, 15}}), c, 2.5);
    if (up)
        strokePath(p, poly({{7.5, 8}, {12, 3.5}, {16.5, 8}}), c, 2.5);
    else
        strokePath(p, poly({{7.5, 10.5}, {12, 15}, {16.5, 10.5}}), c, 2.5);
}

void glyphPicture(QPainter& p, const QColor& c) {
    strokePath(p, roundRect(QRectF(3, 5, 18, 14), 2), c, 2);
    fillPath(p, poly({{5, 17}, {10, 10.5}, {13.5, 14.5}, {15.5, 12.5}, {19, 17}}, true), c);
    QPainterPath sun;
    sun.addEllipse(QPointF(16, 9), 1.8, 1.8);
    fillPath(p, sun, c);
}

void glyphMusic(QPainter& p, const QColor& c) {
    fillPath(p, poly({{8.5, 6}, {19, 3.5}, {19, 6.5}, {8.5, 9}}, true), c);
    strokePath(p, poly({{9.5, 7}, {9.5, 17}}), c, 2);
    strokePath(p, poly({{18, 5}, {18, 15}}), c, 2);
    QPainterPath heads;
    heads.addEllipse(QPointF(7.2, 17.5), 3, 2.4);
    heads.addEllipse(QPointF(15.7, 15.5), 3, 2.4);
    fillPath(p, heads, c);
}

void glyphFilm(QPainter& p, const QColor& c) {
    strokePath(p, roundRect(QRectF(3, 5, 18, 14), 2), c, 2);
    for (double x : {5.5, 9.5, 13.5, 17.5}) {
        fillPath(p, roundRect(QRectF(x - 0.5, 6.5, 2, 1.6), 0.4), c);
        fillPath(p, roundRect(QRectF(x - 0.5, 15.9, 2, 1.6), 0.4), c);
    }
    fillPath(p, poly({{10, 9.5}, {15, 12}, {10, 14.5}}, true), c);
}

void glyphArchive(QPainter& p, const QColor& c) {
    strokePath(p, roundRect(QRectF(4, 7, 16, 13), 1.5), c, 2);
    fillPath(p, roundRect(QRectF(3, 4, 18, 4), 1), c);
    for (double y : {9.5, 12.5, 15.5}) fillPath(p, QPainterPath(roundRect(QRectF(10.5, y, 3, 1.8), 0.5)), c);
}

void glyphDocument(QPainter& p, const QColor& c) {
    strokePath(p, poly({{6, 3}, {14, 3}, {19, 8}, {19, 21}, {6, 21}}, true), c, 2);
    strokePath(p, poly({{14, 3}, {14, 8}, {19, 8}}), c, 1.6);
    for (double y : {11.5, 14.5, 17.5}) strokePath(p, poly({{9, y}, {16, y}}), c, 1.6);
}

void glyphDots(QPainter& p, const QColor& c) {
    QPainterPath dots;
    for (double x : {6.0, 12.0, 18.0}) dots.addEllipse(QPointF(x, 12), 2.2, 2.2);
    fillPath(p, dots, c);
}

void glyphFolder(QPainter& p, const QColor& body, const QColor& tab) {
    fillPath(p, poly({{3, 6.5}, {9.5, 6.5}, {11.5, 8.5}, {21, 8.5}, {21, 11}, {3, 11}}, true), tab);
    fillPath(p, roundRect(QRectF(3, 9.5, 18, 11), 1.5), body);
}

void glyphDrive(QPainter& p, const QColor& c, const QColor& light) {
    fillPath(p, roundRect(QRectF(3, 7, 18, 10), 2.5), c);
    strokePath(p, poly({{5.5, 13.5}, {13, 13.5}}), light, 1.2);
    QPainterPath led;
    led.addEllipse(QPointF(17.5, 12), 1.3, 1.3);
    fillPath(p, led, QColor(120, 220, 140));
}

void glyphCalendar(QPainter& p, const QColor& c, bool year) {
    fillPath(p, roundRect(QRectF(4, 5, 16, 16), 2), c);
    fillPath(p, roundRect(QRectF(4, 5, 16, 4.5), 2), c.darker(140));
    strokePath(p, poly({{8, 3}, {8, 7}}), c.darker(160), 1.6);
    strokePath(p, poly({{16, 3}, {16, 7}}), c.darker(160), 1.6);
    const QColor grid = kWhite;
    if (year) {
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 4; ++col)
                fillPath(p, roundRect(QRectF(6 + col * 3.2, 11 + r * 3.2, 2.2, 2.2), 0.4), grid);
    } else {
        fillPath(p, roundRect(QRectF(9, 12, 6, 6), 1), grid);
    }
}

void glyphBlankFile(QPainter& p, const QColor& c) {
    fillPath(p, poly({{6, 3}, {14, 3}, {19, 8}, {19, 21}, {6, 21}}, true), c);
    fillPath(p, poly({{14, 3}, {19, 8}, {14, 8}}, true), c.darker(130));
}

void glyphCheck(QPainter& p, const QColor& c, double width) { strokePath(p, poly({{5, 12.5}, {10, 17.5}, {19, 7}}), c, width); }

void glyphCross(QPainter& p, const QColor& c, double width) {
    strokePath(p, poly({{7.5, 7.5}, {16.5, 16.5}}), c, width);
    strokePath(p, poly({{16.5, 7.5}, {7.5, 16.5}}), c, width);
}

// ---- one drawing per kind ------------------------------------------------------

void drawPill(QPainter& p, const QRectF& r, St st, Art art) {
    const QRectF body = r.adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = body.height() / 2;
    // Hover keeps the fill (a lighter one would pale the label) and adds the ring below.
    const QColor base = st == St::Hover ? kPillAccent : tint(kPillAccent, st);
    QLinearGradient g(body.topLeft(), body.bottomLeft());
    g.setColorAt(0, base.lighter(108));
    g.setColorAt(1, base.darker(108));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(body, radius, radius);
    if (st == St::Hover) {
        p.setPen(QPen(QColor(255, 255, 255, 200), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(body.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    }
    const QColor ink = st == St::Disable ? QColor(220, 224, 232, 150) : kWhite;
    const double side = body.height() * 0.62;
    if (art == Art::PillBack) {
        Grid g2(p, QRectF(body.left() + radius * 0.6, body.center().y() - side / 2, side, side));
        glyphChevron(p, true, ink);
    } else if (art == Art::PillContinue) {
        Grid g2(p, QRectF(body.right() - radius * 0.6 - side, body.center().y() - side / 2, side, side));
        glyphChevron(p, false, ink);
    } else if (art == Art::PillStart) {
        Grid g2(p, QRectF(body.center().x() - side / 2, body.center().y() - side / 2, side, side));
        glyphMagnifier(p, ink);
    }
}

void drawRoundButton(QPainter& p, const QRectF& r, St st, Art art) {
    const QRectF body = r.adjusted(1, 1, -1, -1);
    const QColor ring = st == St::Disable ? QColor(kDisabled.red(), kDisabled.green(), kDisabled.blue(), 110)
                        : st == St::Press ? kAccent
                                          : QColor(kInk.red(), kInk.green(), kInk.blue(), st == St::Hover ? 200 : 110);
    p.setPen(Qt::NoPen);
    p.setBrush(st == St::Press ? kAccent.darker(130) : st == St::Hover ? QColor(255, 255, 255, 28) : QColor(0, 0, 0, 0));
    p.drawEllipse(body);
    p.setPen(QPen(ring, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(body.adjusted(0.75, 0.75, -0.75, -0.75));
    const QColor ink = st == St::Press ? kWhite : glyphTint(st);
    Grid g(p, body.adjusted(body.width() * 0.22, body.height() * 0.22, -body.width() * 0.22, -body.height() * 0.22));
    if (art == Art::RoundHome)
        glyphHouse(p, ink);
    else
        glyphMagnifier(p, ink, true);
}

void drawSmallGlyph(QPainter& p, const QRectF& r, St st, Art art) {
    const QColor c = art == Art::Delete ? (st == St::Press ? QColor(200, 60, 55) : QColor(228, 88, 80)) : glyphTint(st);
    Grid g(p, r);
    switch (art) {
    case Art::Export: glyphTrayArrow(p, c, true); break;
    case Art::Import: glyphTrayArrow(p, c, false); break;
    case Art::Pause:
        fillPath(p, roundRect(QRectF(5, 4, 5, 16), 1.5), c);
        fillPath(p, roundRect(QRectF(14, 4, 5, 16), 1.5), c);
        break;
    case Art::Play: fillPath(p, poly({{6.5, 3.5}, {20, 12}, {6.5, 20.5}}, true), c); break;
    case Art::Stop: fillPath(p, roundRect(QRectF(4.5, 4.5, 15, 15), 2.5), c); break;
    case Art::Delete: {
        QPainterPath disc;
        disc.addEllipse(QPointF(12, 12), 10.5, 10.5);
        fillPath(p, disc, c);
        glyphCross(p, kWhite, 2.8);
        break;
    }
    default: break;
    }
}

QColor categoryColour(Art art) {
    switch (art) {
    case Art::TypeGraphics: return QColor(46, 170, 130);
    case Art::TypeAudio: return QColor(150, 100, 220);
    case Art::TypeVideo: return QColor(226, 96, 72);
    case Art::TypeArchive: return QColor(222, 160, 48);
    case Art::TypeDocument: return QColor(64, 140, 226);
    default: return QColor(118, 132, 160);
    }
}

void drawCategoryGlyph(QPainter& p, Art art, const QColor& c) {
    switch (art) {
    case Art::TypeGraphics: glyphPicture(p, c); break;
    case Art::TypeAudio: glyphMusic(p, c); break;
    case Art::TypeVideo: glyphFilm(p, c); break;
    case Art::TypeArchive: glyphArchive(p, c); break;
    case Art::TypeDocument: glyphDocument(p, c); break;
    default: glyphDots(p, c); break;
    }
}

void drawTypeTile(QPainter& p, const QRectF& r, St st, Art art) {
    const QRectF body = r.adjusted(1, 1, -1, -1);
    const QColor base = tint(categoryColour(art), st);
    QLinearGradient g(body.topLeft(), body.bottomLeft());
    g.setColorAt(0, base.lighter(112));
    g.setColorAt(1, base.darker(110));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(body, 11, 11);
    if (st == St::Hover || st == St::Press) {
        p.setPen(QPen(st == St::Hover ? QColor(255, 255, 255, 150) : QColor(0, 0, 0, 80), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(body.adjusted(0.75, 0.75, -0.75, -0.75), 10.5, 10.5);
    }
    const QColor ink = st == St::Disable ? QColor(230, 232, 238, 170) : kWhite;
    Grid grid(p, body.adjusted(10, 10, -10, -10));
    drawCategoryGlyph(p, art, ink);
}

void drawWindowButton(QPainter& p, const QRectF& r, St st, Art art) {
    QColor base = art == Art::WinClose ? QColor(236, 95, 86) : art == Art::WinMinimize ? QColor(242, 188, 72) : QColor(96, 196, 86);
    if (st == St::Disable) base = QColor(88, 92, 100);
    if (st == St::Press) base = base.darker(125);
    // A dark rim: the buttons stand out on a light title bar as on a dark one.
    p.setPen(QPen(base.darker(250), 1.2));
    p.setBrush(base);
    p.drawEllipse(r.adjusted(1, 1, -1, -1));
    if (st != St::Hover && st != St::Press) return;
    const QColor ink(60, 30, 28, 200);
    Grid g(p, r);
    if (art == Art::WinClose) {
        strokePath(p, poly({{8.5, 8.5}, {15.5, 15.5}}), ink, 2.2);
        strokePath(p, poly({{15.5, 8.5}, {8.5, 15.5}}), ink, 2.2);
    } else {
        strokePath(p, poly({{7.5, 12}, {16.5, 12}}), ink, 2.4);
        if (art == Art::WinZoom) strokePath(p, poly({{12, 7.5}, {12, 16.5}}), ink, 2.4);
    }
}

void drawCheckbox(QPainter& p, const QRectF& r, Art art) {
    const QRectF box = r.adjusted(1, 1, -1, -1);
    if (art == Art::CheckNo) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(QColor(30, 33, 38));
        p.drawRoundedRect(box.adjusted(0.6, 0.6, -0.6, -0.6), 2.5, 2.5);
        return;
    }
    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    p.drawRoundedRect(box, 3, 3);
    Grid g(p, box);
    if (art == Art::CheckYes)
        glyphCheck(p, kWhite, 3.4);
    else
        strokePath(p, poly({{6.5, 12}, {17.5, 12}}), kWhite, 3.4);
}

void drawWarning(QPainter& p, const QRectF& r) {
    Grid g(p, r);
    QPainterPath tri = poly({{12, 2.2}, {22.6, 20.8}, {1.4, 20.8}}, true);
    QLinearGradient grad(QPointF(12, 2), QPointF(12, 21));
    grad.setColorAt(0, QColor(252, 196, 64));
    grad.setColorAt(1, QColor(238, 150, 30));
    p.setPen(strokePen(QColor(200, 120, 20), 0.9));
    p.setBrush(grad);
    p.drawPath(tri);
    fillPath(p, roundRect(QRectF(10.7, 7.5, 2.6, 7.6), 1.2), QColor(60, 40, 10));
    QPainterPath dot;
    dot.addEllipse(QPointF(12, 17.7), 1.5, 1.5);
    fillPath(p, dot, QColor(60, 40, 10));
}

void drawPopHeader(QPainter& p, const QRectF& r) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(240, 241, 245));
    g.setColorAt(1, QColor(218, 221, 229));
    p.fillRect(r, g);
    p.fillRect(QRectF(r.left(), r.bottom() - 1, r.width(), 1), QColor(184, 188, 200));
    p.fillRect(QRectF(r.left(), r.top(), r.width(), 1), QColor(252, 252, 254));
}

void drawNodeIcon(QPainter& p, const QRectF& r, int type) {
    Grid g(p, r);
    switch (type) {
    case 0: glyphDrive(p, QColor(120, 132, 156), QColor(200, 208, 224)); break;
    case 1: glyphFolder(p, QColor(92, 156, 230), QColor(70, 128, 200)); break;
    case 2: case 3: case 4: case 5: case 6: case 7: {
        static const Art arts[] = {Art::TypeGraphics, Art::TypeAudio, Art::TypeVideo,
                                   Art::TypeArchive, Art::TypeDocument, Art::TypeOther};
        const Art art = arts[type - 2];
        fillPath(p, roundRect(QRectF(1.5, 1.5, 21, 21), 5), categoryColour(art));
        p.save();
        p.translate(12, 12);
        p.scale(0.7, 0.7);
        p.translate(-12, -12);
        drawCategoryGlyph(p, art, kWhite);
        p.restore();
        break;
    }
    case 8: glyphCalendar(p, QColor(214, 92, 84), true); break;
    case 9: glyphCalendar(p, QColor(84, 160, 214), false); break;
    default: glyphBlankFile(p, QColor(176, 184, 200)); break;
    }
}

void drawSpinner(QPainter& p, const QRectF& r, int frame) {
    Grid g(p, r);
    for (int i = 0; i < kSpinnerFrames; ++i) {
        const double angle = (i * 360.0 / kSpinnerFrames) * M_PI / 180.0;
        // The dot at the frame's position is brightest; the others trail off.
        const int age = (frame - i + kSpinnerFrames) % kSpinnerFrames;
        QColor c = kInkBright;
        c.setAlpha(255 - age * 28);
        QPainterPath dot;
        dot.addEllipse(QPointF(12 + 8.5 * std::sin(angle), 12 - 8.5 * std::cos(angle)), 2.3, 2.3);
        fillPath(p, dot, c);
    }
}

void drawLoadingPlaceholder(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kPanelLine, 1));
    p.setBrush(QColor(54, 59, 68));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    const double side = r.height() * 0.5;
    Grid g(p, QRectF(r.center().x() - side / 2, r.center().y() - side / 2, side, side));
    glyphPicture(p, QColor(110, 120, 140));
}

void drawLogo(QPainter& p, const QRectF& r) {
    // A life ring: what a salvor throws.
    const QPointF c = r.center();
    const double outer = std::min(r.width(), r.height()) / 2 - 2, inner = outer * 0.55;
    for (int i = 0; i < 4; ++i) {
        QPainterPath seg;
        const QRectF o(c.x() - outer, c.y() - outer, 2 * outer, 2 * outer), in(c.x() - inner, c.y() - inner, 2 * inner, 2 * inner);
        const double start = 45 + i * 90.0;
        seg.arcMoveTo(o, start);
        seg.arcTo(o, start, 90);
        seg.arcTo(in, start + 90, -90);
        seg.closeSubpath();
        fillPath(p, seg, i % 2 == 0 ? QColor(226, 86, 70) : QColor(244, 244, 248));
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 50, 40), 1.2));
    p.drawEllipse(c, outer, outer);
    p.drawEllipse(c, inner, inner);
}

void drawDiskImage(QPainter& p, const QRectF& r) {
    Grid g(p, r);
    QPainterPath disc;
    disc.addEllipse(QPointF(12, 12), 10, 10);
    QRadialGradient grad(QPointF(9, 9), 13);
    grad.setColorAt(0, QColor(236, 240, 248));
    grad.setColorAt(1, QColor(150, 162, 188));
    p.setPen(strokePen(QColor(110, 120, 140), 0.8));
    p.setBrush(grad);
    p.drawPath(disc);
    QPainterPath hole;
    hole.addEllipse(QPointF(12, 12), 3, 3);
    fillPath(p, hole, QColor(70, 78, 92));
    QPainterPath shine;
    shine.addEllipse(QPointF(12, 12), 6.5, 6.5);
    strokePath(p, shine, QColor(255, 255, 255, 120), 0.8);
}

void drawUsb(QPainter& p, const QRectF& r) {
    Grid g(p, r);
    p.save();
    p.translate(12, 12);
    p.rotate(-45);
    p.translate(-12, -12);
    fillPath(p, roundRect(QRectF(5, 8, 11, 8), 2), QColor(72, 140, 220));
    fillPath(p, roundRect(QRectF(15, 9, 5.5, 6), 0.8), QColor(200, 206, 218));
    fillPath(p, QPainterPath(roundRect(QRectF(17, 10.3, 1.6, 1.2), 0.2)), QColor(90, 96, 110));
    fillPath(p, QPainterPath(roundRect(QRectF(17, 12.5, 1.6, 1.2), 0.2)), QColor(90, 96, 110));
    p.restore();
}

void drawCell(QPainter& p, const QRectF& r, bool pressed) {
    p.setPen(QPen(pressed ? kAccent : kPanelLine, 1));
    p.setBrush(pressed ? QColor(44, 66, 104) : QColor(52, 57, 66));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}

// A fixed scatter of faint specks; the same on every run.
void drawSpeckles(QPainter& p, const QRectF& r, const QColor& base, int count, quint32 seed) {
    p.fillRect(r, base);
    quint32 s = seed;
    auto next = [&s] {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    };
    for (int i = 0; i < count; ++i) {
        const double x = r.left() + (next() % 10000) / 10000.0 * r.width();
        const double y = r.top() + (next() % 10000) / 10000.0 * r.height();
        const int a = 10 + static_cast<int>(next() % 18);
        p.fillRect(QRectF(x, y, 1, 1), QColor(255, 255, 255, a));
    }
}

// kind: 0 the list, 1 the preview strip, 2 the grid.
void drawSegment(QPainter& p, const QRectF& r, bool focus, int kind) {
    if (focus) {
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }
    const QColor ink = focus ? kWhite : kInk;
    const double side = r.height() * 0.75;
    Grid g(p, QRectF(r.center().x() - side / 2, r.center().y() - side / 2, side, side));
    if (kind == 1) {
        // One large picture over a row of small ones.
        fillPath(p, roundRect(QRectF(4, 3, 16, 11), 1.5), ink);
        for (int col = 0; col < 3; ++col) fillPath(p, roundRect(QRectF(4 + col * 6, 16, 4, 4), 1), ink);
    } else if (kind == 2) {
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) fillPath(p, roundRect(QRectF(4 + col * 6, 4 + row * 6, 4.5, 4.5), 1), ink);
    } else {
        for (double y : {6.0, 12.0, 18.0}) {
            QPainterPath bullet;
            bullet.addEllipse(QPointF(5, y), 1.6, 1.6);
            fillPath(p, bullet, ink);
            strokePath(p, poly({{9, y}, {20, y}}), ink, 2.2);
        }
    }
}

void drawSort(QPainter& p, const QRectF& r, bool up) {
    const QPainterPath tri = up ? poly({{r.left() + 0.5, r.bottom() - 1}, {r.center().x(), r.top() + 1}, {r.right() - 0.5, r.bottom() - 1}}, true)
                                : poly({{r.left() + 0.5, r.top() + 1}, {r.center().x(), r.bottom() - 1}, {r.right() - 0.5, r.top() + 1}}, true);
    fillPath(p, tri, kInk);
}

void draw(QPainter& p, const Spec& s, int frame) {
    const QRectF r(0, 0, s.width, s.height);
    switch (s.art) {
    case Art::PillBack:
    case Art::PillContinue:
    case Art::PillStart:
    case Art::PillPlain: drawPill(p, r, s.state, s.art); break;
    case Art::RoundHome:
    case Art::RoundDeepScan: drawRoundButton(p, r, s.state, s.art); break;
    case Art::Export:
    case Art::Import:
    case Art::Pause:
    case Art::Play:
    case Art::Stop:
    case Art::Delete: drawSmallGlyph(p, r, s.state, s.art); break;
    case Art::TypeGraphics:
    case Art::TypeAudio:
    case Art::TypeVideo:
    case Art::TypeArchive:
    case Art::TypeDocument:
    case Art::TypeOther: drawTypeTile(p, r, s.state, s.art); break;
    case Art::WinClose:
    case Art::WinMinimize:
    case Art::WinZoom: drawWindowButton(p, r, s.state, s.art); break;
    case Art::CheckYes:
    case Art::CheckNo:
    case Art::CheckMixed: drawCheckbox(p, r, s.art); break;
    case Art::Warning: drawWarning(p, r); break;
    case Art::PopHeader: drawPopHeader(p, r); break;
    case Art::NodeIcon: drawNodeIcon(p, r, s.variant); break;
    case Art::Spinner: drawSpinner(p, r, frame); break;
    case Art::LoadingPlaceholder: drawLoadingPlaceholder(p, r); break;
    case Art::Logo: drawLogo(p, r); break;
    case Art::Select: {
        Grid g(p, r);
        glyphCheck(p, kAccent.lighter(120), 3.2);
        break;
    }
    case Art::DeletedMark: {
        Grid g(p, r);
        QPainterPath disc;
        disc.addEllipse(QPointF(12, 12), 9, 9);
        fillPath(p, disc, QColor(220, 64, 56));
        strokePath(p, poly({{7.5, 12}, {16.5, 12}}), kWhite, 3);
        break;
    }
    case Art::DiskImage: drawDiskImage(p, r); break;
    case Art::Usb: drawUsb(p, r); break;
    case Art::CellNormal: drawCell(p, r, false); break;
    case Art::CellPress: drawCell(p, r, true); break;
    case Art::TabSelected:
        p.fillRect(r, QColor(58, 64, 76));
        p.fillRect(QRectF(0, r.height() - 3, r.width(), 3), kAccent);
        break;
    case Art::TextBackground:
        p.setPen(QPen(kPanelLine, 1));
        p.setBrush(QColor(56, 61, 72));
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        break;
    case Art::Panel150: drawSpeckles(p, r, QColor(40, 44, 51), 120, 150u); break;
    case Art::Dust: drawSpeckles(p, r, QColor(36, 39, 45), 40, 64u); break;
    case Art::ListFocus: drawSegment(p, r, true, 0); break;
    case Art::ListNoHover: drawSegment(p, r, false, 0); break;
    case Art::PreviewFocus: drawSegment(p, r, true, 1); break;
    case Art::PreviewNoHover: drawSegment(p, r, false, 1); break;
    case Art::GridFocus: drawSegment(p, r, true, 2); break;
    case Art::GridNoHover: drawSegment(p, r, false, 2); break;
    case Art::ScheduleBackground:
        p.setPen(QPen(QColor(62, 67, 78), 1));
        p.setBrush(QColor(33, 36, 41));
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        break;
    case Art::ProgressTrack:
        p.setPen(QPen(QColor(60, 65, 75), 1));
        p.setBrush(QColor(24, 26, 30));
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 2.5, 2.5);
        break;
    case Art::Search: {
        Grid g(p, r);
        glyphMagnifier(p, kInk);
        break;
    }
    case Art::SortAscending: drawSort(p, r, true); break;
    case Art::SortDescending: drawSort(p, r, false); break;
    }
}

QImage render(const Spec& s, int frame) {
    QImage img(s.width, s.height, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    draw(p, s, frame);
    p.end();
    return img;
}

QString overridePath(const QString& name) {
    const QString file = QFileInfo(name).suffix().isEmpty() ? name + QStringLiteral(".png") : name;
    return platform::resourcePath(QStringLiteral("images/") + file);
}

struct Cache {
    std::mutex mutex;
    QHash<QString, QImage> images;
};

Cache& cache() {
    static Cache c;
    return c;
}

} // namespace

QString stateImageName(const QString& stem, ImageState state) {
    switch (state) {
    case ImageState::Normal: return stem + QStringLiteral("_normal");
    case ImageState::Press: return stem + QStringLiteral("_press");
    case ImageState::Hover: return stem + QStringLiteral("_hover");
    case ImageState::Disable: return stem + QStringLiteral("_disable");
    }
    return stem;
}

const std::vector<NamedImageInfo>& namedImageList() {
    static const std::vector<NamedImageInfo> list = [] {
        std::vector<NamedImageInfo> v;
        for (const Spec& s : kSpecs) v.push_back({s.name, s.width, s.height});
        return v;
    }();
    return list;
}

bool hasNamedImage(const QString& name) { return findSpec(name) != nullptr; }

QSize namedImageSize(const QString& name) {
    const Spec* s = findSpec(name);
    return s ? QSize(s->width, s->height) : QSize();
}

QImage drawnImage(const QString& name) {
    const Spec* s = findSpec(name);
    return s ? render(*s, 0) : QImage();
}

QImage namedImage(const QString& name) {
    Cache& c = cache();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        auto it = c.images.constFind(name);
        if (it != c.images.cend()) return it.value();
    }
    const Spec* s = findSpec(name);
    QImage img;
    const QString file = overridePath(name);
    if (!file.isEmpty() && QFileInfo::exists(file)) img.load(file);
    if (img.isNull() && s) img = render(*s, 0);
    if (!img.isNull() && img.format() != QImage::Format_ARGB32_Premultiplied)
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return img;
    std::lock_guard<std::mutex> lock(c.mutex);
    c.images.insert(name, img);
    return img;
}

QList<QImage> namedImageFrames(const QString& name) {
    const Spec* s = findSpec(name);
    if (s && s->art == Art::Spinner) {
        const QString file = overridePath(name);
        if (file.isEmpty() || !QFileInfo::exists(file)) {
            QList<QImage> frames;
            for (int i = 0; i < kSpinnerFrames; ++i) frames.append(render(*s, i));
            return frames;
        }
    }
    const QImage img = namedImage(name);
    return img.isNull() ? QList<QImage>() : QList<QImage>{img};
}

QPixmap namedPixmap(const QString& name) {
    const QImage img = namedImage(name);
    return img.isNull() ? QPixmap() : QPixmap::fromImage(img);
}

void clearImageCache() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.images.clear();
}

} // namespace salvor::kit
