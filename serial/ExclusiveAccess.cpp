#include "serial/ExclusiveAccess.hpp"

#ifdef _WIN32

boost::system::error_code ExclusiveAccess::Claim(int /*fd*/) {
    return {};
}

void ExclusiveAccess::Release() {}

bool ExclusiveAccess::LockedElsewhere(int /*fd*/) {
    return false;
}

std::string ExclusiveAccess::Holders(const std::string& /*path*/) {
    return {};
}

#else

#include <dirent.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Unix98 pseudo-terminal device sides (majors 136-143) and the legacy BSD ones (3).
bool IsPseudoTerminal(const struct stat& st) {
    const unsigned kind = major(st.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 3;
}

int LockNow(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// Locks on the file, from /proc/locks, whoever holds them: "1: FLOCK  ADVISORY  WRITE 4242
// 00:05:1234 0 EOF", with the file as the filesystem's major:minor in hex and the inode; a
// request still waiting carries "->" after the number.
void AddLockHolders(const struct stat& device, std::vector<long>& pids) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        fields >> number >> kind;
        if (kind == "->") continue;
        fields >> mode >> access >> pid >> file;
        unsigned fsMajor = 0, fsMinor = 0;
        unsigned long long inode = 0;
        if (!fields || std::sscanf(file.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &inode) != 3) {
            continue;
        }
        if (fsMajor == major(device.st_dev) && fsMinor == minor(device.st_dev) &&
            inode == device.st_ino && pid > 0) {
            pids.push_back(pid);
        }
    }
}

// Processes with a descriptor open on the device, as far as /proc lets this user see them.
void AddOpeners(const struct stat& device, std::vector<long>& pids) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    while (const dirent* process = ::readdir(proc)) {
        if (!IsNumber(process->d_name)) continue;
        const std::string fdDir = std::string("/proc/") + process->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (const dirent* fd = ::readdir(fds)) {
            if (!IsNumber(fd->d_name)) continue;
            struct stat target {};
            if (::stat((fdDir + "/" + fd->d_name).c_str(), &target) == 0 &&
                SameFile(target, device)) {
                pids.push_back(std::atol(process->d_name));
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
}

std::string ProcessName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "a process" : name;
}

}  // namespace

boost::system::error_code ExclusiveAccess::Claim(int fd) {
    Release();
    // A filesystem without locks leaves the device unlocked rather than unused.
    if (LockNow(fd, LOCK_EX) != 0 && errno == EWOULDBLOCK) {
        return boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy);
    }
    fd_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && !IsPseudoTerminal(st)) {
        exclusiveMode_ = ::ioctl(fd, TIOCEXCL) == 0;
    }
    return {};
}

void ExclusiveAccess::Release() {
    if (fd_ < 0) return;
    // Cleared by hand: another opener (root may open an exclusive terminal) would otherwise
    // keep it exclusive after this descriptor is closed.
    if (exclusiveMode_) ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    fd_ = -1;
    exclusiveMode_ = false;
}

bool ExclusiveAccess::LockedElsewhere(int fd) {
    if (LockNow(fd, LOCK_EX) == 0) {
        ::flock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

std::string ExclusiveAccess::Holders(const std::string& path) {
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0) return {};
    std::vector<long> pids;
    AddLockHolders(device, pids);
    AddOpeners(device, pids);

    std::string list;
    std::vector<long> named;
    for (long pid : pids) {
        if (std::find(named.begin(), named.end(), pid) != named.end()) continue;
        named.push_back(pid);
        if (!list.empty()) list += ", ";
        list += ProcessName(pid) + " (pid " + std::to_string(pid) + ")";
    }
    return list;
}

#endif
