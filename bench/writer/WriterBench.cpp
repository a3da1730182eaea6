// Recovers a 1 GiB file through the file writer from an image that sits in the
// page cache, read by the engine's image device (asynchronous reads through
// the shared transfer buffer), and copies the same bytes with cp for
// comparison. Both print MB/s. The image is written once with pseudo-random
// bytes, so neither side can skip holes. SALVOR_BENCH_DIR picks the folder of
// the image and the copies (default /tmp).
#include "engine/common/DataRunList.h"
#include "engine/device/StorageDevices.h"
#include "engine/writer/DataRecovery.h"
#include "tests/support/TestFileNode.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long long kFileBytes = 1LL << 30;
constexpr unsigned kSectorsPerCluster = 8; // 4 KiB clusters
constexpr long long kClusterBytes = 512LL * kSectorsPerCluster;
constexpr long long kPieceClusters = (1LL << 20) / kClusterBytes; // 1 MiB pieces when fragmented

std::string Folder() {
    const char* env = std::getenv("SALVOR_BENCH_DIR");
    return env && *env ? env : "/tmp";
}

const std::string& ImagePath() {
    // Never destroyed, so the exit handler that removes the image can use it.
    static const std::string& path = *new std::string([] {
        std::string p = Folder() + "/salvor-bench-writer-" + std::to_string(getpid()) + ".img";
        const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) std::abort();
        std::vector<std::uint64_t> block((4 << 20) / 8);
        std::uint64_t x = 0x9E3779B97F4A7C15ULL;
        for (long long done = 0; done < kFileBytes; done += 4 << 20) {
            for (auto& v : block) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                v = x;
            }
            if (write(fd, block.data(), 4 << 20) != (4 << 20)) std::abort();
        }
        close(fd);
        std::atexit([] { unlink(ImagePath().c_str()); });
        return p;
    }());
    return path;
}

std::string OutPath(const char* what) {
    return Folder() + "/salvor-bench-writer-" + what + std::to_string(getpid());
}

// Times copyOnce, which makes out anew from the image, and reports MB/s.
void CopyLoop(benchmark::State& state, const std::string& out, const std::function<bool()>& copyOnce) {
    long long bytes = 0;
    for (auto _ : state) {
        if (!copyOnce()) {
            state.SkipWithError("the copy failed");
            break;
        }
        bytes += kFileBytes;
        state.PauseTiming();
        unlink(out.c_str());
        state.ResumeTiming();
    }
    unlink(out.c_str());
    state.SetBytesProcessed(bytes);
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}

void Recover(benchmark::State& state, bool fragmented) {
    std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(ImagePath().c_str()));
    if (!device->Open(nullptr)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    CSearchedPartitionInfo record(512);
    record.m_sectorsPerCluster = kSectorsPerCluster;
    record.SetTotalSectors(static_cast<unsigned long long>(kFileBytes / 512));
    std::vector<CSearchedPartitionInfo*> records{&record};
    std::unique_ptr<CDataRecovery> writer(new CDataRecovery);
    if (writer->Initialize(records, device.get()) != 0) {
        state.SkipWithError("the writer did not initialise");
        return;
    }
    salvor::test::TestFileNode node(1, 0, "big.bin", false, kFileBytes);
    auto* runs = new CDataRunList;
    const long long pieces = kFileBytes / (kPieceClusters * kClusterBytes);
    for (long long i = 0; i < pieces; ++i) {
        // 409 is prime to the piece count: every piece once, out of order.
        const long long piece = fragmented ? (i * 409) % pieces : i;
        DataRun run{piece * kPieceClusters, kPieceClusters};
        runs->AddDataRun(&run);
    }
    node.SetDataRunList(runs);
    IFileReader* clone = writer->SetRecoverNode(&node);
    if (!clone) {
        state.SkipWithError("the node has no reader");
        return;
    }
    clone->Release();
    const std::string out = OutPath(fragmented ? "frag" : "plain");
    if (!fragmented) {
        // Once, outside the timing: the copy is the image byte for byte.
        if (writer->RecoverTo(out.c_str(), nullptr, 0) != 0 ||
            std::system(("cmp -s '" + out + "' '" + ImagePath() + "'").c_str()) != 0) {
            state.SkipWithError("the recovered file differs from the image");
            return;
        }
    }
    CopyLoop(state, out, [&] { return writer->RecoverTo(out.c_str(), nullptr, 0) == 0; });
}

void BM_RecoverTo_Contiguous(benchmark::State& state) {
    Recover(state, false);
}
void BM_RecoverTo_Fragmented1MiB(benchmark::State& state) {
    Recover(state, true);
}

void BM_Cp(benchmark::State& state) {
    const std::string out = OutPath("cp");
    const std::string cmd = "cp --reflink=never --sparse=never '" + ImagePath() + "' '" + out + "'";
    CopyLoop(state, out, [&] { return std::system(cmd.c_str()) == 0; });
}

// A file of one data cluster and then a sparse run (range 0), or a run past
// the device's end (range 1), of state.range(1) GiB: holes are left as holes
// and what cannot be read is skipped whole, so time and memory stay flat
// whatever the file's size. Reports the peak resident memory.
void BM_RecoverTo_HoleOrMissing(benchmark::State& state) {
    std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(ImagePath().c_str()));
    if (!device->Open(nullptr)) {
        state.SkipWithError("cannot open the image");
        return;
    }
    CSearchedPartitionInfo record(512);
    record.m_sectorsPerCluster = kSectorsPerCluster;
    record.SetTotalSectors(static_cast<unsigned long long>(kFileBytes / 512));
    std::vector<CSearchedPartitionInfo*> records{&record};
    CDataRecovery writer;
    writer.Initialize(records, device.get());
    const long long clusters = (state.range(1) << 30) / kClusterBytes;
    salvor::test::TestFileNode node(1, 0, "sparse.bin", false, (clusters + 1) * kClusterBytes);
    auto* runs = new CDataRunList;
    const DataRun data{0, 1}, rest{state.range(0) == 0 ? -1 : kFileBytes, clusters};
    runs->AddDataRun(&data);
    runs->AddDataRun(&rest);
    node.SetDataRunList(runs);
    IFileReader* clone = writer.SetRecoverNode(&node);
    if (!clone) {
        state.SkipWithError("the node has no reader");
        return;
    }
    clone->Release();
    const std::string out = OutPath("sparse");
    for (auto _ : state) {
        const ResultCode rc = writer.RecoverTo(out.c_str(), nullptr, 0);
        if (rc != 0 && rc != WriterResult::Unreadable) state.SkipWithError("the copy failed");
        state.PauseTiming();
        unlink(out.c_str());
        state.ResumeTiming();
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peakMiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_RecoverTo_HoleOrMissing)
    ->ArgsProduct({{0, 1}, {1024, 8192}})
    ->ArgNames({"missing", "GiB"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(4);
BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_RecoverTo_Contiguous)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_RecoverTo_Fragmented1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

} // namespace

BENCHMARK_MAIN();
