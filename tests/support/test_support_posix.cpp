// Running the program and looking at the disk, with POSIX calls.
#include "test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "remove_tree.h"

namespace fixture {

namespace fs = std::filesystem;

const char* const kNoSymlinks = nullptr;
const char* const kNoLimits = nullptr;
const char* const kNamesAreBytes = nullptr;

bool make_symlink(const std::string& target, const std::string& path) {
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

bool make_fifo(const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0; }

namespace {

// In a forked child: enters `cwd` (or exits 125) and becomes `program`
// with `args` (or exits 126).
[[noreturn]] void exec_dravik(const std::vector<std::string>& args, const std::string& cwd,
                              const char* program_path = DRAVIK_BINARY) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(125);
    std::vector<char*> argv;
    std::string program = program_path;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(126);
}

// In a forked child: caps `resource` at `value`, when that is not negative.
void set_limit(decltype(RLIMIT_FSIZE) resource, long long value) {
    if (value < 0) return;
    const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    ::setrlimit(resource, &limit);
}

}  // namespace

// A pseudo-terminal with no output processing, so that the bytes arrive
// unchanged.
std::string run_on_terminal(const std::string& archive, const std::string& cwd) {
    int master = -1;
    struct termios raw {};  // all flags off: no output processing
    const pid_t pid = ::forkpty(&master, nullptr, &raw, nullptr);
    if (pid == 0) {
        exec_dravik({archive}, cwd);
    }
    std::string seen;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) seen.append(buf, n);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    return seen;
}

Started start_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const char* program) {
    Started run;
    run.id = ::fork();
    if (run.id == 0) {
        exec_dravik(args, cwd, program);
    }
    return run;
}

void interrupt_and_wait(Started& run) {
    ::kill(static_cast<pid_t>(run.id), SIGTERM);
    int status = 0;
    ::waitpid(static_cast<pid_t>(run.id), &status, 0);
}

int exit_status_with_file_limit(long long file_size_limit, int (*body)(void*), void* context) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        set_limit(RLIMIT_FSIZE, file_size_limit);
        ::_exit(body(context));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::size_t chain_depth(const std::string& dir, const char* leaf, std::size_t* leaves) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    std::size_t depth = 0;
    *leaves = 0;
    while (fd >= 0) {
        struct stat st;
        if (::fstatat(fd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) ++*leaves;
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        ::close(fd);
        fd = next;
        if (fd >= 0) ++depth;
    }
    return depth;
}

int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int create_for_writing(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

RunResult run_dravik(const std::vector<std::string>& args, const std::string& cwd,
                     const RunOptions& options) {
    RunResult result;
    char out_path[] = "/tmp/dravik-out-XXXXXX";
    char err_path[] = "/tmp/dravik-err-XXXXXX";
    int out_fd = ::mkstemp(out_path);
    int err_fd = ::mkstemp(err_path);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        // The child starts with the three standard streams only, whatever
        // the test runner left open, so that a descriptor limit counts
        // exactly what dravik itself opens.
        ::close_range(3, ~0u, 0);
        set_limit(RLIMIT_FSIZE, options.file_size_limit);
        set_limit(RLIMIT_NOFILE, options.open_files_limit);
        set_limit(RLIMIT_AS, options.address_space_limit);
        if (options.close_standard_streams) {
            ::close(0);
            ::close(1);
            ::close(2);
        }
        exec_dravik(args, cwd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::close(out_fd);
    ::close(err_fd);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    ::unlink(out_path);
    ::unlink(err_path);
    return result;
}

TempDir::TempDir() {
    std::string base = fs::temp_directory_path().string() + "/dravik-test-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path = buf.data();
    if (path.empty()) std::abort();  // "" + "/work" would be a real folder
}

// remove_tree gives back permissions a test took away, and reaches any
// depth (std::filesystem::remove_all stops where whole paths grow too long).
TempDir::~TempDir() { remove_tree(path); }

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace fixture
