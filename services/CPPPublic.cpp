#include "services/CPPPublic.h"

#include "engine/include/FileNode.h"
#include "platform/Localization.h"
#include "services/NodeWalk.h"
#include "services/UIPublic.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr _FILTER_TYPE kCategories[] = {FILTER_PICTURE, FILTER_MUSIC, FILTER_MOVIE,
                                        FILTER_ARCHIVE, FILTER_DOCUMENT, FILTER_OTHER};

// The kernel keeps command names in 16 bytes with the terminating zero.
constexpr int kCommLength = 15;

QString OwnExecutableName() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) {
        std::string path(buf.data(), static_cast<std::size_t>(n));
        // A replaced executable reads "… (deleted)".
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        const std::size_t slash = path.rfind('/');
        return QString::fromUtf8(path.substr(slash == std::string::npos ? 0 : slash + 1));
    }
    return QString::fromUtf8(program_invocation_short_name);
}

// The command name of a process, "" when it cannot be read.
QByteArray CommandName(const std::string& procRoot, const char* pid) {
    QFile file(QString::fromStdString(procRoot + "/" + pid + "/comm"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QByteArray name = file.read(64);
    while (name.endsWith('\n')) name.chop(1);
    return name;
}

bool IsOurName(const QByteArray& comm, const QString& ours) {
    if (comm.isEmpty() || ours.isEmpty()) return false;
    QString name = QString::fromUtf8(comm);
    if (name.compare(ours, Qt::CaseInsensitive) == 0) return true;
    if (comm.size() != kCommLength) return false;
    // A cut may split a multi-byte character; the broken tail decodes as a
    // replacement character and is not compared.
    if (name.endsWith(QChar::ReplacementCharacter)) name.chop(1);
    return ours.size() > name.size() && ours.startsWith(name, Qt::CaseInsensitive);
}

} // namespace

VXCPPPublic& VXCPPPublic::instance() {
    static VXCPPPublic* const service = new VXCPPPublic;
    return *service;
}

IFilesystemNode* VXCPPPublic::GetFileSystemNode(IFileNode* node) const {
    return dynamic_cast<IFilesystemNode*>(TopOfParentChain(node));
}

_tagSearcherType VXCPPPublic::GetNodeSearcheType(IFileNode* node) const {
    IFilesystemNode* root = GetFileSystemNode(node);
    return root ? root->GetSearcheType() : SEARCHER_NONE;
}

void VXCPPPublic::GetYearMonthByTimeT(int* year, int* month, std::time_t t) const {
    std::tm local{};
    if (!localtime_r(&t, &local)) return;
    if (year) *year = local.tm_year + 1900;
    if (month) *month = local.tm_mon + 1;
}

void VXCPPPublic::GetYearMonthByFileTime(int* year, int* month, _FILETIME t) const {
    GetYearMonthByTimeT(year, month, static_cast<std::time_t>(VXUIPublic::convertWindowsTimeToUnixTime(t)));
}

const char* FilterTypeTitleKey(_FILTER_TYPE type) {
    switch (type) {
    case FILTER_PICTURE: return "PAGE_TWO_PICTURE_TITLE";
    case FILTER_MUSIC: return "PAGE_TWO_MUSIC_TITLE";
    case FILTER_MOVIE: return "PAGE_TWO_MOVIE_TITLE";
    case FILTER_ARCHIVE: return "PAGE_TWO_ARCHIVE_TITLE";
    case FILTER_DOCUMENT: return "PAGE_TWO_DOCUMENT_TITLE";
    case FILTER_OTHER: return "PAGE_TWO_OTHER_TITLE";
    default: return nullptr;
    }
}

std::string VXCPPPublic::FilterTypeToString(_FILTER_TYPE type) const {
    const char* key = FilterTypeTitleKey(type);
    return key ? salvor::platform::localizedString(key).toStdString() : std::string();
}

_FILTER_TYPE VXCPPPublic::StringToFilterType(const char* text) const {
    if (!text) return FILTER_OTHER;
    for (_FILTER_TYPE type : kCategories)
        if (IsTypeString(text, type)) return type;
    return FILTER_OTHER;
}

bool VXCPPPublic::IsTypeString(const char* text, _FILTER_TYPE type) const {
    const char* key = FilterTypeTitleKey(type);
    return text && key && FilterTypeToString(type) == text;
}

bool VXCPPPublic::IsStringInFileNode(const char* key, IFileNode* node) const {
    return VXUIPublic::IsStringInFileNode(key, node);
}

bool VXCPPPublic::IsAppRunning() const { return IsAppRunning(ProcessScanOptions{}); }

bool VXCPPPublic::IsAppRunning(const ProcessScanOptions& options) {
    const QString ours = options.appName.empty() ? OwnExecutableName() : QString::fromStdString(options.appName);
    const pid_t self = options.self ? options.self : ::getpid();
    DIR* dir = ::opendir(options.procRoot.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (errno != 0 || end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) continue;
        if (IsOurName(CommandName(options.procRoot, entry->d_name), ours)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool isValidString(const char* text) {
    return text && QByteArrayView(text).isValidUtf8();
}
