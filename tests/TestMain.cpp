// The test program's entry point. Before any test runs, the serial and socket tables are set to
// doubles that find no device and resolve no host, so that no test can ever reach this
// machine's real serial ports or the network unless it installs a double of its own; and no
// viewer is ever started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "os/Os.h"

namespace {
class NoDevices : public OsSerialApi {
  public:
    OsPort OpenPort(unsigned, unsigned long* reason) override {
        *reason = OS_ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    void SetUpLine(OsPort) override {}
    void PurgeOutput(OsPort) override {}
    void PurgeInput(OsPort) override {}
    unsigned long CountInput(OsPort) override { return 0; }
    unsigned long ReadPort(OsPort, char*, unsigned long) override { return 0; }
    unsigned long WritePort(OsPort, const char*, unsigned long) override { return 0; }
    void FlushPort(OsPort) override {}
    void ClosePort(OsPort) override {}
};

class NoNetwork : public OsSocketApi {
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

int main(int argc, char** argv) {
    static NoDevices noDevices;
    static NoNetwork noNetwork;
    OsSetSerialApi(&noDevices);
    OsSetSocketApi(&noNetwork);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("TZ", "UTC", 1);
    tzset();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
