#pragma once
// The carver's analyser interface and candidate records. An analyser tells
// whether a sector starts a file of its format; each hit becomes a candidate
// record that is sized at once, followed sector by sector (streaming records),
// or sized later from the device by its analyser (classic records).
#include "engine/common/Bytes.h"
#include "engine/include/StorageDevice.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Label of a carved file.
enum RAW_FILE_TAG : int {
    RAW_TAG_NONE = -1,
    RAW_TAG_ARTIST = 0,
    RAW_TAG_CAMERA = 1,
    RAW_TAG_OFFICE = 2,
    RAW_TAG_MOV = 3,
    RAW_TAG_PDF = 4,
    RAW_TAG_AI = 5,
};

// The bytes an analyser may read around the sector under test: in a scan the
// carver's double buffer (previous block, current block, zero margin), else
// the sector alone. Every read from sector data goes through here, so a
// length or offset taken from the data can never reach outside the buffer.
class CRawWindow {
public:
    static constexpr std::uint64_t kUnknownEnd = ~std::uint64_t{0};

    CRawWindow() = default;
    // [begin, end) holds sector; bytesToDeviceEnd counts from the sector's start.
    CRawWindow(const std::uint8_t* begin, const std::uint8_t* end, const std::uint8_t* sector,
               std::uint64_t bytesToDeviceEnd = kUnknownEnd);
    // A window of one sector's bytes.
    static CRawWindow Sector(const std::uint8_t* sector, std::size_t bytes,
                             std::uint64_t bytesToDeviceEnd = kUnknownEnd) {
        return CRawWindow(sector, sector + bytes, sector, bytesToDeviceEnd);
    }

    // n bytes at offset (may be negative) from the sector's start, or an empty
    // span when any of them lies outside the window.
    bytes::Bytes At(long long offset, std::size_t n) const;
    // Everything from offset to the window's end (empty outside).
    bytes::Bytes From(long long offset) const;
    bool Holds(const std::uint8_t* sector) const;
    const std::uint8_t* SectorPtr() const { return m_sector; }
    // Bytes from the sector's start to the device's end; kUnknownEnd when not known.
    std::uint64_t BytesToDeviceEnd() const { return m_deviceBytes; }

private:
    const std::uint8_t* m_begin = nullptr;
    std::size_t m_size = 0;
    const std::uint8_t* m_sector = nullptr;
    std::uint64_t m_deviceBytes = kUnknownEnd;
};

class IRawFileAnalyser;

class CRawFileInfo {
public:
    // What the carver knows about the sector it shows a streaming record.
    struct SearchContext {
        long long m_llWindowStart = 0; // first sector held in the double buffer
        long long m_llWindowEnd = 0;   // one past the current block's last sector
        unsigned m_nLeadingZero = 0;   // 4 when the sector's first 4 bytes are zero
        unsigned m_nTrailingZero = 0;  // zero bytes at the end, in whole 4-byte words, at most 32
        CRawFileInfo* m_pNewInfo = nullptr;
        bool m_bNewStart = false;      // a carved file starts at this sector (streaming or sized at once)
        CRawWindow m_Window;           // the bytes readable around the sector

        // The context of a sector of `bytes` bytes; the window is the sector
        // alone unless one is given.
        static SearchContext For(const std::uint8_t* sector, std::size_t bytes, long long windowStart,
                                 long long windowEnd, const CRawWindow* window = nullptr);
    };

    CRawFileInfo() = default;
    virtual ~CRawFileInfo() = default;
    CRawFileInfo(const CRawFileInfo&) = default;
    CRawFileInfo& operator=(const CRawFileInfo&) = default;

    // True for streaming records, which are shown every following sector.
    virtual bool WhetherImplementGuess() { return false; }
    // The record leaves the active set unfinished (evicted, scan end: null and -1).
    virtual void WillBeRemove(unsigned char*, long long) {}
    // 1 = finished (size final, or 0 to leave sizing to the analyser), else go on.
    virtual int CalcRawSize(unsigned char*, int, long long, SearchContext&) { return 2; }
    // True when the walk of a streaming record expects one of its file's
    // records (an archive's member) at `offset` bytes from its start, or
    // holds whatever starts there as a part of one.
    virtual bool RecordAt(unsigned long long /*offset*/) const { return false; }
    // How a start at `offset` bytes from the record's start, whose bytes
    // begin with `head`, belongs to the file the record walks: `part` when it
    // is one of its parts (see RecordAt); else, with `holderEnd` (bytes from
    // the record's start), it lies inside a part ending there (`atStart`: at
    // its first byte), and is that part's bytes only if it ends there too (a
    // stored archive), else a file of its own that follows a part that
    // claims more than it holds.
    struct Part {
        bool part = false;
        unsigned long long holderEnd = 0;
        bool atStart = false;
    };
    virtual Part PartAt(unsigned long long offset, bytes::Bytes /*head*/) const { return {RecordAt(offset), 0, false}; }

    // The stored name without trailing blanks and bad characters (stored back).
    std::string GetRawFileName();
    void SetRawFileName(const std::string& name);
    void GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) const;
    void SetRawFileTagAndValue(RAW_FILE_TAG tag, const std::string& value);

    // The window the carver gave this blank record if it holds `sector`,
    // else the sector's first 512 bytes (every device sector is at least that).
    CRawWindow WindowAt(const unsigned char* sector) const;

    long long m_llStartSector = 0;
    unsigned long long m_ullFileSize = 0;
    unsigned m_eRawFileType = 0;
    unsigned m_nAnalyserType = 0xFFFF;
    std::string m_strFileName;
    std::string m_strFileTime;
    RAW_FILE_TAG m_eTag = RAW_TAG_NONE;
    std::string m_strTagValue;
    IRawFileAnalyser* m_pAnalyser = nullptr;
    unsigned long long m_ullMinSize = 0;
    unsigned long long m_ullMinSizeExtra = 0;
    // Set by the carver on the blank record it passes to AnalyseBuffer.
    CRawWindow m_Window;
    // Set by the carver on a record that starts inside a part of a file of
    // its kind (see PartAt): the byte, from the device's start, where that
    // part ends (0 otherwise), and whether the record starts at its first byte.
    unsigned long long m_ullHolderEnd = 0;
    bool m_bAtHolderStart = false;
};

class ISpecialRawFileAnalyser {
public:
    virtual ~ISpecialRawFileAnalyser() = default;
    virtual int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long sectorNumber,
                                long long windowStart, long long windowEnd) = 0;
};

class IRawFileAnalyser {
public:
    virtual ~IRawFileAnalyser() = default;
    // Sizes a record from `device`, reading from its start sector. Non-zero = success.
    virtual int GetRawFileSize(CRawFileInfo&, IStorageDevice*) { return 1; }
    // 1 when the sector starts a file of this format (sets the record's type).
    virtual int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) = 0;
    // A cheap look at a sector of `bytes` bytes before any record is made for
    // it: false only where AnalyseBuffer would refuse the sector anyway. The
    // analysers tried on every sector without a key answer it from their
    // signature's bytes; the rest are always asked.
    virtual bool CouldStart(const unsigned char* /*sector*/, std::size_t /*bytes*/) { return true; }
    virtual std::string GetRawFileName() { return {}; }
    virtual std::string GetRawFileTime() { return {}; }
    // A new record owned by the caller.
    virtual CRawFileInfo* CreateRawFileInfo() { return new CRawFileInfo(); }
    virtual ISpecialRawFileAnalyser* GetSpecialRawFile() { return nullptr; }

    unsigned m_nType = 0;
};

// A streaming record for formats followed by zero bytes: the file ends in the
// first sector with a zero tail, where its data ends (optionally at an end
// marker near there).
class CZeroEndRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::size_t kEndMarkBytes = 80;

    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    // Sets the end marker (cut at 80 bytes).
    void SetEndMark(const void* mark, std::size_t length);

    unsigned long long m_ullMaxSize = 0;
    unsigned m_nUnit = 1;
    unsigned long long m_ullNextCheck = 0;
    unsigned char m_szEndMark[kEndMarkBytes] = {};
    unsigned short m_nEndMarkLen = 0;

private:
    // Adds n bytes; true (and the size set to the cap) when that passes the cap.
    bool Grow(std::uint64_t n);
    int CheckEndMark(const unsigned char* sector, std::size_t sectorBytes);
};
