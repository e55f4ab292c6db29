// The program's entry point in a terminal.
#include "os/Os.h"
#include "ui/Ui.h"

int main() {
    CWinApp* app = UiTheApp();
    if (app == nullptr)
        return 1;
    const int status = UiRunApplication(app);
    // Threads that are still running end with the process.
    OsExitProcess(status);
    return status;
}
