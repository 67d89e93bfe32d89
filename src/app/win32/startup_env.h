// The program's start-up environment on a shop PC: where DLLs may come from, the working
// directory (a start from the Run key gets the system folder), and where the daily logs go.
#pragma once
#include <windows.h>

#include <string>

// Lets the process load DLLs from System32 only (never from the program's folder or the working
// directory). False when the system lacks SetDefaultDllDirectories. Called first thing.
bool RestrictDllSearchToSystem32();

// Loads a DLL from System32 only (loaded once per process and kept); null when it cannot be.
HMODULE LoadSystemLibrary(const wchar_t* name);

// The full path of the program file, however long; empty on failure.
std::wstring ProgramPath();
// The folder holding the program file, without a trailing backslash.
std::wstring ProgramFolder();

// Makes the program's folder the working directory. False when it could not be changed.
bool UseProgramFolderAsWorkingDirectory();

// True when a file can be made (and is deleted again) in folder.
bool IsFolderWritable(const std::wstring& folder);

// Where the daily logs go when the settings name no "Log Folder": programFolder\gate_log when
// that can be written (the folder itself if it exists, else programFolder), else
// %LOCALAPPDATA%\Brisca\gate_log (its parent made here). Empty when neither can be had.
std::wstring DefaultLogFolder(const std::wstring& programFolder);
std::wstring DefaultLogFolder();  // for the program's own folder
