// Two archives compared by the library (compare_archives: by the paths
// unpacking writes entries to and the bytes it would write there, in
// bounded memory), each difference printed as it is found.
#include "program/diff.h"

#include <string>

#include "dravik/archive.h"
#include "program/edit.h"
#include "program/json.h"
#include "program/messages.h"
#include "program/walk.h"

namespace dravik {

int run_diff(const Options& options, Console& out) {
    const std::string& path_a = options.operands[0];
    const std::string& path_b = options.operands[1];
    OpenStatus status_a, status_b;
    ArchivePtr a = archive_open(path_a.c_str(), &status_a);
    ArchivePtr b = archive_open(path_b.c_str(), &status_b);
    if (!a) report_line(out, open_error_text(path_a.c_str(), status_a));
    if (!b) report_line(out, open_error_text(path_b.c_str(), status_b));
    if (!a || !b) return 2;

    const bool print = !options.quiet;
    const Comparison c = compare_archives(*a, *b, [&](const PathChange& d) {
        if (print) print_change(out, options.json, d.kind, d.path);
    }, platform_name_rule(), options.recursive);
    if (c.unreadable) {
        report_line(out, c.unreadable_path.empty() ? std::string("the archives cannot be read")
                                                   : escaped_path(c.unreadable_path) + ": cannot be read from both archives");
        console_flush(out);
        return 2;
    }
    if (print && options.json) {
        JsonLine line = json_begin(out);
        json_bool(line, "same_contents", c.same_contents);
        json_bool(line, "identical", c.identical);
        json_end(line);
    } else if (print) {
        console_text(out, c.identical        ? "- same contents; the U8 archives are byte-identical.\n"
                          : !c.same_contents ? "- contents differ; the U8 archives differ.\n"
                                             : "- same contents; the U8 archives differ in layout.\n");
    }
    if (!console_flush(out)) {
        report_line(out, with_errno("cannot write the listing", out.error_number));
        return 2;
    }
    return c.same_contents ? 0 : 1;
}

}  // namespace dravik
