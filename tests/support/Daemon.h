#pragma once

#include "support/NetNamespace.h"
#include "support/ScratchDir.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The program as a process of its own inside a network namespace of the
// test, as it runs in production: a copy of the executable in a scratch
// directory, with the settings file and the icons beside it. Its standard
// output (the log) and standard error go to files in that directory. The
// process inherits the test's environment (ALSA_CONFIG_PATH of a FakeAlsa,
// the sanitizers' options). Belongs to the test thread.
class Daemon {
public:
    static constexpr const char* kSettingsFile = "quorvel_app_target_setting.inf";

    // `program`: the full path of a built executable.
    explicit Daemon(const std::string& program);
    // Kills the process by its pid if it still runs, and reaps it.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // False when the copy could not be made.
    bool ready() const { return copied; }
    // Ends in '/'.
    const std::string& directory() const { return dir.path; }
    std::string settingsPath() const { return dir.path + kSettingsFile; }
    bool writeFile(const std::string& name, const std::string& text) const;
    std::string readFile(const std::string& name) const;

    // Starts the copy with `arguments` from a thread inside `space`; again
    // once the previous process has exited.
    bool start(const NetNamespace& space, const std::vector<std::string>& arguments = {});
    pid_t pid() const { return child; }
    // The exit status once the process has exited normally, within `timeout`;
    // nothing while it still runs (or when a signal ended it).
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    bool hasExited();
    // SIGKILL by pid, then reap. Safe to call at any time.
    void kill();

    std::string output() const;
    std::string errors() const;
    // Waits until the output holds `text` at least `times` times.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) const;
    size_t countOutput(const std::string& text) const;
    // Standard error with anything a sanitizer reported; empty when clean.
    std::string sanitizerReport() const;

private:
    bool reap(bool block);

    ScratchDir dir{"quorvel-daemon"};
    std::string executable;
    bool copied = false;
    pid_t child = -1;
    bool exited = false;
    int status = 0;
};
