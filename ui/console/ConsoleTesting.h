// What tests may ask of the terminal back end beyond the window layer.
#pragma once

#include <string>
#include <vector>

#include "ui/Ui.h"

// Makes the calling thread the user-interface thread / lets it go again (completing, without
// running them, the calls other threads are still waiting on).
void ConsoleAttachUiThread();
void ConsoleDetachUiThread();

// State of a live window (empty when the window does not exist).
std::vector<std::string> ConsoleListItems(CDialog* window, int id);
std::string ConsoleControlText(CDialog* window, int id);
bool ConsoleIsControlVisible(CDialog* window, int id);
bool ConsoleIsWindowEnabled(CDialog* window);
bool ConsoleIsTopMost(CDialog* window);
std::string ConsoleWindowTitle(CDialog* window);
// EndDialog has been called and the modal loop will end.
bool ConsoleIsWindowEnding(CDialog* window);
int ConsoleFocusedControl(CDialog* window);

// Delivers a system time change to every live window, as the system would.
void ConsoleSimulateTimeChange();
