#include "program/disk/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace dravik::disk {

void use_utf8_arguments(int*, char***) {}

void protect_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Opening /dev/null takes the lowest free descriptor, which is this one.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

std::uint64_t open_files_limit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

long process_id() { return static_cast<long>(::getpid()); }

// A terminal is never the program's alone: it belongs to the shell or the
// window that started it, and stays open after the program ends.
bool owns_console() { return false; }

void wait_for_key() {}

}  // namespace dravik::disk
