#include "ScriptedConsole.h"

#include <chrono>
#include <cstring>
#include <thread>

ScriptedConsole::ScriptedConsole() {
    m_previous = OsSetConsoleApi(this);
}

ScriptedConsole::~ScriptedConsole() {
    OsSetConsoleApi(m_previous);
}

void ScriptedConsole::AddLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
}

void ScriptedConsole::AddLines(std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        AddLine(line);
}

void ScriptedConsole::SetOnRead(std::function<void(const std::string&)> onRead) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onRead = std::move(onRead);
}

std::string ScriptedConsole::Output() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output;
}

OsReadResult ScriptedConsole::ReadLine(char* buffer, size_t size, unsigned) {
    std::function<void(const std::string&)> onRead;
    std::string output;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        onRead = m_onRead;
        output = m_output;
    }
    if (onRead)
        onRead(output);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lines.empty()) {
        if (!m_wait)
            return OS_READ_END;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return OS_READ_TIMEOUT;
    }
    const std::string line = m_lines.front();
    m_lines.pop_front();
    if (size > 0) {
        const size_t length = line.size() < size - 1 ? line.size() : size - 1;
        memcpy(buffer, line.data(), length);
        buffer[length] = '\0';
    }
    m_linesRead.fetch_add(1);
    return OS_READ_LINE;
}

void ScriptedConsole::Write(const char* text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_output += text;
}

int ScriptedConsole::TakeInterrupt() {
    const int raised = m_interrupts.load();
    if (raised == m_seenInterrupts)
        return 0;
    ++m_seenInterrupts;
    return 1;
}
