#pragma once

#include <string>

// Path helpers for files kept beside the executable. Pure text operations
// except executablePath, exists, existsAs and findUpward, which ask the system.

inline constexpr const char* kSettingsFileName = "quorvel_app_target_setting.inf";

// The running executable's full path, or "" when it cannot be read whole.
std::string executablePath();
// Cuts `path` after its last '/'. An empty path or one ending in '/' is left
// alone (false); a path without '/' becomes "".
bool toDirectory(std::string& path);
// For a directory path ending in '/', drops its last component and keeps the
// '/' before it ("/a/b/" -> "/a/", "a/" -> ""). False when there is none ("/", "").
bool parentDirectory(std::string& path);
// `dir` + '/' (when missing) + `name`; an empty `dir` means "./".
std::string joinPath(const std::string& dir, const std::string& name);
// stat succeeds; a path ending in '/' is tried once more without it.
bool exists(const std::string& path);
// stat succeeds and the entry is a directory exactly when `wantDirectory`.
bool existsAs(const std::string& path, bool wantDirectory);
// Looks for `name` in `dir` and each directory above it; on success `dir`
// becomes the found path, otherwise it is left unchanged.
bool findUpward(std::string& dir, const std::string& name);
// The settings file beside the executable.
std::string settingsFilePath();
