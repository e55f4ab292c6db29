// Seams of the POSIX back end: the system calls the serial ports go through, where a COM number
// leads, where the UUCP lock files live, and the pure mappings behind the system inputs. The
// back end uses them itself; tests use them to run it against pseudo-terminals in a directory of
// their own and to fail any chosen call with any chosen errno.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

// ---------------------------------------------------------------------------------------------
// Serial ports.

// Every system call of the serial back end, as one table. A test installs a copy of the
// defaults with some entries replaced; each entry behaves like the call it is named after
// (result, and errno on failure).
struct PosixSerialCalls {
    int (*Open)(const char* path, int flags, mode_t mode);
    int (*Close)(int fd);
    int (*Ioctl)(int fd, unsigned long request, void* argument);
    int (*Flock)(int fd, int operation);
    int (*GetAttr)(int fd, struct termios* settings);                  // tcgetattr
    int (*SetAttr)(int fd, int when, const struct termios* settings);  // tcsetattr
    int (*Flush)(int fd, int queue);                                   // tcflush
    int (*Drain)(int fd);                                              // tcdrain
    ssize_t (*Read)(int fd, void* buffer, size_t count);
    ssize_t (*Write)(int fd, const void* data, size_t count);
    int (*Poll)(struct pollfd* fds, nfds_t count, int timeoutMs);
    int (*Kill)(pid_t pid, int signal);
    int (*Unlink)(const char* path);
    int (*Lstat)(const char* path, struct stat* status);
    int (*Stat)(const char* path, struct stat* status);
};

const PosixSerialCalls* PosixDefaultSerialCalls();
// Installs `calls` (null: the defaults) and returns the table in force before. The table must
// stay valid while it is installed.
const PosixSerialCalls* PosixSetSerialCalls(const PosixSerialCalls* calls);

// The device name of COM `comPort` in the fixed map: COM1-32 ttyS0-31, COM33-64 ttyUSB0-31,
// COM65-96 ttyACM0-31, COM97-128 ttyAMA0-31, COM129-160 rfcomm0-31, COM161-168 ttySL0-7,
// COM169-176 ttyLT0-7, COM177-184 ttySHSF0-7, COM185-192 ttyIAX0-7, COM193-256 ttyS32-95.
// False for a number outside 1..256 or a buffer too small.
bool PosixComPortDeviceName(unsigned comPort, char* name, size_t size);
// The path the back end opens for COM `comPort`: the device directory, "/" and the name.
bool PosixComPortPath(unsigned comPort, char* path, size_t size);
// The folder in which the device names are looked up; "/dev" unless a test moved it. Null puts
// "/dev" back.
void PosixSetDeviceDirectory(const char* directory);
// The folder of the UUCP lock files "LCK..<device name>"; "/var/lock" unless a test moved it.
// Null puts "/var/lock" back.
void PosixSetLockDirectory(const char* directory);

// The folder of the terminal classes, where "console/active" names the system console's
// terminals and "<name>/dev" gives each one's device number; "/sys/class/tty" unless a test
// moved it. Null puts "/sys/class/tty" back. A port whose device is one of the system console's
// terminals is never opened: it counts as in use.
void PosixSetTtyClassDirectory(const char* directory);

// The reason code, in Win32 numbering, that a port open failing with `error` reports.
unsigned long PosixOpenFailureReason(int error);

// ---------------------------------------------------------------------------------------------
// System description inputs.

// The platform id reported off Windows: outside Windows' ids 0..3, so the description's
// decision table takes its last row for it.
enum : unsigned long { kPosixPlatformId = 10 };

// Major and minor version from a kernel release text such as "6.1.0-18-amd64" (6 and 1). A
// missing number is 0; a number too large for 32 bits is 4294967295.
void PosixParseKernelRelease(const char* release, unsigned long* major, unsigned long* minor);
// The machine type (uname's machine field) names a 64-bit system.
bool PosixIsMachine64Bit(const char* machine);
// The architecture text of a machine type, in Windows' words where one exists (x86_64: AMD64,
// aarch64: ARM64, i386..i686: x86), else the machine type itself. False when the machine type
// is empty or the text does not fit in `size` bytes.
bool PosixArchitectureOfMachine(const char* machine, char* buffer, unsigned long size);
