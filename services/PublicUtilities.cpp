#include "services/PublicUtilities.h"

#include "platform/PropertyList.h"
#include "services/NetworkProbe.h"

#include <QVariantMap>

#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <mutex>

namespace {

// A public page that answers plain HTTP.
constexpr const char* kDefaultProbeAddress = "http://example.com/";

std::mutex g_probeMutex;
QString g_probeAddress; // empty: the default or the environment's

QString SizeText(long long bytes) {
    const double v = static_cast<double>(bytes);
    struct Unit {
        double limit;
        double divisor;
        const char* format;
    };
    static constexpr Unit kUnits[] = {
        {1024.0, 1.0, "%.0f byte"},
        {1048576.0, 1024.0, "%0.2f KB"},
        {1073741824.0, 1048576.0, "%0.2f MB"},
        {1099511627776.0, 1073741824.0, "%0.2f GB"},
    };
    const char* format = "%0.2f TB";
    double divisor = 1099511627776.0;
    for (const Unit& unit : kUnits) {
        if (v < unit.limit) {
            format = unit.format;
            divisor = unit.divisor;
            break;
        }
    }
    const float shown = static_cast<float>(v / divisor);
    char text[64];
    std::snprintf(text, sizeof text, format, static_cast<double>(shown));
    return QString::fromLatin1(text);
}

QString ReadEntry(const char* key) {
    const QVariantMap list = salvor::platform::loadPropertyList(VXPublicUtilities::kLocalVersionMessage);
    const auto it = list.constFind(QLatin1String(key));
    if (it == list.constEnd()) return QString();
    return it->toString();
}

bool WriteEntry(const char* key, const QString& value) {
    return salvor::platform::updatePropertyList(VXPublicUtilities::kLocalVersionMessage,
                                                [&](QVariantMap& list) { list.insert(QLatin1String(key), value); });
}

} // namespace

QString VXPublicUtilities::longlongDiskSize(long long bytes) { return SizeText(bytes); }

QString VXPublicUtilities::longlongConvertVolSpace(long long bytes) { return SizeText(bytes); }

QString VXPublicUtilities::fileSystemTypeForInt(int kind, int isDmg) {
    if (isDmg) return QStringLiteral("Disk Image");
    static const char* const kNames[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2",   "EXT3",
                                         "RAW",   "EXFAT", "HFS+",  "APFS", "Unknown"};
    if (kind < 0 || kind >= static_cast<int>(std::size(kNames))) return QStringLiteral("Disk");
    return QString::fromLatin1(kNames[kind]);
}

QString VXPublicUtilities::getUpDataTimeStr() { return ReadEntry("upDataTimeStr"); }

bool VXPublicUtilities::writeUpDataTimeStr(const QString& text) { return WriteEntry("upDataTimeStr", text); }

QString VXPublicUtilities::getSavePath() { return ReadEntry("SavePath"); }

bool VXPublicUtilities::writeSavePath(const QString& path) { return WriteEntry("SavePath", path); }

bool VXPublicUtilities::isCanBeUseNetWork() { return isCanBeUseNetWork(kNetworkProbeLimit); }

bool VXPublicUtilities::isCanBeUseNetWork(std::chrono::milliseconds limit) {
    return ProbeHttpAnswers(networkProbeAddress(), limit);
}

void VXPublicUtilities::setNetworkProbeAddress(const QString& url) {
    std::lock_guard<std::mutex> lock(g_probeMutex);
    g_probeAddress = url;
}

QString VXPublicUtilities::networkProbeAddress() {
    {
        std::lock_guard<std::mutex> lock(g_probeMutex);
        if (!g_probeAddress.isEmpty()) return g_probeAddress;
    }
    if (const char* env = std::getenv("SALVOR_NETWORK_PROBE_URL"); env && *env) return QString::fromUtf8(env);
    return QString::fromLatin1(kDefaultProbeAddress);
}
