#include "app/DacSkip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

SettingsStore storeOf(const std::string& text) {
    SettingsStore store;
    EXPECT_TRUE(store.loadText(text));
    return store;
}

} // namespace

TEST(DacSkipTest, SectionNameInsideTheDacNameWithSkipEnable) {
    const SettingsStore store = storeOf("[USB Audio]\nSkip=enable\n");
    EXPECT_TRUE(dacSkipped(store, "USB Audio"));
    EXPECT_TRUE(dacSkipped(store, "Generic USB Audio Device"));
    EXPECT_FALSE(dacSkipped(store, "usb audio"));
    EXPECT_FALSE(dacSkipped(store, "USB  Audio"));
    EXPECT_FALSE(dacSkipped(store, "HDA Intel PCH"));
    EXPECT_FALSE(dacSkipped(store, ""));
}

TEST(DacSkipTest, AnEmptySectionNameNamesNoDac) {
    // An empty name occurs in every name; it must not skip every DAC.
    EXPECT_FALSE(dacSkipped(storeOf("[]\nSkip=enable\n"), "USB DAC"));
    EXPECT_FALSE(dacSkipped(storeOf("[  ]\nSkip=enable\n"), "USB DAC"));
    EXPECT_TRUE(dacSkipped(storeOf("[]\nSkip=enable\n[DAC]\nSkip=enable\n"), "USB DAC"));
}

TEST(DacSkipTest, OnlyTheExactValueEnableSkips) {
    EXPECT_FALSE(dacSkipped(storeOf("[USB]\nSkip=Enable\n"), "USB DAC"));
    EXPECT_FALSE(dacSkipped(storeOf("[USB]\nSkip=yes\n"), "USB DAC"));
    EXPECT_FALSE(dacSkipped(storeOf("[USB]\nskip=enable\n"), "USB DAC"));
    EXPECT_FALSE(dacSkipped(storeOf("[USB]\nSkip=enable\nSkip=disable\n"), "USB DAC"));
    EXPECT_FALSE(dacSkipped(storeOf("[Other]\nSkip=enable\n[USB]\nSkip=disable\n"), "USB DAC"));
    EXPECT_TRUE(dacSkipped(storeOf("[Other]\nSkip=disable\n[DAC]\nSkip=enable\n"), "USB DAC"));
    // A plain "Skip=enable" lands in "global", which names no DAC.
    EXPECT_FALSE(dacSkipped(storeOf("Skip=enable\n"), "USB DAC"));
}

TEST(DacSkipTest, ReadsTheSettingsFile) {
    char dir[] = "/tmp/dacskip-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/quorvel_app_target_setting.inf";
    EXPECT_FALSE(dacSkippedByFile(path, "USB Audio"));
    {
        std::ofstream out(path, std::ios::binary);
        out << "\xEF\xBB\xBF[ USB Audio ]\r\nSkip = enable\r\n";
    }
    EXPECT_TRUE(dacSkippedByFile(path, "Topping USB Audio 2.0"));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "[USB Audio]\nSkip=enable\t\n";
    }
    // A file the store refuses skips nothing.
    EXPECT_FALSE(dacSkippedByFile(path, "Topping USB Audio 2.0"));
    std::remove(path.c_str());
    ::rmdir(dir);
}
