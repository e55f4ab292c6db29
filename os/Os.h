// The OS layer: everything the system asks of the platform, typed and small.
//
// Every service is a table of operations (an abstract struct). Each back end (os/posix,
// os/win32) supplies the default tables; tests swap in their own with the OsSet...Api calls,
// which return the table in force before, so a double can forward to it. Passing null puts the
// back end's default back. The Os... free functions are what the system's code calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Reason codes of a failed port open, in Win32 system error numbering.
enum : unsigned long {
    OS_ERROR_FILE_NOT_FOUND = 2,
    OS_ERROR_PATH_NOT_FOUND = 3,
    OS_ERROR_TOO_MANY_OPEN_FILES = 4,
    OS_ERROR_ACCESS_DENIED = 5,
    OS_ERROR_ARENA_TRASHED = 7,
    OS_ERROR_NOT_ENOUGH_MEMORY = 8,
    OS_ERROR_INVALID_ACCESS = 12,
    OS_ERROR_INVALID_DRIVE = 15,
    OS_ERROR_BAD_UNIT = 20,
    OS_ERROR_NOT_READY = 21,
    OS_ERROR_SHARING_VIOLATION = 32,
};

// ---------------------------------------------------------------------------------------------
// Serial ports. A port is opened by its COM number (1 for COM1).
typedef struct OsPortImpl* OsPort;  // null: no port

struct OsSerialApi {
    virtual ~OsSerialApi() {}
    // Opens the port exclusively for synchronous reading and writing. On failure returns null
    // and stores the reason code (Win32 numbering; other errors keep their own number).
    virtual OsPort OpenPort(unsigned comPort, unsigned long* reason) = 0;
    // 2048-byte queues, 9600 baud, 8 data bits, no parity, one stop bit, short time-outs,
    // reads and writes stop after a line error until CountInput clears it. Results not reported.
    virtual void SetUpLine(OsPort port) = 0;
    virtual void PurgeOutput(OsPort port) = 0;  // drop output not yet sent
    virtual void PurgeInput(OsPort port) = 0;   // drop input not yet read
    // Clears any line error and returns how many received bytes wait to be read.
    virtual unsigned long CountInput(OsPort port) = 0;
    // Reads at most `count` bytes of what is waiting; never blocks. Returns the count read.
    virtual unsigned long ReadPort(OsPort port, char* buffer, unsigned long count) = 0;
    // Writes the bytes. Returns the count written.
    virtual unsigned long WritePort(OsPort port, const char* data, unsigned long count) = 0;
    // Returns when the output queued so far has been sent.
    virtual void FlushPort(OsPort port) = 0;
    virtual void ClosePort(OsPort port) = 0;
};

OsSerialApi* OsSetSerialApi(OsSerialApi* api);
OsSerialApi* OsDefaultSerialApi();

OsPort OsOpenPort(unsigned comPort, unsigned long* reason);
void OsSetUpLine(OsPort port);
void OsPurgeOutput(OsPort port);
void OsPurgeInput(OsPort port);
unsigned long OsCountInput(OsPort port);
unsigned long OsReadPort(OsPort port, char* buffer, unsigned long count);
unsigned long OsWritePort(OsPort port, const char* data, unsigned long count);
void OsFlushPort(OsPort port);
void OsClosePort(OsPort port);

// ---------------------------------------------------------------------------------------------
// Clock. Wall-clock milliseconds since 1970 in a count that does not wrap, and sleeping.
struct OsClockApi {
    virtual ~OsClockApi() {}
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(unsigned milliseconds) = 0;
    // Called by OsStartThread in the starting thread; the value is handed to AdoptTime in the
    // new thread before its procedure runs. A controllable clock uses it to let a new thread
    // start at its starter's time.
    virtual uint64_t ForkTime() { return 0; }
    virtual void AdoptTime(uint64_t) {}
};

OsClockApi* OsSetClockApi(OsClockApi* api);
uint64_t OsNowMs();
void OsSleep(unsigned milliseconds);
// Local broken-down time of `seconds` since 1970. Returns false when it cannot be converted.
struct tm;
bool OsLocalTime(int64_t seconds, struct tm* out);

// ---------------------------------------------------------------------------------------------
// Threads.
typedef struct OsThreadImpl* OsThread;  // null: no thread
typedef unsigned long (*OsThreadProc)(void* parameter);
enum : unsigned long { OS_STILL_ACTIVE = 259 };

// Starts `proc(parameter)` at once with default stack size. Stores a non-zero id in `*id`
// before the thread can run. Returns null (and stores 0) when no thread could be started.
OsThread OsStartThread(OsThreadProc proc, void* parameter, uint32_t* id);
// The same, publishing the id in a shared field: it is stored there (release) before the thread
// runs, so the thread's own last act of clearing it always comes after.
OsThread OsStartThread(OsThreadProc proc, void* parameter, std::atomic<uint32_t>* id);
// The thread's exit code, or OS_STILL_ACTIVE while it runs.
unsigned long OsGetThreadExitCode(OsThread thread);
// Releases the handle; a thread still running goes on by itself.
void OsCloseThread(OsThread thread);
uint32_t OsCurrentThreadId();
// How many threads started through OsStartThread have not yet returned.
int OsRunningThreadCount();
// Test seam: the next `count` calls of OsStartThread fail.
void OsFailThreadStarts(int count);

// ---------------------------------------------------------------------------------------------
// Files: binary, shared with other readers and writers. Descriptors are -1 when none.
int OsCreateFile(const char* path);  // read/write, created or emptied, owner read/write
int OsOpenFileRead(const char* path);
long OsWriteFile(int fd, const void* data, unsigned long count);  // -1 on failure
long OsReadFile(int fd, void* buffer, unsigned long count);       // -1 on failure
void OsCloseFile(int fd);
bool OsFileSize(const char* path, uint64_t* size);
bool OsGetCurrentDirectory(char* buffer, size_t size);
const char* OsPathSeparator();  // "\\" on Windows, "/" elsewhere

// ---------------------------------------------------------------------------------------------
// Sockets: IPv4 TCP.
typedef intptr_t OsSocket;
const OsSocket OS_INVALID_SOCKET = -1;

struct OsSocketApi {
    virtual ~OsSocketApi() {}
    virtual bool StartSockets() = 0;  // the socket library is ready (Windows Sockets 1.1)
    virtual OsSocket OpenSocket() = 0;
    // First IPv4 address of `host`, in network byte order.
    virtual bool ResolveHost(const char* host, uint32_t* address) = 0;
    virtual bool Connect(OsSocket socket, uint32_t address, unsigned short port) = 0;  // blocking
    virtual long Send(OsSocket socket, const char* data, long count) = 0;  // -1 on error
    virtual bool SetNonBlocking(OsSocket socket) = 0;
    // Looks at up to `count` received bytes without taking them. -1 when nothing is there yet
    // or the connection is gone.
    virtual long Peek(OsSocket socket, char* buffer, long count) = 0;
    virtual void CloseSocket(OsSocket socket) = 0;
};

OsSocketApi* OsSetSocketApi(OsSocketApi* api);
OsSocketApi* OsSockets();  // the table in force

// ---------------------------------------------------------------------------------------------
// Desktop.
// Opens a document with the user's associated viewer, detached; nothing happens when there is
// none.
void OsOpenDocument(const char* path, const char* directory);
// A graphical display is there to show a viewer on.
bool OsHasGraphicalDisplay();

// ---------------------------------------------------------------------------------------------
// The inputs of the system description.
struct OsVersion {
    unsigned long platformId;
    unsigned long major;
    unsigned long minor;
};
struct OsSystemApi {
    virtual ~OsSystemApi() {}
    virtual void GetVersion(OsVersion* version) = 0;
    virtual bool Is64BitSystem() = 0;
    // The processor architecture text into `buffer` of `size` bytes. Returns false when there
    // is none or it does not fit.
    virtual bool ReadProcessorArchitecture(char* buffer, unsigned long size) = 0;
};
OsSystemApi* OsSetSystemApi(OsSystemApi* api);
OsSystemApi* OsSystem();

// ---------------------------------------------------------------------------------------------
// Console: line input with a time limit, output, the interrupt key.
enum OsReadResult { OS_READ_LINE, OS_READ_TIMEOUT, OS_READ_END };

struct OsConsoleApi {
    virtual ~OsConsoleApi() {}
    // Reads one line (without its line end) into `buffer`, waiting at most `timeoutMs`.
    virtual OsReadResult ReadLine(char* buffer, size_t size, unsigned timeoutMs) = 0;
    virtual void Write(const char* text) = 0;
    virtual bool IsTerminal() = 0;  // output goes to a terminal
    // Returns 1 once per interrupt (Ctrl+C) that has arrived since the last call.
    virtual int TakeInterrupt() = 0;
};
OsConsoleApi* OsSetConsoleApi(OsConsoleApi* api);
OsConsoleApi* OsConsole();

// Ends the process at once with `code`, after flushing standard output.
void OsExitProcess(int code);
