#pragma once
// ZIP archives and the packages built on them (Office Open XML, OpenDocument,
// EPUB, application packages): followed record by record while the blocks
// pass, ended at the end-of-central-directory record (with its comment),
// typed from the names of their members and, for Office documents, named
// from their core properties. A candidate the stream gives up is sized from
// the device by the same analyser.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/metadata/FileProperty.h"

#include <string>

class RawFileBuffer;

// The compressed length of the raw deflate stream at `at` of the file,
// found by inflating it to its end (output dropped but for the first
// `keepBytes` kept in `kept`, and bounded); ~0 when it does not end within
// `limit` input bytes or the device.
unsigned long long DeflatedLength(RawFileBuffer& file, unsigned long long at, unsigned long long limit,
                                  unsigned long long deviceBytes, std::string* kept = nullptr,
                                  std::size_t keepBytes = 0);

class classZipSearch {
public:
    struct Block {
        unsigned long long length = 0; // from the record's start to the next record
        unsigned kind = 0;             // a package kind the record's name tells, else 0
        std::string name;
        bool sizesKnown = true;        // false: a data descriptor follows the data
        bool core = false;             // the member is docProps/core.xml
        bool end = false;              // end of central directory
        bool local = false;            // local file header
    };
    // rec: the bytes from the record's start, as many as are at hand. 1 valid,
    // 0 not a record (ends the walk), -1 more bytes are needed.
    static int GetBlockSize(bytes::Bytes rec, bool office, unsigned kind, Block& out);
};

class FileZIPAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kZip = 72, kDocx = 73, kXlsx = 74, kPptx = 75, kEpub = 114, kIpa = 118, kOdt = 123,
                              kOds = 124, kOdp = 125, kPages = 110, kKey = 111, kNumbers = 112, kOlm = 120,
                              kTax = 145, kCdr = 13;
    static constexpr unsigned long long kWalkLimit = 0x104000000ull;
    static constexpr unsigned long long kSearchLimit = 0xD000000ull;
    static constexpr unsigned long long kZeroTailLimit = 0xC800000ull;

    class ZIPRawFileInfo : public CRawFileInfo {
    public:
        ZIPRawFileInfo() { m_eRawFileType = kZip; }
        bool WhetherImplementGuess() override { return true; }
        // Named from what was read; the size is left to the classic sizer.
        void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
        int CalcRawSize(unsigned char* sector, int sectorSize, long long sectorNumber,
                        SearchContext& context) override;
        bool RecordAt(unsigned long long offset) const override {
            return m_bLastKnown && offset && offset == m_ullNext;
        }

        bool m_bOffice = false;
        bool m_bFirstKnown = true;
        bool m_bLastKnown = true;
        unsigned long long m_ullNext = 0;
        // A stored member whose sizes follow its data: where its data begins,
        // and from where its descriptor is looked for (0: none looked for).
        unsigned long long m_ullStoredData = 0, m_ullSeek = 0;
        long long m_llCoreAt = -1; // byte of the core-properties member from the file's start
        unsigned long long m_ullCap = 200000000;
        FileProperty m_Info;
        bool m_bCoreRead = false;
        // Names and labels from core properties the classic sizer read.
        void NameFromCore(const FileProperty& core);

    private:
        void FillFileInfo(long long sectorNumber, int sectorSize, unsigned zeroTail);
        // Walks the records that begin before `limit` bytes into the file.
        bool Walk(const CRawWindow& window, long long sectorByte, unsigned long long limit, bool& finished);
        // Looks for the descriptor of the stored member being walked up to
        // `limit`; true when found (the walk goes on after it).
        bool FindDescriptor(const CRawWindow& window, long long sectorByte, unsigned long long limit);
        bool m_bNamed = false;
    };

    FileZIPAnalyser() { m_nType = kZip; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new ZIPRawFileInfo(); }
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

    // The first member names an application package (a JAR's META-INF too).
    static bool ZipIpaFileType(bytes::Bytes head);
    // The first member or the first text tells an Office package may follow.
    static bool JudgeMaybeOfficeType(bytes::Bytes head);
    // The classic sizer's test: the streaming one, or a first member's name
    // holding "doc" or "ppt" (a presentation beginning with a slide).
    static bool JudgeMaybeOfficeTypeClassic(bytes::Bytes head);
    // The first member is a drawing application's page data.
    static bool JudgeDrawingType(bytes::Bytes head);
    // Forgets the bytes an earlier carve searched for end records.
    static void ForgetSearched();
};
