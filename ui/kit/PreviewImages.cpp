#include "ui/kit/PreviewImages.h"

#include "ui/kit/NamedImages.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QMimeDatabase>
#include <QPixmap>
#include <QThread>

namespace salvor::kit {

namespace {
// The last picture decoded on this thread, with the bytes it came from (held,
// so that their address cannot be reused by other bytes).
struct LastDecoded {
    QByteArray bytes;
    QImage image;
};
thread_local LastDecoded t_last;
} // namespace

QImage decodePreviewBytes(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QImage();
    if (t_last.bytes.constData() == bytes.constData() && t_last.bytes.size() == bytes.size()) return t_last.image;
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    t_last = LastDecoded{bytes, image};
    return image;
}

QSize decodedPreviewSize(const QByteArray& bytes) {
    const QImage image = decodePreviewBytes(bytes);
    return image.isNull() ? QSize() : image.size();
}

QIcon iconForFileType(const QString& ext) {
    Q_ASSERT(!QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread());
    static const QMimeDatabase mime;
    const QMimeType type = mime.mimeTypeForFile(QStringLiteral("x.") + ext, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull()) icon = QIcon(namedPixmap(QStringLiteral("1IconImage")));
    return icon;
}

} // namespace salvor::kit
