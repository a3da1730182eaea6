#pragma once
// The 32-byte FAT directory entry: plausibility, names, first cluster and size.
#include "engine/fat/FatBytes.h"

#include <cstdint>
#include <string>

namespace fat::dirent {
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kName = 0;            // 8: blank-padded; 0x00 never used, 0xE5 erased
inline constexpr std::size_t kExtension = 8;       // 3: blank-padded
inline constexpr std::size_t kAttribute = 11;      // 1: 0x08 label, 0x10 folder, 0x0F long-name entry
inline constexpr std::size_t kCaseFlags = 12;      // 1: 0x08 base, 0x10 extension shown in lower case
inline constexpr std::size_t kCreateTime = 14;     // 2: DOS time
inline constexpr std::size_t kCreateDate = 16;     // 2: DOS date
inline constexpr std::size_t kAccessDate = 18;     // 2
inline constexpr std::size_t kClusterHigh = 20;    // 2
inline constexpr std::size_t kModifyTime = 22;     // 2
inline constexpr std::size_t kModifyDate = 24;     // 2
inline constexpr std::size_t kClusterLow = 26;     // 2
inline constexpr std::size_t kFileSize = 28;       // 4
static_assert(kFileSize + 4 == kSize);
// Long-name entry: 13 UTF-16LE units at 1 (5), 14 (6) and 28 (2).
inline constexpr std::size_t kLfnPart1 = 1;
inline constexpr std::size_t kLfnPart2 = 14;
inline constexpr std::size_t kLfnPart3 = 28;
inline constexpr unsigned kLfnUnits = 13;

inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kErased = 0xE5;
inline constexpr std::uint8_t kLowerCaseBase = 0x08;
inline constexpr std::uint8_t kLowerCaseExtension = 0x10;
} // namespace fat::dirent

// A view over one entry held by the caller. A view made over fewer than 32
// bytes reads as an all-zero (never used) entry.
class CTempFATDirEntry {
public:
    explicit CTempFATDirEntry(fat::Bytes entry);
    // A view that SetFirstClusterNO may write through.
    explicit CTempFATDirEntry(std::uint8_t* entry);

    // Points the view at another entry and answers its strict plausibility.
    bool InitFromBuffer(fat::Bytes entry);

    // loose = false is the strict form (file cluster and size must agree).
    bool IsValidFATDirEntry(bool loose) const;
    // The strict form for entries of a folder being listed, where a file
    // emptied (or created empty) that kept its first cluster is a plain empty
    // file: the tools list it, and it may be all that makes its folders shown.
    bool IsValidListedEntry() const;
    bool IsErased() const { return At(fat::dirent::kName) == fat::dirent::kErased; }
    bool IsNeverUsed() const { return At(fat::dirent::kName) == 0; }
    bool IsDirectory() const { return (Attribute() & fat::dirent::kAttrDirectory) != 0; }
    bool IsVolumeLabel() const { return (Attribute() & fat::dirent::kAttrVolumeLabel) != 0; }
    bool IsLongFileNameEntry() const { return Attribute() == fat::dirent::kAttrLongName; }
    // This entry when it is a long-name piece, else null.
    const CTempFATDirEntry* GetLongFileNameIndex() const { return IsLongFileNameEntry() ? this : nullptr; }
    std::uint8_t Attribute() const { return At(fat::dirent::kAttribute); }

    std::uint32_t GetFirstClusterNO() const;
    // Writes the cluster into the entry; false for a read-only view.
    bool SetFirstClusterNO(std::uint32_t cluster);
    std::uint32_t GetSize() const { return fat::Le32(Span(), fat::dirent::kFileSize); }
    std::uint16_t GetDate(std::size_t off) const { return fat::Le16(Span(), off); }

    // The 8.3 name: trailing blanks cut, an erased first byte shown as "#",
    // bytes of 0x80 and above as "_". Dotted form "NAME.EXT" (false when the
    // entry fails IsValidFileName; the text is still given), label form without
    // the dot.
    bool GetShortName(std::string& out, bool labelForm) const;
    // The UTF-16 units of a long-name entry's piece, up to its first NUL unit;
    // empty for another entry.
    std::u16string GetLongNameUnits() const;
    // The piece as UTF-8; "_" when it is empty.
    std::string GetLongFileName() const;

    bool IsFilenameEqual(const char* name8, const char* ext3) const;

    static bool IsValidFileName(fat::Bytes entry);
    static bool IsValidLongFileNameChar(char32_t c);
    // False for an empty text or one holding ? * | \ / : < > or a double quote.
    static bool IsValidLongFileName(const std::string& utf8);

    fat::Bytes Span() const { return {m_entry, fat::dirent::kSize}; }

private:
    std::uint8_t At(std::size_t off) const { return m_entry[off]; }
    void Point(fat::Bytes entry);

    const std::uint8_t* m_entry;
    std::uint8_t* m_writable = nullptr;
};
