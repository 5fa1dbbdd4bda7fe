// Editing an archive: the command line's paths and patterns turned into a
// library edit (u8::Edit) over the open archive, laid out by layout_edit so
// that every byte the edit does not touch stays, and written as packing
// writes. Entries are named by the paths unpacking gives them.
//
// With -r, a path through a folder NAME.d names an entry of the archive the
// file NAME holds, as -r unpacking names it. Such an archive is opened
// (NestedOpener: the walk's bounds and refusals), edited by the same
// engine, written back into NAME's carriers (u8::rebuild_nested), and its
// new bytes replace NAME's in an edit of the archive above: deepest first,
// one open path at a time. An archive nothing changed is left as it is.
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

// The files an edit takes new data from: entries of scanned folders, files
// named on the command line, and (with -r) nested archives rebuilt in
// memory. Their keys are indices into `files`.
class DiskFiles {
public:
    struct File {
        FolderTree* tree = nullptr;  // a scanned folder's entry, or
        std::uint64_t key = 0;
        int dir = -1;                // a named file in this folder, or
        bool in_memory = false;      // `bytes`
        Bytes bytes;
        std::string name;
        std::uint64_t size = 0;
        FileIdentity identity;
        std::string shown;
    };

    std::vector<File> files;
    std::vector<std::unique_ptr<FolderTree>> trees;
    std::vector<FileDescriptor> folders;  // kept open while files are read
    std::string problem;

    std::uint64_t add(Bytes bytes) {
        File f;
        f.in_memory = true;
        f.size = bytes.size();
        f.bytes = std::move(bytes);
        files.push_back(std::move(f));
        return files.size() - 1;
    }

    bool read(std::uint64_t index, const ByteSink& sink, OutputFile* direct) {
        const File& f = files[index];
        if (f.in_memory) {
            for (std::size_t done = 0; done < f.bytes.size();) {
                const std::size_t n = std::min(kChunk, f.bytes.size() - done);
                if (!sink(f.bytes.data() + done, n)) return false;
                done += n;
            }
            return true;
        }
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

// A file to put, or a folder to make, at an entry path: what an update
// found on disk, in the order it is put.
struct Put {
    std::string path;
    bool folder = false;
    std::uint64_t file = 0;  // its DiskFiles key
};

// What one run shares across the archives it edits: the outermost, and
// with -r those inside it.
struct EditRun {
    const Options& options;
    Console& out;
    std::string shown;  // the archive as messages name it
    DiskFiles files;
    std::unique_ptr<NestedOpener> opener;  // with -r
    Selection selection;                   // --delete's GLOBs, matched at every level
    yaz0::EncodeOptions yaz0;              // for every archive in Yaz0, inner ones too
    std::vector<Change> changes;

    EditRun(const Options& o, Console& c, std::string s) : options(o), out(c), shown(std::move(s)) {}
    bool refuse(const std::string& line) {
        report_line(out, line);
        return false;
    }
};

// What is asked of one archive, by paths relative to it.
struct Work {
    std::vector<Put> puts;  // -u
    std::string from, to;   // --rename
};

// Where a path leads in an archive: to an entry or a place of its own
// (node 0), or, with -r, into the archive file `node` may hold, `rest`
// being the path inside that one ("": its root, which NAME.d names).
struct Route {
    std::uint32_t node = 0;
    std::string rest;
};

class ArchiveEdit;
bool apply_work(EditRun& run, ArchiveEdit& edit, Work& work);

// One edit of one archive: its entries by path, the edit being built, and
// what it changes. `prefix` is where its entries lie: "" for the archive
// edited, "arc/banner.bin.d/" for the one arc/banner.bin holds.
class ArchiveEdit {
public:
    ArchiveEdit(EditRun& run, const Archive& archive, std::string prefix)
        : run_(run), archive_(archive), prefix_(std::move(prefix)),
          places_(unpacked_places(archive, platform_name_rule())) {
        edit.nodes.resize(places_.size());
        directory_.resize(places_.size());
        nested_.resize(places_.size());
        for (std::uint32_t i = 1; i < places_.size(); ++i)
            directory_[i] = archive_stored(archive, i).type != 0;
        // A path names the entry unpacking writes there, else the first one placed there.
        for (int pass = 0; pass < 2; ++pass)
            for (std::uint32_t i = 1; i < places_.size(); ++i)
                if (places_[i].written == (pass == 0)) in_folder_.emplace(Spot(places_[i].folder, places_[i].name), i);
    }

    u8::Edit edit;

    bool put(const std::vector<Put>& puts);
    void remove();
    bool remove_inside();
    bool rename(const std::string& from, const std::string& to);
    Route route(const std::string& path) const;
    // The archive file `node` holds, edited by `work` and written back into
    // the file; `holds` tells whether it holds one -r names. False, the
    // reason told, when -r refuses to open it or the edit inside fails.
    bool nested(std::uint32_t node, Work& work, bool* holds);
    // Only whether it holds one, or false when -r refuses it.
    bool probe(std::uint32_t node, bool* holds);
    bool refuse_named_archive(const Route& route, const std::string& path);
    // Whether the edit changes anything at all.
    bool touched() const { return touched_ || !edit.added.empty(); }
    bool changes(const u8::Plan& plan, const u8::EditOutcome& laid);
    std::string shown(const std::string& path) const { return escaped_path(prefix_ + path); }
    const Archive& archive() const { return archive_; }

private:
    bool refuse(const std::string& line) { return run_.refuse(line); }
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
    NestedOpen open_inside(std::uint32_t node);
    bool open_nested(std::uint32_t node, NestedOpen* opened);
    bool inside(std::uint32_t node, NestedOpen opened, Work& work);
    std::uint32_t sharing(std::uint32_t node) const;

    EditRun& run_;
    const Archive& archive_;
    const std::string prefix_;
    std::vector<UnpackedPlace> places_;
    std::vector<bool> directory_;
    std::vector<bool> nested_;   // files whose new bytes are their archive edited: told inside
    std::vector<bool> removed_;  // --delete: gone, by itself or with its folder
    using Spot = std::pair<std::uint32_t, std::string_view>;  // a folder and a name in it
    std::map<Spot, std::uint32_t> in_folder_;
    std::map<std::string, u8::EditFolder> added_folders_;
    std::set<std::string> put_;  // paths an update has decided already
    std::vector<std::string> added_paths_;  // per added entry: where an update puts it
    std::uint32_t renamed_ = 0;  // the entry a rename moves, and where to
    std::string renamed_to_;
    bool touched_ = false;
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
            return refuse(shown(path) + ": is a file in " + run_.shown + ", not a folder");
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
    if (path.empty()) {  // NAME.d itself, inside the archive NAME holds
        const std::string folder = prefix_.substr(0, prefix_.size() - 1);
        return refuse(escaped_path(folder) + ": names the archive inside " +
                      escaped_path(folder.substr(0, folder.size() - 2)) + ", and a file on disk; not put");
    }
    const DiskFiles::File& f = run_.files.files[file];
    if (const std::uint32_t node = find(path)) {
        if (directory_[node])
            return refuse(shown(path) + ": is a folder in " + run_.shown + " and a file on disk; not replaced");
        Entry e;
        archive_entry(archive_, node, &e);
        if (e.data_size == f.size && places_[node].written && run_.files.same_as(file, archive_, e)) return true;
        if (!run_.files.problem.empty()) return refuse(run_.files.problem);
        u8::EditNode& n = edit.nodes[node];
        n.replace = true;
        n.size = f.size;
        n.key = file;
        touched_ = true;
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

bool ArchiveEdit::put(const std::vector<Put>& puts) {
    for (const Put& p : puts) {
        if (!p.folder) {
            if (!put_file(p.path, p.file)) return false;
            continue;
        }
        if (const std::uint32_t node = find(p.path); node && !directory_[node])
            return refuse(shown(p.path) + ": is a file in " + run_.shown + " and a folder on disk; not replaced");
        u8::EditFolder ignored;
        if (!folder_at(p.path, &ignored)) return false;
    }
    return true;
}

// --delete: the entries a GLOB matches, by their whole paths (through the
// NAME.d folders above, inside a nested archive), folders with everything
// in them.
void ArchiveEdit::remove() {
    removed_.assign(places_.size(), false);
    // The paths as the walk makes them, one name at a time.
    Placement placement(archive_, platform_name_rule());
    std::string path;
    Entry e;
    for (std::uint32_t i = 1; archive_entry(archive_, i, &e); ++i) {
        const Place& p = placement.place(e);
        if (e.is_directory && !places_[i].written) placement.not_entered();
        path.assign(prefix_).append(p.path);
        const bool hit = match_any(run_.selection.include, path, p.name);
        const bool inside = removed_[places_[i].enclosing];
        if (!hit && !inside) continue;
        removed_[i] = true;
        if (!inside) edit.nodes[i].remove = touched_ = true;
    }
}

// --delete -r: the GLOBs inside every archive a file that stays holds. A
// GLOB that matches the NAME.d folder itself is refused: deleting NAME, or
// everything inside, are both what it could mean.
bool ArchiveEdit::remove_inside() {
    for (std::uint32_t i = 1; i < places_.size(); ++i) {
        if (directory_[i] || removed_[i] || !places_[i].written) continue;
        NestedOpen opened = open_inside(i);
        if (!opened.archive) continue;  // none that -r names: nothing inside has a path
        const std::string file = unpacked_path(places_, i);
        const std::string folder = prefix_ + file + ".d";
        if (match_any(run_.selection.include, folder, places_[i].name + ".d"))
            return refuse(escaped_path(folder) + ": names the archive inside " + shown(file) +
                          ", not an entry; --delete takes the file, or the entries inside (" +
                          escaped_path(folder) + "/*)");
        Work work;
        if (!inside(i, std::move(opened), work)) return false;
    }
    return true;
}

bool ArchiveEdit::rename(const std::string& from, const std::string& to) {
    const std::uint32_t node = find(from);
    if (!node) return refuse(shown(from) + ": no such entry in " + run_.shown);
    if (find(to) || added_folders_.count(to)) return refuse(shown(to) + ": exists in " + run_.shown);
    if (directory_[node] && to.compare(0, from.size() + 1, from + "/") == 0)
        return refuse(shown(to) + ": a folder cannot move into itself");
    const std::string destination = folder_of(to);
    u8::EditFolder folder{false, 0};
    if (!destination.empty()) {
        const std::uint32_t d = find(destination);
        if (!d || !directory_[d]) return refuse(shown(destination) + ": no such folder in " + run_.shown);
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
    touched_ = true;
    return true;
}

Route ArchiveEdit::route(const std::string& path) const {
    if (!run_.opener) return {};
    std::uint32_t node = 0;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view name = std::string_view(path).substr(start, end - start);
        const auto found = in_folder_.find(Spot(node, name));
        if (found != in_folder_.end()) {
            node = found->second;
            if (!directory_[node]) return {};  // a file here, and nothing below it
            start = end + 1;
            continue;
        }
        // Not an entry: NAME.d beside a file NAME is the folder of the
        // archive NAME holds, if it holds one. An entry of that name wins,
        // as it does when -r unpacks (the archive is then left as a file).
        if (name.size() > 2 && name.substr(name.size() - 2) == ".d") {
            const auto file = in_folder_.find(Spot(node, name.substr(0, name.size() - 2)));
            if (file != in_folder_.end() && !directory_[file->second] && places_[file->second].written)
                return Route{file->second, end < path.size() ? path.substr(end + 1) : std::string()};
        }
        return {};
    }
    return {};
}

NestedOpen ArchiveEdit::open_inside(std::uint32_t node) {
    Entry e;
    archive_entry(archive_, node, &e);
    const std::string local = unpacked_path(places_, node);
    Place place;
    place.name = places_[node].name.c_str();
    place.path = local;
    place.placeable = true;
    return run_.opener->open(e, place, prefix_ + local);
}

// Another entry whose data overlaps file `node`'s, or 0.
std::uint32_t ArchiveEdit::sharing(std::uint32_t node) const {
    Entry f, e;
    archive_entry(archive_, node, &f);
    const std::uint64_t begin = f.data_offset, end = begin + f.data_size;
    for (std::uint32_t i = 1; archive_entry(archive_, i, &e); ++i)
        if (i != node && !e.is_directory && e.data_size != 0 && e.data_offset < end &&
            begin < std::uint64_t{e.data_offset} + e.data_size)
            return i;
    return 0;
}

bool ArchiveEdit::refuse_named_archive(const Route& route, const std::string& path) {
    return refuse(shown(path) + ": names the archive inside " + shown(unpacked_path(places_, route.node)) +
                  ", not an entry; --rename takes the file, or the entries inside");
}

// Opens the archive file `node` holds, as -r names it: none when it holds
// none; false, with the reason told, when -r refuses to open it.
bool ArchiveEdit::open_nested(std::uint32_t node, NestedOpen* opened) {
    *opened = open_inside(node);
    if (opened->refusal == NestRefusal::none) return true;
    return refuse(shown(unpacked_path(places_, node)) + ": " +
                  nest_refusal_reason(opened->refusal, opened->status, places_[node].name + ".d", opened->same_as) +
                  "; -r edits nothing inside it");
}

bool ArchiveEdit::nested(std::uint32_t node, Work& work, bool* holds) {
    NestedOpen opened;
    if (!open_nested(node, &opened)) return false;
    *holds = opened.archive != nullptr;
    return !*holds || inside(node, std::move(opened), work);
}

bool ArchiveEdit::probe(std::uint32_t node, bool* holds) {
    NestedOpen opened;
    if (!open_nested(node, &opened)) return false;
    *holds = opened.archive != nullptr;
    return true;
}

// The archive file `node` holds, just opened, edited as `work` asks and
// written back into the file's carriers; the file takes the new bytes when
// anything changed, and its changes are told by their paths inside.
bool ArchiveEdit::inside(std::uint32_t node, NestedOpen opened, Work& work) {
    Entry e;
    archive_entry(archive_, node, &e);
    const std::string path = prefix_ + unpacked_path(places_, node);
    for (Notice notice : {kNoticeImd5Mismatch, kNoticeImetMismatch})
        if (opened.status.notices & notice) report_line(run_.out, notice_line(escaped_path(path), notice));
    const Archive& inner = *opened.archive;
    run_.opener->enter(e, inner);
    const std::size_t told = run_.changes.size();
    Bytes bytes;
    u8::NestedRebuild result = u8::NestedRebuild::unchanged;
    bool ok = false;
    {
        ArchiveEdit child(run_, inner, path + ".d/");
        ok = apply_work(run_, child, work);
        if (ok && child.touched()) {
            u8::Plan plan;
            const u8::EditOutcome laid = u8::layout_edit(inner, child.edit, {}, plan);
            if (laid.result.error != u8::LayoutError::none) {
                ok = refuse(escaped_path(path + ".d") + ": " + u8::layout_error_text(laid.result.error));
            } else {
                ok = child.changes(plan, laid);
                if (ok)
                    result = u8::rebuild_nested(inner, plan,
                                                [this](const u8::Piece& piece, const ByteSink& sink) {
                                                    return run_.files.read(piece.key, sink, nullptr);
                                                },
                                                run_.yaz0, bytes);
            }
        }
    }
    run_.opener->leave();
    opened.archive.reset();
    if (!ok) return false;
    switch (result) {
        case u8::NestedRebuild::unchanged:
            run_.changes.resize(told);  // the same archive, byte for byte: nothing changed
            return true;
        case u8::NestedRebuild::rebuilt: break;
        case u8::NestedRebuild::too_large:
            return refuse(escaped_path(path) + ": its archive would pass " +
                          std::to_string(u8::kMaxNestedRebuild >> 20) + " MiB, more than -r rebuilds");
        case u8::NestedRebuild::source_failed:
            return refuse(!run_.files.problem.empty() ? run_.files.problem
                                                      : escaped_path(path) + ": its archive cannot be read");
        case u8::NestedRebuild::carrier_full:
            return refuse(escaped_path(path) + ": too large for the carrier it was in");
    }
    if (const std::uint32_t other = sharing(node))
        return refuse(escaped_path(path) + ": its bytes are shared with " + shown(unpacked_path(places_, other)) +
                      ", which an edit inside would part; -r edits nothing inside it");
    u8::EditNode& n = edit.nodes[node];
    if (n.replace)
        return refuse(escaped_path(path) + ": both the file and the archive it holds (" + escaped_path(path + ".d") +
                      ") change; put one or the other");
    n.replace = true;
    n.size = bytes.size();
    n.key = run_.files.add(std::move(bytes));
    nested_[node] = true;
    touched_ = true;
    return true;
}

// What the edit changed, read off the new table: every entry's path before
// and after (so that a root folder that unpacks under another name now,
// next to a new one, is told as well).
bool ArchiveEdit::changes(const u8::Plan& plan, const u8::EditOutcome& laid) {
    std::vector<Change>& out = run_.changes;
    ArchivePtr result = archive_open_borrowed(plan.head.data(), plan.head.size());
    if (!result) return refuse(run_.shown + ": the new table does not read back");
    const std::vector<UnpackedPlace> now = unpacked_places(*result, platform_name_rule());
    if (renamed_ && unpacked_path(now, laid.node_index[renamed_]) != renamed_to_)
        return refuse(shown(renamed_to_) + ": would unpack as " + shown(unpacked_path(now, laid.node_index[renamed_])) +
                      " (a root folder alone unpacks as arc); not renamed");
    // An update adds where it was asked to, and moves nothing else: a new
    // folder beside the root's only folder would make that one unpack under
    // its stored name rather than arc/, and a lone new root folder unpacks
    // as arc/.
    const bool update = !added_paths_.empty();
    for (std::uint32_t a = 0; a < laid.added_index.size(); ++a)
        if (update && unpacked_path(now, laid.added_index[a]) != added_paths_[a])
            return refuse(shown(added_paths_[a]) + ": would unpack as " + shown(unpacked_path(now, laid.added_index[a])) +
                          " (a root folder alone unpacks as arc)");
    // An entry lands where it did when its name and folder are the same and
    // so is its folder's place.
    std::vector<bool> same(places_.size(), false);
    same[0] = true;
    for (std::uint32_t i = 1; i < places_.size(); ++i) {
        const std::uint32_t k = laid.node_index[i];
        if (k == 0) {
            out.push_back(Change{'D', prefix_ + unpacked_path(places_, i), {}});
            continue;
        }
        const std::uint32_t folder = places_[i].folder;
        same[i] = now[k].name == places_[i].name && now[k].folder == laid.node_index[folder] && same[folder];
        if (!same[i]) {
            const std::string from = unpacked_path(places_, i);
            const std::string to = unpacked_path(now, k);
            if (update)
                return refuse(shown(added_paths_.front()) + ": adding it would make " + shown(from) + " unpack as " +
                              shown(to) + " (root folders side by side keep their names)");
            out.push_back(Change{'R', prefix_ + to, prefix_ + from});
        }
        if (edit.nodes[i].replace && !nested_[i]) out.push_back(Change{'M', prefix_ + unpacked_path(now, k), {}});
    }
    for (std::uint32_t k : laid.added_index)
        if (k != 0) out.push_back(Change{'A', prefix_ + unpacked_path(now, k), {}});
    return true;
}

// With -r, the puts that lead into archives inside this one, by the file
// holding each, in the order first named.
struct Inner {
    std::uint32_t node = 0;
    Work work;                  // their paths inside
    std::vector<Put> as_given;  // their paths here, for a file that holds none
};

bool apply_work(EditRun& run, ArchiveEdit& edit, Work& work) {
    switch (run.options.mode) {
        case Mode::update: {
            std::vector<Put> here;
            std::vector<Inner> inner;
            for (Put& p : work.puts) {
                Route r = edit.route(p.path);
                if (r.node == 0) {
                    here.push_back(std::move(p));
                    continue;
                }
                auto it = std::find_if(inner.begin(), inner.end(), [&r](const Inner& i) { return i.node == r.node; });
                if (it == inner.end()) it = inner.insert(inner.end(), Inner{r.node, {}, {}});
                it->work.puts.push_back(Put{std::move(r.rest), p.folder, p.file});
                it->as_given.push_back(std::move(p));
            }
            if (!edit.put(here)) return false;
            for (Inner& i : inner) {
                bool holds = false;
                if (!edit.nested(i.node, i.work, &holds)) return false;
                if (!holds && !edit.put(i.as_given)) return false;  // NAME.d is an ordinary name here
            }
            return true;
        }
        case Mode::remove:
            edit.remove();
            return !run.opener || edit.remove_inside();
        default: {
            const Route from = edit.route(work.from), to = edit.route(work.to);
            if (from.node == 0 && to.node == 0) return edit.rename(work.from, work.to);
            if (from.node == to.node && !from.rest.empty() && !to.rest.empty()) {
                Work inside;
                inside.from = from.rest;
                inside.to = to.rest;
                bool holds = false;
                if (!edit.nested(from.node, inside, &holds)) return false;
                return holds || edit.rename(work.from, work.to);
            }
            // A path naming an archive's folder itself, or paths in two
            // archives: refused where the file on the way holds an archive
            // -r names; otherwise NAME.d is an ordinary name here.
            bool from_inside = false, to_inside = false;
            if (from.node && !edit.probe(from.node, &from_inside)) return false;
            if (to.node == from.node) to_inside = from_inside;
            else if (to.node && !edit.probe(to.node, &to_inside)) return false;
            if (from_inside && from.rest.empty()) return edit.refuse_named_archive(from, work.from);
            if (to_inside && to.rest.empty()) return edit.refuse_named_archive(to, work.to);
            if (from_inside || to_inside)
                return run.refuse(edit.shown(work.to) + ": not in the archive that holds " + edit.shown(work.from) +
                                  "; a rename moves an entry within its own archive");
            return edit.rename(work.from, work.to);
        }
    }
    return false;
}

std::string layout_problem(const u8::LayoutResult& r, const std::string& shown) {
    switch (r.error) {
        case u8::LayoutError::bad_tree: return shown + ": a folder cannot move into itself";
        default: return shown + ": " + u8::layout_error_text(r.error);
    }
}

// -u's PATHs on disk (DIR/PATH), in order: a file is put at PATH, a folder
// is made there and everything below it put too.
bool collect_puts(EditRun& run, const OutputFile& output, const std::vector<std::string>& given_paths,
                  std::vector<Put>& puts) {
    const Options& options = run.options;
    DiskFiles& files = run.files;
    const std::string dir = options.directory.empty() ? "." : options.directory;
    files.folders.push_back(disk::open_directory_path(dir.c_str()));
    const int top = files.folders.back().fd;
    if (top < 0) return run.refuse(escaped_path(dir) + ": " + std::strerror(errno));
    for (const std::string& given : given_paths) {
        const std::string on_disk = options.directory.empty() ? given : join(options.directory, given);
        const std::string shown = escaped_path(on_disk);
        std::string path;
        if (!plain_path(given, path))
            return run.refuse(escaped_path(given) + ": not an entry path (names may not be empty, '.' or '..', "
                                                    "nor any this system cannot hold)");
        // Down to the folder holding it, never through a symbolic link.
        int holder = top;
        for (std::size_t start = 0, slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
            const std::string name = path.substr(start, slash - start);
            files.folders.push_back(disk::open_directory(holder, name.c_str()));
            holder = files.folders.back().fd;
            if (holder < 0)
                return run.refuse(shown + ": " + (errno == ENOENT ? std::string("names nothing on disk")
                                                                   : "cannot reach it: " + std::string(std::strerror(errno))));
        }
        const std::string name = name_of(path);
        disk::EntryKind kind;
        FileIdentity identity;
        if (!disk::inspect(holder, name.c_str(), &kind, &identity)) return run.refuse(shown + ": " + std::strerror(errno));
        if (kind == disk::EntryKind::missing) return run.refuse(shown + ": names nothing on disk");
        if (kind == disk::EntryKind::symlink) return run.refuse(shown + ": is a symbolic link, not followed; not packed");
        if (kind == disk::EntryKind::directory) {
            files.folders.push_back(disk::open_directory(holder, name.c_str()));
            if (!files.folders.back().valid()) return run.refuse(shown + ": " + std::strerror(errno));
            files.trees.push_back(std::make_unique<FolderTree>());
            FolderTree& tree = *files.trees.back();
            Selection none;
            tree.scan(files.folders.back().fd, on_disk, output, none);
            if (!tree.problems().empty()) {
                for (const std::string& p : tree.problems()) report_line(run.out, p);
                return false;
            }
            puts.push_back(Put{path, true, 0});
            const std::vector<u8::TreeEntry>& entries = tree.entries();
            for (std::uint64_t k = 0; k < entries.size(); ++k) {
                if (entries[k].is_directory) {
                    puts.push_back(Put{join(path, tree.path(k)), true, 0});
                    continue;
                }
                DiskFiles::File f;
                f.tree = &tree;
                f.key = k;
                f.size = entries[k].size;
                files.files.push_back(std::move(f));
                puts.push_back(Put{join(path, tree.path(k)), false, files.files.size() - 1});
            }
            continue;
        }
        DiskFiles::File f;
        f.dir = holder;
        f.name = name;
        f.shown = shown;
        FileDescriptor file = disk::open_file_in(holder, name.c_str(), &f.size, &f.identity);
        if (!file.valid())
            return run.refuse(shown + (errno == EINVAL ? ": is not a regular file or folder, not packed"
                                                       : ": cannot be read: " + std::string(std::strerror(errno))));
        if (same_identity(f.identity, output.existing) || same_identity(f.identity, output.written))
            return run.refuse(shown + ": is the archive being written; not packed into itself");
        files.files.push_back(std::move(f));
        puts.push_back(Put{path, false, files.files.size() - 1});
    }
    return true;
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

    EditRun run(options, out, shown);
    run.yaz0 = options.yaz0;
    if (!options.level_given) run.yaz0.level = yaz0::Level::best;
    if (options.recursive) run.opener = std::make_unique<NestedOpener>(*archive, platform_name_rule());
    std::vector<std::string> given;
    for (std::size_t i = 1; i < options.operands.size(); ++i)
        given.push_back(disk::entry_path_argument(options.operands[i]));

    Work work;
    bool ok = true;
    if (options.mode == Mode::update) {
        ok = collect_puts(run, output, given, work.puts);
    } else if (options.mode == Mode::remove) {
        run.selection = make_selection(given, {});
    } else if (!plain_path(given[0], work.from)) {
        ok = run.refuse(escaped_path(given[0]) + ": no such entry in " + shown);
    } else if (!plain_path(given[1], work.to)) {
        ok = run.refuse(escaped_path(given[1]) + ": not an entry path (names may not be empty, '.' or '..', "
                                                 "nor any this system cannot hold)");
    }
    ArchiveEdit edit(run, *archive, "");
    ok = ok && apply_work(run, edit, work);
    if (ok && options.mode == Mode::remove) {
        for (const Pattern& p : run.selection.include) {
            if (p.matched) continue;
            ok = false;
            report_line(out, "no entry matches '" + escaped(p.text.c_str()) + "'");
        }
    }
    if (!ok) return fail(shown + ": not changed");

    u8::Plan plan;
    const u8::EditOutcome laid = u8::layout_edit(*archive, edit.edit, {}, plan);
    if (laid.result.error != u8::LayoutError::none) return fail(layout_problem(laid.result, shown));
    if (!edit.changes(plan, laid)) return fail(shown + ": not changed");

    if (!options.dry_run) {
        const std::vector<Carrier>& carriers = archive_carriers(*archive);
        OutputFile* direct = writes_directly(carriers) ? &output : nullptr;
        OriginalBytes original(*archive);
        DiskFiles& files = run.files;
        const u8::DataSource source = [&](const u8::Piece& piece, const ByteSink& sink) {
            return piece.from == u8::Piece::From::original ? original.read(piece, sink, direct)
                                                           : files.read(piece.key, sink, direct);
        };
        switch (write_archive(plan, carriers, run.yaz0, output, source, nullptr)) {
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
        run.opener.reset();
        archive.reset();
        if (!output_commit(output, reason)) return fail(escaped_path(target) + ": " + reason);
    }

    std::vector<Change>& changes = run.changes;
    if (!options.quiet) {
        std::stable_sort(changes.begin(), changes.end(),
                         [](const Change& x, const Change& y) { return x.path < y.path; });
        for (const Change& c : changes) print_change(out, options.json, c.kind, c.path, c.from);
    }
    if (!console_flush(out)) return fail(with_errno("cannot write the listing", out.error_number));
    return 0;
}

}  // namespace dravik
