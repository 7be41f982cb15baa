// dialogs: pakrelW's user interface on Win32: the string table and message
// boxes, the destination dialog (destdialog.cpp), the check window, and the
// progress dialog that runs the extraction on a worker thread and answers its
// questions with the overwrite dialog.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "block.h"
#include "sfxrun.h"

namespace pakrel::win32 {

extern const wchar_t kCaption[];  // "CAB-SFX"

// The module whose resources the dialogs load (set once by wWinMain).
void setInstance(HINSTANCE inst);
HINSTANCE instance();

std::wstring loadString(UINT id);
// The string with each "%s" replaced by arg.
std::wstring format1(UINT id, const std::wstring& arg);
int box(HWND owner, const std::wstring& text, const wchar_t* caption, UINT flags);
// The system's text for the last error (or "Unknown error %ld") with
// Retry/Cancel: true for Retry.
bool retryBox(HWND owner);

// Dialog 202 on the settings' destination; true for OK (the destination then
// holds the edited path), false for Cancel.
bool destinationDialog(PackageBlock& settings, const std::wstring& baseName);

// Dialog 103 while the package's CRC is computed.
class CheckWindow {
public:
    void open(uint64_t units);
    void step(uint64_t units);  // also dispatches waiting window messages
    void close();

private:
    HWND window_ = nullptr;
};

// Dialog 2008 on the main thread and work on a worker thread; returns when
// both are done. Cancel and the close box raise cancel.
ExtractResult extractWithProgress(int64_t cabinetSize, std::atomic<int>& cancel, const ExtractWork& work);

}  // namespace pakrel::win32
