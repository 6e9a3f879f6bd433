#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The settings file's section/key/value store: an INI-style text of
// "[section]" headers and "key=value" lines. Readers build a store, load the
// file, read and drop it; the host-facing target keeps one and writes it back.
// A plain value object, used by one thread at a time.
class SettingsStore {
public:
    struct Entry {
        std::string value;
        int32_t sequence = 0; // the store's running count when the value was taken in
    };
    using Section = std::map<std::string, Entry>;
    using Sections = std::map<std::string, Section>;

    // Reads the whole file and merges its lines into the store. A file that
    // cannot be read, or holds a control byte other than CR and LF (and TAB
    // when `allowTab`), leaves the store unchanged and gives false.
    bool load(const std::string& path, bool allowTab = false);
    // The same for text already in memory (no path is remembered).
    bool loadText(std::string_view text, bool allowTab = false);

    // An empty name selects "global". "a.b" reads from "a.b", falling back to
    // its parent section "a" only when "a.b" does not exist.
    void select(const std::string& name);
    std::string get(const std::string& key) const;
    // strtoll base 10 of get(key); 0 when absent.
    int64_t getInt(const std::string& key) const;
    // Store into the section named by the selection, creating it when missing.
    void set(const std::string& key, const std::string& value);
    void setInt(const std::string& key, int64_t number);
    // Drops every section; the selected name stays.
    void clear();

    // The whole store as the file's text: sections and keys in ascending
    // order, keys with empty values left out, CR LF line ends, an empty line
    // after each section.
    std::string text() const;
    // Replaces the file at `path` with text() through a temporary file in the
    // same directory, synced to disk and renamed over the old file, so a
    // failed save leaves the previous file as it was.
    bool save(const std::string& path) const;
    // Removes what saves of the file at `path` left behind when the process
    // was killed between writing the temporary file and renaming it: regular
    // files of this user beside it named as save() names its temporaries (the
    // file's name, a dot and six letters or digits), nothing else. Returns
    // the paths removed. Only while no save of that file can be under way.
    static std::vector<std::string> removeStaleTemporaries(const std::string& path);

    const Sections& sections() const { return sectionMap; }
    const std::string& selectedName() const { return currentName; }
    const std::string& path() const { return loadedPath; }

    // Splits file text into non-empty lines. Returns false when a forbidden
    // control byte was met (the byte is dropped and splitting goes on).
    static bool splitLines(std::string_view text, bool allowTab, std::vector<std::string>& lines);

private:
    void parseLines(const std::vector<std::string>& lines);
    void store(const std::string& section, const std::string& key, const std::string& value);
    const Section* findSection(const std::string& name) const;

    Sections sectionMap;
    int32_t sequence = 0;
    // The selection is kept by name and looked up on every read, so a section
    // created after select() (by set() or a later load) is seen at once.
    std::string currentName = "global";
    std::string parentName;
    bool hasParent = false;
    std::string loadedPath;
};
