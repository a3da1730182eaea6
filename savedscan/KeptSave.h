#pragma once
// The old bytes of a save that is being overwritten in place, kept in a
// named, synced record until the new save is whole on the device, so that a
// kill or a power cut during the copy costs neither save: the next load of
// that save (or the program's start) puts the old bytes back when the file
// is not a whole save, and removes the record (PutBackInterruptedSave).
//
// A record lies beside the save (".salvor-kept.<inode>") or, where the
// save's folder takes no new file, in the user's state folder
// ("salvor-kept.<device>.<inode>"), else in a folder of this user's own in
// TMPDIR or /tmp. It is a header (which file: device, inode, birth time,
// path and the volume's own number; the old and new lengths; a checksum of
// the kept bytes; a checksum of itself) followed by the old bytes. Only a
// record that those who may write the save alone could have written, whole
// on its device, is ever put back.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

namespace SaveRestoreResult {

// A record being written by a save. Open() makes it and takes its lock (a
// load in another process leaves a locked record alone); Seal() writes its
// header once the old bytes are in it and syncs it and its folder; Remove()
// deletes it once the save no longer needs it. One never sealed goes with
// this object; a sealed one stays until removed.
class CKeptRecord {
public:
    CKeptRecord() = default;
    ~CKeptRecord();
    CKeptRecord(const CKeptRecord&) = delete;
    CKeptRecord& operator=(const CKeptRecord&) = delete;

    // save: the open file about to be overwritten, at path. Beside it when
    // its file system has room for the old bytes and what the new save adds
    // (growth), else in the state folder or the temporary one; false where
    // none takes it.
    bool Open(const std::string& path, int save, std::uint64_t growth);
    int Fd() const { return m_fd; }
    // Where the old bytes go in the record.
    static off_t BytesAt();
    bool Seal(std::uint64_t newLength, std::uint32_t keptCrc);
    bool Remove();

private:
    std::string m_path, m_save;
    struct stat m_old {};
    std::pair<std::uint64_t, std::uint64_t> m_birth;
    std::uint64_t m_volume = 0;
    int m_fd = -1;
    bool m_sealed = false;
};

// The checksum of kept bytes, piece after piece (0 before the first).
std::uint32_t KeptCrc(const void* data, std::size_t size, std::uint32_t crc);

} // namespace SaveRestoreResult
