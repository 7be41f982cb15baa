// programrun: starting the carried program on Win32 (ShellExecuteExW, or
// rundll32 with setupapi for an ".inf"), its process handle, and the watch for
// installer windows that the run waits on after it.
#pragma once
#include <memory>

#include "block.h"
#include "sfxrun.h"

namespace pakrel::win32 {

// Installs the ".inf" with rundll32.exe from the Windows folder and waits
// until it ends; with withoutRedirection WOW64's file-system redirection is
// off for the time.
void installInf(const ProgramCommand& command, bool withoutRedirection);

// Starts the program with the shell in its folder; nullptr when it did not
// start or gave no process handle.
std::unique_ptr<RunningProgram> startProgram(const ProgramCommand& command);

// Every 10 ms, at most looks times, looks for an installer window (class
// "MsiDialogCloseClass" or "InstallShield_Win", or titled "Setup"); once one
// shows, waits in steps of 100 ms until none of its kind is left.
void waitForInstallerWindows(int looks);

}  // namespace pakrel::win32
