#pragma once
// Finds the JPEG pictures that camera raw files and Photoshop documents carry
// as their own previews, reading only bounded structures of the file's bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace salvor::thumbnail {

struct JpegSpan {
    std::size_t offset = 0, length = 0;
    int width = 0, height = 0;
};

// A baseline or progressive JPEG at the start of bytes: its pixel size. A
// lossless one (the raw data of some cameras) or anything else: nothing.
std::optional<JpegSpan> ReadJpegFrame(std::span<const std::uint8_t> bytes);

// The largest embedded JPEG preview of a TIFF-based raw picture (.cr2 .dng
// .arw .rw2 .sr2 .dcr): the pictures named by JPEGInterchangeFormat and by
// single JPEG strips, in every directory reached from the header (next
// directories, sub-directories, the EXIF directory), with at most kMaxIfds
// directories of at most kMaxEntries entries walked.
std::optional<JpegSpan> FindRawPreview(std::span<const std::uint8_t> file);

// The JPEG thumbnail of a Photoshop document (image resource 1036, or 1033
// of older versions).
std::optional<JpegSpan> FindPsdThumbnail(std::span<const std::uint8_t> file);

inline constexpr int kMaxIfds = 64;
inline constexpr int kMaxEntries = 1024;

} // namespace salvor::thumbnail
