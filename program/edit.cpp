// Editing an archive: the command line's paths and patterns handed to the
// library's edit by paths (u8::edit_by_paths, which also goes through the
// NAME.d folders with -r), and what it gives written as packing writes:
// untouched stretches copied by the kernel straight from the archive's
// file, new data from the files on disk. What the library refuses is told
// here, in the program's words.
#include "program/edit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "dravik/archive.h"
#include "dravik/writer.h"
#include "lib/u8/u8_read.h"
#include "program/disk/copy.h"
#include "program/disk/tree.h"
#include "program/json.h"
#include "program/messages.h"
#include "program/output_file.h"
#include "program/pack.h"
#include "program/walk.h"

namespace dravik {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr std::uint64_t kSmallFile = 64 * 1024;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

const char* const kNotEntryPath =
    ": not an entry path (names may not be empty, '.' or '..', nor any this system cannot hold)";

// The files an edit takes new data from: entries of scanned folders and
// files named on the command line. Their keys are indices into `files`.
class DiskFiles {
public:
    struct File {
        FolderTree* tree = nullptr;  // a scanned folder's entry, or
        std::uint64_t key = 0;
        int dir = -1;                // a named file in this folder
        std::string name;
        std::uint64_t size = 0;
        FileIdentity identity;
        std::string shown;
    };

    std::vector<File> files;
    std::vector<std::unique_ptr<FolderTree>> trees;
    std::vector<FileDescriptor> folders;  // kept open while files are read
    std::string problem;

    bool read(std::uint64_t index, const ByteSink& sink, OutputFile* direct) {
        const File& f = files[index];
        if (f.tree) {
            if (f.tree->read(f.key, sink, direct)) return true;
            problem = f.tree->problem();
            return false;
        }
        std::uint64_t size = 0;
        FileIdentity id;
        FileDescriptor file = disk::open_file_in(f.dir, f.name.c_str(), &size, &id);
        if (!file.valid()) return fail(f.shown + ": cannot be read: " + std::strerror(errno));
        if (size != f.size || !same_identity(id, f.identity))
            return fail(f.shown + ": changed while being read");
        if (direct && size > kSmallFile) {
            bool ended = false;
            copier_.window_size = 0;  // the window holds another file's bytes
            if (!output_flush(*direct) || !disk::copy_file_data(copier_, file.fd, 0, direct->fd.fd, size, &ended))
                return fail(ended ? f.shown + ": changed while being read"
                                  : escaped_path(direct->name) + ": cannot write: " + std::strerror(errno));
            return true;
        }
        chunk_.resize(kChunk);
        for (std::uint64_t done = 0; done < size;) {
            const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
            if (!file_read_at(file.fd, done, chunk_.data(), n))
                return fail(f.shown + ": cannot be read: " + std::strerror(errno ? errno : EIO));
            if (!sink(chunk_.data(), n)) return false;
            done += n;
        }
        return true;
    }

private:
    bool fail(const std::string& why) {
        problem = why;
        return false;
    }
    disk::Copier copier_;
    std::vector<std::uint8_t> chunk_;
};

// Serves the edited archive's unchanged bytes: copied by the kernel from
// the archive's file straight into the output when both are plain files,
// else from memory or through a buffer.
class OriginalBytes {
public:
    explicit OriginalBytes(const Archive& archive) : archive_(archive) { copier_.copy_range_anywhere = true; }

    bool read(const u8::Piece& piece, const ByteSink& sink, OutputFile* direct) {
        const Source& source = archive_source(archive_);
        if (const std::uint8_t* bytes = archive_bytes(archive_)) {
            if (piece.key > archive_size(archive_) || piece.size > archive_size(archive_) - piece.key) return false;
            return sink(bytes + piece.key, static_cast<std::size_t>(piece.size));
        }
        if (direct && source.file.valid()) {
            bool ended = false;
            return output_flush(*direct) &&
                   disk::copy_file_data(copier_, source.file.fd, source.base + piece.key, direct->fd.fd,
                                        piece.size, &ended);
        }
        chunk_.resize(kChunk);
        for (std::uint64_t done = 0; done < piece.size;) {
            const std::uint64_t left = piece.size - done;
            const std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
            if (!archive_read_bytes(archive_, piece.key + done, chunk_.data(), n) || !sink(chunk_.data(), n))
                return false;
            done += n;
        }
        return true;
    }

private:
    const Archive& archive_;
    disk::Copier copier_;
    std::vector<std::uint8_t> chunk_;
};

bool refuse(Console& out, const std::string& line) {
    report_line(out, line);
    return false;
}

// -u's PATHs on disk (DIR/PATH), in order: a file is put at PATH, a folder
// is made there and everything below it put too.
bool collect_puts(const Options& options, Console& out, DiskFiles& files, const OutputFile& output,
                  const std::vector<std::string>& given_paths, std::vector<u8::PathPut>& puts) {
    const std::string dir = options.directory.empty() ? "." : options.directory;
    files.folders.push_back(disk::open_directory_path(dir.c_str()));
    const int top = files.folders.back().fd;
    if (top < 0) return refuse(out, escaped_path(dir) + ": " + std::strerror(errno));
    for (const std::string& given : given_paths) {
        const std::string on_disk = options.directory.empty() ? given : join(options.directory, given);
        const std::string shown = escaped_path(on_disk);
        std::string path;
        if (!u8::plain_entry_path(given, platform_name_rule(), path))
            return refuse(out, escaped_path(given) + kNotEntryPath);
        // Down to the folder holding it, never through a symbolic link.
        int holder = top;
        for (std::size_t start = 0, slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
            const std::string name = path.substr(start, slash - start);
            files.folders.push_back(disk::open_directory(holder, name.c_str()));
            holder = files.folders.back().fd;
            if (holder < 0)
                return refuse(out, shown + ": " + (errno == ENOENT ? std::string("names nothing on disk")
                                                                   : "cannot reach it: " + std::string(std::strerror(errno))));
        }
        const std::string name = name_of(path);
        disk::EntryKind kind;
        FileIdentity identity;
        if (!disk::inspect(holder, name.c_str(), &kind, &identity)) return refuse(out, shown + ": " + std::strerror(errno));
        if (kind == disk::EntryKind::missing) return refuse(out, shown + ": names nothing on disk");
        if (kind == disk::EntryKind::symlink) return refuse(out, shown + ": is a symbolic link, not followed; not packed");
        if (kind == disk::EntryKind::directory) {
            files.folders.push_back(disk::open_directory(holder, name.c_str()));
            if (!files.folders.back().valid()) return refuse(out, shown + ": " + std::strerror(errno));
            files.trees.push_back(std::make_unique<FolderTree>());
            FolderTree& tree = *files.trees.back();
            Selection none;
            tree.scan(files.folders.back().fd, on_disk, output, none);
            if (!tree.problems().empty()) {
                for (const std::string& p : tree.problems()) report_line(out, p);
                return false;
            }
            puts.push_back(u8::PathPut{path, true, 0, 0});
            const std::vector<u8::TreeEntry>& entries = tree.entries();
            for (std::uint64_t k = 0; k < entries.size(); ++k) {
                if (entries[k].is_directory) {
                    puts.push_back(u8::PathPut{join(path, tree.path(k)), true, 0, 0});
                    continue;
                }
                DiskFiles::File f;
                f.tree = &tree;
                f.key = k;
                f.size = entries[k].size;
                files.files.push_back(std::move(f));
                puts.push_back(u8::PathPut{join(path, tree.path(k)), false, entries[k].size, files.files.size() - 1});
            }
            continue;
        }
        DiskFiles::File f;
        f.dir = holder;
        f.name = name;
        f.shown = shown;
        FileDescriptor file = disk::open_file_in(holder, name.c_str(), &f.size, &f.identity);
        if (!file.valid())
            return refuse(out, shown + (errno == EINVAL ? ": is not a regular file or folder, not packed"
                                                        : ": cannot be read: " + std::string(std::strerror(errno))));
        if (same_identity(f.identity, output.existing) || same_identity(f.identity, output.written))
            return refuse(out, shown + ": is the archive being written; not packed into itself");
        puts.push_back(u8::PathPut{path, false, f.size, files.files.size()});
        files.files.push_back(std::move(f));
    }
    return true;
}

// What the library refused, in the program's words: one line each (one per
// GLOB that matched nothing). `shown` is the archive as messages name it.
std::vector<std::string> refusal_lines(const u8::PathEditRefusal& r, Mode mode, const std::string& shown,
                                       const std::string& problem) {
    using u8::PathRefusal;
    const std::vector<std::string>& p = r.paths;
    const auto at = [&p](std::size_t k) { return escaped_path(p[k]); };
    switch (r.code) {
        case PathRefusal::none: break;
        case PathRefusal::not_an_entry_path: return {at(0) + kNotEntryPath};
        case PathRefusal::no_such_entry: return {at(0) + ": no such entry in " + shown};
        case PathRefusal::exists: return {at(0) + ": exists in " + shown};
        case PathRefusal::into_itself: return {at(0) + ": a folder cannot move into itself"};
        case PathRefusal::no_such_folder: return {at(0) + ": no such folder in " + shown};
        case PathRefusal::not_a_folder: return {at(0) + ": is a file in " + shown + ", not a folder"};
        case PathRefusal::file_onto_folder:
            return {at(0) + ": is a folder in " + shown + " and a file on disk; not replaced"};
        case PathRefusal::folder_onto_file:
            return {at(0) + ": is a file in " + shown + " and a folder on disk; not replaced"};
        case PathRefusal::data_failed: return {!problem.empty() ? problem : at(0) + ": cannot be read"};
        case PathRefusal::unmatched: {
            std::vector<std::string> lines;
            for (const std::string& glob : p) lines.push_back("no entry matches '" + escaped(glob.c_str()) + "'");
            return lines;
        }
        case PathRefusal::unpacks_elsewhere:
            return {at(0) + ": would unpack as " + at(1) + " (a root folder alone unpacks as arc)" +
                    (mode == Mode::rename ? "; not renamed" : "")};
        case PathRefusal::moves_other:
            return {at(0) + ": adding it would make " + at(1) + " unpack as " + at(2) +
                    " (root folders side by side keep their names)"};
        case PathRefusal::layout:
            if (p[0].empty())
                return {shown + ": " + (r.layout == u8::LayoutError::bad_tree ? "a folder cannot move into itself"
                                                                              : u8::layout_error_text(r.layout))};
            return {at(0) + ": " + u8::layout_error_text(r.layout)};
        case PathRefusal::unreadable_table: return {shown + ": the new table does not read back"};
        case PathRefusal::archive_folder:
            if (mode == Mode::update) return {at(0) + ": names the archive inside " + at(1) + ", and a file on disk; not put"};
            if (mode == Mode::remove)
                return {at(0) + ": names the archive inside " + at(1) +
                        ", not an entry; --delete takes the file, or the entries inside (" + at(0) + "/*)"};
            return {at(0) + ": names the archive inside " + at(1) + ", not an entry; --rename takes the file, or the entries inside"};
        case PathRefusal::across_archives:
            return {at(0) + ": not in the archive that holds " + at(1) + "; a rename moves an entry within its own archive"};
        case PathRefusal::nested_refused:
            return {at(0) + ": " + nest_refusal_reason(r.nest, r.nest_status, name_of(p[0]) + ".d", p[1]) +
                    "; -r edits nothing inside it"};
        case PathRefusal::nested_too_large:
            return {at(0) + ": its archive would pass " + std::to_string(u8::kMaxNestedRebuild >> 20) +
                    " MiB, more than -r rebuilds"};
        case PathRefusal::nested_unreadable: return {!problem.empty() ? problem : at(0) + ": its archive cannot be read"};
        case PathRefusal::nested_carrier_full: return {at(0) + ": too large for the carrier it was in"};
        case PathRefusal::nested_shared:
            return {at(0) + ": its bytes are shared with " + at(1) + ", which an edit inside would part; -r edits nothing inside it"};
        case PathRefusal::file_and_archive:
            return {at(0) + ": both the file and the archive it holds (" + escaped_path(p[0] + ".d") +
                    ") change; put one or the other"};
    }
    return {shown + ": not changed"};
}

}  // namespace

void print_change(Console& out, bool json, char kind, const std::string& path, const std::string& from) {
    if (json) {
        JsonLine line = json_begin(out);
        const char text[2] = {kind, '\0'};
        json_text(line, "change", text);
        json_bytes(line, "path", path);
        if (!from.empty()) json_bytes(line, "from", from);
        json_end(line);
        return;
    }
    const auto put = [&out](const std::string& p) {
        if (out.escape_names) console_escaped(out, p.c_str());
        else console_write(out, p.data(), p.size());
    };
    const char head[2] = {kind, ' '};
    console_write(out, head, 2);
    if (!from.empty()) {
        put(from);
        console_write(out, " -> ", 4);
    }
    put(path);
    console_write(out, "\n", 1);
}

int run_edit(const Options& options, Console& out) {
    const std::string& path = options.operands[0];
    const std::string shown = escaped_path(path);
    const auto fail = [&out](const std::string& line) {
        report_line(out, line);
        return 1;
    };
    OpenStatus status;
    ArchivePtr archive = archive_open(path.c_str(), &status);
    if (!archive) return fail(open_error_text(path.c_str(), status));
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (status.notices & notice) report_line(out, notice_line(shown, notice));

    // The output first: an update must not read the file being written.
    OutputFile output;
    const bool in_place = options.output.empty();
    const std::string& target = in_place ? path : options.output;
    std::string reason;
    if (options.dry_run) {
        output.existing = archive_source(*archive).identity;
    } else {
        if (!output_begin(output, target, in_place || options.force, reason))
            return fail(escaped_path(target) + ": " + reason);
        if (in_place && !same_identity(output.existing, archive_source(*archive).identity))
            return fail(shown + ": not a plain file that can be replaced (a symbolic link?); "
                                "-o FILE writes the result elsewhere");
    }

    u8::PathEditRequest request;
    request.rule = platform_name_rule();
    request.recursive = options.recursive;
    request.yaz0 = options.yaz0;
    if (!options.level_given) request.yaz0.level = yaz0::Level::best;
    std::vector<std::string> given;
    for (std::size_t i = 1; i < options.operands.size(); ++i)
        given.push_back(disk::entry_path_argument(options.operands[i]));
    DiskFiles files;
    if (options.mode == Mode::update) {
        request.kind = u8::PathEditRequest::Kind::put;
        if (!collect_puts(options, out, files, output, given, request.puts)) return fail(shown + ": not changed");
    } else if (options.mode == Mode::remove) {
        request.kind = u8::PathEditRequest::Kind::remove;
        request.globs = given;
    } else {
        request.kind = u8::PathEditRequest::Kind::rename;
        request.from = given[0];
        request.to = given[1];
    }
    u8::PathEdit edit;
    const bool done = u8::edit_by_paths(*archive, request, [&files](const u8::Piece& piece, const ByteSink& sink) {
        return files.read(piece.key, sink, nullptr);
    }, edit);
    for (const u8::NestedNotice& n : edit.notices)
        for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
            if (n.notices & notice) report_line(out, notice_line(escaped_path(n.path), notice));
    if (!done) {
        for (const std::string& line : refusal_lines(edit.refusal, options.mode, shown, files.problem))
            report_line(out, line);
        // A layout past the format's limits is the whole archive's: nothing more to say.
        if (edit.refusal.code == u8::PathRefusal::layout && edit.refusal.paths[0].empty()) return 1;
        return fail(shown + ": not changed");
    }

    if (!options.dry_run) {
        const std::vector<Carrier>& carriers = archive_carriers(*archive);
        OutputFile* direct = writes_directly(carriers) ? &output : nullptr;
        OriginalBytes original(*archive);
        const u8::DataSource new_data = u8::path_edit_source(edit, [&](const u8::Piece& piece, const ByteSink& sink) {
            return files.read(piece.key, sink, direct);
        });
        const u8::DataSource source = [&](const u8::Piece& piece, const ByteSink& sink) {
            return piece.from == u8::Piece::From::original ? original.read(piece, sink, direct) : new_data(piece, sink);
        };
        switch (write_archive(edit.plan, carriers, request.yaz0, output, source, nullptr)) {
            case WriteResult::written: break;
            case WriteResult::no_memory_for_encoder:
                return fail(escaped_path(target) + ": not enough memory for the encoder");
            case WriteResult::too_large_for_carrier:
                return fail(escaped_path(target) + ": too large for the carrier it was found in");
            case WriteResult::source_failed:
            case WriteResult::cannot_write:
                if (!files.problem.empty()) return fail(files.problem);
                if (output.error_number == 0) return fail(shown + ": cannot be read");
                return fail(escaped_path(target) + ": cannot write: " + std::strerror(output.error_number));
        }
        // Windows renames nothing over a file that is open: the archive is
        // read to the end by now.
        archive.reset();
        if (!output_commit(output, reason)) return fail(escaped_path(target) + ": " + reason);
    }

    if (!options.quiet)
        for (const PathChange& c : edit.changes) print_change(out, options.json, c.kind, c.path, c.from);
    if (!console_flush(out)) return fail(with_errno("cannot write the listing", out.error_number));
    return 0;
}

}  // namespace dravik
