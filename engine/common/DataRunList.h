#pragma once
// The plain run list: owned copies of the runs in order, and one cursor.
#include "engine/include/FileNode.h"

#include <cstddef>
#include <list>
#include <vector>

class CDataRunList : public IDataRunList {
public:
    CDataRunList() = default;
    CDataRunList(const CDataRunList&) = delete;
    CDataRunList& operator=(const CDataRunList&) = delete;
    DataRun* GetFirst() override;
    DataRun* GetNext() override;
    int IsDone() override;
    int IsResident() override { return m_resident != 0; }
    void SetResident(unsigned resident) { m_resident = resident; }
    // A new list of the same runs; it does not touch this list's cursor, so a
    // reader may clone a list that another reader is walking.
    IDataRunList* Clone() override;
    // Appends a copy, or grows the last run when r continues it.
    void AddDataRun(const DataRun* r) override;
    long long GetOffset() override { return 0; }
    int GetDataRunListType() override { return 5; }
    void Release() override { delete this; }

    // The runs by value, without the cursor.
    std::vector<DataRun> Runs() const { return {m_runs.begin(), m_runs.end()}; }
    size_t Count() const { return m_runs.size(); }

protected:
    // For derived lists: copy the runs into another list.
    void CopyRunsTo(CDataRunList& other) const;
    // For derived lists: appends a copy without joining it to the last run.
    void AppendRun(const DataRun& r);

    unsigned m_resident = 0;

private:
    std::list<DataRun> m_runs;
    std::list<DataRun>::iterator m_cursor = m_runs.end();
};

IDataRunList* CreateDataRunList();
