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

// One run of listing, unpacking or -O over an open archive: the status
// lines around the walk, what the walk's visitor does with each entry, and
// (with -r) what entering and leaving a nested archive does.
class ArchiveRun {
public:
    ArchiveRun(const char* path, Request& request, Console& out)
        : path_(path), request_(request), out_(out),
          text_(!request.json && !request.quiet && request.mode != Mode::to_stdout),
          json_(request.json && !request.quiet), unpacking_(request.mode == Mode::unpack) {}

    // Runs it and releases the archive. Returns the exit status.
    int run(ArchivePtr& archive, const OpenStatus& status) {
        int exit_status = 0;
        if (!begin(archive, status, &exit_status)) return exit_status;
        walk(*archive);
        archive.reset();
        return finish();
    }

private:
    bool begin(ArchivePtr& archive, const OpenStatus& status, int* exit_status);
    void walk(const Archive& archive);
    bool visit(const WalkEntry& w);
    bool enter(const NestedArchive& nested);
    void refused(const NestedArchive& nested);
    int finish();

    // How an entry is named in a diagnostic: by its own name at the top, by
    // its path inside a nested archive.
    std::string shown(const WalkEntry& w, const char* name) const {
        return w.level == 0 ? escaped(name) : escaped_path(std::string(w.place.path));
    }

    const char* path_;
    Request& request_;
    Console& out_;
    const bool text_;
    const bool json_;
    const bool unpacking_;
    Extractor extractor_;
    bool extracting_ = false;
    disk::Copier copier_;
    std::uint32_t failed_ = 0;
    std::uint32_t acted_ = 0;
    bool told_too_deep_ = false;
    bool told_over_budget_ = false;
};

// The status lines before the walk. False, with the exit status, when
// there is nothing to walk: an empty archive, or one without entries.
bool ArchiveRun::begin(ArchivePtr& archive, const OpenStatus& status, int* exit_status) {
    if (text_) console_text(out_, "- archive successfully opened.\n");
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (status.notices & notice) report_line(out_, notice_line(escaped(path_), notice));

    const std::uint32_t count = archive_node_count(*archive);
    if (json_) json_header(out_, path_, status, count);
    const auto nothing = [&](const char* line, const char* error) {
        archive.reset();
        if (text_) console_text(out_, line);
        if (json_) json_error(out_, error);
        if (!text_ && !json_) report_line(out_, escaped(path_) + ": " + error);
        console_flush(out_);
        *exit_status = 1;
        return false;
    };
    if (count == 0 && !request_.written) return nothing("- empty archive.\n", "empty archive");
    if (text_) {
        char line[64];
        std::snprintf(line, sizeof line, "- displaying content (%d entries):\n\n", static_cast<int>(count));
        console_text(out_, line);
    }
    Entry first;
    if (!archive_entry(*archive, 1, &first) && !request_.written)
        return nothing("- error finding file.\n", "no entries");

    if (unpacking_) {
        extracting_ = request_.destination.valid()
                          ? extract_begin(extractor_, *archive, std::move(request_.destination))
                          : extract_begin(extractor_, *archive);
        if (!extracting_) report_line(out_, with_errno("cannot open the destination folder", errno));
    }
    return true;
}

// Each entry the walk acts on: its listing line, then what the mode does
// with it. False for a directory that could not be made or entered, which
// holds nothing on disk: what it held lands, and is named as landing, a
// level up. A file that could not be written is not opened as an archive.
bool ArchiveRun::visit(const WalkEntry& w) {
    const Entry& e = w.entry;
    ++acted_;
    if (text_) {
        // The listing has always shown node 1 with offset and size 0.
        Entry shown_words = e;
        if (e.index == 1) shown_words.stored.offset = shown_words.stored.size = 0;
        if (w.level == 0) console_listing_line(out_, shown_words);
        else console_listing_line(out_, shown_words, w.place.path);
    }
    // A file acted on only as the way to a selected entry of the archive it
    // holds is not itself written.
    const bool skip = w.leading && !e.is_directory;
    std::string why;
    bool ok = true;
    if (unpacking_ && extracting_ && !skip) {
        const ExtractResult result = extract_entry(extractor_, *w.archive, w);
        if (result.error != ExtractError::none) {
            ok = false;
            why = extract_reason(result);
            report_line(out_, shown(w, result.name) + ": " + why);
        }
    } else if (request_.mode == Mode::to_stdout && !e.is_directory && !skip) {
        if (!copy_entry_to_stdout(*w.archive, copier_, e, &why)) {
            ok = false;
            report_line(out_, shown(w, e.name) + ": " + why);
        }
    }
    if (!ok) ++failed_;
    if (json_) {
        JsonEntry j;
        j.index = e.index;
        j.directory = e.is_directory;
        j.name = e.name;
        j.path = w.place.path;
        j.offset = e.stored.offset;
        j.size = e.stored.size;
        j.level = w.level;
        if (unpacking_) j.status = ok && extracting_ ? "unpacked" : "failed";
        if (!ok) j.reason = why;
        json_entry(out_, j);
    }
    return ok || !unpacking_;
}

// With -r, a nested archive's entries come after its file's line; when
// unpacking they go into its NAME.d folder.
bool ArchiveRun::enter(const NestedArchive& nested) {
    const std::string file = escaped_path(std::string(nested.file->place.path));
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (nested.status.notices & notice) report_line(out_, notice_line(file, notice));
    if (json_) json_nested_header(out_, nested);
    if (!unpacking_ || !extracting_) return true;
    const ExtractResult result =
        extract_enter_folder(extractor_, nested.file->place.depth, nested.folder_name.data());
    if (result.error == ExtractError::none) return true;
    ++failed_;
    report_line(out_, escaped_path(std::string(nested.folder)) + ": " + extract_reason(result) +
                          "; the archive inside " + file + " is not unpacked");
    return false;
}

// A nested archive the walk would not open. Past the depth or decoding
// limit that is told once, not once for every file it stops.
void ArchiveRun::refused(const NestedArchive& nested) {
    if (json_) json_nested_header(out_, nested);
    if (nested.refusal == NestRefusal::too_deep || nested.refusal == NestRefusal::over_budget) {
        bool& told = nested.refusal == NestRefusal::too_deep ? told_too_deep_ : told_over_budget_;
        if (told) return;
        told = true;
    }
    report_line(out_, escaped_path(std::string(nested.file->place.path)) + ": " + nest_refusal_text(nested));
}

void ArchiveRun::walk(const Archive& archive) {
    WalkNesting nesting;
    nesting.enter = [this](const NestedArchive& nested) { return enter(nested); };
    nesting.leave = [this](const NestedArchive& nested) {
        if (unpacking_ && extracting_) extract_leave(extractor_, nested.file->place.depth);
    };
    nesting.refused = [this](const NestedArchive& nested) { refused(nested); };
    walk_entries(archive, request_.selection, platform_name_rule(),
                 [this](const WalkEntry& w) { return visit(w); }, json_ || request_.recursive,
                 request_.recursive ? &nesting : nullptr);
}

// The closing lines, the patterns that matched nothing, and the exit status.
int ArchiveRun::finish() {
    if (text_) console_text(out_, "\n- end of archive.\n");
    if (json_) {
        JsonLine line = json_begin(out_);
        json_number(line, "entries", acted_);
        json_number(line, "failed", failed_);
        json_end(line);
    }
    bool unmatched = false;
    for (const auto* patterns : {&request_.selection.include, &request_.selection.exclude}) {
        for (const Pattern& p : *patterns) {
            if (p.matched) continue;
            unmatched = true;
            report_line(out_, "no entry matches '" + escaped(p.text.c_str()) + "'");
        }
    }
    if (!console_flush(out_)) {
        report_line(out_, with_errno("cannot write the listing", out_.error_number));
        return 1;
    }
    if (unpacking_ && !extracting_) return 1;
    if (failed_ > 0) {
        report_line(out_, std::to_string(failed_) + " of " + std::to_string(acted_) +
                              (acted_ == 1 ? " entry" : " entries") +
                              (unpacking_ ? " could not be unpacked" : " could not be written"));
        return 1;
    }
    return unmatched ? 1 : 0;
}

int act_on_archive(ArchivePtr& archive, const char* path, const OpenStatus& status, Request& request,
                   Console& out) {
    return ArchiveRun(path, request, out).run(archive, status);
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
