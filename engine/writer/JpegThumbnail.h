#pragma once
// Finding the JPEG stream embedded in the head of a picture (the EXIF
// thumbnail), for quick previews.
#include <cstddef>

// Looks for a second JPEG start marker (FF D8 FF) after the file's own one
// and the end marker (FF D9) that follows it. Answers the length of that
// stream and its start in *start, or 0 when there is none.
std::size_t FindEmbeddedJpeg(const unsigned char* data, std::size_t size, std::size_t* start);
