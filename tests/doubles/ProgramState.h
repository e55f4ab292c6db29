// Puts the program's shared state back to how a fresh start finds it, and waits for the threads
// a test started.
#pragma once

#include <cstddef>
#include <string>

// Clears every flag, identity, submission and search global.
void ResetProgramState();
// Waits (real time, at most `seconds`) until every thread started through the OS layer has
// returned. Returns false when some are still running.
bool WaitForAllThreads(int seconds = 20);
// A fresh scratch directory for one test, made the start folder (g_startDir).
std::string MakeScratchStartDir();
// How many times `part` stands in `text` (overlapping matches count).
size_t CountOccurrences(const std::string& text, const std::string& part);
// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
