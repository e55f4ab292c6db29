#include "ProgramState.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "CausalClock.h"
#include "app/App.h"
#include "common/Common.h"
#include "os/Os.h"
#include "search/Search.h"
#include "search/SearchDlg.h"
#include "support/Support.h"

void ResetProgramState() {
    g_quit.store(0);
    g_closeRequested.store(0);
    g_clockChanges.store(0);
    memset(g_userName, 0, sizeof g_userName);
    memset(g_userEmail, 0, sizeof g_userEmail);
    memset(g_promptTitle, 0, sizeof g_promptTitle);
    memset(g_promptCancelText, 0, sizeof g_promptCancelText);
    memset(g_promptOkText, 0, sizeof g_promptOkText);
    memset(g_promptText, 0, sizeof g_promptText);
    memset(g_promptEditText, 0, sizeof g_promptEditText);
    g_searchDlg.store(nullptr);
    g_findSearchDlg.store(nullptr);
    g_findThread.store(nullptr);
    g_findThreadId.store(0);
    g_housekeepingThread.store(nullptr);
    g_housekeepingThreadId.store(0);
    g_sendThread.store(nullptr);
    g_sendThreadId.store(0);
    g_sendOwnerWnd.store(nullptr);
    g_wsaStarted.store(0);
    memset(g_sendSubject, 0, sizeof g_sendSubject);
    memset(g_sendMessage, 0, sizeof g_sendMessage);
    g_mainDlg = nullptr;
    OsFailThreadStarts(0);
}

bool WaitForAllThreads(int seconds) {
    // A real-time wait: the threads this one started must not wait for its clock meanwhile.
    CausalClock::ExcuseThisThread(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool ended = true;
    while (OsRunningThreadCount() > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ended = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CausalClock::ExcuseThisThread(false);
    return ended;
}

std::string MakeScratchStartDir() {
    char pattern[] = "/tmp/modemtest-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr)
        return std::string();
    snprintf(g_startDir, sizeof g_startDir, "%s", dir);
    return dir;
}

size_t CountOccurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}
