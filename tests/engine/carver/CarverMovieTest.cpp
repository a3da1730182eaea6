// The movie analysers on samples made by ffmpeg and sqlite3 and on
// hand-made headers (tests/fixtures/movie_samples.sh): acceptance and the
// brand table, the walks shown a file sector by sector as the carver shows
// it, the classic sizers on a device, and the limits and stops of each walk.
#include "engine/carver/analysers/MovAnalyzer.h"
#include "engine/carver/analysers/MovieContainerAnalysers.h"
#include "engine/carver/analysers/MpegStreamAnalysers.h"
#include "engine/carver/analysers/RealMediaAnalyser.h"
#include "engine/carver/analysers/SqliteAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

using Bytes = std::vector<unsigned char>;
using BruteForce::MovAnalyzer;

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("movie_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Be32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

struct Result {
    int hit;
    unsigned long long size;
    unsigned type;
    bool operator==(const Result&) const = default;
};
Result Analyse(IRawFileAnalyser& a, Bytes s, std::uint64_t deviceBytes = 1ull << 40) {
    s.resize(std::max<std::size_t>(s.size(), 512), 0);
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), deviceBytes);
    const int hit = a.AnalyseBuffer(s.data(), blank);
    return {hit, blank.m_ullFileSize, blank.m_eRawFileType};
}

Bytes Padded(Bytes b, unsigned ss, std::size_t extraSectors = 2) {
    b.resize((b.size() + ss - 1) / ss * ss + extraSectors * ss, 0);
    return b;
}

// Shows `r` the sectors of `image` from its start sector (in blocks of
// `block` sectors, as the carver holds them) until it answers 1: that answer,
// or 2 when it never did.
int Show(CRawFileInfo& r, const Bytes& image, unsigned ss, long long block = 1 << 20) {
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = r.m_llStartSector; s < sectors; ++s) {
        const long long windowEnd = std::min(sectors, (s / block + 1) * block);
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + windowEnd * ss, p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, windowEnd, &w);
        if (r.CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1) return 1;
    }
    return 2;
}

// The analyser's record for the file at sector 0 of `image` once it answered
// 1, or null when it never did.
std::unique_ptr<CRawFileInfo> Stream(IRawFileAnalyser& a, const Bytes& image, unsigned ss,
                                     long long block = 1 << 20) {
    Analyse(a, Bytes(image.begin(), image.begin() + 512));
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    r->m_pAnalyser = &a;
    return Show(*r, image, ss, block) == 1 ? std::move(r) : nullptr;
}

// A device of `bytes` bytes (sectors of `kSector` bytes) that reads `head`
// at its start and 0x55 everywhere else: long walks without a long image.
class PatternDevice : public IStorageDevice {
public:
    static constexpr unsigned kSector = 65536;
    PatternDevice(Bytes head, unsigned long long bytes) : m_head(std::move(head)), m_bytes(bytes) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (first < 0 || count < 1 || static_cast<unsigned long long>(first + count) > GetTotalSectors())
            return 0;
        auto* out = static_cast<unsigned char*>(buffer);
        std::memset(out, 0x55, static_cast<std::size_t>(count) * kSector);
        const unsigned long long at = static_cast<unsigned long long>(first) * kSector;
        for (unsigned long long i = at; i < m_head.size() && i < at + count * kSector; ++i)
            out[i - at] = m_head[i];
        return 1;
    }
    unsigned GetSectorSize() override { return kSector; }
    unsigned long long GetTotalSectors() override { return m_bytes / kSector; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData*) override {}
    int GetType() override { return 0; }
    ResultCode GetLastError() override { return 0; }

private:
    Bytes m_head;
    unsigned long long m_bytes;
};

// An ftyp box of `size` bytes with a brand and compatible brands.
Bytes Ftyp(std::uint32_t size, const char* brand, const char* compatible = "") {
    Bytes b(512, 0);
    Be32(b, 0, size);
    std::memcpy(b.data() + 4, "ftyp", 4);
    std::memcpy(b.data() + 8, brand, 4);
    std::memcpy(b.data() + 16, compatible, std::strlen(compatible));
    return b;
}

} // namespace

TEST(CarverMovie, BoxMovieAcceptanceByBrand) {
    MovAnalyzer mov;
    BruteForce::Mp4Analyzer mp4;
    BruteForce::C3GPAnalyser g3p;
    FileMP4Analyser classic;
    EXPECT_EQ(Analyse(mov, Ftyp(84, "isom", "isomavc1")).hit, 0);
    EXPECT_EQ(Analyse(mov, Ftyp(15, "isom")).hit, 0);
    EXPECT_EQ(Analyse(mov, Ftyp(24, "ISOM", "isomavc1")).hit, 0);
    EXPECT_EQ(Analyse(mov, Ftyp(24, "abcd")), (Result{1, 0, 42}));
    EXPECT_EQ(Analyse(mov, Ftyp(24, "isom", "isomavc1")), (Result{1, 0, 44}));
    EXPECT_EQ(Analyse(mov, Ftyp(24, "isom", "isom")), (Result{1, 0, 42}));
    Bytes trec = Ftyp(24, "isom", "isomavc1");
    std::memcpy(trec.data() + 28, "free", 4);
    EXPECT_EQ(Analyse(mov, trec), (Result{1, 0, 138}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "mp42", "mp41")), (Result{1, 0, 45}));
    EXPECT_EQ(Analyse(mov, Ftyp(24, "mp42", "mp41isom")), (Result{1, 0, 44}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "3gp5")), (Result{1, 0, 2}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "KDDI")), (Result{1, 0, 2}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "M4V ")), (Result{1, 0, 46}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "qt  ")), (Result{1, 0, 42}));
    EXPECT_EQ(Analyse(mov, Ftyp(20, "NDSC")), (Result{1, 0, 44}));
    EXPECT_EQ(Analyse(mp4, Ftyp(84, "M4A ")), (Result{1, 0, 45}));
    EXPECT_EQ(Analyse(mp4, Ftyp(84, "3gp4")).hit, 0);
    EXPECT_EQ(Analyse(g3p, Ftyp(84, "3g2a")), (Result{1, 0, 2}));
    EXPECT_EQ(Analyse(classic, Ftyp(84, "mp42")), (Result{1, 0, 44}));
    EXPECT_EQ(Analyse(classic, Ftyp(84, "qt  ")).hit, 0);
    // The ffmpeg samples.
    for (auto [name, type] : {std::pair{"p.mp4", 44u},
                              {"p2.mp4", 44u},
                              {"p.mov", 42u},
                              {"p.3gp", 2u},
                              {"q.m4a", 45u},
                              {"q.m4v", 46u}})
        EXPECT_EQ(Analyse(mov, Sample(name)), (Result{1, 0, type})) << name;
}

TEST(CarverMovie, BoxWalkSizesNamesAndLabels) {
    MovAnalyzer mov;
    for (unsigned ss : {512u, 4096u})
        for (const char* name : {"p.mp4", "p2.mp4", "p.mov", "p.3gp", "q.m4a", "q.m4v", "syn.trec"}) {
            const Bytes sample = Sample(name);
            // 4-sector blocks: box headers straddle block ends and wait for the next block.
            auto r = Stream(mov, Padded(sample, ss), ss, 4);
            ASSERT_TRUE(r) << name;
            EXPECT_EQ(r->m_ullFileSize, sample.size()) << name << " at " << ss;
            EXPECT_EQ(r->m_eTag, RAW_TAG_NONE) << name;
        }
    // Any box may give its size in 64 bits.
    Bytes wide = Sample("syn.trec");
    const std::size_t moov = wide.size() - 108;
    ASSERT_EQ(std::string(wide.begin() + static_cast<std::ptrdiff_t>(moov) + 4,
                          wide.begin() + static_cast<std::ptrdiff_t>(moov) + 8),
              "moov");
    Be32(wide, moov, 1);
    const Bytes large = {0, 0, 0, 0, 0, 0, 0, 116};
    wide.insert(wide.begin() + static_cast<std::ptrdiff_t>(moov) + 8, large.begin(), large.end());
    auto big = Stream(mov, Padded(wide, 512), 512);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->m_ullFileSize, wide.size());
    // A QuickTime-typed record with one moov and an "iso" brand ends as MP4.
    auto r = Stream(mov, Padded(Sample("p.mp4"), 512), 512);
    EXPECT_EQ(r->m_eRawFileType, 44u);

    r = Stream(mov, Padded(Sample("syn_exif.mov"), 512), 512);
    ASSERT_TRUE(r);
    RAW_FILE_TAG tag;
    std::string value;
    r->GetRawFileTagAndValue(tag, value);
    EXPECT_EQ(tag, RAW_TAG_MOV);
    EXPECT_EQ(value, "CANON");
    EXPECT_EQ(r->GetRawFileName(), "EOS R5");
    EXPECT_EQ(r->m_strFileTime, "2024:05:06 07:08:09");

    for (unsigned ss : {512u, 4096u}) {
        // The phone's name is searched behind the sector that ended the walk,
        // which must lie two sectors into the held data.
        Bytes image(2 * ss, 0);
        const Bytes phone = Sample("syn_iphone.mov");
        image.insert(image.end(), phone.begin(), phone.end());
        image = Padded(image, ss);
        MovAnalyzer a;
        std::unique_ptr<CRawFileInfo> rec(a.CreateRawFileInfo());
        rec->m_llStartSector = 2;
        EXPECT_EQ(Show(*rec, image, ss), 1);
        rec->GetRawFileTagAndValue(tag, value);
        EXPECT_EQ(value, "IPHONE 12 PRO") << ss;
        EXPECT_EQ(rec->m_ullFileSize, phone.size());
    }
}

// A 64-bit mdat carries the walk past 4 GiB: the streaming walk jumps to the
// sector holding the next header, the whole-file walk reads the sparse image.
TEST(CarverMovie, SixtyFourBitMdatPastFourGiB) {
    const std::string path = salvor::test::FixtureFile("movie_samples", "big_mp4.img");
    salvor::test::ImageDevice device(path, 512);
    const unsigned long long expected = 24 + 16 + (1ull << 32) + 1000 + 108;
    CRawFileInfo info;
    info.m_llStartSector = 8;
    ASSERT_TRUE(CRawBoxFileAnalyser::GetFileSize(info, &device));
    EXPECT_EQ(info.m_ullFileSize, expected);

    BruteForce::Mp4Analyzer mp4;
    std::unique_ptr<CRawFileInfo> r(mp4.CreateRawFileInfo());
    r->m_llStartSector = 8;
    r->m_pAnalyser = &mp4;
    std::vector<unsigned char> sector(3 * 512);
    const auto show = [&](long long s) {
        EXPECT_TRUE(device.ReadSector(sector.data(), s, 3));
        const CRawWindow w(sector.data(), sector.data() + sector.size(), sector.data());
        auto c = CRawFileInfo::SearchContext::For(sector.data(), 512, s, s + 3, &w);
        return r->CalcRawSize(sector.data(), 512, s, c);
    };
    EXPECT_EQ(show(8), 2);
    EXPECT_EQ(show(9), 2);
    const long long moov = 8 + static_cast<long long>((40 + (1ull << 32) + 1000) / 512);
    EXPECT_EQ(show(moov), 1);
    EXPECT_EQ(r->m_ullFileSize, expected);
    // Let go before its end, a movie keeps the size its walk reached, or the
    // whole-file walk's when that goes further.
    FileMP4Analyser classic;
    MovAnalyzer::MovRawFileInfo held(42, &classic);
    held.m_llStartSector = 8;
    held.m_nBoxes = 2;
    held.m_llWalk = 4096;
    held.WillBeRemove(nullptr, -1);
    EXPECT_EQ(held.m_ullFileSize, 4096u);
    EXPECT_EQ(held.m_pAnalyser, &classic);
    ASSERT_EQ(classic.GetRawFileSize(held, &device), 1);
    EXPECT_EQ(held.m_ullFileSize, expected);
    held.m_llWalk = static_cast<long long>(expected) + 512;
    ASSERT_EQ(classic.GetRawFileSize(held, &device), 1);
    EXPECT_EQ(held.m_ullFileSize, expected + 512);
}

TEST(CarverMovie, TransportStreamsOneAtATime) {
    const Bytes ts = Sample("t.ts"), m2ts = Sample("t.m2ts");
    BruteForce::CM2TSAnalyser a;
    EXPECT_EQ(Analyse(a, ts), (Result{1, 0, 129}));
    EXPECT_EQ(a.m_nHeaderOffset, 188);
    EXPECT_EQ(Analyse(a, m2ts), (Result{1, 0, 129}));
    EXPECT_EQ(a.m_nHeaderOffset, 192);
    Bytes ff = ts;
    std::fill(ff.begin() + 196, ff.begin() + 204, 0xFF);
    EXPECT_EQ(Analyse(a, ff).hit, 0);

    for (const Bytes* sample : {&ts, &m2ts}) {
        auto r = Stream(a, Padded(*sample, 512), 512, 8);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, sample->size());
        // Free again once the walk ended.
        EXPECT_EQ(Analyse(a, ts).hit, 1);
    }
    {
        // While one is followed the next is refused; eviction lets go.
        std::unique_ptr<CRawFileInfo> followed(a.CreateRawFileInfo());
        EXPECT_EQ(Analyse(a, ts).hit, 0);
        followed->WillBeRemove(nullptr, -1);
        EXPECT_EQ(Analyse(a, ts).hit, 1);
        std::unique_ptr<CRawFileInfo> again(a.CreateRawFileInfo());
        EXPECT_EQ(Analyse(a, ts).hit, 0);
        // A fresh analyser (a new carve) is free whatever the old one holds.
        BruteForce::CM2TSAnalyser fresh;
        EXPECT_EQ(Analyse(fresh, ts).hit, 1);
    }
    EXPECT_EQ(Analyse(a, ts).hit, 1); // a record's end lets go too
    // A short stream is finished without a size, not followed for ever.
    const Bytes shortTs(ts.begin(), ts.begin() + 188 * 50);
    auto r = Stream(a, Padded(shortTs, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, 0u);
    // The size stops at the cap.
    auto* capped = static_cast<BruteForce::CM2TSAnalyser::CM2TSFileInfo*>(a.CreateRawFileInfo());
    std::unique_ptr<CRawFileInfo> own(capped);
    capped->m_ullFileSize = BruteForce::CM2TSAnalyser::kSizeCap - 188;
    const int answer = Show(*capped, Padded(ts, 512), 512);
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(capped->m_ullFileSize, BruteForce::CM2TSAnalyser::kSizeCap);
}

// Random bytes after a stream that hold sync bytes at the packet stride
// (tests/fixtures/ts_tails.sh) are not carved with it: the stream ends at its
// own last packet, at 512- and 4096-byte sectors.
TEST(CarverMovie, TransportStreamEndsAtItsLastPacket) {
    const std::string dir = salvor::test::Fixture("ts_tails");
    ASSERT_FALSE(dir.empty());
    std::ifstream rows(dir + "/tails.txt");
    std::string image;
    unsigned long long length = 0;
    int cases = 0;
    while (rows >> image >> length) {
        std::ifstream in(dir + "/" + image, std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (unsigned ss : {512u, 4096u}) {
            BruteForce::CM2TSAnalyser a;
            auto r = Stream(a, bytes, ss);
            ASSERT_TRUE(r) << image << " at " << ss;
            EXPECT_EQ(r->m_ullFileSize, length) << image << " at " << ss;
        }
        ++cases;
    }
    EXPECT_EQ(cases, 8);
}

TEST(CarverMovie, ProgramStreamsStreamedAndOnTheDevice) {
    Orvex::MPGAnalyser a;
    for (const char* name : {"t.mpg", "t1.mpg"}) {
        const Bytes sample = Sample(name);
        EXPECT_EQ(Analyse(a, sample), (Result{1, 0, 109})) << name;
        auto r = Stream(a, Padded(sample, 512, 4), 512);
        ASSERT_TRUE(r) << name;
        // The stream ends where the zeros after it begin.
        EXPECT_EQ(r->m_ullFileSize, sample.size()) << name;
        // The device walk ends where the zeros begin.
        const Bytes image = Padded(sample, 512, 4);
        salvor::test::TempDir dir;
        const std::string path = dir.file("ps.img");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        salvor::test::ImageDevice device(path, 512);
        CRawFileInfo info;
        FileMPGAnalyser classic;
        ASSERT_EQ(classic.GetRawFileSize(info, &device), 1);
        EXPECT_EQ(info.m_ullFileSize, sample.size()) << name;
    }
    // The program end code closes a stream: what follows it is no length.
    Bytes ended = Sample("t1.mpg");
    ended.resize(43008);
    const Bytes code = {0x00, 0x00, 0x01, 0xB9};
    ended.insert(ended.end(), code.begin(), code.end());
    Bytes image = ended;
    image.resize(image.size() + 4096, 0x33);
    auto r = Stream(a, Padded(image, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, ended.size());
    // Starts of the same stream closer than 21 sectors are one stream.
    const Bytes t = Sample("t.mpg");
    CRawFileInfo blank;
    blank.m_Window = CRawWindow::Sector(t.data(), 512);
    unsigned char* first = const_cast<unsigned char*>(t.data());
    EXPECT_EQ(a.AnalyseBufferEx(first, blank, 512, 100, 0, 0), 1);
    EXPECT_EQ(a.AnalyseBufferEx(first, blank, 512, 120, 0, 0), 0);
    EXPECT_EQ(a.AnalyseBufferEx(first, blank, 512, 121, 0, 0), 1);
}

TEST(CarverMovie, RealMediaChunksMarkersAndLimit) {
    Orvex::RM_RMVBAnalyser a;
    const Bytes w2 = Sample("w2.rm");
    auto r = Stream(a, Padded(w2, 512), 512);
    ASSERT_TRUE(r);
    // Its packets end the file, though ffmpeg's DATA chunk counts 10 bytes more.
    EXPECT_EQ(r->m_ullFileSize, w2.size());
    EXPECT_EQ(r->m_eRawFileType, 94u);
    // An index chunk the walk does not know ends the file after it; the
    // final index of a chain as well.
    for (std::uint32_t version : {0x00010000u, 0u}) {
        Bytes rm(w2.begin(), w2.begin() + 241);
        Bytes index(40, 0);
        std::memcpy(index.data(), "INDX", 4);
        Be32(index, 4, 40);
        Be32(index, 8, version);
        Be32(index, 16, version ? 241 : 0);
        rm.insert(rm.end(), index.begin(), index.end());
        r = Stream(a, Padded(rm, 512), 512);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, 281u);
    }
    // An RMVB ends after its final index marker, found across a sector border.
    const Bytes marker = Sample("syn_marker.rmvb");
    r = Stream(a, Padded(marker, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, marker.size());
    EXPECT_EQ(r->m_eRawFileType, 95u);
    FileRM_RMVBAnalyser classic;
    PatternDevice withMarker(Padded(marker, PatternDevice::kSector, 0), 1 << 20);
    CRawFileInfo info;
    ASSERT_EQ(classic.GetRawFileSize(info, &withMarker), 1);
    EXPECT_EQ(info.m_ullFileSize, marker.size());
    // ffmpeg's RMVB has no index: its chunks size it, whatever follows.
    PatternDevice long_(Sample("w.rm"), FileRM_RMVBAnalyser::kRmvbLimit + (1 << 24));
    info = CRawFileInfo();
    ASSERT_EQ(classic.GetRawFileSize(info, &long_), 1);
    EXPECT_EQ(info.m_ullFileSize, Sample("w.rm").size());
    EXPECT_EQ(info.m_eRawFileType, 95u);
}

TEST(CarverMovie, MatroskaFlashMxf) {
    FileMKVAnalyser mkv;
    const Bytes r = Sample("r.mkv");
    EXPECT_EQ(Analyse(mkv, r), (Result{1, r.size(), 96}));
    // An 8-byte Segment size past 4 GiB; "unknown" gives no size; a Segment
    // beyond byte 512 is not carved.
    Bytes big = r;
    const std::size_t seg = 4 + 1 + (r[4] & 0x7F) + 4;
    const Bytes size8 = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10};
    std::copy(size8.begin(), size8.end(), big.begin() + static_cast<std::ptrdiff_t>(seg));
    EXPECT_EQ(Analyse(mkv, big), (Result{1, seg + 8 + 0x100000010ull, 96}));
    std::fill(big.begin() + static_cast<std::ptrdiff_t>(seg) + 1,
              big.begin() + static_cast<std::ptrdiff_t>(seg) + 8, 0xFF);
    EXPECT_EQ(Analyse(mkv, big), (Result{1, 0, 96}));
    Bytes far(1024, 0);
    const Bytes ebml = {0x1A, 0x45, 0xDF, 0xA3, 0x42, 0x10};
    std::copy(ebml.begin(), ebml.end(), far.begin());
    Be32(far, 4 + 2 + 0x210, 0x18538067);
    EXPECT_EQ(Analyse(mkv, far).hit, 0);

    FileSWFAnalyser swf;
    const Bytes u = Sample("u.swf"), cws = Sample("u_cws.swf");
    EXPECT_EQ(Analyse(swf, u), (Result{1, u.size(), 62}));
    EXPECT_EQ(Analyse(swf, cws), (Result{1, u.size() + 8, 62}));
    Bytes v5 = cws;
    v5[3] = 5;
    EXPECT_EQ(Analyse(swf, v5).hit, 0);
    v5[0] = 'F', v5[3] = 33;
    EXPECT_EQ(Analyse(swf, v5).hit, 0);

    RawSpeed::MxfAnalyser mxf;
    const Bytes v = Sample("v.mxf");
    EXPECT_EQ(Analyse(mxf, v), (Result{1, 0, 142}));
    for (unsigned ss : {512u, 4096u}) {
        // Packets with 1- to 4-byte BER lengths, to the random index pack.
        auto rec = Stream(mxf, Padded(v, ss), ss, 16);
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->m_ullFileSize, v.size());
    }
    // Body and footer partitions are parts of a file, not its start.
    Bytes footer = v;
    footer[13] = 0x04;
    Be32(footer, 32, 770048);
    Be32(footer, 48, 770048);
    EXPECT_EQ(Analyse(mxf, footer).hit, 0);
    EXPECT_EQ(Analyse(mxf, Bytes(v.begin() + 6144, v.end())).hit, 0);
}

TEST(CarverMovie, RawVideoAndProjects) {
    RawSpeed::MLvAnalyser mlv;
    const Bytes m = Sample("syn.mlv");
    EXPECT_EQ(Analyse(mlv, m), (Result{1, 0, 146}));
    for (unsigned ss : {512u, 4096u}) {
        auto r = Stream(mlv, Padded(m, ss), ss);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, m.size());
    }
    // A last frame whose size runs past the recording ends at its zero tail.
    Bytes frame = {'V', 'I', 'D', 'F', 0, 0, 1, 0}; // 65536 bytes
    Bytes image(m.begin(), m.end() - 100);
    image.insert(image.end(), frame.begin(), frame.end());
    image.insert(image.end(), 300, 0x33);
    auto r = Stream(mlv, Padded(image, 512, 200), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, image.size());

    // A zero tail older than the last block walked is not the file's end.
    Bytes padded(m.begin(), m.begin() + 232);
    const Bytes null = {'N', 'U', 'L', 'L', 0x58, 0x02, 0, 0};
    padded.insert(padded.end(), null.begin(), null.end());
    padded.resize(832, 0);
    padded.insert(padded.end(), m.begin() + 232, m.end());
    r = Stream(mlv, Padded(padded, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, padded.size());

    RawSpeed::AEPAnalyser aep;
    const Bytes p = Sample("syn.aep");
    EXPECT_EQ(Analyse(aep, p), (Result{1, 0, 144}));
    r = Stream(aep, Padded(p, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, p.size());
    // With an XMP packet after the chunk, to the first zero tail, and 8.
    Bytes xmp = p;
    const std::string packet = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta>" +
                               std::string(1000, ' ') + "</x:xmpmeta><?xpacket end='w'?>";
    xmp.insert(xmp.end(), packet.begin(), packet.end());
    r = Stream(aep, Padded(xmp, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, xmp.size() + 8);
}

TEST(CarverMovie, SqliteDatabases) {
    BruteForce::CFCPEvtAnalyser a;
    const Bytes y = Sample("y.sqlite");
    EXPECT_EQ(Analyse(a, y), (Result{1, 0, 115}));
    Bytes wide = y;
    wide[16] = 0, wide[17] = 1; // 65536 stored as 1
    EXPECT_EQ(Analyse(a, wide).hit, 0);
    wide = y;
    wide[59] = 4;
    EXPECT_EQ(Analyse(a, wide).hit, 0);
    for (unsigned ss : {512u, 4096u}) {
        // Followed by zero pages: five are allowed, the sixth ends it.
        auto r = Stream(a, Padded(y, ss, 8 * 4096 / ss), ss);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, y.size());
        // Followed by a page no database holds.
        Bytes other = y;
        other.resize(y.size() + 4096, 0x77);
        r = Stream(a, Padded(other, ss), ss);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, y.size());
    }
    // Muse documents name their table in UTF-16 at the first cell; Sketch
    // documents keep a payload and its metadata at the cell content's start.
    // (The first page's free space holds them here: its header points there.)
    Bytes muse = y, sketch = y;
    for (Bytes* b : {&muse, &sketch}) {
        (*b)[105] = 2000 >> 8, (*b)[106] = 2000 & 0xFF;
        (*b)[108] = 3000 >> 8, (*b)[109] = 3000 & 0xFF;
    }
    for (std::size_t i = 0; i < 17; ++i)
        muse[3010 + 2 * i] = static_cast<unsigned char>("tableactiveactive"[i]);
    std::memcpy(sketch.data() + 2020, "payload,metadata", 16);
    for (auto [image, type] : {std::pair{&muse, 128u}, {&sketch, 143u}}) {
        auto r = Stream(a, Padded(*image, 512, 64), 512);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_eRawFileType, type);
        EXPECT_EQ(r->m_ullFileSize, y.size());
    }
    // An address book: a page of 26 cells, two of them naming its records.
    Bytes book = y;
    unsigned char* page = book.data() + 4096;
    page[3] = 0, page[4] = 26;
    for (int i = 0; i < 26; ++i) {
        const int cell = i == 1 ? 1100 : i == 0 ? 1000 : 1200; // the others are empty
        page[8 + 2 * i] = static_cast<unsigned char>(cell >> 8),
                     page[9 + 2 * i] = static_cast<unsigned char>(cell);
    }
    for (int at : {1000, 1100}) {
        page[at] = 12, page[at + 2] = 2;
        std::memcpy(page + at + 4, "ABCDRecord", 10);
    }
    auto r = Stream(a, Padded(book, 512, 64), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_eRawFileType, 121u);
    // Let go at the device's end, a database keeps the pages judged so far.
    r.reset(a.CreateRawFileInfo());
    EXPECT_EQ(Show(*r, y, 512), 2);
    r->WillBeRemove(nullptr, -1);
    EXPECT_EQ(r->m_ullFileSize, y.size());
}
