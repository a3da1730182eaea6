#pragma once
// Where the program's files live on Linux.
//   resources  read-only, shipped: "resources" beside the executable, or
//              "../share/salvor" from it when installed; SALVOR_RESOURCE_DIR
//              overrides both (tests, running from another folder)
//   config     $XDG_CONFIG_HOME/salvor (else ~/.config/salvor): user defaults and
//              writable copies of the shipped property lists
//   state      $XDG_STATE_HOME/salvor (else ~/.local/state/salvor)
//   work       the executable's folder when writable, else the state folder: the
//              log file and UIConfig.ini
// Every answer is computed afresh, so a change of the environment takes effect
// at once. No function here creates anything unless it says so.
#include <QString>

namespace salvor::platform {

// The folder of the running executable (no trailing "/").
QString executableDir();

// The shipped, read-only resource folder; "" when none is found.
QString resourceDir();
// A file inside it; "" when there is no resource folder.
QString resourcePath(const QString& relative);

QString configDir();
QString stateDir();
// The work folder; the state folder is created when it is the one chosen.
QString workDir();

} // namespace salvor::platform
