#include "ui/windows/SavePanel.h"

#include <QDir>
#include <QFileDialog>

#include <deque>

namespace salvor::windows {

namespace {
struct State {
    std::deque<QString> answers;
    QString directory, name;
    int runs = 0;
};
State& state() {
    static State s;
    return s;
}
} // namespace

QString SavePanel::run(const QString& directory, const QString& proposedName, const QString& extension) {
    State& s = state();
    s.directory = directory, s.name = proposedName;
    ++s.runs;
    QString path;
    if (!s.answers.empty()) {
        path = s.answers.front();
        s.answers.pop_front();
    } else {
        // The suffix is added by the dialog itself, so that its question
        // before replacing a file covers the name actually written.
        QFileDialog dialog(nullptr, QString(), directory, QStringLiteral("*.%1").arg(extension));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(extension);
        dialog.selectFile(proposedName);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) path = dialog.selectedFiles().first();
    }
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('.') + extension)) path += QLatin1Char('.') + extension;
    return path;
}

void SavePanel::queueAnswer(const QString& path) { state().answers.push_back(path); }
void SavePanel::clearQueuedAnswers() { state().answers.clear(); }
QString SavePanel::lastDirectory() { return state().directory; }
QString SavePanel::lastProposedName() { return state().name; }
int SavePanel::runCount() { return state().runs; }

} // namespace salvor::windows
