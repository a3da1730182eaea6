// bench_ui_results_tickall [FILES]
// The results window over one found folder of FILES files (1,000,000): the
// time, in ms, of a click on the list's select-all box that ticks every file
// and updates the ticked-files label, and of the click that unticks them.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "engine/tree/FilesystemNode.h"
#include "platform/NotificationCenter.h"
#include "services/ResultTrees.h"
#include "services/UIController.h"
#include "tests/support/TestFileNode.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/WindowFade.h"
#include "ui/windows/DetailWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// The facade's answers for one file system holding the files.
struct OneFolder : VXUIController {
    CFilesystemNode root{SEARCHER_FAT, "disk(FAT/FAT32)", "disk", 1};
    std::vector<std::unique_ptr<salvor::test::TestFileNode>> files;

    explicit OneFolder(long n) {
        root.ShowNode(1);
        files.reserve(std::size_t(n));
        for (long i = 0; i < n; ++i) {
            files.push_back(std::make_unique<salvor::test::TestFileNode>(2 + i, 1, std::string("f").append(std::to_string(i)).append(".jpg"),
                                                                          false, 1000 + i % 5000));
            files.back()->ShowNode(1);
            root.AddChild(files.back().get());
        }
    }
    void NotifiyDeviceInfoAfterInit(const std::string&) override {}
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>&) override {}
    void RefreshDeviceInfo() override {}
    void RefreshDeviceInfoInBackground(const std::string&) override {}
    bool IsAppRunning() override { return false; }
    [[noreturn]] void CloseApp() override { std::exit(0); }
    QString GetSavePath() override { return {}; }
    bool SavePathToPList(const QString&) override { return false; }
    QString GetDefaultSavePath() override { return {}; }
    QString getUpDataTimeStr() override { return {}; }
    bool writeUpDataTimeStr(const QString&) override { return false; }
    bool isCanBeUseNetWork() override { return false; }

    bool DoScanWithData(const DiskVolumeNodeRef&, const std::string&) override { return true; }
    int GetScanTreeNodeData(OpNodeList* roots, bool) override {
        if (!roots->empty()) return 1;
        TreeNodeData d;
        d.isFileSystem = 1, d.isDirectory = 1, d.node = &root;
        roots->emplace_back(OpNodeData::initWithNodeData(d));
        return 1;
    }
    int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) override {
        return VXResultTrees::GetFileNodeToArray(out, item);
    }
    // As the services count: every shown file of the tree, ticked ones summed.
    void GetSelectedFilesAmout(int* count, std::uint64_t* size) override {
        for (auto& f : files)
            if (f->IsNodeShow() && f->GetCheckedStatus() == CHECK_ALL) ++*count, *size += std::uint64_t(f->GetFileSize());
    }
};

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    salvor::kit::setAnimationDurationScale(0);
    salvor::kit::installApplicationFonts();
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;

    QElapsedTimer t;
    t.start();
    OneFolder facade(n);
    VXUIController::install(&facade);
    const double built = t.nsecsElapsed() / 1e6;

    auto window = std::make_unique<salvor::windows::VXDeletailWindowController>();
    window->window()->show();
    window->getData();
    salvor::platform::NotificationCenter::defaultCenter().post("NormalScranValue");
    QApplication::processEvents();
    if (window->arrList.size() != std::size_t(n)) {
        std::printf("the list holds %zu files, not %ld\n", window->arrList.size(), n);
        return 1;
    }
    t.restart();
    window->listViewSelectAllButton->click();
    const double tick = t.nsecsElapsed() / 1e6;
    const QString label = window->selectFilesLabel->text();
    const int ticked = window->selectedFileCnt;
    t.restart();
    window->listViewSelectAllButton->click();
    const double untick = t.nsecsElapsed() / 1e6;
    std::printf("files=%ld nodes_ms=%.0f tick_all_ms=%.0f untick_all_ms=%.0f ticked=%d label=\"%s\"\n", n, built, tick,
                untick, ticked, label.toUtf8().constData());
    window.reset();
    VXUIController::install(nullptr);
    return ticked == n ? 0 : 1;
}
