#include "app/SettingsStore.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::string_view kGlobal = "global";

std::string_view trimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

// Owns one descriptor; closes it on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    [[nodiscard]] int get() const { return fd; }
    [[nodiscard]] bool valid() const { return fd >= 0; }
    // Closes now and tells whether the close succeeded (a late write error
    // can show up only here).
    bool close() {
        const int old = fd;
        fd = -1;
        return old < 0 || ::close(old) == 0;
    }

private:
    void reset() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int fd;
};

bool readWholeFile(const std::string& path, std::string& contents) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    contents.clear();
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (count == 0) {
            return true;
        }
        contents.append(buffer.data(), static_cast<size_t>(count));
    }
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(count));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

} // namespace

bool SettingsStore::splitLines(std::string_view text, bool allowTab, std::vector<std::string>& lines) {
    if (text.size() >= 3 && static_cast<uint8_t>(text[0]) == 0xEF && static_cast<uint8_t>(text[1]) == 0xBB &&
        static_cast<uint8_t>(text[2]) == 0xBF) {
        text.remove_prefix(3);
    }
    bool good = true;
    std::string line;
    for (const char character : text) {
        const auto byte = static_cast<uint8_t>(character);
        if (byte == '\r' || byte == '\n') {
            if (!line.empty()) {
                lines.push_back(std::move(line));
                line.clear();
            }
        } else if (byte >= 32 || (byte == '\t' && allowTab)) {
            line.push_back(character);
        } else {
            good = false;
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return good;
}

bool SettingsStore::load(const std::string& path, bool allowTab) {
    std::string contents;
    if (!readWholeFile(path, contents)) {
        return false;
    }
    if (!loadText(contents, allowTab)) {
        return false;
    }
    loadedPath = path;
    return true;
}

bool SettingsStore::loadText(std::string_view text, bool allowTab) {
    std::vector<std::string> lines;
    if (!splitLines(text, allowTab, lines)) {
        return false;
    }
    parseLines(lines);
    return true;
}

void SettingsStore::parseLines(const std::vector<std::string>& lines) {
    std::string section(kGlobal);
    for (const std::string& raw : lines) {
        const std::string_view line = trimSpaces(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';' || line.starts_with("//")) {
            continue;
        }
        if (line.front() == '[') {
            if (line.size() >= 2 && line.back() == ']') {
                section = std::string(trimSpaces(line.substr(1, line.size() - 2)));
            }
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimSpaces(line.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        store(section, std::string(key), std::string(trimSpaces(line.substr(equals + 1))));
    }
    select(currentName);
}

void SettingsStore::store(const std::string& section, const std::string& key, const std::string& value) {
    // Wraps instead of overflowing; the count only orders entries.
    sequence = static_cast<int32_t>(static_cast<uint32_t>(sequence) + 1U);
    Entry& entry = sectionMap[section][key];
    entry.value = value;
    entry.sequence = sequence;
}

void SettingsStore::select(const std::string& name) {
    currentName = name.empty() ? std::string(kGlobal) : name;
    const size_t dot = currentName.find('.');
    hasParent = dot != std::string::npos;
    parentName = hasParent ? currentName.substr(0, dot) : std::string();
}

const SettingsStore::Section* SettingsStore::findSection(const std::string& name) const {
    const auto found = sectionMap.find(name);
    return found == sectionMap.end() ? nullptr : &found->second;
}

std::string SettingsStore::get(const std::string& key) const {
    const Section* section = findSection(currentName);
    if (section == nullptr && hasParent) {
        section = findSection(parentName);
    }
    if (section == nullptr) {
        return {};
    }
    const auto found = section->find(key);
    return found == section->end() ? std::string() : found->second.value;
}

int64_t SettingsStore::getInt(const std::string& key) const {
    const std::string value = get(key);
    return std::strtoll(value.c_str(), nullptr, 10);
}

void SettingsStore::set(const std::string& key, const std::string& value) {
    store(currentName, key, value);
}

void SettingsStore::setInt(const std::string& key, int64_t number) {
    set(key, std::to_string(number));
}

void SettingsStore::clear() {
    sectionMap.clear();
    sequence = 0;
}

std::string SettingsStore::text() const {
    std::string out;
    for (const auto& [name, section] : sectionMap) {
        out += '[';
        out += name;
        out += "]\r\n";
        for (const auto& [key, entry] : section) {
            if (!entry.value.empty()) {
                out += key;
                out += '=';
                out += entry.value;
                out += "\r\n";
            }
        }
        out += "\r\n";
    }
    return out;
}

// What mkostemp turns the pattern's six X into.
constexpr size_t kTemporarySuffix = 6;

bool SettingsStore::save(const std::string& path) const {
    const std::string contents = text();
    const std::string directory = directoryOf(path);
    std::string temporary = path + "." + std::string(kTemporarySuffix, 'X');
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    // Keep the old file's permissions; a new file gets the usual 0644.
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    const bool written = ::fchmod(file.get(), mode) == 0 && writeAll(file.get(), contents) &&
                         ::fsync(file.get()) == 0 && file.close();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename is durable only once the directory entry is on disk; the new
    // contents are complete either way, so a failure here is not reported.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) {
        ::fsync(dir.get());
    }
    return true;
}

std::vector<std::string> SettingsStore::removeStaleTemporaries(const std::string& path) {
    std::vector<std::string> removed;
    const size_t slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    const std::string directory = directoryOf(path);
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() != prefix.size() + kTemporarySuffix || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        bool pattern = true;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            const char c = name[i];
            pattern = pattern && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
        }
        const std::string full = entry->path().string();
        struct stat info {};
        if (!pattern || ::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid()) {
            continue;
        }
        if (::unlink(full.c_str()) == 0) {
            removed.push_back(full);
        }
    }
    return removed;
}
