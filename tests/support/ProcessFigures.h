#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

// Figures of a running process read from /proc, for tests that measure what
// a datagram costs the program: its CPU time and memory, and the UDP traffic
// of its network namespace. Each is nothing when the process is gone.

// User plus system CPU time, in milliseconds.
std::optional<uint64_t> cpuMilliseconds(pid_t pid);
// Resident memory (VmRSS), in kilobytes.
std::optional<uint64_t> residentKilobytes(pid_t pid);
// One counter of the process's namespace from /proc/<pid>/net/snmp6, such as
// "Udp6InDatagrams", "Udp6OutDatagrams" or "Ip6InOctets".
std::optional<uint64_t> snmp6Counter(pid_t pid, const std::string& name);
// The same for the network namespace of the calling thread.
std::optional<uint64_t> threadSnmp6Counter(const std::string& name);
