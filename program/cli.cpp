#include "program/cli.h"


#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "program/convert.h"
#include "program/disk/copy.h"
#include "program/disk/interrupt.h"
#include "program/disk/tree.h"
#include "program/extract.h"
#include "program/json.h"
#include "program/options.h"
#include "program/pack.h"
#include "program/walk.h"

namespace dravik {
namespace {

constexpr char kTitle[] = "Wii dravik 0.2a\n";
constexpr char kBanner[] =
    "Wii dravik 0.2a\n"
    "lists, unpacks and packs U8 archives (.arc, .szs, banners) safely and whole\n"
    "usage: dravik <file.arc>\n";

constexpr char kOptions[] =
    "\n"
    "usage: dravik [options] ARCHIVE          list and unpack into the current folder\n"
    "       dravik -c [options] ARCHIVE DIR   pack the contents of DIR into ARCHIVE\n"
    "       dravik --compress|--decompress [options] IN OUT\n"
    "\n"
    "Reading (options come before the archive; -- ends them):\n"
    "  -t, --list             list only; create, change and remove nothing\n"
    "  -C, --directory DIR    unpack into DIR (created with its parents if missing)\n"
    "      --include GLOB     act only on entries whose path matches (repeatable)\n"
    "      --exclude GLOB     skip entries whose path matches (repeatable; wins)\n"
    "  -O, --to-stdout        write the selected files' data to standard output\n"
    "      --json             the listing as JSON Lines\n"
    "  -q, --quiet            no listing and no status lines\n"
    "\n"
    "Writing:\n"
    "  -c, --create           pack DIR into ARCHIVE (.szs: Yaz0-compressed)\n"
    "      --like ORIGINAL    lay the new archive out like ORIGINAL, byte for byte\n"
    "      --align N          data alignment, a power of two from 1 to 65536 (32)\n"
    "      --yaz0             compress with Yaz0 whatever the name\n"
    "      --no-compress      write a bare U8 archive whatever the name\n"
    "      --force            replace an existing output file\n"
    "      --compress         Yaz0-compress IN into OUT\n"
    "      --decompress       peel every container of IN and write what it holds\n"
    "      --level LEVEL      Yaz0 effort: fast, default or best\n"
    "  -j, --threads N        compression threads (default: one per CPU)\n"
    "\n"
    "  -h, --help             this text\n"
    "      --version          the program's title\n"
    "\n"
    "Packing puts each folder's files, then its subfolders, in name order\n"
    "ignoring ASCII case; --like keeps ORIGINAL's order, names and padding.\n"
    "A folder of the archive's root is unpacked as arc/ when it is the root's\n"
    "only folder; when the root holds several, each keeps its name.\n"
    "Exit status: 0 when everything was done, 1 otherwise.\n";

std::string escaped(const char* name) {
    std::string s;
    append_diagnostic_name(s, name);
    return s;
}

std::string with_errno(const char* what, int error_number) {
    return std::string(what) + ": " + std::strerror(error_number);
}

const char* name_problem_text(disk::NameProblem problem) {
    switch (problem) {
        case disk::NameProblem::none: break;
        case disk::NameProblem::invalid_utf8:
            return "not valid UTF-8, so no name on this system; not unpacked";
        case disk::NameProblem::control_character:
            return "holds a control character, which names cannot hold here; not unpacked";
        case disk::NameProblem::reserved_character:
            return "holds one of < > \" / \\ | ? *, which names cannot hold here; not unpacked";
        case disk::NameProblem::stream_separator:
            return "holds ':', which would name a data stream of another file; not unpacked";
        case disk::NameProblem::device_name:
            return "is a device name here (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$), "
                   "whatever its case or extension; not unpacked";
        case disk::NameProblem::trailing_dot_or_space:
            return "ends in a dot or a space, which the system would drop; not unpacked";
        case disk::NameProblem::short_name_alias:
            return "is the short name of another entry on disk, not unpacked";
    }
    return "not a name this system can hold; not unpacked";
}

std::string reason(const ExtractResult& r) {
    switch (r.error) {
        case ExtractError::none: break;
        case ExtractError::unsafe_name: return "unsafe name, not unpacked";
        case ExtractError::name_not_allowed: return name_problem_text(r.name_problem);
        case ExtractError::data_out_of_range: return "data lies past the end of the archive";
        case ExtractError::archive_ended: return "the archive ended before the entry's data";
        case ExtractError::would_replace_archive:
            return "would overwrite the archive being read, not unpacked";
        case ExtractError::symlink_in_the_way:
            return "is a symbolic link, not entered; its contents go to the enclosing directory";
        case ExtractError::not_a_directory:
            return "exists and is not a directory; its contents go to the enclosing directory";
        case ExtractError::is_a_directory: return "exists as a directory, not replaced";
        case ExtractError::create_directory:
            return with_errno("cannot create directory", r.error_number) +
                   "; its contents go to the enclosing directory";
        case ExtractError::open_directory:
            return with_errno("cannot enter directory", r.error_number) +
                   "; its contents go to the enclosing directory";
        case ExtractError::reopen_directory:
            return with_errno("cannot return to its directory", r.error_number);
        case ExtractError::create_file: return with_errno("cannot create file", r.error_number);
        case ExtractError::write_file: return with_errno("cannot write file", r.error_number);
        case ExtractError::replace_file:
            return with_errno("cannot replace the existing file", r.error_number);
        case ExtractError::same_path: return "same path as an earlier entry, not unpacked";
    }
    return "unknown error";
}

std::string open_failure_text(const char* path, const OpenStatus& status) {
    std::string where = escaped(path) + ": ";
    switch (status.failure) {
        case OpenFailure::none: break;
        case OpenFailure::cannot_open: return where + std::strerror(status.error_number);
        case OpenFailure::not_an_archive: return where + "not a U8 archive";
        case OpenFailure::bad_table: return where + "the archive's table lies outside the file";
        case OpenFailure::corrupt_table:
            return where + "the archive's table is damaged (nodes or names outside it)";
        case OpenFailure::corrupt_carrier: return where + "the compressed or wrapped archive is damaged";
        case OpenFailure::out_of_memory: return where + "not enough memory";
    }
    return where + "cannot be read";
}

}  // namespace


namespace {

const char* carrier_name(CarrierLayer layer) {
    switch (layer) {
        case CarrierLayer::yaz0: return "yaz0";
        case CarrierLayer::imet: return "imet";
        case CarrierLayer::imd5: return "imd5";
        case CarrierLayer::lz77: return "lz77";
    }
    return "unknown";
}

// What one run over an open archive was asked to do.
struct Request {
    Mode mode = Mode::unpack;
    bool json = false;
    bool quiet = false;
    Selection selection;
    FileDescriptor destination;  // where to unpack; invalid: the current directory
};

// The first JSON line: the archive, its carriers, its node count, and any
// checksum warnings.
void json_header(Output& out, const char* path, const OpenStatus& status, std::uint32_t count) {
    JsonLine line = json_begin(out);
    json_bytes(line, "archive", path);
    const char* layers[kMaxCarrierLayers];
    for (int i = 0; i < status.carrier_count; ++i) layers[i] = carrier_name(status.carriers[i]);
    json_text_list(line, "carriers", layers, status.carrier_count);
    json_number(line, "nodes", count);
    const char* warnings[2];
    int n = 0;
    if (status.notices & kNoticeImd5Mismatch) warnings[n++] = "an IMD5 checksum does not match";
    if (status.notices & kNoticeImetMismatch) warnings[n++] = "the banner checksum does not match";
    if (n > 0) json_text_list(line, "warnings", warnings, n);
    json_end(line);
}

void json_error(Output& out, const char* error) {
    JsonLine line = json_begin(out);
    json_text(line, "error", error);
    json_end(line);
}

// Writes one file's data to standard output, in bounded memory.
bool copy_to_stdout(const ArchiveSource& source, disk::Copier& copier, const ArchiveEntry& node,
                    std::string* why) {
    if (node.size == 0) return true;
    if (std::uint64_t{node.offset} + node.size > source.size) {
        *why = "data lies past the end of the archive";
        return false;
    }
    bool ended = false;
    const bool ok =
        source_bytes(source)
            ? disk::write_all(1, source_bytes(source) + node.offset, node.size)
            : disk::copy_file_data(copier, source.file.fd, source.base + node.offset, 1, node.size,
                                   &ended);
    if (!ok) *why = ended ? "the archive ended before the entry's data"
                          : with_errno("cannot write to standard output", errno);
    return ok;
}

int act_on_archive(std::unique_ptr<ArchiveHandle>& handle, const char* path,
                   const OpenStatus& status, Request& request, Output& out) {
    const bool text = !request.json && !request.quiet && request.mode != Mode::to_stdout;
    const bool json = request.json && !request.quiet;
    if (text) out_text(out, "- archive successfully opened.\n");
    if (status.notices & kNoticeImd5Mismatch)
        report_line(out, "warning: " + escaped(path) + ": an IMD5 checksum does not match its contents");
    if (status.notices & kNoticeImetMismatch)
        report_line(out, "warning: " + escaped(path) + ": the banner header's checksum does not match");

    const std::uint32_t count = archive_node_count(*handle);
    if (json) json_header(out, path, status, count);
    if (count == 0) {
        archive_close(handle);
        if (text) out_text(out, "- empty archive.\n");
        if (json) json_error(out, "empty archive");
        if (!text && !json) report_line(out, escaped(path) + ": empty archive");
        out_flush(out);
        return 1;
    }
    if (text) {
        char line[64];
        std::snprintf(line, sizeof line, "- displaying content (%d entries):\n\n",
                      static_cast<int>(count));
        out_text(out, line);
    }
    ArchiveEntry first;
    if (archive_first(handle.get(), &first) == 0) {
        archive_close(handle);
        if (text) out_text(out, "- error finding file.\n");
        if (json) json_error(out, "no entries");
        if (!text && !json) report_line(out, escaped(path) + ": no entries");
        out_flush(out);
        return 1;
    }

    const bool unpacking = request.mode == Mode::unpack;
    Extractor extractor;
    bool extracting = false;
    if (unpacking) {
        extracting = request.destination.valid()
                         ? extract_begin(extractor, *handle, std::move(request.destination))
                         : extract_begin(extractor, *handle);
        if (!extracting) report_line(out, with_errno("cannot open the destination folder", errno));
    }
    disk::Copier copier;
    const ArchiveSource& source = archive_source(*handle);
    std::uint32_t failed = 0;
    std::uint32_t acted = 0;
    walk_entries(*handle, request.selection, [&](const WalkEntry& e) {
        ++acted;
        if (text) {
            // The listing has always shown node 1 with offset and size 0.
            ArchiveEntry shown = e.node;
            if (e.index == 1) shown.offset = shown.size = 0;
            out_listing_line(out, shown);
        }
        std::string why;
        bool ok = true;
        if (unpacking && extracting) {
            const ExtractResult result = extract_entry(extractor, *handle, e);
            if (result.error != ExtractError::none) {
                ok = false;
                why = reason(result);
                report_line(out, escaped(result.name) + ": " + why);
            }
        } else if (request.mode == Mode::to_stdout && !e.node.is_directory) {
            if (!copy_to_stdout(source, copier, e.node, &why)) {
                ok = false;
                report_line(out, escaped(e.node.name) + ": " + why);
            }
        }
        if (!ok) ++failed;
        if (json) {
            JsonEntry j;
            j.index = e.index;
            j.directory = e.node.is_directory != 0;
            j.name = e.node.name;
            j.path = e.path;
            j.offset = e.node.offset;
            j.size = e.node.size;
            if (unpacking) j.status = ok && extracting ? "unpacked" : "failed";
            if (!ok) j.reason = why;
            json_entry(out, j);
        }
    }, json);
    if (text) out_text(out, "\n- end of archive.\n");
    if (json) {
        JsonLine line = json_begin(out);
        json_number(line, "entries", acted);
        json_number(line, "failed", failed);
        json_end(line);
    }
    archive_close(handle);

    bool unmatched = false;
    for (const auto* patterns : {&request.selection.include, &request.selection.exclude}) {
        for (const Pattern& p : *patterns) {
            if (p.matched) continue;
            unmatched = true;
            report_line(out, "no entry matches '" + escaped(p.text.c_str()) + "'");
        }
    }
    if (!out_flush(out)) {
        report_line(out, with_errno("cannot write the listing", out.error_number));
        return 1;
    }
    if (unpacking && !extracting) return 1;
    if (failed > 0) {
        report_line(out, std::to_string(failed) + " of " + std::to_string(acted) +
                        (acted == 1 ? " entry" : " entries") +
                        (unpacking ? " could not be unpacked" : " could not be written"));
        return 1;
    }
    return unmatched ? 1 : 0;
}

int run_on_archive(const Options& options, Output& out) {
    const char* path = options.operands[0].c_str();
    Request request;
    request.mode = options.mode;
    request.json = options.json;
    request.quiet = options.quiet;
    request.selection = make_selection(options.include, options.exclude);
    const bool text = !options.json && !options.quiet && options.mode != Mode::to_stdout;

    OpenStatus status;
    std::unique_ptr<ArchiveHandle> handle = archive_open(path, &status);
    if (!handle) {
        if (text) out_text(out, "- invalid archive.\n");
        if (options.json && !options.quiet) {
            JsonLine line = json_begin(out);
            json_bytes(line, "archive", path);
            json_text(line, "error", "invalid archive");
            json_end(line);
        }
        report_line(out, open_failure_text(path, status));
        out_flush(out);
        return 1;
    }
    if (options.mode == Mode::unpack && !options.directory.empty()) {
        request.destination = disk::open_destination(options.directory.c_str());
        if (!request.destination.valid()) {
            report_line(out, escaped(options.directory.c_str()) + ": " +
                            (errno == ENOTDIR ? std::string("exists and is not a directory")
                                              : with_errno("cannot create the folder", errno)));
            archive_close(handle);
            return 1;
        }
    }
    disk::install_interrupt_cleanup();
    return act_on_archive(handle, path, status, request, out);
}

}  // namespace

int list_and_unpack(std::unique_ptr<ArchiveHandle>& handle, const char* path,
                    const OpenStatus& status, Output& out) {
    Request request;
    return act_on_archive(handle, path, status, request, out);
}

int list_archive(std::unique_ptr<ArchiveHandle>& handle, const char* path, const OpenStatus& status,
                 bool json, bool quiet, Output& out) {
    Request request;
    request.mode = Mode::list;
    request.json = json;
    request.quiet = quiet;
    return act_on_archive(handle, path, status, request, out);
}

int run_cli(int argc, char** argv, Output& out) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        report_line(out, error);
        return 1;
    }
    switch (options.mode) {
        case Mode::banner:
            out_text(out, kBanner);
            out_flush(out);
            return 1;
        case Mode::help:
            out_text(out, kBanner);
            out_text(out, kOptions);
            return out_flush(out) ? 0 : 1;
        case Mode::version:
            out_text(out, kTitle);
            return out_flush(out) ? 0 : 1;
        case Mode::unpack:
        case Mode::list:
        case Mode::to_stdout:
            return run_on_archive(options, out);
        case Mode::pack:
            disk::install_interrupt_cleanup();
            return run_pack(options, out);
        case Mode::compress:
        case Mode::decompress:
            disk::install_interrupt_cleanup();
            return run_convert(options, out);
    }
    return 1;
}

}  // namespace dravik
