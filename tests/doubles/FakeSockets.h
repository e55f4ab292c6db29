// A socket double for the support form post: every connection the program opens is scripted in
// advance (refused, unresolved, a short send, what the server answers) and records every byte the
// program sends on it, with the times on the sending thread's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "os/Os.h"

// How the server side of one connection behaves.
struct FakeConnectionScript {
    bool openFails = false;     // no socket can be created
    bool resolveFails = false;  // the host name does not resolve
    bool connectFails = false;  // the connection is refused
    // The count the first send (the request header) reports; -2 leaves it alone. Use a smaller
    // count for a short send, -1 for a failed one.
    long headerSendResult = -2;
    long sendLimit = 0;        // > 0: every send after the first takes at most this many bytes
    long failSendsAfter = -1;  // >= 0: sends fail once this many bytes have been taken
    std::string answer;        // the server's answer; empty: nothing ever arrives
    int answerAfterPeeks = 0;  // the answer shows from this peek on (0: at once)
};

// What happened on one connection (one OpenSocket call).
struct FakeConnection {
    bool opened = false;
    std::string resolvedHost;
    bool connected = false;
    uint32_t address = 0;
    unsigned short port = 0;
    std::string sent;             // every byte taken, in order
    std::vector<long> sendSizes;  // the count each send was given
    bool nonBlocking = false;
    bool sentAfterNonBlocking = false;
    int peeks = 0;
    long largestPeek = 0;  // the largest count a peek asked for
    bool closed = false;
    int closeCalls = 0;
    uint64_t connectMs = 0;   // OsNowMs() when the connection was made
    uint64_t lastSendMs = 0;  // ... when the last send was made
    uint64_t closeMs = 0;     // ... when it was closed
};

class FakeSockets : public OsSocketApi {
  public:
    static constexpr uint32_t kServerAddress = 0x0100007Fu;  // 127.0.0.1 in network byte order

    FakeSockets();            // installs itself
    ~FakeSockets() override;  // puts the previous table back

    void SetStartResult(bool ok);
    // Scripts the next connection; connections beyond the scripted ones use the default.
    void AddConnection(const FakeConnectionScript& script);
    void SetDefault(const FakeConnectionScript& script);
    // Called on the program's thread, without any lock held, after each peek / before each
    // connect; the hook may change the program's flags or block.
    void SetOnPeek(std::function<void(int connection, int peek)> hook);
    void SetOnConnect(std::function<void(int connection)> hook);

    int StartCalls();
    std::vector<FakeConnection> Connections();
    // Sockets opened and not closed, and calls on sockets that were never opened or already
    // closed.
    int OpenSocketCount();
    int Misuses();

    bool StartSockets() override;
    OsSocket OpenSocket() override;
    bool ResolveHost(const char* host, uint32_t* address) override;
    bool Connect(OsSocket socket, uint32_t address, unsigned short port) override;
    long Send(OsSocket socket, const char* data, long count) override;
    bool SetNonBlocking(OsSocket socket) override;
    long Peek(OsSocket socket, char* buffer, long count) override;
    void CloseSocket(OsSocket socket) override;

  private:
    struct Slot {
        FakeConnectionScript script;
        FakeConnection record;
    };
    // The live slot of `socket`, or null (counted as a misuse). Call with m_mutex held.
    Slot* Find(OsSocket socket);

    std::mutex m_mutex;
    bool m_startResult = true;
    int m_startCalls = 0;
    int m_misuses = 0;
    std::vector<FakeConnectionScript> m_scripts;
    FakeConnectionScript m_default;
    std::vector<Slot> m_slots;
    std::function<void(int, int)> m_onPeek;
    std::function<void(int)> m_onConnect;
    OsSocketApi* m_previous;
};
