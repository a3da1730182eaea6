// The carver alone over five inputs (bench/carve/make_inputs.py): 1 GiB of
// zeros, 1 GiB of random bytes, a camera card, a document disk and one large
// ZIP. Each input is carved twice, each time in a process of its own: from
// memory (the image mapped and paged in first) and from the file after its
// pages were dropped from the cache. Per input it prints seconds per GiB and
// GiB/s of both, the lookup and active-set time, the average and largest
// active set, evictions, ring hits, the bytes the classic sizers read from
// the device, the EndSearch time, the files carved and the peak memory.
//
// bench_carve [INPUTDIR [NAME...]]  (INPUTDIR default: the build tree's carve_inputs)
#include "bench/common/BenchSupport.h"
#include "engine/carver/RAWSearchController.h"
#include "engine/device/StorageDevices.h"
#include "engine/include/RecoveryFilter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A device over the image's bytes mapped in memory.
class MappedDevice : public IStorageDevice {
public:
    MappedDevice(const unsigned char* data, unsigned long long size) : m_data(data), m_size(size) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (!buffer || first < 0 || count < 1 || static_cast<unsigned long long>(first + count) > GetTotalSectors())
            return 0;
        std::memcpy(buffer, m_data + first * 512ull, static_cast<std::size_t>(count) * 512);
        return 1;
    }
    unsigned GetSectorSize() override { return 512; }
    unsigned long long GetTotalSectors() override { return m_size / 512; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData*) override {}
    int GetType() override { return 3; }
    ResultCode GetLastError() override { return 0; }

private:
    const unsigned char* m_data;
    unsigned long long m_size;
};

// Counts what is read past the carver's own block reads: the classic sizers'
// reads (and the ring's misses) from the device.
class CountingDevice : public IStorageDevice {
public:
    explicit CountingDevice(IStorageDevice& inner) : m_inner(inner) {}
    int Open(char* p) override { return m_inner.Open(p); }
    int Close() override { return m_inner.Close(); }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (first != blockFirst || count != blockCount) sizerBytes += static_cast<unsigned long long>(count) * 512;
        return m_inner.ReadSector(buffer, first, count);
    }
    unsigned GetSectorSize() override { return m_inner.GetSectorSize(); }
    unsigned long long GetTotalSectors() override { return m_inner.GetTotalSectors(); }
    ResultCode IOCtl(unsigned long long c, void* a) override { return m_inner.IOCtl(c, a); }
    IStorageDeviceData* GetPrivateData() override { return m_inner.GetPrivateData(); }
    void SetPrivateData(IStorageDeviceData* d) override { m_inner.SetPrivateData(d); }
    int GetType() override { return m_inner.GetType(); }
    ResultCode GetLastError() override { return m_inner.GetLastError(); }

    long long blockFirst = -1, blockCount = 0;
    unsigned long long sizerBytes = 0;

private:
    IStorageDevice& m_inner;
};

struct Result {
    double seconds = 0;
    CarveCounters counters;
    unsigned long long sizerBytes = 0, files = 0, bytes = 0;
};

// One carve of the device in 4 MiB blocks through the real tree builder.
Result Carve(IStorageDevice& device) {
    salvor::bench::NoPauseClock clock;
    salvor::bench::CountingSink sink;
    IRecoveryFilter* filter = CreateFilter();
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_DEEP);
    IDirecotryTreeBuilder* builder = CreateTreeBuilder(false, &clock);
    builder->Initialize("", &sink, filter);
    CountingDevice counting(device);
    Result r;
    const auto start = std::chrono::steady_clock::now();
    {
        CRAWSearchController carver;
        carver.SetCounters(&r.counters);
        carver.SetDirecotryTreeBuilder(builder);
        carver.SetIProgressSink(&sink);
        constexpr long long kBlock = (4 << 20) / 512;
        carver.SetBlockSize(kBlock);
        carver.SetDevice(&counting);
        carver.PreparetoSearch();
        const long long total = static_cast<long long>(device.GetTotalSectors());
        for (long long s = 0; s < total; s += kBlock) {
            counting.blockFirst = s;
            counting.blockCount = std::min(kBlock, total - s);
            carver.AnalyzeBlock(s, counting.blockCount);
        }
        counting.blockFirst = -1;
        carver.EndSearch(1);
        r.bytes = static_cast<unsigned long long>(total) * 512;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.sizerBytes = counting.sizerBytes;
    r.files = sink.nodes;
    builder->Release();
    filter->Release();
    return r;
}

Result FromMemory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0) std::exit(3);
    void* map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) std::exit(3);
    MappedDevice device(static_cast<const unsigned char*>(map), static_cast<unsigned long long>(st.st_size));
    Result r = Carve(device);
    munmap(map, static_cast<std::size_t>(st.st_size));
    close(fd);
    return r;
}

Result FromFile(const std::string& path) {
    if (const int fd = open(path.c_str(), O_RDONLY); fd >= 0) {
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
    std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(path.c_str()));
    if (!device->Open(nullptr)) std::exit(3);
    return Carve(*device);
}

// Runs one carve in a child process; the result and the child's peak memory.
bool InChild(bool memory, const std::string& path, Result& out, double& peakMiB) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(stdout); // the child must not print the parent's buffered lines again
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Result r = memory ? FromMemory(path) : FromFile(path);
        const bool ok = write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
        _exit(ok ? 0 : 4);
    }
    close(fds[1]);
    const bool got = read(fds[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : std::string(SALVOR_BENCH_INPUTS);
    std::vector<std::string> names;
    for (int i = 2; i < argc; ++i) names.emplace_back(argv[i]);
    if (names.empty()) names = {"zeros", "random", "camera", "documents", "large"};
    if (argc <= 1) {
        // The samples the inputs are made of come from the test fixtures.
        for (const char* f : {"photo_samples", "picture_samples", "pdf_samples", "eps_samples", "zip_samples"})
            if (salvor::bench::FixtureFile(f, ".stamp").empty()) return 2;
        const std::string make = std::string("python3 '") + SALVOR_SOURCE_DIR + "/bench/carve/make_inputs.py' '" + dir +
                                 "' '" + SALVOR_BENCH_FIXTURES + "'";
        if (std::system(make.c_str()) != 0) return 2;
    }
    std::printf("%-10s %9s %9s %8s %8s %8s %8s %7s %6s %9s %7s %11s %8s %6s %8s\n", "input", "mem s/GiB",
                "file s/GiB", "mem GiB/s", "file GiB/s", "lookup s", "active s", "avg act", "max act", "evictions",
                "ring hits", "sizer MiB", "EndSearch", "files", "peak MiB");
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name + ".img";
        Result mem, file;
        double memPeak = 0, filePeak = 0;
        if (!InChild(true, path, mem, memPeak) || !InChild(false, path, file, filePeak)) {
            std::printf("%-10s cannot carve %s\n", name.c_str(), path.c_str());
            continue;
        }
        const double gib = static_cast<double>(mem.bytes) / (1u << 30);
        const CarveCounters& c = mem.counters;
        std::printf("%-10s %9.3f %9.3f %8.2f %8.2f %8.3f %8.3f %7.2f %6llu %9llu %7llu %11.1f %8.3f %6llu %8.0f\n",
                    name.c_str(), mem.seconds / gib, file.seconds / gib, gib / mem.seconds, gib / file.seconds,
                    c.lookupSeconds, c.activeSeconds,
                    c.sectors ? static_cast<double>(c.activeSum) / static_cast<double>(c.sectors) : 0.0, c.activeMax,
                    c.evictions, c.ringHits, static_cast<double>(mem.sizerBytes) / (1 << 20), c.endSearchSeconds,
                    mem.files, filePeak);
    }
    return 0;
}
