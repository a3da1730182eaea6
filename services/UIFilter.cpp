#include "services/UIFilter.h"

#include "engine/common/FileTypeManager.h"
#include "engine/filter/RecoveryFilter.h"

VXUIFilter& VXUIFilter::instance() {
    static VXUIFilter* const filter = new VXUIFilter;
    return *filter;
}

VXUIFilter::VXUIFilter() : m_filter(CreateFilter()) {}

IRecoveryFilter* VXUIFilter::GetFilter() { return m_filter; }

void VXUIFilter::ResetFilter(unsigned mask) {
    if (!m_filter) m_filter = CreateFilter();
    if (m_filter) m_filter->SetFilterTypes(mask);
}

void VXUIFilter::InitFileTypes(const std::map<int, std::string>& lists) {
    CFileTypeManager::Initialze(lists);
    if (auto* filter = dynamic_cast<CRecoveryFilter*>(m_filter)) filter->ReloadFileTypes();
}
