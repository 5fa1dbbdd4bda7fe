// dravik: lists a Wii U8 archive and unpacks it into the current directory.
//
// Standard output carries the banner, the status lines and one listing line
// per entry, in a fixed format that scripts read. Standard error carries one
// line per entry that could not be unpacked, and the reasons an archive
// could not be opened. The exit status is 0 only when every entry was
// unpacked.

#include "app/cli.h"
#include "app/disk.h"

int main(int argc, char** argv) {
    dravik::disk::protect_standard_streams();
    dravik::disk::use_utf8_arguments(&argc, &argv);
    dravik::Output out;
    return dravik::run_cli(argc, argv, out);
}
