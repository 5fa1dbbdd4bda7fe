// dravik: lists a Wii U8 archive and unpacks it into the current directory.
//
// Standard output carries the banner, the status lines and one listing line
// per entry, in a fixed format that scripts read. Standard error carries one
// line per entry that could not be unpacked, and the reasons an archive
// could not be opened. The exit status is 0 only when every entry was
// unpacked.

#include <cstdlib>
#include <exception>
#include <new>

#include "program/cli.h"
#include "program/disk/copy.h"
#include "program/disk/interrupt.h"
#include "program/disk/process.h"
#include "program/drop.h"

namespace {

// Static, so that the one buffer the program cannot run without is there
// before anything can run out.
dravik::Console out;

// Memory ran out where no entry could fail alone: end the run with its
// reason, and leave no file half written. Allocates nothing.
[[noreturn]] void end_for_lack_of_memory() {
    dravik::disk::remove_partial_file();
    dravik::console_flush(out);
    static const char kLine[] = "dravik: not enough memory\n";
    dravik::disk::write_all(out.error_fd, reinterpret_cast<const std::uint8_t*>(kLine),
                            sizeof kLine - 1);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    dravik::disk::protect_standard_streams();
    dravik::disk::use_utf8_arguments(&argc, &argv);
    out.escape_names = dravik::disk::is_terminal(out.fd);
    // When memory is so short that not even the exception reporting it can
    // be allocated, the runtime terminates instead of throwing; the program
    // throws nothing else that is not caught, so that means the same.
    std::set_terminate(end_for_lack_of_memory);
    try {
        // A console of its own is Explorer's doing: a drop, or a double click.
        return dravik::disk::owns_console() ? dravik::run_in_own_console(argc, argv, out)
                                            : dravik::run_cli(argc, argv, out);
    } catch (const std::bad_alloc&) {
        end_for_lack_of_memory();
    }
}
