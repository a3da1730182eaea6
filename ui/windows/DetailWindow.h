#pragma once
// A stand-in for the results window: it records what the start window hands
// it, starts the scan or the load's poller through the facade, and shows an
// empty window of the results window's size. Closing it ends the program,
// as closing the results window does.
#include "services/TreeItems.h"
#include "ui/kit/WindowController.h"

namespace salvor::windows {

class VXDeletailWindowController : public kit::WindowController {
    Q_OBJECT
public:
    VXDeletailWindowController() : kit::WindowController(QStringLiteral("VXDeletailWindowController")) {}

    void setSelectDiskVolumeData(const DiskVolumeNodeRef& item) { selectData = item; }
    // Starts the scan of the item handed over.
    void getData();
    // A load of path has begun: follow it.
    void getImportData(const QString& path);
    void clearImportData();
    // The close button: out of sight, and "appWillTerminate".
    void closeWindow();
    // Any other close (the window manager's) takes the same way.
    bool windowShouldClose(QWidget* window) override;

    DiskVolumeNodeRef selectData;
    int getDataCalls = 0, clearImportCalls = 0;
    QString importPath;

protected:
    QWidget* loadWindow() override;
};

} // namespace salvor::windows
