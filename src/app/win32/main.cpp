// The program's entry point: registers what must exist before any window, then runs the
// application object.
#include "app/win32/console_edit.h"
#include "app/win32/dialog.h"
#include "app/win32/relay_app.h"
#include "app/win32/window_subclass.h"

#include <windows.h>

namespace {
CRelayApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    CDialog::SetInstance(instance);
    RegisterSubclassMessage();
    DetectUnicodeWindows();
    theApp.InitInstance();
    return 0;
}
