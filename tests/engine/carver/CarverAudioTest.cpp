// The audio analysers on hand-made headers and on samples made by ffmpeg
// and abc2midi (tests/fixtures/audio_samples.sh, and the short song of
// carve_audio.sh): the MPEG frame header and ID3 readers, acceptance, the
// streaming walks shown a file block by block as the carver shows it, the
// classic sizers on a device, and the guards that keep one stream's frames
// or pages from each becoming a file.
#include "engine/carver/RawFileAnalyserList.h"
#include "engine/carver/analysers/ApeAdtsAsfAnalysers.h"
#include "engine/carver/analysers/ChainAnalysers.h"
#include "engine/carver/analysers/Mp3Analyzer.h"
#include "engine/carver/analysers/RiffAnalysers.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using BruteForce::MP3Analyzer;
using Mp3Record = MP3Analyzer::MP3RawFileInfo;

Bytes Sample(const char* name, const char* fixture = "audio_samples") {
    std::ifstream in(salvor::test::FixtureFile(fixture, name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Put(Bytes& b, std::size_t at, const char* text) { std::memcpy(b.data() + at, text, std::strlen(text)); }
void Le16(Bytes& b, std::size_t at, unsigned v) { salvor::test::PutLe16(b, at, static_cast<std::uint16_t>(v)); }
void Le32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }
void Be32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutBe32(b, at, v); }
Bytes Padded(Bytes b, unsigned ss, std::size_t extraSectors = 2) {
    b.resize((b.size() + ss - 1) / ss * ss + extraSectors * ss, 0);
    return b;
}

// The start test as the carver asks it, for the sector at `sector` of image
// seen in one window.
int Accept(IRawFileAnalyser& a, Bytes& image, unsigned ss, long long sector, CRawFileInfo& blank,
           long long windowEnd = 0) {
    const long long sectors = windowEnd > 0 ? windowEnd : static_cast<long long>(image.size() / ss);
    unsigned char* p = image.data() + sector * ss;
    blank.m_Window = CRawWindow(image.data(), image.data() + image.size(), p);
    if (ISpecialRawFileAnalyser* special = a.GetSpecialRawFile())
        return special->AnalyseBufferEx(p, blank, ss, sector, 0, sectors);
    return a.AnalyseBuffer(p, blank);
}

// A record made and shown the sectors from `start` as the carver does it:
// blocks of `block` sectors held with the previous block and a zero margin.
// Answers the sector at which the record finished, -1 when it never did. At
// sector `next` the carver is said to have found another MP3.
long long Stream(CRawFileInfo& record, const Bytes& image, unsigned ss, long long start, long long block = 0,
                 long long next = -1) {
    const long long sectors = static_cast<long long>(image.size() / ss);
    if (block <= 0) block = sectors;
    record.m_llStartSector = start;
    CRawFileInfo other;
    other.m_llStartSector = next;
    other.m_eRawFileType = MP3Analyzer::kMp3Type;
    std::vector<unsigned char> buffer(2 * block * ss + 4096);
    for (long long first = 0; first < sectors; first += block) {
        const long long count = std::min(block, sectors - first);
        std::fill(buffer.begin(), buffer.end(), 0);
        const long long prev = first > 0 ? block : 0;
        if (prev) std::memcpy(buffer.data(), image.data() + (first - block) * ss, block * ss);
        unsigned char* cur = buffer.data() + prev * ss;
        std::memcpy(cur, image.data() + first * ss, count * ss);
        for (long long i = 0; i < count; ++i) {
            const long long s = first + i;
            if (s < start) continue;
            unsigned char* p = cur + i * ss;
            // The image is the whole device: the window knows where it ends.
            const CRawWindow w(buffer.data(), buffer.data() + buffer.size(), p,
                               static_cast<std::uint64_t>(sectors - s) * ss);
            auto c = CRawFileInfo::SearchContext::For(p, ss, prev ? first - block : first, first + count, &w);
            if (s == next) c.m_pNewInfo = &other;
            if (record.CalcRawSize(p, static_cast<int>(ss), s, c) == 1) return s;
        }
    }
    return -1;
}

// The record's classic sizer run on a device holding image.
int SizeOnDevice(IRawFileAnalyser& a, CRawFileInfo& record, const Bytes& image, unsigned ss) {
    salvor::test::TempDir dir;
    {
        std::ofstream out(dir.file("a.img"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    salvor::test::ImageDevice device(dir.file("a.img"), ss);
    return a.GetRawFileSize(record, &device);
}

std::unique_ptr<CRawFileInfo> Made(IRawFileAnalyser& a, const CRawFileInfo& blank) {
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    r->m_eRawFileType = blank.m_eRawFileType;
    r->m_ullFileSize = blank.m_ullFileSize;
    r->m_pAnalyser = &a;
    return r;
}

class CarverAudioGuards : public ::testing::Test {
protected:
    void SetUp() override { ResetCarveGuards(); }
    void TearDown() override { ResetCarveGuards(); }
};

} // namespace

TEST(CarverAudio, FrameHeaderAndSynchsafeSizes) {
    auto size = [](std::initializer_list<unsigned char> h) {
        const Bytes b(h);
        CMPAHeader header;
        return header.Init(b.data()) ? static_cast<long>(header.CalcFrameSize()) : -1L;
    };
    EXPECT_EQ(size({0xFF, 0xFB, 0x90, 0x64}), 417);
    EXPECT_EQ(size({0xFF, 0xFB, 0x92, 0x64}), 418);
    EXPECT_EQ(size({0xFF, 0xF3, 0x14, 0x00}), 24); // MPEG-2 Layer III, 8 kbit/s, 24000 Hz
    EXPECT_EQ(size({0xFF, 0xFB, 0x00, 0x64}), -1); // free format
    EXPECT_EQ(size({0xFF, 0xFB, 0xF0, 0x64}), -1); // bitrate index 15
    EXPECT_EQ(size({0xFF, 0xFB, 0x9C, 0x64}), -1); // sampling index 3
    EXPECT_EQ(size({0xFF, 0xFB, 0x90, 0x66}), -1); // emphasis 2
    EXPECT_EQ(size({0xFF, 0xEB, 0x90, 0x64}), -1); // version bits 1
    EXPECT_EQ(size({0xFF, 0xF9, 0x90, 0x64}), -1); // layer bits 0
    EXPECT_EQ(size({0xFF, 0xFD, 0x10, 0x00}), -1); // Layer II 32 kbit/s in stereo
    EXPECT_EQ(size({0xFF, 0xFD, 0x10, 0xC0}), 104); // the same in single channel

    unsigned v = 0;
    const unsigned char a[4] = {0, 0, 2, 1}, b[4] = {0, 0, 0x80, 0};
    EXPECT_EQ(classMp3Search::GetSynchsafeInteger(a, &v), 1);
    EXPECT_EQ(v, 257u);
    EXPECT_EQ(classMp3Search::GetSynchsafeInteger(b, &v), 0);
    EXPECT_EQ(classMp3Search::GetSynchsafeInteger(nullptr, &v), 0);
}

TEST(CarverAudio, Id3Texts) {
    std::string set;
    const Bytes utf8 = {3, 'S', 0xC3, 0xA9, 0};
    EXPECT_EQ(Mp3Text::GetTagValue(utf8, set, false), "S\xC3\xA9");
    const Bytes le = {1, 0xFF, 0xFE, 'A', 0, 0xE9, 0};
    EXPECT_EQ(Mp3Text::GetTagValue(le, set, false), "A\xC3\xA9");
    const Bytes be = {1, 0xFE, 0xFF, 0, 'A'};
    EXPECT_EQ(Mp3Text::GetTagValue(be, set, false), "");
    EXPECT_EQ(Mp3Text::GetTagValue(Bytes{2, 'x'}, set, false), "");
    EXPECT_EQ(Mp3Text::ReplaceChar("ok"), "ok");
    EXPECT_EQ(Mp3Text::ReplaceChar("a\xE9z"), "a_z");
    EXPECT_EQ(Mp3Text::ReplaceChar("\xE9\xE9"), "");
    EXPECT_EQ(Mp3Text::ReplaceChar("cut \xC3"), "cut \xC3"); // cut off by the end: kept

    // A full 30-byte Latin-1 ID3v1 title grows by its six accented letters in UTF-8.
    Bytes tag(128, 0);
    Put(tag, 0, "TAG");
    Put(tag, 3, "Caf\xE9 Ol\xE9 Caf\xE9 Ol\xE9 Caf\xE9 Ol\xE9 Ca");
    Put(tag, 33, "Bob");
    const Mp3Text::Id3v1 v = Mp3Text::ReadId3v1(tag);
    EXPECT_EQ(v.title, "Caf\xC3\xA9 Ol\xC3\xA9 Caf\xC3\xA9 Ol\xC3\xA9 Caf\xC3\xA9 Ol\xC3\xA9 Ca");
    EXPECT_EQ(v.artist, "Bob");

    // Frame sizes that run past the bytes present are read only as far as they go.
    Bytes id3(64, 0);
    Put(id3, 0, "ID3");
    id3[3] = 3;
    id3[9] = 100;
    Put(id3, 10, "TPE1");
    Be32(id3, 14, 300);
    id3[20] = 0;
    Put(id3, 21, "Ann");
    Mp3Record r(nullptr);
    r.m_llStartSector = 7;
    r.GatherTagInfo(bytes::Bytes(id3.data(), 40));
    EXPECT_EQ(r.m_strFileName, "Ann_ 7_");
    Bytes lyrics(80, 0);
    std::memcpy(lyrics.data(), id3.data(), 10);
    Put(lyrics, 10, "USLT");
    Be32(lyrics, 14, 500);
    Put(lyrics, 26, "x[ar:Lyricist");
    Mp3Record r2(nullptr);
    r2.GatherTagInfo(bytes::Bytes(lyrics.data(), 60)); // no "]" within the bytes present
    EXPECT_EQ(r2.m_strTagValue, "");
}

TEST_F(CarverAudioGuards, Mp3FrameStartGuardBelongsToTheCarverAndItsRecord) {
    Bytes image = Padded(Sample("k2.mp3"), 512);
    ASSERT_GT(image.size(), 4096u);
    MP3Analyzer a;
    CRawFileInfo blank;
    ASSERT_EQ(Accept(a, image, 512, 0, blank), 1);
    EXPECT_EQ(Mp3Record::m_lastStartSector, 0);
    // Another frame-started sector is refused while the stream is followed...
    const long long inner = 4096 / 512;
    CRawFileInfo other;
    Bytes frames = image;
    std::memcpy(frames.data() + inner * 512, image.data(), 4096);
    EXPECT_EQ(Accept(a, frames, 512, inner, other), 0);
    // ... but not by the FAT search's first-cluster test, which knows no carve.
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    const auto range = registry->GetAnalyserMultimap(1).equal_range(0xFBFF);
    ASSERT_NE(range.first, range.second);
    CRawFileInfo fat;
    EXPECT_EQ(range.first->second->AnalyseBuffer(image.data(), fat), 1);

    // Evicted, the record gives the guard back; so does one destroyed unfinished.
    auto record = Made(a, blank);
    record->m_llStartSector = 0;
    record->WillBeRemove(image.data(), 3);
    EXPECT_EQ(Mp3Record::m_lastStartSector, -1);
    EXPECT_EQ(Accept(a, frames, 512, inner, other), 1);
    {
        auto second = Made(a, other);
        second->m_llStartSector = inner;
        // A tag-started record ending does not free another record's guard.
        Mp3Record tagged(a.Classic());
        tagged.m_llStartSector = 100;
        tagged.WillBeRemove(nullptr, -1);
        EXPECT_EQ(Mp3Record::m_lastStartSector, inner);
    }
    EXPECT_EQ(Mp3Record::m_lastStartSector, -1);
    // A new carve starts without one.
    ASSERT_EQ(Accept(a, image, 512, 0, blank), 1);
    ResetCarveGuards();
    EXPECT_EQ(Accept(a, frames, 512, inner, other), 1);
}

TEST_F(CarverAudioGuards, Mp3Streams) {
    MP3Analyzer a;
    // Frame-started: walked to its ID3v1 tag, named and labelled from it.
    Bytes k2 = Padded(Sample("k2.mp3"), 512);
    CRawFileInfo blank;
    ASSERT_EQ(Accept(a, k2, 512, 0, blank), 1);
    auto r = Made(a, blank);
    EXPECT_GE(Stream(*r, k2, 512, 0, 64), 0);
    EXPECT_EQ(r->m_ullFileSize, Sample("k2.mp3").size());
    EXPECT_EQ(r->m_strFileName, "Bob_Raw Frames");
    EXPECT_EQ(r->m_strTagValue, "Bob");
    EXPECT_EQ(Mp3Record::m_lastStartSector, -1);

    // Frames followed by random bytes end where the frames end.
    Bytes raw = Sample("k2.mp3");
    raw.resize(raw.size() - 128);
    const std::size_t frames = raw.size();
    std::mt19937 rng(5);
    for (int i = 0; i < 8192; ++i) raw.push_back(static_cast<unsigned char>(rng()));
    raw = Padded(raw, 512);
    ASSERT_EQ(Accept(a, raw, 512, 0, blank), 1);
    r = Made(a, blank);
    EXPECT_GE(Stream(*r, raw, 512, 0, 40), 0);
    EXPECT_EQ(r->m_ullFileSize, frames);

    // Fewer than 10240 bytes of frames: no size here, left to the classic sizer, which refuses it too.
    Bytes small(k2.begin(), k2.begin() + 5 * 418);
    small = Padded(small, 512, 30);
    ASSERT_EQ(Accept(a, small, 512, 0, blank), 1);
    r = Made(a, blank);
    EXPECT_GE(Stream(*r, small, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, 0u);
    EXPECT_EQ(SizeOnDevice(*a.Classic(), *r, small, 512), 0);

    // Tag-started: ended by the zero tail of its last sector, named from the ID3v2 tag.
    const Bytes kSample = Sample("k.mp3");
    Bytes k = Padded(kSample, 512, 4);
    ASSERT_EQ(Accept(a, k, 512, 0, blank), 1);
    r = Made(a, blank);
    EXPECT_GE(Stream(*r, k, 512, 0, 16), 0);
    EXPECT_GE(r->m_ullFileSize, kSample.size());
    EXPECT_LE(r->m_ullFileSize, kSample.size() + 2 * 512);
    EXPECT_EQ(r->m_strFileName, "Ann Artist_Song Title 0_");
    EXPECT_EQ(r->m_eTag, RAW_TAG_ARTIST);
    EXPECT_EQ(r->m_strTagValue, "Ann Artist");
}

// Two short songs by ffmpeg stored back to back, the second from the sector
// after the first one's end: the frame walk after its tag ends the first song
// where its frames end, as does the classic sizer's walk.
TEST_F(CarverAudioGuards, Mp3BackToBackSongsKeptApart) {
    const Bytes song = Sample("short.mp3", "carve_audio");
    ASSERT_LT(song.size(), Mp3Record::kMinLength);
    for (unsigned ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        Bytes image = Padded(song, ss, 0);
        const long long next = static_cast<long long>(image.size() / ss);
        image.insert(image.end(), song.begin(), song.end());
        image = Padded(image, ss);
        MP3Analyzer a;
        CRawFileInfo blank;
        ASSERT_EQ(Accept(a, image, ss, 0, blank), 1);
        auto r = Made(a, blank);
        EXPECT_LE(Stream(*r, image, ss, 0, 16, next), next);
        EXPECT_EQ(r->m_ullFileSize, song.size());
        ASSERT_EQ(SizeOnDevice(*a.Classic(), *r, image, ss), 1);
        EXPECT_EQ(r->m_ullFileSize, song.size());
    }
}

TEST(CarverAudio, Mp3ClassicSizes) {
    MP3Analyzer a;
    FileMP3Analyser& classic = *a.Classic();
    const Bytes kSample = Sample("k.mp3");
    CRawFileInfo r;
    ASSERT_EQ(SizeOnDevice(classic, r, Padded(kSample, 512), 512), 1);
    EXPECT_EQ(r.m_ullFileSize, kSample.size());
    EXPECT_EQ(r.m_strFileName, "Ann Artist_Song Title");
    EXPECT_EQ(r.m_strTagValue, "Ann Artist");

    const Bytes k3 = Sample("k3.mp3");
    CRawFileInfo r3;
    FileMP3Analyser other;
    ASSERT_EQ(SizeOnDevice(other, r3, Padded(k3, 512), 512), 1);
    EXPECT_EQ(r3.m_ullFileSize, k3.size());
    EXPECT_EQ(r3.m_strFileName, "Bob_Caf\xC3\xA9 Ol\xC3\xA9");

    // A Xing header's byte count counts only when its flags say it is there.
    Bytes x = Sample("k2.mp3");
    x[2] = 0xE0; // 320 kbit/s: the Xing path
    std::memcpy(x.data() + 36, "Xing", 4);
    Be32(x, 40, 0);
    Be32(x, 48, 0x7FFFFFF0);
    CRawFileInfo rx;
    FileMP3Analyser fresh;
    EXPECT_EQ(SizeOnDevice(fresh, rx, Padded(x, 512), 512), 0); // not a frame chain at 320 kbit/s either: no size
    EXPECT_EQ(rx.m_ullFileSize, 0u);
    Be32(x, 40, 3);
    Be32(x, 48, 20000);
    CRawFileInfo ry;
    FileMP3Analyser fresh2;
    ASSERT_EQ(SizeOnDevice(fresh2, ry, Padded(x, 512), 512), 1);
    EXPECT_EQ(ry.m_ullFileSize, 20000u);
}

TEST(CarverAudio, RiffAiffAndAu) {
    auto riff = [](const char* form, const char* sub, std::uint32_t size) {
        Bytes b(512, 0);
        Put(b, 0, "RIFF");
        Le32(b, 4, size);
        Put(b, 8, form);
        Put(b, 12, sub);
        return b;
    };
    auto sized = [](IRawFileAnalyser& a, Bytes b) {
        CRawFileInfo r;
        a.AnalyseBuffer(b.data(), r);
        b = Padded(b, 512, 8);
        SizeOnDevice(a, r, b, 512);
        return std::pair(r.m_eRawFileType, r.m_ullFileSize);
    };
    FileRIFFAnalyser f;
    // The 8-byte chunk header and an odd size's pad byte count too.
    EXPECT_EQ(sized(f, riff("WAVE", "fmt ", 1000)), std::pair(67u, 1008ull));
    EXPECT_EQ(sized(f, riff("WAVE", "fmt ", 1024)), std::pair(67u, 1032ull));
    EXPECT_EQ(sized(f, riff("WAVE", "fmt ", 503)), std::pair(67u, 512ull));
    EXPECT_EQ(sized(f, riff("WAVE", "fmt ", 505)), std::pair(67u, 514ull));
    EXPECT_EQ(sized(f, riff("wave", "FMT ", 100)).first, 67u);
    EXPECT_EQ(sized(f, riff("CDRA", "vrsn", 100)).first, 13u);
    EXPECT_EQ(sized(f, riff("CSL2", "vrsn", 100)).first, 19u);
    EXPECT_EQ(sized(f, riff("ACON", "anih", 100)).first, 4u);
    EXPECT_EQ(sized(f, riff("WEBP", "VP8 ", 100)).first, 59u);
    EXPECT_EQ(sized(f, Sample("u.ani")).first, 4u);
    EXPECT_EQ(sized(f, Sample("u.cdr")), std::pair(13u, static_cast<unsigned long long>(Sample("u.cdr").size())));
    // An AVI goes on in the AVIX chunks right after it.
    Bytes avi = riff("AVI ", "LIST", 1000);
    avi.resize(3000, 0);
    Put(avi, 1008, "RIFF");
    Le32(avi, 1012, 1001);
    Put(avi, 1016, "AVIX");
    Put(avi, 2018, "RIFF");
    Le32(avi, 2022, 100);
    Put(avi, 2026, "AVIX");
    EXPECT_EQ(sized(f, avi), std::pair(10u, 2126ull)); // 1008 + 1010 + 108

    CFileAIFAnalyzer aif;
    Bytes form(512, 0);
    Put(form, 0, "FORM");
    Be32(form, 4, 100);
    Put(form, 8, "AIFC");
    EXPECT_EQ(sized(aif, form), std::pair(80u, 108ull));
    Put(form, 8, "ILBM");
    CRawFileInfo r;
    EXPECT_EQ(aif.AnalyseBuffer(form.data(), r), 0);

    FileAUAnalyser au;
    Bytes snd(512, 0);
    Put(snd, 0, ".snd");
    Be32(snd, 4, 24);
    Be32(snd, 8, 8000);
    CRawFileInfo ra;
    EXPECT_EQ(au.AnalyseBuffer(snd.data(), ra), 1);
    EXPECT_EQ(ra.m_ullFileSize, 8024u);
    Be32(snd, 4, 0xFFFFFF00);
    Be32(snd, 8, 0xFFFFFF00);
    EXPECT_EQ(au.AnalyseBuffer(snd.data(), ra), 1);
    EXPECT_EQ(ra.m_ullFileSize, 0x1FFFFFE00ull); // no wrap at 32 bits
    Be32(snd, 4, 16);
    EXPECT_EQ(au.AnalyseBuffer(snd.data(), ra), 0);
    Be32(snd, 4, 24);
    Be32(snd, 8, 0xFFFFFFFF);
    EXPECT_EQ(au.AnalyseBuffer(snd.data(), ra), 0);
}

TEST(CarverAudio, MidiChunks) {
    auto midi = [](std::size_t trackBytes, std::size_t at = 0) {
        Bytes b(at, 0xAA);
        const Bytes head = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96};
        b.insert(b.end(), head.begin(), head.end());
        const std::size_t track = b.size();
        b.resize(track + 8 + trackBytes, 0x40);
        Put(b, track, "MTrk");
        Be32(b, track + 4, static_cast<std::uint32_t>(trackBytes));
        return b;
    };
    RawSpeed::MIDAnalyser a;
    Bytes one = Padded(midi(100), 512, 4);
    CRawFileInfo blank;
    ASSERT_EQ(a.AnalyseBuffer(one.data(), blank), 1);
    auto r = Made(a, blank);
    EXPECT_EQ(Stream(*r, one, 512, 0), 0);
    // The file ends with its track, inside the sector.
    EXPECT_EQ(r->m_ullFileSize, 122u);
    EXPECT_EQ(r->m_strFileName, "0-0_");

    // A second track whose header starts 4 bytes before a block's end: read
    // once the next block is there, not from the zeros after the block.
    Bytes two = midi(2 * 512 - 14 - 8 - 4);
    two[11] = 2; // the header counts both tracks
    const std::size_t second = two.size();
    two.resize(second + 8 + 600, 0x41);
    Put(two, second, "MTrk");
    Be32(two, second + 4, 600);
    two = Padded(two, 512, 4);
    auto r2 = Made(a, blank);
    EXPECT_GE(Stream(*r2, two, 512, 0, 2), 0);
    EXPECT_EQ(r2->m_ullFileSize, 1628u); // 1020 + 8 + 600
    CRawFileInfo c;
    FileMIDAnalyser classic;
    ASSERT_EQ(SizeOnDevice(classic, c, two, 512), 1);
    EXPECT_EQ(c.m_ullFileSize, 1628u);
}

// What follows a MIDI file's counted tracks, walked as the carver streams
// it and by the classic sizer on a device: each shape ends where its own
// chunks end.
TEST(CarverAudio, MidiEndsWhereItsOwnChunksEnd) {
    // A header counting `tracks`, then one track of `bytes` bytes in all
    // whose last event ends it.
    auto midi = [](std::size_t bytes, unsigned tracks = 1) {
        const unsigned char head[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<unsigned char>(tracks), 0, 96};
        Bytes b(bytes, 0x40);
        std::copy(std::begin(head), std::end(head), b.begin());
        Put(b, 14, "MTrk");
        Be32(b, 18, static_cast<std::uint32_t>(bytes - 22));
        b[bytes - 3] = 0xFF, b[bytes - 2] = 0x2F, b[bytes - 1] = 0;
        return b;
    };
    auto chunk = [](const char* id, std::size_t length, unsigned char fill = 0x20) {
        Bytes b(8 + length, fill);
        Put(b, 0, id);
        Be32(b, 4, static_cast<std::uint32_t>(length));
        return b;
    };
    auto cat = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Bytes aiff = Sample("l.aiff");
    ASSERT_GT(aiff.size(), 1024u);
    Bytes unclosed = chunk("MTrk", 40, 0x41);
    Bytes events = chunk("KARA", 40, 0x41); // a chunk of events closed by an end of track
    events[45] = 0xFF, events[46] = 0x2F, events[47] = 0;
    Bytes otto = chunk("OTTO", 4088, 0x30); // an OpenType font: 11 tables, then a search range of 128
    Be32(otto, 4, 0x000B0080);
    const struct {
        const char* shape;
        Bytes image;
        std::size_t size;
        std::size_t deviceBytes; // 0: the image padded by two sectors
    } rows[] = {
        {"an AIFF on the next sector", cat(midi(1024), aiff), 1024, 0},
        {"XF chunks on the next sector", cat(cat(midi(1024), chunk("XFIH", 120, 0)), chunk("XFKM", 30)), 1190, 0},
        {"another header inside the sector", cat(midi(1000), cat({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96},
                                                                 chunk("MTrk", 4))), 1000, 0},
        {"a chunk of 1 MiB", cat(midi(100), chunk("XFKM", 1 << 20)), 100 + 8 + (1 << 20), 0},
        {"a chunk of 1 MiB and a byte", cat(midi(100), chunk("XFKM", (1 << 20) + 1)), 100, 0},
        {"a track more than counted that does not end", cat(midi(100), unclosed), 100, 0},
        {"a chunk running past the device's end", cat(midi(100), chunk("XFKM", 2048)), 100, 1536},
        {"an OpenType font on the next sector", cat(midi(1024), otto), 1024, 1414 * 512},
        {"a chunk of events on the next sector", cat(midi(1024), events), 1072, 0},
        {"a chunk of other bytes on the next sector", cat(midi(1024), chunk("KARA", 40, 0x41)), 1024, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shape);
        Bytes image = Padded(row.image, 512);
        if (row.deviceBytes) image.resize(row.deviceBytes);
        RawSpeed::MIDAnalyser a;
        CRawFileInfo blank;
        ASSERT_EQ(a.AnalyseBuffer(image.data(), blank), 1);
        auto r = Made(a, blank);
        Stream(*r, image, 512, 0);
        EXPECT_EQ(r->m_ullFileSize, row.size) << "streamed";
        CRawFileInfo c;
        FileMIDAnalyser classic;
        ASSERT_EQ(SizeOnDevice(classic, c, image, 512), 1);
        EXPECT_EQ(c.m_ullFileSize, row.size) << "classic";
    }
}

TEST_F(CarverAudioGuards, OggPagesAndGuard) {
    Bytes page(2048, 0);
    Put(page, 0, "OggS");
    page[26] = 3;
    page[27] = 255, page[28] = 255, page[29] = 10;
    Put(page, 550, "OggS");
    page[550 + 26] = 0; // no segments: the stream ends here
    Orvex::OGGAnalyser a;
    CRawFileInfo blank;
    ASSERT_EQ(a.AnalyseBuffer(page.data(), blank), 1);
    {
        auto r = Made(a, blank);
        EXPECT_EQ(Stream(*r, page, 512, 0), 1);
        EXPECT_EQ(r->m_ullFileSize, 550u);
        EXPECT_EQ(Orvex::OGGRawFileInfo::m_i64OggStartSec, -1);
    }
    // While a stream is followed its pages are not new files; evicted or
    // destroyed, the record lets the next stream be found.
    const Bytes m = Sample("m.ogg");
    Bytes ogg = Padded(m, 512, 4);
    ASSERT_EQ(a.AnalyseBuffer(ogg.data(), blank), 1);
    auto r = Made(a, blank);
    EXPECT_EQ(Stream(*r, Bytes(ogg.begin(), ogg.begin() + 1024), 512, 0), -1);
    EXPECT_EQ(a.AnalyseBuffer(ogg.data(), blank), 0);
    r->WillBeRemove(nullptr, -1);
    EXPECT_EQ(a.AnalyseBuffer(ogg.data(), blank), 1);
    r = Made(a, blank);
    EXPECT_GE(Stream(*r, ogg, 512, 0, 4), 0);
    EXPECT_EQ(r->m_ullFileSize, m.size());
    CRawFileInfo c;
    CFileOggAnalyser classic;
    ASSERT_EQ(SizeOnDevice(classic, c, ogg, 512), 1);
    EXPECT_EQ(c.m_ullFileSize, m.size());
}

TEST(CarverAudio, FlvTags) {
    auto tag = [](Bytes& b, std::uint32_t prev, unsigned type, std::uint32_t size) {
        const std::size_t at = b.size();
        b.resize(at + 15 + size, 0x33);
        Be32(b, at, prev);
        b[at + 4] = static_cast<unsigned char>(type);
        b[at + 5] = static_cast<unsigned char>(size >> 16), b[at + 6] = static_cast<unsigned char>(size >> 8);
        b[at + 7] = static_cast<unsigned char>(size);
        b[at + 12] = b[at + 13] = b[at + 14] = 0; // stream id
    };
    Bytes f = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9};
    tag(f, 0, 18, 100);
    tag(f, 111, 9, 300);
    tag(f, 299, 8, 200); // should say 311: the file ends after this tag
    const std::size_t end = f.size();
    tag(f, 211, 8, 50);
    f = Padded(f, 512, 2);
    Orvex::FLVAnalyser a;
    CRawFileInfo blank;
    ASSERT_EQ(a.AnalyseBuffer(f.data(), blank), 1);
    auto r = Made(a, blank);
    EXPECT_GE(Stream(*r, f, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, end);
    CRawFileInfo c;
    FileFLVAnalyser classic;
    ASSERT_EQ(SizeOnDevice(classic, c, f, 512), 1);
    EXPECT_EQ(c.m_ullFileSize, end);
    f[3] = 2;
    r = Made(a, blank);
    Stream(*r, f, 512, 0);
    EXPECT_EQ(r->m_ullFileSize, 0u);
    EXPECT_EQ(SizeOnDevice(classic, c, f, 512), 0);
}

TEST(CarverAudio, ApeDescriptorsAndOldHeaders) {
    BruteForce::CAPEAnalyser a;
    auto ape = [](unsigned version, unsigned channels, std::uint32_t frameBytes) {
        Bytes b(512, 0);
        Put(b, 0, "MAC ");
        Le16(b, 4, version);
        Le32(b, 8, 52);
        Le32(b, 12, 24);
        Le32(b, 16, 16);
        Le32(b, 24, frameBytes);
        Le16(b, 52 + 16, 16);
        Le16(b, 52 + 18, channels);
        return b;
    };
    Bytes big = Padded(ape(3990, 2, 5000000 - 24 - 16 - 52), 512);
    auto r = Made(a, CRawFileInfo{});
    EXPECT_EQ(Stream(*r, big, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, 5000000u);
    Bytes three = Padded(ape(4000, 3, 1000), 512);
    r = Made(a, CRawFileInfo{});
    EXPECT_EQ(Stream(*r, three, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, 0u);
    Bytes odd = Padded(ape(999, 2, 1000), 512);
    r = Made(a, CRawFileInfo{});
    EXPECT_EQ(Stream(*r, odd, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, 0u);

    // Old format without an APE tag: the data's end before the zero tail,
    // rounded up to the block align (4), plus one block align.
    const Bytes old = Sample("q_old.ape");
    r = Made(a, CRawFileInfo{});
    EXPECT_GE(Stream(*r, Padded(old, 512), 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, (old.size() + 3) / 4 * 4 + 4);
    const Bytes q = Sample("q.ape");
    r = Made(a, CRawFileInfo{});
    EXPECT_EQ(Stream(*r, Padded(q, 512), 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, q.size());
}

TEST(CarverAudio, AdtsFramesAndOverflowPerRecord) {
    auto frame = [](Bytes& b, unsigned length) {
        const std::size_t at = b.size();
        b.resize(at + length, 0x21);
        b[at] = 0xFF, b[at + 1] = 0xF1, b[at + 2] = 0x50;
        b[at + 3] = static_cast<unsigned char>(0x80 | (length >> 11));
        b[at + 4] = static_cast<unsigned char>(length >> 3);
        b[at + 5] = static_cast<unsigned char>((length & 7) << 5 | 0x1F);
    };
    Bytes s;
    frame(s, 3000); // the length's high bits are in byte 3
    for (int i = 0; i < 6; ++i) frame(s, 300);
    const std::size_t end = s.size();
    s = Padded(s, 512, 1);
    BruteForce::CADTSAnalyser a;
    CRawFileInfo blank;
    ASSERT_EQ(Accept(a, s, 512, 0, blank), 1);
    EXPECT_EQ(blank.m_eRawFileType, 45u);
    auto r = Made(a, blank);
    EXPECT_GE(Stream(*r, s, 512, 0), 0);
    EXPECT_EQ(r->m_ullFileSize, end);

    // Two frames before the window's end: accepted, but a record that then
    // counts only those gets no size; the next record is not marked by it.
    Bytes two;
    frame(two, 300);
    frame(two, 300);
    two.resize(1024, 0);
    CRawFileInfo b2;
    ASSERT_EQ(Accept(a, two, 512, 0, b2, 1), 1); // the window ends after the first sector
    auto r2 = Made(a, b2);
    ASSERT_EQ(Accept(a, s, 512, 0, blank), 1);
    auto r3 = Made(a, blank);
    EXPECT_GE(Stream(*r2, two, 512, 0), 0);
    EXPECT_EQ(r2->m_ullFileSize, 0u);
    EXPECT_GE(Stream(*r3, s, 512, 0), 0);
    EXPECT_EQ(r3->m_ullFileSize, end);

    // Old data after the last frame: the walk's end is kept. While a stream
    // is followed, its frame that starts a sector starts no second file.
    Bytes old;
    for (int i = 0; i < 8; ++i) frame(old, 512);
    frame(old, 300);
    const std::size_t oldEnd = old.size();
    std::uint32_t seed = 9;
    while (old.size() % 512 || old.size() < oldEnd + 1024)
        old.push_back(static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24));
    BruteForce::CADTSRawFileInfo::ResetGuard();
    CRawFileInfo b4;
    ASSERT_EQ(Accept(a, old, 512, 0, b4), 1);
    auto r4 = Made(a, b4);
    EXPECT_GE(Stream(*r4, old, 512, 0), 0);
    EXPECT_EQ(r4->m_ullFileSize, oldEnd);
    CRawFileInfo inside;
    EXPECT_EQ(Accept(a, old, 512, 3, inside), 0);
    BruteForce::CADTSRawFileInfo::ResetGuard();
    EXPECT_EQ(Accept(a, old, 512, 3, inside), 1);
}

TEST(CarverAudio, AsfStreamsAndObjects) {
    using BruteForce::CAsfRawFileInfo;
    auto guid = [](Bytes& b, std::size_t at, const BruteForce::Guid& g) { std::memcpy(b.data() + at, g.data(), 16); };
    const BruteForce::Guid command = {0xC0, 0xCF, 0xDA, 0x59, 0xE6, 0x59, 0xD0, 0x11,
                                      0xA3, 0xAC, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
    auto asf = [&](std::vector<const BruteForce::Guid*> streams, std::uint64_t dataSize) {
        const std::size_t header = 30 + 100 * streams.size();
        Bytes b(header + 50 + 512, 0);
        guid(b, 0, CAsfRawFileInfo::kHeaderObject);
        salvor::test::PutLe64(b, 16, header);
        for (std::size_t i = 0; i < streams.size(); ++i) {
            guid(b, 30 + 100 * i, CAsfRawFileInfo::kStreamProperties);
            const std::uint64_t size = 100;
            salvor::test::PutLe64(b, 30 + 100 * i + 16, size);
            guid(b, 30 + 100 * i + 24, *streams[i]);
        }
        guid(b, header, CAsfRawFileInfo::kTopLevel[0]);
        salvor::test::PutLe64(b, header + 16, dataSize);
        return std::pair(Padded(b, 512), header + dataSize);
    };
    BruteForce::CAsfAnalyser a;
    auto run = [&](std::pair<Bytes, std::uint64_t> f) {
        CRawFileInfo blank;
        EXPECT_EQ(a.AnalyseBuffer(f.first.data(), blank), 1);
        auto r = Made(a, blank);
        Stream(*r, f.first, 512, 0);
        return std::pair(r->m_eRawFileType, r->m_ullFileSize);
    };
    const auto& v = CAsfRawFileInfo::kVideoMedia;
    const auto& au = CAsfRawFileInfo::kAudioMedia;
    EXPECT_EQ(run(asf({&v, &au}, 50)).first, 8u);
    EXPECT_EQ(run(asf({&au, &au}, 50)), std::pair(7u, 30ull + 200 + 50));
    EXPECT_EQ(run(asf({&v, &au, &command}, 50)).first, 6u);
    // A data object of size 0 ends the file where it starts.
    EXPECT_EQ(run(asf({&au}, 0)), std::pair(7u, 130ull));
}
