// The preview strip and the grid of the results window.
//
// Placeholders until the strip and the grid land here:
//   showCoverFlowerViewWithRefresh, selectedCoverFlow, stopImageLoading,
//   showGridView, stopGridImageLoading, numberOfItemsInImageFlow,
//   itemAtIndex (strip and grid), didSelectItemAtIndex, numberOfItemsInSection
#include "ui/windows/DetailWindow.h"

namespace salvor::windows {

void VXDeletailWindowController::showCoverFlowerViewWithRefresh(bool) {}
void VXDeletailWindowController::selectedCoverFlow(std::int64_t) {}
void VXDeletailWindowController::stopImageLoading() {}
void VXDeletailWindowController::showGridView() {}
void VXDeletailWindowController::stopGridImageLoading() {}
std::int64_t VXDeletailWindowController::numberOfItemsInImageFlow(widgets::ImageFlowView*) { return 0; }
const widgets::ImageFlowItem* VXDeletailWindowController::itemAtIndex(widgets::ImageFlowView*, std::int64_t) {
    return nullptr;
}
void VXDeletailWindowController::didSelectItemAtIndex(widgets::ImageFlowView*, std::int64_t) {}
std::uint64_t VXDeletailWindowController::numberOfItemsInSection(widgets::CNGridView*, std::int64_t) { return 0; }
widgets::CNGridViewItemBase* VXDeletailWindowController::itemAtIndex(widgets::CNGridView*, std::int64_t,
                                                                      std::int64_t) {
    return nullptr;
}

} // namespace salvor::windows
