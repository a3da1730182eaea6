// Previews through the facade over a scripted scan whose writer serves each
// found file from memory and notes what it was asked to write; scripts stand
// in for the thumbnail program. Pictures are decoded by ui/kit's decoder, as
// the program installs it.
#include "services/Preview.h"
#include "tests/platform/TestEnv.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/Fixture.h"
#include "ui/kit/PreviewImages.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

std::string Encoded(int w, int h, const char* format = "JPEG") {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return out.toStdString();
}

struct Served {
    std::string bytes, smallJpg; // what the reader delivers, what ReadSmallJPG finds
    bool failWrite = false;      // RecoverTo leaves a partial file and fails
    std::atomic<bool>* held = nullptr; // while set, reading hangs (a device held or gone)
};

struct WriterLog {
    std::mutex mutex;
    std::vector<std::string> writes; // "count folder mode name" of each RecoverTo
    std::atomic<int> freed{0}, freedInFlight{0}; // writers freed; of them while a program ran
    std::string running;                        // exists while the program runs
};

class StringReader : public IFileReader {
public:
    explicit StringReader(std::string bytes) : m_bytes(std::move(bytes)) {}
    unsigned ReadData(long long offset, char* out, unsigned size, int*) override {
        const std::string part = offset < static_cast<long long>(m_bytes.size()) ? m_bytes.substr(offset, size) : "";
        std::memcpy(out, part.data(), part.size());
        return static_cast<unsigned>(part.size());
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
        m_log.freedInFlight += !m_log.running.empty() && fs::exists(m_log.running);
    }
    IFileReader* SetRecoverNode(IFileNode* node) override {
        m_current = &m_files[node];
        return new StringReader(m_current->bytes);
    }
    ResultCode RecoverTo(const char* path, IProgress*, int count) override {
        const fs::path folder = fs::canonical(fs::path(path).parent_path());
        struct stat st {};
        ::stat(folder.c_str(), &st);
        {
            std::lock_guard<std::mutex> lock(m_log.mutex);
            m_log.writes.push_back(std::to_string(count) + " " + folder.parent_path().string() + " " +
                                   std::to_string(st.st_mode & 0777) + " " + fs::path(path).filename().string());
        }
        std::ofstream(path, std::ios::binary) << m_current->bytes.substr(0, static_cast<std::size_t>(count));
        return m_current->failWrite ? 0x10d015f00000d03ULL : 0;
    }
    unsigned ReadSmallJPG(char* out, unsigned capacity) override {
        while (m_current->held && m_current->held->load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::string& small = m_current->smallJpg;
        if (small.size() > capacity) return 0;
        std::memcpy(out, small.data(), small.size());
        return static_cast<unsigned>(small.size());
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
        std::ofstream(dir.file("thumb.png"), std::ios::binary) << png;
        // Prints the PNG and notes the size of the file it was given.
        Program("stat -c %s \"$2\" >> '" + dir.file("sizes") + "'; cat '" + dir.file("thumb.png") + "'");
    }
    void TearDown() override {
        VXUIPreview::SetThumbnailProgram("");
        harness.WaitEnd();
    }
    // Unless a row is about the deadline, one a loaded machine never misses.
    void Program(const std::string& body, std::chrono::milliseconds deadline = std::chrono::minutes(10)) {
        const std::string path = dir.file("program" + std::to_string(++programs));
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
        shared.scripts[&volume].trees = {{root, {}}};
        for (auto& [node, served] : files) shared.scripts[&volume].trees[0].second.push_back(node);
        ASSERT_TRUE(harness.Scan(0, 0) && (!deep || harness.Scan(0, 0, true)));
    }
    static PreviewImage Preview(IFileNode* node) { return ScanHarness::facade().GetNSImageByNode(node); }
    static QSize SizeOf(const PreviewImage& p) { return salvor::kit::decodedPreviewSize(p.bytes); }
    // Nothing of a preview stays in the temporary folder.
    bool TmpIsEmpty() const { return fs::is_empty(tmp.path()) && VXUIPreview::TemporaryFolder().empty(); }

    TempDir dir, tmp;
    ScopedEnv tmpdir{"TMPDIR", tmp.path()};
    int programs = 0;
    const std::string png = Encoded(48, 24, "PNG"), jpg = Encoded(40, 30);
    FakeDevice disk{DEVICE_DISK}, volume{DEVICE_VOLUME};
    FakeController::Shared shared;
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "MEDIA");
    std::map<IFileNode*, Served> files;
    WriterLog log;
    ScanHarness harness;
    FakeDeviceList devices{&disk, {&volume}};
};

TEST_F(Previews, PicturesOtherCategoriesAndRawFallbacks) {
    const long long n = static_cast<long long>(jpg.size());
    const std::tuple<TestFileNode*, QSize, const char*> rows[] = { // a picture of that size, or that icon
        {File("zero.jpg", 0, jpg), {}, "jpg"},
        {File("huge.JPG", VXUIPreview::kLargestPicture + 1, jpg), {}, "jpg"},
        {File("plain.jpg", n, jpg), {40, 30}, nullptr},
        // The embedded small JPEG first; an empty first decode reads the whole file once more.
        {File("thumb.jpg", n, jpg, Encoded(16, 8)), {16, 8}, nullptr},
        {File("retry.jpg", n, jpg, "not a picture"), {40, 30}, nullptr},
        {File("junk.png", 500, std::string(500, 'x')), {}, "png"},
        // Read short of its size: exactly the bytes read are decoded.
        {File("cut.jpg", 100000, jpg), {40, 30}, nullptr},
        {File("song.mp3", n, jpg), {}, "mp3"},
        {File("pack.zip", n, jpg), {}, "zip"},
        {File("letter.pdf", n, jpg), {}, "pdf"},
        {File("data.qqq", n, jpg), {}, "qqq"},
        {File("README", n, jpg), {}, ""},
        // Their thumbnails fail: a .cr2 shows its icon though its bytes would
        // decode, a .psd is decoded as a picture.
        {File("shot.cr2", n, jpg), {}, "cr2"},
        {File("layers.psd", n, jpg), {40, 30}, nullptr},
    };
    Program("exit 1");
    Scan();
    for (const auto& [node, size, icon] : rows) {
        const PreviewImage p = Preview(node);
        EXPECT_EQ(std::tuple(SizeOf(p), p.iconExt.toStdString()), std::tuple(size, std::string(icon ? icon : "")))
            << node->GetFileName();
        EXPECT_TRUE(icon || p.bytes.size() <= n);
    }
    EXPECT_TRUE(TmpIsEmpty());
    EXPECT_TRUE(Preview(nullptr).isNull());
    EXPECT_EQ(SizeOf(ScanHarness::facade().GetNSImageByFildNodeNSNumber(std::get<0>(rows[2]))), QSize(40, 30));
}

TEST_F(Previews, MoviesAndRawsWriteIntoOnePrivateFolderAndLeaveNothing) {
    const std::string clip(3 << 20, 'm');
    const std::tuple<TestFileNode*, int> rows[] = { // bytes written and handed to the program
        {File("long.avi", 60ll << 20, clip), 2 << 20}, {File("short.mp4", 1 << 20, clip), 1 << 20},
        {File("../a.mp4", 4000, clip), 4000},          {File("a/b.mov", 5000, clip), 5000},
        {File("shot.dng", 7000, clip), 7000}};
    TestFileNode* failing = File("broken.mp4", 6000, clip, "", true);
    TestFileNode* other = File("clip.mkv", 6000, clip);
    Scan();
    std::vector<std::string> sizes;
    for (const auto& [node, count] : rows) {
        EXPECT_EQ(Preview(node).bytes.toStdString(), png) << node->GetFileName();
        sizes.push_back(std::to_string(count));
    }
    for (TestFileNode* n : {failing, other}) EXPECT_EQ(Preview(n).iconExt.toStdString(), VXUIScan::GetNodeExt(n));
    EXPECT_TRUE(TmpIsEmpty());
    ASSERT_EQ(log.writes.size(), 6u);
    for (std::size_t i = 0; i < log.writes.size(); ++i) // "count folder mode name": 0700 is 448
        EXPECT_TRUE(std::regex_match(log.writes[i], std::regex("[0-9]+ " + fs::canonical(tmp.path()).string() +
                                                               " 448 [0-9]+\\.(avi|mp4|mov|dng)")))
            << log.writes[i];
    std::ifstream written(dir.file("sizes"));
    EXPECT_EQ(std::vector<std::string>(std::istream_iterator<std::string>(written), {}), sizes);
}

TEST_F(Previews, APictureAndAMovieAtOnceANewScanWaitsAndThumbnailersThatHangCrashOrSayNothing) {
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

    // A new scan frees writers and nodes only after the preview in flight.
    log.running = dir.file("running");
    Program("touch '" + log.running + "'; sleep 0.5; rm '" + log.running + "'; cat '" + dir.file("thumb.png") + "'");
    PreviewImage late;
    std::thread slow([&] { late = Preview(movie); });
    salvor::platform::runUntil([&] { return fs::exists(log.running); }, std::chrono::seconds(5));
    const int freed = log.freed;
    ASSERT_TRUE(harness.Scan(0, 0));
    slow.join();
    EXPECT_EQ(std::tuple(late.bytes.toStdString() == png, log.freed > freed, log.freedInFlight.load()), std::tuple(true, true, 0));

    for (const char* body : {"exec sleep 30", "kill -SEGV $$", "exit 0", "cat /dev/urandom"}) {
        Program(body, std::chrono::milliseconds(400));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Preview(movie).iconExt, QStringLiteral("mp4")) << body;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << body;
        // No child of ours is left, running or as a zombie.
        int children = 0;
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string stat = ReadWholeFile((e.path() / "stat").string());
            int ppid = 0;
            char state = 0;
            const std::size_t end = stat.rfind(')');
            if (end != std::string::npos && std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &ppid) == 2)
                children += ppid == ::getpid();
        }
        EXPECT_EQ(children, 0) << body;
    }
    EXPECT_TRUE(TmpIsEmpty());
}

// A preview whose read hangs holds its writer: the start window's letting go
// of the writers returns at once all the same, and the writer goes once the
// read has returned.
TEST_F(Previews, WritersLetGoWhileAPreviewReadHangsReturnAtOnce) {
    std::atomic<bool> held{true};
    TestFileNode* picture = File("p.jpg", static_cast<long long>(jpg.size()), jpg);
    files[picture].held = &held;
    Scan();
    PreviewImage late;
    std::thread reading([&] { late = Preview(picture); });
    // Let go after a while whatever happens: a wait shows as slow, not as a hang.
    std::thread rescue([&] {
        for (int i = 0; i < 300 && held; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        held = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the read is in flight
    const int freed = log.freed;
    const auto start = std::chrono::steady_clock::now();
    ScanHarness::facade().ReleaseDataRecovery();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(200));
    EXPECT_TRUE(held.load());
    EXPECT_EQ(log.freed.load(), freed); // not under the read
    held = false;
    reading.join();
    rescue.join();
    EXPECT_EQ(SizeOf(late), QSize(40, 30));
    EXPECT_TRUE(salvor::platform::runUntil([&] { return log.freed.load() > freed; }, std::chrono::seconds(5)));
}

// While a deep scan runs its writers are not made: its files show their icons.
TEST_F(Previews, DuringADeepScanOnlyIcons) {
    TestFileNode* picture = File("p.jpg", static_cast<long long>(jpg.size()), jpg);
    PreviewImage during;
    shared.scripts[&volume].during = [&](IProgress*) {
        if (ScanHarness::facade().IsDeepScan()) during = Preview(picture);
    };
    Scan(true);
    EXPECT_EQ(std::pair(during.iconExt, SizeOf(Preview(picture))), std::pair(QStringLiteral("jpg"), QSize(40, 30)));
}

} // namespace

// A thumbnail program killed at its deadline (SIGKILL to its group) while it
// still writes into the private folder, itself or through a child: nothing
// of it stays there, and the folder goes.
TEST_F(Previews, AWriterKilledMidWriteLeavesNothingInThePrivateFolder) {
    TestFileNode* movie = File("m.mp4", 9000, std::string(9000, 'm'));
    Scan();
    const std::string wrote = dir.file("wrote");
    for (const std::string& body :
         {"{ printf 'part of a frame'; touch '" + wrote + "'; exec sleep 30; } > \"$2.part\"",
          "(head -c 70000 /dev/zero > \"$(dirname \"$2\")/frame.png\"; touch '" + wrote + "'; exec sleep 30) & wait"}) {
        fs::remove(wrote);
        Program(body, std::chrono::milliseconds(500));
        EXPECT_EQ(Preview(movie).iconExt, QStringLiteral("mp4")) << body;
        EXPECT_TRUE(fs::exists(wrote)) << "killed before it wrote: " << body;
        EXPECT_TRUE(TmpIsEmpty()) << body;
    }
}
