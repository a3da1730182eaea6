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
        path = QFileDialog::getSaveFileName(nullptr, QString(), QDir(directory).filePath(proposedName),
                                            QStringLiteral("*.%1").arg(extension), nullptr,
                                            QFileDialog::DontUseNativeDialog);
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
