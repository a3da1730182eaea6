#pragma once
// Small utilities of the windows: size texts, file-system names, the local
// settings kept in the "LocalVersionMessage" property list, and the network
// probe.
#include <QString>

#include <chrono>

class VXPublicUtilities {
public:
    // 1024-based size text: "%.0f byte", "%0.2f KB", "MB", "GB", "TB" of the
    // count (as single precision); a negative count falls in the first case.
    static QString longlongDiskSize(long long bytes);
    static QString longlongConvertVolSpace(long long bytes);

    // "Disk Image" when isDmg is set; else the kind's name (0 "FAT12" …
    // 10 "Unknown"), "Disk" for any other value.
    static QString fileSystemTypeForInt(int kind, int isDmg);

    // The local property list: its shipped copy is never written; writes go
    // atomically to the user's copy under $XDG_CONFIG_HOME/salvor, which
    // reads prefer. A null QString stands for an absent entry.
    static QString getUpDataTimeStr();
    static bool writeUpDataTimeStr(const QString& text);
    static QString getSavePath();
    static bool writeSavePath(const QString& path);

    // True when a request to the probe address answers any data within
    // limit (name lookup included). Blocks the calling thread for at most
    // limit; the request itself runs on a thread of its own.
    static bool isCanBeUseNetWork();
    static bool isCanBeUseNetWork(std::chrono::milliseconds limit);

    // The probe address, "http://host[:port]/path"; tests point it at a
    // loopback server. SALVOR_NETWORK_PROBE_URL overrides the default.
    static void setNetworkProbeAddress(const QString& url);
    static QString networkProbeAddress();

    static constexpr std::chrono::milliseconds kNetworkProbeLimit{5000};
    static constexpr const char* kLocalVersionMessage = "LocalVersionMessage.plist";
};
