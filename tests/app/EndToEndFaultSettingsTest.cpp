// ctest-labels: threads e2e
// The settings file under a process killed while it saves: a child saves two
// texts in turn through SettingsStore and is killed with SIGKILL at random
// moments; whatever moment it was, the file holds one of the two texts whole.
#include "app/SettingsStore.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A store whose text is a few kilobytes, so that a partial write would show.
SettingsStore storeWith(char fill, int sections) {
    SettingsStore store;
    for (int i = 0; i < sections; ++i) {
        store.select("DAC " + std::to_string(i));
        store.set("Skip", fill == 'a' ? "enable" : "disable");
        store.set("Note", std::string(200, fill));
    }
    store.select("");
    store.set("TrgetName", std::string(1, fill) + "-target");
    return store;
}

std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(EndToEndFaultSettings, SaveKilledAtRandomMomentsLeavesTheOldOrTheNewTextWhole) {
    ScratchDir dir("quorvel-settings-kill");
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "quorvel_app_target_setting.inf";
    const SettingsStore first = storeWith('a', 12);
    const SettingsStore second = storeWith('b', 9);
    const std::string firstText = first.text();
    const std::string secondText = second.text();
    ASSERT_NE(firstText.size(), secondText.size());
    ASSERT_TRUE(first.save(path));

    std::mt19937 random(2024);
    for (int round = 0; round < 200; ++round) {
        const std::string before = readAll(path);
        const bool secondNext = before == firstText;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The text the file does not hold first, then both in turn, until killed.
            for (bool useSecond = secondNext;; useSecond = !useSecond) {
                if (!(useSecond ? second : first).save(path)) {
                    ::_exit(3);
                }
            }
        }
        // Every fourth round waits until the child has completed a save, so
        // that kills fall after completed saves too however slow the machine
        // (a sanitizer build, a forked child under ThreadSanitizer); the
        // others kill at a random moment, mostly in the middle of a save.
        if (round % 4 == 3) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            bool saved = false;
            while (!saved && std::chrono::steady_clock::now() < deadline) {
                saved = readAll(path) != before;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (!saved) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
                FAIL() << "round " << round << ": the child completed no save in 60 s";
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child stopped on its own, status " << status;

        const std::string now = readAll(path);
        ASSERT_TRUE(now == firstText || now == secondText)
            << "round " << round << ": the file holds " << now.size() << " bytes, neither text";
    }
}

} // namespace
