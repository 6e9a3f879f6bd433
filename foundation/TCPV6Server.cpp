#include "foundation/TCPV6Server.h"

#include "foundation/Clock.h"

#include <cerrno>

namespace VEMRA {

namespace {

constexpr uint32_t kServerBufferSize = 16384;
constexpr int kBacklog = 1000;

// Failures that concern one connection only (reset before it was taken, or a
// signal): the listener is not left readable by them.
bool passing(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR;
}

} // namespace

TCPV6Server::TCPV6Server(SocketWaitSet& waitSet) : waitSet(waitSet) {}

TCPV6Server::~TCPV6Server() {
    close();
}

bool TCPV6Server::open(bool dualStack) {
    close();
    setReceiveBufferSize(kServerBufferSize);
    return Socket::open(dualStack ? TcpDualStack : TcpV6Only);
}

bool TCPV6Server::bind(SocketAddress& address) {
    if (!Socket::bind(address, kBacklog)) {
        return false;
    }
    // A connection that is reset between the wait and accept must not leave
    // accept blocking the owner's loop.
    if (!setBlocking(false)) {
        return false;
    }
    return waitSet.add(*this);
}

bool TCPV6Server::accept(const std::function<bool(Client&)>& callback) {
    if (pausedUntil != 0) {
        if (clockCompare(clockNow(), pausedUntil) < 0) {
            return true;
        }
        pausedUntil = 0;
        return waitSet.add(*this);
    }
    if (!waitSet.isReady(*this)) {
        return true;
    }
    // A one-record list: the record is spliced into clients unchanged, so the
    // reference the callback saw stays valid.
    std::list<Client> pending(1);
    Client& client = pending.front();
    client.server = this;
    client.socket = std::make_unique<ClientSocket>();
    client.socket->setReceiveBufferSize(receiveBufferSize());
    if (!Socket::accept(*client.socket, client.peer)) {
        if (!passing(error())) {
            waitSet.remove(*this);
            pausedUntil = clockNow() + kAcceptPause;
        }
        return false;
    }
    if (!client.socket->setBlocking(false)) {
        return false;
    }
    if (!callback(client)) {
        client.socket->shutdown();
        client.socket->close();
        return true;
    }
    if (client.socket) {
        waitSet.add(*client.socket);
    }
    clients.splice(clients.end(), pending);
    ++clientCount;
    if (clientLimit != 0 && clientCount > clientLimit) {
        dropClient(clients.front());
        clients.pop_front();
        --clientCount;
    }
    return true;
}

bool TCPV6Server::receive(const std::function<bool(Client&)>& callback) {
    const uint64_t closesBefore = closeCount;
    for (auto it = clients.begin(); it != clients.end();) {
        if (!it->socket || !waitSet.isReady(*it->socket)) {
            ++it;
            continue;
        }
        const bool keep = callback(*it);
        if (closeCount != closesBefore) {
            return true; // the callback closed the server; the list is gone
        }
        if (keep) {
            ++it;
            continue;
        }
        dropClient(*it);
        it = clients.erase(it);
        --clientCount;
    }
    return true;
}

void TCPV6Server::broadcast(const void* bytes, size_t length) {
    for (Client& client : clients) {
        if (client.socket) {
            (void)client.socket->send(bytes, length);
        }
    }
}

std::unique_ptr<TCPV6Server::ClientSocket> TCPV6Server::detach(Client& client) {
    if (client.socket) {
        waitSet.remove(*client.socket);
    }
    return std::move(client.socket);
}

bool TCPV6Server::close() {
    ++closeCount;
    for (Client& client : clients) {
        dropClient(client);
    }
    clients.clear();
    clientCount = 0;
    pausedUntil = 0;
    if (isOpen()) {
        waitSet.remove(*this);
    }
    return Socket::close();
}

void TCPV6Server::dropClient(Client& client) {
    if (!client.socket) {
        return;
    }
    waitSet.remove(*client.socket);
    client.socket->shutdown();
    client.socket->close();
    client.socket.reset();
}

} // namespace VEMRA
