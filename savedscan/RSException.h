#pragma once
// The one exception of the scan-result container. Its code tells the saving
// and loading code what went wrong.
#include <cstdint>

enum RSErrorCode : std::uint32_t {
    RS_ERROR_BAD_HEADER = 2,       // status out of range, description too long
    RS_ERROR_WRONG_MODE = 3,       // operation not allowed in this open mode
    RS_ERROR_SHORT_READ = 5,       // the file ended inside a payload
    RS_ERROR_WRITE_FAILED = 6,     // a header or payload could not be written
    RS_ERROR_FRAME_NOT_FOUND = 7,  // no frame with the asked GUID
    RS_ERROR_NO_FRAME = 8,         // a frame operation with no frame open
};

class CRSException {
public:
    explicit CRSException(std::uint32_t code) : m_code(code) {}
    virtual ~CRSException() = default;
    virtual std::uint32_t GetErrorcode() const { return m_code; }

private:
    std::uint32_t m_code;
};
