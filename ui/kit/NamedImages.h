#pragma once
// Images by name, as the windows and widgets ask for them ("home_normal",
// "warning_b", "3IconImage", "loading.gif" …). Every name is our own art,
// drawn at run time with QPainter, deterministic to the pixel; a PNG at
// images/<name>.png in the resource folder (images/<name> when the name has an
// extension already) replaces the drawn one.
//
// Images are QImage so they may be made and passed on any thread; turn them
// into a QPixmap on the GUI thread only (namedPixmap()).
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <vector>

namespace salvor::kit {

// The four looks of a control, named with these suffixes.
enum class ImageState { Normal, Press, Hover, Disable };

// "stem" + "_normal" / "_press" / "_hover" / "_disable".
QString stateImageName(const QString& stem, ImageState state);

struct NamedImageInfo {
    const char* name;
    int width;
    int height;
};

// Every name the program uses, in a fixed order.
const std::vector<NamedImageInfo>& namedImageList();

bool hasNamedImage(const QString& name);
// The size of a named image in points (pixels at scale 1); invalid when unknown.
QSize namedImageSize(const QString& name);

// The image of name (an override PNG when one exists); a null image for an
// unknown name. Thread-safe; answers are cached.
QImage namedImage(const QString& name);
// The drawn image, ignoring any override (the contact sheet, tests).
QImage drawnImage(const QString& name);
// The frames of an animated image ("loading.gif"), or the one image.
QList<QImage> namedImageFrames(const QString& name);
// GUI thread only.
QPixmap namedPixmap(const QString& name);

// Forgets cached images, e.g. after the resource folder changed.
void clearImageCache();

} // namespace salvor::kit
