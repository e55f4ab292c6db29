// Runs test code on the user-interface thread inside a live modal window, and reads the state of
// a live window's controls.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ui/Ui.h"

// Runs `body` inside the command handler of a modal window made from template `templateId`;
// the calling thread becomes the user-interface thread. Returns when `body` has returned and
// the window has closed.
void RunInWindow(int templateId, const std::function<void(CDialog* window)>& body);

// The lines of list box `id` of a live window, in their sorted order.
std::vector<std::string> ListItems(CDialog* window, int id);
// The text of control `id` of a live window (the whole view for a multi-line edit control).
std::string ControlText(CDialog* window, int id);
