// Reads 20 MB and 200 MB compressed files (decmpfs type 4, zlib blocks, and
// type 8, LZVN chunks) in the writer's 4 MiB pieces through the decmpfs
// reader, from a resource fork held in memory: MB/s, which stays flat when the
// size grows tenfold if every piece expands only the blocks it needs.
#include "engine/hfsplus/HfsPlusCompressFileReader.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBlock = CDecmpfsData::kBlockBytes;

void PutLe(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(x >> (8 * i));
}

// One 64 KiB block: 256 random bytes repeated.
std::vector<std::uint8_t> Block(std::mt19937& rng) {
    std::vector<std::uint8_t> b(kBlock);
    for (std::size_t i = 0; i < 256; ++i) b[i] = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 256; i < kBlock; ++i) b[i] = b[i - 256];
    return b;
}

// The same block as LZVN: 256 literals, a match at distance 256, longer matches, end.
std::vector<std::uint8_t> Lzvn(const std::vector<std::uint8_t>& b) {
    std::vector<std::uint8_t> s{0xE0, 240};
    s.insert(s.end(), b.begin(), b.begin() + 256);
    s.insert(s.end(), {0x39, 0x00});  // 10 bytes at distance 256
    for (std::size_t left = kBlock - 266; left;) {
        const std::size_t n = std::min<std::size_t>(left, 271);
        if (n >= 16) s.insert(s.end(), {0xF0, static_cast<std::uint8_t>(n - 16)});
        else s.push_back(static_cast<std::uint8_t>(0xF0 | n));
        left -= n;
    }
    s.insert(s.end(), {0x06, 0, 0, 0, 0, 0, 0, 0});
    return s;
}

struct File {
    std::vector<std::uint8_t> attribute, fork;
};

File Make(bool lzvn, std::size_t bytes) {
    std::mt19937 rng(5);
    const std::size_t count = bytes / kBlock;
    std::vector<std::vector<std::uint8_t>> streams;
    for (std::size_t i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> b = Block(rng);
        if (lzvn) {
            streams.push_back(Lzvn(b));
        } else {
            uLongf n = compressBound(kBlock);
            std::vector<std::uint8_t> z(n);
            compress2(z.data(), &n, b.data(), kBlock, 6);
            z.resize(n);
            streams.push_back(std::move(z));
        }
    }
    File f;
    f.attribute.assign(16, 0);
    std::memcpy(f.attribute.data(), "fpmc", 4);
    PutLe(f.attribute, 4, lzvn ? 8 : 4);
    PutLe(f.attribute, 8, static_cast<std::uint32_t>(count * kBlock));
    const std::size_t table = lzvn ? 4 * (count + 1) : 0x108 + 8 * count;
    f.fork.assign(table, 0);
    std::size_t at = lzvn ? table : table - 0x104;
    for (std::size_t i = 0; i < count; ++i) {
        if (lzvn) {
            PutLe(f.fork, 4 * i, static_cast<std::uint32_t>(at));
        } else {
            PutLe(f.fork, 0x108 + 8 * i, static_cast<std::uint32_t>(at));
            PutLe(f.fork, 0x10C + 8 * i, static_cast<std::uint32_t>(streams[i].size()));
        }
        at += streams[i].size();
        f.fork.insert(f.fork.end(), streams[i].begin(), streams[i].end());
    }
    if (lzvn) {
        PutLe(f.fork, 4 * count, static_cast<std::uint32_t>(at));
    } else {
        f.fork[2] = 1;  // data offset 0x100, big-endian
        PutLe(f.fork, 0x104, static_cast<std::uint32_t>(count));
    }
    return f;
}

void BM_Decmpfs(benchmark::State& state) {
    const bool lzvn = state.range(0) == 8;
    const std::size_t bytes = static_cast<std::size_t>(state.range(1)) << 20;
    const File file = Make(lzvn, bytes);
    std::vector<char> piece(4u << 20);
    for (auto _ : state) {
        CDecmpfsData data;
        const auto read = [&file](std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
            const std::uint64_t n = std::min<std::uint64_t>(length, file.fork.size() - offset);
            std::memcpy(buffer, file.fork.data() + offset, n);
            return n;
        };
        if (!data.Load(file.attribute, file.fork.size(), read)) return state.SkipWithError("cannot load");
        for (std::uint64_t at = 0; at < data.Size(); at += piece.size())
            if (!data.Read(at, piece.data(), static_cast<unsigned>(piece.size()))) return state.SkipWithError("read failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Decmpfs)->ArgsProduct({{4, 8}, {20, 200}})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
