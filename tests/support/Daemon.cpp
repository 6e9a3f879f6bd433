#include "support/Daemon.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

Daemon::Daemon(const std::string& program) {
    if (dir.path.empty()) {
        return;
    }
    executable = dir.path + std::filesystem::path(program).filename().string();
    std::error_code error;
    copied = std::filesystem::copy_file(program, executable, error) && !error;
}

Daemon::~Daemon() {
    kill();
}

bool Daemon::writeFile(const std::string& name, const std::string& text) const {
    std::ofstream file(dir.path + name, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

std::string Daemon::readFile(const std::string& name) const {
    std::ifstream file(dir.path + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Daemon::start(const NetNamespace& space, const std::vector<std::string>& arguments) {
    if (!copied || (child != -1 && !hasExited())) {
        return false;
    }
    std::vector<std::string> words = {executable};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string out = dir.path + "stdout.txt";
    const std::string err = dir.path + "stderr.txt";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t spawned = -1;
    int failure = -1;
    // The child is born in the namespace of the thread that spawns it.
    const bool entered = space.run([&] {
        failure = posix_spawn(&spawned, executable.c_str(), &actions, nullptr, argv.data(), environ);
    });
    posix_spawn_file_actions_destroy(&actions);
    if (!entered || failure != 0) {
        return false;
    }
    child = spawned;
    exited = false;
    return true;
}

bool Daemon::reap(bool block) {
    if (child == -1 || exited) {
        return exited;
    }
    int value = 0;
    pid_t done;
    do {
        done = ::waitpid(child, &value, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == child) {
        exited = true;
        status = value;
    }
    return exited;
}

bool Daemon::hasExited() {
    return reap(false);
}

std::optional<int> Daemon::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        if (child == -1 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

void Daemon::kill() {
    if (child == -1 || reap(false)) {
        return;
    }
    ::kill(child, SIGKILL);
    reap(true);
}

std::string Daemon::output() const {
    return readFile("stdout.txt");
}

std::string Daemon::errors() const {
    return readFile("stderr.txt");
}

size_t Daemon::countOutput(const std::string& text) const {
    const std::string all = output();
    size_t count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool Daemon::waitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t times) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (countOutput(text) < times) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string Daemon::sanitizerReport() const {
    const std::string all = errors();
    for (const char* mark : {"Sanitizer", "runtime error:"}) {
        if (all.find(mark) != std::string::npos) {
            return all;
        }
    }
    return {};
}
