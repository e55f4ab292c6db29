// Terminal input and output on POSIX: line reads with a time limit, and Ctrl+C.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/OsBackEnd.h"

namespace {
volatile sig_atomic_t s_interrupts = 0;

void OnInterrupt(int) {
    s_interrupts = s_interrupts + 1;
}

class PosixConsole : public OsConsoleApi {
  public:
    PosixConsole() {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
    }

    OsReadResult ReadLine(char* buffer, size_t size, unsigned timeoutMs) override {
        for (;;) {
            if (TakeBufferedLine(buffer, size))
                return OS_READ_LINE;
            if (m_ended) {
                if (m_length > 0) {  // a last line without its line end
                    CopyOut(buffer, size, m_length);
                    m_length = 0;
                    return OS_READ_LINE;
                }
                return OS_READ_END;
            }
            struct pollfd input = {STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&input, 1, static_cast<int>(timeoutMs));
            if (ready == 0 || (ready < 0 && errno == EINTR))
                return OS_READ_TIMEOUT;
            if (ready < 0) {
                m_ended = true;
                continue;
            }
            if (m_length == sizeof m_pending) {  // an over-long line: hand over what we have
                CopyOut(buffer, size, m_length);
                m_length = 0;
                return OS_READ_LINE;
            }
            const ssize_t n = read(STDIN_FILENO, m_pending + m_length, sizeof m_pending - m_length);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                return OS_READ_TIMEOUT;
            if (n <= 0) {
                m_ended = true;
                continue;
            }
            m_length += static_cast<size_t>(n);
        }
    }

    void Write(const char* text) override {
        fputs(text, stdout);
        fflush(stdout);
    }

    bool IsTerminal() override { return isatty(STDOUT_FILENO) != 0; }

    int TakeInterrupt() override {
        if (s_interrupts == m_seenInterrupts)
            return 0;
        m_seenInterrupts = s_interrupts;
        return 1;
    }

  private:
    bool TakeBufferedLine(char* buffer, size_t size) {
        char* end = static_cast<char*>(memchr(m_pending, '\n', m_length));
        if (end == nullptr)
            return false;
        size_t lineLength = static_cast<size_t>(end - m_pending);
        CopyOut(buffer, size,
                lineLength > 0 && m_pending[lineLength - 1] == '\r' ? lineLength - 1 : lineLength);
        const size_t consumed = lineLength + 1;
        memmove(m_pending, m_pending + consumed, m_length - consumed);
        m_length -= consumed;
        return true;
    }

    void CopyOut(char* buffer, size_t size, size_t length) {
        if (size == 0)
            return;
        if (length > size - 1)
            length = size - 1;
        memcpy(buffer, m_pending, length);
        buffer[length] = '\0';
    }

    char m_pending[4096];
    size_t m_length = 0;
    bool m_ended = false;
    sig_atomic_t m_seenInterrupts = 0;
};
}  // namespace

OsConsoleApi* OsDefaultConsoleApi() {
    static PosixConsole console;
    return &console;
}
