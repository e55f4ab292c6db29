// A terminal double: input lines queued by the test, output captured, Ctrl+C on demand.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "os/Os.h"

class ScriptedConsole : public OsConsoleApi {
  public:
    ScriptedConsole();            // installs itself as the console
    ~ScriptedConsole() override;  // puts the previous console back

    // Queues input lines, read in order by the program's prompts and boxes.
    void AddLine(const std::string& line);
    void AddLines(std::initializer_list<const char*> lines);
    // With `wait` set, an empty queue makes a read time out (the program keeps waiting)
    // instead of ending the input.
    void SetWaitForInput(bool wait) { m_wait = wait; }
    // Called (on the reading thread) each time the program wants a line; it may queue one.
    void SetOnRead(std::function<void(const std::string& outputSoFar)> onRead);
    // Everything the program has written so far.
    std::string Output();
    // Count of lines read so far.
    int LinesRead() const { return m_linesRead.load(); }
    // Ctrl+C: the next TakeInterrupt reports it.
    void RaiseInterrupt() { m_interrupts.fetch_add(1); }

    OsReadResult ReadLine(char* buffer, size_t size, unsigned timeoutMs) override;
    void Write(const char* text) override;
    bool IsTerminal() override { return false; }
    int TakeInterrupt() override;

  private:
    std::mutex m_mutex;
    std::deque<std::string> m_lines;
    std::string m_output;
    std::function<void(const std::string&)> m_onRead;
    std::atomic<bool> m_wait{false};
    std::atomic<int> m_linesRead{0};
    std::atomic<int> m_interrupts{0};
    int m_seenInterrupts = 0;
    OsConsoleApi* m_previous;
};
