#include "ui/widgets/DialogTitleBar.h"

#include "platform/Localization.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/TCImageWindow.h"

#include <QLabel>

namespace salvor::widgets {

// Bright enough that the thin strokes of a 13-pixel title read at 4.5:1 on the dark bar.
QColor windowTitleColor() { return QColor(216, 222, 242); }

QLabel* makeLabel(const QString& text, double fontPoints, int alignment) {
    auto* label = new QLabel(text);
    label->setFont(kit::systemFont(fontPoints));
    label->setAutoFillBackground(false);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    // Text alignment: 0 left, 1 right, 2 centred.
    const Qt::Alignment h = alignment == 2 ? Qt::AlignHCenter : alignment == 1 ? Qt::AlignRight : Qt::AlignLeft;
    label->setAlignment(h | Qt::AlignVCenter);
    return label;
}

DialogTitleBar installDialogTitleBar(TCImageWindow* window, const QString& titleKey, double buttonsLeftMargin) {
    DialogTitleBar bar;
    if (!window) return bar;
    window->setTitleBarHeight(kDialogTitleBarHeight);
    window->setTrafficLightButtonsLeftMargin(buttonsLeftMargin);
    QWidget* view = window->titleBarView();
    const double width = view->width();

    bar.background = new QLabel(view);
    bar.background->setObjectName(QStringLiteral("pop_header_bg"));
    bar.background->setPixmap(kit::namedPixmap(QStringLiteral("pop_header_bg")));
    bar.background->setScaledContents(true);
    kit::setFrame(bar.background, kit::Frame{0, 0, width, kDialogTitleBarHeight}, kit::kViewWidthSizable);
    bar.background->show();

    bar.title = makeLabel(platform::localizedString(titleKey), 13.0, 2);
    bar.title->setParent(view);
    bar.title->setObjectName(QStringLiteral("titleLabel"));
    QPalette pal = bar.title->palette();
    pal.setColor(QPalette::WindowText, QColor(80, 84, 102));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(80, 84, 102));
    bar.title->setPalette(pal);
    kit::setFrame(bar.title, kit::Frame{0, 3, width, 17}, kit::kViewWidthSizable);
    bar.title->show();
    return bar;
}

} // namespace salvor::widgets
