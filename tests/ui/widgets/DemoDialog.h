#pragma once
// A dialog as the windows make them: a TCImageWindow with the dialogs' title
// bar, fading in and out, built by its controller. Shared by the offscreen
// tests and the Xvfb smoke program.
#include "ui/kit/WindowController.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/TCImageWindow.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QString>

#include <vector>

namespace salvor::testing {

class DemoDialogController : public kit::WindowController {
public:
    DemoDialogController();
    widgets::TCImageWindow* dialog() { return static_cast<widgets::TCImageWindow*>(window()); }
    widgets::DialogTitleBar bar;

protected:
    QWidget* loadWindow() override;
    void awakeFromNib() override;
    void windowDidLoad() override;
};

// A pixel of the dialog (window coordinates) and the colour expected there.
struct ProbePixel {
    QPoint at;
    QColor expected;
    const char* what;
};

// Pixels of the bar whose colours are known: the header image at both ends of
// the bar, the title text's colour somewhere in the label, and the close button.
std::vector<ProbePixel> dialogProbes(widgets::TCImageWindow* dialog);

// Checks picture (the dialog's pixels start at origin); "" when every probe
// matches within tolerance, else a description of the first mismatch.
QString checkProbes(const QImage& picture, const QPoint& origin, const std::vector<ProbePixel>& probes,
                    int tolerance = 6);

} // namespace salvor::testing
