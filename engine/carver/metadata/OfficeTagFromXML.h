#pragma once
// Reads the core properties (title, creator, last author, created and
// modified times) of an Office Open XML package from its docProps/core.xml
// member, inflated straight from the carver's bytes.
#include "engine/carver/metadata/FileProperty.h"
#include "engine/common/Bytes.h"

#include <string>

namespace Orvex {

class OfficeTagFromXML {
public:
    static constexpr std::size_t kMaxMember = 10239; // larger members are not read

    // member: the member's local header and everything after it that is at
    // hand. 1 when the member was inflated and its XML examined, 0 when it
    // cannot be read, -1 when its compressed bytes are not all at hand yet.
    static int GetOfficeTagFromXML(bytes::Bytes member, FileProperty& out);
    // Raw inflate (or a stored copy) of at most kMaxMember bytes; false on failure.
    static bool bDepress(bytes::Bytes data, unsigned method, std::size_t uncompressed, std::string& out);
    // Fills out from the fields of a core-properties document.
    static void AnalyzeTag(const std::string& xml, FileProperty& out);
    // "2014-05-06T07:08:09Z" as "2014-05-06 07-08-09 ".
    static std::string FilterFileTime(std::string time);
};

} // namespace Orvex
