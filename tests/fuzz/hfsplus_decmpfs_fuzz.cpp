// A decmpfs attribute and a resource fork from the input (the first two bytes
// give the attribute's length) through the expanding reader: every slice it
// answers lies within the file and within the buffer given.
#include "engine/hfsplus/HfsPlusCompressFileReader.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t attrBytes = std::min<std::size_t>(size - 2, data[0] | data[1] << 8);
    const std::vector<std::uint8_t> attr(data + 2, data + 2 + attrBytes);
    const std::vector<std::uint8_t> fork(data + 2 + attrBytes, data + size);
    CDecmpfsData decmpfs;
    const auto readFork = [&fork](std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) -> std::uint64_t {
        if (offset >= fork.size() || length == 0) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(length, fork.size() - offset);
        std::memcpy(buffer, fork.data() + offset, n);
        return n;
    };
    if (!decmpfs.Load(attr, fork.size(), readFork)) return 0;
    for (std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{65535}, decmpfs.Size() / 2}) {
        std::vector<char> out(70000);
        const unsigned n = decmpfs.Read(offset, out.data(), static_cast<unsigned>(out.size()));
        if (n > out.size() || (n && offset + n > decmpfs.Size())) __builtin_trap();
    }
    return 0;
}
