#pragma once

#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"
#include "foundation/SocketWaitSet.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <vector>

namespace VEMRA {

// A small single-threaded IPv6 TCP server: the listening socket plus accepted
// clients, all in one wait set that the owner waits on. It starts no thread;
// the owner's thread calls everything.
class TCPV6Server : public Socket {
public:
    // A connected client's socket plus a byte buffer for the owner's use.
    struct ClientSocket : Socket {
        std::vector<uint8_t> buffer;
    };

    struct Client {
        TCPV6Server* server = nullptr;
        std::unique_ptr<ClientSocket> socket; // null after detach
        SocketAddress peer;
    };

    // How long the listener is left unpolled after an accept failed for want
    // of resources (descriptors, memory).
    static constexpr uint64_t kAcceptPause = 1'000'000'000'000ULL; // 1 s in picoseconds

    explicit TCPV6Server(SocketWaitSet& waitSet);
    ~TCPV6Server();

    bool open(bool dualStack);
    // Binds, listens with a backlog of 1000 and joins the wait set.
    bool bind(SocketAddress& address);
    // At most `limit` clients (0: no limit); a client kept beyond it drops
    // the oldest.
    void setClientLimit(size_t limit) { clientLimit = limit; }
    // Accepts one pending connection when the listening socket is ready; the
    // callback decides whether the client is kept. Accepted sockets are
    // non-blocking, so a client that stops reading can never stall the owner.
    // An accept that fails for want of resources leaves the connection queued
    // and the listener readable: the listener then leaves the wait set for
    // kAcceptPause, and a later call after that puts it back, so the owner's
    // loop never spins on it.
    bool accept(const std::function<bool(Client&)>& callback);
    // Calls the callback for each ready client; false drops that client. The
    // callback may broadcast, detach, or even close the server.
    bool receive(const std::function<bool(Client&)>& callback);
    void broadcast(const void* bytes, size_t length);
    std::unique_ptr<ClientSocket> detach(Client& client);
    bool close();

    const std::list<Client>& clientList() const { return clients; }
    uint64_t count() const { return clientCount; }

private:
    void dropClient(Client& client);

    std::list<Client> clients;
    uint64_t clientCount = 0;
    size_t clientLimit = 0;
    SocketWaitSet& waitSet;
    // Set while the listener is out of the wait set after a failed accept:
    // the monotonic time (picoseconds) from which it is polled again.
    uint64_t pausedUntil = 0;
    // Bumped by close, so a walk over clients notices that a callback closed
    // the server under it.
    uint64_t closeCount = 0;
};

} // namespace VEMRA
