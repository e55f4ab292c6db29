// Serial ports on POSIX (placeholder until the termios back end lands: no port opens).
#include "os/OsBackEnd.h"

namespace {
class NoSerial : public OsSerialApi {
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
    unsigned long WritePort(OsPort, const char*, unsigned long count) override { return count; }
    void FlushPort(OsPort) override {}
    void ClosePort(OsPort) override {}
};
}  // namespace

OsSerialApi* OsDefaultSerialApi() {
    static NoSerial serial;
    return &serial;
}
