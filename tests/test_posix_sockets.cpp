// The BSD socket back end against a listener of the test's own on 127.0.0.1. Nothing here
// reaches beyond the loopback address: the look-up of a name that cannot resolve runs in a
// network namespace of its own, where no name server can be reached.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "os/Os.h"
#include "os/OsBackEnd.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A TCP listener on 127.0.0.1 at a port the system picks.
class Listener {
  public:
    Listener() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(m_fd, 0);
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        EXPECT_EQ(bind(m_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(m_fd, 4), 0);
        socklen_t length = sizeof address;
        EXPECT_EQ(getsockname(m_fd, reinterpret_cast<struct sockaddr*>(&address), &length), 0);
        m_port = ntohs(address.sin_port);
    }
    ~Listener() {
        if (m_fd >= 0)
            close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    int Accept() { return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }

  private:
    int m_fd = -1;
    unsigned short m_port = 0;
};

std::string Receive(int fd, size_t count) {
    std::string got;
    while (got.size() < count) {
        char chunk[512];
        const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, count - got.size()), 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// Waits (a second at most) until something can be read on the socket, or it has ended.
void WaitReadable(OsSocket socket) {
    struct pollfd input = {static_cast<int>(socket), POLLIN, 0};
    poll(&input, 1, 1000);
}

OsSocketApi* Sockets() {
    return OsDefaultSocketApi();
}

TEST(PosixSockets, PostsToALoopbackServerAndPeeksAtItsAnswerWithoutTakingIt) {
    Listener server;
    ASSERT_TRUE(Sockets()->StartSockets());
    const OsSocket client = Sockets()->OpenSocket();
    ASSERT_NE(client, OS_INVALID_SOCKET);
    EXPECT_NE(fcntl(static_cast<int>(client), F_GETFD) & FD_CLOEXEC, 0)
        << "a started viewer would inherit the connection";
    uint32_t address = 0;
    ASSERT_TRUE(Sockets()->ResolveHost("127.0.0.1", &address));
    ASSERT_TRUE(Sockets()->Connect(client, address, server.Port()));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);

    const std::string request = "POST http://host/form/tsemail.pl HTTP/1.1\r\n\r\nToName=Veskarin";
    EXPECT_EQ(Sockets()->Send(client, request.data(), static_cast<long>(request.size())),
              static_cast<long>(request.size()));
    EXPECT_EQ(Receive(peer, request.size()), request);

    ASSERT_TRUE(Sockets()->SetNonBlocking(client));
    char answer[4097];
    EXPECT_EQ(Sockets()->Peek(client, answer, 4096), -1);  // nothing yet, and no waiting

    const std::string reply = "HTTP/1.1 200 OK\r\n\r\nThank you";
    ASSERT_EQ(send(peer, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    close(peer);  // what was sent stays there to look at
    WaitReadable(client);
    for (int look = 0; look < 2; ++look) {
        memset(answer, 0, sizeof answer);
        EXPECT_EQ(Sockets()->Peek(client, answer, 4096), static_cast<long>(reply.size()));
        EXPECT_EQ(std::string(answer), reply);
    }
    Sockets()->CloseSocket(client);
}

TEST(PosixSockets, APeekAtAConnectionClosedWithoutAnAnswerFails) {
    Listener server;
    const OsSocket client = Sockets()->OpenSocket();
    ASSERT_TRUE(Sockets()->Connect(client, kLoopback, server.Port()));
    close(server.Accept());
    ASSERT_TRUE(Sockets()->SetNonBlocking(client));
    WaitReadable(client);
    char answer[16];
    EXPECT_EQ(Sockets()->Peek(client, answer, sizeof answer), -1);
    Sockets()->CloseSocket(client);
}

TEST(PosixSockets, APeerThatClosesBeforeWeSendFailsTheSendAndLeavesUsAlive) {
    // SIGPIPE as a freshly started program has it: deadly.
    struct sigaction deadly;
    struct sigaction before;
    memset(&deadly, 0, sizeof deadly);
    deadly.sa_handler = SIG_DFL;
    sigemptyset(&deadly.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &deadly, &before), 0);

    Listener server;
    const OsSocket client = Sockets()->OpenSocket();
    ASSERT_TRUE(Sockets()->Connect(client, kLoopback, server.Port()));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    struct linger reset = {1, 0};  // close with a reset, at once
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    close(peer);

    // The first send after the reset reports it; every later one meets the broken pipe.
    const std::string body(4096, 'x');
    int failed = 0;
    for (int attempt = 0; attempt < 100 && failed < 3; ++attempt) {
        if (Sockets()->Send(client, body.data(), static_cast<long>(body.size())) == -1) {
            ++failed;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    EXPECT_EQ(failed, 3);
    Sockets()->CloseSocket(client);
    sigaction(SIGPIPE, &before, nullptr);
}

TEST(PosixSockets, AConnectionNobodyAcceptsFails) {
    unsigned short port;
    {
        Listener closed;  // a port that was just free, and is free again
        port = closed.Port();
    }
    const OsSocket client = Sockets()->OpenSocket();
    EXPECT_FALSE(Sockets()->Connect(client, kLoopback, port));
    Sockets()->CloseSocket(client);
}

TEST(PosixSockets, NamesResolveToTheirFirstIPv4Address) {
    uint32_t address = 0;
    EXPECT_TRUE(Sockets()->ResolveHost("localhost", &address));
    EXPECT_EQ(address, kLoopback);
    address = 0;
    EXPECT_TRUE(Sockets()->ResolveHost("127.0.0.1", &address));
    EXPECT_EQ(address, kLoopback);
    EXPECT_FALSE(Sockets()->ResolveHost("", &address));
    EXPECT_FALSE(Sockets()->ResolveHost(nullptr, &address));
}

TEST(PosixSockets, ANameThatCannotResolveFails) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Alone in a network namespace of its own: no name server can be reached from here.
        if (unshare(CLONE_NEWNET) != 0)
            _exit(77);
        uint32_t address = 0;
        _exit(Sockets()->ResolveHost("nonexistent.invalid", &address) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no network namespace can be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "nonexistent.invalid resolved";
}

TEST(PosixSockets, NoSocketMeansNothingIsDone) {
    char buffer[8];
    EXPECT_FALSE(Sockets()->Connect(OS_INVALID_SOCKET, kLoopback, 80));
    EXPECT_EQ(Sockets()->Send(OS_INVALID_SOCKET, "x", 1), -1);
    EXPECT_FALSE(Sockets()->SetNonBlocking(OS_INVALID_SOCKET));
    EXPECT_EQ(Sockets()->Peek(OS_INVALID_SOCKET, buffer, sizeof buffer), -1);
    Sockets()->CloseSocket(OS_INVALID_SOCKET);
    EXPECT_FALSE(Sockets()->ResolveHost("localhost", nullptr));
}

}  // namespace
