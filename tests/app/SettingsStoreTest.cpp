#include "app/SettingsStore.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A fresh directory under /tmp, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/settings-test-XXXXXX";
        const char* made = ::mkdtemp(name);
        EXPECT_NE(made, nullptr);
        root = made != nullptr ? made : "";
    }
    ~TempDir() {
        const std::string command = "rm -rf '" + root + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return root + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(root.c_str());
        if (dir == nullptr) {
            return names;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return names;
    }

private:
    std::string root;
};

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SettingsStore storeOf(const std::string& text) {
    SettingsStore store;
    EXPECT_TRUE(store.loadText(text));
    return store;
}

} // namespace

TEST(SettingsStoreTest, LineEndsAndByteOrderMarkReadAlike) {
    const std::string plain = "name=one\n[dac]\nSkip=enable\nrate = 44100\n";
    const std::string windows = "\xEF\xBB\xBFname=one\r\n[dac]\r\nSkip=enable\r\n\r\nrate = 44100\r\n";
    const std::string oldMac = "name=one\r[dac]\rSkip=enable\rrate = 44100";
    const SettingsStore reference = storeOf(plain);
    for (const std::string& text : {windows, oldMac}) {
        const SettingsStore store = storeOf(text);
        EXPECT_EQ(store.text(), reference.text());
    }
    EXPECT_EQ(reference.get("name"), "one");
    // The byte-order mark must not stick to the first key.
    EXPECT_EQ(storeOf(windows).get("name"), "one");
}

TEST(SettingsStoreTest, ForbiddenControlBytesRefuseTheWholeLoad) {
    TempDir dir;
    const std::string path = dir.file("s.inf");
    SettingsStore store;
    store.set("kept", "1");

    writeFile(path, "a=1\nb=\t2\n");
    EXPECT_FALSE(store.load(path));
    EXPECT_EQ(store.get("a"), "");
    EXPECT_EQ(store.get("kept"), "1");
    EXPECT_EQ(store.path(), "");

    writeFile(path, std::string("a=1\nb=2\x01\n"));
    EXPECT_FALSE(store.load(path));
    writeFile(path, std::string("a=1\0b=2\n", 8));
    EXPECT_FALSE(store.load(path));

    // TAB only where the caller allows it; bytes of multi-byte UTF-8 always pass.
    std::vector<std::string> lines;
    EXPECT_TRUE(SettingsStore::splitLines("a=\t1\nname=K\xC3\xBChl\x7F", true, lines));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "a=\t1");
    EXPECT_EQ(lines[1], "name=K\xC3\xBChl\x7F");

    writeFile(path, "a=1\nname=K\xC3\xBChl\n");
    EXPECT_TRUE(store.load(path));
    EXPECT_EQ(store.get("name"), "K\xC3\xBChl");
    EXPECT_EQ(store.path(), path);
}

TEST(SettingsStoreTest, MissingFileLoadsNothing) {
    TempDir dir;
    SettingsStore store;
    EXPECT_FALSE(store.load(dir.file("absent.inf")));
    EXPECT_FALSE(store.load(dir.file("")));
    EXPECT_TRUE(store.sections().empty());
}

TEST(SettingsStoreTest, ParsingTrimsSpacesAndSkipsCommentsAndJunk) {
    SettingsStore store = storeOf("   \n"
                                  "# comment=1\n"
                                  "; comment=2\n"
                                  "// comment=3\n"
                                  "  top = level  \n"
                                  "no equals sign\n"
                                  " = empty key\n"
                                  "[ main ]\n"
                                  "  key  =  a b  \n"
                                  "inner=x=y\n"
                                  "[broken\n"
                                  "after=broken\n"
                                  "[other]x\n");
    EXPECT_EQ(store.get("top"), "level");
    EXPECT_EQ(store.get("comment"), "");
    store.select("main");
    EXPECT_EQ(store.get("key"), "a b");
    EXPECT_EQ(store.get("inner"), "x=y");
    // Malformed headers are skipped: the lines after them stay in "main".
    EXPECT_EQ(store.get("after"), "broken");
    EXPECT_EQ(store.sections().size(), 2U);
    EXPECT_EQ(store.sections().count("main"), 1U);
    EXPECT_EQ(store.sections().at("global").size(), 1U);
}

TEST(SettingsStoreTest, TabLineWithTabsAllowed) {
    SettingsStore store;
    EXPECT_TRUE(store.loadText("[s]\n\tk\t=\tv\t\n", true));
    store.select("s");
    // Only the space character is trimmed.
    EXPECT_EQ(store.get("\tk\t"), "\tv\t");
}

TEST(SettingsStoreTest, LaterDuplicateWinsAndLoadsMerge) {
    SettingsStore store = storeOf("DSD48=enable\n[x]\nDSD48=other\n[global]\nDSD48=disable\n");
    EXPECT_EQ(store.get("DSD48"), "disable");
    const int32_t first = store.sections().at("global").at("DSD48").sequence;
    EXPECT_TRUE(store.loadText("DSD48=enable\nnew=1\n"));
    EXPECT_EQ(store.get("DSD48"), "enable");
    EXPECT_EQ(store.get("new"), "1");
    EXPECT_GT(store.sections().at("global").at("DSD48").sequence, first);
    store.select("x");
    EXPECT_EQ(store.get("DSD48"), "other");
}

TEST(SettingsStoreTest, SelectionWithParentSection) {
    SettingsStore store = storeOf("[card]\nonly=parent\n[card.1]\nown=child\n");
    store.select("card.1");
    EXPECT_EQ(store.get("own"), "child");
    // The parent is read only when the selected section does not exist.
    EXPECT_EQ(store.get("only"), "");
    store.select("card.2");
    EXPECT_EQ(store.get("only"), "parent");
    store.select("nothing");
    EXPECT_EQ(store.get("only"), "");
    store.select("");
    EXPECT_EQ(store.selectedName(), "global");
}

TEST(SettingsStoreTest, SetCreatesTheSelectedSectionAndReadsBack) {
    SettingsStore store;
    EXPECT_EQ(store.get("DSD48"), "");
    store.set("DSD48", "enable");
    EXPECT_EQ(store.get("DSD48"), "enable");
    store.setInt("AlsaLatency", -25);
    EXPECT_EQ(store.get("AlsaLatency"), "-25");
    EXPECT_EQ(store.getInt("AlsaLatency"), -25);
    store.select("dac");
    store.setInt("Big", 9000000000LL);
    EXPECT_EQ(store.getInt("Big"), 9000000000LL);
    EXPECT_EQ(store.getInt("DSD48"), 0);

    store.clear();
    EXPECT_TRUE(store.sections().empty());
    EXPECT_EQ(store.selectedName(), "dac");
    EXPECT_EQ(store.get("Big"), "");
    EXPECT_EQ(store.text(), "");
}

TEST(SettingsStoreTest, GetIntReadsLeadingDigitsOnly) {
    SettingsStore store = storeOf("a=12ms\nb=ms\nc= -7\nd=0x10\n");
    EXPECT_EQ(store.getInt("a"), 12);
    EXPECT_EQ(store.getInt("b"), 0);
    EXPECT_EQ(store.getInt("c"), -7);
    EXPECT_EQ(store.getInt("d"), 0);
}

TEST(SettingsStoreTest, SavedTextIsSortedWithCrLfAndNoEmptyValues) {
    EXPECT_EQ(storeOf("b=2\na=1\n").text(), "[global]\r\na=1\r\nb=2\r\n\r\n");

    SettingsStore store = storeOf("# kept nowhere\n"
                                  "zeta=last\n"
                                  "[USB Audio]\n"
                                  "Skip=enable\n"
                                  "gone=\n"
                                  "[Alpha]\n"
                                  "empty=\n");
    EXPECT_EQ(store.get("zeta"), "last");
    EXPECT_EQ(store.text(), "[Alpha]\r\n"
                            "\r\n"
                            "[USB Audio]\r\n"
                            "Skip=enable\r\n"
                            "\r\n"
                            "[global]\r\n"
                            "zeta=last\r\n"
                            "\r\n");

    TempDir dir;
    const std::string path = dir.file("quorvel_app_target_setting.inf");
    ASSERT_TRUE(store.save(path));
    EXPECT_EQ(readFile(path), store.text());
    // What was saved loads back; a section left with no values is gone.
    SettingsStore again;
    ASSERT_TRUE(again.load(path));
    EXPECT_EQ(again.text(), "[USB Audio]\r\nSkip=enable\r\n\r\n[global]\r\nzeta=last\r\n\r\n");
    EXPECT_EQ(dir.entries().size(), 1U);
}

TEST(SettingsStoreTest, SaveReplacesTheOldFileKeepingItsMode) {
    TempDir dir;
    const std::string path = dir.file("s.inf");
    writeFile(path, std::string(5000, 'x'));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    SettingsStore store = storeOf("a=1\n");
    ASSERT_TRUE(store.save(path));
    EXPECT_EQ(readFile(path), "[global]\r\na=1\r\n\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640U);

    // A store cleared to nothing saves an empty file: that is its content.
    store.clear();
    ASSERT_TRUE(store.save(path));
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(dir.entries().size(), 1U);
}

TEST(SettingsStoreTest, FailedWriteLeavesTheOldFileUntouched) {
    TempDir dir;
    const std::string path = dir.file("s.inf");
    const std::string old = "[global]\r\nTrgetName=Old\r\n\r\n";
    writeFile(path, old);

    SettingsStore store;
    store.set("TrgetName", "New");
    store.set("padding", std::string(4096, 'p'));

    // The disk fills up in the middle of the write. A file-size limit makes
    // write() fail with EFBIG even for root; it is set in a child process so
    // that this test process keeps its own limits.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(store.save(path) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "save reported success although the write failed";
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(dir.entries().size(), 1U) << "the temporary file was left behind";

    // The settings path is a directory: the rename cannot replace it.
    const std::string occupied = dir.file("occupied");
    ASSERT_EQ(::mkdir(occupied.c_str(), 0755), 0);
    writeFile(occupied + "/inside", "x");
    EXPECT_FALSE(store.save(occupied));
    EXPECT_EQ(readFile(occupied + "/inside"), "x");
    EXPECT_EQ(dir.entries().size(), 2U);

    // A path through a regular file: nothing can be created there.
    EXPECT_FALSE(store.save(path + "/s.inf"));
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(dir.entries().size(), 2U);
}
