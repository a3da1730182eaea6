#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "services/UIController.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/Dialogs.h"

namespace salvor::windows {

QWidget* VXDeletailWindowController::loadWindow() {
    auto* w = new widgets::TCImageWindow(QSize(1000, 678));
    w->setTitleBarHeight(22);
    w->setWindowTitle(platform::localizedString("WINDOW_TOP_TITLE"));
    if (VXAppDelegate::current()) w->setApplicationMenu(VXAppDelegate::current()->menu());
    pointCloseButton(w, this, [this] { closeWindow(); });
    return w;
}

void VXDeletailWindowController::closeWindow() {
    if (window()) window()->hide();
    platform::NotificationCenter::defaultCenter().post("appWillTerminate");
}

bool VXDeletailWindowController::windowShouldClose(QWidget*) {
    closeWindow();
    return false;
}

void VXDeletailWindowController::getData() {
    ++getDataCalls;
    VXUIController::shared().DoScanWithData(selectData, "NormalScranValue");
}

void VXDeletailWindowController::getImportData(const QString& path) {
    importPath = path;
    VXUIController::shared().RestorPostUIUpdate("NormalScranValue", false);
}

void VXDeletailWindowController::clearImportData() {
    ++clearImportCalls;
    importPath.clear();
}

} // namespace salvor::windows
