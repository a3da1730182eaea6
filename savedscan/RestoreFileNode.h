#pragma once
// The records of a scan-result file: the loaded node classes, the encoders
// the save uses and the strict readers the load uses. Readers take every
// field whole or refuse the record (CSavedScanDamage); no count or length is
// trusted beyond what the payload still holds.
#include "engine/common/FileNode.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "savedscan/IRSData.h"
#include "savedscan/SavedScanFormat.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class IStorageDevice;

// A saved tree that does not read back as it was written.
struct CSavedScanDamage {
    const char* what;
};

// Reads the open frame of a container in large pieces and hands out fields.
// Remaining() counts what the payload still holds, so callers can bound a
// count before they act on it. A field that does not arrive whole throws
// CSavedScanDamage; container errors pass as CRSException.
class CFrameReader {
public:
    static constexpr std::size_t kChunk = 1 << 20;

    explicit CFrameReader(IRSData& rs);
    std::uint64_t Remaining() const;
    // Throws unless n bytes remain.
    void Need(std::uint64_t n, const char* what) const;
    std::uint16_t U16();
    std::uint32_t U32();
    std::uint64_t U64();
    void Read(void* out, std::size_t n);

private:
    void Fill(std::size_t n);

    IRSData& m_rs;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_pos = 0;
    std::uint64_t m_unread; // payload bytes not yet in the buffer
};

// Appends little-endian fields to a byte string.
class CRecordWriter {
public:
    explicit CRecordWriter(std::string& out) : m_out(out) {}
    void U16(std::uint16_t v) { Le(v, 2); }
    void U32(std::uint32_t v) { Le(v, 4); }
    void U64(std::uint64_t v) { Le(v, 8); }
    void Bytes(const void* p, std::size_t n) { m_out.append(static_cast<const char*>(p), n); }

private:
    void Le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) m_out.push_back(static_cast<char>(v >> (8 * i)));
    }
    std::string& m_out;
};

// The volumes opened by the last load, one per searcher type. The openers are
// the file-system table's entries' (ISavedVolume there); one set here stands
// in for its type's (tests). Without one a type keeps no volume. Emptied at
// the start of each load.
class CSavedVolumeCache {
public:
    using Opener = std::function<ISavedVolume*(IStorageDevice*)>;
    using ReaderMaker = std::function<IFileReader*(CFileNode*)>;

    static CSavedVolumeCache& instance();

    void SetOpener(int searcherType, Opener opener);
    // A reader for compressed files that needs no open volume (NTFS).
    void SetReaderMaker(int searcherType, ReaderMaker maker);

    void Clear();
    // Opens and keeps a volume for the type unless it has an entry already.
    void EnterOnce(int searcherType, IStorageDevice* device);
    ISavedVolume* Volume(int searcherType) const;
    // Hands a partition record of a root of the type to its open volume.
    void AddPartition(int searcherType, const CSearchedPartitionInfo& record);
    std::size_t Count() const { return m_volumes.size(); }
    IFileReader* CreateReader(int searcherType, CFileNode* node) const;

private:
    std::map<int, Opener> m_openers;
    std::map<int, ReaderMaker> m_makers;
    std::map<int, std::unique_ptr<ISavedVolume>> m_volumes; // null entries: type seen, no volume
};

namespace SaveRestoreResult {

// One loaded file or folder; it answers from the saved record.
class RestoreFileNode : public CFileNode {
public:
    RestoreFileNode() = default;

    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return static_cast<long long>(m_size); }
    unsigned GetAttribute() override { return m_attribute; }
    _FILETIME GetCreationTime() override { return _FILETIME::From(m_created); }
    _FILETIME GetModificationTime() override { return _FILETIME::From(m_modified); }
    _FILETIME GetLastAccessTime() override { return _FILETIME::From(m_accessed); }
    int IsDirectory() override { return m_isDirectory != 0; }
    int IsDeleted() override { return m_isDeleted != 0; }
    IFileNode* Clone() override;
    void MarkDeleted() override { m_isDeleted = 1; }
    IFileReader* CreateCompressFileReader(void* context) override;
    void FilterFileNameByDot() override {}
    long long GetInitializedSize() override {
        return m_initialized < 0 ? GetFileSize() : std::min<long long>(m_initialized, GetFileSize());
    }
    bool ReadHeldData(long long offset, char* out, unsigned size, unsigned& got) override;
    // The save keeps no mark for a compressed file whose size its scan could
    // not learn: its volume, when open, is asked.
    bool IsSizeUnknown() override;
    // Leaves the node nothing to read its data from: its place on the device
    // is not known. A compressed file listed with no size stays one whose
    // size is unknown (written empty it would pass for whole).
    void Unplace() {
        m_unplacedCompressed = m_unplacedCompressed || IsCompressed() != 0;
        SetDataRunList(nullptr);
        m_held.reset();
        SetCompressed(0);
    }

    // Reads one file-node record into `into`, or into a new node when null.
    static RestoreFileNode* ReadFileNode(CFrameReader& in, RestoreFileNode* into);

    std::string m_name;
    std::uint64_t m_size = 0;
    std::uint16_t m_attribute = 0;
    std::uint64_t m_created = 0, m_modified = 0, m_accessed = 0;
    std::uint32_t m_isDirectory = 0;
    std::uint32_t m_isDeleted = 0;
    long long m_initialized = -1;              // below 0: the whole size
    std::uint32_t m_content = 0;               // what its bytes read as on saving (0: not known)
    std::shared_ptr<const std::string> m_held; // resident bytes the scan read
    bool m_unplacedCompressed = false;
};

// A loaded tree root. Its stored searcher type and volume name have names of
// their own: the IFileNode answers of a plain node (none) stay as they are,
// since the builder makes the real roots.
class RestoreSystemNode : public RestoreFileNode {
public:
    int GetStoredSearcherType() const { return static_cast<int>(m_searcherType); }
    const std::string& GetStoredVolumeName() const { return m_volumeName; }

    static std::unique_ptr<RestoreSystemNode> ReadSystemNode(CFrameReader& in);

    std::uint32_t m_searcherType = SEARCHER_NONE;
    std::string m_volumeName;
};

// The NodeData frame: per node ordinal, the values a file-node record has no
// field for.
struct CNodeExtra {
    long long initialized = -1;
    std::shared_ptr<const std::string> resident;
    std::uint32_t content = 0; // ContentMark on saving; 0: none
};

class CNodeData {
public:
    // Reads the open frame whole; throws CSavedScanDamage for an entry that is
    // not as a save writes it.
    void Read(CFrameReader& in);
    const CNodeExtra* Find(std::uint64_t ordinal) const;
    // One past the highest ordinal held (0 when empty).
    std::uint64_t End() const { return m_extras.empty() ? 0 : m_extras.rbegin()->first + 1; }
    // Gives the node what the entry holds; throws when it does not fit the
    // node (a directory with data, sizes that disagree).
    static void Apply(const CNodeExtra& extra, RestoreFileNode& node);

    // Appends the entries of one node being saved; resident: its resident
    // bytes when it has any; content: its ContentMark (0: none).
    static void Write(std::uint64_t ordinal, IFileNode* node, const std::string* resident, std::uint32_t content,
                      CRecordWriter& out);

private:
    std::map<std::uint64_t, CNodeExtra> m_extras;
};

// Encoders. Names are shortened at a UTF-8 boundary to what readers take.
void WriteFileNode(IFileNode* node, CRecordWriter& out);
void WriteSystemNode(IFileNode* root, CRecordWriter& out);
// The 32 bits of an identity a Files mark keeps (never 0).
std::uint32_t FoldIdentity(std::uint64_t identity);
// The 16 bits a Samples mark keeps (never 0).
std::uint16_t FoldIdentity16(std::uint64_t identity);

// mark: what tells the record's volume from another (none when null).
void WritePartition(const CSearchedPartitionInfo& record, CRecordWriter& out, const VolumeMark* mark = nullptr);
// A base record from 104 saved bytes; null when the sector size is not a
// non-zero multiple of 512 (it divides every offset the writer computes).
std::unique_ptr<CSearchedPartitionInfo> ReadPartition(const std::uint8_t* bytes);
// What the 104 saved bytes say of the record's volume.
VolumeMark ReadPartitionMark(const std::uint8_t* bytes);

// The text cut to at most max bytes without splitting a UTF-8 sequence.
std::string ShortenUtf8(const char* text, std::size_t max);

} // namespace SaveRestoreResult
