#include "program/drop.h"

#include <algorithm>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "program/cli.h"
#include "program/disk/interrupt.h"
#include "program/disk/process.h"
#include "program/disk/tree.h"
#include "program/messages.h"
#include "program/options.h"
#include "program/pack.h"

namespace dravik {

namespace {

// Past this many NAME.newN files the packer's own refusal of an existing
// name is what the user sees; nothing is ever overwritten.
constexpr unsigned kMaxNewNames = 1000;

int explain_drops(Console& out) {
    report_line(out, "drop an archive (course.szs) on dravik.exe to unpack it beside itself into "
                     "course.szs.d; drop that folder to pack it into course.new.szs");
    return 1;
}

// The archive's path with ".new" (then ".new2", ".new3", ...) before the
// extension of its file name: banner.bin gives banner.new.bin, and a name
// without an extension gets it at the end.
std::string new_name(const std::string& archive, unsigned n) {
    const std::size_t slash = archive.find_last_of('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = archive.find_last_of('.');
    if (dot == std::string::npos || dot <= name) dot = archive.size();
    return archive.substr(0, dot) + ".new" + (n > 1 ? std::to_string(n) : "") + archive.substr(dot);
}

// Whether anything has the name `path` (as far as its folder can be read;
// the packer reports a folder it cannot open).
bool name_taken(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    FileDescriptor dir = disk::open_directory_path(folder.c_str());
    disk::EntryKind kind = disk::EntryKind::missing;
    FileIdentity identity;
    return dir.valid() && (!disk::inspect(dir.fd, path.substr(slash + 1).c_str(), &kind, &identity) ||
                           kind != disk::EntryKind::missing);
}

bool folder_holds_anything(const std::string& path) {
    FileDescriptor dir = disk::open_directory_path(path.c_str());
    std::vector<disk::FolderEntry> entries;
    return dir.valid() && (!disk::list_folder(dir.fd, entries) || !entries.empty());
}

bool is_archive(const std::string& path, Console& out) {
    OpenStatus status;
    if (archive_open(path.c_str(), &status)) return true;
    report_line(out, open_error_text(path.c_str(), status));
    return false;
}

// ARCHIVE unpacks into ARCHIVE.d, with every rule of -C. A folder of that
// name that holds anything is left alone: merging into it would mix two
// archives, or an earlier unpacking the user has changed, into one folder
// that packs back as one.
int unpack_beside(const std::string& archive, Console& out) {
    if (!is_archive(archive, out)) return explain_drops(out);
    Options options;
    options.directory = archive + ".d";
    options.operands.push_back(archive);
    const std::string shown = escaped_path(options.directory);
    if (folder_holds_anything(options.directory)) {
        report_line(out, shown + ": exists and is not empty; move it away to unpack here again");
        return 1;
    }
    const int status = run_on_archive(options, out);
    console_text(out, ((status == 0 ? "- unpacked into " : "- not everything was unpacked into ") +
                       shown + "\n").c_str());
    return status;
}

// ARCHIVE.d packs like ARCHIVE into the first free name of ARCHIVE.new.EXT,
// ARCHIVE.new2.EXT, ...: the original and earlier packings stay as they are.
int pack_beside(const std::string& folder, Console& out) {
    Options options;
    options.mode = Mode::pack;
    options.like = folder.substr(0, folder.size() - 2);
    if (!is_archive(options.like, out)) return explain_drops(out);
    std::string target = new_name(options.like, 1);
    for (unsigned n = 2; n <= kMaxNewNames && name_taken(target); ++n) target = new_name(options.like, n);
    options.operands = {target, folder};
    disk::install_interrupt_cleanup();
    const int status = run_pack(options, out);
    console_text(out, (status == 0 ? "- packed into " + escaped_path(target) + "\n"
                                   : std::string("- nothing was packed\n")).c_str());
    return status;
}

int drop(std::string path, Console& out) {
    // Windows takes '/' as well as '\', and the packer finds an output's
    // folder by the last '/'.
    std::replace(path.begin(), path.end(), '\\', '/');
    while (path.size() > 1 && path.back() == '/' && path[path.size() - 2] != ':') path.pop_back();
    if (!disk::open_directory_path(path.c_str()).valid()) return unpack_beside(path, out);
    const bool unpacked = path.size() > 2 && path[path.size() - 2] == '.' &&
                          (path.back() == 'd' || path.back() == 'D');
    return unpacked ? pack_beside(path, out) : explain_drops(out);
}

}  // namespace

int run_in_own_console(int argc, char** argv, Console& out) {
    int status = 0;
    if (argc < 2 || argv[1][0] == '-') {
        status = run_cli(argc, argv, out);
        if (argc < 2) explain_drops(out);
    } else {
        for (int i = 1; i < argc; ++i)
            if (drop(argv[i], out) != 0) status = 1;
    }
    console_flush(out);
    disk::wait_for_key();
    return status;
}

}  // namespace dravik
