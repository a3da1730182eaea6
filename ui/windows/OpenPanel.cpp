#include "ui/windows/OpenPanel.h"

#include <QFileDialog>

#include <deque>

namespace salvor::windows {

namespace {
std::deque<QString>& answers() {
    static std::deque<QString> queue;
    return queue;
}
QString& last() {
    static QString dir;
    return dir;
}
} // namespace

QString OpenPanel::run(const QString& directory, const QString& extension) {
    last() = directory;
    if (!answers().empty()) {
        QString answer = answers().front();
        answers().pop_front();
        return answer;
    }
    return QFileDialog::getOpenFileName(nullptr, QString(), directory, QStringLiteral("*.%1").arg(extension), nullptr,
                                        QFileDialog::DontUseNativeDialog);
}

void OpenPanel::queueAnswer(const QString& path) { answers().push_back(path); }
void OpenPanel::clearQueuedAnswers() { answers().clear(); }
QString OpenPanel::lastDirectory() { return last(); }

} // namespace salvor::windows
