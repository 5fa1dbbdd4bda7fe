#include "app/cli.h"


#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/disk.h"
#include "app/extract.h"

namespace dravik {
namespace {

constexpr char kTitle[] = "Wii dravik 0.2a\n";
constexpr char kBanner[] =
    "Wii dravik 0.2a\n"
    "lists and unpacks U8 archives (.arc, .szs, banners) safely and whole\n"
    "usage: dravik <file.arc>\n";

// Writes one diagnostic line, after whatever standard output has buffered,
// so that a failure follows its entry's listing line.
void report(Output& out, const std::string& line) {
    out_flush(out);
    const std::string text = "dravik: " + line + "\n";
    // Nothing useful can be done when standard error itself fails.
    disk::write_all(out.error_fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string escaped(const char* name) {
    std::string s;
    append_diagnostic_name(s, name);
    return s;
}

std::string with_errno(const char* what, int error_number) {
    return std::string(what) + ": " + std::strerror(error_number);
}

std::string reason(const ExtractResult& r) {
    switch (r.error) {
        case ExtractError::none: break;
        case ExtractError::unsafe_name: return "unsafe name, not unpacked";
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

int list_and_unpack(std::unique_ptr<ArchiveHandle>& handle, const char* path,
                    const OpenStatus& status, Output& out) {
    out_text(out, "- archive successfully opened.\n");
    if (status.notices & kNoticeImd5Mismatch)
        report(out, "warning: " + escaped(path) + ": an IMD5 checksum does not match its contents");
    if (status.notices & kNoticeImetMismatch)
        report(out, "warning: " + escaped(path) + ": the banner header's checksum does not match");

    const std::uint32_t count = handle->node_count;
    if (count == 0) {
        archive_close(handle);
        out_text(out, "- empty archive.\n");
        out_flush(out);
        return 1;
    }
    char line[64];
    std::snprintf(line, sizeof line, "- displaying content (%d entries):\n\n",
                  static_cast<int>(count));
    out_text(out, line);

    ArchiveEntry entry;
    std::uint32_t index = archive_first(handle.get(), &entry);
    if (index == 0) {
        archive_close(handle);
        out_text(out, "- error finding file.\n");
        out_flush(out);
        return 1;
    }

    Extractor extractor;
    const bool extracting = extract_begin(extractor, *handle);
    if (!extracting) report(out, with_errno("cannot open the current directory", errno));
    std::uint32_t failed = 0;
    std::uint32_t listed = 0;
    while (index != 0) {
        out_listing_line(out, entry);
        ++listed;
        if (extracting) {
            const ExtractResult result = extract_entry(extractor, *handle, index);
            if (result.error != ExtractError::none) {
                ++failed;
                report(out, escaped(result.name) + ": " + reason(result));
            }
        }
        index = archive_next(handle.get(), &entry, index);
    }
    out_text(out, "\n- end of archive.\n");
    archive_close(handle);

    if (!out_flush(out)) {
        report(out, with_errno("cannot write the listing", out.error_number));
        return 1;
    }
    if (!extracting) return 1;
    if (failed > 0) {
        report(out, std::to_string(failed) + " of " + std::to_string(listed) +
                        (listed == 1 ? " entry" : " entries") + " could not be unpacked");
        return 1;
    }
    return 0;
}

int run_cli(int argc, char** argv, Output& out) {
    if (argc <= 1) {
        out_text(out, kBanner);
        out_flush(out);
        return 1;
    }
    const char* arg = argv[1];
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        out_text(out, kBanner);
        return out_flush(out) ? 0 : 1;
    }
    if (std::strcmp(arg, "--version") == 0) {
        out_text(out, kTitle);
        return out_flush(out) ? 0 : 1;
    }

    OpenStatus status;
    std::unique_ptr<ArchiveHandle> handle = archive_open(arg, &status);
    if (!handle) {
        out_text(out, "- invalid archive.\n");
        report(out, open_failure_text(arg, status));
        out_flush(out);
        return 1;
    }
    disk::install_interrupt_cleanup();
    return list_and_unpack(handle, arg, status, out);
}

}  // namespace dravik
