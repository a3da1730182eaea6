// Tree tabs and page modes of the results window, the refresh of the
// right-hand page from the shown tree item, the first root's selection and
// expansion, the recover button's entry into the progress box and the grid
// page's empty-result note.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/UserDefaults.h"
#include "services/UIController.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/ViewAnimation.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace salvor::windows {

namespace {

const QColor kUnselectedTab(174, 184, 222, 255);

void setTabImage(QPushButton* b, const char* name) {
    b->setIcon(name ? QIcon(kit::namedPixmap(QLatin1String(name))) : QIcon());
    b->setProperty("tabImage", name ? QString::fromLatin1(name) : QString());
}

QRectF asRect(const kit::Frame& f) { return {f.x, f.y, f.width, f.height}; }
kit::Frame asFrame(const QRectF& r) { return {r.x(), r.y(), r.width(), r.height()}; }

} // namespace

void VXDeletailWindowController::segmentSelect(int segmentIndex) {
    VXUIController& facade = VXUIController::shared();
    stopImageLoading();
    stopGridImageLoading();
    if (segmentIndex == selectSegmentCount) return;
    selectSegmentCount = segmentIndex;
    segment->setSelectedSegment(segmentIndex);
    // The chosen mode's image is the highlighted one, the others plain.
    segment->setImage(0, segmentIndex == 0 ? QStringLiteral("list_focus") : QStringLiteral("list_no_hover"));
    segment->setImage(1, segmentIndex == 1 ? QStringLiteral("preview_focus") : QStringLiteral("preview_no_hover"));
    segment->setImage(2, segmentIndex == 2 ? QStringLiteral("grid_focus") : QStringLiteral("grid_no_hover"));
    if (segmentIndex == 0) {
        coverFlower->hide();
        gridView->hide();
    } else if (segmentIndex == 2) {
        viewLoadCnt = 0;
        coverFlower->hide();
        gridView->show();
    } else {
        coverFlower->show();
        gridView->hide();
    }
    outlineView->viewport()->update();
    timeOutlineView->viewport()->update();
    showNoValueNote();
    if (!facade.IsScanRunning()) segment->setEnabled(true);
    if (segmentIndex == 0) {
        tableView->reloadData();
    } else if (segmentIndex == 1) {
        photos.clear();
        flowSelectedIndex = 0;
        coverFlowerTableView->reloadData();
        showCoverFlowerViewWithRefresh(true);
        selectedCoverFlow(0);
    } else {
        showGridView();
    }
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
}

// Switches the tree tab to view (0 path, 1 type, 2 creation, 3 modification).
static void switchTab(VXDeletailWindowController& w, std::int64_t view) {
    VXUIController& facade = VXUIController::shared();
    if (w.selectTypeCount == view) return;
    w.stopImageLoading();
    w.stopGridImageLoading();

    setTabImage(w.pathButton, view == 0 ? "bg_tab" : nullptr);
    setTabImage(w.typeButton, view == 1 ? "bg_tab" : nullptr);
    setTabImage(w.timeButton, view >= 2 ? "bg_tab" : nullptr);
    // The date sub-tabs carry no plate: the chosen one is told by its white
    // title (a plate on the other one read as the chosen marker).
    setTabImage(w.creatButton, nullptr);
    setTabImage(w.modifyButton, nullptr);
    if (view <= 2)
        for (QPushButton* b : {w.pathButton, w.typeButton, w.timeButton}) w.setButtonTitleColor(b, kUnselectedTab);
    if (view == 2) {
        w.setButtonTitleColor(w.modifyButton, kUnselectedTab);
        w.setButtonTitleColor(w.creatButton, Qt::white);
    } else if (view == 3) {
        w.setButtonTitleColor(w.modifyButton, Qt::white);
        w.setButtonTitleColor(w.creatButton, kUnselectedTab);
    }
    if (view <= 1) {
        w.PTOutlineViewBlowView->show();
        w.timeOutlineBlowView->hide();
    } else if (view == 2) {
        w.timeOutlineBlowView->show();
        w.PTOutlineViewBlowView->hide();
    }
    w.selectTypeCount = view;
    facade.SetViewType(int(view));

    OpNodeList& roots = *w.rootArray(view);
    const auto rebuild = [&] {
        w.outlineView->willReloadData();
        w.timeOutlineView->willReloadData();
        roots.clear();
        facade.RefreshData();
        facade.GetScanTreeNodeData(&roots, false);
    };
    if (view == 0) {
        if (roots.empty() || facade.IsPause()) rebuild();
        w.reloadOutlines();
    } else if (view == 1) {
        w.clearList();
        rebuild();
        w.reloadOutlines();
    } else {
        w.clearList();
        int& stale = view == 2 ? w.isCreateTimeTreeRebuild : w.isModifyTimeTreeRebuild;
        if (stale) {
            rebuild();
            if (!facade.IsScanRunning()) stale = 0;
        }
        w.reloadOutlines();
        w.refashDetailPageData();
    }
    if (roots.empty()) return;
    w.ExpandeRootItem();
    if (view >= 1 && !w.scanRunsUnpaused()) {
        if (view == 1) facade.RefreshTypeTreeState(nullptr);
        else facade.RefreshTimeTreeState(roots);
    }
    w.SelectRootItem();
}

void VXDeletailWindowController::pathButtonClick() { switchTab(*this, 0); }
void VXDeletailWindowController::typeButtonClick() { switchTab(*this, 1); }
void VXDeletailWindowController::timeButtonClick() { switchTab(*this, 2); }
void VXDeletailWindowController::modifyTimeButtonClick() { switchTab(*this, 3); }

void VXDeletailWindowController::reLoadAllDetailPage() {
    clearList();
    refashDetailPageData();
}

void VXDeletailWindowController::showRecoveryButton() {
    if (recovertyButton->isHidden()) {
        const kit::Frame box = kit::frame(subBox);
        kit::setFrame(recovertyButton, kit::Frame{box.width + 110, 12, 100, 30});
        recovertyButton->show();
        kit::Frame narrowed = box;
        narrowed.width -= 100;
        kit::AnimationGroup group(0.4);
        auto place = [](QWidget* v, const QRectF& r) { kit::setFrame(v, asFrame(r)); };
        group.animateFrame(subBox, asRect(box), asRect(narrowed), place);
        group.animateFrame(recovertyButton, asRect(kit::frame(recovertyButton)),
                           QRectF(narrowed.width - 105 + 100, 12, 100, 30), place);
        group.run();
    }
    const bool running = VXUIController::shared().IsScanRunning();
    kit::setFrame(selectFilesLabel, kit::Frame{40, running ? 35.0 : 40.0, 380, 18});
    selectFilesLabel->setAlignment((running ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    selectFilesLabel->show();
    findFilesLabel->hide();
    remainTimeLabel->hide();
    double percent = 0;
    std::uint64_t count = 0;
    VXUIController::shared().GetScanProgress(&percent, &count);
    progressView->changeProgressValue(static_cast<float>(percent));
}

void VXDeletailWindowController::changeNoValue(bool hasValues) {
    if (hasValues) {
        delete gridNoValueView;
        gridNoValueView = nullptr;
        nodeView = nullptr;
        return;
    }
    if (gridNoValueView) return;
    const double w = gridView->width(), h = gridView->height();
    gridNoValueView = new QWidget(gridView);
    gridNoValueView->setObjectName(QStringLiteral("gridNoValueView"));
    kit::setFrame(gridNoValueView, kit::Frame{0, 0, w, h - 1}, kit::kViewWidthSizable | kit::kViewHeightSizable);
    auto* bg = new QLabel(gridNoValueView);
    bg->setPixmap(kit::namedPixmap(QStringLiteral("bg_150")));
    bg->setScaledContents(true);
    kit::setFrame(bg, kit::Frame{0, 0, w, h}, kit::kViewWidthSizable | kit::kViewHeightSizable);
    nodeView = new QWidget(gridNoValueView);
    kit::setFrame(nodeView, kit::Frame{w / 2 - 200, h / 2, 400, 50});
    auto* plate = new QLabel(nodeView);
    plate->setPixmap(kit::namedPixmap(QStringLiteral("text_bg")));
    plate->setScaledContents(true);
    kit::setFrame(plate, kit::Frame{0, 0, 400, 50});
    auto* note = new QLabel(platform::localizedString("PQX_FOUR_NO_VALUE_NOTE"), nodeView);
    note->setObjectName(QStringLiteral("noValueNote"));
    note->setAlignment(Qt::AlignCenter);
    note->setFont(kit::fontNamed(QStringLiteral("Helvetica Light"), 14));
    QPalette pal = note->palette();
    // Light on the dark plate (a dark grey on it could not be read).
    pal.setColor(QPalette::WindowText, widgets::emptyNoteColor());
    note->setPalette(pal);
    kit::setFrame(note, kit::Frame{0, 16, 400, 18}, kit::kViewWidthSizable);
    gridNoValueView->show();
    gridNoValueView->raise();
}

void VXDeletailWindowController::changeSelectCountLabelPos() {
    if (platform::UserDefaults::appleLanguages().value(0) == QLatin1String("es"))
        kit::setFrame(selectFilesLabel, kit::Frame{0, 30, 550, 15});
}

void VXDeletailWindowController::refashDetailPageData() {
    VXUIController& facade = VXUIController::shared();
    stopRefreshTimer();
    // The loaders let go of the list before it changes.
    stopImageLoading();
    stopGridImageLoading();
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
        photos.clear();
        flowSelectedIndex = 0;
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
