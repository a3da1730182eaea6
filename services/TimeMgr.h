#pragma once
// The trees of the two date views: under a date root (made by the facade) one
// group per year and under each year one group per month, holding the found
// files whose creation (view 2) or modification (view 3) time falls in that
// month by local time. Each pass inserts only what the scan filed since the
// last one. Main thread only.
#include "services/TreeItems.h"

#include <QString>

#include <ctime>
#include <map>

class ResultIndex;

class VXTimeMgr {
public:
    static VXTimeMgr& share();
    VXTimeMgr() = default;
    virtual ~VXTimeMgr() = default;

    // Inserts the shown files of view that results filed since the last pass.
    void refreshTimeTree(const OpNodeRef& root, int view, const ResultIndex& results);
    void AddFileNode(IFileNode* node, const OpNodeRef& root, int view);
    OpNodeRef insertYear(int year, const OpNodeRef& root, int view);
    OpNodeRef insertMonth(int month, int year, const OpNodeRef& yearGroup, int view);
    // The place of a group named text among items so that years and months
    // stand in ascending order (names of numbers compare as numbers); -1
    // when it goes last.
    static int GetDateInsertIndex(const QString& text, const OpNodeList& items);
    std::size_t getIndex(int year, int month, int view) const;
    void setIndex(std::size_t index, int year, int month, int view);
    void initMap();
    void clear();
    void setSearch(bool search);

    // The time a month group carries: the 15th at 12:00 local time, well
    // inside the month whatever the time zone's changes.
    static std::time_t MonthTime(int year, int month);

private:
    using MonthGroups = std::map<int, OpNodeRef>;
    // The month group, made (with its year) when missing; null for a year
    // or month below 1 and for a view without a tree.
    OpNodeRef MonthGroup(int year, int month, const OpNodeRef& root, int view);
    std::map<int, OpNodeRef>* YearGroups(int view);
    std::map<const OpNodeData*, MonthGroups>* MonthDict(int view);
    std::map<int, std::size_t>* Positions(int view);

    std::map<int, OpNodeRef> m_createYear, m_modifyYear;
    std::map<const OpNodeData*, MonthGroups> m_createMonth, m_modifyMonth;
    std::map<int, std::size_t> m_createPos, m_modifyPos, m_accessPos;
};
