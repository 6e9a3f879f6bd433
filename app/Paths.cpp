#include "app/Paths.h"

#include <array>
#include <sys/stat.h>
#include <unistd.h>

std::string executablePath() {
    std::array<char, 2049> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    // A link that fills the buffer may have been cut short; a cut path would
    // name some other directory, so treat it as unreadable.
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size() - 1) {
        return {};
    }
    return std::string(buffer.data());
}

bool toDirectory(std::string& path) {
    if (path.empty() || path.back() == '/') {
        return false;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        path.clear();
    } else {
        path.resize(slash + 1);
    }
    return true;
}

bool parentDirectory(std::string& path) {
    if (path.empty() || path.back() != '/') {
        return false;
    }
    const size_t end = path.size() - 1;
    if (end == 0) {
        return false;
    }
    const size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        path.clear();
    } else {
        path.resize(slash + 1);
    }
    return true;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return "./" + name;
    }
    if (dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

bool exists(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return true;
    }
    if (path.size() > 1 && path.back() == '/') {
        return ::stat(path.substr(0, path.size() - 1).c_str(), &info) == 0;
    }
    return false;
}

bool existsAs(const std::string& path, bool wantDirectory) {
    std::string probe = path;
    // "/" keeps its slash: without it there would be nothing left to stat.
    if (wantDirectory && probe.size() > 1 && probe.back() == '/') {
        probe.pop_back();
    }
    struct stat info {};
    if (::stat(probe.c_str(), &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) == wantDirectory;
}

bool findUpward(std::string& dir, const std::string& name) {
    std::string current = dir;
    if (!current.empty() && current.back() != '/') {
        current += '/';
    }
    while (true) {
        const std::string candidate = joinPath(current, name);
        if (exists(candidate)) {
            dir = candidate;
            return true;
        }
        if (!parentDirectory(current)) {
            return false;
        }
    }
}

std::string settingsFilePath() {
    std::string dir = executablePath();
    toDirectory(dir);
    return dir + kSettingsFileName;
}
