// Windows, built with mingw-w64 against the system's C runtime.

#include "os.h"

#include <new>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

namespace {

volatile LONG interrupted = 0;

// Runs on a thread of its own when Ctrl+C or Ctrl+Break arrives.
BOOL WINAPI hold_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

}  // namespace

void os_prepare_run() {
    // Text mode would turn each "\n" of the lines into "\r\n".
    (void)_setmode(_fileno(stdout), _O_BINARY);
}

std::FILE* os_open_for_update(char** argv, int index) {
    // The narrow argv has already lost what the ANSI code page cannot hold.
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || index >= count) return nullptr;
    std::FILE* stream = _wfopen(wide[index], L"r+b");
    LocalFree(wide);
    return stream;
}

std::int64_t os_stream_size(std::FILE* stream) {
    // long is 32 bits here; a 2 GiB file would wrap.
    return _fseeki64(stream, 0, SEEK_END) == 0 ? _ftelli64(stream) : -1;
}

std::uint8_t* os_obtain_buffer(std::uint32_t size) { return new (std::nothrow) std::uint8_t[size]; }

void os_hold_signals() { SetConsoleCtrlHandler(hold_interrupt, TRUE); }

void os_release_signals() {
    SetConsoleCtrlHandler(hold_interrupt, FALSE);
    // Ends the run the way an unheld Ctrl+C would have.
    if (InterlockedCompareExchange(&interrupted, 0, 0) != 0) ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool os_truncate(std::FILE* stream, std::uint32_t size) { return _chsize_s(_fileno(stream), size) == 0; }
