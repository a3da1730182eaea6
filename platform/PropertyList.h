#pragma once
// Property lists through libplist, held as QVariant values:
//   dict -> QVariantMap, array -> QVariantList, string -> QString,
//   integer -> qlonglong, real -> double, bool -> bool, date -> QDateTime (UTC),
//   data -> QByteArray.
// File I/O is our own; writes are atomic (temporary file in the same folder,
// fsync, rename), so a failed write leaves the old file as it was.
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>

namespace salvor::platform {

enum class PlistFormat { Xml, Binary };

// Parses XML or binary bytes; an invalid QVariant on failure.
QVariant parsePropertyList(const QByteArray& bytes, QString* error = nullptr);
// Serialises value; empty on failure (a type a property list cannot hold, a
// date outside what the format keeps).
QByteArray serializePropertyList(const QVariant& value, PlistFormat format = PlistFormat::Xml,
                                 QString* error = nullptr);

QVariant readPropertyList(const QString& path, QString* error = nullptr);
bool writePropertyList(const QString& path, const QVariant& value, PlistFormat format = PlistFormat::Xml,
                       QString* error = nullptr);

// Replaces path with bytes atomically; the old file stays intact on failure.
bool writeFileAtomic(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// The program's own property lists (e.g. "LocalVersionMessage.plist"). The
// shipped copy in the resource folder is never written: the first write makes
// a writable copy under configDir(), seeded from the shipped one, and later
// reads prefer that copy.
QString writablePropertyListPath(const QString& fileName);
// The copy reads use: the writable one when it exists, else the shipped one
// ("" when neither exists).
QString propertyListPath(const QString& fileName);
// The dictionary of the list; empty when missing or unreadable.
QVariantMap loadPropertyList(const QString& fileName, QString* error = nullptr);
// Reads the list (writable copy, else shipped), lets change edit it and writes
// the result to the writable copy.
bool updatePropertyList(const QString& fileName, const std::function<void(QVariantMap&)>& change,
                        QString* error = nullptr);

} // namespace salvor::platform
