#include "ui/kit/Alert.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowDelegate.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <deque>

namespace salvor::kit {

namespace {

constexpr const char* kAnswerProperty = "salvorAlertAnswer";
constexpr const char* kAlertName = "salvorAlert";

std::deque<int>& queuedAnswers() {
    static std::deque<int> answers;
    return answers;
}

bool takeQueuedAnswer(int safe, int* answer) {
    auto& q = queuedAnswers();
    if (q.empty()) return false;
    *answer = q.front() == kAlertDismissed ? safe : q.front();
    q.pop_front();
    return true;
}

int answerOf(const QAbstractButton* button) {
    const QVariant v = button ? button->property(kAnswerProperty) : QVariant();
    return v.isValid() ? v.toInt() : kAlertDefaultReturn;
}

// The answer of a box that has ended: its clicked button, else the button
// that Escape stands for (the safe one).
int answerOf(const QMessageBox* box) {
    if (box->clickedButton()) return answerOf(box->clickedButton());
    return answerOf(box->escapeButton());
}

// Escape and the window's close both end the box on its escape button, so a
// dismissal can never pass for the default (QMessageBox would otherwise take
// the only button, or ignore the close).
class AlertBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier && escapeButton()) {
            escapeButton()->click();
            return;
        }
        QMessageBox::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override {
        if (!clickedButton() && escapeButton() && isVisible()) {
            e->ignore();
            escapeButton()->click();
            return;
        }
        QMessageBox::closeEvent(e);
    }
};

// The look of the program's windows: their title, and light text on their
// dark grey, so that an alert never stands out as a stranger's light box.
void dressLikeTheWindows(QMessageBox* box) {
    box->setWindowTitle(platform::localizedString("WINDOW_TOP_TITLE"));
    box->setWindowRole(QString::fromLatin1(kAlertName));
    QPalette pal = box->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(g, QPalette::Window, QColor(32, 36, 39));
        pal.setColor(g, QPalette::WindowText, QColor(200, 208, 236));
        pal.setColor(g, QPalette::Text, QColor(200, 208, 236));
        pal.setColor(g, QPalette::Button, QColor(52, 57, 66));
        pal.setColor(g, QPalette::ButtonText, QColor(216, 222, 242));
        pal.setColor(g, QPalette::Base, QColor(39, 43, 47));
        pal.setColor(g, QPalette::Light, QColor(78, 84, 96));
        pal.setColor(g, QPalette::Midlight, QColor(64, 70, 80));
        pal.setColor(g, QPalette::Mid, QColor(44, 48, 54));
        pal.setColor(g, QPalette::Dark, QColor(20, 22, 25));
        pal.setColor(g, QPalette::Shadow, QColor(10, 11, 12));
        pal.setColor(g, QPalette::Highlight, QColor(70, 110, 190));
        pal.setColor(g, QPalette::HighlightedText, QColor(255, 255, 255));
    }
    pal.setColor(QPalette::Disabled, QPalette::Window, QColor(32, 36, 39));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 126, 140));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 126, 140));
    pal.setColor(QPalette::Disabled, QPalette::Button, QColor(44, 48, 54));
    box->setPalette(pal);
    box->setAutoFillBackground(true);
}

void deliver(std::function<void(int)> didEnd, QPointer<QObject> context, bool guarded, int answer) {
    if (!didEnd) return;
    platform::postToMainThread([didEnd = std::move(didEnd), context, guarded, answer] {
        if (guarded && !context) return;
        didEnd(answer);
    });
}

} // namespace

Alert::Alert(QString messageText, QString defaultButton, QString alternateButton, QString otherButton,
             QString informativeText)
    : message_(std::move(messageText)), default_(std::move(defaultButton)), alternate_(std::move(alternateButton)),
      other_(std::move(otherButton)), informative_(std::move(informativeText)) {
    if (default_.isEmpty()) default_ = QStringLiteral("OK");
}

void Alert::setIcon(const QString& imageName) { icon_ = namedPixmap(imageName); }

int Alert::safeAnswer() const {
    if (safe_ != kAlertDismissed) return safe_;
    return alternate_.isEmpty() && other_.isEmpty() ? kAlertDefaultReturn : kAlertAlternateReturn;
}

QMessageBox* Alert::makeBox(QWidget* parent) const {
    auto* box = new AlertBox(parent);
    box->setObjectName(QString::fromLatin1(kAlertName));
    dressLikeTheWindows(box);
    box->setText(message_);
    if (!informative_.isEmpty()) box->setInformativeText(informative_);
    if (!icon_.isNull()) box->setIconPixmap(icon_);
    QPushButton* def = box->addButton(default_, QMessageBox::AcceptRole);
    def->setProperty(kAnswerProperty, kAlertDefaultReturn);
    box->setDefaultButton(def);
    if (!alternate_.isEmpty()) {
        QPushButton* alt = box->addButton(alternate_, QMessageBox::RejectRole);
        alt->setProperty(kAnswerProperty, kAlertAlternateReturn);
    }
    if (!other_.isEmpty()) {
        QPushButton* oth = box->addButton(other_, QMessageBox::ActionRole);
        oth->setProperty(kAnswerProperty, kAlertOtherReturn);
    }
    QAbstractButton* safe = buttonForAnswer(box, safeAnswer());
    box->setEscapeButton(safe ? safe : def);
    return box;
}

int Alert::runModal() const {
    int answer = 0;
    if (takeQueuedAnswer(safeAnswer(), &answer)) return answer;
    QMessageBox* box = makeBox(nullptr);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [box](QAbstractButton* b) { stopModalFor(box, answerOf(b)); });
    int code = kit::runModal(box);
    // Closed by Escape: the box hid itself before its run saw a button; gone
    // any other way, it was dismissed.
    if (code == kModalResponseAbort) code = box->clickedButton() ? answerOf(box) : safeAnswer();
    releaseObject(box);
    return code;
}

void Alert::beginSheetModalForWindow(QWidget* window, std::function<void(int)> didEnd, QObject* context) const {
    const bool guarded = context != nullptr;
    QPointer<QObject> guard(context);
    int answer = 0;
    if (takeQueuedAnswer(safeAnswer(), &answer)) {
        deliver(std::move(didEnd), guard, guarded, answer);
        return;
    }
    QMessageBox* box = makeBox(window);
    if (window) {
        // A sheet: no frame of its own, attached below the window's title bar.
        box->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        box->setWindowModality(Qt::WindowModal);
    } else {
        box->setWindowModality(Qt::ApplicationModal);
    }
    QObject::connect(box, &QDialog::finished, box, [box, didEnd = std::move(didEnd), guard, guarded](int) {
        deliver(didEnd, guard, guarded, answerOf(box));
        box->deleteLater();
    });
    box->adjustSize();
    if (window) {
        const QPoint top = window->mapToGlobal(QPoint((window->width() - box->width()) / 2, sheetTop(window)));
        box->move(top);
    }
    box->show();
}

void Alert::queueAnswer(int answer) { queuedAnswers().push_back(answer); }

void Alert::clearQueuedAnswers() { queuedAnswers().clear(); }

int Alert::queuedAnswerCount() { return static_cast<int>(queuedAnswers().size()); }

QList<QMessageBox*> Alert::openAlerts() {
    QList<QMessageBox*> list;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->objectName() == QLatin1String(kAlertName)) list.append(box);
    }
    return list;
}

QAbstractButton* Alert::buttonForAnswer(QMessageBox* box, int answer) {
    if (!box) return nullptr;
    for (QAbstractButton* b : box->buttons())
        if (b->property(kAnswerProperty).toInt() == answer && b->property(kAnswerProperty).isValid()) return b;
    return nullptr;
}

} // namespace salvor::kit
