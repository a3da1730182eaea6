#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/MessageCenter.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
using namespace std::chrono_literals;

constexpr unsigned kErrRead = 1, kErrUnsupported = 3, kErrBadArgument = 5, kErrNoRecord = 7;

// Counts the pieces that reach the system while it lives.
struct PieceCounter {
    std::atomic<int> pieces{0};
    PieceCounter() {
        asyncread::SetFaultHook([this](long long, long long) {
            ++pieces;
            return false;
        });
    }
    ~PieceCounter() { asyncread::SetFaultHook(nullptr); }
};

CCollectDiskDeviceInfoStruct* DiskRecord(long long sectorSize, long long total) {
    auto* r = new CCollectDiskDeviceInfoStruct;
    r->sectorSize = sectorSize;
    r->totalSectors = total;
    CopyRecordText(r->bsdName, "loop0");
    return r;
}

class StampedImage : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WriteStampedImage(dir.file("img"), 1000)); }
    std::string Path() const { return dir.file("img"); }
    TempDir dir;
};

TEST_F(StampedImage, AWindowCutsAndZeroFillsAtItsEnd) {
    ImageDevice disk(Path());
    disk.SetPrivateData(CreateDiskDeviceData(DiskRecord(512, 1000)));
    std::unique_ptr<IStorageDevice> part(CreatePartitionDevice(&disk, 200, 100));
    ASSERT_EQ(part->Open(nullptr), 1);
    EXPECT_EQ(part->GetType(), DEVICE_PARTITION);
    EXPECT_EQ(part->GetTotalSectors(), 100u);
    EXPECT_EQ(static_cast<CPartitionDevice*>(part.get())->GetStartSector(), 200);

    std::vector<unsigned char> buf(10 * 512, 0xAA);
    EXPECT_EQ(part->ReadSector(buf.data(), 95, 10), 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(HasStamp(buf.data() + i * 512, 512, 295 + i)) << i;
    EXPECT_TRUE(IsZero(buf.data() + 5 * 512, 5 * 512));
    EXPECT_EQ(disk.SectorsRead(), 5u);

    disk.ResetCounters();
    EXPECT_EQ(part->ReadSector(buf.data(), 100, 1), 0);
    EXPECT_EQ(ResultError(part->GetLastError()), kErrBadArgument);
    EXPECT_EQ(ResultLibrary(part->GetLastError()), ResultLib::Device);
    std::vector<unsigned char> big(101 * 512);
    EXPECT_EQ(part->ReadSector(big.data(), 0, 101), 0);
    EXPECT_EQ(ResultError(part->GetLastError()), kErrBadArgument);
    EXPECT_EQ(part->ReadSector(buf.data(), -1, 1), 0);
    EXPECT_EQ(part->ReadSector(buf.data(), 0, 0), 0);
    EXPECT_EQ(part->ReadSector(nullptr, 0, 1), 0);
    EXPECT_EQ(ResultError(part->GetLastError()), kErrBadArgument);
    EXPECT_EQ(disk.Reads(), 0u);
    EXPECT_EQ(part->IOCtl(1, nullptr), 0u);
    EXPECT_EQ(ResultError(part->GetLastError()), kErrUnsupported);

    // The parent's failure is the window's.
    disk.FailSector(210);
    EXPECT_EQ(part->ReadSector(buf.data(), 5, 10), 0);
    EXPECT_EQ(part->GetLastError(), disk.GetLastError());
}

TEST_F(StampedImage, AWindowWithoutParentOrDiskRecordIsRefused) {
    ImageDevice disk(Path());
    EXPECT_EQ(CreatePartitionDevice(nullptr, 0, 10), nullptr);
    EXPECT_EQ(CreatePartitionDevice(&disk, -1, 10), nullptr);
    EXPECT_EQ(CreatePartitionDevice(&disk, LLONG_MAX - 5, 10), nullptr);
    std::unique_ptr<IStorageDevice> part(CreatePartitionDevice(&disk, 0, 10));
    EXPECT_EQ(part->Open(nullptr), 0);
    EXPECT_EQ(ResultError(part->GetLastError()), kErrNoRecord);
    CPartitionDevice orphan(nullptr, 0, 10);
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(orphan.ReadSector(buf.data(), 0, 1), 0);
    EXPECT_EQ(ResultError(orphan.GetLastError()), kErrNoRecord);
}

TEST_F(StampedImage, APartitionWithoutVolumeBecomesAVolumeOverItsDiskArea) {
    ImageDevice disk(Path());
    disk.SetPrivateData(CreateDiskDeviceData(DiskRecord(512, 1000)));
    std::unique_ptr<IStorageDevice> part(CreatePartitionDevice(&disk, 100, 300));
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr); // no record yet
    auto* rec = new CCollectedPartitionDeviceInfoStruct;
    rec->disk = &disk;
    rec->startSector = 100;
    rec->sectorCount = 300;
    part->SetPrivateData(CreatePartitionDeviceData(rec));
    std::unique_ptr<IStorageDevice> vol(CreatePartitionVirtualVolumeDevice(part.get()));
    ASSERT_NE(vol, nullptr);
    ASSERT_EQ(vol->Open(nullptr), 1);
    EXPECT_EQ(vol->GetType(), DEVICE_VOLUME);
    EXPECT_EQ(vol->GetTotalSectors(), 300u);
    std::vector<unsigned char> buf(4 * 512, 0xAA);
    EXPECT_EQ(vol->ReadSector(buf.data(), 298, 4), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 398));
    EXPECT_TRUE(HasStamp(buf.data() + 512, 512, 399));
    EXPECT_TRUE(IsZero(buf.data() + 1024, 1024));
    rec->disk = nullptr;
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr);
}

TEST_F(StampedImage, AVolumeRefusesReadsPastItsEndWithoutIO) {
    std::unique_ptr<IStorageDevice> vol(CreateVolumeDevice(Path().c_str()));
    ASSERT_EQ(vol->Open(nullptr), 1);
    ASSERT_EQ(vol->GetTotalSectors(), 1000u);
    std::vector<unsigned char> buf(512);
    PieceCounter counter;
    EXPECT_EQ(vol->ReadSector(buf.data(), 999, 1), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 999));
    EXPECT_EQ(counter.pieces, 1);
    EXPECT_EQ(vol->ReadSector(buf.data(), 1000, 1), 0);
    EXPECT_EQ(ResultError(vol->GetLastError()), kErrBadArgument);
    EXPECT_EQ(counter.pieces, 1);
}

TEST_F(StampedImage, AbsurdSectorNumbersAreBadArgumentsNotOverflows) {
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(Path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    std::vector<unsigned char> buf(512);
    PieceCounter counter;
    for (long long first : {LLONG_MAX / 2, LLONG_MAX / 512 + 1, LLONG_MAX}) {
        EXPECT_EQ(disk->ReadSector(buf.data(), first, 1), 0) << first;
        EXPECT_EQ(ResultError(disk->GetLastError()), kErrBadArgument);
    }
    EXPECT_EQ(disk->ReadSector(buf.data(), 0, LLONG_MAX / 256), 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), -1, 1), 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), 0, 0), 0);
    EXPECT_EQ(counter.pieces, 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), 7, 1), 1);
    EXPECT_EQ(disk->GetLastError(), 0u);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 7));
}

class EventRecorder : public INotifyCenter {
public:
    void OnEvent(_MSG_EVENT* e) override {
        if (e->type == EVENT_VOLUME_READ_FAILED)
            ++failures;
    }
    std::atomic<int> failures{0};
};

TEST_F(StampedImage, AFailedVolumeReadIsAnnouncedToTheMessageCentre) {
    EventRecorder recorder;
    ASSERT_TRUE(CMessageCenter::Instance().RegisterNotifyCenter(77, &recorder));
    {
        std::unique_ptr<IStorageDevice> vol(CreateVolumeDevice(Path().c_str()));
        ASSERT_EQ(vol->Open(nullptr), 1);
        asyncread::SetFaultHook([](long long, long long) { return true; });
        std::vector<unsigned char> buf(512, 0xAA);
        EXPECT_EQ(vol->ReadSector(buf.data(), 3, 1), 0);
        asyncread::SetFaultHook(nullptr);
        EXPECT_EQ(ResultError(vol->GetLastError()), kErrRead);
        EXPECT_TRUE(IsZero(buf.data(), 512));
    }
    for (int i = 0; i < 500 && recorder.failures == 0; ++i)
        std::this_thread::sleep_for(10ms);
    CMessageCenter::Instance().UnregisterNotifyCenter(77);
    EXPECT_EQ(recorder.failures, 1);
}

TEST_F(StampedImage, OpenFailuresSetErrorOneAndKeepPermission) {
    std::string missing = dir.file("missing");
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(missing.c_str()));
    EXPECT_EQ(disk->Open(nullptr), 0);
    EXPECT_EQ(ResultError(disk->GetLastError()), kErrRead);
    EXPECT_EQ(disk->IsPermitted(), 1);
    EXPECT_EQ(disk->Close(), 0);
    std::unique_ptr<IStorageDevice> image(CreateEdiDeviceImp(missing.c_str()));
    EXPECT_EQ(image->Open(nullptr), 0);
    EXPECT_EQ(ResultError(image->GetLastError()), kErrRead);
    // Opening another path through the same object.
    std::string path = Path();
    EXPECT_EQ(disk->Open(path.data()), 1);
    EXPECT_EQ(disk->GetTotalSectors(), 1000u);
    EXPECT_EQ(disk->GetSectorSize(), 512u);
    EXPECT_EQ(disk->Close(), 1);
    EXPECT_EQ(static_cast<CDiskDevice*>(disk.get())->ReOpen(), 1);
}

TEST_F(StampedImage, RecordsGiveGeometryAndTypedGettersCheckTheKind) {
    auto disk = std::make_unique<CDiskDevice>(Path().c_str());
    ASSERT_EQ(disk->Open(nullptr), 1);
    EXPECT_EQ(disk->GetDiskInfo(), nullptr);
    EXPECT_EQ(ResultError(disk->GetLastError()), kErrNoRecord);
    disk->SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(disk->GetDiskInfo(), nullptr);
    disk->SetPrivateData(CreateDiskDeviceData(DiskRecord(4096, 125)));
    ASSERT_NE(disk->GetDiskInfo(), nullptr);
    EXPECT_EQ(disk->GetSectorSize(), 4096u);
    EXPECT_EQ(disk->GetTotalSectors(), 125u);
    std::vector<unsigned char> buf(4096);
    EXPECT_EQ(disk->ReadSector(buf.data(), 1, 1), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 8));
    // A nonsense sector size in a record is not taken.
    disk->SetPrivateData(CreateDiskDeviceData(DiskRecord(0, 10)));
    EXPECT_EQ(disk->GetSectorSize(), 4096u);

    disk->SetVolumes({CCollectedVolumeDeviceInfoStruct{}, CCollectedVolumeDeviceInfoStruct{}});
    EXPECT_EQ(disk->GetVolumes(), 2);

    // A holder's set leaves the old record with its owner.
    auto first = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
    std::unique_ptr<IVolumeDeviceData> holder(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    CCollectedVolumeDeviceInfoStruct* made = holder->GetVolumeInfo();
    holder->SetVolumeInfo(first.release());
    delete made;
    EXPECT_NE(holder->GetVolumeInfo(), made);
}

TEST_F(StampedImage, AnImageDeviceReadsAtItsDataOffset) {
    std::unique_ptr<IStorageDevice> raw(CreateDmgDeviceImp(Path().c_str()));
    ASSERT_EQ(raw->Open(nullptr), 1);
    EXPECT_EQ(raw->GetType(), DEVICE_DMG);
    EXPECT_EQ(raw->GetTotalSectors(), 1000u);
    auto* rec = new CDMGDeviceInfoStruct;
    rec->dataOffset = 10 * 512;
    rec->totalSectors = 990;
    raw->SetPrivateData(CreateDMGDeviceData(rec));
    EXPECT_EQ(static_cast<CDmgDevice*>(raw.get())->GetDMGInfo(), rec);
    EXPECT_EQ(raw->GetTotalSectors(), 990u);
    std::vector<unsigned char> buf(2 * 512);
    EXPECT_EQ(raw->ReadSector(buf.data(), 0, 2), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 10));
    EXPECT_TRUE(HasStamp(buf.data() + 512, 512, 11));

    CEdiDevice edi(Path().c_str());
    EXPECT_EQ(edi.GetType(), DEVICE_EDI);
    edi.SetPrivateData(CreateDMGDeviceData(new CDMGDeviceInfoStruct));
    EXPECT_EQ(edi.GetEDIInfo(), nullptr);
    EXPECT_EQ(ResultError(edi.GetLastError()), kErrNoRecord);
}

} // namespace
