#include "app/Paths.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(PathsTest, DirectoryTextOperations) {
    struct Case {
        std::string in;
        bool changed;
        std::string out;
    };
    for (const Case& c : {Case{"", false, ""}, Case{"/a/b/", false, "/a/b/"}, Case{"/a/b/c", true, "/a/b/"},
                          Case{"/x", true, "/"}, Case{"name", true, ""}}) {
        std::string path = c.in;
        EXPECT_EQ(toDirectory(path), c.changed) << c.in;
        EXPECT_EQ(path, c.out) << c.in;
    }
    for (const Case& c :
         {Case{"/a/b/", true, "/a/"}, Case{"/a/", true, "/"}, Case{"/", false, "/"}, Case{"", false, ""},
          Case{"/a/b", false, "/a/b"}, Case{"a/b/", true, "a/"}, Case{"a/", true, ""}}) {
        std::string path = c.in;
        EXPECT_EQ(parentDirectory(path), c.changed) << c.in;
        EXPECT_EQ(path, c.out) << c.in;
    }
    EXPECT_EQ(joinPath("", "n"), "./n");
    EXPECT_EQ(joinPath("/d", "n"), "/d/n");
    EXPECT_EQ(joinPath("/d/", "n"), "/d/n");
}

TEST(PathsTest, ExistsAndKinds) {
    ScratchDir temp("paths");
    ASSERT_FALSE(temp.path.empty());
    const std::string file = temp.path + "file";
    temp.touch("file");
    const std::string dir = temp.path + "dir/";
    std::filesystem::create_directory(dir);

    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(exists(file + "/")) << "a trailing '/' is tried once more without it";
    EXPECT_TRUE(exists(dir));
    EXPECT_FALSE(exists(temp.path + "missing"));
    EXPECT_FALSE(exists(""));

    EXPECT_TRUE(existsAs(file, false));
    EXPECT_FALSE(existsAs(file, true));
    EXPECT_TRUE(existsAs(dir, true));
    EXPECT_TRUE(existsAs(temp.path + "dir", true));
    EXPECT_FALSE(existsAs(dir, false));
    EXPECT_TRUE(existsAs("/", true));
    EXPECT_FALSE(existsAs(temp.path + "missing", false));
    EXPECT_FALSE(existsAs(temp.path + "missing/", true));
}

TEST(PathsTest, FindUpwardWalksToTheTopAndKeepsDirOnFailure) {
    ScratchDir temp("paths");
    ASSERT_FALSE(temp.path.empty());
    const std::string deep = temp.path + "a/b/c/";
    std::filesystem::create_directories(deep);
    temp.touch("a/marker");

    std::string dir = deep;
    EXPECT_TRUE(findUpward(dir, "marker"));
    EXPECT_EQ(dir, temp.path + "a/marker");

    dir = temp.path + "a/b/c"; // no trailing '/'
    EXPECT_TRUE(findUpward(dir, "marker"));
    EXPECT_EQ(dir, temp.path + "a/marker");

    dir = deep;
    EXPECT_FALSE(findUpward(dir, "no-such-entry-anywhere-7c1f"));
    EXPECT_EQ(dir, deep);
}

TEST(PathsTest, ExecutableAndSettingsPath) {
    const std::string self = executablePath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self.front(), '/');
    EXPECT_TRUE(existsAs(self, false));
    EXPECT_EQ(std::filesystem::path(self).filename(), "PathsTest");

    std::string dir = self;
    ASSERT_TRUE(toDirectory(dir));
    EXPECT_EQ(settingsFilePath(), dir + "quorvel_app_target_setting.inf");
}

} // namespace
