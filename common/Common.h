// Program constants, the flags every thread obeys, PumpWait and the text helpers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Caption of every window and message box, and the version text.
extern const char kCaption[];      // "Dunvarlotek Modem Test"
extern const char kVersionText[];  // "24.07.27"

// Set to 1 once, by the main window's first close request; every wait obeys it.
extern std::atomic<int> g_quit;
// Set by File > Exit and by the first close request; read by the main window's OnCancel.
extern std::atomic<int> g_closeRequested;
// Set to 10 when the system time changes; every timed wait that finds it above 0 ends at once
// and takes one from it.
extern std::atomic<int> g_clockChanges;
// The current directory at program start: the folder of Modem.txt.
extern char g_startDir[260];

// Takes one pending clock change, if there is one. Returns 1 when it took one. The counter never
// drops below 0, however many threads take from it at once.
int TakeClockChange();

// Waits `milliseconds` while keeping the calling thread's window messages flowing. Ends early
// on a pending clock change (taking one) or once g_quit is set. Pumps and sleeps at least once.
void PumpWait(unsigned milliseconds);

// Substring search that ignores the case of the letters A to Z. Returns a pointer into `text`
// at the first match, or null (also for a null argument or when a copy cannot be allocated).
char* FindNoCase(const char* text, const char* pattern);
// Removes trailing LF, CR and space characters in place. Returns `text`.
char* TrimRight(char* text);
// Copies at most count - 1 characters and always terminates `dst`. A null `src` empties `dst`.
char* CopyBounded(char* dst, const char* src, size_t count);
// Appends `src` so that `dst` holds at most count - 1 characters and stays terminated.
char* AppendBounded(char* dst, const char* src, size_t count);
// Drops at most 10 leading CR/LF characters and turns every run of CR/LF into one CR LF pair.
// The result holds at most 2046 characters.
void NormalizeLineBreaks(char* text);

// Composes `dir`, the platform's path separator and `name` into `path` ("%s%s%s").
void ComposePath(char* path, size_t size, const char* dir, const char* name);
// The path of the log file, Modem.txt in the start folder.
void ComposeLogPath(char* path, size_t size);
// The local time of `seconds` since 1970 in the C run time's asctime form, "Wed Dec 09 13:02:46
// 2026\n" (day of the month with a leading zero), into `text` of at least 26 bytes.
void FormatAsctime(char* text, size_t size, int64_t seconds);
