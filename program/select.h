// Which entries a run acts on: --include and --exclude patterns, matched
// against each entry's path as unpacked ("arc/anim/intro.brlan").
//
// A pattern without '/' matches one name in any folder; a pattern with '/'
// matches the whole path, and there '*' and '?' stop at '/'. A pattern that
// matches a directory covers everything below it. --exclude wins over
// --include.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravik {

struct Pattern {
    std::string text;         // as given, for messages
    std::string glob;         // without a leading "./" or trailing '/'
    bool whole_path = false;  // holds a '/': matched against the whole path
    bool matched = false;     // matched at least one entry in this run
};

struct Selection {
    std::vector<Pattern> include;
    std::vector<Pattern> exclude;
};

Selection make_selection(const std::vector<std::string>& include,
                         const std::vector<std::string>& exclude);
bool selection_filters(const Selection& selection);

// Shell-style matching of `text` against `glob`: '*' any run of bytes, '?'
// one byte, "[a-z]" and "[!a-z]" a set, '\' quotes the next byte. With
// `stop_at_slash`, '*', '?' and sets never match a '/'.
bool glob_match(std::string_view glob, std::string_view text, bool stop_at_slash);

// Whether any of `patterns` matches the entry with path `path` whose own
// name is `name`; marks those that do.
bool match_any(std::vector<Pattern>& patterns, std::string_view path, std::string_view name);

}  // namespace dravik
