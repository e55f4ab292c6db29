// Serial ports on POSIX: termios lines behind the COM numbers of a fixed device map.
//
// A port is opened without waiting for carrier (O_NONBLOCK), exclusively (TIOCEXCL and a
// non-blocking flock) and under the UUCP lock convention that other serial programs obey: a
// lock file "LCK..<device name>" held by a live process means the port is in use. While a port
// is open we hold such a lock file of our own where the lock folder is writable, and the line
// settings found at open are put back on close.
//
// Every system call goes through a table (PosixSerialCalls) that tests can replace, so that any
// call can be made to fail with any errno.
//
// Open failures are reported in Win32 numbering, for the probe's message table:
//
//   errno                                           code   row of the message table
//   ENOENT, ENODEV, ENXIO, EIO, EISDIR              2      no UART or modem
//   ENOTDIR                                         3      no UART or modem
//   EMFILE, ENFILE                                  4      too many things open
//   EBUSY, EAGAIN (lock refused), EACCES, EPERM,    5      in use by another program,
//     a live UUCP lock                                     access is denied
//   ENOMEM                                          8      memory shortage
//   any other errno whose number is itself a code   1000 + errno   unspecified error
//     of the table (on Linux: ESRCH 3, EINTR 4,
//     E2BIG 7, ENOEXEC 8, ENOTBLK 15, EPIPE 32),
//     and 0 (no errno at all: 1000)
//   any other errno                                 errno  unspecified error
//
// EIO is what Linux gives for a port node without hardware behind it; EISDIR and ENOTDIR mean
// there is no device at the name either. Raw errno values share their numbers with Win32
// codes, so an errno that is also a code of the message table but has no row of its own
// meaning is moved past every errno (1000 + errno): it then takes the catch-all row, and the
// printed number still tells which errno it was. An interrupted call (EINTR) is retried.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "os/OsBackEnd.h"
#include "os/posix/PosixSeams.h"

struct OsPortImpl {
    int m_fd = -1;                // the device, -1 until it is open
    bool m_exclusive = false;     // TIOCEXCL is set on it
    bool m_flocked = false;       // we hold its flock
    bool m_haveOriginal = false;  // m_original holds the settings found at open
    bool m_ownLock = false;       // our UUCP lock file exists at m_lockPath
    struct termios m_original;
    char m_lockPath[PATH_MAX];
};

namespace {
// ---------------------------------------------------------------------------------------------
// The system call table.

int CallOpen(const char* path, int flags, mode_t mode) {
    return open(path, flags, mode);
}
int CallClose(int fd) {
    return close(fd);
}
int CallIoctl(int fd, unsigned long request, void* argument) {
    return ioctl(fd, request, argument);
}
int CallFlock(int fd, int operation) {
    return flock(fd, operation);
}
int CallGetAttr(int fd, struct termios* settings) {
    return tcgetattr(fd, settings);
}
int CallSetAttr(int fd, int when, const struct termios* settings) {
    return tcsetattr(fd, when, settings);
}
int CallFlush(int fd, int queue) {
    return tcflush(fd, queue);
}
int CallDrain(int fd) {
    return tcdrain(fd);
}
ssize_t CallRead(int fd, void* buffer, size_t count) {
    return read(fd, buffer, count);
}
ssize_t CallWrite(int fd, const void* data, size_t count) {
    return write(fd, data, count);
}
int CallPoll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    return poll(fds, count, timeoutMs);
}
int CallKill(pid_t pid, int signal) {
    return kill(pid, signal);
}
int CallUnlink(const char* path) {
    return unlink(path);
}
int CallLstat(const char* path, struct stat* status) {
    return lstat(path, status);
}
int CallStat(const char* path, struct stat* status) {
    return stat(path, status);
}

const PosixSerialCalls kDefaultCalls = {
    CallOpen, CallClose, CallIoctl, CallFlock, CallGetAttr, CallSetAttr, CallFlush, CallDrain,
    CallRead, CallWrite, CallPoll,  CallKill,  CallUnlink,  CallLstat,   CallStat,
};

std::atomic<const PosixSerialCalls*> s_calls{&kDefaultCalls};

const PosixSerialCalls* Calls() {
    return s_calls.load(std::memory_order_acquire);
}

const int kInterruptRetries = 100;  // an interrupted call is tried again at most this often

// Opens `path`, trying again after interruptions. -1 with errno on failure.
int OpenRetrying(const char* path, int flags, mode_t mode) {
    for (int i = 0; i < kInterruptRetries; ++i) {
        const int fd = Calls()->Open(path, flags, mode);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
    return -1;  // errno is EINTR
}

// ---------------------------------------------------------------------------------------------
// Where COM numbers lead.

struct DeviceRange {
    unsigned first;  // first COM number of the range
    unsigned last;   // last COM number of the range
    const char* prefix;
    unsigned firstIndex;  // device number of the first COM number
};

const DeviceRange kDeviceMap[] = {
    {1, 32, "ttyS", 0},     {33, 64, "ttyUSB", 0},    {65, 96, "ttyACM", 0},
    {97, 128, "ttyAMA", 0}, {129, 160, "rfcomm", 0},  {161, 168, "ttySL", 0},
    {169, 176, "ttyLT", 0}, {177, 184, "ttySHSF", 0}, {185, 192, "ttyIAX", 0},
    {193, 256, "ttyS", 32},
};

const char kDefaultDeviceDir[] = "/dev";
const char kDefaultLockDir[] = "/var/lock";
const char kDefaultTtyClassDir[] = "/sys/class/tty";

std::mutex s_dirMutex;  // guards the two folders below
char s_deviceDir[PATH_MAX] = "/dev";
char s_lockDir[PATH_MAX] = "/var/lock";
char s_ttyClassDir[PATH_MAX] = "/sys/class/tty";

void SetFolder(char* folder, const char* directory, const char* fallback) {
    std::lock_guard<std::mutex> hold(s_dirMutex);
    snprintf(folder, PATH_MAX, "%s", directory != nullptr ? directory : fallback);
}

// "<folder>/<prefix><name>" into `path`. False when it does not fit.
bool ComposeInFolder(const char* folder, const char* prefix, const char* name, char* path,
                     size_t size) {
    std::lock_guard<std::mutex> hold(s_dirMutex);
    const int length = snprintf(path, size, "%s/%s%s", folder, prefix, name);
    return length >= 0 && static_cast<size_t>(length) < size;
}

// ---------------------------------------------------------------------------------------------
// The system console.

// Reads a small text file whole into `text`. False when it cannot be read.
bool ReadSmallFile(const char* path, char* text, size_t size) {
    const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t got = Calls()->Read(fd, text, size - 1);
    Calls()->Close(fd);
    if (got < 0)
        return false;
    text[got] = '\0';
    return true;
}

// The device behind `path` is one of the terminals the system console writes to (on many
// machines ttyS0 is the console): such a line carries no modem.
bool IsSystemConsole(const char* path) {
    struct stat device;
    if (Calls()->Stat(path, &device) != 0 || !S_ISCHR(device.st_mode))
        return false;
    char folder[PATH_MAX];
    char file[PATH_MAX + 64];
    {
        std::lock_guard<std::mutex> hold(s_dirMutex);
        snprintf(folder, sizeof folder, "%s", s_ttyClassDir);
    }
    char active[256];
    snprintf(file, sizeof file, "%s/console/active", folder);
    if (!ReadSmallFile(file, active, sizeof active))
        return false;
    char* rest = active;
    while (char* name = strtok_r(rest, " \t\n", &rest)) {
        char number[32];
        unsigned consoleMajor = 0;
        unsigned consoleMinor = 0;
        const int length = snprintf(file, sizeof file, "%s/%s/dev", folder, name);
        if (length < 0 || static_cast<size_t>(length) >= sizeof file)
            continue;
        if (!ReadSmallFile(file, number, sizeof number) ||
            sscanf(number, "%u:%u", &consoleMajor, &consoleMinor) != 2) {
            continue;
        }
        if (consoleMajor == major(device.st_rdev) && consoleMinor == minor(device.st_rdev))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// UUCP lock files.

const unsigned kLockTries = 2;  // creations of our lock file, each after clearing a stale one

enum LockState {
    kLockAbsent,  // no lock file
    kLockStale,   // its process is gone, and the file has been removed
    kLockStuck,   // its process is gone, but the file cannot be removed
    kLockLive,    // held
};

// The pid a lock file holds: ASCII digits (the "%10d\n" form, leading blanks allowed) or, in
// the older form, the binary int alone. 0 when it holds neither.
pid_t ParseLockPid(const char* data, size_t length) {
    bool text = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (!((c >= '0' && c <= '9') || c == ' ' || c == '\n' || c == '\r' || c == '\t')) {
            text = false;
        }
    }
    if (!text) {
        int binary = 0;
        if (length != sizeof binary)
            return 0;
        memcpy(&binary, data, sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    size_t i = 0;
    while (i < length && (data[i] == ' ' || data[i] == '\t'))
        ++i;
    long pid = 0;
    for (; i < length && data[i] >= '0' && data[i] <= '9'; ++i) {
        pid = pid * 10 + (data[i] - '0');
        if (pid > INT_MAX)
            return 0;
    }
    return static_cast<pid_t>(pid);
}

// Looks at the lock file of a port and removes it when its process is gone. A lock file that
// cannot be read or names no process is respected: it may be one that its owner is still
// writing, and a lock that is not ours is never broken without proof that its owner is dead.
// A lock folder we cannot look into holds no lock that we could respect.
LockState InspectLock(const char* lockPath) {
    const PosixSerialCalls* calls = Calls();
    const int fd = OpenRetrying(lockPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return kLockAbsent;
        struct stat status;
        return calls->Lstat(lockPath, &status) == 0 ? kLockLive : kLockAbsent;
    }
    char data[64];
    size_t length = 0;
    for (int i = 0; i < kInterruptRetries; ++i) {
        const ssize_t n = calls->Read(fd, data + length, sizeof data - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
        if (length == sizeof data)
            break;
    }
    calls->Close(fd);
    const pid_t pid = ParseLockPid(data, length);
    if (pid <= 0)
        return kLockLive;
    if (calls->Kill(pid, 0) == 0 || errno != ESRCH)
        return kLockLive;  // EPERM: alive
    if (calls->Unlink(lockPath) != 0 && errno != ENOENT)
        return kLockStuck;
    return kLockStale;
}

// Makes our own lock file. Returns 0 when we hold it or the lock folder takes no lock files
// (missing, not writable: the port is then used without one), or EBUSY when another process
// holds the lock.
int CreateOwnLock(OsPortImpl* port) {
    const PosixSerialCalls* calls = Calls();
    for (unsigned attempt = 0; attempt < kLockTries; ++attempt) {
        const int fd = OpenRetrying(port->m_lockPath,
                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            if (errno != EEXIST)
                return 0;
            const LockState state = InspectLock(port->m_lockPath);
            if (state == kLockLive)
                return EBUSY;
            if (state == kLockStuck)
                return 0;  // a dead owner's lock that we may not replace
            continue;      // a stale lock, now removed: try again
        }
        char text[16];
        const int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
        size_t written = 0;
        for (int i = 0; i < kInterruptRetries && written < static_cast<size_t>(length); ++i) {
            const ssize_t n = calls->Write(fd, text + written, length - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += static_cast<size_t>(n);
        }
        calls->Close(fd);
        if (written == static_cast<size_t>(length)) {
            port->m_ownLock = true;
        } else {
            calls->Unlink(port->m_lockPath);  // a lock without its pid would block others
        }
        return 0;
    }
    return EBUSY;  // others keep making the lock as fast as we clear it
}

// ---------------------------------------------------------------------------------------------
// Open and close.

// Undoes whatever an open achieved, in reverse order, and frees the port. The one way out of
// every failed open and of every close.
void ReleasePort(OsPortImpl* port) {
    const PosixSerialCalls* calls = Calls();
    if (port->m_fd >= 0) {
        if (port->m_haveOriginal) {
            for (int i = 0; i < kInterruptRetries; ++i) {
                if (calls->SetAttr(port->m_fd, TCSANOW, &port->m_original) == 0 || errno != EINTR)
                    break;
            }
        }
        if (port->m_flocked)
            calls->Flock(port->m_fd, LOCK_UN);
        if (port->m_exclusive)
            calls->Ioctl(port->m_fd, TIOCNXCL, nullptr);
        calls->Close(port->m_fd);  // not retried: the descriptor is gone even on EINTR
    }
    if (port->m_ownLock)
        calls->Unlink(port->m_lockPath);
    delete port;
}

// The steps of an open. Returns 0, or the errno that stopped it with the step's work recorded
// in `port` for ReleasePort.
int OpenSteps(OsPortImpl* port, unsigned comPort) {
    const PosixSerialCalls* calls = Calls();
    char name[32];
    char path[PATH_MAX];
    if (!PosixComPortDeviceName(comPort, name, sizeof name))
        return ENOENT;
    if (!ComposeInFolder(s_deviceDir, "", name, path, sizeof path))
        return ENAMETOOLONG;
    if (!ComposeInFolder(s_lockDir, "LCK..", name, port->m_lockPath, sizeof port->m_lockPath)) {
        return ENAMETOOLONG;
    }

    // A port that another program has locked is not touched at all: even opening it could
    // change its modem lines.
    if (InspectLock(port->m_lockPath) == kLockLive)
        return EBUSY;
    // Nor is the system console: AT commands or a raw line would disturb the machine's own
    // terminal.
    if (IsSystemConsole(path))
        return EBUSY;

    const int fd = OpenRetrying(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    port->m_fd = fd;

    if (calls->Ioctl(fd, TIOCEXCL, nullptr) != 0)
        return errno;
    port->m_exclusive = true;

    int locked = -1;
    for (int i = 0; i < kInterruptRetries && locked != 0; ++i) {
        locked = calls->Flock(fd, LOCK_EX | LOCK_NB);
        if (locked != 0 && errno != EINTR)
            return errno;  // EWOULDBLOCK: another holder
    }
    if (locked != 0)
        return EINTR;
    port->m_flocked = true;

    int got = -1;
    for (int i = 0; i < kInterruptRetries && got != 0; ++i) {
        got = calls->GetAttr(fd, &port->m_original);
        if (got != 0 && errno != EINTR)
            return errno;
    }
    if (got != 0)
        return EINTR;
    port->m_haveOriginal = true;

    return CreateOwnLock(port);
}

// ---------------------------------------------------------------------------------------------
// The line.

const int kWriteWaitMs = 50;  // one wait for room in the output queue
const int kWriteWaits = 20;   // rounds without progress before a write gives up (about 1 s)

// Raw 9600 baud, 8 data bits, no parity, one stop bit, no flow control, reads that return at
// once: bytes pass both ways exactly as sent.
void MakeRawLine(struct termios* line) {
    line->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK);
    line->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    line->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    line->c_cflag |= CS8 | CLOCAL | CREAD;
    line->c_cc[VMIN] = 0;
    line->c_cc[VTIME] = 0;
    cfsetispeed(line, B9600);
    cfsetospeed(line, B9600);
}

bool IsOpen(OsPort port) {
    return port != nullptr && port->m_fd >= 0;
}

class PosixSerial : public OsSerialApi {
  public:
    OsPort OpenPort(unsigned comPort, unsigned long* reason) override {
        unsigned long ignored;
        if (reason == nullptr)
            reason = &ignored;
        OsPortImpl* port = new (std::nothrow) OsPortImpl;
        if (port == nullptr) {
            *reason = OS_ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        const int error = OpenSteps(port, comPort);
        if (error != 0) {
            ReleasePort(port);
            *reason = PosixOpenFailureReason(error);
            return nullptr;
        }
        *reason = 0;
        return port;
    }

    // Failures are not reported: a line that could not be set up yields no modem.
    void SetUpLine(OsPort port) override {
        if (!IsOpen(port))
            return;
        const PosixSerialCalls* calls = Calls();
        struct termios line;
        if (port->m_haveOriginal) {
            line = port->m_original;
        } else if (calls->GetAttr(port->m_fd, &line) != 0) {
            return;
        }
        MakeRawLine(&line);
        for (int i = 0; i < kInterruptRetries; ++i) {
            if (calls->SetAttr(port->m_fd, TCSANOW, &line) == 0 || errno != EINTR)
                break;
        }
    }

    void PurgeOutput(OsPort port) override {
        if (IsOpen(port))
            Calls()->Flush(port->m_fd, TCOFLUSH);
    }

    void PurgeInput(OsPort port) override {
        if (IsOpen(port))
            Calls()->Flush(port->m_fd, TCIFLUSH);
    }

    // A failing or hung-up port has nothing waiting.
    unsigned long CountInput(OsPort port) override {
        if (!IsOpen(port))
            return 0;
        int waiting = 0;
        if (Calls()->Ioctl(port->m_fd, FIONREAD, &waiting) != 0 || waiting < 0)
            return 0;
        return static_cast<unsigned long>(waiting);
    }

    unsigned long ReadPort(OsPort port, char* buffer, unsigned long count) override {
        if (!IsOpen(port) || buffer == nullptr || count == 0)
            return 0;
        for (int i = 0; i < kInterruptRetries; ++i) {
            const ssize_t n = Calls()->Read(port->m_fd, buffer, count);
            if (n > 0)
                return static_cast<unsigned long>(n);
            if (n < 0 && errno == EINTR)
                continue;
            break;  // nothing waiting (EAGAIN), hung up, or gone
        }
        return 0;
    }

    // Writes all of it unless the port stops taking bytes for about a second or fails.
    unsigned long WritePort(OsPort port, const char* data, unsigned long count) override {
        if (!IsOpen(port) || data == nullptr)
            return 0;
        const PosixSerialCalls* calls = Calls();
        unsigned long written = 0;
        int idleRounds = 0;
        while (written < count && idleRounds < kWriteWaits) {
            const ssize_t n = calls->Write(port->m_fd, data + written, count - written);
            if (n > 0) {
                written += static_cast<unsigned long>(n);
                idleRounds = 0;
                continue;
            }
            ++idleRounds;
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                break;
            struct pollfd room = {port->m_fd, POLLOUT, 0};
            const int ready = calls->Poll(&room, 1, kWriteWaitMs);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                break;
        }
        return written;
    }

    void FlushPort(OsPort port) override {
        if (!IsOpen(port))
            return;
        for (int i = 0; i < kInterruptRetries; ++i) {
            if (Calls()->Drain(port->m_fd) == 0 || errno != EINTR)
                break;
        }
    }

    void ClosePort(OsPort port) override {
        if (port != nullptr)
            ReleasePort(port);
    }
};
}  // namespace

// ---------------------------------------------------------------------------------------------

const PosixSerialCalls* PosixDefaultSerialCalls() {
    return &kDefaultCalls;
}

const PosixSerialCalls* PosixSetSerialCalls(const PosixSerialCalls* calls) {
    return s_calls.exchange(calls != nullptr ? calls : &kDefaultCalls, std::memory_order_acq_rel);
}

bool PosixComPortDeviceName(unsigned comPort, char* name, size_t size) {
    if (name == nullptr || size == 0)
        return false;
    for (const DeviceRange& range : kDeviceMap) {
        if (comPort < range.first || comPort > range.last)
            continue;
        const int length =
            snprintf(name, size, "%s%u", range.prefix, range.firstIndex + (comPort - range.first));
        return length >= 0 && static_cast<size_t>(length) < size;
    }
    name[0] = '\0';
    return false;
}

bool PosixComPortPath(unsigned comPort, char* path, size_t size) {
    char name[32];
    if (!PosixComPortDeviceName(comPort, name, sizeof name))
        return false;
    return ComposeInFolder(s_deviceDir, "", name, path, size);
}

void PosixSetDeviceDirectory(const char* directory) {
    SetFolder(s_deviceDir, directory, kDefaultDeviceDir);
}

void PosixSetLockDirectory(const char* directory) {
    SetFolder(s_lockDir, directory, kDefaultLockDir);
}

void PosixSetTtyClassDirectory(const char* directory) {
    SetFolder(s_ttyClassDir, directory, kDefaultTtyClassDir);
}

unsigned long PosixOpenFailureReason(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
        case EISDIR:
            return OS_ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return OS_ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return OS_ERROR_TOO_MANY_OPEN_FILES;
        case EBUSY:
        case EAGAIN:
        case EACCES:
        case EPERM:
            return OS_ERROR_ACCESS_DENIED;
        case ENOMEM:
            return OS_ERROR_NOT_ENOUGH_MEMORY;
        default:
            break;
    }
    // Every code that has a row of its own in the probe's message table.
    static const unsigned long kTableCodes[] = {
        OS_ERROR_FILE_NOT_FOUND, OS_ERROR_PATH_NOT_FOUND,    OS_ERROR_TOO_MANY_OPEN_FILES,
        OS_ERROR_ACCESS_DENIED,  OS_ERROR_ARENA_TRASHED,     OS_ERROR_NOT_ENOUGH_MEMORY,
        OS_ERROR_INVALID_ACCESS, OS_ERROR_INVALID_DRIVE,     OS_ERROR_BAD_UNIT,
        OS_ERROR_NOT_READY,      OS_ERROR_SHARING_VIOLATION,
    };
    if (error <= 0)
        return 1000;  // no errno at all: never print 0, which reads as success
    for (unsigned long code : kTableCodes) {
        if (static_cast<unsigned long>(error) == code)
            return 1000 + code;
    }
    return static_cast<unsigned long>(error);
}

OsSerialApi* OsDefaultSerialApi() {
    static PosixSerial serial;
    return &serial;
}
