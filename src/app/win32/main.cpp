// The program's entry point: settles the process environment before anything else runs (DLLs
// from System32 only, the program's folder as working directory), registers what must exist
// before any window, then runs the application object.
#include "app/win32/console_edit.h"
#include "app/win32/dialog.h"
#include "app/win32/relay_app.h"
#include "app/win32/report_switch.h"
#include "app/win32/startup_env.h"
#include "app/win32/window_subclass.h"
#include "sys/sys.h"

#include <windows.h>

namespace {
CRelayApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    RestrictDllSearchToSystem32();
    // Before any frame can arrive: no error report with the heap (and card data in it).
    sys::KeepOutOfDumps();
    // Started from the Run key the working directory is the system folder, where a standard user
    // cannot write and where nothing of the program belongs.
    UseProgramFolderAsWorkingDirectory();
    // brisca.exe /report: the day's page for support staff, and nothing of the tray program.
    if (const int rc = RunReportSwitch(); rc >= 0) return rc;
    CDialog::SetInstance(instance);
    RegisterSubclassMessage();
    DetectUnicodeWindows();
    theApp.InitInstance();
    return 0;
}
