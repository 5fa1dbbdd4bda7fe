#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "remove_tree.h"
#include "sha256.h"
#include "u8_writer.h"

namespace fixture {

namespace fs = std::filesystem;

namespace {

// "d", "f <size> <sha256>" or "l <target>", as snapshot() records entries.
std::string describe(const fs::directory_entry& entry) {
    if (entry.is_symlink()) return "l " + fs::read_symlink(entry.path()).string();
    if (entry.is_directory()) return "d";
    const std::string data = read_file(entry.path().string());
    return "f " + std::to_string(data.size()) + " " + sha256_hex(data);
}

}  // namespace

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
        if (::chdir(cwd.c_str()) != 0) ::_exit(125);
        if (options.file_size_limit >= 0) {
            rlimit lim{static_cast<rlim_t>(options.file_size_limit),
                       static_cast<rlim_t>(options.file_size_limit)};
            ::setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (options.open_files_limit >= 0) {
            rlimit lim{static_cast<rlim_t>(options.open_files_limit),
                       static_cast<rlim_t>(options.open_files_limit)};
            ::setrlimit(RLIMIT_NOFILE, &lim);
        }
        if (options.address_space_limit >= 0) {
            rlimit lim{static_cast<rlim_t>(options.address_space_limit),
                       static_cast<rlim_t>(options.address_space_limit)};
            ::setrlimit(RLIMIT_AS, &lim);
        }
        if (options.close_standard_streams) {
            ::close(0);
            ::close(1);
            ::close(2);
        }
        std::vector<char*> argv;
        std::string program = DRAVIK_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(126);
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
}

// remove_tree gives back permissions a test took away, and reaches any
// depth (std::filesystem::remove_all stops where whole paths grow too long).
TempDir::~TempDir() { remove_tree(path); }

Sandbox::Sandbox() {
    ::mkdir(work.c_str(), 0777);
    ::mkdir(top.sub("outside").c_str(), 0777);
    write_file(top.sub("outside/sentinel"), {'o', 'k'});
}

RunResult Sandbox::run(const std::vector<std::uint8_t>& bytes, const RunOptions& options) {
    write_file(archive, bytes);
    const Tree before = outside();
    RunResult r = run_dravik({archive}, work, options);
    EXPECT_EQ(outside(), before) << "something changed outside the starting folder";
    return r;
}

Tree Sandbox::outside() const {
    Tree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(top.path, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(top.path).string();
        if (rel == "work") {
            it.disable_recursion_pending();
            continue;
        }
        tree[rel] = describe(*it);
    }
    return tree;
}

Tree Sandbox::result() const { return snapshot(work); }

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).string();
        tree[rel] = describe(*it);
    }
    return tree;
}

}  // namespace fixture
