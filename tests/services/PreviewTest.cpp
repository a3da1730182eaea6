// Previews through the facade over a scripted scan whose writer serves each
// found file from memory and records what it was asked to write; the
// thumbnail program is replaced by scripts that print a known PNG, hang,
// crash or print nothing. Pictures are tested with ui/kit's decoder, as the
// program installs it.
#include "services/Preview.h"
#include "tests/platform/TestEnv.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/Fixture.h"
#include "ui/kit/PreviewImages.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

std::string Encoded(int w, int h, const char* format) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return out.toStdString();
}

// What a found file holds and how its writer behaves.
struct Served {
    std::string bytes;    // what its reader delivers
    std::string smallJpg; // what ReadSmallJPG finds
    bool failWrite = false; // RecoverTo leaves a partial file and fails
};

struct WriterLog {
    std::mutex mutex;
    std::vector<std::pair<std::string, int>> writes; // path, byte count
    std::vector<std::string> folders;               // the real folder of each write, its mode
    // Writers freed, and freed while the thumbnail program ran (between its
    // two marks, well inside a preview).
    std::atomic<int> freed{0}, freedInFlight{0};
    std::string started, ended;
};

class StringReader : public IFileReader {
public:
    explicit StringReader(std::string bytes) : m_bytes(std::move(bytes)) {}
    unsigned ReadData(long long offset, char* buffer, unsigned size, int*) override {
        if (offset < 0 || offset >= static_cast<long long>(m_bytes.size())) return 0;
        const unsigned n = std::min<unsigned>(size, static_cast<unsigned>(m_bytes.size() - offset));
        std::memcpy(buffer, m_bytes.data() + offset, n);
        return n;
    }
    IFileReader* Clone() override { return new StringReader(m_bytes); }
    long long GetDataSize() const override { return static_cast<long long>(m_bytes.size()); }
    int IsCompressFile() override { return 0; }
    void Release() override { delete this; }

private:
    std::string m_bytes;
};

class ServingWriter : public FakeWriter {
public:
    ServingWriter(std::map<IFileNode*, Served>& files, WriterLog& log) : m_files(files), m_log(log) {}
    ~ServingWriter() override {
        ++m_log.freed;
        if (!m_log.started.empty() && fs::exists(m_log.started) && !fs::exists(m_log.ended)) ++m_log.freedInFlight;
    }
    IFileReader* SetRecoverNode(IFileNode* node) override {
        m_current = m_files.count(node) ? &m_files[node] : nullptr;
        return m_current ? new StringReader(m_current->bytes) : nullptr;
    }
    ResultCode RecoverTo(const char* path, IProgress*, int count) override {
        {
            std::lock_guard<std::mutex> lock(m_log.mutex);
            m_log.writes.emplace_back(path, count);
            const std::string folder = fs::canonical(fs::path(path).parent_path()).string();
            struct stat st {};
            ::stat(folder.c_str(), &st);
            m_log.folders.push_back(folder + ((st.st_mode & 0777) == 0700 ? " 0700" : " open"));
        }
        std::ofstream out(path, std::ios::binary);
        const std::string& b = m_current->bytes;
        out.write(b.data(), static_cast<std::streamsize>(std::min<std::size_t>(b.size(), static_cast<std::size_t>(count))));
        return m_current->failWrite ? 0x10d015f00000d03ULL : 0;
    }
    unsigned ReadSmallJPG(char* out, unsigned capacity) override {
        if (!m_current || m_current->smallJpg.empty() || m_current->smallJpg.size() > capacity) return 0;
        std::memcpy(out, m_current->smallJpg.data(), m_current->smallJpg.size());
        return static_cast<unsigned>(m_current->smallJpg.size());
    }

private:
    std::map<IFileNode*, Served>& m_files;
    WriterLog& m_log;
    Served* m_current = nullptr;
};

class Previews : public testing::Test {
protected:
    static void SetUpTestSuite() {
        UseRealFileSystems();
        VXUIPreview::SetDecoder(salvor::kit::decodedPreviewSize);
    }
    void SetUp() override {
        ASSERT_TRUE(devices.devices.listed);
        shared.makeWriter = [this] { return new ServingWriter(files, log); };
        VXUIScan::instance().SetControllerFactory([this](_RECOVERY_CONTROLLER_TYPE t) { return new FakeController(t, shared); });
        png = Encoded(48, 24, "PNG");
        std::ofstream(dir.file("thumb.png"), std::ios::binary) << png;
        // Prints the PNG and notes the size of the file it was given.
        Program("print", "stat -c %s \"$2\" >> '" + dir.file("sizes") + "'; cat '" + dir.file("thumb.png") + "'");
    }
    void TearDown() override {
        VXUIPreview::SetThumbnailProgram("");
        harness.WaitEnd();
    }
    void Program(const std::string& name, const std::string& body, std::chrono::milliseconds deadline = VXUIPreview::kThumbnailDeadline) {
        const std::string path = dir.file(name);
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        VXUIPreview::SetThumbnailProgram(path, deadline);
    }
    TestFileNode* File(const std::string& name, long long size, std::string bytes, std::string small = "",
                       bool failWrite = false) {
        TestFileNode* node = forest.Add(root, name, false, size);
        files[node] = Served{std::move(bytes), std::move(small), failWrite};
        return node;
    }
    void Scan(bool deep = false) {
        shared.scripts[&volume].trees = {{root, nodes()}};
        ASSERT_TRUE(harness.Scan(0, 0) && (!deep || harness.Scan(0, 0, true)));
    }
    std::vector<IFileNode*> nodes() {
        std::vector<IFileNode*> out;
        for (auto& [node, served] : files) out.push_back(node);
        return out;
    }
    static PreviewImage Preview(IFileNode* node) { return ScanHarness::facade().GetNSImageByNode(node); }
    // Nothing of a preview stays in the temporary folder.
    bool TmpIsEmpty() const { return fs::is_empty(tmp.path()) && VXUIPreview::TemporaryFolder().empty(); }

    TempDir dir, tmp;
    ScopedEnv tmpdir{"TMPDIR", tmp.path()};
    FakeDevice disk{DEVICE_DISK}, volume{DEVICE_VOLUME};
    FakeController::Shared shared;
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "MEDIA");
    std::map<IFileNode*, Served> files;
    WriterLog log;
    std::string png;
    ScanHarness harness;
    FakeDeviceList devices{&disk, {&volume}};
};

QSize SizeOf(const PreviewImage& p) { return salvor::kit::decodedPreviewSize(p.bytes); }

TEST_F(Previews, PicturesOtherCategoriesAndRawFallbacks) {
    const std::string jpg = Encoded(40, 30, "JPEG"), small = Encoded(16, 8, "JPEG");
    const long long kHuge = VXUIPreview::kLargestPicture + 1;
    struct Row {
        TestFileNode* node;
        QSize size;            // a picture of this size
        const char* icon;      // or the icon of this extension
    } rows[] = {
        {File("zero.jpg", 0, jpg), {}, "jpg"},
        {File("huge.JPG", kHuge, jpg), {}, "jpg"},
        {File("plain.jpg", static_cast<long long>(jpg.size()), jpg), {40, 30}, nullptr},
        // The embedded small JPEG is preferred; an empty first decode reads the whole file once more.
        {File("thumb.jpg", static_cast<long long>(jpg.size()), jpg, small), {16, 8}, nullptr},
        {File("retry.jpg", static_cast<long long>(jpg.size()), jpg, "not a picture"), {40, 30}, nullptr},
        {File("junk.png", 500, std::string(500, 'x')), {}, "png"},
        {File("song.mp3", 100, jpg), {}, "mp3"},
        {File("pack.zip", 100, jpg), {}, "zip"},
        {File("letter.pdf", 100, jpg), {}, "pdf"},
        {File("data.qqq", 100, jpg), {}, "qqq"},
        {File("README", 100, jpg), {}, ""},
        // Their thumbnails fail (no TIFF, no Photoshop resources): a .cr2
        // shows its icon though its bytes would decode, a .psd is decoded.
        {File("shot.cr2", static_cast<long long>(jpg.size()), jpg), {}, "cr2"},
        {File("layers.psd", static_cast<long long>(jpg.size()), jpg), {40, 30}, nullptr},
    };
    // A file shorter than its size: exactly the bytes read are decoded.
    TestFileNode* cut = File("cut.jpg", 100000, jpg);
    Program("fail", "exit 1");
    Scan();
    for (const Row& r : rows) {
        const PreviewImage p = Preview(r.node);
        SCOPED_TRACE(r.node->GetFileName());
        if (r.icon) EXPECT_TRUE(p.bytes.isEmpty() && p.iconExt == QString::fromLatin1(r.icon)) << p.iconExt.toStdString();
        else EXPECT_EQ(SizeOf(p), r.size);
        EXPECT_TRUE(TmpIsEmpty());
    }
    const PreviewImage p = Preview(cut);
    EXPECT_EQ(std::pair(p.bytes.size(), SizeOf(p)), std::pair(static_cast<qsizetype>(jpg.size()), QSize(40, 30)));
    EXPECT_TRUE(Preview(nullptr).isNull());
    EXPECT_EQ(SizeOf(ScanHarness::facade().GetNSImageByFildNodeNSNumber(rows[2].node)), QSize(40, 30));
}

TEST_F(Previews, MoviesAndRawsWriteIntoOnePrivateFolderAndLeaveNothing) {
    const std::string clip(3 << 20, 'm');
    TestFileNode* avi = File("long.avi", 60ll << 20, clip);
    TestFileNode* mp4 = File("short.mp4", 1 << 20, clip.substr(0, 1 << 20));
    TestFileNode* up = File("../a.mp4", 4000, clip.substr(0, 4000));
    TestFileNode* sub = File("a/b.mov", 5000, clip.substr(0, 5000));
    TestFileNode* dng = File("shot.dng", 7000, clip.substr(0, 7000));
    TestFileNode* failing = File("broken.mp4", 6000, clip.substr(0, 6000), "", true);
    TestFileNode* odd = File("clip.mkv", 6000, clip.substr(0, 6000));
    Scan();
    for (TestFileNode* n : {avi, mp4, up, sub, dng}) {
        SCOPED_TRACE(n->GetFileName());
        EXPECT_EQ(Preview(n).bytes.toStdString(), png);
        EXPECT_TRUE(TmpIsEmpty());
    }
    for (TestFileNode* n : {failing, odd}) EXPECT_EQ(Preview(n).iconExt.toStdString(), VXUIScan::GetNodeExt(n));
    EXPECT_TRUE(TmpIsEmpty());
    std::vector<int> counts;
    for (const auto& [path, count] : log.writes) {
        counts.push_back(count);
        EXPECT_EQ(path.find(".."), std::string::npos) << path;
        EXPECT_TRUE(std::regex_match(fs::path(path).filename().string(), std::regex("[0-9]+\\.(avi|mp4|mov|dng)"))) << path;
    }
    EXPECT_EQ(counts, (std::vector<int>{2 << 20, 1 << 20, 4000, 5000, 7000, 6000}));
    for (const std::string& folder : log.folders) {
        EXPECT_EQ(fs::path(folder).parent_path(), fs::canonical(tmp.path()));
        EXPECT_NE(folder.find("/salvor-preview-"), std::string::npos);
        EXPECT_EQ(folder.substr(folder.size() - 5), " 0700");
    }
    std::ifstream sizes(dir.file("sizes"));
    std::vector<long long> written{std::istream_iterator<long long>(sizes), {}};
    EXPECT_EQ(written, (std::vector<long long>{2 << 20, 1 << 20, 4000, 5000, 7000}));
}

TEST_F(Previews, APictureAndAMovieAtOnceANewScanWaitsAndThumbnailersThatHangCrashOrSayNothing) {
    const std::string jpg = Encoded(40, 30, "JPEG");
    TestFileNode* picture = File("p.jpg", static_cast<long long>(jpg.size()), jpg);
    TestFileNode* movie = File("m.mp4", 9000, std::string(9000, 'm'));
    Scan();
    std::atomic<int> wrong{0};
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) wrong += SizeOf(Preview(picture)) != QSize(40, 30);
    });
    for (int i = 0; i < 20; ++i) wrong += Preview(movie).bytes.toStdString() != png;
    other.join();
    EXPECT_EQ(wrong.load(), 0);

    // A new scan frees the writers and nodes only after the previews in flight.
    log.started = dir.file("started");
    log.ended = dir.file("ended");
    Program("slow", "touch '" + log.started + "'; sleep 0.5; touch '" + log.ended + "'; cat '" + dir.file("thumb.png") + "'");
    const std::size_t writes = log.writes.size();
    PreviewImage slow;
    std::thread late([&] { slow = Preview(movie); });
    salvor::platform::runUntil([&] { std::lock_guard<std::mutex> l(log.mutex); return log.writes.size() > writes; },
                               std::chrono::seconds(5));
    const int freed = log.freed;
    ASSERT_TRUE(harness.Scan(0, 0));
    late.join();
    EXPECT_EQ(slow.bytes.toStdString(), png);
    EXPECT_GT(log.freed.load(), freed);
    EXPECT_EQ(log.freedInFlight.load(), 0);

    for (const char* body : {"exec sleep 30", "kill -SEGV $$", "exit 0", "cat /dev/urandom"}) {
        SCOPED_TRACE(body);
        Program("bad", body, std::chrono::milliseconds(400));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Preview(movie).iconExt, QStringLiteral("mp4"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_TRUE(TmpIsEmpty());
        // No child of ours is left, running or as a zombie.
        int children = 0;
        for (const auto& e : fs::directory_iterator("/proc")) {
            std::ifstream stat(e.path() / "stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            std::string state;
            int ppid = 0;
            rest >> state >> ppid;
            children += ppid == ::getpid();
        }
        EXPECT_EQ(children, 0);
    }
}

// While a deep scan runs its writers are not made: its files show their
// icons; once it ended they are previewed.
TEST_F(Previews, DuringADeepScanOnlyIcons) {
    const std::string jpg = Encoded(40, 30, "JPEG");
    TestFileNode* picture = File("p.jpg", static_cast<long long>(jpg.size()), jpg);
    PreviewImage during;
    shared.scripts[&volume].during = [&](IProgress*) {
        if (ScanHarness::facade().IsDeepScan()) during = Preview(picture);
    };
    Scan(true);
    EXPECT_EQ(during.iconExt, QStringLiteral("jpg"));
    EXPECT_EQ(SizeOf(Preview(picture)), QSize(40, 30));
}

} // namespace
