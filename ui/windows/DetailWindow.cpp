// The results window: how it is built, how scan and load updates enter it,
// the notifications it follows and how it closes.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/Log.h"
#include "services/PublicUtilities.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/AttachedWindow.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/Panels.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/ProgressWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDateTime>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>

#include <chrono>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;

namespace {

constexpr int kLeftPaneWidth = 250;
constexpr int kTabHeight = 40;
constexpr int kSubTabHeight = 30;
constexpr int kPageBarHeight = 40;
const QColor kTabTitleColor(174, 184, 222, 255);

QPushButton* tabButton(QWidget* parent, const char* objectName) {
    auto* b = new QPushButton(parent);
    b->setObjectName(QLatin1String(objectName));
    b->setFlat(true);
    b->setFont(kit::systemFont(13));
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

// The dark background of the panes.
void darkBackground(QWidget* w, const QColor& c = QColor(32, 36, 39)) {
    w->setAutoFillBackground(true);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, c);
    w->setPalette(pal);
}

} // namespace

QImage Photo::imageRepresentation() const { return image ? *image : QImage(); }

// ---- the list / preview / grid switch -----------------------------------------

ResultsSegment::ResultsSegment(QWidget* parent) : QWidget(parent), group_(new QButtonGroup(this)) {
    static const char* const names[] = {"list_focus", "preview_no_hover", "grid_no_hover"};
    for (int i = 0; i < 3; ++i) {
        auto* b = new QPushButton(this);
        b->setCheckable(true);
        b->setFlat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setGeometry(i * 30, 0, 30, 24);
        b->setIcon(QIcon(kit::namedPixmap(QLatin1String(names[i]))));
        group_->addButton(b, i);
    }
    group_->button(0)->setChecked(true);
    connect(group_, &QButtonGroup::idClicked, this, [this](int id) {
        selected_ = id;
        emit segmentClicked(id);
    });
}

void ResultsSegment::setSelectedSegment(int index) {
    if (index < 0 || index > 2) return;
    selected_ = index;
    group_->button(index)->setChecked(true);
}

void ResultsSegment::setImage(int index, const QString& imageName) {
    if (QAbstractButton* b = button(index)) b->setIcon(QIcon(kit::namedPixmap(imageName)));
}

QAbstractButton* ResultsSegment::button(int index) const { return group_->button(index); }

// ---- building --------------------------------------------------------------------

VXDeletailWindowController::VXDeletailWindowController()
    : kit::WindowController(QStringLiteral("VXDeletailWindowController")) {}

VXDeletailWindowController::~VXDeletailWindowController() {
    NotificationCenter::defaultCenter().removeObserver(this);
    platform::cancelPerforms(this);
    if (operationQueue) {
        operationQueue->clear();
        operationQueue->waitForDone();
    }
    releaseChildControllers();
}

void VXDeletailWindowController::releaseChildControllers() {
    if (attachedWindow) {
        if (popView) popView->setParent(nullptr);
        delete attachedWindow.data();
    }
    delete deepScanVC; // also takes popView, which it made
    deepScanVC = nullptr;
    popView = nullptr;
}

widgets::TCImageWindow* VXDeletailWindowController::imageWindow() {
    return static_cast<widgets::TCImageWindow*>(window());
}

QWidget* VXDeletailWindowController::loadWindow() {
    // Built with the platform's bar; the 90-point bar set after the build
    // takes its height from the content, so the window stays 1000 x 700.
    const double barNow = widgets::TCImageWindow::platformMetrics().titleBarHeight;
    auto* w = new widgets::TCImageWindow(QSize(kWidth, int(kHeight - barNow)));
    w->setWindowTitle(localizedString("WINDOW_TOP_TITLE"));
    if (VXAppDelegate::current()) w->setApplicationMenu(VXAppDelegate::current()->menu());
    QWidget* content = w->contentView();
    const double height = content->height();

    // The panes are built at their first size, then handed to the split view.
    splistView = new widgets::CustemSplitView(Qt::Horizontal, content);
    splistView->setObjectName(QStringLiteral("splistView"));
    kit::setFrame(splistView, kit::Frame{0, 0, double(kWidth), height}, kit::kViewWidthSizable | kit::kViewHeightSizable);
    splistView->setChildrenCollapsible(false);
    splistView->setHandleWidth(1);
    splistLeftView = new QWidget(splistView);
    splistLeftView->setObjectName(QStringLiteral("splistLeftView"));
    splistLeftView->resize(kLeftPaneWidth, int(height));
    auto* right = new QWidget(splistView);
    right->setObjectName(QStringLiteral("splistRightView"));
    right->resize(kWidth - kLeftPaneWidth - 1, int(height));
    buildLeftPane(splistLeftView);
    buildRightPane(right);
    // The divider stays between 224 and 400 points.
    splistLeftView->setMinimumWidth(224);
    splistLeftView->setMaximumWidth(400);
    splistView->addWidget(splistLeftView);
    splistView->addWidget(right);
    splistView->setStretchFactor(0, 0);
    splistView->setStretchFactor(1, 1);
    splistView->setSizes({kLeftPaneWidth, kWidth - kLeftPaneWidth - 1});
    return w;
}

void VXDeletailWindowController::buildLeftPane(QWidget* pane) {
    darkBackground(pane);
    const double w = pane->width(), h = pane->height();
    pathButton = tabButton(pane, "pathButton");
    typeButton = tabButton(pane, "typeButton");
    timeButton = tabButton(pane, "timeButton");
    const double third = w / 3;
    kit::setFrame(pathButton, kit::Frame{0, h - kTabHeight, third, kTabHeight}, kit::kViewMinYMargin | kit::kViewWidthSizable);
    kit::setFrame(typeButton, kit::Frame{third, h - kTabHeight, third, kTabHeight},
                  kit::kViewMinYMargin | kit::kViewWidthSizable | kit::kViewMinXMargin | kit::kViewMaxXMargin);
    kit::setFrame(timeButton, kit::Frame{2 * third, h - kTabHeight, third, kTabHeight},
                  kit::kViewMinYMargin | kit::kViewWidthSizable | kit::kViewMinXMargin);
    timeButton->setText(localizedString("PAGE_FOUR_SELECT_TYPE_BUTTON_TIME"));
    pathButton->setIcon(QIcon(kit::namedPixmap(QStringLiteral("bg_tab"))));
    connect(pathButton, &QPushButton::clicked, this, [this] { pathButtonClick(); });
    connect(typeButton, &QPushButton::clicked, this, [this] { typeButtonClick(); });
    connect(timeButton, &QPushButton::clicked, this, [this] { timeButtonClick(); });

    const int sizable = kit::kViewWidthSizable | kit::kViewHeightSizable;
    PTOutlineViewBlowView = new QWidget(pane);
    PTOutlineViewBlowView->setObjectName(QStringLiteral("PTOutlineViewBlowView"));
    kit::setFrame(PTOutlineViewBlowView, kit::Frame{0, 0, w, h - kTabHeight}, sizable);
    outlineView = new widgets::CustemOutlineView(PTOutlineViewBlowView);
    outlineView->setObjectName(QStringLiteral("outlineView"));
    kit::setFrame(outlineView, kit::Frame{0, 0, w, h - kTabHeight}, sizable);

    timeOutlineBlowView = new QWidget(pane);
    timeOutlineBlowView->setObjectName(QStringLiteral("timeOutlineBlowView"));
    kit::setFrame(timeOutlineBlowView, kit::Frame{0, 0, w, h - kTabHeight}, sizable);
    const double inner = h - kTabHeight;
    creatButton = tabButton(timeOutlineBlowView, "creatButton");
    modifyButton = tabButton(timeOutlineBlowView, "modifyButton");
    kit::setFrame(creatButton, kit::Frame{0, inner - kSubTabHeight, w / 2, kSubTabHeight},
                  kit::kViewMinYMargin | kit::kViewWidthSizable);
    kit::setFrame(modifyButton, kit::Frame{w / 2, inner - kSubTabHeight, w / 2, kSubTabHeight},
                  kit::kViewMinYMargin | kit::kViewWidthSizable | kit::kViewMinXMargin);
    connect(creatButton, &QPushButton::clicked, this, [this] { timeButtonClick(); });
    connect(modifyButton, &QPushButton::clicked, this, [this] { modifyTimeButtonClick(); });
    timeOutlineView = new widgets::CustemOutlineView(timeOutlineBlowView);
    timeOutlineView->setObjectName(QStringLiteral("timeOutlineView"));
    kit::setFrame(timeOutlineView, kit::Frame{0, 0, w, inner - kSubTabHeight}, sizable);
    timeOutlineBlowView->hide();

    for (widgets::CustemOutlineView* o : {outlineView, timeOutlineView}) {
        auto cell = std::make_unique<widgets::NewButton>();
        o->addTableColumn(QStringLiteral("Name"), QString(), kLeftPaneWidth, std::move(cell));
        o->header()->hide();
        o->header()->setStretchLastSection(true);
        o->setUniformRowHeights(true);
        o->setDataSource(this);
        o->setDelegate(this);
        o->setIsSelectRow(-1); // no chosen row until one is chosen
        o->installEventFilter(this);
    }
}

void VXDeletailWindowController::buildListTable(widgets::CustomTableView* table) {
    auto tick = std::make_unique<widgets::ButtonCell>();
    tick->action = [this](widgets::ButtonCell& cell) { nsbuttonCellClick(cell.tag); };
    table->addTableColumn(QStringLiteral("CheckBox"), QString(), 40, std::move(tick));
    auto name = std::make_unique<widgets::ImageAndTextCell>();
    name->textColor = QColor(160, 170, 211);
    table->addTableColumn(QStringLiteral("Name"), localizedString("PAGE_FOUR_TABLE_NAME"), 220, std::move(name));
    for (const char* id : {"Size", "Path", "Created"}) {
        auto c = std::make_unique<widgets::ImageAndTextCell>();
        c->textColor = QColor(160, 170, 211);
        const QString key = QStringLiteral("PAGE_FOUR_TABLE_%1").arg(QString::fromLatin1(id).toUpper());
        table->addTableColumn(QLatin1String(id), localizedString(key), QLatin1String(id) == QLatin1String("Path") ? 220 : 100,
                              std::move(c));
    }
    table->setDataSource(this);
    table->setDelegate(this);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->setTabKeyNavigation(false); // Tab leaves the list
}

void VXDeletailWindowController::buildRightPane(QWidget* pane) {
    darkBackground(pane, QColor(39, 43, 47));
    const double w = pane->width(), h = pane->height(), page = h - kPageBarHeight;
    const int sizable = kit::kViewWidthSizable | kit::kViewHeightSizable;
    segment = new ResultsSegment(pane);
    segment->setObjectName(QStringLiteral("segment"));
    kit::setFrame(segment, kit::Frame{w - 110, h - kPageBarHeight + 8, 90, 24}, kit::kViewMinXMargin | kit::kViewMinYMargin);
    connect(segment, &ResultsSegment::segmentClicked, this, [this](int index) { segmentSelect(index); });

    tableScrollView = new QWidget(pane);
    tableScrollView->setObjectName(QStringLiteral("tableScrollView"));
    kit::setFrame(tableScrollView, kit::Frame{0, 0, w, page}, sizable);
    tableView = new widgets::CustomTableView(tableScrollView);
    tableView->setObjectName(QStringLiteral("tableView"));
    kit::setFrame(tableView, kit::Frame{0, 0, w, page}, sizable);
    buildListTable(tableView);

    coverFlower = new QWidget(pane);
    coverFlower->setObjectName(QStringLiteral("coverFlower"));
    kit::setFrame(coverFlower, kit::Frame{0, 0, w, page}, sizable);
    darkBackground(coverFlower, Qt::black);
    flowView = new widgets::ImageFlowView(coverFlower);
    flowView->setObjectName(QStringLiteral("flowView"));
    kit::setFrame(flowView, kit::Frame{0, page / 2, w, page / 2}, kit::kViewWidthSizable | kit::kViewMinYMargin | kit::kViewHeightSizable);
    coverFlowerTableView = new widgets::CustomTableView(coverFlower);
    coverFlowerTableView->setObjectName(QStringLiteral("coverFlowerTableView"));
    kit::setFrame(coverFlowerTableView, kit::Frame{0, 0, w, page / 2}, kit::kViewWidthSizable | kit::kViewMaxYMargin | kit::kViewHeightSizable);
    buildListTable(coverFlowerTableView);
    coverFlower->hide();

    gridView = new QWidget(pane);
    gridView->setObjectName(QStringLiteral("gridView"));
    kit::setFrame(gridView, kit::Frame{0, 0, w, page}, sizable);
    gridScroll = new widgets::CNGridScrollView(gridView);
    kit::setFrame(gridScroll, kit::Frame{0, 0, w, page}, sizable);
    gridMainView = gridScroll->gridView();
    gridMainView->setObjectName(QStringLiteral("gridMainView"));
    gridMainView->setDataSource(this);
    gridMainView->setDelegate(this);
    gridView->hide();
}

void VXDeletailWindowController::awakeFromNib() {
    NotificationCenter::defaultCenter().addObserver(
        this, "RefreshDetachDevice", [this](const platform::Notification& n) { RefreshDevice(n.value("USBPath")); });
    typeButton->setText(localizedString("PAGE_FOUR_SELECT_TYPE_BUTTON_TYPE"));
    pathButton->setText(localizedString("PAGE_FOUR_SELECT_TYPE_BUTTON_PATH"));
    creatButton->setText(localizedString("PAGE_FOUR_SELECT_TYPE_BUTTON_CREATTIME"));
    modifyButton->setText(localizedString("PAGE_FOUR_SELECT_TYPE_BUTTON_MODIFYTIME"));
    for (QPushButton* b : {pathButton, typeButton, timeButton, creatButton, modifyButton})
        setButtonTitleColor(b, kTabTitleColor);
    bSave = 0;
    flowSelectedIndex = 0;
    publicItem.reset();
    fadeIn();
    window()->installEventFilter(this); // resizes
    rectNew = kit::Frame{};
    defaultLayout = hoverLayout = selectionLayout = widgets::CNGridViewItemLayout::defaultLayout();
    nImageState = -1;
    gridImageState = -1;
    iSearchClickCN = iSearchClearCN = iTypeClickCN = iPreviewModeCN = iPauseCN = iContinueCN = iPauseRecoveryCN =
        iNameSortCN = iSizeSortCN = iPathSortCN = iTimeSortCN = 0;
    tPageStart = QDateTime::currentSecsSinceEpoch();
}

void VXDeletailWindowController::windowDidLoad() {
    for (widgets::CustomTableView* t : {tableView, coverFlowerTableView}) {
        t->horizontalHeader()->setStretchLastSection(true);
        t->horizontalHeader()->setSectionsMovable(false);
    }
    aWindow = imageWindow();
    aWindow->setTitleBarHeight(kBarHeight);
    aWindow->setTrafficLightButtonsLeftMargin(13);
    titleBarView = aWindow->titleBarView();
    aWindow->setTopButtonMoveUp(35);
    aWindow->setMinimumSize(kWidth, kHeight);
    isCanClick = 1;
    isCloseWindow = 0;
    isPause = 0;
    isImport = 0;
    buildDetailViewWindowTitleBar();
    listViewTableHeaderView();
    changeCoverViewTableHeaderView();
    allDiskArr.clear();
    allTypeArr.clear();
    allCreatTimeArr.clear();
    allModifyTimeArr.clear();
    arrList.clear();
    operationQueue = new QThreadPool(this);
    operationQueue->setMaxThreadCount(1);
    photos.clear();
    flowView->setBackgroundColor(Qt::black);
    flowView->setDataSource(this);
    flowView->setDelegate(this);
    stopRefreshTimer();
    isDeepScan = VXUIController::shared().IsDeepScan();
    segment->setEnabled(!isDeepScan);
    pointCloseButton(aWindow, this, [this] { closeWindow(); });
    // Tab order: trees, list, search field, then the bar's buttons.
    QWidget::setTabOrder(outlineView, timeOutlineView);
    QWidget::setTabOrder(timeOutlineView, tableView);
    QWidget::setTabOrder(tableView, search->textField());
    QWidget::setTabOrder(search->textField(), backHomeButton);
    QWidget::setTabOrder(backHomeButton, continueButton);
    QWidget::setTabOrder(continueButton, pauseButton);
    QWidget::setTabOrder(pauseButton, continueScanButton);
    QWidget::setTabOrder(continueScanButton, stopButton);
}

bool VXDeletailWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == aWindow && event->type() == QEvent::Resize) {
        // After the window's own layout has placed the bar and the content.
        QMetaObject::invokeMethod(this, [this] { windowDidResize(); }, Qt::QueuedConnection);
        return false;
    }
    if ((watched == outlineView || watched == timeOutlineView) && event->type() == QEvent::KeyPress && !keyInTree_) {
        // Letters select nothing in the trees (no type-ahead); for the other
        // keys the tree's selection asks which key moves it.
        auto* key = static_cast<QKeyEvent*>(event);
        if (!key->text().isEmpty() && key->text().at(0).isLetterOrNumber()) return true;
        keyInTree_ = key->key();
        QCoreApplication::sendEvent(watched, event);
        keyInTree_ = 0;
        return true;
    }
    return kit::WindowController::eventFilter(watched, event);
}

// ---- data entry -------------------------------------------------------------------

void VXDeletailWindowController::observeScanNotifications() {
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    nc.addObserver(this, "NormalScranValue", [this](const platform::Notification&) { DataInitFinished(); });
    nc.addObserver(this, "DoSearchValue", [this](const platform::Notification&) { SearchTreeView(); });
    nc.addObserver(this, "DoSearchFinished", [this](const platform::Notification&) { reloadTreeView(); });
    nc.addObserver(this, "DoRecovery", [this](const platform::Notification&) { recoveryAction(); });
    nc.addObserver(this, "RefreshTableView", [this](const platform::Notification&) { refreshTableView(); });
}

void VXDeletailWindowController::getData() {
    if (!allDiskArr.empty()) {
        outlineView->willReloadData();
        timeOutlineView->willReloadData();
        allDiskArr.clear();
        reloadOutlines();
    }
    isDeepScan = 0;
    isCreateTimeTreeRebuild = 1;
    isModifyTimeTreeRebuild = 1;
    observeScanNotifications();
    VXUIController::shared().DoScanWithData(selectDiskVolumeData, "NormalScranValue");
}

void VXDeletailWindowController::getImportData(const QString&) {
    isImport = 1;
    for (QWidget* w : std::initializer_list<QWidget*>{findFilesLabel, remainTimeLabel, pauseButton, stopButton,
                                                      progressView, loadImageView, continueButton, deepScanLabel})
        w->hide();
    backHomeButton->setButtonEnabled(true);
    isCreateTimeTreeRebuild = 1;
    isModifyTimeTreeRebuild = 1;
    VXUIController::shared().RestorPostUIUpdate("NormalScranValue", false);
    observeScanNotifications();
}

void VXDeletailWindowController::clearImportData() { NotificationCenter::defaultCenter().removeObserver(this); }

void VXDeletailWindowController::DataInitFinished() {
    VXUIController& facade = VXUIController::shared();
    if (OpNodeList* roots = rootArray(selectTypeCount)) {
        outlineView->willReloadData();
        timeOutlineView->willReloadData();
        facade.GetScanTreeNodeData(roots, false);
    }
    reloadOutlines();
    getScanProgress();
    if (shuttingDown) return; // the window has gone
    platform::performAfterDelay(std::chrono::seconds(1), [this] { ExpandeRootItem(); }, this);
    if (!facade.IsScanRunning()) {
        SelectRootItem();
        setFoundAllFiles();
    }
    showNoValueNote();
}

void VXDeletailWindowController::setFoundAllFiles() {
    std::uint64_t size = 0, count = 0;
    VXUIController::shared().GetScanFileSize(&size, &count);
    selectFilesLabel->setText(
        platform::localizedFormat("PAGE_FOUR_ALL_FILES_SIZE", VXPublicUtilities::longlongConvertVolSpace(static_cast<long long>(size)), static_cast<long long>(count)));
}

void VXDeletailWindowController::SearchTreeView() {
    VXUIController& facade = VXUIController::shared();
    stopRefreshTimer();
    OpNodeList* roots = rootArray(selectTypeCount);
    if (roots) {
        outlineView->willReloadData();
        timeOutlineView->willReloadData();
        roots->clear();
        reloadOutlines();
        outlineView->willReloadData();
        timeOutlineView->willReloadData();
        facade.GetScanTreeNodeData(roots, true);
    }
    reloadOutlines();
    facade.StopSearch();
    const QString text = GetSearchText(search->textField()->text());
    if (!lastSearchStr || *lastSearchStr != text) {
        facade.DoSearchWithString(text, "DoSearchValue");
        lastSearchStr = text;
    }
    ExpandeRootItem();
    stopImageLoading();
    stopGridImageLoading();
    clearList();
    reloadTables();
    std::vector<IFileNode*> shown;
    facade.GetSearchResultToArr(&shown);
    tableView->willReloadData();
    coverFlowerTableView->willReloadData();
    arrList.reserve(shown.size());
    for (IFileNode* n : shown) arrList.emplace_back(n);
    if (selectSegmentCount == 2) {
        viewLoadCnt = 0;
        showGridView();
    }
    reloadTables();
    flowSelectedIndex = 0;
    photos.clear();
    showCoverFlowerViewWithRefresh(true);
    if (selectSegmentCount == 1) {
        nImageState = 0;
        selectedCoverFlow(0);
    }
    showNoValueNote();
}

void VXDeletailWindowController::reloadTreeView() {
    reloadOutlines();
    VXUIController::shared().StopSearch();
    const QString text = GetSearchText(search->textField()->text());
    if (!lastSearchStr || *lastSearchStr != text) {
        VXUIController::shared().DoSearchWithString(text, "DoSearchValue");
        lastSearchStr = text;
    }
}

void VXDeletailWindowController::refreshTableView() { tableView->reloadData(); }

void VXDeletailWindowController::RefreshDevice(const std::string& usbPath) {
    if (!selectDiskVolumeData || usbPath.empty()) return;
    // A whole disk names itself; a volume names the disk it lies on.
    const QString disk = selectDiskVolumeData->parentName().isEmpty() ? selectDiskVolumeData->name()
                                                                      : selectDiskVolumeData->parentName();
    if (QString::fromStdString(usbPath) != disk) return;
    VXUIController::shared().StopScan(1);
    toldDetach = 1;
    kit::Alert alert(QStringLiteral("Message"), QStringLiteral("OK"), {}, {}, QStringLiteral("The usb device is detatched!"));
    alert.setIcon(QStringLiteral("warning_b"));
    alert.beginSheetModalForWindow(window(), [this](int code) { alertEndedDetach(code); }, this);
    NotificationCenter::defaultCenter().removeObserver(this, "RefreshDetachDevice");
}

void VXDeletailWindowController::tellDeviceGone(double percent, std::uint64_t files) {
    // What was found stays listed: the sheet only tells why the scan ended
    // (a loaded result saved from such a scan, how far it got when it says).
    const QString told = percent < 0 ? platform::localizedFormat("PAGE_FOUR_LOADED_UNFINISHED_NODE", static_cast<long long>(files))
                                     : platform::localizedFormat("PAGE_FOUR_DEVICE_GONE_NODE",
                                                                 QString::number(percent, 'f', 0) + QLatin1Char('%'),
                                                                 static_cast<long long>(files));
    // A loaded result's device may answer now: the sheet speaks of the scan.
    const bool loaded = isImport || percent < 0;
    kit::Alert alert(localizedString(loaded ? "PAGE_FOUR_LOADED_UNFINISHED_TITLE" : "PAGE_FOUR_DEVICE_GONE_TITLE"),
                     localizedString("PAGE_FOUR_RECOVERY_STOP_BUTTON"), {}, {}, told);
    alert.setIcon(QStringLiteral("warning_b"));
    // In front of its window, which a load has only just shown.
    if (QWidget* w = window()) {
        w->raise();
        w->activateWindow();
    }
    alert.beginSheetModalForWindow(window(), [](int) {}, this);
}

void VXDeletailWindowController::tellUnreadable() {
    services::writeLog("scan ended with %lld unreadable structure sectors\n", VXUIController::shared().GetScanUnreadableSectors());
    kit::Alert alert(localizedString("PAGE_FOUR_UNREADABLE_TITLE"), localizedString("PAGE_FOUR_RECOVERY_STOP_BUTTON"), {},
                     {}, localizedString("PAGE_FOUR_UNREADABLE_NODE"));
    alert.setIcon(QStringLiteral("warning_b"));
    alert.beginSheetModalForWindow(window(), [](int) {}, this);
}

void VXDeletailWindowController::alertEndedDetach(int code) {
    if (code == kit::kAlertDefaultReturn) doBackHomeAction(0);
}

// ---- closing ----------------------------------------------------------------------

void VXDeletailWindowController::terminateApplication() {
    stopImageLoading();
    stopGridImageLoading();
    shuttingDown = 1;
    if (window()) window()->hide();
    ++terminatePosts;
    NotificationCenter::defaultCenter().post("appWillTerminate");
}

void VXDeletailWindowController::closeWindow() {
    if (isCloseWindow) return;
    VXUIController& facade = VXUIController::shared();
    if (facade.IsScanRunning()) {
        if (!facade.IsPause()) facade.PauseOrResumeScan();
        kit::Alert alert(localizedString("PAGE_FOUR_SCAN_STOP_TITLE"), localizedString("PAGE_FOUR_SCAN_STOP_YES_BUTTON"),
                         localizedString("PAGE_FOUR_SCAN_STOP_NO_BUTTON"), {},
                         localizedString("PAGE_FOUR_SCAN_STOP_NODE"));
        alert.setIcon(QStringLiteral("warning_b"));
        alert.setSafeAnswer(kit::kAlertAlternateReturn); // the window and its results stay
        alert.beginSheetModalForWindow(window(), [this](int code) { alertEndedCloseWindow(code); }, this);
        return;
    }
    facade.SpyIDStringTable1(4165, QStringLiteral("4"));
    // Quitting stops the save and waits for its end.
    if (SaveScanResult([this] { terminateApplication(); })) terminateApplication();
}

bool VXDeletailWindowController::SaveScanResult(std::function<void()> leave) {
    return !VXProgressWindow::askedBeforeLeavingSave(window(), this, std::move(leave));
}

void VXDeletailWindowController::alertEndedCloseWindow(int code) {
    VXUIController& facade = VXUIController::shared();
    if (code != kit::kAlertAlternateReturn) {
        facade.StopScan(1);
        isCanClick = 0;
        isCloseWindow = 1;
        isPause = 0;
        getScanProgress();
        for (widgets::TCImageButton* b : {backHomeButton, pauseButton, stopButton, continueScanButton})
            b->setButtonEnabled(false);
        return;
    }
    if (!isPause) facade.PauseOrResumeScan();
    isCanClick = 1;
}

bool VXDeletailWindowController::windowShouldClose(QWidget*) {
    // Every close request takes the close button's road, so the process never
    // stays without a window and a running scan is asked about first.
    closeWindow();
    return false;
}

void VXDeletailWindowController::animationDidStop(bool) {
    if (!window() || kit::alphaValue(window()) != 0) return;
    stopImageLoading();
    stopGridImageLoading();
    close();
}

// ---- shared helpers ------------------------------------------------------------------

OpNodeList* VXDeletailWindowController::rootArray(std::int64_t view) {
    switch (view) {
    case 0: return &allDiskArr;
    case 1: return &allTypeArr;
    case 2: return &allCreatTimeArr;
    case 3: return &allModifyTimeArr;
    default: return nullptr;
    }
}

void VXDeletailWindowController::reloadOutlines() {
    outlineView->reloadData();
    timeOutlineView->reloadData();
}

void VXDeletailWindowController::reloadTables() {
    tableView->reloadData();
    coverFlowerTableView->reloadData();
}

void VXDeletailWindowController::clearList() {
    tableView->willReloadData();
    coverFlowerTableView->willReloadData();
    arrList.clear();
    reloadTables();
}

void VXDeletailWindowController::stopRefreshTimer() {
    if (refreshTimer) {
        refreshTimer->stop();
        refreshTimer->deleteLater();
        refreshTimer = nullptr;
    }
    viewLoadCnt = 0;
}

bool VXDeletailWindowController::scanRunsUnpaused() {
    VXUIController& facade = VXUIController::shared();
    return facade.IsScanRunning() && !facade.IsPause();
}

void VXDeletailWindowController::untickAllRoots() {
    for (OpNodeList* roots : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr})
        for (const OpNodeEntry& e : *roots)
            if (e.isItem()) e.item()->setNodeState(0);
}

} // namespace salvor::windows
