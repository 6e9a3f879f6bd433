#pragma once

#include "foundation/Clock.h"
#include "host/HostClient.h"
#include "host/HostSocket.h"
#include "protocol/Target.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A clock the test moves by hand; the Target reads it on its own thread.
class ManualClock {
public:
    static constexpr uint64_t kStart = 1000 * VEMRA::kPicosecondsPerSecond;

    uint64_t now() const { return value.load(std::memory_order_acquire); }
    void advance(uint64_t picoseconds) { value.fetch_add(picoseconds, std::memory_order_acq_rel); }
    std::function<uint64_t()> function() {
        return [this] { return now(); };
    }

private:
    std::atomic<uint64_t> value{kStart};
};

// The set of "local link-local addresses" a Target under test sees; the test
// changes it while the Target scans it from its own thread.
class AddressList {
public:
    void add(const VEMRA::SocketAddress& address);
    void setFailing(bool failing);
    QUORVEL::Target::AddressSource source();

private:
    std::mutex mutex;
    std::map<VEMRA::SocketAddress, std::string> addresses;
    bool failing = false;
};

// Receives syslog datagrams on its own [::1] port and keeps their bodies.
// Belongs to the test thread.
class LogListener {
public:
    LogListener();
    uint16_t port() const { return socket.localPort(); }
    // Receives until a line containing `text` arrives or `timeout` passes.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout);
    // Receives whatever arrives within `quiet`.
    void drain(std::chrono::milliseconds quiet);
    // Lines received so far that contain `text`.
    size_t count(const std::string& text) const;
    const std::vector<std::string>& lines() const { return received; }

private:
    QUORVEL::HostSocket socket;
    std::vector<std::string> received;
};

// Points the process logger at a LogListener for the lifetime of this
// object, with debug lines on.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    LogListener capture;
};

// A Target with loopback-only defaults for tests: system-chosen discovery and
// relay ports, a short pass time-out, no real interfaces scanned, the worker
// in the normal class.
QUORVEL::Target::Config loopbackConfig(ManualClock* clock = nullptr, AddressList* addresses = nullptr);

// A TargetInfo with texts and flags that make every answer distinguishable.
QUORVEL::TargetInfo sampleInfo();

// A sink control or status channel of the same process: a socket on [::1]
// that announces itself to the Target.
class FakeChannel {
public:
    explicit FakeChannel(uint16_t targetPort);
    uint16_t port() const { return socket.localPort(); }
    bool portRegist(uint16_t key0, uint16_t key1, const std::string& name, bool busy = false);
    bool statusRegist(uint16_t key, uint16_t kindWord, uint16_t word3, const QUORVEL::Block& block,
                      const std::string& name, bool busy = false);
    QUORVEL::HostSocket& channel() { return socket; }

private:
    QUORVEL::HostSocket socket;
    VEMRA::SocketAddress target;
};

// A client on [::1] talking to the Target's discovery port. On a machine
// busy with other tests an answer can be seconds late (loopbackConfig keeps
// the worker out of the idle class, where it might not run at all); an
// answered request returns at once, so the long wait costs only a test that
// fails anyway.
QUORVEL::HostClient loopbackClient(const QUORVEL::Target& target,
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Waits until `condition` holds or `timeout` passes (polling every few ms).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
