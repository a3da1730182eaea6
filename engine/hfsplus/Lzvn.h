#pragma once
// Decoder of LZVN, the LZ77 variant of transparently compressed HFS+ files
// (decmpfs types 7 and 8).

namespace hfsplus {

// Decodes source into destination and answers the bytes written. Decoding
// stops at the end-of-stream instruction or when destination is full (the
// answer is then destinationSize). A truncated stream, an undefined opcode or
// a match reaching before the start of the output answers 0. Never reads
// outside source nor writes outside destination.
unsigned long lzvn_decode(void* destination, unsigned long destinationSize, const void* source,
                          unsigned long sourceSize);

}  // namespace hfsplus
