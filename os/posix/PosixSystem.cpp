// System description inputs and the document viewer on POSIX.
//
// The inputs come from uname: the kernel's major and minor version from its release text, the
// 64-bit flag and the architecture from its machine type. The platform id is fixed at 10
// (kPosixPlatformId), a number outside Windows' ids 0..3, so the description's decision table
// gives its "Unknown(4)" form with PF10 and the kernel's version on every POSIX system.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/OsBackEnd.h"
#include "os/posix/PosixSeams.h"

extern char** environ;

namespace {
const unsigned long kLargestVersion = 4294967295UL;  // the fields are 32 bits wide

// Reads a decimal number at `*text` and moves past it; 0 when there is none.
unsigned long TakeNumber(const char** text) {
    unsigned long value = 0;
    const char* at = *text;
    for (; *at >= '0' && *at <= '9'; ++at) {
        const unsigned long digit = static_cast<unsigned long>(*at - '0');
        value = value > (kLargestVersion - digit) / 10 ? kLargestVersion : value * 10 + digit;
    }
    *text = at;
    return value;
}

bool ReadMachine(struct utsname* names) {
    return uname(names) == 0;
}

class PosixSystem : public OsSystemApi {
  public:
    void GetVersion(OsVersion* version) override {
        if (version == nullptr)
            return;
        version->platformId = kPosixPlatformId;
        version->major = 0;
        version->minor = 0;
        struct utsname names;
        if (ReadMachine(&names)) {
            PosixParseKernelRelease(names.release, &version->major, &version->minor);
        }
    }

    bool Is64BitSystem() override {
        struct utsname names;
        return ReadMachine(&names) && PosixIsMachine64Bit(names.machine);
    }

    bool ReadProcessorArchitecture(char* buffer, unsigned long size) override {
        struct utsname names;
        return ReadMachine(&names) && PosixArchitectureOfMachine(names.machine, buffer, size);
    }
};

// Waits for a started viewer so that it leaves no zombie behind.
void* ReapChild(void* argument) {
    const pid_t child = static_cast<pid_t>(reinterpret_cast<intptr_t>(argument));
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// Starts `program` (looked up on PATH) with `path` as its one argument, in a session of its
// own, with /dev/null as its standard input and output, and in `directory` when that can be
// entered. False when it could not be started.
bool SpawnDetached(const char* program, const char* path, const char* directory, pid_t* child) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    bool ready = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
    if (ready && directory != nullptr && directory[0] != '\0' && access(directory, X_OK) == 0) {
        ready = posix_spawn_file_actions_addchdir_np(&actions, directory) == 0;
    }
#else
    (void)directory;
#endif
    // A session of its own (no terminal, no Ctrl+C from ours), default signal handling and no
    // blocked signals, whatever this process has set up.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID;
#endif
    ready = ready && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
            posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
            posix_spawnattr_setflags(&attributes, flags) == 0;
    bool started = false;
    if (ready) {
        char* arguments[] = {const_cast<char*>(program), const_cast<char*>(path), nullptr};
        started = posix_spawnp(child, program, &actions, &attributes, arguments, environ) == 0;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return started;
}
}  // namespace

OsSystemApi* OsDefaultSystemApi() {
    static PosixSystem system;
    return &system;
}

void PosixParseKernelRelease(const char* release, unsigned long* major, unsigned long* minor) {
    unsigned long first = 0;
    unsigned long second = 0;
    if (release != nullptr) {
        const char* at = release;
        first = TakeNumber(&at);
        if (at != release && *at == '.') {
            ++at;
            second = TakeNumber(&at);
        }
    }
    if (major != nullptr)
        *major = first;
    if (minor != nullptr)
        *minor = second;
}

bool PosixIsMachine64Bit(const char* machine) {
    if (machine == nullptr)
        return false;
    return strstr(machine, "64") != nullptr || strcmp(machine, "s390x") == 0 ||
           strcmp(machine, "alpha") == 0;
}

bool PosixArchitectureOfMachine(const char* machine, char* buffer, unsigned long size) {
    if (machine == nullptr || machine[0] == '\0' || buffer == nullptr || size == 0)
        return false;
    static const struct {
        const char* machine;
        const char* windowsWord;
    } kWords[] = {
        {"x86_64", "AMD64"}, {"amd64", "AMD64"}, {"aarch64", "ARM64"},
        {"arm64", "ARM64"},  {"i386", "x86"},    {"i486", "x86"},
        {"i586", "x86"},     {"i686", "x86"},    {"ia64", "IA64"},
    };
    const char* text = machine;
    for (const auto& word : kWords) {
        if (strcmp(machine, word.machine) == 0) {
            text = word.windowsWord;
            break;
        }
    }
    const int length = snprintf(buffer, size, "%s", text);
    if (length < 0 || static_cast<unsigned long>(length) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

// Hands the document to xdg-open, never through a shell, and does not wait for it. When
// xdg-open is not installed nothing happens.
void OsOpenDocument(const char* path, const char* directory) {
    if (path == nullptr || path[0] == '\0')
        return;
    pid_t child = 0;
    if (!SpawnDetached("xdg-open", path, directory, &child))
        return;
    pthread_t reaper;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_create(&reaper, &attributes, ReapChild,
                   reinterpret_cast<void*>(static_cast<intptr_t>(child)));
    pthread_attr_destroy(&attributes);
}

bool OsHasGraphicalDisplay() {
    const char* display = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (display != nullptr && display[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}
