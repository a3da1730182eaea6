#pragma once
// A dialog as the windows make them: a TCImageWindow with the dialogs' title
// bar, fading in and out, built by its controller; and the pixels of its bar
// whose colours are known. Shared by the offscreen tests and the Xvfb smoke program.
#include "ui/kit/WindowController.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/TCImageWindow.h"

#include <QImage>

#include <vector>

namespace salvor::testing {

class DemoDialogController : public kit::WindowController {
public:
    DemoDialogController();
    widgets::TCImageWindow* dialog() { return static_cast<widgets::TCImageWindow*>(window()); }
    widgets::DialogTitleBar bar;

protected:
    QWidget* loadWindow() override;
    void awakeFromNib() override { fadeIn(); }
    void windowDidLoad() override { bar = widgets::installDialogTitleBar(dialog()); }
};

// A pixel of the dialog (window coordinates) and the colour expected there.
struct ProbePixel {
    QPoint at;
    QColor expected;
    const char* what;
};

// The header image at the bar's right end and beside the title, and the close button.
std::vector<ProbePixel> dialogProbes(widgets::TCImageWindow* dialog);

// "" when every probe matches picture (the dialog's pixels start at origin)
// within tolerance, else the first mismatch.
QString checkProbes(const QImage& picture, const QPoint& origin, const std::vector<ProbePixel>& probes,
                    int tolerance = 6);

} // namespace salvor::testing
