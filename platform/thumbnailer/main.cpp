// salvor-thumbnail KIND FILE: prints a PNG thumbnail of FILE on standard
// output and ends with status 0, or prints nothing and ends with status 1.
//   movie  the first frame of a movie, at most 192 pixels on its longer side
//   raw    the largest JPEG preview a camera raw file carries, at its own size
//          (at most kLargestPreview pixels on its longer side)
//   psd    the thumbnail a Photoshop document carries
// A movie must be a QuickTime/MP4 or AVI file. It runs as a program of its own so that a movie or a damaged file that
// crashes or hangs a decoder takes only this process down; the application
// kills it at its deadline.
#include "platform/thumbnailer/EmbeddedPreview.h"

#include <libffmpegthumbnailer/videothumbnailerc.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>

namespace {

constexpr int kMovieSize = 192;
constexpr int kLargestPreview = 1024;

// Renders path into a PNG on standard output; width or height 0 keeps the
// aspect ratio, both 0 keep the picture's size.
bool Render(const std::string& path, int width, int height) {
    video_thumbnailer* t = video_thumbnailer_create();
    if (!t) return false;
    // The start of the stream: a prefix of a movie has no later point to seek to.
    t->seek_percentage = 0;
    t->thumbnail_image_type = Png;
    video_thumbnailer_set_size(t, width, height);
    image_data* image = video_thumbnailer_create_image_data();
    bool ok = false;
    if (image && video_thumbnailer_generate_thumbnail_to_buffer(t, path.c_str(), image) == 0 &&
        image->image_data_size > 0)
        ok = std::fwrite(image->image_data_ptr, 1, static_cast<std::size_t>(image->image_data_size), stdout) ==
                 static_cast<std::size_t>(image->image_data_size) &&
             std::fflush(stdout) == 0;
    if (image) video_thumbnailer_destroy_image_data(image);
    video_thumbnailer_destroy(t);
    return ok;
}

// Only QuickTime/MP4 atoms or an AVI header: the decoders would otherwise
// take whatever they recognise, playlists and concat lists among them, which
// name other files and network addresses to open.
bool IsMovieContainer(const char* file) {
    unsigned char head[12] = {};
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head);
    ::close(fd);
    if (!read) return false;
    if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0) return true;
    for (const char* atom : {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"})
        if (std::memcmp(head + 4, atom, 4) == 0) return true;
    return false;
}

// The JPEG found in the file, rendered from an in-memory copy.
bool RenderEmbedded(const char* file, bool psd) {
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0) return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return false;
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(map), size);
    const std::optional<salvor::thumbnail::JpegSpan> jpeg =
        psd ? salvor::thumbnail::FindPsdThumbnail(bytes) : salvor::thumbnail::FindRawPreview(bytes);
    bool ok = false;
    if (jpeg) {
        const int mem = ::memfd_create("preview", MFD_CLOEXEC);
        std::size_t done = 0;
        while (mem >= 0 && done < jpeg->length) {
            const ssize_t n = ::write(mem, bytes.data() + jpeg->offset + done, jpeg->length - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (mem >= 0 && done == jpeg->length) {
            const bool wide = jpeg->width >= jpeg->height;
            const int longer = std::max(jpeg->width, jpeg->height) > kLargestPreview ? kLargestPreview : 0;
            ok = Render("/proc/self/fd/" + std::to_string(mem), wide ? longer : 0, wide ? 0 : longer);
        }
        if (mem >= 0) ::close(mem);
    }
    ::munmap(map, size);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: salvor-thumbnail movie|raw|psd FILE\n");
        return 2;
    }
    const std::string kind = argv[1];
    bool ok = false;
    if (kind == "movie")
        ok = IsMovieContainer(argv[2]) && Render(argv[2], kMovieSize, kMovieSize);
    else if (kind == "raw" || kind == "psd")
        ok = RenderEmbedded(argv[2], kind == "psd");
    return ok ? 0 : 1;
}
