// Recovery of the ticked files from the results window.
//
// Placeholders until the recovery flow lands here:
//   recovrtyButtonClick, recoveryAction, stopButtonAction
#include "ui/windows/DetailWindow.h"

namespace salvor::windows {

void VXDeletailWindowController::recovrtyButtonClick() {}
void VXDeletailWindowController::recoveryAction() {}
void VXDeletailWindowController::stopButtonAction(int) {}

} // namespace salvor::windows
