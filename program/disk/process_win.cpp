#include "program/disk/process.h"

#include <fcntl.h>
#include <io.h>

#include <cwchar>
#include <string>
#include <vector>

#include "lib/platform/platform_win.h"

#include <shellapi.h>

namespace dravik::disk {

using win::handle_of;

void protect_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::_get_osfhandle(fd) >= 0) continue;
        HANDLE null = ::CreateFileW(L"NUL", fd == 0 ? GENERIC_READ : GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (null == INVALID_HANDLE_VALUE) continue;
        const int opened = win::descriptor_from_handle(null);
        if (opened >= 0 && opened != fd) {
            ::_dup2(opened, fd);
            ::_close(opened);
        }
    }
    // The listing is the same bytes as on Linux: no CR before each LF. A
    // console shows the UTF-8 names as what they are.
    for (int fd = 0; fd <= 2; ++fd) ::_setmode(fd, _O_BINARY);
    DWORD mode;
    if (::GetConsoleMode(handle_of(1), &mode)) ::SetConsoleOutputCP(CP_UTF8);
}

void use_utf8_arguments(int* argc, char*** argv) {
    // The runtime's argv is in the ANSI code page, which cannot hold every
    // name; the wide command line can.
    static std::vector<std::string> storage;
    static std::vector<char*> pointers;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide) return;
    storage.clear();
    for (int k = 0; k < count; ++k) storage.push_back(win::wide_to_utf8(wide[k], std::wcslen(wide[k])));
    ::LocalFree(wide);
    pointers.clear();
    for (std::string& s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}

bool is_terminal(int fd) {
    HANDLE h = handle_of(fd);
    DWORD mode;
    return ::GetFileType(h) == FILE_TYPE_CHAR && ::GetConsoleMode(h, &mode);
}

// The C runtime's table of descriptors holds 2048.
std::uint64_t open_files_limit() { return 2048; }

// The id the C runtime's getpid gives too.
long process_id() { return static_cast<long>(::GetCurrentProcessId()); }

bool owns_console() {
    // The list holds every process attached to the console: only this one
    // when the console was made for it.
    DWORD ids[2];
    return ::GetConsoleProcessList(ids, 2) == 1;
}

void wait_for_key() {
    HANDLE in = handle_of(0);
    DWORD mode;
    if (!::GetConsoleMode(in, &mode) || !::GetConsoleWindow()) return;
    static const char kPrompt[] = "Press any key to close this window.";
    DWORD done = 0;
    ::WriteFile(handle_of(1), kPrompt, sizeof kPrompt - 1, &done, nullptr);
    // Keys pressed while the run went on were not an answer to the prompt.
    ::FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    while (::ReadConsoleInputW(in, &record, 1, &done) && done == 1)
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
    ::WriteFile(handle_of(1), "\n", 1, &done, nullptr);
}

}  // namespace dravik::disk
