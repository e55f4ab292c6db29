// Sockets on POSIX (placeholder until the BSD socket back end lands: no host resolves).
#include "os/OsBackEnd.h"

namespace {
class NoSockets : public OsSocketApi {
public:
    bool StartSockets() override { return true; }
    OsSocket OpenSocket() override { return OS_INVALID_SOCKET; }
    bool ResolveHost(const char*, uint32_t*) override { return false; }
    bool Connect(OsSocket, uint32_t, unsigned short) override { return false; }
    long Send(OsSocket, const char*, long) override { return -1; }
    bool SetNonBlocking(OsSocket) override { return false; }
    long Peek(OsSocket, char*, long) override { return -1; }
    void CloseSocket(OsSocket) override {}
};
}  // namespace

OsSocketApi* OsDefaultSocketApi() {
    static NoSockets sockets;
    return &sockets;
}
