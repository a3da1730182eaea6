#pragma once
// The pages of the start window: the welcome page (not part of the usual
// flow), the file-type page the window opens on, and the device page with
// the outline of disks and volumes.
#include "services/TreeItems.h"
#include "ui/kit/WindowController.h"
#include "ui/widgets/TableViews.h"

#include <QStringList>

#include <chrono>
#include <string>

class QLabel;
class QPushButton;

namespace salvor::widgets {
class TCImageButton;
class TypeButton;
} // namespace salvor::widgets

namespace salvor::windows {

inline constexpr int kPageWidth = 1000;
inline constexpr int kPageHeight = 618; // the start window below its bar

// ---- welcome page ------------------------------------------------------------

class VXComeInViewControllerDelegate {
public:
    virtual ~VXComeInViewControllerDelegate() = default;
    virtual void InfoButtonClick() {}
};

class VXComeInViewController : public kit::ViewController {
    Q_OBJECT
public:
    VXComeInViewController() : kit::ViewController(QStringLiteral("VXComeInViewController")) {}
    void InfoButtonClick() {
        if (delegate) delegate->InfoButtonClick();
    }
    void iconButtonAction();
    VXComeInViewControllerDelegate* delegate = nullptr;
    QLabel *blowTitleLabel = nullptr, *blowNodeLabel = nullptr;

protected:
    QWidget* loadView() override;
};

// ---- file-type page ----------------------------------------------------------

class VXSelectTypeViewControllerDelegate {
public:
    virtual ~VXSelectTypeViewControllerDelegate() = default;
    virtual void changeContinueButtonState(const QStringList& /*selected*/) {}
    virtual void beginToStartScan() {}
};

class VXSelectTypeViewController : public kit::ViewController {
    Q_OBJECT
public:
    VXSelectTypeViewController() : kit::ViewController(QStringLiteral("VXSelectTypeViewController")) {}

    void selectButtonClick(widgets::TypeButton* toggle);
    void allTypesButtonClick();
    void changeAllSelectState(widgets::TypeButton* toggle);
    void beginToStartScan() {
        if (delegate) delegate->beginToStartScan();
    }

    int selectAllCount = 0; // 0 none, 1 all, 2 some
    QStringList selectArr;  // the chosen category bits, "%d"
    VXSelectTypeViewControllerDelegate* delegate = nullptr;
    // The image the all-types box shows.
    const QString& allTypesImage() const { return boxImage_; }

    QLabel *midlleLabel = nullptr, *alltypesLabel = nullptr;
    QPushButton* alltypesButton = nullptr;
    widgets::TCImageButton* startScanButton = nullptr;
    // By tag (bit index): pictures, music, movies, archives, documents, other.
    widgets::TypeButton* typeButtons[6] = {};

protected:
    QWidget* loadView() override;
    void awakeFromNib() override;

private:
    void setBoxImage(const QString& name);
    QString boxImage_;
};

// ---- device page -------------------------------------------------------------

class VXSelectDiskViewControllerDelegate {
public:
    virtual ~VXSelectDiskViewControllerDelegate() = default;
    virtual void changeSelectDiskViewContinueButtonEnabled(const DiskVolumeNodeRef& /*item*/) {}
    virtual void doubleClickedListToScan() {}
    virtual void backHomeButtonAction() {}
};

class VXSelectDiskViewController : public kit::ViewController,
                                   public widgets::OutlineViewDataSource,
                                   public widgets::OutlineViewDelegate {
    Q_OBJECT
public:
    VXSelectDiskViewController() : kit::ViewController(QStringLiteral("VXSelectDiskViewController")) {}
    ~VXSelectDiskViewController() override;

    void setSelectDiskVolume(const DiskVolumeNodeRef& item) { selectDiskVolume = item; }
    void setAllDiskArr(const std::vector<DiskVolumeNodeRef>& disks) { allDiskArr = disks; }

    // Builds the outline from allDiskArr and chooses the device of identity
    // keep while it is listed, else row 1.
    void InitFinished(const std::string& keep = {});
    // A medium came or went: after a short wait from the first event, which
    // merges the events of a burst, the facade lists the devices again on a
    // thread of its own, and the outline is then rebuilt in place, keeping
    // the device chosen.
    void RefreshDevice();
    void getDiskValue();
    // How long a burst of device events is merged.
    static constexpr std::chrono::milliseconds kRefreshDelay{200};
    void removeNotification();
    void disableRefreshDevice();
    // Follows media coming and going again (a load that failed gives the page back).
    void enableRefreshDevice();
    // Writes the chosen row (name and disk) to the log.
    void logChoice() const;

    void doScanAction() {
        if (delegate) delegate->doubleClickedListToScan();
    }
    void backHomeButtonAction() {
        if (delegate) delegate->backHomeButtonAction();
    }
    void doubleToScan();

    // Data source.
    int numberOfChildrenOfItem(widgets::OutlineView*, widgets::OutlineItem item) override;
    widgets::OutlineItem child(widgets::OutlineView*, int index, widgets::OutlineItem item) override;
    bool isItemExpandable(widgets::OutlineView*, widgets::OutlineItem item) override;
    QVariant objectValueForTableColumn(widgets::OutlineView*, widgets::TableColumn* column,
                                       widgets::OutlineItem item) override;
    // Delegate.
    void willDisplayCell(widgets::OutlineView*, widgets::Cell* cell, widgets::TableColumn* column,
                         widgets::OutlineItem item) override;
    bool shouldSelectItem(widgets::OutlineView*, widgets::OutlineItem item) override;
    void selectionDidChange(widgets::OutlineView*) override;
    void itemDidExpand(widgets::OutlineView*, widgets::OutlineItem) override { reloadCellBackgroundColor(); }
    void itemDidCollapse(widgets::OutlineView*, widgets::OutlineItem) override { reloadCellBackgroundColor(); }
    void mouseDownInHeaderOfTableColumn(widgets::OutlineView*, widgets::TableColumn*) override { bClickHead = true; }
    void reloadCellBackgroundColor();
    void reloadRootRows();

    std::vector<DiskVolumeNodeRef> allDiskArr;
    DiskVolumeNodeRef selectDiskVolume, oldSelectDiskVolume;
    VXSelectDiskViewControllerDelegate* delegate = nullptr;
    widgets::VXCustomOutlineView* outlineView = nullptr;
    QLabel* middleLabel = nullptr;
    widgets::TCImageButton *backButton = nullptr, *scanButton = nullptr;
    QStringList rootArr;
    long long selectedRow = -1;
    bool bClickHead = false;

protected:
    QWidget* loadView() override;
    void awakeFromNib() override;

private:
    DiskVolumeNodeRef refFor(const DiskVolumeNodeData* item) const;
    // Whether the outline still selects the row of the device chosen.
    bool chosenRowSelected() const;

    // Set while a listing rebuilds the outline: it chooses, not the
    // selection changes the rebuild makes on its way.
    bool listing_ = false;
    // The page has been listed once: later listings leave the focus alone.
    bool listedOnce_ = false;
    // A listing is asked for after the wait under way.
    bool refreshPending_ = false;
};

} // namespace salvor::windows
