#include "ui/windows/StartPages.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/Panels.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/LinkUrl.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;
using widgets::OutlineItem;
using widgets::OutlineView;

namespace {

// Posted once the device list stands again after a refresh.
constexpr const char* kDevicesListed = "DeviceListRefreshed";

QWidget* newPage() {
    auto* page = new QWidget;
    page->resize(kPageWidth, kPageHeight);
    page->setAutoFillBackground(true);
    QPalette pal = page->palette();
    pal.setColor(QPalette::Window, widgets::outlineRowColor());
    page->setPalette(pal);
    return page;
}

widgets::TCImageButton* pillButton(QWidget* parent, const QString& stem, const kit::Frame& f) {
    auto* b = widgets::TCImageButton::fromDescription(parent);
    kit::setFrame(b, f);
    b->setButtonEnabled(true);
    b->setImageFromFileNormalName(stem + QStringLiteral("_normal"), stem + QStringLiteral("_press"),
                                  stem + QStringLiteral("_hover"), stem + QStringLiteral("_disable"));
    return b;
}

DiskVolumeNodeData* itemOf(OutlineItem item) { return static_cast<DiskVolumeNodeData*>(item); }

} // namespace

// ---- welcome page ------------------------------------------------------------

QWidget* VXComeInViewController::loadView() {
    QWidget* page = newPage();
    blowTitleLabel = windowLabel(page, localizedString("PAGE_ONE_BLOW_TITLE"), kit::Frame{0, 360, 1000, 40}, 24, 2);
    blowNodeLabel = windowLabel(page, localizedString("PAGE_ONE_BLOW_DISCRIPTION"), kit::Frame{100, 260, 800, 80}, 14, 2);
    auto* icon = new QPushButton(page);
    icon->setFlat(true);
    icon->setIcon(kit::namedPixmap(QStringLiteral("logo")));
    icon->setIconSize(QSize(64, 64));
    kit::setFrame(icon, kit::Frame{468, 420, 64, 64});
    connect(icon, &QPushButton::clicked, this, [this] { iconButtonAction(); });
    auto* go = pillButton(page, QStringLiteral("continue"), kit::Frame{455, 80, 90, 32});
    connect(go, &QAbstractButton::clicked, this, [this] { InfoButtonClick(); });
    return page;
}

void VXComeInViewController::iconButtonAction() { VXLinkUrl::open(localizedString("MAIN_ICON_LINK")); }

// ---- file-type page ----------------------------------------------------------

namespace {
struct TypeToggle {
    const char* stem;
    const char* caption;
};
constexpr TypeToggle kToggles[6] = {
    {"icon_graphics", "PAGE_TWO_PICTURE_TITLE"}, {"icon_audio", "PAGE_TWO_MUSIC_TITLE"},
    {"icon_video", "PAGE_TWO_MOVIE_TITLE"},      {"icon_archive", "PAGE_TWO_ARCHIVE_TITLE"},
    {"icon_document", "PAGE_TWO_DOCUMENT_TITLE"}, {"icon_other", "PAGE_TWO_OTHER_TITLE"},
};
} // namespace

QWidget* VXSelectTypeViewController::loadView() {
    QWidget* page = newPage();
    auto* top = new widgets::SelectTypeTopView(page);
    kit::setFrame(top, kit::Frame{0, 478, 1000, 140});
    midlleLabel = windowLabel(top, QString(), kit::Frame{0, 50, 1000, 30}, 20, 2);
    for (int tag = 0; tag < 6; ++tag) {
        typeButtons[tag] = widgets::TypeButton::fromDescription(page);
        typeButtons[tag]->setObjectName(QString::fromLatin1(kToggles[tag].stem));
        // 90 high: the picture, the title and, below it, the check mark.
        kit::setFrame(typeButtons[tag], kit::Frame{105.0 + tag * 140, 260, 90, 90});
    }
    alltypesButton = new QPushButton(page);
    alltypesButton->setObjectName(QStringLiteral("alltypesButton"));
    alltypesButton->setIconSize(QSize(14, 14));
    alltypesButton->setFocusPolicy(Qt::TabFocus);
    widgets::setFocusRing(alltypesButton);
    kit::setFrame(alltypesButton, kit::Frame{425, 190, 20, 20});
    alltypesLabel = windowLabel(page, QString(), kit::Frame{450, 190, 200, 20}, 14, 0);
    startScanButton = widgets::TCImageButton::fromDescription(page);
    startScanButton->setObjectName(QStringLiteral("startScanButton"));
    kit::setFrame(startScanButton, kit::Frame{425, 70, 150, 40});
    // Tab walks the toggles, the box and the start button in this order.
    QWidget* previous = typeButtons[0];
    for (QWidget* next : {static_cast<QWidget*>(typeButtons[1]), static_cast<QWidget*>(typeButtons[2]),
                          static_cast<QWidget*>(typeButtons[3]), static_cast<QWidget*>(typeButtons[4]),
                          static_cast<QWidget*>(typeButtons[5]), static_cast<QWidget*>(alltypesButton),
                          static_cast<QWidget*>(startScanButton)}) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    }
    return page;
}

void VXSelectTypeViewController::awakeFromNib() {
    alltypesLabel->setText(localizedString("PAGE_TWO_ALLTYPES"));
    midlleLabel->setText(localizedString("PAGE_TWO_MIDLLE_STRING"));
    startScanButton->setButtonEnabled(true);
    startScanButton->setImageFromFileNormalName(QStringLiteral("start_normal"), QStringLiteral("start_press"),
                                                QStringLiteral("start_hover"), QStringLiteral("start_disable"));
    connect(startScanButton, &QAbstractButton::clicked, this, [this] { beginToStartScan(); });
    for (int tag = 0; tag < 6; ++tag) {
        widgets::TypeButton* b = typeButtons[tag];
        const QString stem = QString::fromLatin1(kToggles[tag].stem);
        b->setButtonEnabled(true);
        b->setImageFromFileNormalName(stem + QStringLiteral("_normal"), stem + QStringLiteral("_press"),
                                      stem + QStringLiteral("_hover"), stem + QStringLiteral("_disable"));
        b->setTextWithName(localizedString(kToggles[tag].caption));
        connect(b, &QAbstractButton::clicked, this, [this, b] { selectButtonClick(b); });
    }
    connect(alltypesButton, &QPushButton::clicked, this, [this] { allTypesButtonClick(); });
    setBoxImage(QStringLiteral("checkbox_no"));
}

void VXSelectTypeViewController::setBoxImage(const QString& name) {
    boxImage_ = name;
    alltypesButton->setIcon(kit::namedPixmap(name));
}

void VXSelectTypeViewController::selectButtonClick(widgets::TypeButton* toggle) {
    toggle->changeSelect(!toggle->isSelect());
    changeAllSelectState(toggle);
}

void VXSelectTypeViewController::changeAllSelectState(widgets::TypeButton* toggle) {
    int tag = 0;
    while (tag < 6 && typeButtons[tag] != toggle) ++tag;
    const QString bit = QString::number(1 << tag);
    if (toggle->isSelect())
        selectArr.append(bit);
    else
        selectArr.removeAll(bit);
    if (!selectArr.isEmpty()) {
        const bool all = selectArr.size() == 6;
        setBoxImage(all ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_election"));
        selectAllCount = all ? 1 : 2;
        startScanButton->setButtonEnabled(true);
    } else {
        setBoxImage(QStringLiteral("checkbox_no"));
        selectAllCount = 0;
        startScanButton->setButtonEnabled(false);
    }
    if (delegate) delegate->changeContinueButtonState(selectArr);
}

void VXSelectTypeViewController::allTypesButtonClick() {
    selectArr.clear();
    const bool all = selectAllCount != 1;
    selectAllCount = all ? 1 : 0;
    setBoxImage(all ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no"));
    for (int tag = 0; tag < 6; ++tag) {
        typeButtons[tag]->changeSelect(all);
        if (all) selectArr.append(QString::number(1 << tag));
    }
    startScanButton->setButtonEnabled(all);
    if (delegate) delegate->changeContinueButtonState(selectArr);
}

// ---- device page -------------------------------------------------------------

VXSelectDiskViewController::~VXSelectDiskViewController() {
    NotificationCenter::defaultCenter().removeObserver(this);
    platform::cancelPerforms(this);
    // The outline goes with the view; it must not ask for the items any more.
    if (outlineView) {
        outlineView->setDataSource(nullptr);
        outlineView->setDelegate(nullptr);
    }
}

QWidget* VXSelectDiskViewController::loadView() {
    QWidget* page = newPage();
    middleLabel = windowLabel(page, QString(), kit::Frame{0, 560, 1000, 30}, 20, 2);
    outlineView = new widgets::VXCustomOutlineView(page);
    outlineView->setObjectName(QStringLiteral("deviceOutline"));
    kit::setFrame(outlineView, kit::Frame{50, 90, 900, 450});
    const struct {
        const char* id;
        int width;
    } columns[] = {{"Name", 480}, {"Size", 160}, {"FileSystem", 180}, {"select", 60}};
    for (const auto& c : columns) {
        const QString id = QString::fromLatin1(c.id);
        widgets::TableColumn* col =
            outlineView->addTableColumn(id, QString(), c.width, std::make_unique<widgets::ImageAndTextCell>());
        auto header = std::make_unique<widgets::CustomTableHeaderView>();
        header->font = kit::systemFont(12);
        col->headerCell = std::move(header);
    }
    backButton = pillButton(page, QStringLiteral("back"), kit::Frame{50, 30, 90, 32});
    scanButton = pillButton(page, QStringLiteral("continue"), kit::Frame{860, 30, 90, 32});
    scanButton->setObjectName(QStringLiteral("scanButton"));
    return page;
}

void VXSelectDiskViewController::awakeFromNib() {
    enableRefreshDevice();
    middleLabel->setText(localizedString("PAGE_THREE_MIDLLE_STRING"));
    for (int i = 0; i < outlineView->columnCount(); ++i) {
        widgets::TableColumn* c = outlineView->column(i);
        // The check-mark column has no title: a second "File System" would
        // name something it does not show.
        const QString& id = c->identifier;
        c->headerCell->title = id == QLatin1String("Name")         ? localizedString("PAGE_THREE_TABLEVIEW_DRIVES")
                               : id == QLatin1String("Size")       ? localizedString("PAGE_THREE_TABLEVIEW_SIZE")
                               : id == QLatin1String("FileSystem") ? localizedString("PAGE_THREE_TABLEVIEW_FILESYSTEM")
                                                                   : QString();
    }
    connect(outlineView, &QAbstractItemView::doubleClicked, this, [this] { doubleToScan(); });
    connect(outlineView->header(), &QHeaderView::sectionDoubleClicked, this, [this] { doubleToScan(); });
    connect(backButton, &QAbstractButton::clicked, this, [this] { backHomeButtonAction(); });
    connect(scanButton, &QAbstractButton::clicked, this, [this] { doScanAction(); });
}

void VXSelectDiskViewController::InitFinished(const std::string& keep) {
    view();
    listing_ = true;
    rootArr.clear();
    outlineView->setDataSource(this);
    outlineView->setDelegate(this);
    outlineView->header()->setSectionsMovable(false);
    outlineView->reloadData();
    QAbstractItemModel* model = outlineView->model();
    for (int i = 0; i < model->rowCount(); ++i) outlineView->expand(model->index(i, 0));
    // The device chosen stays chosen while it is listed, wherever the list
    // now places it; otherwise row 1: the first volume of the first disk, or
    // the second disk. The choice follows the rebuilt list: after a refresh
    // the old items are gone.
    QModelIndex one;
    selectDiskVolume.reset();
    for (int i = 0; !keep.empty() && !one.isValid() && i < int(allDiskArr.size()); ++i) {
        const DiskVolumeNodeRef& disk = allDiskArr[size_t(i)];
        if (disk->identity() == keep) {
            one = model->index(i, 0);
            selectDiskVolume = disk;
            disk->setParentName(disk->name());
        }
        for (int j = 0; !one.isValid() && j < int(disk->children().size()); ++j)
            if (disk->children()[size_t(j)]->identity() == keep) {
                one = model->index(j, 0, model->index(i, 0));
                selectDiskVolume = disk->children()[size_t(j)];
            }
    }
    if (!one.isValid() && !allDiskArr.empty() && !allDiskArr.front()->children().empty()) {
        one = model->index(0, 0, model->index(0, 0));
        selectDiskVolume = allDiskArr.front()->children().front();
    } else if (!one.isValid() && allDiskArr.size() > 1) {
        one = model->index(1, 0);
        selectDiskVolume = allDiskArr[1];
    }
    rootArr.clear();
    reloadRootRows();
    selectedRow = one.isValid() ? outlineView->rowForItem(selectDiskVolume.get()) : -1;
    outlineView->setSelectCellBackgroundColorWithRow(int(selectedRow));
    listing_ = false;
    if (one.isValid()) {
        scanButton->setButtonEnabled(true);
        outlineView->selectionModel()->setCurrentIndex(
            one, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    logChoice();
    // The page's first listing gives the list the focus. A device coming or
    // going leaves it where the user put it (Tab to the scan button, then
    // Space); only focus gone from the window's shown controls comes back.
    const QWidget* focused = outlineView->window()->focusWidget();
    const bool kept = listedOnce_ && focused && focused != outlineView && focused->isVisible() && focused->isEnabled();
    if (!kept) outlineView->setFocus();
    listedOnce_ = true;
}

bool VXSelectDiskViewController::chosenRowSelected() const {
    if (!selectDiskVolume) return false;
    const QModelIndex chosen = outlineView->indexForItem(selectDiskVolume.get());
    return chosen.isValid() && outlineView->selectionModel()->isRowSelected(chosen.row(), chosen.parent());
}

DiskVolumeNodeRef VXSelectDiskViewController::refFor(const DiskVolumeNodeData* item) const {
    if (!item) return {};
    for (const DiskVolumeNodeRef& disk : allDiskArr) {
        if (disk.get() == item) return disk;
        for (const DiskVolumeNodeRef& volume : disk->children())
            if (volume.get() == item) return volume;
    }
    return {};
}

void VXSelectDiskViewController::RefreshDevice() {
    // The wait runs from the first event of a burst, not the last: events
    // coming faster than it never hold the list back.
    if (refreshPending_) return;
    refreshPending_ = true;
    platform::performAfterDelay(
        kRefreshDelay,
        [this] {
            refreshPending_ = false;
            VXUIController::shared().RefreshDeviceInfoInBackground(kDevicesListed);
        },
        this);
}

void VXSelectDiskViewController::getDiskValue() {
    const std::string keep = selectDiskVolume ? selectDiskVolume->identity() : std::string();
    listing_ = true;
    // The outline lets go of the old items before they are freed.
    if (outlineView) outlineView->willReloadData();
    allDiskArr.clear();
    VXUIController::shared().GetDeviceInfoToArray(allDiskArr);
    InitFinished(keep);
}

void VXSelectDiskViewController::removeNotification() {
    NotificationCenter::defaultCenter().removeObserver(this);
    platform::cancelPerforms(this);
    refreshPending_ = false;
}

void VXSelectDiskViewController::disableRefreshDevice() {
    NotificationCenter::defaultCenter().removeObserver(this, "RefreshAttachDevice");
    NotificationCenter::defaultCenter().removeObserver(this, "RefreshDetachDevice");
    NotificationCenter::defaultCenter().removeObserver(this, kDevicesListed);
    platform::cancelPerforms(this);
    refreshPending_ = false;
}

void VXSelectDiskViewController::enableRefreshDevice() {
    disableRefreshDevice(); // observed once
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    for (const char* name : {"RefreshAttachDevice", "RefreshDetachDevice"})
        nc.addObserver(static_cast<const void*>(this), name, [this](const platform::Notification&) { RefreshDevice(); });
    nc.addObserver(static_cast<const void*>(this), kDevicesListed,
                   [this](const platform::Notification&) { getDiskValue(); });
}

void VXSelectDiskViewController::doubleToScan() {
    if (outlineView->isSelectRow() != -1 && !bClickHead) doScanAction();
}

int VXSelectDiskViewController::numberOfChildrenOfItem(OutlineView*, OutlineItem item) {
    if (!item) return int(allDiskArr.size());
    return int(itemOf(item)->children().size());
}

OutlineItem VXSelectDiskViewController::child(OutlineView*, int index, OutlineItem item) {
    const auto& list = item ? itemOf(item)->children() : allDiskArr;
    return index >= 0 && size_t(index) < list.size() ? list[size_t(index)].get() : nullptr;
}

bool VXSelectDiskViewController::isItemExpandable(OutlineView*, OutlineItem item) {
    return item ? !itemOf(item)->children().empty() : !allDiskArr.empty();
}

QVariant VXSelectDiskViewController::objectValueForTableColumn(OutlineView*, widgets::TableColumn* column,
                                                               OutlineItem item) {
    if (!item) return {};
    const DiskVolumeNodeData* d = itemOf(item);
    if (column->identifier == QLatin1String("Name")) return d->name();
    if (column->identifier == QLatin1String("Size")) return d->sizeText();
    if (column->identifier == QLatin1String("FileSystem")) return d->kindText();
    return {};
}

void VXSelectDiskViewController::willDisplayCell(OutlineView*, widgets::Cell* cell, widgets::TableColumn* column,
                                                 OutlineItem item) {
    auto* text = dynamic_cast<widgets::ImageAndTextCell*>(cell);
    if (!text || !item) return;
    const DiskVolumeNodeData* d = itemOf(item);
    const bool chosen = selectedRow >= 0 && outlineView->rowForItem(item) == selectedRow;
    text->textColor = chosen ? QColor(Qt::white) : QColor(175, 186, 219);
    text->font = kit::systemFont(13);
    if (column->identifier == QLatin1String("Name"))
        text->image = kit::namedPixmap(d->isDmg() ? QStringLiteral("mirror_image")
                                       : d->isUsb() ? QStringLiteral("usb.png")
                                                    : QStringLiteral("0IconImage"))
                          .scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    else if (column->identifier == QLatin1String("select"))
        text->image = chosen ? kit::namedPixmap(QStringLiteral("select")) : QPixmap();
    else
        text->image = QPixmap();
}

bool VXSelectDiskViewController::shouldSelectItem(OutlineView*, OutlineItem item) {
    bClickHead = false;
    const int row = outlineView->rowForItem(item);
    outlineView->setSelectCellBackgroundColorWithRow(row);
    selectedRow = row;
    selectDiskVolume = refFor(itemOf(item));
    if (selectDiskVolume) {
        const DiskVolumeNodeData* parent = itemOf(outlineView->parentForItem(item));
        selectDiskVolume->setParentName(parent ? parent->name() : selectDiskVolume->name());
    }
    scanButton->setButtonEnabled(true);
    return true;
}

void VXSelectDiskViewController::selectionDidChange(OutlineView*) {
    // A listing on its way reports its own choice when it ends.
    if (listing_) return;
    // The selection went without a row being chosen (a click on empty
    // space). A change that leaves the chosen row selected (one a burst of
    // events repeats) takes nothing away: the device stays chosen.
    if (selectDiskVolume == oldSelectDiskVolume && !chosenRowSelected()) {
        selectedRow = -1;
        selectDiskVolume.reset();
        scanButton->setButtonEnabled(false);
        outlineView->setSelectCellBackgroundColorWithRow(-1);
        outlineView->viewport()->update();
    }
    if (delegate) delegate->changeSelectDiskViewContinueButtonEnabled(selectDiskVolume);
    oldSelectDiskVolume = selectDiskVolume;
    logChoice();
}

void VXSelectDiskViewController::logChoice() const {
    // What Return would scan, in the log: a report shows which device it was.
    if (!selectDiskVolume) {
        services::writeLog("device chosen: none\n");
        return;
    }
    const QString& parent = selectDiskVolume->parentName();
    services::writeLog("device chosen: %s (on %s)\n", selectDiskVolume->name().toUtf8().constData(),
                       (parent.isEmpty() ? selectDiskVolume->name() : parent).toUtf8().constData());
}

void VXSelectDiskViewController::reloadCellBackgroundColor() {
    selectedRow = -1;
    if (!outlineView) return;
    outlineView->setSelectCellBackgroundColorWithRow(-1);
    if (rootArr.isEmpty()) return;
    rootArr.clear();
    reloadRootRows();
}

void VXSelectDiskViewController::reloadRootRows() {
    // The rows of the disks that have volumes, over what is expanded now.
    QAbstractItemModel* model = outlineView->model();
    int row = 0;
    for (int i = 0; i < model->rowCount(); ++i, ++row) {
        const QModelIndex disk = model->index(i, 0);
        const int volumes = model->rowCount(disk);
        if (volumes > 0) rootArr.append(QString::number(row));
        if (outlineView->isExpanded(disk)) row += volumes;
    }
    outlineView->setIsRootArr(&rootArr);
    outlineView->viewport()->update();
}

} // namespace salvor::windows
