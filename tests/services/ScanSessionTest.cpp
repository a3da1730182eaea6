// The lifetimes one scan session keeps: its writers read through the
// controllers, so they go first; a worker that holds the session keeps all
// of it after the scan has let it go. Run under AddressSanitizer, a writer
// that outlived its controller is a use after free.
#include "services/ScanSession.h"

#include "engine/all/AllLibraries.h"
#include "engine/tree/FilesystemNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace {

using Events = std::vector<std::string>;

class CheckedController;

// Names its controller as it goes: reads the controller.
class CheckedWriter : public IDataRecovery {
public:
    CheckedWriter(const CheckedController& owner, Events& events) : m_owner(owner), m_events(events) {}
    ResultCode Initialize(IFileSystemSearchController*, IStorageDevice*) override { return 0; }
    IFileReader* SetRecoverNode(IFileNode*) override { return nullptr; }
    ResultCode RecoverTo(const char*, IProgress*, int) override { return 0; }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override;

private:
    const CheckedController& m_owner;
    Events& m_events;
};

class CheckedController : public IRecoveryController {
public:
    CheckedController(std::string name, _RECOVERY_CONTROLLER_TYPE type, Events& events)
        : m_name(std::move(name)), m_type(type), m_events(events) {}
    const std::string& Name() const { return m_name; }
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_type; }
    int Initialize(IRecoveryFilter*) override { return 1; }
    ResultCode StartDataRecovery(IStorageDevice*, IProgress*, IDrirectoryTree*) override { return 0; }
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return new CheckedWriter(*this, m_events); }
    void Release() override {
        m_events.push_back("controller " + m_name);
        delete this;
    }

private:
    std::string m_name;
    _RECOVERY_CONTROLLER_TYPE m_type;
    Events& m_events;
};

void CheckedWriter::Release() {
    m_events.push_back("writer of " + m_owner.Name());
    delete this;
}

std::shared_ptr<ScanSession> MakeSession(_RECOVERY_CONTROLLER_TYPE type) {
    RegisterAllLibraries(); // a deep scan keeps a writer per file system of the table
    return std::make_shared<ScanSession>(std::make_shared<std::shared_mutex>(), nullptr, type, 1);
}

Owned<IRecoveryController> Controller(const std::string& name, _RECOVERY_CONTROLLER_TYPE type, Events& events) {
    return Owned<IRecoveryController>(new CheckedController(name, type, events));
}

// The events up to the first controller's release are all writers'.
std::size_t WritersBeforeControllers(const Events& events) {
    std::size_t n = 0;
    while (n < events.size() && events[n].rfind("writer of ", 0) == 0) ++n;
    for (std::size_t i = n; i < events.size(); ++i)
        if (events[i].rfind("writer of ", 0) == 0) return SIZE_MAX;
    return n;
}

TEST(ScanSession, WritersGoBeforeTheControllersTheyReadThrough) {
    Events events;
    {
        std::shared_ptr<ScanSession> session = MakeSession(RECOVERY_PARTITION);
        session->SetController(Controller("first", RECOVERY_PARTITION, events));
        session->SetController(Controller("second", RECOVERY_PARTITION, events));
        session->MakeTypeWriters();
        ASSERT_TRUE(session->HasWriters());
        EXPECT_NE(session->WriterForType(SEARCHER_RAW), nullptr);
        EXPECT_NE(session->WriterForType(SEARCHER_RAW_LABEL), session->WriterForType(SEARCHER_RAW));
        EXPECT_EQ(session->Controllers().size(), 2u);
    }
    // Six searcher types and the carved-by-label writer, all of the current
    // controller; then the earlier controller, then the current one.
    ASSERT_EQ(WritersBeforeControllers(events), 7u);
    EXPECT_EQ(events[0], "writer of second");
    EXPECT_EQ(Events(events.end() - 2, events.end()), (Events{"controller first", "controller second"}));
}

TEST(ScanSession, AQuickScanKeepsOneWriterPerRoot) {
    Events events;
    CFilesystemNode fat(SEARCHER_FAT, "FAT(root)", "FAT", 1);
    CFilesystemNode ntfs(SEARCHER_NTFS, "NTFS(root)", "NTFS", 2);
    {
        std::shared_ptr<ScanSession> session = MakeSession(RECOVERY_DELETED);
        session->SetController(Controller("quick", RECOVERY_DELETED, events));
        session->AddRoot(&fat);
        session->AddRoot(&ntfs);
        EXPECT_EQ(session->Results().Roots(), (std::vector<IFileNode*>{&fat, &ntfs}));
        IDataRecovery* first = session->WriterFor(&fat);
        ASSERT_NE(first, nullptr);
        EXPECT_NE(session->WriterFor(&ntfs), nullptr);
        EXPECT_NE(session->WriterFor(&ntfs), first);
        EXPECT_TRUE(session->IsWriterFor(&fat, first));
        EXPECT_FALSE(session->IsWriterFor(&ntfs, first));
        // A quick scan has no writers per searcher type, made or not.
        session->MakeTypeWriters();
        EXPECT_EQ(session->WriterForType(SEARCHER_FAT), nullptr);
        EXPECT_EQ(session->WriterFor(&fat), first);
    }
    EXPECT_EQ(WritersBeforeControllers(events), 2u);
    EXPECT_EQ(events.back(), "controller quick");
}

TEST(ScanSession, AWorkerKeepsTheSessionTheScanLetGo) {
    Events events;
    std::shared_ptr<ScanSession> published = MakeSession(RECOVERY_COMPLETE);
    published->SetController(Controller("deep", RECOVERY_COMPLETE, events));
    published->MakeTypeWriters();
    std::shared_ptr<ScanSession> worker = published;
    IDataRecovery* writer = worker->WriterForType(SEARCHER_FAT);
    ASSERT_NE(writer, nullptr);
    published = MakeSession(RECOVERY_NONE); // the next scan's
    EXPECT_TRUE(events.empty()) << "the worker's session lives on";
    {
        auto busy = LockWriter(writer);
        EXPECT_EQ(worker->WriterForType(SEARCHER_FAT), writer);
    }
    worker.reset();
    EXPECT_EQ(WritersBeforeControllers(events), 7u);
    EXPECT_EQ(events.back(), "controller deep");
}

TEST(ScanSession, ReleasedWritersAreMadeAgainOnlyWhenAsked) {
    Events events;
    std::shared_ptr<ScanSession> session = MakeSession(RECOVERY_COMPLETE);
    EXPECT_EQ(session->WriterForType(SEARCHER_FAT), nullptr) << "no controller, no writer";
    session->MakeTypeWriters();
    EXPECT_FALSE(session->HasWriters());
    session->SetController(Controller("deep", RECOVERY_COMPLETE, events));
    session->MakeTypeWriters();
    session->ReleaseWriters();
    EXPECT_FALSE(session->HasWriters());
    EXPECT_EQ(session->WriterForType(SEARCHER_FAT), nullptr);
    EXPECT_EQ(events.size(), 7u);
    session->MakeTypeWriters();
    EXPECT_NE(session->WriterForType(SEARCHER_FAT), nullptr);
    session.reset();
    EXPECT_EQ(events.size(), 15u);
    EXPECT_EQ(events.back(), "controller deep");
}

} // namespace
