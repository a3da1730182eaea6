// Disk, volume, partition-window and image devices over a stamped image of 1000 sectors.
#include "engine/device/ImageFileEntry.h"
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/MessageCenter.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace salvor::test;
using DevicePtr = std::unique_ptr<IStorageDevice>;

constexpr unsigned kErrRead = 1, kErrUnsupported = 3, kErrBadArgument = 5, kErrNoRecord = 7;

// Counts the pieces that reach the system while it lives.
struct PieceCounter {
    std::atomic<int> pieces{0};
    PieceCounter() {
        asyncread::SetFaultHook([this](long long, long long) { return ++pieces, false; });
    }
    ~PieceCounter() { asyncread::SetFaultHook(nullptr); }
};

class StampedImage : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WriteStampedImage(path, 1000)); }
    static IDiskDeviceData* DiskRecord(long long sectorSize, long long total) {
        auto* r = new CCollectDiskDeviceInfoStruct;
        r->sectorSize = sectorSize;
        r->totalSectors = total;
        return CreateDiskDeviceData(r);
    }
    // Reads count sectors at first; the device's answer, with the sectors' stamps in got.
    static int Read(IStorageDevice& d, long long first, long long count, SectorList* got = nullptr) {
        std::vector<unsigned char> buf(static_cast<size_t>(std::max(count, 1LL) * 512), 0xAA);
        const int answer = d.ReadSector(buf.data(), first, count);
        if (got) *got = Stamps(buf.data(), static_cast<size_t>(count));
        return answer;
    }
    static unsigned Error(IStorageDevice& d) { return ResultError(d.GetLastError()); }
    TempDir dir;
    const std::string path = dir.file("img");
};

TEST_F(StampedImage, AWindowCutsAndZeroFillsAtItsEnd) {
    ImageDevice disk(path);
    disk.SetPrivateData(DiskRecord(512, 1000));
    DevicePtr part(CreatePartitionDevice(&disk, 200, 100));
    ASSERT_EQ(part->Open(nullptr), 1);
    EXPECT_EQ(part->GetTotalSectors(), 100u);
    SectorList got;
    EXPECT_EQ(Read(*part, 95, 10, &got), 1);
    EXPECT_EQ(got, Sectors(295, 5, 5));
    EXPECT_EQ(disk.SectorsRead(), 5u);

    disk.ResetCounters();
    for (auto [first, count] : {std::pair{100LL, 1LL}, {0, 101}, {-1, 1}, {0, 0}}) {
        EXPECT_EQ(Read(*part, first, count), 0) << first << "+" << count;
        EXPECT_EQ(Error(*part), kErrBadArgument);
        EXPECT_EQ(ResultLibrary(part->GetLastError()), ResultLib::Device);
    }
    EXPECT_EQ(part->ReadSector(nullptr, 0, 1), 0);
    EXPECT_EQ(disk.Reads(), 0u);
    EXPECT_EQ(part->IOCtl(1, nullptr), 0u);
    EXPECT_EQ(Error(*part), kErrUnsupported);
    disk.FailSector(210);
    EXPECT_EQ(Read(*part, 5, 10), 0);
    EXPECT_EQ(part->GetLastError(), disk.GetLastError()) << "the parent's failure is the window's";
}

TEST_F(StampedImage, AWindowWithoutParentOrDiskRecordIsRefused) {
    ImageDevice disk(path);
    EXPECT_EQ(CreatePartitionDevice(nullptr, 0, 10), nullptr);
    EXPECT_EQ(CreatePartitionDevice(&disk, -1, 10), nullptr);
    EXPECT_EQ(CreatePartitionDevice(&disk, LLONG_MAX - 5, 10), nullptr);
    DevicePtr part(CreatePartitionDevice(&disk, 0, 10));
    EXPECT_EQ(part->Open(nullptr), 0);
    EXPECT_EQ(Error(*part), kErrNoRecord);
    CPartitionDevice orphan(nullptr, 0, 10);
    EXPECT_EQ(Read(orphan, 0, 1), 0);
    EXPECT_EQ(Error(orphan), kErrNoRecord);
}

TEST_F(StampedImage, APartitionWithoutVolumeBecomesAVolumeOverItsDiskArea) {
    ImageDevice disk(path);
    disk.SetPrivateData(DiskRecord(512, 1000));
    DevicePtr part(CreatePartitionDevice(&disk, 100, 300));
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr); // no record yet
    auto* rec = new CCollectedPartitionDeviceInfoStruct;
    rec->disk = &disk;
    rec->startSector = 100;
    rec->sectorCount = 300;
    part->SetPrivateData(CreatePartitionDeviceData(rec));
    DevicePtr vol(CreatePartitionVirtualVolumeDevice(part.get()));
    ASSERT_NE(vol, nullptr);
    ASSERT_EQ(vol->Open(nullptr), 1);
    EXPECT_EQ(vol->GetTotalSectors(), 300u);
    SectorList got;
    EXPECT_EQ(Read(*vol, 298, 4, &got), 1);
    EXPECT_EQ(got, Sectors(398, 2, 2));
    rec->disk = nullptr;
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr);
}

TEST_F(StampedImage, ReadsPastTheEndOrWithAbsurdSectorNumbersAreRefusedWithoutIO) {
    for (auto create : {CreateVolumeDevice, CreateDiskDevice}) {
        DevicePtr d(create(path.c_str()));
        ASSERT_EQ(d->Open(nullptr), 1);
        ASSERT_EQ(d->GetTotalSectors(), 1000u);
        PieceCounter counter;
        SectorList got;
        EXPECT_EQ(Read(*d, 999, 1, &got), 1);
        EXPECT_EQ(got, Sectors(999, 1));
        EXPECT_EQ(counter.pieces, 1);
        const std::pair<long long, long long> refused[] = {{LLONG_MAX / 2, 1}, {LLONG_MAX / 512 + 1, 1},
                                                           {LLONG_MAX, 1},     {0, LLONG_MAX / 256},
                                                           {-1, 1},            {0, 0}};
        std::vector<unsigned char> buf(512);
        for (auto [first, count] : refused) {
            EXPECT_EQ(d->ReadSector(buf.data(), first, count), 0) << first << "+" << count;
            EXPECT_EQ(Error(*d), kErrBadArgument);
        }
        if (d->GetType() == DEVICE_VOLUME) { // a volume knows its end: last + 1 fails without I/O
            EXPECT_EQ(Read(*d, 1000, 1), 0);
            EXPECT_EQ(Error(*d), kErrBadArgument);
        }
        EXPECT_EQ(counter.pieces, 1);
        EXPECT_EQ(Read(*d, 7, 1, &got), 1);
        EXPECT_EQ(d->GetLastError(), 0u);
        EXPECT_EQ(got, Sectors(7, 1));
    }
}

class EventRecorder : public INotifyCenter {
public:
    void OnEvent(_MSG_EVENT* e) override { failures += e->type == EVENT_VOLUME_READ_FAILED; }
    std::atomic<int> failures{0};
};

TEST_F(StampedImage, AFailedVolumeReadIsZerosAndAnnouncedToTheMessageCentre) {
    EventRecorder recorder;
    ASSERT_TRUE(CMessageCenter::Instance().RegisterNotifyCenter(77, &recorder));
    {
        DevicePtr vol(CreateVolumeDevice(path.c_str()));
        ASSERT_EQ(vol->Open(nullptr), 1);
        asyncread::SetFaultHook([](long long, long long) { return true; });
        SectorList got;
        EXPECT_EQ(Read(*vol, 3, 1, &got), 0);
        asyncread::SetFaultHook(nullptr);
        EXPECT_EQ(Error(*vol), kErrRead);
        EXPECT_EQ(got, SectorList{-1});
    }
    for (int i = 0; i < 500 && recorder.failures == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CMessageCenter::Instance().UnregisterNotifyCenter(77);
    EXPECT_EQ(recorder.failures, 1);
}

TEST_F(StampedImage, OpenFailuresSetErrorOneAndKeepPermission) {
    const std::string missing = dir.file("missing");
    DevicePtr disk(CreateDiskDevice(missing.c_str())), image(CreateEdiDeviceImp(missing.c_str()));
    for (IStorageDevice* d : {disk.get(), image.get()}) {
        EXPECT_EQ(d->Open(nullptr), 0);
        EXPECT_EQ(Error(*d), kErrRead);
        EXPECT_EQ(d->IsPermitted(), 1);
    }
    EXPECT_EQ(disk->Close(), 0);
    // Opening another path through the same object.
    std::string other = path;
    EXPECT_EQ(disk->Open(other.data()), 1);
    EXPECT_EQ(disk->GetTotalSectors(), 1000u);
    EXPECT_EQ(disk->Close(), 1);
    EXPECT_EQ(static_cast<CDiskDevice*>(disk.get())->ReOpen(), 1);
}

TEST_F(StampedImage, RecordsGiveGeometryAndTypedGettersCheckTheKind) {
    CDiskDevice disk(path.c_str());
    ASSERT_EQ(disk.Open(nullptr), 1);
    EXPECT_EQ(disk.GetDiskInfo(), nullptr);
    EXPECT_EQ(Error(disk), kErrNoRecord);
    disk.SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(disk.GetDiskInfo(), nullptr);
    disk.SetPrivateData(DiskRecord(4096, 125));
    EXPECT_EQ(std::pair(disk.GetSectorSize(), disk.GetTotalSectors()), std::pair(4096u, 125ull));
    std::vector<unsigned char> buf(4096);
    EXPECT_EQ(disk.ReadSector(buf.data(), 1, 1), 1);
    EXPECT_EQ(Stamps(buf.data(), 8), Sectors(8, 8));
    disk.SetPrivateData(DiskRecord(0, 10));
    EXPECT_EQ(disk.GetSectorSize(), 4096u) << "a nonsense sector size in a record is not taken";

    // A holder's set leaves the old record with its owner.
    auto first = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
    std::unique_ptr<IVolumeDeviceData> holder(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    std::unique_ptr<CCollectedVolumeDeviceInfoStruct> made(holder->GetVolumeInfo());
    holder->SetVolumeInfo(first.release());
    EXPECT_NE(holder->GetVolumeInfo(), made.get());
}

TEST_F(StampedImage, AnImageDeviceReadsAtItsDataOffset) {
    CDmgDevice raw(path.c_str());
    ASSERT_EQ(raw.Open(nullptr), 1);
    EXPECT_EQ(raw.GetTotalSectors(), 1000u);
    auto* rec = new CDMGDeviceInfoStruct;
    rec->dataOffset = 10 * 512;
    rec->totalSectors = 990;
    raw.SetPrivateData(CreateDMGDeviceData(rec));
    EXPECT_EQ(raw.GetTotalSectors(), 990u);
    SectorList got;
    EXPECT_EQ(Read(raw, 0, 2, &got), 1);
    EXPECT_EQ(got, Sectors(10, 2));

    CEdiDevice edi(path.c_str());
    edi.SetPrivateData(CreateDMGDeviceData(new CDMGDeviceInfoStruct));
    EXPECT_EQ(edi.GetEDIInfo(), nullptr);
    EXPECT_EQ(Error(edi), kErrNoRecord);
}

// Whole blocks read into a read-routine buffer (the read-ahead's way, around
// the page cache where the file system allows) give exactly what ReadSector
// gives: aligned and unaligned ranges, a record that reaches past the end of
// a file whose length is not whole sectors, a failed piece (not read a second
// time), and partition windows at aligned and unaligned starts.
TEST_F(StampedImage, ReadsIntoABufferGiveWhatReadSectorGives) {
    {
        std::ofstream tail(path, std::ios::binary | std::ios::app);
        tail << std::string(100, '\x7e');
    }
    CDmgDevice raw(path.c_str());
    ASSERT_EQ(raw.Open(nullptr), 1);
    auto* rec = new CDMGDeviceInfoStruct;
    rec->totalSectors = 1016;
    raw.SetPrivateData(CreateDMGDeviceData(rec));
    asyncread::Buffer buffer;
    buffer.Reserve(1016 * 512);
    for (auto [first, count] : {std::pair(0LL, 1000LL), std::pair(8LL, 8LL), std::pair(1LL, 8LL), std::pair(992LL, 16LL),
                                std::pair(1000LL, 8LL), std::pair(1008LL, 8LL), std::pair(0LL, 1016LL)}) {
        std::vector<unsigned char> plain(static_cast<std::size_t>(count) * 512, 0xAA);
        const int expected = raw.ReadSector(plain.data(), first, count);
        std::memset(buffer.data(), 0xAA, buffer.capacity());
        EXPECT_EQ(raw.ReadSectorsInto(buffer, first, count), expected) << first << "+" << count;
        EXPECT_EQ(std::memcmp(buffer.data(), plain.data(), plain.size()), 0) << first << "+" << count;
    }
    EXPECT_EQ(raw.ReadSectorsInto(buffer, 0, 1017), 0) << "more than the buffer holds";
    EXPECT_EQ(Error(raw), kErrBadArgument);
    // Partition windows over it, aligned and not, read through it the same
    // way and cut at their end as ReadSector does.
    raw.SetPrivateData(DiskRecord(512, 1016));
    for (long long start : {0LL, 8LL, 63LL}) {
        DevicePtr part(CreatePartitionDevice(&raw, start, 900));
        ASSERT_EQ(part->Open(nullptr), 1);
        auto* into = dynamic_cast<IDirectRead*>(part.get());
        ASSERT_NE(into, nullptr);
        for (auto [first, count] : {std::pair(0LL, 800LL), std::pair(890LL, 16LL), std::pair(900LL, 8LL)}) {
            std::vector<unsigned char> plain(static_cast<std::size_t>(count) * 512, 0xAA);
            const int expected = part->ReadSector(plain.data(), first, count);
            std::memset(buffer.data(), 0xAA, buffer.capacity());
            EXPECT_EQ(into->ReadSectorsInto(buffer, first, count), expected) << start << ": " << first << "+" << count;
            EXPECT_EQ(std::memcmp(buffer.data(), plain.data(), plain.size()), 0) << start << ": " << first;
        }
        EXPECT_EQ(into->ReadSectorsInto(buffer, 0, 1017), 0) << "more than the buffer holds";
        EXPECT_EQ(Error(*part), kErrBadArgument);
    }
    PieceCounter counter;
    asyncread::SetFaultHook([&](long long, long long) { return ++counter.pieces, true; });
    EXPECT_EQ(raw.ReadSectorsInto(buffer, 0, 8), 0);
    EXPECT_EQ(Error(raw), kErrRead);
    EXPECT_EQ(counter.pieces.load(), 1) << "a failed read is not made twice";
}

} // namespace

namespace {

// An EDI image of the stamped sectors behind a header recording data offset
// headerBytes (the header itself is never shorter than its fields); the
// recorded size is the file's plus skew.
std::string WriteEdi(const std::string& stamped, const std::string& path, const char* preamble,
                     std::uint64_t headerBytes, long long skew = 0) {
    std::ifstream in(stamped, std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string header(std::max<std::uint64_t>(headerBytes, EdiHeaderLayout::kBytes), '\0');
    std::memcpy(header.data(), preamble, std::strlen(preamble));
    const std::uint64_t total = header.size() + body.size() + static_cast<std::uint64_t>(skew);
    salvor::test::PutLe64(header, EdiHeaderLayout::kTotalSize, total);
    salvor::test::PutLe64(header, EdiHeaderLayout::kDataOffset, headerBytes);
    std::ofstream(path, std::ios::binary) << header << body;
    return path;
}

TEST_F(StampedImage, ImageEntryPointsOpenCheckedImagesWithTheirRecords) {
    const std::string edi = WriteEdi(path, dir.file("good.edi"), "edi-img", 1024);
    DevicePtr device(CreateEdiDevice(edi.c_str()));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetType(), DEVICE_EDI);
    EXPECT_EQ(device->GetTotalSectors(), 1000u);
    SectorList got;
    EXPECT_EQ(Read(*device, 7, 2, &got), 1);
    EXPECT_EQ(got, Sectors(7, 2)) << "sector 0 starts after the header";
    EXPECT_STREQ(static_cast<CEdiDevice&>(*device).GetEDIInfo()->path, edi.c_str());

    // Refused: a size that differs from the file's, another preamble, a data
    // offset inside the header or past the file, a missing file.
    CEDIDeviceInfoStruct info;
    for (const std::string& bad : {WriteEdi(path, dir.file("skew"), "edi", 512, 1),
                                   WriteEdi(path, dir.file("pre"), "ed1", 512),
                                   WriteEdi(path, dir.file("short"), "edi", 16),
                                   dir.file("missing")}) {
        EXPECT_EQ(DevicePtr(CreateEdiDevice(bad.c_str())), nullptr) << bad;
        EXPECT_FALSE(EuFillEdiFileInfo(bad.c_str(), &info));
        EXPECT_STREQ(info.path, bad.c_str()) << "the path is kept for the message";
    }
    std::string past = WriteEdi(path, dir.file("past"), "edi", 512);
    {
        std::fstream f(past, std::ios::binary | std::ios::in | std::ios::out);
        const std::uint64_t offset = 1ULL << 40;
        f.seekp(EdiHeaderLayout::kDataOffset);
        f.write(reinterpret_cast<const char*>(&offset), 8);
    }
    EXPECT_EQ(DevicePtr(CreateEdiDevice(past.c_str())), nullptr);

    // A DMG is the whole file; the caller's record is filled.
    CDMGDeviceInfoStruct dmgInfo;
    DevicePtr dmg(CreateDmgDevice(path.c_str(), &dmgInfo));
    ASSERT_NE(dmg, nullptr);
    EXPECT_EQ(dmgInfo.totalSectors, 1000);
    EXPECT_EQ(dmg->GetType(), DEVICE_DMG);
    EXPECT_EQ(DevicePtr(CreateDmgDevice(dir.file("missing").c_str(), &dmgInfo)), nullptr);

    // From a record: only `size` bytes of it are taken and the path is the one given.
    CDMGDeviceInfoStruct given;
    given.dataOffset = 10 * 512;
    given.totalSectors = 990;
    DevicePtr byInfo(CreateDmgDeviceByDmgInfo(&given, sizeof given, path.c_str()));
    ASSERT_NE(byInfo, nullptr);
    EXPECT_EQ(byInfo->GetTotalSectors(), 990u);
    EXPECT_EQ(Read(*byInfo, 0, 1, &got), 1);
    EXPECT_EQ(got, Sectors(10, 1));
    CEDIDeviceInfoStruct ediGiven;
    ediGiven.totalSectors = 5;
    DevicePtr cut(CreateEdiDeviceByEdiInfo(&ediGiven, offsetof(CImageFileInfoStruct, dataOffset), path.c_str()));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->GetTotalSectors(), 0u) << "the count lies past the bytes taken";
    EXPECT_EQ(DevicePtr(CreateEdiDeviceByEdiInfo(&ediGiven, sizeof ediGiven, dir.file("missing").c_str())), nullptr);
}

} // namespace
