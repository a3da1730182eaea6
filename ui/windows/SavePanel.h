#pragma once
// The save panel of scan-result files. Tests queue answers: while answers
// are queued the panel shows nothing and takes the next one instead (an
// empty answer is a cancel).
#include <QString>

namespace salvor::windows {

class SavePanel {
public:
    // Runs the panel in directory with the proposed file name, for files
    // with extension; answers the chosen path (the extension added when it
    // is missing), or "" when cancelled.
    static QString run(const QString& directory, const QString& proposedName, const QString& extension);
    static void queueAnswer(const QString& path);
    static void clearQueuedAnswers();
    // What the last panel was opened with.
    static QString lastDirectory();
    static QString lastProposedName();
    static int runCount();
};

} // namespace salvor::windows
