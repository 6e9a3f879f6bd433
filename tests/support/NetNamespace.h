#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A network namespace of the test's own. It has no name and no mount: it
// exists while this object holds its descriptor (and while sockets or threads
// made inside it live), so nothing is left behind even when a test crashes.
// Needs CAP_SYS_ADMIN.
class NetNamespace {
public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool isValid() const { return fd != -1; }
    // Runs `body` on a thread that has entered the namespace and joins it.
    // Sockets it opens and threads it starts belong to the namespace for good.
    bool run(const std::function<void()>& body) const;
    // Runs a program inside the namespace and waits for it; true on exit status 0.
    bool command(const std::vector<std::string>& arguments) const;
    // A path by which another process can open this namespace.
    std::string path() const;
    // An interface's index inside the namespace, 0 when there is none.
    uint32_t interfaceIndex(const std::string& name) const;

private:
    int fd = -1;
};

// Two namespaces joined by a veth pair: "qt" (fe80::a) in `target`, "qh"
// (fe80::b) in `host`, both up without duplicate-address detection, loopback up.
struct VethNamespaces {
    static constexpr const char* kTargetInterface = "qt";
    static constexpr const char* kHostInterface = "qh";
    static constexpr const char* kTargetAddress = "fe80::a";
    static constexpr const char* kHostAddress = "fe80::b";

    NetNamespace target;
    NetNamespace host;

    // Builds the link; false (with the reason in `failure`) when any step failed.
    bool setUp(std::string& failure);
};

bool runningAsRoot();
