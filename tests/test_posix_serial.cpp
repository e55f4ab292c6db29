// The termios back end of the serial ports, run against pseudo-terminals that the test makes and
// links into a device folder of its own, with a lock folder of its own. No test here opens a
// serial device of the machine.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/Os.h"
#include "os/posix/PosixSeams.h"

namespace {

// Every test of this program starts with the serial back end pointed at a folder that cannot
// hold anything, for devices and lock files alike: a test that forgets to give it a folder of
// its own (or to install a serial double) finds no device, and never reaches the machine's own
// ports (its first one is the machine's console) or its lock folder.
const char kNoDevices[] = "/proc/self/no-serial-devices";

struct KeepAwayFromMachinePorts {
    KeepAwayFromMachinePorts() {
        PosixSetDeviceDirectory(kNoDevices);
        PosixSetLockDirectory(kNoDevices);
    }
} g_keepAwayFromMachinePorts;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void RemoveTree(const std::string& root) {
    if (!root.empty())
        nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::string ReadWhole(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return text;
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    fclose(file);
    return text;
}

void WriteWhole(const std::string& path, const std::string& data) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), file), data.size());
    fclose(file);
}

std::string AsciiPid(long pid) {
    char text[32];
    snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

std::string BinaryPid(int pid) {
    return std::string(reinterpret_cast<const char*>(&pid), sizeof pid);
}

// A pid that no process can have: far above the kernel's largest.
const int kDeadPid = 2147483646;

// ---------------------------------------------------------------------------------------------
// A fault plan over the system call table: counts every call, fails the chosen one (the first
// `skip` matching calls pass) with the chosen errno, `times` times (-1: for ever), and keeps
// track of the descriptors the back end has open.

enum Call {
    kOpen,
    kClose,
    kIoctl,
    kFlock,
    kGetAttr,
    kSetAttr,
    kFlush,
    kDrain,
    kRead,
    kWrite,
    kPoll,
    kKill,
    kUnlink,
    kCallCount
};

struct FaultPlan {
    int call = -1;
    int skip = 0;
    int times = 0;
    int error = 0;
    std::string pathPart;       // open and unlink: only paths that contain this
    unsigned long request = 0;  // ioctl: only this request (0: any)
    size_t writeChunk = 0;      // write: at most this many bytes per call (0: no limit)
};

class Faults {
  public:
    Faults() {
        m_table = *PosixDefaultSerialCalls();
        m_table.Open = [](const char* path, int flags, mode_t mode) {
            if (s_active->Trip(kOpen, path, 0))
                return -1;
            const int fd = s_active->m_real->Open(path, flags, mode);
            if (fd >= 0)
                s_active->Opened(fd);
            return fd;
        };
        m_table.Close = [](int fd) {
            s_active->Closed(fd);
            if (s_active->Trip(kClose, nullptr, 0))
                return -1;
            return s_active->m_real->Close(fd);
        };
        m_table.Ioctl = [](int fd, unsigned long request, void* argument) {
            if (s_active->Trip(kIoctl, nullptr, request))
                return -1;
            return s_active->m_real->Ioctl(fd, request, argument);
        };
        m_table.Flock = [](int fd, int operation) {
            if (s_active->Trip(kFlock, nullptr, 0))
                return -1;
            return s_active->m_real->Flock(fd, operation);
        };
        m_table.GetAttr = [](int fd, struct termios* settings) {
            if (s_active->Trip(kGetAttr, nullptr, 0))
                return -1;
            return s_active->m_real->GetAttr(fd, settings);
        };
        m_table.SetAttr = [](int fd, int when, const struct termios* settings) {
            if (s_active->Trip(kSetAttr, nullptr, 0))
                return -1;
            return s_active->m_real->SetAttr(fd, when, settings);
        };
        m_table.Flush = [](int fd, int queue) {
            if (s_active->Trip(kFlush, nullptr, 0))
                return -1;
            return s_active->m_real->Flush(fd, queue);
        };
        m_table.Drain = [](int fd) {
            if (s_active->Trip(kDrain, nullptr, 0))
                return -1;
            return s_active->m_real->Drain(fd);
        };
        m_table.Read = [](int fd, void* buffer, size_t count) -> ssize_t {
            if (s_active->Trip(kRead, nullptr, 0))
                return -1;
            return s_active->m_real->Read(fd, buffer, count);
        };
        m_table.Write = [](int fd, const void* data, size_t count) -> ssize_t {
            if (s_active->Trip(kWrite, nullptr, 0))
                return -1;
            const size_t chunk = s_active->m_plan.writeChunk;
            return s_active->m_real->Write(fd, data, chunk != 0 && count > chunk ? chunk : count);
        };
        m_table.Poll = [](struct pollfd* fds, nfds_t count, int timeoutMs) {
            if (s_active->Trip(kPoll, nullptr, 0))
                return -1;
            return s_active->m_real->Poll(fds, count, timeoutMs);
        };
        m_table.Kill = [](pid_t pid, int signal) {
            if (s_active->Trip(kKill, nullptr, 0))
                return -1;
            return s_active->m_real->Kill(pid, signal);
        };
        m_table.Unlink = [](const char* path) {
            if (s_active->Trip(kUnlink, path, 0))
                return -1;
            return s_active->m_real->Unlink(path);
        };
        s_active = this;
        m_real = PosixSetSerialCalls(&m_table);
    }
    ~Faults() {
        PosixSetSerialCalls(m_real);
        s_active = nullptr;
    }

    void Plan(const FaultPlan& plan) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_plan = plan;
        m_tripped = 0;
    }
    int Count(Call call) const { return m_counts[call].load(); }
    int Tripped() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_tripped;
    }
    std::set<int> OpenDescriptors() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_open;
    }

  private:
    bool Trip(Call call, const char* path, unsigned long request) {
        m_counts[call].fetch_add(1);
        std::lock_guard<std::mutex> hold(m_mutex);
        if (call != m_plan.call || m_plan.times == 0)
            return false;
        if (!m_plan.pathPart.empty() &&
            (path == nullptr || strstr(path, m_plan.pathPart.c_str()) == nullptr)) {
            return false;
        }
        if (m_plan.request != 0 && request != m_plan.request)
            return false;
        if (m_plan.skip > 0) {
            --m_plan.skip;
            return false;
        }
        if (m_plan.times > 0)
            --m_plan.times;
        ++m_tripped;
        errno = m_plan.error;
        return true;
    }
    void Opened(int fd) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_open.insert(fd);
    }
    void Closed(int fd) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_open.erase(fd);
    }

    static Faults* s_active;
    PosixSerialCalls m_table;
    const PosixSerialCalls* m_real = nullptr;
    std::mutex m_mutex;
    FaultPlan m_plan;
    int m_tripped = 0;
    std::atomic<int> m_counts[kCallCount] = {};
    std::set<int> m_open;
};
Faults* Faults::s_active = nullptr;

// ---------------------------------------------------------------------------------------------
// Pseudo-terminals in a folder of the test's own.

struct Pty {
    int master = -1;
    std::string slave;
};

class PosixSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char root[] = "/tmp/posix-serial.XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        m_root = root;
        m_devices = m_root + "/dev";
        m_locks = m_root + "/lock";
        ASSERT_EQ(mkdir(m_devices.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_locks.c_str(), 0755), 0);
        PosixSetDeviceDirectory(m_devices.c_str());
        PosixSetLockDirectory(m_locks.c_str());
    }

    void TearDown() override {
        PosixSetSerialCalls(nullptr);
        PosixSetDeviceDirectory(kNoDevices);
        PosixSetLockDirectory(kNoDevices);
        for (Pty& pty : m_ptys) {
            if (pty.master >= 0)
                close(pty.master);
        }
        RemoveTree(m_root);
    }

    OsSerialApi* Serial() { return OsDefaultSerialApi(); }

    // Makes a pseudo-terminal whose slave side is COM `comPort`'s device in the test's folder.
    // Its line starts with the usual terminal settings (echo, canonical input, CR/LF mapping).
    Pty& AttachPty(unsigned comPort) {
        Pty pty;
        pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(pty.master, 0);
        EXPECT_EQ(grantpt(pty.master), 0);
        EXPECT_EQ(unlockpt(pty.master), 0);
        char slave[128] = "";
        EXPECT_EQ(ptsname_r(pty.master, slave, sizeof slave), 0);
        pty.slave = slave;
        EXPECT_EQ(symlink(slave, DevicePath(comPort).c_str()), 0);
        m_ptys.push_back(pty);
        return m_ptys.back();
    }

    std::string DevicePath(unsigned comPort) {
        char name[32];
        EXPECT_TRUE(PosixComPortDeviceName(comPort, name, sizeof name));
        return m_devices + "/" + name;
    }

    std::string LockPath(unsigned comPort) {
        char name[32];
        EXPECT_TRUE(PosixComPortDeviceName(comPort, name, sizeof name));
        return m_locks + "/LCK.." + name;
    }

    // What the other end of the line receives within a second, up to `count` bytes.
    static std::string ReadMaster(const Pty& pty, size_t count) {
        std::string got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (got.size() < count && std::chrono::steady_clock::now() < until) {
            struct pollfd input = {pty.master, POLLIN, 0};
            if (poll(&input, 1, 20) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = read(pty.master, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    // Nothing more arrives at the other end within a short while.
    static bool MasterStaysQuiet(const Pty& pty) {
        struct pollfd input = {pty.master, POLLIN, 0};
        return poll(&input, 1, 50) == 0;
    }

    static void WriteMaster(const Pty& pty, const std::string& data) {
        ASSERT_EQ(write(pty.master, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    // Waits (a second at most) until the port reports `count` bytes waiting.
    unsigned long WaitForInput(OsPort port, unsigned long count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        unsigned long waiting = Serial()->CountInput(port);
        while (waiting < count && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            waiting = Serial()->CountInput(port);
        }
        return waiting;
    }

    static struct termios LineOf(const Pty& pty) {
        struct termios line;
        memset(&line, 0, sizeof line);
        EXPECT_EQ(tcgetattr(pty.master, &line), 0);
        return line;
    }

    std::string m_root;
    std::string m_devices;
    std::string m_locks;
    std::vector<Pty> m_ptys;
};

// ---------------------------------------------------------------------------------------------
// The device map.

TEST(PosixComPortMap, EveryRangeStartsAndEndsWhereTheMapSays) {
    const struct {
        unsigned comPort;
        const char* name;
    } kCases[] = {
        {1, "ttyS0"},      {32, "ttyS31"},   {33, "ttyUSB0"},   {64, "ttyUSB31"}, {65, "ttyACM0"},
        {96, "ttyACM31"},  {97, "ttyAMA0"},  {128, "ttyAMA31"}, {129, "rfcomm0"}, {160, "rfcomm31"},
        {161, "ttySL0"},   {168, "ttySL7"},  {169, "ttyLT0"},   {176, "ttyLT7"},  {177, "ttySHSF0"},
        {184, "ttySHSF7"}, {185, "ttyIAX0"}, {192, "ttyIAX7"},  {193, "ttyS32"},  {256, "ttyS95"},
    };
    for (const auto& c : kCases) {
        char name[32] = "";
        EXPECT_TRUE(PosixComPortDeviceName(c.comPort, name, sizeof name)) << c.comPort;
        EXPECT_STREQ(name, c.name) << "COM" << c.comPort;
    }
}

TEST(PosixComPortMap, EveryPortHasItsOwnDeviceAndNothingOutsideHasOne) {
    std::set<std::string> names;
    for (unsigned comPort = 1; comPort <= 256; ++comPort) {
        char name[32] = "";
        ASSERT_TRUE(PosixComPortDeviceName(comPort, name, sizeof name)) << comPort;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 256u);

    char name[32] = "x";
    EXPECT_FALSE(PosixComPortDeviceName(0, name, sizeof name));
    EXPECT_FALSE(PosixComPortDeviceName(257, name, sizeof name));
    char small[6];  // "ttyS0" fits, "ttyS10" does not
    EXPECT_TRUE(PosixComPortDeviceName(1, small, sizeof small));
    EXPECT_FALSE(PosixComPortDeviceName(11, small, sizeof small));
}

TEST(PosixComPortMap, PathsLieInTheDeviceFolder) {
    char path[64];
    PosixSetDeviceDirectory(nullptr);  // the back end's own folder; nothing is opened here
    EXPECT_TRUE(PosixComPortPath(1, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS0");
    EXPECT_TRUE(PosixComPortPath(256, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS95");
    PosixSetDeviceDirectory("/tmp/ports");
    EXPECT_TRUE(PosixComPortPath(40, path, sizeof path));
    EXPECT_STREQ(path, "/tmp/ports/ttyUSB7");
    char tight[12];
    EXPECT_FALSE(PosixComPortPath(40, tight, sizeof tight));
    PosixSetDeviceDirectory(kNoDevices);
}

// ---------------------------------------------------------------------------------------------
// Open, line set-up and the bytes on the line.

TEST_F(PosixSerialTest, RawLineCarriesBytesExactlyAsSentBothWays) {
    Pty& pty = AttachPty(200);  // ttyS39, in the map's last range
    unsigned long reason = 99;
    OsPort port = Serial()->OpenPort(200, &reason);
    ASSERT_NE(port, nullptr) << reason;
    EXPECT_EQ(reason, 0u);
    Serial()->SetUpLine(port);

    const struct termios line = LineOf(pty);
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);

    // The modem's answer arrives as sent: no CR to LF mapping, no waiting for a line end.
    WriteMaster(pty, "\r\nOK\r");
    ASSERT_EQ(WaitForInput(port, 5), 5u);
    char answer[16] = "";
    EXPECT_EQ(Serial()->ReadPort(port, answer, sizeof answer - 1), 5u);
    EXPECT_STREQ(answer, "\r\nOK\r");
    EXPECT_TRUE(MasterStaysQuiet(pty)) << "the line echoed the answer back";

    // The command leaves as sent: no CR to CR LF mapping.
    EXPECT_EQ(Serial()->WritePort(port, "AT&FV1E0\r", 9), 9u);
    Serial()->FlushPort(port);
    EXPECT_EQ(ReadMaster(pty, 9), "AT&FV1E0\r");
    EXPECT_TRUE(MasterStaysQuiet(pty));
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, ReadsTakeOnlyWhatWaitsAndNeverBlock) {
    Pty& pty = AttachPty(3);
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(3, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->SetUpLine(port);

    char buffer[600];
    EXPECT_EQ(Serial()->CountInput(port), 0u);
    EXPECT_EQ(Serial()->ReadPort(port, buffer, sizeof buffer), 0u);  // returns, nothing there

    WriteMaster(pty, std::string(600, 'x'));
    ASSERT_EQ(WaitForInput(port, 600), 600u);
    EXPECT_EQ(Serial()->ReadPort(port, buffer, 511), 511u);
    EXPECT_EQ(Serial()->CountInput(port), 89u);

    Serial()->PurgeInput(port);
    EXPECT_EQ(Serial()->CountInput(port), 0u);
    EXPECT_EQ(Serial()->ReadPort(port, buffer, sizeof buffer), 0u);
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, OriginalLineSettingsComeBackOnClose) {
    Pty& pty = AttachPty(7);
    struct termios original = LineOf(pty);
    cfsetispeed(&original, B4800);
    cfsetospeed(&original, B4800);
    original.c_cflag = (original.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    original.c_iflag |= ICRNL | IXON;
    original.c_lflag |= ICANON | ECHO;
    original.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &original), 0);
    original = LineOf(pty);

    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(7, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->SetUpLine(port);
    const struct termios raw = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&raw), static_cast<speed_t>(B9600));
    Serial()->ClosePort(port);

    const struct termios restored = LineOf(pty);
    EXPECT_EQ(cfgetispeed(&restored), static_cast<speed_t>(B4800));
    EXPECT_EQ(cfgetospeed(&restored), static_cast<speed_t>(B4800));
    EXPECT_EQ(restored.c_cflag, original.c_cflag);
    EXPECT_EQ(restored.c_iflag, original.c_iflag);
    EXPECT_EQ(restored.c_oflag, original.c_oflag);
    EXPECT_EQ(restored.c_lflag, original.c_lflag);
    EXPECT_EQ(restored.c_cc[VMIN], 1);
}

// ---------------------------------------------------------------------------------------------
// Exclusivity and the UUCP lock files.

TEST_F(PosixSerialTest, APortIsOursAloneWhileOpen) {
    AttachPty(2);
    unsigned long reason = 0;
    OsPort first = Serial()->OpenPort(2, &reason);
    ASSERT_NE(first, nullptr) << reason;
    EXPECT_EQ(Serial()->OpenPort(2, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);
    Serial()->ClosePort(first);

    OsPort again = Serial()->OpenPort(2, &reason);
    EXPECT_NE(again, nullptr) << reason;
    Serial()->ClosePort(again);
}

TEST_F(PosixSerialTest, ADeviceAnotherProgramHoldsIsInUse) {
    const Pty& pty = AttachPty(34);
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    unsigned long reason = 0;
    EXPECT_EQ(Serial()->OpenPort(34, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Exists(LockPath(34))) << "a failed open left a lock file behind";

    close(other);
    OsPort port = Serial()->OpenPort(34, &reason);
    EXPECT_NE(port, nullptr) << reason;
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, TheSystemConsoleIsNeverOpened) {
    // A terminal class folder in which the console writes to tty0 and to COM5's device.
    const Pty console = AttachPty(5);  // a copy: later attachments move the list
    struct stat device;
    ASSERT_EQ(stat(console.slave.c_str(), &device), 0);
    const std::string classes = m_root + "/class";
    ASSERT_EQ(mkdir(classes.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((classes + "/console").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((classes + "/tty0").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((classes + "/ttyFAKE").c_str(), 0755), 0);
    WriteWhole(classes + "/console/active", "tty0 ttyFAKE\n");
    WriteWhole(classes + "/tty0/dev", "4:0\n");
    WriteWhole(classes + "/ttyFAKE/dev", std::to_string(major(device.st_rdev)) + ":" +
                                             std::to_string(minor(device.st_rdev)) + "\n");
    const struct termios before = LineOf(console);
    AttachPty(6);
    PosixSetTtyClassDirectory(classes.c_str());

    unsigned long reason = 0;
    EXPECT_EQ(Serial()->OpenPort(5, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Exists(LockPath(5)));
    const struct termios after = LineOf(console);
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0) << "the console's line was changed";

    // Other ports open as usual.
    OsPort port = Serial()->OpenPort(6, &reason);
    EXPECT_NE(port, nullptr) << reason;
    Serial()->ClosePort(port);
    PosixSetTtyClassDirectory(nullptr);
}

TEST_F(PosixSerialTest, OurLockFileNamesUsWhileOpenAndGoesOnClose) {
    AttachPty(66);  // ttyACM1
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(66, &reason);
    ASSERT_NE(port, nullptr) << reason;
    EXPECT_EQ(LockPath(66), m_locks + "/LCK..ttyACM1");
    EXPECT_EQ(ReadWhole(LockPath(66)), AsciiPid(getpid()));
    Serial()->ClosePort(port);
    EXPECT_FALSE(Exists(LockPath(66)));
}

TEST_F(PosixSerialTest, LockFilesOfOtherProgramsAreRespectedUnlessTheirOwnerIsGone) {
    const struct {
        const char* what;
        std::string content;
        bool inUse;
    } kCases[] = {
        {"ASCII pid of a live process", AsciiPid(1), true},
        {"short ASCII pid of a live process", "1\n", true},
        {"binary pid of a live process", BinaryPid(1), true},
        {"empty, perhaps still being written", "", true},
        {"no pid in it", "locked by someone\n", true},
        {"ASCII pid of a process that is gone", AsciiPid(kDeadPid), false},
        {"binary pid of a process that is gone", BinaryPid(kDeadPid), false},
    };
    AttachPty(5);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        WriteWhole(LockPath(5), c.content);
        Faults faults;
        unsigned long reason = 0;
        OsPort port = Serial()->OpenPort(5, &reason);
        if (c.inUse) {
            EXPECT_EQ(port, nullptr);
            EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);
            EXPECT_EQ(ReadWhole(LockPath(5)), c.content) << "another program's lock was touched";
            EXPECT_EQ(faults.Count(kOpen), 1) << "only the lock file may be opened";
        } else {
            ASSERT_NE(port, nullptr) << reason;
            EXPECT_EQ(ReadWhole(LockPath(5)), AsciiPid(getpid()));
            Serial()->ClosePort(port);
        }
        EXPECT_TRUE(faults.OpenDescriptors().empty());
        unlink(LockPath(5).c_str());
    }

    // A lock file we may not read is still a lock.
    WriteWhole(LockPath(5), AsciiPid(kDeadPid));
    Faults faults;
    faults.Plan({kOpen, 0, -1, EACCES, "LCK..", 0, 0});
    unsigned long reason = 0;
    EXPECT_EQ(Serial()->OpenPort(5, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(LockPath(5)));
}

TEST_F(PosixSerialTest, ALockIsHeldExactlyAsLongAsItsProcessLives) {
    AttachPty(130);  // rfcomm1
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        pause();
        _exit(0);
    }
    WriteWhole(LockPath(130), AsciiPid(holder));
    unsigned long reason = 0;
    EXPECT_EQ(Serial()->OpenPort(130, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_ACCESS_DENIED);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    OsPort port = Serial()->OpenPort(130, &reason);
    ASSERT_NE(port, nullptr) << reason;
    EXPECT_EQ(ReadWhole(LockPath(130)), AsciiPid(getpid()));
    Serial()->ClosePort(port);
    EXPECT_FALSE(Exists(LockPath(130)));
}

TEST_F(PosixSerialTest, APortOpensWithoutALockWhereNoLockFileCanBeMade) {
    AttachPty(9);
    const std::string missing = m_root + "/no-lock-folder";
    PosixSetLockDirectory(missing.c_str());
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(9, &reason);
    EXPECT_NE(port, nullptr) << reason;
    Serial()->ClosePort(port);

    // A lock folder we may not write: the creation is refused.
    PosixSetLockDirectory(m_locks.c_str());
    Faults faults;
    faults.Plan({kOpen, 0, -1, EACCES, "LCK..", 0, 0});
    port = Serial()->OpenPort(9, &reason);
    EXPECT_NE(port, nullptr) << reason;
    EXPECT_FALSE(Exists(LockPath(9)));
    Serial()->ClosePort(port);
    EXPECT_TRUE(faults.OpenDescriptors().empty());
}

// ---------------------------------------------------------------------------------------------
// Open failures in Win32 numbering.

// The codes that have a row of their own in the probe's message table.
const unsigned long kTableCodes[] = {2, 3, 4, 5, 7, 8, 12, 15, 20, 21, 32};

bool IsTableCode(unsigned long code) {
    for (unsigned long c : kTableCodes) {
        if (c == code)
            return true;
    }
    return false;
}

TEST(PosixOpenFailureReason, EveryErrnoReachesTheRowOfItsMeaning) {
    const struct {
        int error;
        unsigned long reason;
    } kCases[] = {
        {ENOENT, 2},      {ENODEV, 2},      {ENXIO, 2},    {EIO, 2},       {EISDIR, 2},
        {ENOTDIR, 3},     {EMFILE, 4},      {ENFILE, 4},   {EBUSY, 5},     {EWOULDBLOCK, 5},
        {EACCES, 5},      {EPERM, 5},       {ENOMEM, 8},   {ELOOP, ELOOP}, {EINVAL, EINVAL},
        {ENOTTY, ENOTTY}, {ENOLCK, ENOLCK}, {ESRCH, 1003}, {EINTR, 1004},  {E2BIG, 1007},
        {ENOEXEC, 1008},  {ENOTBLK, 1015},  {EPIPE, 1032}, {0, 1000},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(PosixOpenFailureReason(c.error), c.reason) << strerror(c.error);
    }
}

TEST(PosixOpenFailureReason, NoErrnoPassesForARowThatMeansSomethingElse) {
    const std::set<int> kMapped = {ENOENT, ENODEV, ENXIO,  EIO,    EISDIR, ENOTDIR, EMFILE,
                                   ENFILE, EBUSY,  EAGAIN, EACCES, EPERM,  ENOMEM};
    for (int error = 1; error < 256; ++error) {
        const unsigned long reason = PosixOpenFailureReason(error);
        if (IsTableCode(reason)) {
            EXPECT_TRUE(kMapped.count(error)) << error << " " << strerror(error);
        } else {
            EXPECT_TRUE(reason == static_cast<unsigned long>(error) || reason == 1000u + error)
                << error;
        }
    }
}

struct OpenFault {
    const char* what;
    FaultPlan plan;
    unsigned long reason;
};

TEST_F(PosixSerialTest, EveryFailingStepOfAnOpenIsReportedAndUndone) {
    const std::string device = DevicePath(33);  // .../ttyUSB0
    const OpenFault kCases[] = {
        {"no device", {kOpen, 0, -1, ENOENT, device, 0, 0}, 2},
        {"no driver", {kOpen, 0, -1, ENODEV, device, 0, 0}, 2},
        {"no such unit", {kOpen, 0, -1, ENXIO, device, 0, 0}, 2},
        {"node without hardware", {kOpen, 0, -1, EIO, device, 0, 0}, 2},
        {"a folder at the name", {kOpen, 0, -1, EISDIR, device, 0, 0}, 2},
        {"a file in the path", {kOpen, 0, -1, ENOTDIR, device, 0, 0}, 3},
        {"device busy", {kOpen, 0, -1, EBUSY, device, 0, 0}, 5},
        {"permission", {kOpen, 0, -1, EACCES, device, 0, 0}, 5},
        {"not permitted", {kOpen, 0, -1, EPERM, device, 0, 0}, 5},
        {"process descriptors", {kOpen, 0, -1, EMFILE, device, 0, 0}, 4},
        {"system descriptors", {kOpen, 0, -1, ENFILE, device, 0, 0}, 4},
        {"memory", {kOpen, 0, -1, ENOMEM, device, 0, 0}, 8},
        {"symlink loop", {kOpen, 0, -1, ELOOP, device, 0, 0}, ELOOP},
        {"colliding errno ESRCH", {kOpen, 0, -1, ESRCH, device, 0, 0}, 1003},
        {"colliding errno E2BIG", {kOpen, 0, -1, E2BIG, device, 0, 0}, 1007},
        {"colliding errno ENOEXEC", {kOpen, 0, -1, ENOEXEC, device, 0, 0}, 1008},
        {"colliding errno ENOTBLK", {kOpen, 0, -1, ENOTBLK, device, 0, 0}, 1015},
        {"colliding errno EPIPE", {kOpen, 0, -1, EPIPE, device, 0, 0}, 1032},
        {"not a terminal", {kIoctl, 0, -1, ENOTTY, "", TIOCEXCL, 0}, ENOTTY},
        {"exclusive use refused", {kIoctl, 0, -1, EBUSY, "", TIOCEXCL, 0}, 5},
        {"flock held elsewhere", {kFlock, 0, -1, EWOULDBLOCK, "", 0, 0}, 5},
        {"no locks left", {kFlock, 0, -1, ENOLCK, "", 0, 0}, ENOLCK},
        {"settings unreadable", {kGetAttr, 0, -1, EIO, "", 0, 0}, 2},
        {"settings of a non-terminal", {kGetAttr, 0, -1, ENOTTY, "", 0, 0}, ENOTTY},
        {"interrupted for ever", {kOpen, 0, -1, EINTR, device, 0, 0}, 1004},
    };
    AttachPty(33);
    for (const OpenFault& c : kCases) {
        SCOPED_TRACE(c.what);
        Faults faults;
        faults.Plan(c.plan);
        unsigned long reason = 0;
        EXPECT_EQ(Serial()->OpenPort(33, &reason), nullptr);
        EXPECT_EQ(reason, c.reason);
        EXPECT_GE(faults.Tripped(), 1);
        EXPECT_TRUE(faults.OpenDescriptors().empty()) << "a descriptor was left open";
        EXPECT_FALSE(Exists(LockPath(33))) << "a lock file was left behind";
    }
    // None of that left the port unusable.
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(33, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, InterruptedCallsOfAnOpenAreTriedAgain) {
    const FaultPlan kPlans[] = {
        {kOpen, 0, 2, EINTR, "/dev/ttyS10", 0, 0},
        {kFlock, 0, 1, EINTR, "", 0, 0},
        {kGetAttr, 0, 1, EINTR, "", 0, 0},
    };
    AttachPty(11);
    for (const FaultPlan& plan : kPlans) {
        SCOPED_TRACE(plan.call);
        Faults faults;
        faults.Plan(plan);
        unsigned long reason = 0;
        OsPort port = Serial()->OpenPort(11, &reason);
        EXPECT_NE(port, nullptr) << reason;
        EXPECT_GE(faults.Tripped(), 1);
        Serial()->ClosePort(port);
        EXPECT_TRUE(faults.OpenDescriptors().empty());
    }
}

TEST_F(PosixSerialTest, AFailingLineSetUpLeavesAPortThatStillClosesCleanly) {
    Pty& pty = AttachPty(12);
    const struct termios before = LineOf(pty);
    Faults faults;
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(12, &reason);
    ASSERT_NE(port, nullptr) << reason;
    faults.Plan({kSetAttr, 0, 1, EIO, "", 0, 0});
    Serial()->SetUpLine(port);
    EXPECT_EQ(faults.Tripped(), 1);
    EXPECT_NE(LineOf(pty).c_lflag & ICANON, 0u) << "the line was changed after all";

    // The line keeps its terminal settings, so the answer comes through mapped: CR becomes LF.
    WriteMaster(pty, "OK\r");
    ASSERT_EQ(WaitForInput(port, 3), 3u);
    char answer[8] = "";
    EXPECT_EQ(Serial()->ReadPort(port, answer, sizeof answer - 1), 3u);
    EXPECT_STREQ(answer, "OK\n");

    Serial()->ClosePort(port);
    EXPECT_TRUE(faults.OpenDescriptors().empty());
    EXPECT_FALSE(Exists(LockPath(12)));
    EXPECT_EQ(LineOf(pty).c_lflag, before.c_lflag);
}

// ---------------------------------------------------------------------------------------------
// A port that vanishes in the middle of a conversation, and writes that cannot go on.

TEST_F(PosixSerialTest, APortWhoseOtherEndVanishesAnswersNothingAndStillCloses) {
    Pty& pty = AttachPty(14);
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(14, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->SetUpLine(port);
    WriteMaster(pty, "OK\r");
    ASSERT_EQ(WaitForInput(port, 3), 3u);

    close(pty.master);  // the line hangs up
    pty.master = -1;
    char buffer[64];
    EXPECT_EQ(Serial()->CountInput(port), 0u);
    EXPECT_EQ(Serial()->ReadPort(port, buffer, sizeof buffer), 0u);
    EXPECT_EQ(Serial()->WritePort(port, "ATI3\r", 5), 0u);
    Serial()->PurgeOutput(port);
    Serial()->PurgeInput(port);
    Serial()->FlushPort(port);
    Serial()->ClosePort(port);
    EXPECT_FALSE(Exists(LockPath(14)));
}

TEST_F(PosixSerialTest, APortThatFailsMidScriptGivesEmptyAnswersWithoutSpinning) {
    Pty& pty = AttachPty(15);
    Faults faults;
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(15, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->SetUpLine(port);
    WriteMaster(pty, "OK\r");
    ASSERT_EQ(WaitForInput(port, 3), 3u);

    char buffer[64];
    faults.Plan({kIoctl, 0, -1, EIO, "", FIONREAD, 0});
    EXPECT_EQ(Serial()->CountInput(port), 0u);
    faults.Plan({kRead, 0, -1, EIO, "", 0, 0});
    EXPECT_EQ(Serial()->ReadPort(port, buffer, sizeof buffer), 0u);
    EXPECT_EQ(faults.Tripped(), 1) << "a failed read was retried";
    faults.Plan({kWrite, 0, -1, EIO, "", 0, 0});
    EXPECT_EQ(Serial()->WritePort(port, "ATI3\r", 5), 0u);
    EXPECT_EQ(faults.Tripped(), 1) << "a failed write was retried";

    Serial()->ClosePort(port);
    EXPECT_TRUE(faults.OpenDescriptors().empty());
    EXPECT_FALSE(Exists(LockPath(15)));
}

TEST_F(PosixSerialTest, WritesGoOnAfterInterruptsAndPartialWrites) {
    Pty& pty = AttachPty(16);
    Faults faults;
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(16, &reason);
    ASSERT_NE(port, nullptr) << reason;
    Serial()->SetUpLine(port);

    const std::string command = "AT+FCLASS=?;+FMFR?;+FMDL?;+FREV?;I0;I3;&V\r";
    FaultPlan plan{kWrite, 2, 2, EINTR, "", 0, 0};
    plan.writeChunk = 3;
    faults.Plan(plan);
    EXPECT_EQ(Serial()->WritePort(port, command.data(), command.size()), command.size());
    EXPECT_EQ(faults.Tripped(), 2);
    EXPECT_EQ(ReadMaster(pty, command.size()), command);
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, AWriteThatTheLineNeverTakesGivesUp) {
    AttachPty(17);
    Faults faults;
    unsigned long reason = 0;
    OsPort port = Serial()->OpenPort(17, &reason);
    ASSERT_NE(port, nullptr) << reason;
    faults.Plan({kWrite, 0, -1, EAGAIN, "", 0, 0});
    EXPECT_EQ(Serial()->WritePort(port, "AT\r", 3), 0u);
    EXPECT_LE(faults.Count(kWrite), 25);
    EXPECT_LE(faults.Count(kPoll), 25);
    Serial()->ClosePort(port);
}

TEST_F(PosixSerialTest, OperationsOnNoPortDoNothing) {
    char buffer[8];
    Serial()->SetUpLine(nullptr);
    Serial()->PurgeOutput(nullptr);
    Serial()->PurgeInput(nullptr);
    EXPECT_EQ(Serial()->CountInput(nullptr), 0u);
    EXPECT_EQ(Serial()->ReadPort(nullptr, buffer, sizeof buffer), 0u);
    EXPECT_EQ(Serial()->WritePort(nullptr, "AT\r", 3), 0u);
    Serial()->FlushPort(nullptr);
    Serial()->ClosePort(nullptr);
    unsigned long reason = 0;
    EXPECT_EQ(Serial()->OpenPort(0, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Serial()->OpenPort(257, &reason), nullptr);
    EXPECT_EQ(reason, OS_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Serial()->OpenPort(1, &reason), nullptr);  // nothing linked in the test's folder
    EXPECT_EQ(reason, OS_ERROR_FILE_NOT_FOUND);
}

}  // namespace
