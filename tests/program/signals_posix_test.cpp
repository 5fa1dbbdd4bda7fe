// POSIX signals, which Windows has not (its Ctrl-C has a test of its own in
// windows_test): every terminating signal that lands in the create window.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "test_support.h"
#include "archive_builder.h"

namespace {

using fixture::Builder;
using fixture::Sandbox;
using fixture::Tree;

using fixture::digest;

// A signal that lands while a file is being created, before it is guarded
// (the test hook holds the run there), still removes that file: no empty
// file under the entry's name and no temporary file stay, whichever
// terminating signal it is, and a file that was there before stays as it was.
TEST(Extract, EveryTerminatingSignalInTheCreateWindowLeavesNoFile) {
    Builder b;
    b.file("x", "new content");
    const std::vector<std::uint8_t> bytes = b.build();
    for (bool existing : {false, true}) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                        SIGVTALRM, SIGPROF, SIGXCPU, SIGBUS}) {
            SCOPED_TRACE(std::string(existing ? "existing, " : "new, ") + strsignal(sig));
            Sandbox box;
            fixture::write_file(box.archive, bytes);
            if (existing) fixture::write_file(box.work + "/x", {'o', 'l', 'd'});
            const pid_t pid = ::fork();
            if (pid == 0) {
                if (::chdir(box.work.c_str()) != 0) ::_exit(125);
                ::setenv("DRAVIK_TEST_CREATE_PAUSE_MS", "200", 1);
                ::execl(DRAVIK_TEST_HOOKS_BINARY, DRAVIK_TEST_HOOKS_BINARY, box.archive.c_str(),
                        static_cast<char*>(nullptr));
                ::_exit(126);
            }
            // The file appears when it is created; the run then waits.
            const std::size_t before = existing ? 1 : 0;
            for (int waited = 0; waited < 10000; ++waited) {
                std::size_t entries = 0;
                for (const auto& entry : std::filesystem::directory_iterator(box.work))
                    entries += entry.is_regular_file() ? 1 : 0;
                if (entries > before) break;
                ::usleep(1000);
            }
            ::kill(pid, sig);
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            const Tree expected = existing ? Tree{{"x", digest("old")}} : Tree{};
            EXPECT_EQ(box.result(), expected);
        }
    }
}

}  // namespace
