#pragma once
// MP3 files: streams that begin with an ID3v2 tag or directly with an MPEG
// audio frame. The streaming record walks a frame-started stream frame by
// frame; a tag-started one is ended by the zero tail of its last sector.
// Records given up go to the classic sizer the analyser owns, which walks
// the frames on the device. Both name the song from its tags (artist and
// title) and file it under its artist.
#include "engine/carver/analysers/MpaHeader.h"
#include "engine/carver/analysers/PartneredRecord.h"

#include <memory>
#include <string>

class RawFileBuffer;

namespace Mp3Text {

// The character set libchardet names for a NUL-terminated text; "" when it
// gives no answer or no confidence.
std::string Detect(const std::string& text);
// Kept when valid UTF-8 (sequences of one to three bytes; one cut off by the
// end counts as valid); otherwise every byte from 0x80 up becomes "_", and
// a text made only of such bytes becomes empty.
std::string ReplaceChar(const std::string& text);
// The text of an ID3v2 text frame (data: the frame's bytes, at most its
// declared size). charset: the set detected for the file so far, set when
// detect is asked and the set is unknown yet.
std::string GetTagValue(bytes::Bytes data, std::string& charset, bool detect);

struct Id3v1 {
    std::string title, artist, year;
};
// Title, artist and year of a 128-byte ID3v1 tag, converted to UTF-8 from
// the set detected for the title.
Id3v1 ReadId3v1(bytes::Bytes tag);

// A frame header: the sync bits and a header Init accepts; its length.
bool IsFrame(bytes::Bytes header, std::uint32_t* length = nullptr);
// The same with the version, layer and sample rate of the stream's first
// frame, which every frame of a stream keeps: *stream holds them, taken from
// the first frame seen while it is 0. Random bytes after the last frame that
// begin with a frame sync are not one more frame.
bool IsStreamFrame(bytes::Bytes header, std::uint32_t* length, std::uint32_t* stream);
// A frame of another stream that carries this one on (two files put back to
// back): its version, layer or sample rate differ from *stream, and the frame
// after it, whose header is `next`, has the same new ones. *stream then takes
// them. One frame of random bytes never chains so.
bool JoinsStream(bytes::Bytes header, bytes::Bytes next, std::uint32_t* stream);

} // namespace Mp3Text

class FileMP3Analyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMp3Type = 43;
    // The frame path stops beyond this; the walk after an ID3v2 tag beyond kTagWalkLimit.
    static constexpr unsigned long long kFrameLimit = 0x81FFFFFF;
    static constexpr unsigned long long kTagWalkLimit = 0x104000000;

    FileMP3Analyser() { m_nType = kMp3Type; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    std::string GetRawFileName() override { return m_strTitle; }
    std::string GetRawFileTime() override { return m_strYear; }
    void GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) const {
        tag = static_cast<RAW_FILE_TAG>(m_nTag);
        value = m_strArtist;
    }

    virtual int GetRawFileSizeXING(CRawFileInfo& record, RawFileBuffer& file);
    virtual int GetRawFileSizeFromFrame(CRawFileInfo& record, RawFileBuffer& file);

private:
    int Size(CRawFileInfo& record, IStorageDevice* device);
    // Reads the ID3v1 tag at offset into the record: name "artist_title", label artist.
    void NameFromId3v1(CRawFileInfo& record, RawFileBuffer& file, unsigned long long offset);
    // End of a walk that met an APE tag at position p.
    unsigned long long ApeTagEnd(RawFileBuffer& file, unsigned long long p);

    std::string m_strTitle;
    std::string m_strYear;
    int m_nTag = RAW_TAG_NONE;
    std::string m_strArtist;
    std::string m_strCharset;
    // The last file sized by the frame path: a start inside it is one of its frames.
    unsigned long long m_ullLastStart = 0;
    unsigned long long m_ullLastSectors = 0;
};

namespace BruteForce {

class MP3Analyzer : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr unsigned kMp3Type = 43;
    static constexpr std::uint32_t kMaxFrame = 352800;

    class MP3RawFileInfo : public CPartneredRawFileInfo {
    public:
        static constexpr unsigned long long kSizeLimit = 0xC800000;
        static constexpr unsigned long long kTagStartedLimit = 524288000;
        static constexpr unsigned long long kMinLength = 20480;

        explicit MP3RawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
            m_eRawFileType = kMp3Type;
        }
        ~MP3RawFileInfo() override { ReleaseGuard(); }
        MP3RawFileInfo(const MP3RawFileInfo&) = delete;
        MP3RawFileInfo& operator=(const MP3RawFileInfo&) = delete;

        void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
        int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;
        // The ID3v2 tag at the start of data: names, year, picture, minimum length.
        void GatherTagInfo(bytes::Bytes data);

        // The start sector of the frame-started stream being followed, -1
        // when none: while one is, no other frame-started file is taken, so
        // the frames of one stream do not each become a file.
        static long long m_lastStartSector;
        // Forgets the followed stream (a new carve starts).
        static void ResetGuard() { m_lastStartSector = -1; }

        unsigned long long m_ullMinLength = kMinLength;
        unsigned long long m_ullWalk = 0;
        unsigned m_bFrameMode = 0;
        unsigned long long m_ullFrames = 0; // frames walked in frame mode
        std::uint32_t m_nStream = 0;       // the stream's frame key (IsStreamFrame)
        unsigned long long m_ullLimit = kSizeLimit;
        long long m_llLastSector = -1;
        // The first sector after the start where another MP3 began with an
        // ID3v2 tag while this tag-started file was followed; -1 when none.
        long long m_llNextStart = -1;
        std::string m_strCharset;

    private:
        int CalcRawSizeEx(int sectorBytes, long long sectorNumber, SearchContext& ctx);
        int TagTail(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx);
        int Finish(unsigned long long size, long long sectorNumber);
        void ReleaseGuard();
    };

    MP3Analyzer() : m_classic(std::make_unique<FileMP3Analyser>()) { m_nType = kMp3Type; }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    // The start tests without the frame chaining and without the followed
    // stream's guard (the FAT search asks this outside any carve).
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new MP3RawFileInfo(m_classic.get()); }
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long sectorNumber,
                        long long windowStart, long long windowEnd) override;
    FileMP3Analyser* Classic() { return m_classic.get(); }

    // 2 when the start is an ID3v2 tag or two MPEG-1/2 frames in a row, else 1.
    static int AdjustMp3Health(const CRawWindow& window, long long sectorBytes, long long sector, long long windowEnd);

private:
    std::unique_ptr<FileMP3Analyser> m_classic;
};

} // namespace BruteForce
