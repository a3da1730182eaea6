#pragma once
// Fonts in pixels: a size the windows give in points is a pixel size at scale
// 1. One fixed family everywhere (DejaVu Sans, from fonts-dejavu-core), so text
// measures and screenshots come out the same on every machine.
#include <QFont>
#include <QString>

namespace salvor::kit {

inline constexpr const char* kFontFamily = "DejaVu Sans";

// The "system font" of the given size (points = pixels).
QFont systemFont(double points);
QFont boldSystemFont(double points);
// A font the windows name ("Helvetica Light", "Helvetica-Bold" …): the fixed
// family at that size, with the weight the name asks for.
QFont fontNamed(const QString& name, double points);

// Makes sure the fixed family is known to Qt (registering the DejaVu files
// when fontconfig does not list them) and sets the application font. Call once
// after the QApplication exists. Answers whether the family is available.
bool installApplicationFonts();

} // namespace salvor::kit
