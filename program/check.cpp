#include "program/check.h"

#include <string>

#include "dravik/archive.h"
#include "program/json.h"
#include "program/messages.h"

namespace dravik {

namespace {

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int run_check(const Options& options, Console& out) {
    bool any_problem = false;
    for (const std::string& path : options.operands) {
        // Each finding as the library finds it: on standard error, or with
        // --json on standard output.
        const CheckCount count = check_archive(path.c_str(), [&](const Finding& f) {
            if (options.json) {
                if (options.quiet) return;
                JsonLine line = json_begin(out);
                json_bytes(line, "archive", path);
                json_bytes(line, "path", f.path);
                json_text(line, "severity", f.problem ? "problem" : "warning");
                json_text(line, "finding", f.text);
                json_end(line);
                return;
            }
            std::string line = escaped_path(path);
            if (!f.path.empty()) line += ": " + escaped_path(f.path);
            report_line(out, line + ": " + (f.problem ? "" : "warning: ") + f.text);
        });
        any_problem = any_problem || count.problems > 0;
        if (options.quiet) continue;
        if (options.json) {
            JsonLine line = json_begin(out);
            json_bytes(line, "archive", path);
            json_number(line, "problems", count.problems);
            json_number(line, "warnings", count.warnings);
            json_end(line);
        } else {
            const std::string summary =
                escaped_path(path) + ": " +
                (count.problems == 0 ? std::string("ok") : plural(count.problems, "problem", "problems")) + "\n";
            console_write(out, summary.data(), summary.size());
        }
    }
    if (!console_flush(out)) {
        report_line(out, with_errno("cannot write the results", out.error_number));
        return 1;
    }
    return any_problem ? 1 : 0;
}

}  // namespace dravik
