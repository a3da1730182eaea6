#pragma once
// The start window: the file-type page it opens on, the device page, the
// hand-over to the results window, the import of a saved scan result and
// the APFS notice when the chosen volume cannot be opened.
#include "ui/kit/WindowController.h"
#include "ui/windows/StartPages.h"

class QLabel;

namespace salvor::widgets {
class TCImageButton;
class TCImageWindow;
} // namespace salvor::widgets

namespace salvor::windows {

class VXDeletailWindowController;
class VXProgressWindow;

class VXRootWindowController : public kit::WindowController,
                               public VXComeInViewControllerDelegate,
                               public VXSelectTypeViewControllerDelegate,
                               public VXSelectDiskViewControllerDelegate {
    Q_OBJECT
public:
    VXRootWindowController();
    ~VXRootWindowController() override;
    widgets::TCImageWindow* imageWindow();

    // Page delegates.
    void changeContinueButtonState(const QStringList& selected) override;
    void beginToStartScan() override { selectTypesContinouButtonClick(); }
    void changeSelectDiskViewContinueButtonEnabled(const DiskVolumeNodeRef& item) override;
    void doubleClickedListToScan() override { selectTypesContinouButtonClick(); }
    void backHomeButtonAction() override { backHome(); }
    void InfoButtonClick() override;

    void selectTypesContinouButtonClick();
    void backHome();
    void importButtonClick();
    void showDetailWindow();
    // The close button: out of sight, and "appWillTerminate".
    void closeWindow();
    // Any other close (the window manager's) takes the same way: a start
    // window faded out would leave a program without a window.
    bool windowShouldClose(QWidget* window) override;
    void InitFinished();
    void getDataForDeletailPage();

    VXComeInViewController* comeInVC = nullptr;
    VXSelectTypeViewController* selectTypeVC = nullptr;
    VXSelectDiskViewController* selectDiskVC = nullptr;
    VXDeletailWindowController* deletailWC = nullptr;
    widgets::TCImageButton* importButton = nullptr;
    QLabel* titleLabel = nullptr;
    QString importFilePath;
    int whichPage = 0;
    int selectValues = 0;
    DiskVolumeNodeRef selectVolumeData;
    int isNotFristLoad = 0;
    // The APFS notices shown so far (tests).
    int apfsNoticeCount = 0;

protected:
    QWidget* loadWindow() override;
    void awakeFromNib() override { fadeIn(); }
    void windowDidLoad() override;

private:
    void getDiskData();
    void getImportDataForDetialPage();
    void releaseDetailWindow();
    void placeDetailWindow();
    void setPageDefaults(bool devicePage);
};

// Centres a top-level window on its screen.
void centerWindow(QWidget* window);

} // namespace salvor::windows
