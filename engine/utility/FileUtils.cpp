#include "engine/utility/FileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool MakeDirs(const std::string& path) {
    if (path.empty())
        return false;
    std::string cur;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty())
            continue;
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ComputeWorkPath() {
    // An absolute $SALVOR_WORK_DIR wins (the tests point it at a temporary folder).
    const char* chosen = std::getenv("SALVOR_WORK_DIR");
    if (chosen && chosen[0] == '/' && MakeDirs(chosen))
        return chosen;
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) {
        std::string exe(buf.data(), static_cast<std::size_t>(n));
        std::size_t slash = exe.rfind('/');
        std::string dir = slash == 0 ? "/" : exe.substr(0, slash);
        if (slash != std::string::npos && ::access(dir.c_str(), W_OK) == 0)
            return dir;
    }
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && home[0] ? home : "/tmp") + "/.local/state";
    }
    std::string dir = base + "/salvor";
    MakeDirs(dir);
    return dir;
}

// Extended attributes, best effort: a file system without them is no error.
void CopyXattrs(int from, int to) {
    ssize_t len = ::flistxattr(from, nullptr, 0);
    if (len <= 0)
        return;
    std::vector<char> names(static_cast<std::size_t>(len));
    len = ::flistxattr(from, names.data(), names.size());
    if (len <= 0)
        return;
    std::vector<char> value;
    for (std::size_t i = 0; i < static_cast<std::size_t>(len);) {
        const char* name = names.data() + i;
        std::size_t nameLen = std::char_traits<char>::length(name);
        ssize_t vlen = ::fgetxattr(from, name, nullptr, 0);
        if (vlen >= 0) {
            value.resize(static_cast<std::size_t>(vlen) + 1);
            vlen = ::fgetxattr(from, name, value.data(), value.size());
            if (vlen >= 0)
                ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(vlen), 0);
        }
        i += nameLen + 1;
    }
}

void CopyStatus(int to, const struct stat& st) {
    if (::fchown(to, st.st_uid, st.st_gid) != 0) {
        // Only the owner's own files keep their owner; that is fine.
    }
    ::fchmod(to, st.st_mode & 07777);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(to, times);
}

bool CopyRegular(const std::string& from, const std::string& to, const struct stat& st) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t r = ::read(in, buf.data(), buf.size());
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            ok = false;
            break;
        }
        if (r == 0)
            break;
        for (ssize_t done = 0; done < r;) {
            ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(r - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    if (ok) {
        CopyXattrs(in, out);
        CopyStatus(out, st);
    }
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    return ok;
}

bool CopyTree(const std::string& from, const std::string& to, int depth) {
    // A loop through bind mounts cannot recurse forever.
    if (depth > 256)
        return false;
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return false;
    if (S_ISREG(st.st_mode))
        return CopyRegular(from, to, st);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4095) + 1);
        ssize_t n = ::readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            return false;
        target[static_cast<std::size_t>(n)] = 0;
        return ::symlink(target.data(), to.c_str()) == 0;
    }
    if (!S_ISDIR(st.st_mode))
        return false;
    if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    DIR* dir = ::opendir(from.c_str());
    if (!dir)
        return false;
    bool ok = true;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        ok = CopyTree(from + "/" + name, to + "/" + name, depth + 1) && ok;
    }
    ::closedir(dir);
    // Status last, so the folder's times are not changed by filling it.
    int src = ::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int dst = ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (src >= 0 && dst >= 0) {
        CopyXattrs(src, dst);
        CopyStatus(dst, st);
    }
    if (src >= 0)
        ::close(src);
    if (dst >= 0)
        ::close(dst);
    return ok;
}

} // namespace

const char* GetAppWorkPath() {
    static const std::string path = ComputeWorkPath();
    return path.c_str();
}

long long GetFileSize(const char* path) {
    if (!path)
        return 0;
    struct stat st {};
    if (::stat(path, &st) != 0 || st.st_size < 1)
        return 0;
    return static_cast<long long>(st.st_size);
}

int CopyFileA(const char* from, const char* to, int) {
    if (!from || !to)
        return -1;
    return CopyTree(from, to, 0) ? 0 : -1;
}
