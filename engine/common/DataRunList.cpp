#include "engine/common/DataRunList.h"

DataRun* CDataRunList::GetFirst() {
    m_cursor = m_runs.begin();
    return m_cursor == m_runs.end() ? nullptr : &*m_cursor;
}

DataRun* CDataRunList::GetNext() {
    if (m_cursor == m_runs.end()) return nullptr;
    ++m_cursor;
    return m_cursor == m_runs.end() ? nullptr : &*m_cursor;
}

int CDataRunList::IsDone() { return m_cursor == m_runs.end(); }

void CDataRunList::AddDataRun(const DataRun* r) {
    if (!r) return;
    if (!m_runs.empty()) {
        DataRun& last = m_runs.back();
        if (last.start >= 0 && last.start + last.length == r->start) {
            last.length += r->length;
            return;
        }
    }
    AppendRun(*r);
}

void CDataRunList::AppendRun(const DataRun& r) {
    const bool wasAtEnd = m_cursor == m_runs.end();
    m_runs.push_back(r);
    // A cursor at the end stays at the end.
    if (wasAtEnd) m_cursor = m_runs.end();
}

void CDataRunList::CopyRunsTo(CDataRunList& other) const {
    for (const DataRun& r : m_runs) other.AddDataRun(&r);
}

IDataRunList* CDataRunList::Clone() {
    auto* copy = new CDataRunList;
    copy->m_resident = m_resident;
    CopyRunsTo(*copy);
    return copy;
}

IDataRunList* CreateDataRunList() { return new CDataRunList; }
