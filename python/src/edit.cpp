// The program's edit and comparison over the public library: the caller's
// paths, bytes and files handed to u8::edit_by_paths (which keeps every
// byte the edit does not touch) and written as packing writes; two
// archives compared by compare_archives. What the library refuses is told
// here in the module's words (the program's, with paths as given). On
// POSIX every safe name can be created, so no name rule is asked.
#include "edit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "disk.h"
#include "dravik/carrier.h"
#include "dravik/writer.h"
#include "errors.h"
#include "extract.h"
#include "files.h"

namespace dravik::py {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

[[noreturn]] void refuse(std::string line) { throw EditRefusal{{std::move(line)}}; }

[[noreturn]] void disk_failure(const std::string& message, int error_number, const std::string& filename) {
    throw DiskFailure{message, error_number, filename, {}};
}

const char* const kNotEntryPath =
    ": not an entry path (names may not be empty, '.' or '..', nor any this system cannot hold)";

// The data an update brings: bytes given (read where they are), files of
// scanned folders, and files named by the caller. Their keys in the edit
// are indices into `files`.
class Sources : public ReadProblem {
public:
    struct File {
        const std::uint8_t* data = nullptr;  // bytes given, or
        ScanReader* reader = nullptr;        // a scanned folder's file `key`, or
        std::uint64_t key = 0;
        int dir = -1;                        // a file named by the caller, in this folder
        std::string name;
        Identity identity;
        std::uint64_t size = 0;
        std::string shown;
    };

    explicit Sources(const std::function<bool()>& interrupted) : interrupted_(interrupted) {}

    std::vector<File> files;
    std::vector<std::unique_ptr<Scan>> scans;
    std::vector<std::unique_ptr<ScanReader>> readers;
    std::vector<Fd> folders;  // kept open while their files are read

    const std::function<bool()>& interrupted() const { return interrupted_; }

    bool read(std::uint64_t index, const ByteSink& sink) {
        const File& f = files[index];
        if (f.data) {
            for (std::uint64_t done = 0; done < f.size;) {
                if (interrupted_()) return stopped = true, false;
                const std::size_t n = f.size - done < kChunk ? static_cast<std::size_t>(f.size - done) : kChunk;
                if (!sink(f.data + done, n)) return false;
                done += n;
            }
            return true;
        }
        if (f.reader) {
            if (f.reader->read(f.key, sink)) return true;
            stopped = f.reader->stopped;
            return f.reader->problem.empty() ? false : fail(f.reader->problem, f.reader->problem_errno);
        }
        return send_file(f.dir, f.name, f.size, f.identity, f.shown, "being read", interrupted_, chunk_, sink, *this);
    }

private:
    const std::function<bool()>& interrupted_;
    std::vector<std::uint8_t> chunk_;
};

// What the library refused, in the module's words: one line each (one per
// glob that matched nothing). Failures of the data, and interruptions, are
// the sources' to tell.
[[noreturn]] void refused(const u8::PathEditRefusal& r, EditKind kind, const std::string& shown,
                          const Sources& sources, const std::vector<bool>& given_as_bytes) {
    using u8::PathRefusal;
    if (sources.stopped) throw Interrupted();
    if (!sources.problem.empty()) disk_failure(sources.problem, sources.problem_errno, "");
    const std::vector<std::string>& p = r.paths;
    switch (r.code) {
        case PathRefusal::not_an_entry_path: refuse(p[0] + kNotEntryPath);
        case PathRefusal::no_such_entry: refuse(p[0] + ": no such entry in " + shown);
        case PathRefusal::exists: refuse(p[0] + ": exists in " + shown);
        case PathRefusal::into_itself: refuse(p[0] + ": a folder cannot move into itself");
        case PathRefusal::no_such_folder: refuse(p[0] + ": no such folder in " + shown);
        case PathRefusal::not_a_folder: refuse(p[0] + ": is a file in " + shown + ", not a folder");
        case PathRefusal::file_onto_folder:
            refuse(p[0] + ": is a folder in " + shown + " and " +
                   (r.put < given_as_bytes.size() && given_as_bytes[r.put] ? "given as bytes" : "a file on disk") +
                   "; not replaced");
        case PathRefusal::folder_onto_file: refuse(p[0] + ": is a file in " + shown + " and a folder on disk; not replaced");
        case PathRefusal::unmatched: {
            EditRefusal unmatched;
            for (const std::string& glob : p) unmatched.lines.push_back("no entry matches '" + glob + "'");
            throw unmatched;
        }
        case PathRefusal::unpacks_elsewhere:
            refuse(p[0] + ": would unpack as " + p[1] + " (a root folder alone unpacks as arc)" +
                   (kind == EditKind::rename ? "; not renamed" : ""));
        case PathRefusal::moves_other:
            refuse(p[0] + ": adding it would make " + p[1] + " unpack as " + p[2] +
                   " (root folders side by side keep their names)");
        case PathRefusal::layout:
            if (r.layout == u8::LayoutError::bad_tree) refuse(shown + ": a folder cannot move into itself");
            throw ArchiveFailure{shown + ": " + u8::layout_error_text(r.layout)};
        case PathRefusal::unreadable_table: throw ArchiveFailure{shown + ": the new table does not read back"};
        default: break;  // data_failed without a problem told, and what only -r refuses
    }
    throw ArchiveFailure{shown + ": cannot be read"};
}

// The caller's paths on disk, as puts: a file, or a folder with everything
// below it (scanned as packing scans). The caller's own path is followed up
// to its last name, which is taken as it is: a symbolic link there is
// refused, as the program refuses it.
void put_from_disk(const UpdateItem& item, const Identity& output_a, const Identity& output_b, Sources& sources,
                   std::vector<u8::PathPut>& puts) {
    std::string path;  // where it goes: what is below a folder is joined to it
    if (!u8::plain_entry_path(item.path, {}, path)) refuse(item.path + kNotEntryPath);
    const std::string& shown = item.disk_path;
    const std::size_t slash = shown.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : shown.substr(0, slash);
    std::string name = slash == std::string::npos ? shown : shown.substr(slash + 1);
    Fd holder;
    disk::Kind kind = disk::Kind::directory;
    Identity identity;
    if (name.empty() || name == "." || name == "..") {
        holder = disk::open_directory_path(shown.c_str());
        name.clear();
    } else {
        holder = disk::open_directory_path(parent.c_str());
    }
    if (!holder.valid() || (!name.empty() && !disk::inspect(holder.get(), name.c_str(), &kind, &identity))) {
        const int e = errno;
        disk_failure(shown + (e == ENOENT ? std::string(": names nothing on disk")
                                          : ": cannot reach it: " + std::string(std::strerror(e))),
                     e, shown);
    }
    if (kind == disk::Kind::missing) disk_failure(shown + ": names nothing on disk", ENOENT, shown);
    if (kind == disk::Kind::symlink) disk_failure(shown + ": is a symbolic link, not followed; not packed", ELOOP, shown);
    if (kind == disk::Kind::directory) {
        Fd top = name.empty() ? std::move(holder) : disk::open_directory(holder.get(), name.c_str());
        if (!top.valid()) {
            const int e = errno;
            disk_failure(shown + ": " + std::strerror(e), e, shown);
        }
        auto scan = std::make_unique<Scan>();
        Selection none;
        scan_tree(top.get(), shown, output_a, output_b, none, *scan);
        if (!scan->problems.empty()) {
            DiskFailure f;
            f.problems = scan->problems;
            for (const std::string& p : scan->problems) f.message += (f.message.empty() ? "" : "\n") + p;
            f.error_number = scan->first_error;
            throw f;
        }
        sources.readers.push_back(std::make_unique<ScanReader>(*scan, top.get(), shown, sources.interrupted()));
        puts.push_back(u8::PathPut{path, true, 0, 0});
        for (std::uint64_t k = 0; k < scan->tree.size(); ++k) {
            const u8::TreeEntry& t = scan->tree[k];
            const std::string at = join(path, join(scan->folders[scan->folder_of[k]].path, t.name));
            if (t.is_directory) {
                puts.push_back(u8::PathPut{at, true, 0, 0});
                continue;
            }
            Sources::File f;
            f.reader = sources.readers.back().get();
            f.key = k;
            f.size = t.size;
            sources.files.push_back(std::move(f));
            puts.push_back(u8::PathPut{at, false, t.size, sources.files.size() - 1});
        }
        sources.scans.push_back(std::move(scan));
        sources.folders.push_back(std::move(top));
        return;
    }
    Sources::File f;
    Fd file = disk::open_file_in(holder.get(), name.c_str(), &f.size, &f.identity);
    if (!file.valid()) {
        const int e = errno;
        disk_failure(shown + (e == EINVAL ? std::string(": is not a regular file or folder, not packed")
                                          : ": cannot be read: " + std::string(std::strerror(e))),
                     e, shown);
    }
    if (f.identity == output_a || f.identity == output_b)
        refuse(shown + ": is the archive being written; not packed into itself");
    f.dir = holder.get();
    f.name = name;
    f.shown = shown;
    sources.folders.push_back(std::move(holder));
    puts.push_back(u8::PathPut{path, false, f.size, sources.files.size()});
    sources.files.push_back(std::move(f));
}

std::vector<Change> changes_of(const std::vector<PathChange>& from) {
    std::vector<Change> out;
    out.reserve(from.size());
    for (const PathChange& c : from) out.push_back(Change{c.kind, c.path, c.from});
    return out;
}

}  // namespace

EditOutcome edit_archive(const EditRequest& request, const std::function<bool()>& interrupted) {
    const std::string& path = request.archive;
    Identity archive_file;
    OpenStatus status;
    ArchivePtr archive = open_archive_file(path, &archive_file, &status);
    if (!archive) {
        if (status.error == OpenError::cannot_open)
            disk_failure(path + ": " + std::strerror(status.error_number), status.error_number, path);
        if (status.error == OpenError::out_of_memory) throw std::bad_alloc();
        throw ArchiveFailure{path + ": " + open_error_text(status.error)};
    }
    EditOutcome outcome;
    outcome.notices = status.notices;

    // The output first, so that an update never reads the file being written.
    const bool in_place = request.output.empty();
    const std::string& target = in_place ? path : request.output;
    std::unique_ptr<OutputFile> output;
    Identity output_a = archive_file, output_b;
    if (!request.dry_run) {
        output = std::make_unique<OutputFile>(target, in_place || request.force);
        if (in_place && !(output->existing() == archive_file))
            disk_failure(path + ": not a plain file that can be replaced (a symbolic link?); "
                                "output= writes the result elsewhere",
                         EINVAL, path);
        output_a = output->existing();
        output_b = output->written();
    }

    Sources sources(interrupted);
    u8::PathEditRequest asked;
    asked.yaz0 = request.yaz0;
    std::vector<bool> given_as_bytes;  // per put
    switch (request.kind) {
        case EditKind::update:
            asked.kind = u8::PathEditRequest::Kind::put;
            for (const UpdateItem& item : request.items) {
                if (item.on_disk) {
                    put_from_disk(item, output_a, output_b, sources, asked.puts);
                    given_as_bytes.resize(asked.puts.size(), false);
                    continue;
                }
                Sources::File f;
                f.data = item.data;
                f.size = item.size;
                f.shown = item.path;
                asked.puts.push_back(u8::PathPut{item.path, false, f.size, sources.files.size()});
                sources.files.push_back(std::move(f));
                given_as_bytes.push_back(true);
            }
            break;
        case EditKind::remove:
            asked.kind = u8::PathEditRequest::Kind::remove;
            asked.globs = request.patterns;
            break;
        case EditKind::rename:
            asked.kind = u8::PathEditRequest::Kind::rename;
            asked.from = request.from;
            asked.to = request.to;
            break;
    }
    const u8::DataSource data = [&sources](const u8::Piece& piece, const ByteSink& sink) {
        return sources.read(piece.key, sink);
    };
    u8::PathEdit edit;
    if (!u8::edit_by_paths(*archive, asked, data, edit)) refused(edit.refusal, request.kind, path, sources, given_as_bytes);
    outcome.changes = changes_of(edit.changes);

    if (!request.dry_run) {
        // Also where a long compression hears of Ctrl-C: the encoder stops
        // when its sink refuses.
        const ByteSink to_file = [&output, &sources, &interrupted](const std::uint8_t* p, std::size_t n) {
            if (interrupted()) return sources.stopped = true, false;
            return output->write(p, n);
        };
        const Wrapped wrapped = write_wrapped(edit.plan, archive_carriers(*archive), request.yaz0, to_file,
                                              u8::path_edit_source(edit, data), archive.get());
        if (wrapped == Wrapped::too_large_for_carrier)
            throw ArchiveFailure{target + ": too large for the carrier it was found in"};
        if (wrapped == Wrapped::failed) {
            if (sources.stopped) throw Interrupted();
            if (!sources.problem.empty()) disk_failure(sources.problem, sources.problem_errno, "");
            // Neither a source nor the output failed: the archive's own bytes did.
            if (output->error_number() == 0) throw ArchiveFailure{path + ": cannot be read"};
            output->fail("cannot write", output->error_number());
        }
        if (interrupted()) throw Interrupted();
        output->commit();
    }
    return outcome;
}

DiffOutcome diff_archives(const Archive& a, const Archive& b) {
    DiffOutcome outcome;
    std::vector<PathChange> found;
    const Comparison c = compare_archives(a, b, [&found](const PathChange& d) { found.push_back(d); });
    if (c.unreadable)
        throw ArchiveFailure{c.unreadable_path.empty() ? std::string("the archives cannot be read")
                                                       : c.unreadable_path + ": cannot be read from both archives"};
    outcome.changes = changes_of(found);
    outcome.identical = c.identical;
    return outcome;
}

}  // namespace dravik::py
