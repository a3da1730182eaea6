#pragma once
// The dialogs' title bar: height 22, the image "pop_header_bg" over the whole
// bar, and a centred label 17 high at y 3 in the system font of 13 points and
// colour (80, 84, 102) showing the localised title key.
#include <QColor>
#include <QString>

class QLabel;

namespace salvor::widgets {

class TCImageWindow;

inline constexpr double kDialogTitleBarHeight = 22.0;

struct DialogTitleBar {
    QLabel* background = nullptr;
    QLabel* title = nullptr;
};

// Puts the bar into window; buttonsLeftMargin is the traffic lights' x.
DialogTitleBar installDialogTitleBar(TCImageWindow* window, const QString& titleKey = QStringLiteral("WINDOW_TOP_TITLE"),
                                     double buttonsLeftMargin = 13.0);

// The colour of titles on the windows' own dark bars (the dialogs' bar
// above is light): light enough to read there.
QColor windowTitleColor(); // (216, 222, 242)

// A label as the dialogs make them: not bordered, not editable, on a clear
// background (where a window asks for the control colour on a dark bar, too).
QLabel* makeLabel(const QString& text, double fontPoints, int alignment);

} // namespace salvor::widgets
