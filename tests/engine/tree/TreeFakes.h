#pragma once
// Fakes for the tree-builder tests: a clock that never sleeps, a filter with
// switches and a node that keeps directory-entry properties.
#include "engine/common/DataRunList.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/support/TestFileNode.h"

#include <set>
#include <string>
#include <vector>

namespace salvor::test {

class FakeClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return now; }
    void SleepSeconds(unsigned s) override { slept += s; }
    long long now = 1000;
    unsigned slept = 0;
};

class FakeFilter : public IRecoveryFilter {
public:
    int ShowNormalFiles() const override { return showNormal; }
    void SetScanType(_SCAN_TYPE t) override { showNormal = t != SCAN_QUICK_MOUNTED; }
    int IsFileNodeValid(IFileNode* node) override {
        return node && !rejected.count(node->GetFileName() ? node->GetFileName() : "");
    }
    void SetFilterTypes(unsigned) override {}
    _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_OTHER; }
    void Release() override {}

    int showNormal = 1;
    std::set<std::string> rejected;
};

// A node of a FAT or NTFS tree: its name lives in its entry properties.
class PropsNode : public TestFileNode {
public:
    using TestFileNode::TestFileNode;

    class Props : public IFileProperties {
    public:
        explicit Props(PropsNode* n) : node(n) {}
        unsigned GetFileNameLength() override { return static_cast<unsigned>(node->m_name.size()); }
        void SetFileName(const char* name) override { node->m_name = name ? name : ""; }
        const char* GetFileName() override { return node->m_name.c_str(); }
        long long GetFileSize() override { return node->m_size; }
        unsigned GetAttribute() override { return node->GetAttribute(); }
        _FILETIME GetRawFileCreateTime() override { return {}; }
        _FILETIME GetCreationTime() override { return {}; }
        _FILETIME GetModificationTime() override { return {}; }
        _FILETIME GetLastAccessTime() override { return {}; }
        std::uint16_t GetState() override { return node->m_deleted ? 1 : 0; }
        void SetState(std::uint16_t s) override { node->m_deleted = s & 1; }
        IDataRunList* GetDataRunList() override { return node->GetDataRunList(); }
        IFileProperties* Clone() override { return nullptr; }
        PropsNode* node;
    };

    IFileProperties* GetFileProperties() override { return &m_props; }
    // Name changes through SetFileName must not happen on these nodes.
    void SetFileName(const char*) override { ++setFileNameCalls; }

    Props m_props{this};
    int setFileNameCalls = 0;
};

// Node helpers: files carry a size so that they are not dropped as empty.
inline TestFileNode* File(long long id, long long parent, const std::string& name, long long size = 100) {
    return new TestFileNode(id, parent, name, false, size);
}
inline TestFileNode* Dir(long long id, long long parent, const std::string& name) {
    return new TestFileNode(id, parent, name, true, 0);
}

inline IDataRunList* Runs(std::initializer_list<DataRun> runs) {
    IDataRunList* l = CreateDataRunList();
    for (const DataRun& r : runs) l->AddDataRun(&r);
    return l;
}

} // namespace salvor::test
