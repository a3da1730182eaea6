#include "platform/PropertyList.h"

#include "platform/Paths.h"

#include <plist/plist.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor::platform {

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kAppleEpochOffset = 978307200;
constexpr int kMaxDepth = 256;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

void setError(QString* error, const QString& text) {
    if (error) *error = text;
}

QVariant toVariant(plist_t node, int depth, bool* ok) {
    if (!node || depth > kMaxDepth) {
        *ok = false;
        return {};
    }
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return map;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            QVariant v = toVariant(value, depth + 1, ok);
            if (key) map.insert(QString::fromUtf8(key), v);
            std::free(key);
            if (!*ok) break;
        }
        std::free(it);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n && *ok; ++i) list.append(toVariant(plist_array_get_item(node, i), depth + 1, ok));
        return list;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        if (!s) return QString();
        if (len > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
            *ok = false;
            return {};
        }
        return QString::fromUtf8(s, static_cast<qsizetype>(len));
    }
    case PLIST_UINT: {
        // libplist keeps integers as 64-bit words; negative values come back
        // as their two's complement.
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return QVariant::fromValue(static_cast<qlonglong>(v));
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return QVariant::fromValue(static_cast<qlonglong>(v));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (static_cast<qint64>(sec) + kAppleEpochOffset) * 1000 + usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char* d = plist_get_data_ptr(node, &len);
        if (len > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
            *ok = false;
            return {};
        }
        return QByteArray(d ? d : "", d ? static_cast<qsizetype>(len) : 0);
    }
    default:
        *ok = false;
        return {};
    }
}

plist_t fromVariant(const QVariant& v, int depth, QString* error) {
    if (depth > kMaxDepth) {
        setError(error, QStringLiteral("property list nested too deeply"));
        return nullptr;
    }
    switch (v.typeId()) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
        auto add = [&](const QString& key, const QVariant& value) {
            plist_t child = fromVariant(value, depth + 1, error);
            if (!child) return false;
            plist_dict_set_item(dict.get(), key.toUtf8().constData(), child);
            return true;
        };
        if (v.typeId() == QMetaType::QVariantMap) {
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                if (!add(it.key(), it.value())) return nullptr;
        } else {
            const QVariantHash hash = v.toHash();
            QVariantMap sorted; // a stable key order
            for (auto it = hash.cbegin(); it != hash.cend(); ++it) sorted.insert(it.key(), it.value());
            for (auto it = sorted.cbegin(); it != sorted.cend(); ++it)
                if (!add(it.key(), it.value())) return nullptr;
        }
        return dict.release();
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        PlistPtr array(plist_new_array());
        for (const QVariant& item : v.toList()) {
            plist_t child = fromVariant(item, depth + 1, error);
            if (!child) return nullptr;
            plist_array_append_item(array.get(), child);
        }
        return array.release();
    }
    case QMetaType::QString:
        return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(static_cast<uint64_t>(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(static_cast<uint64_t>(v.toULongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QDateTime:
    case QMetaType::QDate: {
        const QDateTime dt = v.typeId() == QMetaType::QDate ? v.toDate().startOfDay(Qt::UTC) : v.toDateTime();
        if (!dt.isValid()) break;
        const qint64 ms = dt.toMSecsSinceEpoch() - kAppleEpochOffset * 1000;
        qint64 sec = ms / 1000, msRest = ms % 1000;
        if (msRest < 0) {
            msRest += 1000;
            --sec;
        }
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max()) {
            setError(error, QStringLiteral("date outside the range a property list keeps"));
            return nullptr;
        }
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(msRest * 1000));
    }
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), static_cast<uint64_t>(b.size()));
    }
    default:
        break;
    }
    setError(error, QStringLiteral("a property list cannot hold a value of type %1")
                        .arg(QString::fromLatin1(v.typeName() ? v.typeName() : "invalid")));
    return nullptr;
}

QString errnoText(const char* what, const QString& path) {
    return QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(what), path, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

QVariant parsePropertyList(const QByteArray& bytes, QString* error) {
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<int32_t>::max()) {
        setError(error, QStringLiteral("empty or oversized property list"));
        return {};
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr holder(root);
    if (!root) {
        setError(error, QStringLiteral("not a property list"));
        return {};
    }
    bool ok = true;
    QVariant v = toVariant(root, 0, &ok);
    if (!ok) {
        setError(error, QStringLiteral("property list holds an unsupported value"));
        return {};
    }
    return v;
}

QByteArray serializePropertyList(const QVariant& value, PlistFormat format, QString* error) {
    PlistPtr root(fromVariant(value, 0, error));
    if (!root) return {};
    char* out = nullptr;
    uint32_t len = 0;
    if (format == PlistFormat::Xml)
        plist_to_xml(root.get(), &out, &len);
    else
        plist_to_bin(root.get(), &out, &len);
    // libplist 2.2 hands out malloc'd buffers and has no free function of its own.
    QByteArray bytes(out ? out : "", out ? static_cast<qsizetype>(len) : 0);
    std::free(out);
    if (bytes.isEmpty()) setError(error, QStringLiteral("property list could not be serialised"));
    return bytes;
}

QVariant readPropertyList(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
        return {};
    }
    // Our lists are small; refuse anything that cannot be one.
    constexpr qint64 kMaxSize = 64 * 1024 * 1024;
    if (f.size() > kMaxSize) {
        setError(error, QStringLiteral("%1 is too large for a property list").arg(path));
        return {};
    }
    return parsePropertyList(f.readAll(), error);
}

bool writePropertyList(const QString& path, const QVariant& value, PlistFormat format, QString* error) {
    const QByteArray bytes = serializePropertyList(value, format, error);
    if (bytes.isEmpty()) return false;
    return writeFileAtomic(path, bytes, error);
}

bool writeFileAtomic(const QString& path, const QByteArray& bytes, QString* error) {
    const QFileInfo info(path);
    const QString dir = info.absolutePath();
    QByteArray tmpl = QFile::encodeName(dir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        setError(error, errnoText("cannot create a temporary file in", dir));
        return false;
    }
    const QByteArray finalName = QFile::encodeName(info.absoluteFilePath());
    auto fail = [&](const char* what) {
        setError(error, errnoText(what, path));
        close(fd);
        unlink(tmpl.constData());
        return false;
    };
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write");
        }
        p += n;
        left -= n;
    }
    // Keep the mode of the file replaced; a new file gets the usual 0644.
    struct stat st;
    const mode_t mode = stat(finalName.constData(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (fchmod(fd, mode) != 0) return fail("cannot set the mode of");
    if (fsync(fd) != 0) return fail("cannot flush");
    if (close(fd) != 0) {
        setError(error, errnoText("cannot close", path));
        unlink(tmpl.constData());
        return false;
    }
    if (rename(tmpl.constData(), finalName.constData()) != 0) {
        setError(error, errnoText("cannot replace", path));
        unlink(tmpl.constData());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int dfd = open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

QString writablePropertyListPath(const QString& fileName) { return configDir() + QLatin1Char('/') + fileName; }

QString propertyListPath(const QString& fileName) {
    const QString writable = writablePropertyListPath(fileName);
    if (QFileInfo::exists(writable)) return writable;
    const QString shipped = resourcePath(fileName);
    return !shipped.isEmpty() && QFileInfo::exists(shipped) ? shipped : QString();
}

QVariantMap loadPropertyList(const QString& fileName, QString* error) {
    const QString path = propertyListPath(fileName);
    if (path.isEmpty()) {
        setError(error, QStringLiteral("no property list %1").arg(fileName));
        return {};
    }
    const QVariant v = readPropertyList(path, error);
    if (v.isValid() && v.typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("%1 is not a dictionary").arg(path));
        return {};
    }
    return v.toMap();
}

bool updatePropertyList(const QString& fileName, const std::function<void(QVariantMap&)>& change, QString* error) {
    QVariantMap map = loadPropertyList(fileName, nullptr);
    if (change) change(map);
    const QString target = writablePropertyListPath(fileName);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        setError(error, QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath()));
        return false;
    }
    return writePropertyList(target, map, PlistFormat::Xml, error);
}

} // namespace salvor::platform
