// Tree tabs and page modes of the results window, the refresh of the
// right-hand page from the shown tree item, and the first root's selection
// and expansion.
//
// Working already: refashDetailPageData (list page), SelectRootItem,
// ExpandeRootItem, setButtonTitleColor, showNoValueNote (tables).
// Placeholders until view switching lands here:
//   segmentSelect, pathButtonClick, typeButtonClick, timeButtonClick,
//   modifyTimeButtonClick, reLoadAllDetailPage, showRecoveryButton,
//   changeNoValue, changeSelectCountLabelPos
#include "ui/windows/DetailWindow.h"

#include "services/UIController.h"

#include <QPushButton>
#include <QTimer>

namespace salvor::windows {

void VXDeletailWindowController::segmentSelect(int) {}
void VXDeletailWindowController::pathButtonClick() {}
void VXDeletailWindowController::typeButtonClick() {}
void VXDeletailWindowController::timeButtonClick() {}
void VXDeletailWindowController::modifyTimeButtonClick() {}
void VXDeletailWindowController::reLoadAllDetailPage() {}
void VXDeletailWindowController::showRecoveryButton() {}
void VXDeletailWindowController::changeNoValue(bool) {}
void VXDeletailWindowController::changeSelectCountLabelPos() {}

void VXDeletailWindowController::refashDetailPageData() {
    VXUIController& facade = VXUIController::shared();
    stopRefreshTimer();
    clearList();
    if (opDataFile) {
        tableView->willReloadData();
        coverFlowerTableView->willReloadData();
        facade.GetFileNodeToArray(arrList, opDataFile);
    }
    // Tick states may have changed: a redraw (the trees' rows stay).
    outlineView->viewport()->update();
    timeOutlineView->viewport()->update();
    if (!facade.IsScanRunning()) segment->setEnabled(true);
    isSorted = 0;
    reloadTables();
    if (selectSegmentCount == 1) {
        showCoverFlowerViewWithRefresh(true);
        stopImageLoading();
        nImageState = 0;
        selectedCoverFlow(0);
    } else if (selectSegmentCount == 2) {
        showGridView();
    }
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
}

void VXDeletailWindowController::SelectRootItem() {
    const OpNodeList* roots = rootArray(selectTypeCount);
    if (!roots || roots->empty() || !(*roots)[0].isItem()) return;
    shouldSelectItem(outlineView, (*roots)[0].item().get());
    if (!opDataFile) return;
    for (widgets::CustemOutlineView* o : {outlineView, timeOutlineView}) {
        const QModelIndex at = o->indexForItem(opDataFile.get());
        if (!at.isValid()) continue;
        o->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    (selectTypeCount >= 2 ? timeOutlineView : outlineView)->setFocus();
}

void VXDeletailWindowController::ExpandeRootItem() {
    switch (selectTypeCount) {
    case 0:
        for (const OpNodeEntry& e : allDiskArr)
            if (e.isItem()) outlineView->expandItem(e.item().get());
        break;
    case 1:
        if (!allTypeArr.empty() && allTypeArr[0].isItem()) outlineView->expandItem(allTypeArr[0].item().get());
        break;
    case 2:
    case 3:
        for (const OpNodeEntry& e : *rootArray(selectTypeCount))
            if (e.isItem()) timeOutlineView->expandItem(e.item().get());
        break;
    default: break;
    }
}

void VXDeletailWindowController::setButtonTitleColor(QAbstractButton* button, const QColor& color) {
    if (!button) return;
    QPalette pal = button->palette();
    pal.setColor(QPalette::ButtonText, color);
    button->setPalette(pal);
}

void VXDeletailWindowController::showNoValueNote() {
    const bool note = arrList.empty() && !allDiskArr.empty();
    tableView->changeNoValue(!note);
    coverFlowerTableView->changeNoValue(!note);
    changeNoValue(!note);
    gridView->setVisible(selectSegmentCount == 2);
    coverFlower->setVisible(selectSegmentCount == 1);
}

} // namespace salvor::windows
