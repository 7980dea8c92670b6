#include "serial/DevicePath.hpp"

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#ifdef _WIN32

std::string DevicePath(const std::string& portName) {
    return "\\\\.\\" + portName;
}

std::string DevicePathUnder(const std::string& /*root*/, const std::string& portName) {
    return DevicePath(portName);
}

#else

namespace {

bool Exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool EqualIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// The one entry of directory that equals name apart from case; empty when there is none or
// more than one.
std::string UniqueMatch(const std::string& directory, const std::string& name) {
    DIR* dir = ::opendir(directory.empty() ? "/" : directory.c_str());
    if (dir == nullptr) return {};
    std::string match;
    int matches = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (EqualIgnoringCase(name, entry->d_name)) {
            match = entry->d_name;
            ++matches;
        }
    }
    ::closedir(dir);
    return matches == 1 ? match : std::string();
}

// path is absolute below root (root itself without a trailing slash, empty for "/"). As written
// when it exists; else each component that does not exist as written is replaced by its unique
// case-insensitive match, and if any component has none, the path is returned as given.
std::string ResolveAbsolute(const std::string& root, const std::string& path) {
    const std::string given = root + path;
    if (Exists(given)) return given;

    std::string resolved = root;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (component == "." || component == ".." || Exists(resolved + "/" + component)) {
            resolved += "/" + component;
            continue;
        }
        const std::string match = UniqueMatch(resolved, component);
        if (match.empty()) return given;
        resolved += "/" + match;
    }
    return resolved;
}

// "COMn" with n from 1: the number, else 0.
unsigned long ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12 || !EqualIgnoringCase(name.substr(0, 3), "com")) {
        return 0;
    }
    unsigned long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        n = n * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    return n;
}

}  // namespace

std::string DevicePathUnder(const std::string& root, const std::string& portName) {
    if (portName.empty()) return portName;
    std::string base = root;
    while (!base.empty() && base.back() == '/')
        base.pop_back();

    // A path is opened exactly as typed: another device may differ from it only in case.
    if (portName.front() == '/') return base + portName;
    // The convention other Unix tools follow: COM1 is the first on-board port.
    if (unsigned long n = ComNumber(portName)) return base + "/dev/ttyS" + std::to_string(n - 1);
    return ResolveAbsolute(base, "/dev/" + portName);
}

std::string DevicePath(const std::string& portName) {
    return DevicePathUnder("/", portName);
}

#endif
