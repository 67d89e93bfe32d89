// The application object: refuses a second instance through a named mutex, reads the version
// text from the program's version information and runs the main window for the program's life.
#pragma once
#include <windows.h>

#include <string>

// The "ProductVersion" text of the module's version information ("1, 0, 0, 5"), found through
// its translation table; empty when there is none. queryPath, if given, receives the path used.
std::wstring GetProductVersion(HMODULE module = nullptr, std::wstring* queryPath = nullptr);

class CRelayApp {
public:
    // Runs the program; always FALSE (the program ends after it).
    BOOL InitInstance();

private:
    HANDLE m_hMutex = nullptr;  // kept open (not owned) while the program runs
};
