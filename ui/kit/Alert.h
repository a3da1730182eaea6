#pragma once
// Alerts and sheets. An alert has a message, an informative text, up to three
// buttons and an icon; it answers 1 for the default button, 0 for the
// alternate and -1 for the other button.
//
// runModal() runs the alert as the innermost modal run. A sheet is window-modal
// and placed below its parent's title bar; its did-end callback is queued, so
// it never runs inside the call that opens the sheet. A sheet without a parent
// window is application-modal.
//
// Escape, the window's close and any other dismissal without a button give
// the alert's safe answer: the one that writes, continues and deletes
// nothing. Each caller names it; left unnamed it is the only button of a
// one-button alert, else the alternate.
//
// Tests queue answers: while answers are queued, an alert shows nothing and
// takes the next queued answer instead (kAlertDismissed: its safe answer).
#include <QList>
#include <QPixmap>
#include <QString>

#include <functional>

class QAbstractButton;
class QMessageBox;
class QObject;
class QWidget;

namespace salvor::kit {

inline constexpr int kAlertDefaultReturn = 1;
inline constexpr int kAlertAlternateReturn = 0;
inline constexpr int kAlertOtherReturn = -1;
// Queued by tests for a dismissal; never returned.
inline constexpr int kAlertDismissed = -1002;

class Alert {
public:
    // Texts are shown as given (callers pass localised texts). An empty default
    // button title shows "OK"; empty alternate and other titles leave those
    // buttons out.
    Alert(QString messageText, QString defaultButton, QString alternateButton = {}, QString otherButton = {},
          QString informativeText = {});

    // The icon by image name ("warning_b"), or a picture.
    void setIcon(const QString& imageName);
    void setIcon(const QPixmap& icon) { icon_ = icon; }

    // The answer of a dismissal (1, 0 or -1; it must name a button shown).
    void setSafeAnswer(int answer) { safe_ = answer; }
    int safeAnswer() const;

    const QString& messageText() const { return message_; }
    const QString& informativeText() const { return informative_; }

    // Runs the alert modally; answers 1, 0 or -1 (kModalResponseAbort when the
    // run was ended otherwise).
    int runModal() const;

    // Opens the alert as a sheet of window (none: application-modal) and
    // returns at once; didEnd later receives the answer. When context is given
    // and destroyed before the answer, didEnd is dropped; a sheet whose window
    // is destroyed goes with it, unanswered.
    void beginSheetModalForWindow(QWidget* window, std::function<void(int)> didEnd,
                                  QObject* context = nullptr) const;

    // Test hooks.
    static void queueAnswer(int answer);
    static void clearQueuedAnswers();
    static int queuedAnswerCount();
    // The alerts on screen, oldest first, and the button of an answer.
    static QList<QMessageBox*> openAlerts();
    static QAbstractButton* buttonForAnswer(QMessageBox* box, int answer);

private:
    QMessageBox* makeBox(QWidget* parent) const;

    QString message_, default_, alternate_, other_, informative_;
    QPixmap icon_;
    int safe_ = kAlertDismissed;
};

} // namespace salvor::kit
