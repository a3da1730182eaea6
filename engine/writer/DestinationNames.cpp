#include "engine/writer/DestinationNames.h"

#include "engine/common/TextConvert.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Attempts per name before giving up (a folder full of that name's numbers).
constexpr unsigned kMaxAttempts = 100000;
} // namespace

template <class Create>
int CDestinationNames::FirstFree(int parentFd, const std::string& safeName, std::string& taken,
                                 Create create) {
    struct stat folder {};
    if (::fstat(parentFd, &folder) != 0) return -1;
    const std::string key =
        std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) + "/" + safeName;
    unsigned& next = m_next[key];
    for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const unsigned number = next < 1 ? 1 : next;
        const std::string name = NumberedFileName(safeName, number);
        next = number + 1;
        const int rc = create(name);
        if (rc >= 0) {
            taken = name;
            return rc;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

int CDestinationNames::CreateFolder(int parentFd, const std::string& safeName, std::string& taken) {
    return FirstFree(parentFd, safeName, taken, [parentFd](const std::string& name) {
        if (::mkdirat(parentFd, name.c_str(), 0755) != 0) return -1;
        return ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
}

bool CDestinationNames::ReserveFile(int parentFd, const std::string& safeName, std::string& taken) {
    return FirstFree(parentFd, safeName, taken, [parentFd](const std::string& name) {
               const int fd = ::openat(parentFd, name.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
               return fd < 0 ? -1 : ::close(fd);
           }) == 0;
}
