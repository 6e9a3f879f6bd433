#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes. `path` ends in '/' (empty when the
// directory could not be made).
class ScratchDir {
public:
    explicit ScratchDir(const char* prefix = "scratch") {
        std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path = pattern + "/";
        }
    }
    ~ScratchDir() {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ScratchDir(ScratchDir&&) = delete;
    ScratchDir& operator=(ScratchDir&&) = delete;

    // Creates (or truncates) a small file `name` inside; returns its full path.
    std::string touch(const std::string& name) const {
        const std::string full = path + name;
        std::ofstream(full) << "x";
        return full;
    }
    bool remove(const std::string& name) const {
        std::error_code error;
        return std::filesystem::remove(path + name, error);
    }

    std::string path;
};
