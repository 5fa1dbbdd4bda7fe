#include "program/messages.h"

#include <cstring>

#include "program/console.h"

namespace dravik {

namespace {

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

}  // namespace

std::string with_errno(const char* what, int error_number) {
    return std::string(what) + ": " + std::strerror(error_number);
}

std::string extract_reason(const ExtractResult& r) {
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

std::string open_error_reason(const OpenStatus& status) {
    switch (status.error) {
        case OpenError::none: break;
        case OpenError::cannot_open: return std::strerror(status.error_number);
        case OpenError::not_an_archive: return "not a U8 archive";
        case OpenError::bad_table: return "the archive's table lies outside the file";
        case OpenError::corrupt_table: return "the archive's table is damaged (nodes or names outside it)";
        case OpenError::corrupt_carrier: return "the compressed or wrapped archive is damaged";
        case OpenError::out_of_memory: return "not enough memory";
    }
    return "cannot be read";
}

std::string open_error_text(const char* path, const OpenStatus& status) {
    return escaped(path) + ": " + open_error_reason(status);
}

std::string nest_refusal_reason(NestRefusal refusal, const OpenStatus& status, std::string_view folder_name,
                                std::string_view same_as) {
    switch (refusal) {
        case NestRefusal::none: break;
        case NestRefusal::too_deep:
            return "archives and carriers nest more than " + std::to_string(kMaxNesting) + " deep here";
        case NestRefusal::nested_in_itself:
            return "its bytes are an archive already open on the way here (an archive inside itself)";
        case NestRefusal::folder_taken:
            return "its folder '" + escaped(std::string(folder_name).c_str()) +
                   "' is taken by another entry of the archive, or cannot be a folder here";
        case NestRefusal::cannot_open:
            return "holds an archive that cannot be opened: " + open_error_reason(status);
        case NestRefusal::shared:
            return "its bytes are those of " + escaped_path(std::string(same_as)) + ", whose archive is opened there";
        case NestRefusal::over_budget:
            return "the archives inside this one decode to more than " + std::to_string(kMaxNestedDecoded >> 30) +
                   " GiB in all";
    }
    return "not opened";
}

std::string nest_refusal_text(const NestedArchive& nested) {
    const std::string reason = nest_refusal_reason(nested.refusal, nested.status, nested.folder_name, nested.same_as);
    switch (nested.refusal) {
        case NestRefusal::too_deep: return reason + "; this file, and any other that deep, is left as a file";
        case NestRefusal::over_budget: return reason + "; this file, and any other past it, is left as a file";
        default: return reason + "; left as a file";
    }
}

std::string notice_line(const std::string& shown_path, Notice notice) {
    return "warning: " + shown_path +
           (notice == kNoticeImd5Mismatch ? ": an IMD5 checksum does not match its contents"
                                          : ": the banner header's checksum does not match");
}

const char* notice_json(Notice notice) {
    return notice == kNoticeImd5Mismatch ? "an IMD5 checksum does not match"
                                         : "the banner checksum does not match";
}

std::string layout_limit_reason(u8::LayoutError error) {
    switch (error) {
        case u8::LayoutError::offset_too_large:
            return "the archive's data would pass 4 GiB - 1, which U8 offsets cannot reach";
        case u8::LayoutError::names_too_large:
            return "the names would pass 16 MiB, which U8 name offsets cannot reach";
        case u8::LayoutError::too_many_nodes: return "too many entries for a U8 table";
        case u8::LayoutError::bad_alignment: return "the alignment must be a power of two from 1 to 65536";
        case u8::LayoutError::bad_name: return "a name holding a NUL byte cannot be stored";
        case u8::LayoutError::unusual_original: return "the archive has its table inside its header";
        default: break;
    }
    return "cannot be laid out";
}

}  // namespace dravik
