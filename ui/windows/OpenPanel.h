#pragma once
// The open panel of scan-result files. Tests queue answers: while answers
// are queued the panel shows nothing and takes the next one instead (an
// empty answer is a cancel).
#include <QString>

namespace salvor::windows {

class OpenPanel {
public:
    // Runs the panel in directory (none: the last one), offering files with
    // extension; answers the chosen path, or "" when cancelled.
    static QString run(const QString& directory, const QString& extension);
    static void queueAnswer(const QString& path);
    static void clearQueuedAnswers();
    // The folder the last panel opened in.
    static QString lastDirectory();
};

} // namespace salvor::windows
