#pragma once
// The results window: a scan (quick or deep) or a loaded scan result filling
// the result trees on the left and the file list, the preview strip or the
// grid on the right, with the navigation buttons, the progress box and the
// search field in its 90-point title bar. The controller reaches the engine
// only through the facade (VXUIController) and the tree items.
//
// The implementation is spread over files by concern:
//   DetailWindow.cpp       building the window, data entry, notifications, closing
//   DetailTitleBar.cpp     the title bar's controls and the export of the result
//   DetailTrees.cpp        the result trees and the file list
//   DetailProgress.cpp     the progress box and the deep-scan suggestion
//   DetailScanControl.cpp  pause, stop, back home and the deep scan
//   DetailRecovery.cpp     recovery of the ticked files
//   DetailSearch.cpp       the name search, select-all and the tick counters
//   DetailPreview.cpp      the preview strip and the grid
//   DetailViews.cpp        tree tabs, page modes, page refresh, root selection
//
// Found-file handles (in arrList, the root arrays and the items under them)
// point into the engine's trees: every view lets go of them (arrays emptied,
// views reloaded) before a facade call that frees them.
#include "services/TreeItems.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/WindowController.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/GridItems.h"
#include "ui/widgets/GridView.h"
#include "ui/widgets/ImageFlowView.h"
#include "ui/widgets/SearchFields.h"
#include "ui/widgets/TableViews.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/PreviewLoader.h"
#include "ui/windows/RecoveryDialogs.h"
#include "ui/windows/UpdateCheck.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QButtonGroup;
class QImage;
class QLabel;
class QPushButton;
class QSplitter;
class QThreadPool;
class QTimer;

namespace salvor::widgets {
class CNGridScrollView;
class MAAttachedWindow;
class TCImageButton;
class TCImageWindow;
class VXProgressView;
} // namespace salvor::widgets

namespace salvor::windows {

class VXProgressWindow;
class VXRootWindowController;
class VXShowScanProgressWindowController;
class VXScanEndSaveWindowController;
class VXScanNotEndSaveWindowController;
class ResultsSegment;

// One picture of the preview strip: a placeholder ("Loading...") until the
// loader has made its image.
class Photo : public widgets::ImageFlowItem {
public:
    QString imageUID() const override { return imageID; }
    QString imageTitle() const override { return imageID; }
    QImage imageRepresentation() const override;
    std::shared_ptr<QImage> image; // none: a placeholder
    QString imageID = QStringLiteral("Loading...");
};
using PhotoRef = std::shared_ptr<Photo>;

class VXDeletailWindowController : public kit::WindowController,
                                   public widgets::OutlineViewDataSource,
                                   public widgets::OutlineViewDelegate,
                                   public widgets::TableViewDataSource,
                                   public widgets::TableViewDelegate,
                                   public widgets::NewButtonDelegate,
                                   public widgets::NewSearchTextFiledDelegate,
                                   public widgets::CNGridViewDataSource,
                                   public widgets::CNGridViewDelegate,
                                   public widgets::CNGridViewItemDelegate,
                                   public widgets::ImageFlowDataSource,
                                   public widgets::ImageFlowDelegate,
                                   public VXDeepScanViewControllerDelegate,
                                   public VXShowScanProgressWindowControllerDelegate {
    Q_OBJECT
public:
    // Window size including the 90-point bar; also the smallest size.
    static constexpr int kWidth = 1000;
    static constexpr int kHeight = 700;
    static constexpr int kBarHeight = 90;

    VXDeletailWindowController();
    ~VXDeletailWindowController() override;

    widgets::TCImageWindow* imageWindow();

    // ---- hand-over from the start window, data entry ----------------------
    void setSelectDiskVolumeData(const DiskVolumeNodeRef& item) { selectDiskVolumeData = item; }
    // Starts the quick scan of the item handed over.
    void getData();
    // A load has begun: follow it (the path is not read).
    void getImportData(const QString& path);
    // The load failed: stop observing everything.
    void clearImportData();

    // ---- notification handlers ---------------------------------------------
    void DataInitFinished();
    void setFoundAllFiles();
    void SearchTreeView();
    void reloadTreeView();
    void refreshTableView();
    void RefreshDevice(const std::string& usbPath);
    void windowDidResize();

    // ---- closing --------------------------------------------------------------
    void closeWindow();
    void alertEndedCloseWindow(int code);
    void alertEndedDetach(int code);
    bool windowShouldClose(QWidget* window) override;

    // ---- title bar and export --------------------------------------------------
    void buildDetailViewWindowTitleBar();
    void createExportButton(int deep);
    void exportButtonAction();

    // ---- progress display and the deep-scan suggestion ----------------------
    void getScanProgress();
    void showPopoverWithViewController(VXDeepScanViewController* vc);
    void popupViewHidden() override;

    // ---- scan control --------------------------------------------------------
    void pauseButtonClick();
    void stopButtonClick();
    void alertEndedStop(int code);
    void stopAction();
    void backButtonAction();
    void alertEndedBackHome(int code);
    void doBackHomeAction(int flag);
    // Whether the results may be left now. With a save running it asks
    // "Stop the save?" and answers false; stopping runs leave (going on
    // leaves the save to end).
    bool SaveScanResult(std::function<void()> leave);
    void showRootWindow();
    void deepSrcanButtonAction();
    void doDeepScanAction();
    // Slides the recover button out of the progress box and hides it.
    void hideRecoveryButtonAnimated(double xOffset);
    // Every root item of the four trees unticked.
    void untickAllRoots();
    // A scan runs and the user has not paused it.
    bool scanRunsUnpaused();
    // Stops and forgets the step-loading timer; the counter back to 0.
    void stopRefreshTimer();
    // Empties the list, the trees and the strip, each view told first.
    void dropFoundFiles();
    // The start window the last back-home opened (tests).
    static VXRootWindowController* lastShownRootWindow();

    // ---- result trees (outline data source and delegate) ---------------------
    int numberOfChildrenOfItem(widgets::OutlineView*, widgets::OutlineItem item) override;
    widgets::OutlineItem child(widgets::OutlineView*, int index, widgets::OutlineItem item) override;
    bool isItemExpandable(widgets::OutlineView*, widgets::OutlineItem item) override;
    QVariant objectValueForTableColumn(widgets::OutlineView*, widgets::TableColumn* column,
                                       widgets::OutlineItem item) override;
    void willDisplayCell(widgets::OutlineView*, widgets::Cell* cell, widgets::TableColumn* column,
                         widgets::OutlineItem item) override;
    bool shouldSelectItem(widgets::OutlineView* view, widgets::OutlineItem item) override;
    void selectionDidChange(widgets::OutlineView*) override { selectedRow = -1; }
    int getNodeDataIsLeaf(const OpNodeData* item) const;
    // The root array of a tree view (0 path … 3 modification month); none above 3.
    OpNodeList* rootArray(std::int64_t view);

    // ---- file list (table data source and delegate) ----------------------------
    int numberOfRowsInTableView(widgets::CustomTableView*) override;
    QVariant objectValueForTableColumn(widgets::CustomTableView*, widgets::TableColumn* column, int row) override;
    void willDisplayCell(widgets::CustomTableView*, widgets::Cell* cell, widgets::TableColumn* column,
                         int row) override;
    bool shouldSelectRow(widgets::CustomTableView* view, int row) override;
    void didClickTableColumn(widgets::CustomTableView* view, widgets::TableColumn* column) override;
    void reLoadTableVolumnIndicatorImage();
    void nsbuttonCellClick(int row);
    // Empties arrList with both tables told first.
    void clearList();
    // Reloads both outlines / both tables.
    void reloadOutlines();
    void reloadTables();

    // ===== recovery, search and selection, preview and grid, view switching =====
    // Declared here, implemented in DetailRecovery.cpp, DetailSearch.cpp,
    // DetailPreview.cpp and DetailViews.cpp.
    // Recovery.
    void recovrtyButtonClick();
    // The folder chooser ended with response (1 confirmed).
    void recoveryPanelEnded(int response);
    // Starts the recovery of the current tab's trees into recoverySavePathStr.
    void startRecovery();
    void recoveryAction();
    void stopButtonAction(int n) override;
    void showRecoveryEndWindow();
    void showRecoveryNotEndWindow();
    // The scan ended because its device stopped answering: a sheet says so.
    void tellDeviceGone(double percent, std::uint64_t files);
    // The scan could not read parts of the file systems' structures.
    void tellUnreadable();
    // Ends the progress dialog's modal run and lets it go.
    void closeRecoveryProgress();
    // Search and selection.
    void doSearchWithKey(const std::optional<QString>& key) override;
    void doSearch();
    QString GetSearchText(const QString& text);
    void searchClearButtonClick();
    void listViewTableHeaderView();
    void changeCoverViewTableHeaderView();
    void changeSelectAllButtonState();
    void ClearSelectedFilesInfo();
    void clickButtonAction(widgets::NewButton* button) override;
    void showSelectFilesCountAndSize();
    // The select-all boxes' action.
    void setAllSelectOrNoSelect();
    // The tri-state of a tree item's files (none: of the list shown).
    int GetCellNodeState(const OpNodeRef& node);
    // Preview strip and grid.
    void showCoverFlowerViewWithRefresh(bool refresh);
    void selectedCoverFlow(std::int64_t index);
    void stopImageLoading();
    void showGridView();
    void stopGridImageLoading();
    std::int64_t numberOfItemsInImageFlow(widgets::ImageFlowView*) override;
    const widgets::ImageFlowItem* itemAtIndex(widgets::ImageFlowView*, std::int64_t index) override;
    void didSelectItemAtIndex(widgets::ImageFlowView*, std::int64_t index) override;
    std::uint64_t numberOfItemsInSection(widgets::CNGridView*, std::int64_t section) override;
    widgets::CNGridViewItemBase* itemAtIndex(widgets::CNGridView*, std::int64_t index,
                                             std::int64_t section) override;
    // A grid item's tick box.
    void doSelectItem(std::int64_t index) override;
    // The loaders of the strip and of the grid (made on first use).
    std::unique_ptr<PreviewLoader> stripLoader, gridLoader;
    // View switching and page refresh.
    void segmentSelect(int segmentIndex);
    void pathButtonClick();
    void typeButtonClick();
    void timeButtonClick();
    void modifyTimeButtonClick();
    void refashDetailPageData();
    void reLoadAllDetailPage();
    void SelectRootItem();
    void ExpandeRootItem();
    void setButtonTitleColor(QAbstractButton* button, const QColor& color);
    void showRecoveryButton();
    void showNoValueNote();
    void changeNoValue(bool hasValues);
    void changeSelectCountLabelPos();
    // Declarations the other concerns add go above this line.
    // ===== end of recovery, search, preview and view switching =====

    // ---- state (the controller's fields) --------------------------------------
    // Root items of the four trees: path, type, creation month, modification month.
    OpNodeList allDiskArr, allTypeArr, allCreatTimeArr, allModifyTimeArr;
    std::int64_t selectTypeCount = 0;    // 0 path, 1 type, 2 creation, 3 modification
    std::int64_t selectSegmentCount = 0; // 0 list, 1 preview, 2 grid
    widgets::CustemOutlineView* outlineView = nullptr;     // path and type trees
    widgets::CustemOutlineView* timeOutlineView = nullptr; // date trees
    OpNodeRef opDataFile;                                  // the tree item shown last
    std::int64_t selectedRow = -1;
    OpNodeList arrList; // the found files on the right-hand page
    widgets::CustomTableView* tableView = nullptr;
    widgets::CustomTableView* coverFlowerTableView = nullptr;
    widgets::TableColumn* aTableColumn = nullptr; // last sorted column
    int isSorted = 0;                             // next sort: 0 descending, 1 ascending
    DiskVolumeNodeRef selectDiskVolumeData;
    DiskVolumeNodeRef selectVolumeData;
    int isDeepScan = 0;
    int isPause = 0;
    int isCanClick = 1;
    int isCloseWindow = 0;
    int isImport = 0;
    int isSelectBackHome = 0;
    // The sheet saying the scanned device stopped answering was shown for this scan.
    int toldDeviceGone = 0;
    // The sheet saying parts of the device could not be read, for this scan.
    int toldUnreadable = 0;
    // The detach sheet was shown: it tells the same.
    int toldDetach = 0;
    int bSave = 0;
    int isCreateTimeTreeRebuild = 0, isModifyTimeTreeRebuild = 0;
    int shuttingDown = 0;
    std::optional<QString> lastSearchStr;
    std::int64_t lastUpdateTime = 0;
    // The clock of the remaining time's once-a-second update.
    LaunchClock* clock = &LaunchClock::system();
    QTimer* refreshTimer = nullptr;
    std::uint64_t viewLoadCnt = 0;
    QThreadPool* operationQueue = nullptr; // grid images, one at a time
    // Preview strip and grid.
    widgets::ImageFlowView* flowView = nullptr;
    std::vector<PhotoRef> photos;
    std::int64_t flowSelectedIndex = 0;
    PhotoRef publicItem;
    int nImageState = -1;
    int gridImageState = -1;
    widgets::CNGridViewItemLayout defaultLayout, hoverLayout, selectionLayout;
    QWidget* newGridView = nullptr;
    // The window and its bar.
    QPointer<widgets::TCImageWindow> aWindow;
    QWidget* titleBarView = nullptr;
    QLabel* titleImage = nullptr;
    // The deep-scan suggestion.
    QPointer<widgets::MAAttachedWindow> attachedWindow;
    QWidget* popView = nullptr;
    int isClodePopView = 0;
    VXDeepScanViewController* deepScanVC = nullptr;
    QWidget* pointButton = nullptr;
    // Usage counters handed to the (empty) statistics hooks.
    int iSearchClickCN = 0, iSearchClearCN = 0, iTypeClickCN = 0, iPreviewModeCN = 0, iPauseCN = 0,
        iContinueCN = 0, iPauseRecoveryCN = 0, iNameSortCN = 0, iSizeSortCN = 0, iPathSortCN = 0,
        iTimeSortCN = 0;
    std::int64_t tPageStart = 0, tPageEnd = 0;
    // Recovery.
    kit::Frame rectNew;
    QString recoverySavePathStr;
    std::uint64_t selectedFileSize = 0;
    int selectedFileCnt = 0;
    int isBeginRecovery = 0, isFinishRecovery = 0, isRecoveryEndSHowWindow = 1;
    // Stop asked; the stopped dialog waits for the worker's end.
    int recoveryStopping = 0;
    VXShowScanProgressWindowController* recoveryProgressWindow = nullptr;
    VXScanEndSaveWindowController* scanEndSaveWC = nullptr;
    VXScanNotEndSaveWindowController* scanNotEndSaceWC = nullptr;
    QWidget* panel = nullptr;
    // Select-all boxes in the table headers.
    QAbstractButton* listViewSelectAllButton = nullptr;
    QAbstractButton* coverViewSelectAllButton = nullptr;

    // ---- views --------------------------------------------------------------
    QSplitter* splistView = nullptr;
    QWidget* splistLeftView = nullptr;
    QPushButton *pathButton = nullptr, *typeButton = nullptr, *timeButton = nullptr;
    QPushButton *creatButton = nullptr, *modifyButton = nullptr;
    ResultsSegment* segment = nullptr;
    QWidget* PTOutlineViewBlowView = nullptr; // holds outlineView
    QWidget* timeOutlineBlowView = nullptr;   // holds timeOutlineView
    QWidget* tableScrollView = nullptr;       // the list page
    QWidget* coverFlower = nullptr;           // the preview page
    QWidget* gridView = nullptr;              // the grid page
    widgets::CNGridScrollView* gridScroll = nullptr;
    widgets::CNGridView* gridMainView = nullptr;
    QWidget* gridNoValueView = nullptr;
    QWidget* nodeView = nullptr;
    // Title bar (built by buildDetailViewWindowTitleBar).
    widgets::TCImageButton *backHomeButton = nullptr, *continueButton = nullptr, *pauseButton = nullptr,
                           *continueScanButton = nullptr, *stopButton = nullptr, *recovertyButton = nullptr,
                           *exportButton = nullptr;
    QLabel *homeLabel = nullptr, *deepScanLabel = nullptr, *selectFilesLabel = nullptr, *findFilesLabel = nullptr,
           *remainTimeLabel = nullptr;
    // "Not answering, waiting" under the scan's bar while the device is silent.
    QLabel* deviceWaitLabel = nullptr;
    QWidget* abox = nullptr;
    QWidget* subBox = nullptr;
    QLabel* loadImageView = nullptr;
    widgets::VXProgressView* progressView = nullptr;
    widgets::NewSearchTextFiled* search = nullptr;

    // "appWillTerminate" posts made; one is enough.
    int terminatePosts = 0;

protected:
    QWidget* loadWindow() override;
    void awakeFromNib() override;
    void windowDidLoad() override;
    void animationDidStop(bool finished) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void observeScanNotifications();
    void buildLeftPane(QWidget* pane);
    void buildRightPane(QWidget* pane);
    void buildListTable(widgets::CustomTableView* table);
    void terminateApplication();
    void resetCounters();
    void releaseChildControllers();
    int keyInTree_ = 0; // the key a tree is handling, 0 for none
    // The item shown by this pass of the event loop: a click asks twice
    // (the press, then the selection), the page is filled once.
    const OpNodeData* shownThisPass_ = nullptr;
};

// The list / preview / grid switch: three exclusive buttons in a row.
class ResultsSegment : public QWidget {
    Q_OBJECT
public:
    explicit ResultsSegment(QWidget* parent = nullptr);
    int selectedSegment() const { return selected_; }
    void setSelectedSegment(int index);
    void setImage(int index, const QString& imageName);
    QAbstractButton* button(int index) const;
    void setEnabled(bool enabled) { QWidget::setEnabled(enabled); }

signals:
    void segmentClicked(int index);

private:
    QButtonGroup* group_;
    int selected_ = 0;
};

} // namespace salvor::windows
