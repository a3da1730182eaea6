#include "services/Preview.h"

#include "engine/include/DataRecovery.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/utility/CatchExeception.h"
#include "platform/ChildProcess.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/UIFilter.h"
#include "services/ScanSession.h"
#include "services/UIScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#ifndef SALVOR_THUMBNAILER_PATH
#define SALVOR_THUMBNAILER_PATH ""
#endif

namespace {

constexpr std::size_t kLargestThumbnail = 32u << 20;
constexpr unsigned kReadChunk = 4u << 20;
constexpr std::array<const char*, 4> kMovieExts = {"mov", "m4v", "mp4", "avi"};
constexpr std::array<const char*, 5> kRawExts = {"rw2", "sr2", "cr2", "dng", "dcr"};

struct Settings {
    std::mutex mutex;
    VXUIPreview::Decoder decoder;
    std::string program;
    std::chrono::milliseconds deadline = VXUIPreview::kThumbnailDeadline;
};

Settings& settings() {
    static Settings* const s = new Settings;
    return *s;
}

template <class T>
bool OneOf(const std::string& ext, const T& list) {
    return std::find(list.begin(), list.end(), ext) != list.end();
}

// The shipped program: beside the executable, else where the build made it.
std::string ShippedThumbnailer() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<std::size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "salvor-thumbnail";
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return SALVOR_THUMBNAILER_PATH;
}

// The files handed to the thumbnail program live in one private folder
// (mkdtemp: an unpredictable name, mode 0700), made when a preview needs it
// and removed with anything left in it when the last preview in flight is
// done. Names are a counter and the found file's extension, never its name.
class CPreviewFolder {
public:
    struct Lease {
        std::string writePath; // for the writer
        std::string realPath;  // for the thumbnail program
    };

    std::optional<Lease> Acquire(const std::string& ext) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_users == 0 && !Make()) return std::nullopt;
        ++m_users;
        const std::string name = std::to_string(++m_counter) + "." + ext;
        // The writer sets the times of the folders above the file as far as
        // the found file's ancestors reach: written through the folder's
        // descriptor, the only real folder above it is this one, never the
        // shared temporary folder.
        return Lease{"/proc/self/fd/" + std::to_string(m_fd) + "/" + name, m_path + "/" + name};
    }

    void Release(const Lease& lease) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ::unlinkat(m_fd, lease.realPath.substr(lease.realPath.rfind('/') + 1).c_str(), 0);
        if (--m_users == 0) Remove();
    }

    std::string Path() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_path;
    }

private:
    bool Make() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/salvor-preview-XXXXXX";
        if (!::mkdtemp(pattern.data())) return false;
        m_fd = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (m_fd < 0) {
            ::rmdir(pattern.c_str());
            return false;
        }
        m_path = pattern;
        return true;
    }

    // What a writer or a killed program left behind (partial files) goes too.
    void Remove() {
        if (DIR* dir = ::fdopendir(::dup(m_fd))) {
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") ::unlinkat(m_fd, name.c_str(), 0);
            }
            ::closedir(dir);
        }
        ::close(m_fd);
        m_fd = -1;
        ::rmdir(m_path.c_str());
        m_path.clear();
    }

    std::mutex m_mutex;
    int m_users = 0;
    int m_fd = -1;
    std::string m_path;
    unsigned long long m_counter = 0;
};

CPreviewFolder& folder() {
    static CPreviewFolder* const f = new CPreviewFolder;
    return *f;
}

PreviewImage IconOf(const std::string& ext) {
    return PreviewImage{QByteArray(), QString::fromUtf8(ext.data(), static_cast<qsizetype>(ext.size()))};
}

// Letters and digits of the extension only: nothing of a found name reaches a path.
std::string SafeExt(const std::string& ext) {
    std::string out;
    for (char c : ext)
        if (std::isalnum(static_cast<unsigned char>(c)) && out.size() < 16)
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out.empty() ? "bin" : out;
}

struct ReaderRelease {
    void operator()(IFileReader* r) const {
        if (r) r->Release();
    }
};
using ReaderPtr = std::unique_ptr<IFileReader, ReaderRelease>;

// The file writer for node, locked for this preview, with the reader it
// prepared. Writers are replaced and released by other threads: one counts
// as alive only when it is still in its table after its lock is taken (its
// releaser takes the same lock before it lets it go).
struct HeldWriter {
    IDataRecovery* writer = nullptr;
    std::unique_lock<std::mutex> lock;
    ReaderPtr reader;
};

HeldWriter HoldWriter(const ScanSession& session, IFileNode* node) {
    // The controller stays while the preview holds the session's nodes.
    if (!session.Controller()) return {};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        IDataRecovery* writer = session.WriterFor(node);
        if (!writer) return {};
        auto lock = LockWriter(writer);
        // Released by another thread between the look-up and the lock: look again.
        if (!session.IsWriterFor(node, writer)) continue;
        HeldWriter held;
        held.reader.reset(writer->SetRecoverNode(node));
        if (!held.reader) return {};
        held.writer = writer;
        held.lock = std::move(lock);
        return held;
    }
    return {};
}

bool Usable(const QByteArray& bytes) {
    if (bytes.isEmpty()) return false;
    VXUIPreview::Decoder decode;
    {
        std::lock_guard<std::mutex> lock(settings().mutex);
        decode = settings().decoder;
    }
    if (!decode) return true;
    const QSize size = decode(bytes);
    return size.width() > 0 && size.height() > 0;
}

// Reads up to size bytes from the start; answers how many came.
qsizetype ReadFromStart(IFileReader* reader, char* out, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const unsigned want = static_cast<unsigned>(std::min<qsizetype>(size - done, kReadChunk));
        const unsigned got = reader->ReadData(done, out + done, want, nullptr);
        if (got == 0) break;
        done += std::min<qsizetype>(got, want);
    }
    return done;
}

// Writes count leading bytes of node to a private file and runs the
// thumbnail program on it; the file is gone afterwards in every case.
QByteArray ThumbnailOfPrefix(const ScanSession& session, IFileNode* node, const std::string& ext, int count, const char* kind) {
    std::optional<CPreviewFolder::Lease> lease = folder().Acquire(SafeExt(ext));
    if (!lease) return {};
    ResultCode written = 1;
    {
        const std::vector<CDeviceUse> open = VXUIDeviceData::instance().HoldOpen(session.Storage());
        HeldWriter held = HoldWriter(session, node);
        if (held.writer) written = held.writer->RecoverTo(lease->writePath.c_str(), nullptr, count);
    }
    QByteArray png;
    if (written == 0)
        png = VXUIPreview::getVideoThumbFromPath(lease->realPath, kind);
    else
        CatchExeception::WriteLog("----Recovery Failed----\n");
    folder().Release(*lease);
    return png;
}

PreviewImage PicturePreview(const ScanSession& session, IFileNode* node, const std::string& ext) {
    const long long size = node->GetFileSize();
    if (size <= 0 || size > VXUIPreview::kLargestPicture) return IconOf(ext);
    // One picture at a time: at most one file of up to 100 MiB in memory.
    static std::mutex oneAtATime;
    std::lock_guard<std::mutex> one(oneAtATime);
    const std::vector<CDeviceUse> open = VXUIDeviceData::instance().HoldOpen(session.Storage());
    HeldWriter held = HoldWriter(session, node);
    if (!held.writer) return IconOf(ext);
    QByteArray bytes;
    try {
        bytes = QByteArray(static_cast<qsizetype>(size), '\0');
    } catch (const std::bad_alloc&) {
        return IconOf(ext);
    }
    // An embedded small JPEG first; else the whole file. Only what was
    // read is decoded.
    qsizetype got = held.writer->ReadSmallJPG(bytes.data(), static_cast<unsigned>(size));
    if (got <= 0 || got > size) got = ReadFromStart(held.reader.get(), bytes.data(), size);
    bytes.truncate(got);
    if (!Usable(bytes)) {
        // Once more, the whole file.
        bytes.resize(static_cast<qsizetype>(size));
        bytes.truncate(ReadFromStart(held.reader.get(), bytes.data(), size));
        if (!Usable(bytes)) return IconOf(ext);
    }
    return PreviewImage{std::move(bytes), QString()};
}

} // namespace

void VXUIPreview::SetDecoder(Decoder decoder) {
    std::lock_guard<std::mutex> lock(settings().mutex);
    settings().decoder = std::move(decoder);
}

void VXUIPreview::SetThumbnailProgram(const std::string& path, std::chrono::milliseconds deadline) {
    std::lock_guard<std::mutex> lock(settings().mutex);
    settings().program = path;
    settings().deadline = deadline;
}

std::string VXUIPreview::TemporaryFolder() { return folder().Path(); }

QByteArray VXUIPreview::getVideoThumbFromPath(const std::string& path, const char* kind) {
    std::string program;
    std::chrono::milliseconds deadline;
    {
        std::lock_guard<std::mutex> lock(settings().mutex);
        if (settings().program.empty()) settings().program = ShippedThumbnailer();
        program = settings().program;
        deadline = settings().deadline;
    }
    const salvor::platform::ChildResult r =
        salvor::platform::runChildWithDeadline({program, kind, path}, deadline, kLargestThumbnail);
    if (!r.exitedZero) return {};
    return QByteArray(r.output.data(), static_cast<qsizetype>(r.output.size()));
}

PreviewImage VXUIPreview::GetRawPicThumb(const ScanSession& session, IFileNode* node) {
    const std::string ext = VXUIScan::GetNodeExt(node);
    const long long size = node->GetFileSize();
    if (size <= 0 || size > kLargestPicture) return IconOf(ext);
    QByteArray png = ThumbnailOfPrefix(session, node, ext, static_cast<int>(size), ext == "psd" ? "psd" : "raw");
    if (!Usable(png)) return IconOf(ext);
    return PreviewImage{std::move(png), QString()};
}

PreviewImage VXUIPreview::GetVideoThumb(const ScanSession& session, IFileNode* node) {
    // One movie at a time: each runs a decoder process.
    static std::mutex oneAtATime;
    std::lock_guard<std::mutex> one(oneAtATime);
    const std::string ext = VXUIScan::GetNodeExt(node);
    const long long size = node->GetFileSize();
    if (!OneOf(ext, kMovieExts) || size <= 0) return IconOf(ext);
    // The container's header and first frames; an AVI keeps its index at the
    // end, so one of up to 50 MiB goes whole.
    const long long count = ext == "avi" && size <= kWholeAvi ? size : std::min(size, kMoviePrefix);
    QByteArray png = ThumbnailOfPrefix(session, node, ext, static_cast<int>(count), "movie");
    if (!Usable(png)) return IconOf(ext);
    return PreviewImage{std::move(png), QString()};
}

PreviewImage VXUIPreview::GetNSImageByFildNode(const std::shared_ptr<ScanSession>& session, IFileNode* node) {
    IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
    if (!node || !filter || !session) return {};
    // A new scan frees these nodes only after this preview.
    const auto nodes = session->ReadNodes();
    const std::string ext = VXUIScan::GetNodeExt(node);
    IRecoveryController* controller = session->Controller();
    if (controller && controller->thisType() != RECOVERY_DELETED && !session->HasWriters()) {
        // A deep scan's writers are made when its searchers are done; until
        // then its files show their icons.
        if (!session->Ended()) return IconOf(ext);
        static std::mutex oneReset;
        std::lock_guard<std::mutex> lock(oneReset);
        // Released since (the windows let an earlier scan's writers go).
        if (!session->HasWriters()) session->MakeTypeWriters();
    }
    const unsigned category = filter->GetNodeFileType(node);
    if (category == FILTER_MOVIE) return GetVideoThumb(*session, node);
    if (ext.empty()) return IconOf(ext);
    if (OneOf(ext, kRawExts)) return GetRawPicThumb(*session, node);
    if (ext == "arw" || ext == "psd") {
        PreviewImage thumb = GetRawPicThumb(*session, node);
        if (!thumb.bytes.isEmpty()) return thumb;
    }
    if (category == FILTER_PICTURE) return PicturePreview(*session, node, ext);
    return IconOf(ext);
}
