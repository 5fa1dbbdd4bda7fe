// The words of the program's diagnostics: why an archive could not be
// opened, why an entry could not be unpacked, and why a name cannot be
// created here. Every such reason is written here and nowhere else.
#pragma once

#include <string>

#include "dravik/archive.h"
#include "dravik/writer.h"
#include "program/extract.h"

namespace dravik {

// "what: strerror(error_number)".
std::string with_errno(const char* what, int error_number);
// Why an entry could not be unpacked, as its diagnostic and its JSON
// "reason" say it.
std::string extract_reason(const ExtractResult& result);
// "PATH: why", for an archive that could not be opened; the why alone.
std::string open_error_text(const char* path, const OpenStatus& status);
std::string open_error_reason(const OpenStatus& status);
// Why a file holding an archive was not opened as one (with -r).
std::string nest_refusal_text(const NestedArchive& nested);
// Why a file's archive was not opened, without what unpacking then does.
std::string nest_refusal_reason(NestRefusal refusal, const OpenStatus& status, std::string_view folder_name,
                                std::string_view same_as);
// The warnings for checksums that did not match, as stderr lines (without
// the "dravik: " prefix) and as JSON shows them.
std::string notice_line(const std::string& shown_path, Notice notice);
const char* notice_json(Notice notice);

}  // namespace dravik
