#pragma once
// The one recovery filter of the process: the categories the user wants, and
// the extension lists of the file-type catalogue handed to the engine.
#include <map>
#include <string>

class IRecoveryFilter;

class VXUIFilter {
public:
    static VXUIFilter& instance();
    virtual ~VXUIFilter() = default;

    IRecoveryFilter* GetFilter();
    // Makes the filter when there is none, then sets the category mask.
    void ResetFilter(unsigned mask);
    // Hands the category extension lists (keys 1, 2, 4, 8, 16) to the engine
    // and refills the filter's extension table from them: the filter was made
    // before the catalogue was read.
    void InitFileTypes(const std::map<int, std::string>& lists);

protected:
    VXUIFilter();

private:
    IRecoveryFilter* m_filter = nullptr;
};
