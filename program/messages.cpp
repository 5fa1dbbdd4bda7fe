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
    // The system says best why a file could not be read.
    if (status.error == OpenError::cannot_open) return std::strerror(status.error_number);
    return open_error_text(status.error);
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
    return "warning: " + shown_path + ": " + notice_text(notice);
}

const char* notice_json(Notice notice) {
    return notice == kNoticeImd5Mismatch ? "an IMD5 checksum does not match"
                                         : "the banner checksum does not match";
}


}  // namespace dravik
