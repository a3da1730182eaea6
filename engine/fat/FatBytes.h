#pragma once
// The checked byte reads of the FAT structures (engine/common/Bytes.h) and the
// one comparison they add.
#include "engine/common/Bytes.h"

namespace fat {

using bytes::Bytes;
using bytes::Has;
using bytes::Le16;
using bytes::Le32;
inline std::uint8_t Le8(Bytes b, std::size_t off) { return bytes::U8(b, off); }

// The 8 bytes at off equal text (8 characters) without regard to ASCII case.
bool EqualsNoCase8(Bytes b, std::size_t off, const char* text);

} // namespace fat
