#pragma once
// The preview of a found file: the encoded picture (any format QImage reads),
// or, when none can be made, the extension whose icon stands in ("" for none).
// Plain data, so it may travel between threads; the windows decode it on the
// main thread.
#include <QByteArray>
#include <QString>

struct PreviewImage {
    QByteArray bytes;
    QString iconExt;
    bool isNull() const { return bytes.isEmpty() && iconExt.isEmpty(); }
};
