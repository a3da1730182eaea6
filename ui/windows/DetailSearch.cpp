// The name search, the select-all boxes of the tables, the tree cells' tick
// boxes and the ticked-files counters of the results window.
//
// Placeholders until search and selection land here:
//   doSearchWithKey, doSearch, GetSearchText (answers the text unchanged),
//   searchClearButtonClick, listViewTableHeaderView,
//   changeCoverViewTableHeaderView, changeSelectAllButtonState,
//   ClearSelectedFilesInfo, clickButtonAction, showSelectFilesCountAndSize
#include "ui/windows/DetailWindow.h"

namespace salvor::windows {

void VXDeletailWindowController::doSearchWithKey(const std::optional<QString>&) {}
void VXDeletailWindowController::doSearch() {}
QString VXDeletailWindowController::GetSearchText(const QString& text) { return text; }
void VXDeletailWindowController::searchClearButtonClick() {}
void VXDeletailWindowController::listViewTableHeaderView() {}
void VXDeletailWindowController::changeCoverViewTableHeaderView() {}
void VXDeletailWindowController::changeSelectAllButtonState() {}
void VXDeletailWindowController::ClearSelectedFilesInfo() {}
void VXDeletailWindowController::clickButtonAction(widgets::NewButton*) {}
void VXDeletailWindowController::showSelectFilesCountAndSize() {}

} // namespace salvor::windows
