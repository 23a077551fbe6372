// Runs the tool in a child process on Windows.

#include <stdexcept>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "support.h"

namespace {

std::wstring wide(const std::string& utf8);

}  // namespace

// A directory does not open as a file here: access is denied.
std::string open_error_text(open_error error) {
    const DWORD code = error == open_error::missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    wchar_t text[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   text, 512, nullptr);
    std::wstring words(text, n);
    while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ' || words.back() == L'.'))
        words.pop_back();
    char utf8[3 * 512];
    const int length = WideCharToMultiByte(CP_UTF8, 0, words.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    return length > 0 ? std::string(utf8) : std::string();
}

namespace {

std::wstring wide(const std::string& utf8) {
    std::wstring out(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                                      static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Quotes an argument so that the child's command-line parser gives it back
// unchanged: backslashes count only in front of a quote.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

// The build names the tool by a host path; made absolute once, before any
// test changes the directory it would be resolved against.
const std::wstring& tool_path() {
    static const std::wstring path = [] {
        const std::wstring given = wide(DHTFIX_PATH);
        std::wstring full(MAX_PATH * 4, L'\0');
        full.resize(GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
        return full;
    }();
    return path;
}

// The tool, or a companion in its folder.
std::wstring program_path(const child_setup& setup) {
    if (setup.program.empty()) return tool_path();
    const std::wstring& tool = tool_path();
    return tool.substr(0, tool.find_last_of(L"\\/") + 1) + wide(setup.program) + L".exe";
}

}  // namespace

running_dhtfix start_dhtfix(const std::vector<std::string>& args, const child_setup& setup) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    const std::wstring program = program_path(setup);
    HANDLE in_read = nullptr, in_write = nullptr;
    if (setup.input_pipe) {
        if (!CreatePipe(&in_read, &in_write, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    }
    std::wstring command = quoted(program);
    for (const auto& a : args) command += L" " + quoted(wide(a));
    const std::wstring directory = wide(setup.directory);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = setup.input_pipe ? in_read : GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (!setup.err_file.empty()) {
        err = CreateFileW(wide(setup.err_file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (err == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot make " + setup.err_file);
    }
    startup.hStdError = err;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &child))
        throw std::runtime_error("CreateProcess failed");
    CloseHandle(child.hThread);
    CloseHandle(write_end);
    if (!setup.err_file.empty()) CloseHandle(err);
    if (setup.input_pipe) CloseHandle(in_read);
    return {reinterpret_cast<std::intptr_t>(child.hProcess),
            _open_osfhandle(reinterpret_cast<std::intptr_t>(read_end), _O_RDONLY | _O_BINARY),
            setup.input_pipe ? _open_osfhandle(reinterpret_cast<std::intptr_t>(in_write), _O_WRONLY | _O_BINARY) : -1};
}

bool write_to(int fd, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int n = _write(fd, data, chunk);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void close_pipe(int fd) { _close(fd); }

bool still_running(const running_dhtfix& child) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(child.process), 0) == WAIT_TIMEOUT;
}

run_result finish(const running_dhtfix& child) {
    run_result result{-1, {}};
    char chunk[4096];
    int n;
    while ((n = _read(child.out, chunk, sizeof chunk)) > 0) result.out.append(chunk, static_cast<std::size_t>(n));
    _close(child.out);
    const auto process = reinterpret_cast<HANDLE>(child.process);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    result.status = static_cast<int>(code);
    return result;
}
