#include "engine/common/FileTypeManager.h"

#include <string_view>

std::string strPics =
    "jpg;jpeg;png;gif;bmp;tif;tiff;psd;psp;ico;cur;ani;cdr;cmx;ai;eps;emf;wmf;svg;crw;cr2;nef;nrw;sr2;arw;raw;"
    "rw2;dng;raf;dcr;kdc;3fr;erf;mef;mrw;mdc;pef;ptx;srw;orf;x3f;wpg;icns;sketch;indd;3ds;max;dwg;dxf;clk";
std::string strMusic = "mp3;wav;wma;aac;aiff;aif;ape;ogg;m4a;mid;midi;au;flac;riff;sib;mlv;adp";
std::string strMovies = "avi;mov;mp4;m4v;3gp;wmv;asf;flv;swf;mkv;rm;rmvb;mpg;mpeg;m2ts;mxf;aaf;aep;fcpevent;shw";
std::string strArchvie = "zip;rar;gz;tar;lzh;cab;sit;sitx;dmg;pkg;ipa;jks;psafe3";
std::string strDocument =
    "doc;docx;xls;xlsx;ppt;pptx;pdf;rtf;txt;htm;html;chm;hlp;mdb;accdb;mny;mpp;one;pub;pst;qpw;vsd;wpd;dbx;"
    "ole;csl;pages;key;numbers;epub;emlx;itl;olm;abcddb;odt;ods;odp;mbox;muse;gpx;plist;iba;mobi;ngrr;trec;"
    "enex;ipt;tax;ttf;mof";
std::string strIM;

namespace {
void InsertList(CKeHashTable<FILE_TYPE_ID, 2048>& table, const std::string& list, FILE_TYPE_ID id) {
    std::string_view rest(list);
    while (!rest.empty()) {
        const size_t semi = rest.find(';');
        const std::string piece(rest.substr(0, semi));
        if (!piece.empty()) table.Insert(piece.c_str(), id);
        if (semi == std::string_view::npos) break;
        rest.remove_prefix(semi + 1);
    }
}
} // namespace

int CFileTypeManager::Initialize() {
    m_table.Clear();
    InsertList(m_table, strPics, FILE_TYPE_PICTURE);
    InsertList(m_table, strMusic, FILE_TYPE_MUSIC);
    InsertList(m_table, strMovies, FILE_TYPE_MOVIE);
    InsertList(m_table, strArchvie, FILE_TYPE_ARCHIVE);
    InsertList(m_table, strDocument, FILE_TYPE_DOCUMENT);
    return 1;
}

void CFileTypeManager::Initialze(const std::map<int, std::string>& lists) {
    const std::pair<int, std::string*> targets[] = {
        {1, &strPics}, {2, &strMusic}, {4, &strMovies}, {8, &strArchvie}, {16, &strDocument}};
    for (const auto& [key, list] : targets) {
        const auto it = lists.find(key);
        if (it != lists.end()) *list = it->second;
    }
}

FILE_TYPE_ID CFileTypeManager::GetFileTypeID(const char* ext) const {
    FILE_TYPE_ID id = FILE_TYPE_OTHER;
    if (!ext || !m_table.Find(ext, &id)) return FILE_TYPE_OTHER;
    return id;
}
