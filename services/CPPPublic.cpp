#include "services/CPPPublic.h"

#include "engine/include/FileNode.h"
#include "platform/Localization.h"
#include "platform/SingleInstance.h"
#include "services/NodeWalk.h"
#include "services/UIPublic.h"

#include <QByteArrayView>
#include <QString>

namespace {

constexpr _FILTER_TYPE kCategories[] = {FILTER_PICTURE, FILTER_MUSIC, FILTER_MOVIE,
                                        FILTER_ARCHIVE, FILTER_DOCUMENT, FILTER_OTHER};

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

bool VXCPPPublic::IsAppRunning() const { return salvor::platform::SingleInstance::shared().anotherIsRunning(); }

bool isValidString(const char* text) {
    return text && QByteArrayView(text).isValidUtf8();
}
