// The result trees on the left (path, type, creation and modification
// month) and the file list on the right, with its ticks and its sorting.
#include "ui/windows/DetailWindow.h"

#include "services/PublicUtilities.h"
#include "services/UIController.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"

#include <QHash>
#include <QIcon>
#include <QTimer>

#include <algorithm>
#include <numeric>

namespace salvor::windows {

namespace {

const QColor kLabelColor(160, 170, 211, 255);

OpNodeData* asItem(widgets::OutlineItem item) { return static_cast<OpNodeData*>(item); }

// The 16-point picture of an extension, made once per extension.
QPixmap extensionIcon(const QString& ext) {
    static QHash<QString, QPixmap> cache;
    auto it = cache.find(ext);
    if (it != cache.end()) return *it;
    const QString name = VXUIController::shared().getImageForType(ext);
    QPixmap pixmap;
    if (!name.isEmpty()) pixmap = QIcon::fromTheme(name).pixmap(16, 16);
    if (pixmap.isNull()) pixmap = kit::namedPixmap(QStringLiteral("1IconImage"));
    cache.insert(ext, pixmap);
    return pixmap;
}

QString checkBoxImageName(int state) {
    return state == 0 ? QStringLiteral("checkbox_no")
                      : state == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_election");
}

} // namespace

// ---- result trees ---------------------------------------------------------------

int VXDeletailWindowController::getNodeDataIsLeaf(const OpNodeData* item) const {
    if (!item || !item->children()) return 0;
    int count = 0;
    for (const OpNodeEntry& e : *item->children())
        if (e.isItem() ? e.item()->isDirect() : OpNodeData::isFileNodeDirect(e.file())) ++count;
    return count;
}

int VXDeletailWindowController::numberOfChildrenOfItem(widgets::OutlineView*, widgets::OutlineItem item) {
    if (!item) {
        const OpNodeList* roots = rootArray(selectTypeCount);
        return roots ? int(roots->size()) : 0;
    }
    return getNodeDataIsLeaf(asItem(item));
}

widgets::OutlineItem VXDeletailWindowController::child(widgets::OutlineView*, int index, widgets::OutlineItem item) {
    const OpNodeList* list = item ? asItem(item)->children() : rootArray(selectTypeCount);
    if (!list || index < 0 || std::size_t(index) >= list->size()) return nullptr;
    const OpNodeEntry& e = (*list)[std::size_t(index)];
    return e.isItem() ? e.item().get() : nullptr; // a found file is never a tree row
}

bool VXDeletailWindowController::isItemExpandable(widgets::OutlineView*, widgets::OutlineItem item) {
    if (!item) return false;
    const OpNodeData* n = asItem(item);
    return n->isDirect() && n->isHasFolderChildren() && getNodeDataIsLeaf(n) > 0;
}

QVariant VXDeletailWindowController::objectValueForTableColumn(widgets::OutlineView*, widgets::TableColumn* column,
                                                               widgets::OutlineItem item) {
    if (!item || column->identifier != QLatin1String("Name")) return {};
    return asItem(item)->name();
}

void VXDeletailWindowController::willDisplayCell(widgets::OutlineView*, widgets::Cell* cell,
                                                 widgets::TableColumn* column, widgets::OutlineItem item) {
    if (!item || column->identifier != QLatin1String("Name")) return;
    auto* button = dynamic_cast<widgets::NewButton*>(cell);
    if (!button) return;
    OpNodeData* n = asItem(item);
    button->delegate = this;
    button->opNodeData = n;
    button->labelColor = kLabelColor;
    button->font = kit::systemFont(13);
    if (selectTypeCount != 0) {
        const OpNodeRef ref = n->shared_from_this();
        button->label = QStringLiteral("%1(%2)").arg(n->name()).arg(
            static_cast<int>(VXUIController::shared().GetNodeChildrenCnt(ref)));
    } else {
        button->label = n->name().isEmpty() ? QStringLiteral("Unknow") : n->name();
    }
    if (selectTypeCount == 1 && n->isFadeNode() && n->parent())
        button->icon = extensionIcon(n->name());
    else
        button->icon = kit::namedPixmap(QStringLiteral("%1IconImage").arg(n->nodeType()));
    button->checkBoxImage = kit::namedPixmap(checkBoxImageName(n->state()));
}

bool VXDeletailWindowController::shouldSelectItem(widgets::OutlineView* view, widgets::OutlineItem item) {
    reLoadTableVolumnIndicatorImage();
    if (keyInTree_ && keyInTree_ != Qt::Key_Up && keyInTree_ != Qt::Key_Down) return false;
    if (!item) return false;
    if (item == shownThisPass_) return true;
    opDataFile = asItem(item)->shared_from_this();
    selectedRow = view->rowForItem(item);
    stopImageLoading();
    stopGridImageLoading();
    if (!arrList.empty()) clearList();
    stopRefreshTimer();
    flowSelectedIndex = 0;
    view->setSelectCellBackgroundColorWithRow(int(selectedRow));
    photos.clear();
    flowView->cacheManager().freeCache();
    flowView->reloadData();
    refashDetailPageData();
    shownThisPass_ = asItem(item);
    QTimer::singleShot(0, this, [this] { shownThisPass_ = nullptr; });
    return true;
}

// ---- file list ---------------------------------------------------------------------

int VXDeletailWindowController::numberOfRowsInTableView(widgets::CustomTableView*) { return int(arrList.size()); }

QVariant VXDeletailWindowController::objectValueForTableColumn(widgets::CustomTableView*,
                                                               widgets::TableColumn* column, int row) {
    if (row < 0 || std::size_t(row) >= arrList.size() || arrList[std::size_t(row)].isItem()) return {};
    IFileNode* file = arrList[std::size_t(row)].file();
    if (!file) return {};
    const QString& id = column->identifier;
    if (id == QLatin1String("CheckBox")) {
        if (auto* cell = dynamic_cast<widgets::ButtonCell*>(column->dataCell.get())) {
            cell->tag = row;
            cell->action = [this](widgets::ButtonCell& c) { nsbuttonCellClick(c.tag); };
            cell->image = kit::namedPixmap(OpNodeData::fileNodeState(file) == 2 ? QStringLiteral("checkbox_yes")
                                                                               : QStringLiteral("checkbox_no"));
        }
        return {};
    }
    if (id == QLatin1String("Name")) return OpNodeData::fileNodeName(file);
    const OpNodeRef n = OpNodeData::initWithFileNode(file);
    if (id == QLatin1String("Size")) return VXPublicUtilities::longlongConvertVolSpace(static_cast<long long>(n->size()));
    if (id == QLatin1String("Path")) return n->path();
    if (id == QLatin1String("Created")) return n->createTime();
    return {};
}

void VXDeletailWindowController::willDisplayCell(widgets::CustomTableView*, widgets::Cell* cell,
                                                 widgets::TableColumn* column, int row) {
    if (column->identifier != QLatin1String("Name")) return;
    auto* text = dynamic_cast<widgets::ImageAndTextCell*>(cell);
    if (!text) return;
    text->image = QPixmap();
    if (row < 0 || std::size_t(row) >= arrList.size() || arrList[std::size_t(row)].isItem()) return;
    if (OpNodeData::isFileNodeDeleted(arrList[std::size_t(row)].file()))
        text->image = kit::namedPixmap(QStringLiteral("deletered"));
}

bool VXDeletailWindowController::shouldSelectRow(widgets::CustomTableView*, int row) {
    if (selectSegmentCount == 1) {
        selectedCoverFlow(row);
        coverFlowerTableView->setRowNum(row);
    } else if (selectSegmentCount == 0) {
        tableView->setRowNum(row);
    }
    return true;
}

void VXDeletailWindowController::reLoadTableVolumnIndicatorImage() {
    if (!aTableColumn) return;
    for (widgets::CustomTableView* t : {tableView, coverFlowerTableView})
        if (widgets::TableColumn* c = t->tableColumnWithIdentifier(aTableColumn->identifier))
            if (auto* header = dynamic_cast<widgets::CustomHeaderCell*>(c->headerCell.get())) {
                header->priority = 1;
                t->horizontalHeader()->viewport()->update();
            }
}

void VXDeletailWindowController::didClickTableColumn(widgets::CustomTableView*, widgets::TableColumn* column) {
    if (scanRunsUnpaused()) return;
    VXUIController& facade = VXUIController::shared();
    stopImageLoading();
    stopGridImageLoading();
    const QString id = column->identifier;
    const bool ascending = isSorted == 1;
    int event = 0, *counter = nullptr;
    if (id == QLatin1String("Name")) event = 4157, counter = &iNameSortCN;
    else if (id == QLatin1String("Size")) event = 4158, counter = &iSizeSortCN;
    else if (id == QLatin1String("Path")) event = 4159, counter = &iPathSortCN;
    else if (id == QLatin1String("Created")) event = 4160, counter = &iTimeSortCN;
    if (counter) {
        facade.SpyIDIncreateTable2(event, ++*counter);
        // One key per row, read once; a stable sort keeps rows with equal
        // keys in one order whichever the direction.
        const std::size_t n = arrList.size();
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        auto sortBy = [&](const auto& keys) {
            if (ascending)
                std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
            else
                std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[b] < keys[a]; });
        };
        if (event == 4158 || event == 4160) {
            std::vector<long long> keys(n);
            std::vector<std::uint64_t> sizes(n);
            for (std::size_t i = 0; i < n; ++i) {
                IFileNode* f = arrList[i].isItem() ? nullptr : arrList[i].file();
                if (!f) continue;
                if (event == 4158) sizes[i] = OpNodeData::fileNodeSize(f);
                else keys[i] = OpNodeData::initWithFileNode(f)->createTimeValue();
            }
            if (event == 4158) sortBy(sizes);
            else sortBy(keys);
        } else {
            std::vector<QString> keys(n);
            for (std::size_t i = 0; i < n; ++i) {
                IFileNode* f = arrList[i].isItem() ? nullptr : arrList[i].file();
                if (!f) continue;
                keys[i] = event == 4157 ? OpNodeData::fileNodeName(f) : OpNodeData::initWithFileNode(f)->path();
            }
            sortBy(keys);
        }
        tableView->willReloadData();
        coverFlowerTableView->willReloadData();
        OpNodeList sorted;
        sorted.reserve(n);
        for (std::size_t i : order) sorted.push_back(arrList[i]);
        arrList = std::move(sorted);
    }
    reLoadTableVolumnIndicatorImage();
    widgets::CustomTableView* shown = selectSegmentCount == 0 ? tableView : coverFlowerTableView;
    if (widgets::TableColumn* c = shown->tableColumnWithIdentifier(id))
        if (auto* header = dynamic_cast<widgets::CustomHeaderCell*>(c->headerCell.get())) header->setSortAscending(ascending, 0);
    reloadTables();
    shown->horizontalHeader()->viewport()->update();
    if (selectSegmentCount != 0) {
        flowSelectedIndex = 0;
        photos.clear();
        showCoverFlowerViewWithRefresh(true);
    }
    aTableColumn = column;
    isSorted = isSorted ? 0 : 1;
}

void VXDeletailWindowController::nsbuttonCellClick(int row) {
    if (scanRunsUnpaused()) return;
    if (row < 0 || std::size_t(row) >= arrList.size() || arrList[std::size_t(row)].isItem()) return;
    IFileNode* file = arrList[std::size_t(row)].file();
    if (!file) return;
    VXUIController& facade = VXUIController::shared();
    showRecoveryButton();
    OpNodeData::initWithFileNode(file)->setNodeState(OpNodeData::fileNodeState(file) == 2 ? 0 : 2);
    outlineView->viewport()->update();
    timeOutlineView->viewport()->update();
    tableView->viewport()->update();
    coverFlowerTableView->viewport()->update();
    if (!facade.IsScanRunning()) segment->setEnabled(true);
    if (selectSegmentCount == 2) showGridView();
    else if (selectSegmentCount == 1) showCoverFlowerViewWithRefresh(true);
    changeSelectAllButtonState();
    showSelectFilesCountAndSize();
    if (selectTypeCount == 1) facade.RefreshTypeTreeState(opDataFile);
    else if (selectTypeCount == 2) facade.RefreshTimeTreeState(allCreatTimeArr);
    else if (selectTypeCount == 3) facade.RefreshTimeTreeState(allModifyTimeArr);
}

} // namespace salvor::windows
