// The name search, the select-all boxes of the tables, the tree cells' tick
// boxes and the ticked-files counters of the results window.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "services/PublicUtilities.h"
#include "services/UIController.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/windows/ResultSelection.h"

#include <QHeaderView>
#include <QLabel>

namespace salvor::windows {

void VXDeletailWindowController::doSearchWithKey(const std::optional<QString>&) { doSearch(); }

void VXDeletailWindowController::doSearch() {
    VXUIController& facade = VXUIController::shared();
    const std::optional<QString> key = searchRequest(search->textField()->text(), facade.GetSearchString());
    if (!key) return;
    isCreateTimeTreeRebuild = 1;
    isModifyTimeTreeRebuild = 1;
    stopImageLoading();
    stopGridImageLoading();
    outlineView->willReloadData();
    timeOutlineView->willReloadData();
    allDiskArr.clear();
    allModifyTimeArr.clear();
    allCreatTimeArr.clear();
    allTypeArr.clear();
    reloadOutlines();
    clearList();
    photos.clear();
    flowSelectedIndex = 0;
    ClearSelectedFilesInfo();
    tableView->changeNoValue(true);
    coverFlowerTableView->changeNoValue(true);
    changeNoValue(true);
    // Remembered only once started: a refused request (a search runs) is
    // made again when the running one has posted.
    if (facade.DoSearchWithString(*key, "DoSearchValue")) lastSearchStr = *key;
}

QString VXDeletailWindowController::GetSearchText(const QString& text) { return windows::GetSearchText(text); }

void VXDeletailWindowController::searchClearButtonClick() {
    search->setTitleWithMnemonic(QString());
    doSearch();
}

namespace {

// A select-all box at x 4, y 5, 13 x 13 in a table's header.
widgets::GridTickBox* addSelectAllBox(widgets::CustomTableView* table, const char* name) {
    auto* box = new widgets::GridTickBox(table->horizontalHeader());
    box->setObjectName(QLatin1String(name));
    box->setGeometry(4, 5, 13, 13);
    box->setImageName(checkboxImageForState(0));
    box->show();
    return box;
}

} // namespace

void VXDeletailWindowController::listViewTableHeaderView() {
    // Tab leaves the tables (for the search field and the recover button)
    // instead of walking their cells.
    tableView->setTabKeyNavigation(false);
    coverFlowerTableView->setTabKeyNavigation(false);
    listViewSelectAllButton = addSelectAllBox(tableView, "listViewSelectAllButton");
    connect(listViewSelectAllButton, &QAbstractButton::clicked, this, [this] { setAllSelectOrNoSelect(); });
}

void VXDeletailWindowController::changeCoverViewTableHeaderView() {
    coverViewSelectAllButton = addSelectAllBox(coverFlowerTableView, "coverViewSelectAllButton");
    connect(coverViewSelectAllButton, &QAbstractButton::clicked, this, [this] { setAllSelectOrNoSelect(); });
}

int VXDeletailWindowController::GetCellNodeState(const OpNodeRef& node) {
    // The list shown holds the shown item's files already.
    if (!node || node == opDataFile) return cellNodeState(node.get(), arrList);
    OpNodeList files;
    VXUIController::shared().GetFileNodeToArray(files, node);
    return cellNodeState(node.get(), files);
}

void VXDeletailWindowController::setAllSelectOrNoSelect() {
    VXUIController& facade = VXUIController::shared();
    if (arrList.empty() || scanRunsUnpaused()) return;
    showRecoveryButton();
    setAllTicks(arrList, GetCellNodeState(opDataFile));
    // Only tick marks changed: a redraw keeps the trees' expansion.
    outlineView->viewport()->update();
    timeOutlineView->viewport()->update();
    if (!facade.IsScanRunning()) segment->setEnabled(true);
    if (selectSegmentCount == 0) {
        tableView->viewport()->update();
    } else if (selectSegmentCount == 2) {
        showGridView();
    } else {
        coverFlowerTableView->viewport()->update();
        showCoverFlowerViewWithRefresh(true);
    }
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
    if (selectTypeCount == 3) facade.RefreshTimeTreeState(allModifyTimeArr);
    else if (selectTypeCount == 2) facade.RefreshTimeTreeState(allCreatTimeArr);
    else if (selectTypeCount == 1) facade.RefreshTypeTreeState(opDataFile);
}

void VXDeletailWindowController::changeSelectAllButtonState() {
    const QString image = checkboxImageForState(GetCellNodeState(opDataFile));
    for (QAbstractButton* b : {listViewSelectAllButton, coverViewSelectAllButton})
        if (auto* box = qobject_cast<widgets::GridTickBox*>(b)) box->setImageName(image);
}

void VXDeletailWindowController::ClearSelectedFilesInfo() {
    opDataFile.reset();
    for (QAbstractButton* b : {listViewSelectAllButton, coverViewSelectAllButton})
        if (auto* box = qobject_cast<widgets::GridTickBox*>(b)) box->setImageName(checkboxImageForState(0));
    VXUIController::shared().UnselectedAllNodes();
    showSelectFilesCountAndSize();
}

void VXDeletailWindowController::clickButtonAction(widgets::NewButton* button) {
    if (scanRunsUnpaused() || !button || !button->opNodeData) return;
    showRecoveryButton();
    auto* item = static_cast<OpNodeData*>(button->opNodeData);
    item->setNodeState(item->state() == 2 ? 0 : 2);
    refashDetailPageData();
}

void VXDeletailWindowController::showSelectFilesCountAndSize() {
    if (scanRunsUnpaused()) {
        showNoValueNote();
        return;
    }
    selectedFileCnt = 0;
    selectedFileSize = 0;
    VXUIController::shared().GetSelectedFilesAmout(&selectedFileCnt, &selectedFileSize);
    recovertyButton->setButtonEnabled(selectedFileCnt >= 1);
    selectFilesLabel->setText(platform::localizedFormat(
        "PAGE_FOUR_SELECT_FILES", VXPublicUtilities::longlongConvertVolSpace(static_cast<long long>(selectedFileSize)),
        selectedFileCnt));
    showNoValueNote();
}

} // namespace salvor::windows
