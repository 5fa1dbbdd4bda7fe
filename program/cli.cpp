// The command line's orchestration: parse the options, then run the mode
// they ask for. Listing, unpacking and -O share one walk over the entries.
#include "program/cli.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "program/check.h"
#include "program/convert.h"
#include "program/diff.h"
#include "program/disk/copy.h"
#include "program/disk/interrupt.h"
#include "program/disk/tree.h"
#include "program/edit.h"
#include "program/extract.h"
#include "program/help.h"
#include "program/json.h"
#include "program/messages.h"
#include "program/options.h"
#include "program/pack.h"
#include "program/stdout_copy.h"
#include "program/walk.h"

namespace dravik {
namespace {

// What one run over an open archive was asked to do.
struct Request {
    Mode mode = Mode::unpack;
    bool json = false;
    bool quiet = false;
    bool recursive = false;  // -r: walk into the archives files hold
    Selection selection;
    FileDescriptor destination;  // where to unpack; invalid: the current directory
    // An archive just written: the root alone is a valid archive there, listed
    // as holding nothing.
    bool written = false;
};

int act_on_archive(ArchivePtr& archive, const char* path, const OpenStatus& status, Request& request,
                   Console& out) {
    const bool text = !request.json && !request.quiet && request.mode != Mode::to_stdout;
    const bool json = request.json && !request.quiet;
    if (text) console_text(out, "- archive successfully opened.\n");
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (status.notices & notice) report_line(out, notice_line(escaped(path), notice));

    const std::uint32_t count = archive_node_count(*archive);
    if (json) json_header(out, path, status, count);
    if (count == 0 && !request.written) {
        archive.reset();
        if (text) console_text(out, "- empty archive.\n");
        if (json) json_error(out, "empty archive");
        if (!text && !json) report_line(out, escaped(path) + ": empty archive");
        console_flush(out);
        return 1;
    }
    if (text) {
        char line[64];
        std::snprintf(line, sizeof line, "- displaying content (%d entries):\n\n",
                      static_cast<int>(count));
        console_text(out, line);
    }
    Entry first;
    if (!archive_entry(*archive, 1, &first) && !request.written) {
        archive.reset();
        if (text) console_text(out, "- error finding file.\n");
        if (json) json_error(out, "no entries");
        if (!text && !json) report_line(out, escaped(path) + ": no entries");
        console_flush(out);
        return 1;
    }

    const bool unpacking = request.mode == Mode::unpack;
    Extractor extractor;
    bool extracting = false;
    if (unpacking) {
        extracting = request.destination.valid()
                         ? extract_begin(extractor, *archive, std::move(request.destination))
                         : extract_begin(extractor, *archive);
        if (!extracting) report_line(out, with_errno("cannot open the destination folder", errno));
    }
    disk::Copier copier;
    std::uint32_t failed = 0;
    std::uint32_t acted = 0;
    const WalkVisitor visit = [&](const WalkEntry& w) {
        const Entry& e = w.entry;
        ++acted;
        if (text) {
            // The listing has always shown node 1 with offset and size 0.
            Entry shown = e;
            if (e.index == 1) shown.stored.offset = shown.stored.size = 0;
            if (w.level == 0) console_listing_line(out, shown);
            else console_listing_line(out, shown, w.place.path);
        }
        // A file acted on only as the way to a selected entry of the
        // archive it holds is not itself written.
        const bool skip = w.leading && !e.is_directory;
        std::string why;
        bool ok = true;
        if (unpacking && extracting && !skip) {
            const ExtractResult result = extract_entry(extractor, *w.archive, w);
            if (result.error != ExtractError::none) {
                ok = false;
                why = extract_reason(result);
                report_line(out, (w.level == 0 ? escaped(result.name) : escaped_path(std::string(w.place.path))) +
                                     ": " + why);
            }
        } else if (request.mode == Mode::to_stdout && !e.is_directory && !skip) {
            if (!copy_entry_to_stdout(*w.archive, copier, e, &why)) {
                ok = false;
                report_line(out, (w.level == 0 ? escaped(e.name) : escaped_path(std::string(w.place.path))) +
                                     ": " + why);
            }
        }
        if (!ok) ++failed;
        if (json) {
            JsonEntry j;
            j.index = e.index;
            j.directory = e.is_directory;
            j.name = e.name;
            j.path = w.place.path;
            j.offset = e.stored.offset;
            j.size = e.stored.size;
            j.level = w.level;
            if (unpacking) j.status = ok && extracting ? "unpacked" : "failed";
            if (!ok) j.reason = why;
            json_entry(out, j);
        }
        // A directory that could not be made or entered holds nothing on
        // disk: what it held lands, and is named as landing, a level up.
        // A file that could not be written is not opened as an archive.
        return ok || !unpacking;
    };

    // With -r: the archives inside files, each after its file's line.
    bool told_too_deep = false;
    bool told_over_budget = false;
    WalkNesting nesting;
    nesting.enter = [&](const NestedArchive& nested) {
        const std::string shown = escaped_path(std::string(nested.file->place.path));
        for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
            if (nested.status.notices & notice) report_line(out, notice_line(shown, notice));
        if (json) json_nested_header(out, nested);
        if (!unpacking || !extracting) return true;
        const ExtractResult result =
            extract_enter_folder(extractor, nested.file->place.depth, nested.folder_name.data());
        if (result.error == ExtractError::none) return true;
        ++failed;
        report_line(out, escaped_path(std::string(nested.folder)) + ": " + extract_reason(result) +
                             "; the archive inside " + shown + " is not unpacked");
        return false;
    };
    nesting.leave = [&](const NestedArchive& nested) {
        if (unpacking && extracting) extract_leave(extractor, nested.file->place.depth);
    };
    nesting.refused = [&](const NestedArchive& nested) {
        if (json) json_nested_header(out, nested);
        if (nested.refusal == NestRefusal::too_deep || nested.refusal == NestRefusal::over_budget) {
            bool& told = nested.refusal == NestRefusal::too_deep ? told_too_deep : told_over_budget;
            if (told) return;
            told = true;
        }
        report_line(out, escaped_path(std::string(nested.file->place.path)) + ": " +
                             nest_refusal_text(nested));
    };
    walk_entries(*archive, request.selection, platform_name_rule(), visit, json || request.recursive,
                 request.recursive ? &nesting : nullptr);
    if (text) console_text(out, "\n- end of archive.\n");
    if (json) {
        JsonLine line = json_begin(out);
        json_number(line, "entries", acted);
        json_number(line, "failed", failed);
        json_end(line);
    }
    archive.reset();

    bool unmatched = false;
    for (const auto* patterns : {&request.selection.include, &request.selection.exclude}) {
        for (const Pattern& p : *patterns) {
            if (p.matched) continue;
            unmatched = true;
            report_line(out, "no entry matches '" + escaped(p.text.c_str()) + "'");
        }
    }
    if (!console_flush(out)) {
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

}  // namespace

int run_on_archive(const Options& options, Console& out) {
    const char* path = options.operands[0].c_str();
    Request request;
    request.mode = options.mode;
    request.json = options.json;
    request.quiet = options.quiet;
    request.recursive = options.recursive;
    request.selection = make_selection(options.include, options.exclude);
    const bool text = !options.json && !options.quiet && options.mode != Mode::to_stdout;

    OpenStatus status;
    ArchivePtr archive = archive_open(path, &status);
    if (!archive) {
        if (text) console_text(out, "- invalid archive.\n");
        if (options.json && !options.quiet) {
            JsonLine line = json_begin(out);
            json_bytes(line, "archive", path);
            json_text(line, "error", "invalid archive");
            json_end(line);
        }
        report_line(out, open_error_text(path, status));
        console_flush(out);
        return 1;
    }
    if (options.mode == Mode::unpack && !options.directory.empty()) {
        request.destination = disk::open_destination(options.directory.c_str());
        if (!request.destination.valid()) {
            report_line(out, escaped(options.directory.c_str()) + ": " +
                            (errno == ENOTDIR ? std::string("exists and is not a directory")
                                              : with_errno("cannot create the folder", errno)));
            archive.reset();
            return 1;
        }
    }
    disk::install_interrupt_cleanup();
    return act_on_archive(archive, path, status, request, out);
}

int list_and_unpack(ArchivePtr& archive, const char* path, const OpenStatus& status, Console& out,
                    bool recursive) {
    Request request;
    request.recursive = recursive;
    return act_on_archive(archive, path, status, request, out);
}

int list_archive(ArchivePtr& archive, const char* path, const OpenStatus& status, bool json,
                 bool quiet, Console& out, bool written) {
    Request request;
    request.written = written;
    request.mode = Mode::list;
    request.json = json;
    request.quiet = quiet;
    return act_on_archive(archive, path, status, request, out);
}

int run_cli(int argc, char** argv, Console& out) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        report_line(out, error);
        // --diff answers 1 for "they differ": trouble is 2, as with cmp.
        return options.mode == Mode::diff ? 2 : 1;
    }
    switch (options.mode) {
        case Mode::banner:
            console_text(out, kBanner);
            console_flush(out);
            return 1;
        case Mode::help:
            console_text(out, kBanner);
            console_text(out, kOptions);
            return console_flush(out) ? 0 : 1;
        case Mode::version:
            console_text(out, kTitle);
            return console_flush(out) ? 0 : 1;
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
        case Mode::update:
        case Mode::remove:
        case Mode::rename:
            disk::install_interrupt_cleanup();
            return run_edit(options, out);
        case Mode::diff:
            return run_diff(options, out);
        case Mode::check:
            return run_check(options, out);
    }
    return 1;
}

}  // namespace dravik
