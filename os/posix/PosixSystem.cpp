// System description inputs and the document viewer on POSIX (placeholder).
#include <cstdlib>
#include <cstring>

#include "os/OsBackEnd.h"

namespace {
class PosixSystem : public OsSystemApi {
public:
    void GetVersion(OsVersion* version) override { memset(version, 0, sizeof *version); }
    bool Is64BitSystem() override { return false; }
    bool ReadProcessorArchitecture(char*, unsigned long) override { return false; }
};
}  // namespace

OsSystemApi* OsDefaultSystemApi() {
    static PosixSystem system;
    return &system;
}

void OsOpenDocument(const char*, const char*) {}

bool OsHasGraphicalDisplay() {
    const char* display = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (display != nullptr && display[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}
