#pragma once
// Previews of found files for the results window: a found picture's bytes, a
// PNG thumbnail of a movie, of a camera raw picture or of a Photoshop
// document, or else the extension whose icon stands in (PreviewImage). The
// services only read and select; the window side decodes the bytes and makes
// the icon (ui/kit).
//
// A preview reads the found file through its scan session's file writers,
// which it shares with a running recovery; it holds the session's nodes for
// its whole length, so a new scan or load waits for the previews in flight.
#include "services/PreviewImage.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class IFileNode;
class ScanSession;

class VXUIPreview {
public:
    // The pixel size of encoded picture bytes (empty when they do not
    // decode). The application installs the window side's decoder; without
    // one, any bytes count as a picture.
    using Decoder = std::function<QSize(const QByteArray&)>;
    static void SetDecoder(Decoder decoder);

    // The preview of a found file of session, read through the session's
    // writer; nothing for a null node or session or without the engine's
    // filter. Any thread.
    static PreviewImage GetNSImageByFildNode(const std::shared_ptr<ScanSession>& session, IFileNode* node);
    // A raw picture's or a Photoshop document's embedded preview, or the icon.
    static PreviewImage GetRawPicThumb(const ScanSession& session, IFileNode* node);
    // A movie's first frame, or the icon.
    static PreviewImage GetVideoThumb(const ScanSession& session, IFileNode* node);
    // The thumbnail program's PNG of a real file (kind "movie", "raw" or
    // "psd"); empty when it failed, crashed or ran past its deadline.
    static QByteArray getVideoThumbFromPath(const std::string& path, const char* kind);

    static constexpr long long kLargestPicture = 0x6400000; // 100 MiB
    static constexpr long long kMoviePrefix = 0x200000;     // 2 MiB
    static constexpr long long kWholeAvi = 0x3200000;       // 50 MiB
    static constexpr std::chrono::milliseconds kThumbnailDeadline{5000};

    // Tests: another thumbnail program and deadline (an empty path puts the
    // shipped program back).
    static void SetThumbnailProgram(const std::string& path, std::chrono::milliseconds deadline = kThumbnailDeadline);
    // The private folder that holds the files being thumbnailed, "" while
    // there is none (it goes when the last preview in flight is done).
    static std::string TemporaryFolder();
};
