// Editing an archive: the command line's paths and patterns turned into a
// library edit (u8::Edit) over the open archive, laid out by layout_edit so
// that every byte the edit does not touch stays, and written as packing
// writes. Entries are named by the paths unpacking gives them.
#include "program/edit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
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

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// An entry path given on the command line, made plain ("./a/b/" is "a/b").
// False when it names nothing inside an archive: empty, absolute, or with
// an empty, "." or ".." name in it, or a name this system cannot hold.
bool plain_path(const std::string& text, std::string& path) {
    std::string_view p = text;
    while (p.size() >= 2 && p[0] == '.' && p[1] == '/') p.remove_prefix(2);
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty() || p[0] == '/') return false;
    const NameRule rule = platform_name_rule();
    for (std::size_t start = 0; start <= p.size();) {
        std::size_t end = p.find('/', start);
        if (end == std::string_view::npos) end = p.size();
        const std::string name(p.substr(start, end - start));
        if (!name_is_safe(name.c_str()) || (rule && !rule(name.c_str()))) return false;
        start = end + 1;
    }
    path = std::string(p);
    return true;
}

// The files an update reads from disk: entries of scanned folders, and
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

    // Whether file `index` holds exactly `entry`'s data.
    bool same_as(std::uint64_t index, const Archive& archive, const Entry& entry) {
        std::vector<std::uint8_t> theirs(kChunk);
        std::uint64_t at = 0;
        bool same = true;
        const bool read_all = read(index, [&](const std::uint8_t* p, std::size_t n) {
            same = archive_read(archive, entry, at, theirs.data(), n) && std::memcmp(p, theirs.data(), n) == 0;
            at += n;
            return same;
        }, nullptr);
        return read_all && same && at == entry.data_size;
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

struct Change {
    char kind;
    std::string path;
    std::string from;  // a rename's old path
};

// One edit of one archive: its entries by path, the edit being built, and
// what it changes.
class ArchiveEdit {
public:
    ArchiveEdit(const Archive& archive, const std::string& shown, Console& out)
        : archive_(archive), shown_(shown), out_(out), places_(unpacked_places(archive, platform_name_rule())) {
        edit.nodes.resize(places_.size());
        directory_.resize(places_.size());
        for (std::uint32_t i = 1; i < places_.size(); ++i)
            directory_[i] = archive_stored(archive, i).type != 0;
        // A path names the entry unpacking writes there, else the first one placed there.
        for (int pass = 0; pass < 2; ++pass)
            for (std::uint32_t i = 1; i < places_.size(); ++i)
                if (places_[i].written == (pass == 0)) in_folder_.emplace(Spot(places_[i].folder, places_[i].name), i);
    }

    u8::Edit edit;
    DiskFiles disk_files;

    bool update(const Options& options, const OutputFile& output);
    bool remove(const std::vector<std::string>& globs);
    bool rename(const std::string& old_text, const std::string& new_text);
    bool changes(const u8::Plan& plan, const u8::EditOutcome& laid, std::vector<Change>& out);

private:
    bool refuse(const std::string& line) {
        report_line(out_, line);
        return false;
    }
    // The node at `path`, or 0: found name by name from the top.
    std::uint32_t find(const std::string& path) const {
        std::uint32_t node = 0;
        for (std::size_t start = 0; start <= path.size();) {
            std::size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            const auto found = in_folder_.find(Spot(node, std::string_view(path).substr(start, end - start)));
            if (found == in_folder_.end()) return 0;
            node = found->second;
            start = end + 1;
        }
        return node;
    }
    bool folder_at(const std::string& path, u8::EditFolder* folder);
    bool put_file(const std::string& path, std::uint64_t file);
    bool put_tree(const std::string& path, FolderTree& tree);

    const Archive& archive_;
    const std::string& shown_;
    Console& out_;
    std::vector<UnpackedPlace> places_;
    std::vector<bool> directory_;
    using Spot = std::pair<std::uint32_t, std::string_view>;  // a folder and a name in it
    std::map<Spot, std::uint32_t> in_folder_;
    std::map<std::string, u8::EditFolder> added_folders_;
    std::set<std::string> put_;  // paths an update has decided already
    std::vector<std::string> added_paths_;  // per added entry: where an update puts it
    std::uint32_t renamed_ = 0;  // the entry a rename moves, and where to
    std::string renamed_to_;
};

// The folder at `path` in the edited archive: one that is there, or one
// added with the folders leading to it.
bool ArchiveEdit::folder_at(const std::string& path, u8::EditFolder* folder) {
    if (path.empty()) {
        *folder = u8::EditFolder{false, 0};
        return true;
    }
    const auto added = added_folders_.find(path);
    if (added != added_folders_.end()) {
        *folder = added->second;
        return true;
    }
    if (const std::uint32_t node = find(path)) {
        if (!directory_[node])
            return refuse(escaped_path(path) + ": is a file in " + shown_ + ", not a folder");
        *folder = u8::EditFolder{false, node};
        return true;
    }
    u8::EditFolder parent;
    if (!folder_at(folder_of(path), &parent)) return false;
    u8::EditAdded a;
    a.name = name_of(path);
    a.is_directory = true;
    a.folder = parent;
    *folder = u8::EditFolder{true, static_cast<std::uint32_t>(edit.added.size())};
    edit.added.push_back(std::move(a));
    added_paths_.push_back(path);
    added_folders_.emplace(path, *folder);
    return true;
}

// File `file` from disk at `path`: it replaces the file there when its
// bytes differ, or is added.
bool ArchiveEdit::put_file(const std::string& path, std::uint64_t file) {
    if (!put_.insert(path).second) return true;  // named twice
    const DiskFiles::File& f = disk_files.files[file];
    if (const std::uint32_t node = find(path)) {
        if (directory_[node])
            return refuse(escaped_path(path) + ": is a folder in " + shown_ + " and a file on disk; not replaced");
        Entry e;
        archive_entry(archive_, node, &e);
        if (e.data_size == f.size && places_[node].written && disk_files.same_as(file, archive_, e)) return true;
        if (!disk_files.problem.empty()) return refuse(disk_files.problem);
        u8::EditNode& n = edit.nodes[node];
        n.replace = true;
        n.size = f.size;
        n.key = file;
        return true;
    }
    u8::EditFolder folder;
    if (!folder_at(folder_of(path), &folder)) return false;
    u8::EditAdded a;
    a.name = name_of(path);
    a.folder = folder;
    a.size = f.size;
    a.key = file;
    edit.added.push_back(std::move(a));
    added_paths_.push_back(path);
    return true;
}

// A scanned folder put at `path`: its folders made where missing, its files
// put one by one.
bool ArchiveEdit::put_tree(const std::string& path, FolderTree& tree) {
    u8::EditFolder ignored;
    if (const std::uint32_t node = find(path); node && !directory_[node])
        return refuse(escaped_path(path) + ": is a file in " + shown_ + " and a folder on disk; not replaced");
    if (!folder_at(path, &ignored)) return false;
    const std::vector<u8::TreeEntry>& entries = tree.entries();
    for (std::uint64_t k = 0; k < entries.size(); ++k) {
        const std::string at = join(path, tree.path(k));
        if (entries[k].is_directory) {
            if (const std::uint32_t node = find(at); node && !directory_[node])
                return refuse(escaped_path(at) + ": is a file in " + shown_ + " and a folder on disk; not replaced");
            if (!folder_at(at, &ignored)) return false;
            continue;
        }
        DiskFiles::File f;
        f.tree = &tree;
        f.key = k;
        f.size = entries[k].size;
        disk_files.files.push_back(f);
        if (!put_file(at, disk_files.files.size() - 1)) return false;
    }
    return true;
}

bool ArchiveEdit::update(const Options& options, const OutputFile& output) {
    const std::string dir = options.directory.empty() ? "." : options.directory;
    disk_files.folders.push_back(disk::open_directory_path(dir.c_str()));
    const int top = disk_files.folders.back().fd;
    if (top < 0) return refuse(escaped_path(dir) + ": " + std::strerror(errno));
    for (std::size_t i = 1; i < options.operands.size(); ++i) {
        const std::string& given = options.operands[i];
        const std::string shown = escaped_path(options.directory.empty() ? given : join(options.directory, given));
        std::string path;
        if (!plain_path(given, path))
            return refuse(escaped_path(given) + ": not an entry path (names may not be empty, '.' or '..', "
                                                "nor any this system cannot hold)");
        // Down to the folder holding it, never through a symbolic link.
        int holder = top;
        for (std::size_t start = 0, slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
            const std::string name = path.substr(start, slash - start);
            disk_files.folders.push_back(disk::open_directory(holder, name.c_str()));
            holder = disk_files.folders.back().fd;
            if (holder < 0)
                return refuse(shown + ": " + (errno == ENOENT ? std::string("names nothing on disk")
                                                               : "cannot reach it: " + std::string(std::strerror(errno))));
        }
        const std::string name = name_of(path);
        disk::EntryKind kind;
        FileIdentity identity;
        if (!disk::inspect(holder, name.c_str(), &kind, &identity)) return refuse(shown + ": " + std::strerror(errno));
        if (kind == disk::EntryKind::missing) return refuse(shown + ": names nothing on disk");
        if (kind == disk::EntryKind::symlink) return refuse(shown + ": is a symbolic link, not followed; not packed");
        if (kind == disk::EntryKind::directory) {
            disk_files.folders.push_back(disk::open_directory(holder, name.c_str()));
            if (!disk_files.folders.back().valid()) return refuse(shown + ": " + std::strerror(errno));
            disk_files.trees.push_back(std::make_unique<FolderTree>());
            FolderTree& tree = *disk_files.trees.back();
            Selection none;
            tree.scan(disk_files.folders.back().fd, options.directory.empty() ? given : join(options.directory, given),
                      output, none);
            if (!tree.problems().empty()) {
                for (const std::string& p : tree.problems()) report_line(out_, p);
                return false;
            }
            if (!put_tree(path, tree)) return false;
            continue;
        }
        DiskFiles::File f;
        f.dir = holder;
        f.name = name;
        f.shown = shown;
        FileDescriptor file = disk::open_file_in(holder, name.c_str(), &f.size, &f.identity);
        if (!file.valid())
            return refuse(shown + (errno == EINVAL ? ": is not a regular file or folder, not packed"
                                                   : ": cannot be read: " + std::string(std::strerror(errno))));
        if (same_identity(f.identity, output.existing) || same_identity(f.identity, output.written))
            return refuse(shown + ": is the archive being written; not packed into itself");
        disk_files.files.push_back(f);
        if (!put_file(path, disk_files.files.size() - 1)) return false;
    }
    return true;
}

bool ArchiveEdit::remove(const std::vector<std::string>& globs) {
    Selection selection = make_selection(globs, {});
    std::vector<bool> removed(places_.size(), false);
    // The paths as the walk makes them, one name at a time.
    Placement placement(archive_, platform_name_rule());
    Entry e;
    for (std::uint32_t i = 1; archive_entry(archive_, i, &e); ++i) {
        const Place& p = placement.place(e);
        if (e.is_directory && !places_[i].written) placement.not_entered();
        const bool hit = match_any(selection.include, p.path, p.name);
        const bool inside = removed[places_[i].enclosing];
        if (!hit && !inside) continue;
        removed[i] = true;
        if (!inside) edit.nodes[i].remove = true;
    }
    bool unmatched = false;
    for (const Pattern& p : selection.include) {
        if (p.matched) continue;
        unmatched = true;
        report_line(out_, "no entry matches '" + escaped(p.text.c_str()) + "'");
    }
    return !unmatched;
}

bool ArchiveEdit::rename(const std::string& old_text, const std::string& new_text) {
    std::string from, to;
    if (!plain_path(old_text, from) || !find(from))
        return refuse(escaped_path(old_text) + ": no such entry in " + shown_);
    if (!plain_path(new_text, to))
        return refuse(escaped_path(new_text) + ": not an entry path (names may not be empty, '.' or '..', "
                                               "nor any this system cannot hold)");
    const std::uint32_t node = find(from);
    if (find(to) || added_folders_.count(to)) return refuse(escaped_path(to) + ": exists in " + shown_);
    if (directory_[node] && to.compare(0, from.size() + 1, from + "/") == 0)
        return refuse(escaped_path(to) + ": a folder cannot move into itself");
    const std::string destination = folder_of(to);
    u8::EditFolder folder{false, 0};
    if (!destination.empty()) {
        const std::uint32_t d = find(destination);
        if (!d || !directory_[d]) return refuse(escaped_path(destination) + ": no such folder in " + shown_);
        folder.index = d;
    }
    u8::EditNode& n = edit.nodes[node];
    if (destination != folder_of(from)) {
        n.move = true;
        n.folder = folder;
    }
    const std::string name = name_of(to);
    if (name != archive_node_name(archive_, node)) {
        n.rename = true;
        n.name = name;
    }
    renamed_ = node;
    renamed_to_ = to;
    return true;
}

// What the edit changed, read off the new table: every entry's path before
// and after (so that a root folder that unpacks under another name now,
// next to a new one, is told as well).
bool ArchiveEdit::changes(const u8::Plan& plan, const u8::EditOutcome& laid, std::vector<Change>& out) {
    ArchivePtr result = archive_open_borrowed(plan.head.data(), plan.head.size());
    if (!result) return refuse(shown_ + ": the new table does not read back");
    const std::vector<UnpackedPlace> now = unpacked_places(*result, platform_name_rule());
    if (renamed_ && unpacked_path(now, laid.node_index[renamed_]) != renamed_to_)
        return refuse(escaped_path(renamed_to_) + ": would unpack as " +
                      escaped_path(unpacked_path(now, laid.node_index[renamed_])) +
                      " (a root folder alone unpacks as arc); not renamed");
    // An update adds where it was asked to, and moves nothing else: a new
    // folder beside the root's only folder would make that one unpack under
    // its stored name rather than arc/, and a lone new root folder unpacks
    // as arc/.
    const bool update = !added_paths_.empty();
    for (std::uint32_t a = 0; a < laid.added_index.size(); ++a)
        if (update && unpacked_path(now, laid.added_index[a]) != added_paths_[a])
            return refuse(escaped_path(added_paths_[a]) + ": would unpack as " +
                          escaped_path(unpacked_path(now, laid.added_index[a])) +
                          " (a root folder alone unpacks as arc)");
    // An entry lands where it did when its name and folder are the same and
    // so is its folder's place.
    std::vector<bool> same(places_.size(), false);
    same[0] = true;
    for (std::uint32_t i = 1; i < places_.size(); ++i) {
        const std::uint32_t k = laid.node_index[i];
        if (k == 0) {
            out.push_back(Change{'D', unpacked_path(places_, i), {}});
            continue;
        }
        const std::uint32_t folder = places_[i].folder;
        same[i] = now[k].name == places_[i].name && now[k].folder == laid.node_index[folder] && same[folder];
        if (!same[i]) {
            const std::string from = unpacked_path(places_, i);
            const std::string to = unpacked_path(now, k);
            if (update)
                return refuse(escaped_path(added_paths_.front()) + ": adding it would make " + escaped_path(from) +
                              " unpack as " + escaped_path(to) + " (root folders side by side keep their names)");
            out.push_back(Change{'R', to, from});
        }
        if (edit.nodes[i].replace) out.push_back(Change{'M', unpacked_path(now, k), {}});
    }
    for (std::uint32_t k : laid.added_index)
        if (k != 0) out.push_back(Change{'A', unpacked_path(now, k), {}});
    return true;
}

std::string layout_problem(const u8::LayoutResult& r, const std::string& shown) {
    switch (r.error) {
        case u8::LayoutError::bad_tree: return shown + ": a folder cannot move into itself";
        default: return shown + ": " + u8::layout_error_text(r.error);
    }
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

    ArchiveEdit edit(*archive, shown, out);
    bool ok = false;
    if (options.mode == Mode::update) {
        ok = edit.update(options, output);
    } else if (options.mode == Mode::remove) {
        ok = edit.remove(std::vector<std::string>(options.operands.begin() + 1, options.operands.end()));
    } else {
        ok = edit.rename(options.operands[1], options.operands[2]);
    }
    if (!ok) return fail(shown + ": not changed");

    u8::Plan plan;
    const u8::EditOutcome laid = u8::layout_edit(*archive, edit.edit, {}, plan);
    if (laid.result.error != u8::LayoutError::none) return fail(layout_problem(laid.result, shown));
    std::vector<Change> changes;
    if (!edit.changes(plan, laid, changes)) return fail(shown + ": not changed");

    if (!options.dry_run) {
        const std::vector<Carrier>& carriers = archive_carriers(*archive);
        yaz0::EncodeOptions yaz0 = options.yaz0;
        if (!options.level_given) yaz0.level = yaz0::Level::best;
        OutputFile* direct = writes_directly(carriers) ? &output : nullptr;
        OriginalBytes original(*archive);
        DiskFiles& files = edit.disk_files;
        const u8::DataSource source = [&](const u8::Piece& piece, const ByteSink& sink) {
            return piece.from == u8::Piece::From::original ? original.read(piece, sink, direct)
                                                           : files.read(piece.key, sink, direct);
        };
        switch (write_archive(plan, carriers, yaz0, output, source, nullptr)) {
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

    if (!options.quiet) {
        std::stable_sort(changes.begin(), changes.end(),
                         [](const Change& x, const Change& y) { return x.path < y.path; });
        for (const Change& c : changes) print_change(out, options.json, c.kind, c.path, c.from);
    }
    if (!console_flush(out)) return fail(with_errno("cannot write the listing", out.error_number));
    return 0;
}

}  // namespace dravik
