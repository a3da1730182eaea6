#pragma once
// Pictures for previews of found files: encoded bytes decoded with Qt's image
// readers (any thread; Qt's allocation limit stays in force, so a hostile
// header cannot ask for gigabytes), and the icon of a file extension
// (main thread only: icons are GUI objects).
#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QSize>
#include <QString>

namespace salvor::kit {

// The picture in bytes; a null image when they hold none.
QImage decodePreviewBytes(const QByteArray& bytes);
// The pixel size of the picture in bytes, empty when they hold none: the
// decoder the services test previews with. The picture decoded last on this
// thread is kept, so decoding the same bytes again right after costs nothing.
QSize decodedPreviewSize(const QByteArray& bytes);

// The theme's icon for files of the extension (lower case, "" for none),
// else our own file icon. Main thread only.
QIcon iconForFileType(const QString& ext);

} // namespace salvor::kit
