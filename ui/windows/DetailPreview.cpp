// The preview strip and the grid of the results window. Both show every
// file of the list at once with a placeholder and then load the previews in
// the background, one file at a time, through the facade. Each has a loader
// of its own that works on (index, file) pairs taken when it starts, so the
// list may change as soon as the loader has been stopped.
#include "ui/windows/DetailWindow.h"

#include "services/UIController.h"
#include "ui/kit/NamedImages.h"
#include "ui/windows/ResultSelection.h"
#include "ui/windows/ThumbnailItem.h"

#include <QScrollBar>

namespace salvor::windows {

namespace {

PreviewImage fetchPreview(IFileNode* file) { return VXUIController::shared().GetNSImageByNode(file); }

} // namespace

// ---- the strip --------------------------------------------------------------------

void VXDeletailWindowController::showCoverFlowerViewWithRefresh(bool refresh) {
    if (!publicItem) publicItem = std::make_shared<Photo>();
    const std::int64_t c = refresh ? 0 : flowView->selectedIndex();
    // Items that stand for the current list stay, with what they loaded.
    const bool current = !photos.empty() && photos.size() == arrList.size();
    if (current && flowSelectedIndex == c) return;
    if (flowSelectedIndex == -1) flowSelectedIndex = 0;
    if (!current) {
        photos.clear();
        photos.reserve(arrList.size());
        for (std::size_t i = 0; i < arrList.size(); ++i) {
            auto p = std::make_shared<Photo>();
            p->image = publicItem->image;
            p->imageID = publicItem->imageID;
            photos.push_back(std::move(p));
        }
    }
    flowView->setSelectedIndex(flowSelectedIndex);
    flowView->reloadData();
}

void VXDeletailWindowController::selectedCoverFlow(std::int64_t index) {
    flowView->setSelectedIndex(index);
    flowSelectedIndex = index;
    stopImageLoading();
    if (!stripLoader) {
        stripLoader = std::make_unique<PreviewLoader>(
            fetchPreview, [this](std::int64_t i, IFileNode* file, const PreviewImage& preview) {
                if (i < 0 || std::size_t(i) >= photos.size() || std::size_t(i) >= arrList.size() ||
                    arrList[std::size_t(i)].file() != file)
                    return;
                // Named once tried, so a file without a preview is not tried again.
                Photo& photo = *photos[std::size_t(i)];
                photo.imageID = OpNodeData::fileNodeName(file);
                const QImage image = previewPicture(preview);
                if (!image.isNull()) photo.image = std::make_shared<QImage>(image);
                flowView->reloadCellDataAtIndex(i);
                if (stripLoader->state() == PreviewLoader::Stopped) nImageState = PreviewLoader::Stopped;
            });
    }
    // The files to load, taken now: placeholders within the range around index.
    const auto [first, end] = stripLoadRange(std::int64_t(photos.size()), index);
    std::vector<PreviewLoader::Job> jobs;
    const std::shared_ptr<const void> keep = VXUIController::shared().KeepFoundFiles();
    for (std::int64_t i = first; i < end; ++i) {
        if (std::size_t(i) >= arrList.size() || photos[std::size_t(i)]->imageID != publicItem->imageID) continue;
        if (IFileNode* f = arrList[std::size_t(i)].file()) jobs.push_back({i, f, keep});
    }
    nImageState = PreviewLoader::Running;
    stripLoader->start(std::move(jobs));
}

void VXDeletailWindowController::stopImageLoading() {
    if (nImageState != PreviewLoader::Running) return;
    if (stripLoader) stripLoader->stop();
    nImageState = PreviewLoader::Stopped;
}

std::int64_t VXDeletailWindowController::numberOfItemsInImageFlow(widgets::ImageFlowView*) {
    return std::int64_t(arrList.size());
}

const widgets::ImageFlowItem* VXDeletailWindowController::itemAtIndex(widgets::ImageFlowView*, std::int64_t index) {
    return index >= 0 && std::size_t(index) < photos.size() ? photos[std::size_t(index)].get() : nullptr;
}

void VXDeletailWindowController::didSelectItemAtIndex(widgets::ImageFlowView*, std::int64_t index) {
    selectedCoverFlow(index);
    if (index < 0 || std::size_t(index) >= photos.size() || std::size_t(index) >= arrList.size()) return;
    const int row = int(index);
    tableView->scrollTo(tableView->model()->index(row, 0));
    coverFlowerTableView->scrollTo(coverFlowerTableView->model()->index(row, 0));
    coverFlowerTableView->selectRow(row);
}

// ---- the grid ---------------------------------------------------------------------

void VXDeletailWindowController::showGridView() {
    gridMainView->setBackgroundColor(QColor(39, 43, 47));
    gridMainView->reloadDataAnimated(true);
    gridScroll->verticalScrollBar()->setValue(0);
}

std::uint64_t VXDeletailWindowController::numberOfItemsInSection(widgets::CNGridView*, std::int64_t) {
    return arrList.size();
}

widgets::CNGridViewItemBase* VXDeletailWindowController::itemAtIndex(widgets::CNGridView*, std::int64_t index,
                                                                      std::int64_t) {
    if (index < 0 || std::size_t(index) >= arrList.size()) return nullptr;
    IFileNode* file = arrList[std::size_t(index)].file();
    OpNodeRef node = file ? OpNodeData::initWithFileNode(file) : nullptr;
    if (!node) return nullptr;
    const QString id = QString::fromLatin1(widgets::kCNDefaultItemIdentifier);
    auto* item = dynamic_cast<widgets::CNGridViewItem*>(gridMainView->dequeueReusableItemWithIdentifier(id));
    if (!item) item = new widgets::CNGridViewItem(nullptr, id);
    const QString name = node->name();
    item->setItemTitle(name);
    item->setItemImage(kit::namedImage(QStringLiteral("loading.png")));
    item->setNode(node);
    item->setDelegate(this);
    if (!name.isNull()) item->titleLabel()->setText(name);
    item->itemButton()->setImageName(node->state() == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no"));

    if (!gridLoader) {
        gridLoader = std::make_unique<PreviewLoader>(
            fetchPreview, [this](std::int64_t i, IFileNode* f, const PreviewImage& preview) {
                // The item may show another file by now, or be gone.
                auto* shown = dynamic_cast<widgets::CNGridViewItem*>(gridMainView->visibleItem(i));
                if (shown && shown->node() && shown->node()->fileNode() == f) {
                    const QImage image = previewPicture(preview);
                    if (!image.isNull()) shown->refImageWithImage(image);
                }
                if (gridLoader->state() == PreviewLoader::Stopped) gridImageState = PreviewLoader::Stopped;
            });
    }
    gridImageState = PreviewLoader::Running;
    gridLoader->enqueue({index, file, VXUIController::shared().KeepFoundFiles()});
    return item;
}

void VXDeletailWindowController::stopGridImageLoading() {
    if (gridImageState != PreviewLoader::Running) return;
    if (gridLoader) gridLoader->stop();
    gridImageState = PreviewLoader::Stopped;
}

void VXDeletailWindowController::doSelectItem(std::int64_t index) {
    VXUIController& facade = VXUIController::shared();
    if (scanRunsUnpaused() || index < 0 || std::size_t(index) >= arrList.size()) return;
    IFileNode* file = arrList[std::size_t(index)].file();
    const int state = OpNodeData::fileNodeState(file) == 2 ? 0 : 2;
    OpNodeData::setFileNode(file, state);
    // The box shows what the file has now (a partly ticked one became ticked).
    if (auto* shown = dynamic_cast<widgets::CNGridViewItem*>(gridMainView->visibleItem(index)))
        shown->itemButton()->setImageName(OpNodeData::fileNodeState(file) == 2 ? QStringLiteral("checkbox_yes")
                                                                                : QStringLiteral("checkbox_no"));
    showRecoveryButton();
    outlineView->viewport()->update();
    timeOutlineView->viewport()->update();
    if (!facade.IsScanRunning()) segment->setEnabled(true);
    if (selectSegmentCount == 1) showCoverFlowerViewWithRefresh(true);
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
    if (selectTypeCount == 3) facade.RefreshTimeTreeState(allModifyTimeArr);
    else if (selectTypeCount == 2) facade.RefreshTimeTreeState(allCreatTimeArr);
    else if (selectTypeCount == 1) facade.RefreshTypeTreeState(opDataFile);
}

} // namespace salvor::windows
