// The ZIP record walker and the core-properties reader on hand-made records.
#include "engine/carver/analysers/ZipAnalyser.h"
#include "engine/carver/metadata/OfficeTagFromXML.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Put16(Bytes& b, std::size_t at, unsigned v) { salvor::test::PutLe16(b, at, static_cast<std::uint16_t>(v)); }
void Put32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }

// A local header with `name`, `extra` and the given sizes, followed by data.
Bytes Local(const std::string& name, const Bytes& extra, std::uint32_t packed, std::uint32_t size, unsigned method = 8,
            unsigned flags = 0, const Bytes& data = {}) {
    Bytes b(30, 0);
    Put32(b, 0, 0x04034B50);
    Put16(b, 6, flags);
    Put16(b, 8, method);
    Put32(b, 18, packed);
    Put32(b, 22, size);
    Put16(b, 26, static_cast<unsigned>(name.size()));
    Put16(b, 28, static_cast<unsigned>(extra.size()));
    // Appended through one reserved buffer: GCC 12 at -O3 misreads inserts
    // into a vector just sized (-Warray-bounds).
    b.reserve(b.size() + name.size() + extra.size() + data.size());
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// The size the classic sizer gives the archive at the start of `image`, read
// as a device of 512-byte sectors; 0 when it gives none.
unsigned long long SizedFromDevice(const Bytes& image) {
    salvor::test::TempDir dir;
    std::ofstream(dir.file("z.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice device(dir.file("z.img"), 512);
    FileZIPAnalyser zip;
    CRawFileInfo r;
    return zip.GetRawFileSize(r, &device) == 1 ? r.m_ullFileSize : 0;
}

} // namespace

TEST(CarverZip, RecordLengths) {
    classZipSearch::Block b;
    // Zip64: Info-ZIP's time field comes first; the 0x0001 entry holds the
    // uncompressed size, then the compressed one.
    Bytes extra = {0x55, 0x54, 5, 0, 3, 1, 2, 3, 4, 0x01, 0x00, 16, 0};
    for (std::uint64_t v : {119869ull, 0x123456789ull})
        for (int i = 0; i < 8; ++i) extra.push_back(static_cast<unsigned char>(v >> (8 * i)));
    ASSERT_EQ(classZipSearch::GetBlockSize(Local("r.bin", extra, 0xFFFFFFFF, 0xFFFFFFFF), false, 72, b), 1);
    EXPECT_EQ(b.length, 30 + 5 + extra.size() + 0x123456789ull);
    // The end record with its comment.
    Bytes end(22, 0);
    Put32(end, 0, 0x06054B50);
    Put16(end, 20, 26);
    ASSERT_EQ(classZipSearch::GetBlockSize(end, false, 72, b), 1);
    EXPECT_TRUE(b.end && b.length == 48);
    // A data descriptor follows the data whatever the other flag bits say.
    ASSERT_EQ(classZipSearch::GetBlockSize(Local("t.txt", {}, 0, 0, 8, 0x000A), false, 72, b), 1);
    EXPECT_FALSE(b.sizesKnown);
    // Kinds from names, refusals, and a header cut short.
    EXPECT_EQ(classZipSearch::GetBlockSize(Local("xl/_rels/workbook.xml.rels", {}, 1, 1), true, 72, b), 1);
    EXPECT_EQ(b.kind, 74u);
    Bytes mime = Local("mimetype", {}, 46, 46, 0);
    const std::string ods = "application/vnd.oasis.opendocument.spreadsheet";
    mime.insert(mime.end(), ods.begin(), ods.end());
    EXPECT_EQ(classZipSearch::GetBlockSize(mime, false, 72, b), 1);
    EXPECT_EQ(b.kind, 124u);
    EXPECT_EQ(classZipSearch::GetBlockSize(Local("a", {}, 1, 1, 11), false, 72, b), 0);
    EXPECT_EQ(classZipSearch::GetBlockSize(Local(std::string(1025, 'a'), {}, 1, 1), false, 72, b), 0);
    Bytes cut = Local("abc", {}, 1, 1);
    cut.resize(31);
    EXPECT_EQ(classZipSearch::GetBlockSize(cut, false, 72, b), -1);
    EXPECT_TRUE(FileZIPAnalyser::ZipIpaFileType(Local("META-INF/MANIFEST.MF", {}, 1, 1)));
}

TEST(CarverZip, CoreProperties) {
    const std::string xml =
        "<?xml version=\"1.0\"?><cp:coreProperties><dc:title>Pl\xC3\xA4n</dc:title><dc:creator>Ann</dc:creator>"
        "<dcterms:created>2014-05-06T07:08:09Z</dcterms:created></cp:coreProperties>";
    Bytes packed(compressBound(xml.size()));
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(xml.data()));
    z.avail_in = static_cast<uInt>(xml.size());
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const Bytes member = Local("docProps/core.xml", {}, static_cast<std::uint32_t>(packed.size()),
                               static_cast<std::uint32_t>(xml.size()), 8, 0, packed);
    FileProperty info;
    // Not all there yet, then whole.
    EXPECT_EQ(Orvex::OfficeTagFromXML::GetOfficeTagFromXML(bytes::Bytes(member.data(), member.size() - 1), info), -1);
    ASSERT_EQ(Orvex::OfficeTagFromXML::GetOfficeTagFromXML(member, info), 1);
    EXPECT_EQ(info.m_strTitle, "Pl\xC3\xA4n"); // UTF-8 stays UTF-8
    EXPECT_EQ(info.m_strAuthor, "Ann");
    EXPECT_EQ(info.m_strCreated, "2014-05-06 07-08-09 ");
    // A stated size smaller than the stream: the output stops there.
    Bytes shortSize = member;
    Put32(shortSize, 22, 20);
    FileProperty none;
    EXPECT_EQ(Orvex::OfficeTagFromXML::GetOfficeTagFromXML(shortSize, none), 1);
    EXPECT_EQ(none.m_strTitle + none.m_strAuthor, "");
    // Another root gives nothing.
    FileProperty other;
    Orvex::OfficeTagFromXML::AnalyzeTag("<?xml version=\"1.0\"?><x><dc:title>T</dc:title></x>", other);
    EXPECT_EQ(other.m_strTitle, "");
}

// Sized from the device: an archive with data descriptors ends after its end
// record and comment; a comment said to run past the device ends with it.
TEST(CarverZip, ClassicEndRecord) {
    for (unsigned comment : {5u, 0xFFFFu}) {
        Bytes image = Local("t.txt", {}, 0, 0, 8, 0x0008);
        image.resize(700, 'd');
        Bytes end(22, 0);
        Put32(end, 0, 0x06054B50);
        Put16(end, 20, comment);
        image.insert(image.end(), end.begin(), end.end());
        image.resize(1024, 0);
        EXPECT_EQ(SizedFromDevice(image), comment == 5 ? 727u : 1024u);
    }
}

// Sized from the device: a Zip64 archive stored in a member whose sizes
// follow its data ends nothing; the outer archive ends with its own end record.
TEST(CarverZip, ClassicStoredZip64Passed) {
    Bytes inner = Local("x", {}, 1, 1, 0, 0, Bytes{'x'});
    const std::size_t zip64At = inner.size();
    Bytes tail(56 + 20 + 22, 0);
    Put32(tail, 0, 0x06064B50);
    Put32(tail, 4, 44);
    Put32(tail, 48, static_cast<std::uint32_t>(zip64At)); // its directory (empty) ends at the Zip64 record
    Put32(tail, 56, 0x07064B50);
    Put32(tail, 64, static_cast<std::uint32_t>(zip64At));
    Put32(tail, 76, 0x06054B50);
    Put32(tail, 76 + 12, 0xFFFFFFFF);
    Put32(tail, 76 + 16, 0xFFFFFFFF);
    inner.insert(inner.end(), tail.begin(), tail.end());
    Bytes image = Local("in.zip", {}, 0, 0, 0, 0x0008, inner);
    Bytes descriptor(16, 0);
    Put32(descriptor, 0, 0x08074B50);
    Put32(descriptor, 8, static_cast<std::uint32_t>(inner.size()));
    Put32(descriptor, 12, static_cast<std::uint32_t>(inner.size()));
    image.insert(image.end(), descriptor.begin(), descriptor.end());
    Bytes end(22, 0);
    Put32(end, 0, 0x06054B50);
    Put32(end, 16, static_cast<std::uint32_t>(image.size()));
    image.insert(image.end(), end.begin(), end.end());
    const std::size_t size = image.size();
    image.resize(2048, 'r');
    EXPECT_EQ(SizedFromDevice(image), size);
}

// Kinds told by member names and first bytes: tax returns, iWork documents,
// Outlook archives, drawing packages.
TEST(CarverZip, OtherPackageKinds) {
    classZipSearch::Block b;
    auto kindOf = [&](const std::string& name, bool office, unsigned kind = 72, const std::string& data = {}) {
        const Bytes d(data.begin(), data.end());
        EXPECT_EQ(classZipSearch::GetBlockSize(Local(name, {}, static_cast<std::uint32_t>(d.size()), 1, 0, 0, d),
                                               office, kind, b), 1);
        return b.kind;
    };
    EXPECT_EQ(kindOf("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", false), FileZIPAnalyser::kTax);
    EXPECT_EQ(kindOf("Index/Tables/numbers/x.iwa", false), FileZIPAnalyser::kNumbers);
    EXPECT_EQ(kindOf("Index/Slide1.iwa", false), FileZIPAnalyser::kKey);
    EXPECT_EQ(kindOf("buildVersionHistory.plist", false, 72, "<array><string>pages-trunk-1</string>"),
              FileZIPAnalyser::kPages);
    EXPECT_EQ(kindOf("Index/Metadata.iwa", false, 72, "..DocumentMetadata.."), FileZIPAnalyser::kPages);
    EXPECT_EQ(kindOf("Index/Metadata.iwa", false, FileZIPAnalyser::kKey, "..DocumentMetadata.."), 0u);
    EXPECT_EQ(kindOf("Accounts/Outlook/com.microsoft.__Messages/1.xml", true), FileZIPAnalyser::kOlm);
    EXPECT_TRUE(FileZIPAnalyser::JudgeDrawingType(Local("content/riffData.cdr", {}, 1, 1)));
}

// A walk that breaks before any end record: the archive runs to the first
// sector that ends in zeros.
TEST(CarverZip, ClassicZeroTail) {
    Bytes image = Local("a.bin", {}, 100, 100, 0, 0, Bytes(100, 'a'));
    image.resize(1536 + 500, 'r'); // a broken record, then two more sectors of data
    image.resize(2048 + 512, 0);
    EXPECT_EQ(SizedFromDevice(image), 2560u - 16); // the first sector whose last 16 bytes are zeros
}
