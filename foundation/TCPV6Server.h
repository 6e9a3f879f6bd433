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

    explicit TCPV6Server(SocketWaitSet& waitSet);
    ~TCPV6Server();

    bool open(bool dualStack);
    // Binds, listens with a backlog of 1000 and joins the wait set.
    bool bind(SocketAddress& address);
    // Accepts one pending connection when the listening socket is ready; the
    // callback decides whether the client is kept. Accepted sockets are
    // non-blocking, so a client that stops reading can never stall the owner.
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
    SocketWaitSet& waitSet;
    // Bumped by close, so a walk over clients notices that a callback closed
    // the server under it.
    uint64_t closeCount = 0;
};

} // namespace VEMRA
