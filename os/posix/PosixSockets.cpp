// Sockets on POSIX: IPv4 TCP over BSD sockets.
//
// Every send carries MSG_NOSIGNAL: a server that closes the connection while we still send
// makes the send fail with EPIPE instead of ending the program with SIGPIPE.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/OsBackEnd.h"

namespace {
int Descriptor(OsSocket socket) {
    return static_cast<int>(socket);
}

// After an interrupted connect the connection goes on being made; wait for its outcome.
bool FinishInterruptedConnect(int fd) {
    for (;;) {
        struct pollfd done = {fd, POLLOUT, 0};
        const int ready = poll(&done, 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return false;
        return error == 0;
    }
}

class PosixSockets : public OsSocketApi {
  public:
    bool StartSockets() override { return true; }  // nothing to start

    OsSocket OpenSocket() override {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        return fd < 0 ? OS_INVALID_SOCKET : static_cast<OsSocket>(fd);
    }

    // getaddrinfo is safe to call from any thread, unlike the older look-ups.
    bool ResolveHost(const char* host, uint32_t* address) override {
        if (host == nullptr || host[0] == '\0' || address == nullptr)
            return false;
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        struct addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
            return false;
        bool resolved = false;
        for (const struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
                entry->ai_addrlen < sizeof(struct sockaddr_in)) {
                continue;
            }
            struct sockaddr_in ipv4;
            memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
            *address = ipv4.sin_addr.s_addr;
            resolved = true;
            break;
        }
        freeaddrinfo(found);
        return resolved;
    }

    bool Connect(OsSocket socket, uint32_t address, unsigned short port) override {
        if (socket < 0)
            return false;
        struct sockaddr_in server;
        memset(&server, 0, sizeof server);
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = address;
        const int fd = Descriptor(socket);
        if (connect(fd, reinterpret_cast<const struct sockaddr*>(&server), sizeof server) == 0) {
            return true;
        }
        return errno == EINTR && FinishInterruptedConnect(fd);
    }

    long Send(OsSocket socket, const char* data, long count) override {
        if (socket < 0 || data == nullptr || count < 0)
            return -1;
        for (;;) {
            const ssize_t sent =
                send(Descriptor(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            return sent < 0 ? -1 : static_cast<long>(sent);
        }
    }

    bool SetNonBlocking(OsSocket socket) override {
        if (socket < 0)
            return false;
        int on = 1;
        return ioctl(Descriptor(socket), FIONBIO, &on) == 0;
    }

    // Never waits, whether or not the socket was made non-blocking. A connection the peer has
    // closed with nothing left to look at counts as gone.
    long Peek(OsSocket socket, char* buffer, long count) override {
        if (socket < 0 || buffer == nullptr || count <= 0)
            return -1;
        for (;;) {
            const ssize_t n = recv(Descriptor(socket), buffer, static_cast<size_t>(count),
                                   MSG_PEEK | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            return n <= 0 ? -1 : static_cast<long>(n);
        }
    }

    void CloseSocket(OsSocket socket) override {
        if (socket >= 0)
            close(Descriptor(socket));
    }
};
}  // namespace

OsSocketApi* OsDefaultSocketApi() {
    static PosixSockets sockets;
    return &sockets;
}
