// Windows, built with mingw-w64 against the system's C runtime.

#include "os.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

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

bool os_prepare_run() {
    // A descriptor without a handle (-2) was closed when the process began.
    const auto closed = [](int fd) { return _get_osfhandle(fd) < 0; };
    const bool output_open = !closed(1);
    for (int fd = 0; fd <= 2; ++fd) {
        if (!closed(fd)) continue;
        const int nul = _open("NUL", _O_RDWR | _O_BINARY);
        if (nul >= 0 && nul != fd) {
            (void)_dup2(nul, fd);
            (void)_close(nul);
        }
    }
    // Text mode would turn each "\n" of the lines into "\r\n".
    (void)_setmode(_fileno(stdin), _O_BINARY);
    (void)_setmode(_fileno(stdout), _O_BINARY);
    (void)_setmode(_fileno(stderr), _O_BINARY);
    return output_open;
}

namespace {

// The paths, wide, from the command line: the narrow argv has already lost
// what the ANSI code page cannot hold.
LPWSTR* paths = nullptr;
int path_count = 0;

bool add_path(LPWSTR path) {
    void* grown = std::realloc(paths, (path_count + 1) * sizeof *paths);
    if (grown == nullptr) return false;
    paths = static_cast<LPWSTR*>(grown);
    paths[path_count++] = path;
    return true;
}

bool same_letter(wchar_t a, wchar_t b) { return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL; }

// The system's search matches a name's short 8.3 form too, so that "*.jpg"
// finds "a.jpeg" by its "A~1.JPG"; each name found is matched again here,
// with * and ? as other systems' shells read them, blind to case as names
// here are.
bool matches(const wchar_t* pattern, const wchar_t* name) {
    const wchar_t* star = nullptr;
    const wchar_t* retry = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'?' || (*pattern != L'*' && same_letter(*pattern, *name))) {
            ++pattern;
            ++name;
        } else if (*pattern == L'*') {
            star = ++pattern;
            retry = name;
        } else if (star != nullptr) {
            pattern = star;
            name = ++retry;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    return *pattern == L'\0';
}

int by_name(const void* a, const void* b) {
    const LPWSTR x = *static_cast<const LPWSTR*>(a), y = *static_cast<const LPWSTR*>(b);
    const int order = CompareStringOrdinal(x, -1, y, -1, TRUE);
    return order != CSTR_EQUAL ? order - CSTR_EQUAL : wcscmp(x, y);
}

// Adds the files that the last part of pattern matches in its folder, in
// name order, or the pattern itself if none does.
void expand(LPWSTR pattern) {
    std::size_t folder = 0;  // the length of the folder part, with its separator
    for (std::size_t i = 0; pattern[i] != L'\0'; ++i)
        if (pattern[i] == L'\\' || pattern[i] == L'/' || (i == 1 && pattern[i] == L':')) folder = i + 1;
    const LPWSTR last = pattern + folder;
    const int first = path_count;
    WIN32_FIND_DATAW found;
    const HANDLE search = wcspbrk(pattern, L"*?") < last
                              ? INVALID_HANDLE_VALUE  // a wildcard in a folder's name is left as it is
                              : FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !matches(last, found.cFileName)) continue;
            const std::size_t length = folder + wcslen(found.cFileName) + 1;
            const auto path = static_cast<LPWSTR>(std::malloc(length * sizeof(wchar_t)));
            if (path == nullptr) continue;
            wmemcpy(path, pattern, folder);
            wcscpy(path + folder, found.cFileName);
            if (!add_path(path)) std::free(path);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (path_count == first) (void)add_path(pattern);
    std::qsort(paths + first, static_cast<std::size_t>(path_count - first), sizeof *paths, by_name);
}

LPWSTR wide_argument(int index) { return index < path_count ? paths[index] : nullptr; }

}  // namespace

int os_paths(int argc, char** argv) {
    (void)argv;
    int count = 0;
    LPWSTR* const wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return argc;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && wcspbrk(wide[i], L"*?") != nullptr) expand(wide[i]);
        else (void)add_path(wide[i]);
    }
    return path_count;
}

namespace {

std::FILE* open_argument(int index, const wchar_t* mode) {
    const LPWSTR path = wide_argument(index);
    return path == nullptr ? nullptr : _wfopen(path, mode);
}

}  // namespace

std::FILE* os_open_for_update(char**, int index) { return open_argument(index, L"r+b"); }

std::FILE* os_open_for_reading(char**, int index) { return open_argument(index, L"rb"); }

const char* os_path_text(char** argv, int index) {
    static char text[3 * 32768];
    const LPWSTR path = wide_argument(index);
    if (path == nullptr || WideCharToMultiByte(CP_UTF8, 0, path, -1, text, sizeof text, nullptr, nullptr) == 0)
        return argv[index];
    return text;
}

const bool os_backslash_separates = true;

int os_error() { return static_cast<int>(GetLastError()); }

const char* os_error_text(int code) {
    static wchar_t wide[512];
    static char text[3 * 512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, wide, 512, nullptr);
    if (n == 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr) == 0) {
        (void)std::snprintf(text, sizeof text, "error %d", code);
        return text;
    }
    // A sentence with its full stop and line end, where the lines have a
    // clause in parentheses or after a colon.
    std::size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.'))
        --end;
    text[end] = '\0';
    return text;
}

namespace {

HANDLE handle_of(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

}  // namespace

bool os_is_regular_file(std::FILE* stream) { return GetFileType(handle_of(stream)) == FILE_TYPE_DISK; }

bool os_lock(std::FILE* stream, int seconds) {
    // Polled, so that a lock another program keeps has an end.
    for (long waited_ms = 0;; waited_ms += 10) {
        OVERLAPPED from_start{};
        if (LockFileEx(handle_of(stream), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &from_start))
            return true;
        // A filesystem without locks fails otherwise; the run goes on without.
        if (GetLastError() != ERROR_LOCK_VIOLATION) return true;
        if (waited_ms >= 1000L * seconds) return false;
        Sleep(10);
    }
}

bool os_state(std::FILE* stream, os_file_state& out) {
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!GetFileSizeEx(handle_of(stream), &size) || !GetFileTime(handle_of(stream), nullptr, nullptr, &written))
        return false;
    out.size = size.QuadPart;
    out.modified = static_cast<std::int64_t>(std::uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime);
    return true;
}

std::size_t os_write_at(std::FILE* stream, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const std::size_t left = size - done;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!WriteFile(handle_of(stream), data + done, chunk, &n, &at) || n == 0) break;
        done += n;
    }
    return done;
}

std::FILE* os_duplicate(std::FILE* stream) {
    const int fd = _dup(_fileno(stream));
    if (fd < 0) return nullptr;
    std::FILE* copy = _fdopen(fd, "r+b");
    if (copy == nullptr) {
        _close(fd);
        return nullptr;
    }
    std::setvbuf(copy, nullptr, _IONBF, 0);
    return copy;
}

std::int64_t os_space_available(std::FILE* stream) {
    // The space is asked of the file's folder, found from the open handle.
    static wchar_t path[32768];
    const DWORD n = GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), path,
                                              32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= 32768) return -1;
    wchar_t* const last = wcsrchr(path, L'\\');
    if (last == nullptr) return -1;
    last[1] = L'\0';
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(path, &available, nullptr, nullptr)) return -1;
    return available.QuadPart > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(available.QuadPart);
}

std::uint8_t* os_obtain_buffer(std::uint32_t size) {
    return static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
}

void os_release_buffer(std::uint8_t* buffer, std::uint32_t) { std::free(buffer); }

void os_hold_signals() { SetConsoleCtrlHandler(hold_interrupt, TRUE); }

void os_release_signals() {
    SetConsoleCtrlHandler(hold_interrupt, FALSE);
    // Ends the run the way an unheld Ctrl+C would have.
    if (InterlockedCompareExchange(&interrupted, 0, 0) != 0) ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool os_truncate(std::FILE* stream, std::uint32_t size) { return _chsize_s(_fileno(stream), size) == 0; }

std::ptrdiff_t os_read_some(std::FILE* stream, std::uint8_t* data, std::size_t size) {
    DWORD n = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (ReadFile(handle_of(stream), data, chunk, &n, nullptr)) return n;
    // A pipe whose writer is gone has ended.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool os_write_all(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD n = 0;
        if (!WriteFile(handle_of(stream), data, chunk, &n, nullptr) || n == 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

namespace {

// A UTF-8 path as the wide one the system's calls take; valid until the next call.
const wchar_t* wide_path(const char* path, int which) {
    static wchar_t wide[2][32768];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide[which], 32768) == 0) wide[which][0] = L'\0';
    return wide[which];
}

}  // namespace

std::FILE* os_create_new(const char* path) {
    const HANDLE file = CreateFileW(wide_path(path, 0), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

bool os_rename(const char* from, const char* to, bool replace) {
    return MoveFileExW(wide_path(from, 0), wide_path(to, 1), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

void os_remove(const char* path) { (void)DeleteFileW(wide_path(path, 0)); }

unsigned long os_process_id() { return GetCurrentProcessId(); }
