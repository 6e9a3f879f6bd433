#pragma once

#include "foundation/Log.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// Shared pieces of the fuzz harnesses (tests/fuzz/*Fuzzer.cpp).
namespace FUZZ {

// A fuzz input holding several datagrams: each record is a big-endian
// 16-bit length and that many bytes; a last record shorter than its length
// takes what is left. One input then drives a whole exchange (register, then
// ask; prepare, then connect), and a crash reproduces from its input alone.
inline std::vector<std::span<const uint8_t>> splitRecords(const uint8_t* data, size_t size) {
    std::vector<std::span<const uint8_t>> records;
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t length = (size_t{data[at]} << 8) | data[at + 1];
        at += 2;
        const size_t taken = length < size - at ? length : size - at;
        records.emplace_back(data + at, taken);
        at += taken;
    }
    return records;
}

inline void appendRecord(std::vector<uint8_t>& input, std::span<const uint8_t> datagram) {
    const size_t length = datagram.size() > 0xFFFF ? 0xFFFF : datagram.size();
    input.push_back(static_cast<uint8_t>(length >> 8));
    input.push_back(static_cast<uint8_t>(length));
    input.insert(input.end(), datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(length));
}

// Where the code under test sends its answers while a harness runs: a socket
// on [::1] that nobody reads. Every fuzzed sender is this address, so no
// answer leaves the machine or reaches another program's port; once its
// receive buffer is full the kernel drops what arrives.
class AnswerDrop {
public:
    AnswerDrop() {
        VEMRA::SocketAddress local = VEMRA::SocketAddress::loopback(0);
        if (!socket.open(VEMRA::Socket::UdpV6Only) || !socket.bind(local, 0)) {
            std::fprintf(stderr, "fuzz harness: cannot bind a socket on [::1]\n");
            std::abort();
        }
        bound = local;
    }
    const VEMRA::SocketAddress& address() const { return bound; }

private:
    VEMRA::Socket socket;
    VEMRA::SocketAddress bound;
};

// A sender that is not ::1, for the paths that treat a Host differently from
// the process's own channels: ::ffff:127.0.0.1 at the drop's port. Answers go
// out on IPv6-only sockets, which cannot send to an IPv4-mapped address: the
// kernel refuses each such send, so nothing leaves the process.
inline VEMRA::SocketAddress remoteSender(const AnswerDrop& drop) {
    VEMRA::SocketAddress sender;
    sender.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    sender.setHostPort(drop.address().hostPort());
    return sender;
}

// Every log line is built (debug level, so the hex dumps run too); without a
// process logger none is shipped anywhere.
inline void logEverything() {
    VEMRA::setLogThreshold(VEMRA::kLogDebug);
}

// A file of the harness's own, rewritten for every input of the code that
// reads files: an anonymous in-memory file (memfd) reached through its
// /proc/self/fd path, so nothing lands on disk and a write costs no I/O.
class ScratchFile {
public:
    explicit ScratchFile(const char* name) : descriptor(::memfd_create(name, MFD_CLOEXEC)) {
        if (descriptor < 0) {
            std::fprintf(stderr, "fuzz harness: memfd_create failed\n");
            std::abort();
        }
        filePath = "/proc/self/fd/" + std::to_string(descriptor);
    }
    ~ScratchFile() { ::close(descriptor); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& write(const uint8_t* data, size_t size) {
        size_t done = 0;
        bool good = ::ftruncate(descriptor, 0) == 0;
        while (good && done < size) {
            const ssize_t count = ::pwrite(descriptor, data + done, size - done, static_cast<off_t>(done));
            good = count > 0;
            done += good ? static_cast<size_t>(count) : 0;
        }
        if (!good) {
            std::fprintf(stderr, "fuzz harness: cannot write the scratch file\n");
            std::abort();
        }
        return filePath;
    }

private:
    int descriptor;
    std::string filePath;
};

} // namespace FUZZ
