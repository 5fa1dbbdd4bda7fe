// Editing by paths: puts, globs and renames named by the paths unpacking
// gives entries, turned into an Edit over the open archive and laid out by
// layout_edit, and the change read back off the new table, so that what is
// told is what unpacking the result gives.
//
// With recursive, a path through a folder NAME.d names an entry of the
// archive the file NAME holds. Such an archive is opened (NestedOpener:
// the walk's bounds and refusals), edited by the same engine, written back
// into NAME's carriers (rebuild_nested), and its new bytes replace NAME's
// in the edit of the archive above: deepest first, one open path at a time.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "dravik/writer.h"
#include "lib/u8/u8_read.h"

namespace dravik::u8 {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A put by its path relative to the archive it goes into.
struct Put {
    std::string path;
    bool folder = false;
    std::size_t index = 0;  // in the request's puts
};

// What is asked of one archive, by paths relative to it.
struct Work {
    std::vector<Put> puts;  // put
    std::string from, to;   // rename
};

// Where a path leads in an archive: to an entry or a place of its own
// (node 0), or, with recursive, into the archive file `node` may hold,
// `rest` being the path inside that one ("": its root, which NAME.d names).
struct Route {
    std::uint32_t node = 0;
    std::string rest;
};

// Sends the new data an edit's key names: a put's (keys below the number
// of puts), or the bytes of an archive inside rebuilt.
bool send_new_data(const PathEdit& edit, const DataSource& data, const Piece& piece, const ByteSink& sink) {
    if (piece.key < edit.put_keys.size()) {
        Piece theirs = piece;
        theirs.key = edit.put_keys[static_cast<std::size_t>(piece.key)];
        return data(theirs, sink);
    }
    const std::uint64_t k = piece.key - edit.put_keys.size();
    if (k >= edit.rebuilt.size()) return false;
    const Bytes& bytes = edit.rebuilt[static_cast<std::size_t>(k)];
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t n = std::min(kChunk, bytes.size() - done);
        if (!sink(bytes.data() + done, n)) return false;
        done += n;
    }
    return true;
}

// What one request shares across the archives it edits: the outermost,
// and with recursive those inside it.
struct Run {
    const PathEditRequest& request;
    const DataSource& data;
    PathEdit& out;
    std::unique_ptr<NestedOpener> opener;  // with recursive
    Selection selection;                   // the globs, matched at every level

    bool refuse(PathRefusal code, std::vector<std::string> paths, std::size_t put = 0) {
        out.refusal.code = code;
        out.refusal.paths = std::move(paths);
        out.refusal.put = put;
        return false;
    }
    bool send(const Piece& piece, const ByteSink& sink) const { return send_new_data(out, data, piece, sink); }
};

class ArchiveEdit;
bool apply_work(Run& run, ArchiveEdit& edit, Work& work);

// One edit of one archive: its entries by path, the edit being built, and
// what it changes. `prefix` is where its entries lie: "" for the archive
// edited, "arc/banner.bin.d/" for the one arc/banner.bin holds.
class ArchiveEdit {
public:
    ArchiveEdit(Run& run, const Archive& archive, std::string prefix)
        : run_(run), archive_(archive), prefix_(std::move(prefix)),
          places_(unpacked_places(archive, run.request.rule)) {
        edit.nodes.resize(places_.size());
        directory_.resize(places_.size());
        nested_.resize(places_.size());
        for (std::uint32_t i = 1; i < places_.size(); ++i) directory_[i] = archive_stored(archive, i).type != 0;
        // A path names the entry unpacking writes there, else the first one placed there.
        for (int pass = 0; pass < 2; ++pass)
            for (std::uint32_t i = 1; i < places_.size(); ++i)
                if (places_[i].written == (pass == 0)) in_folder_.emplace(Spot(places_[i].folder, places_[i].name), i);
    }

    Edit edit;

    bool put(const std::vector<Put>& puts);
    void remove();
    bool remove_inside();
    bool rename(const std::string& from, const std::string& to);
    Route route(const std::string& path) const;
    // The archive file `node` holds, edited by `work` and written back into
    // the file; `holds` tells whether it holds one -r names. False, the
    // refusal set, when -r refuses to open it or the edit inside fails.
    bool nested(std::uint32_t node, Work& work, bool* holds);
    // Only whether it holds one, or false when -r refuses it.
    bool probe(std::uint32_t node, bool* holds);
    bool refuse_named_archive(const Route& route, const std::string& path) {
        return run_.refuse(PathRefusal::archive_folder, {full(path), full(unpacked_path(places_, route.node))});
    }
    // Whether the edit changes anything at all.
    bool touched() const { return touched_ || !edit.added.empty(); }
    bool changes(const Plan& plan, const EditOutcome& laid, std::vector<PathChange>& out);
    std::string full(const std::string& path) const { return prefix_ + path; }

private:
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
    bool folder_at(const std::string& path, EditFolder* folder);
    bool put_file(const Put& put);
    enum class Same { yes, no, unreadable };
    Same same_data(std::size_t put, const Entry& entry) const;
    NestedOpen open_inside(std::uint32_t node);
    bool open_nested(std::uint32_t node, NestedOpen* opened);
    bool inside(std::uint32_t node, NestedOpen opened, Work& work);
    std::uint32_t sharing(std::uint32_t node) const;

    Run& run_;
    const Archive& archive_;
    const std::string prefix_;
    std::vector<UnpackedPlace> places_;
    std::vector<bool> directory_;
    std::vector<bool> nested_;   // files whose new bytes are their archive edited: told inside
    std::vector<bool> removed_;  // remove: gone, by itself or with its folder
    using Spot = std::pair<std::uint32_t, std::string_view>;  // a folder and a name in it
    std::map<Spot, std::uint32_t> in_folder_;
    std::map<std::string, EditFolder> added_folders_;
    std::set<std::string> put_;             // paths a put has decided already
    std::vector<std::string> added_paths_;  // per added entry: where a put puts it
    std::uint32_t renamed_ = 0;             // the entry a rename moves, and where to
    std::string renamed_to_;
    bool touched_ = false;
};

// The folder at `path` in the edited archive: one that is there, or one
// added with the folders leading to it.
bool ArchiveEdit::folder_at(const std::string& path, EditFolder* folder) {
    if (path.empty()) {
        *folder = EditFolder{false, 0};
        return true;
    }
    const auto added = added_folders_.find(path);
    if (added != added_folders_.end()) {
        *folder = added->second;
        return true;
    }
    if (const std::uint32_t node = find(path)) {
        if (!directory_[node]) return run_.refuse(PathRefusal::not_a_folder, {full(path)});
        *folder = EditFolder{false, node};
        return true;
    }
    EditFolder parent;
    if (!folder_at(folder_of(path), &parent)) return false;
    EditAdded a;
    a.name = name_of(path);
    a.is_directory = true;
    a.folder = parent;
    *folder = EditFolder{true, static_cast<std::uint32_t>(edit.added.size())};
    edit.added.push_back(std::move(a));
    added_paths_.push_back(path);
    added_folders_.emplace(path, *folder);
    return true;
}

// Whether put `put` holds exactly `entry`'s data; unreadable when the data
// source failed (an entry that cannot be read is taken as other bytes).
ArchiveEdit::Same ArchiveEdit::same_data(std::size_t put, const Entry& entry) const {
    std::vector<std::uint8_t> theirs(std::min<std::size_t>(kChunk, entry.data_size));
    std::uint64_t at = 0;
    bool differs = false;
    const Piece piece{Piece::From::file, 0, entry.data_size, put};
    const bool sent = run_.send(piece, [&](const std::uint8_t* p, std::size_t n) {
        for (std::size_t done = 0; done < n && !differs;) {
            const std::size_t k = std::min(n - done, theirs.size());
            differs = k == 0 || !archive_read(archive_, entry, at, theirs.data(), k) ||
                      std::memcmp(p + done, theirs.data(), k) != 0;
            at += k;
            done += k;
        }
        return !differs;
    });
    if (differs) return Same::no;
    if (!sent) return Same::unreadable;
    return at == entry.data_size ? Same::yes : Same::no;
}

// A file put at its path: it replaces the file there when its bytes
// differ, or is added.
bool ArchiveEdit::put_file(const Put& p) {
    if (!put_.insert(p.path).second) return true;  // named twice
    if (p.path.empty()) {  // NAME.d itself, inside the archive NAME holds
        const std::string folder = prefix_.substr(0, prefix_.size() - 1);
        return run_.refuse(PathRefusal::archive_folder, {folder, folder.substr(0, folder.size() - 2)}, p.index);
    }
    const PathPut& given = run_.request.puts[p.index];
    if (const std::uint32_t node = find(p.path)) {
        if (directory_[node]) return run_.refuse(PathRefusal::file_onto_folder, {full(p.path)}, p.index);
        Entry e;
        archive_entry(archive_, node, &e);
        if (e.data_size == given.size && places_[node].written) {
            const Same same = same_data(p.index, e);
            if (same == Same::yes) return true;
            if (same == Same::unreadable) return run_.refuse(PathRefusal::data_failed, {full(p.path)}, p.index);
        }
        EditNode& n = edit.nodes[node];
        n.replace = true;
        n.size = given.size;
        n.key = p.index;
        touched_ = true;
        return true;
    }
    EditFolder folder;
    if (!folder_at(folder_of(p.path), &folder)) return false;
    EditAdded a;
    a.name = name_of(p.path);
    a.folder = folder;
    a.size = given.size;
    a.key = p.index;
    edit.added.push_back(std::move(a));
    added_paths_.push_back(p.path);
    return true;
}

bool ArchiveEdit::put(const std::vector<Put>& puts) {
    for (const Put& p : puts) {
        if (!p.folder) {
            if (!put_file(p)) return false;
            continue;
        }
        if (const std::uint32_t node = find(p.path); node && !directory_[node])
            return run_.refuse(PathRefusal::folder_onto_file, {full(p.path)}, p.index);
        EditFolder ignored;
        if (!folder_at(p.path, &ignored)) return false;
    }
    return true;
}

// The entries a glob matches, by their whole paths (through the NAME.d
// folders above, inside a nested archive), folders with everything in them.
void ArchiveEdit::remove() {
    removed_.assign(places_.size(), false);
    // The paths as the walk makes them, one name at a time.
    Placement placement(archive_, run_.request.rule);
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

// With recursive, the globs inside every archive a file that stays holds.
// A glob that matches the NAME.d folder itself is refused: deleting NAME,
// or everything inside, are both what it could mean.
bool ArchiveEdit::remove_inside() {
    for (std::uint32_t i = 1; i < places_.size(); ++i) {
        if (directory_[i] || removed_[i] || !places_[i].written) continue;
        NestedOpen opened = open_inside(i);
        if (!opened.archive) continue;  // none that -r names: nothing inside has a path
        const std::string file = full(unpacked_path(places_, i));
        const std::string folder = file + ".d";
        if (match_any(run_.selection.include, folder, places_[i].name + ".d"))
            return run_.refuse(PathRefusal::archive_folder, {folder, file});
        Work work;
        if (!inside(i, std::move(opened), work)) return false;
    }
    return true;
}

bool ArchiveEdit::rename(const std::string& from, const std::string& to) {
    const std::uint32_t node = find(from);
    if (!node) return run_.refuse(PathRefusal::no_such_entry, {full(from)});
    if (find(to) || added_folders_.count(to)) return run_.refuse(PathRefusal::exists, {full(to)});
    if (directory_[node] && to.compare(0, from.size() + 1, from + "/") == 0)
        return run_.refuse(PathRefusal::into_itself, {full(to)});
    const std::string destination = folder_of(to);
    EditFolder folder{false, 0};
    if (!destination.empty()) {
        const std::uint32_t d = find(destination);
        if (!d || !directory_[d]) return run_.refuse(PathRefusal::no_such_folder, {full(destination)});
        folder.index = d;
    }
    EditNode& n = edit.nodes[node];
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

// Opens the archive file `node` holds, as -r names it: none when it holds
// none; false, the refusal set, when -r refuses to open it.
bool ArchiveEdit::open_nested(std::uint32_t node, NestedOpen* opened) {
    *opened = open_inside(node);
    if (opened->refusal == NestRefusal::none) return true;
    run_.out.refusal.nest = opened->refusal;
    run_.out.refusal.nest_status = opened->status;
    return run_.refuse(PathRefusal::nested_refused, {full(unpacked_path(places_, node)), opened->same_as});
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
    const std::string path = full(unpacked_path(places_, node));
    if (opened.status.notices) run_.out.notices.push_back(NestedNotice{path, opened.status.notices});
    const Archive& inner = *opened.archive;
    run_.opener->enter(e, inner);
    std::vector<PathChange>& told = run_.out.changes;
    const std::size_t before = told.size();
    Bytes bytes;
    NestedRebuild result = NestedRebuild::unchanged;
    bool ok = false;
    {
        ArchiveEdit child(run_, inner, path + ".d/");
        ok = apply_work(run_, child, work);
        if (ok && child.touched()) {
            Plan plan;
            const EditOutcome laid = layout_edit(inner, child.edit, {}, plan);
            if (laid.result.error != LayoutError::none) {
                run_.out.refusal.layout = laid.result.error;
                ok = run_.refuse(PathRefusal::layout, {path + ".d"});
            } else {
                ok = child.changes(plan, laid, told);
                if (ok)
                    result = rebuild_nested(inner, plan,
                                            [this](const Piece& piece, const ByteSink& sink) {
                                                return run_.send(piece, sink);
                                            },
                                            run_.request.yaz0, bytes);
            }
        }
    }
    run_.opener->leave();
    opened.archive.reset();
    if (!ok) return false;
    switch (result) {
        case NestedRebuild::unchanged:
            told.resize(before);  // the same archive, byte for byte: nothing changed
            return true;
        case NestedRebuild::rebuilt: break;
        case NestedRebuild::too_large: return run_.refuse(PathRefusal::nested_too_large, {path});
        case NestedRebuild::source_failed: return run_.refuse(PathRefusal::nested_unreadable, {path});
        case NestedRebuild::carrier_full: return run_.refuse(PathRefusal::nested_carrier_full, {path});
    }
    if (const std::uint32_t other = sharing(node))
        return run_.refuse(PathRefusal::nested_shared, {path, full(unpacked_path(places_, other))});
    EditNode& n = edit.nodes[node];
    if (n.replace) return run_.refuse(PathRefusal::file_and_archive, {path});
    n.replace = true;
    n.size = bytes.size();
    n.key = run_.out.put_keys.size() + run_.out.rebuilt.size();
    run_.out.rebuilt.push_back(std::move(bytes));
    nested_[node] = true;
    touched_ = true;
    return true;
}

// What the edit changed, read off the new table: every entry's path before
// and after (so that a root folder that unpacks under another name now,
// next to a new one, is told as well).
bool ArchiveEdit::changes(const Plan& plan, const EditOutcome& laid, std::vector<PathChange>& out) {
    ArchivePtr result = archive_open_borrowed(plan.head.data(), plan.head.size());
    if (!result) return run_.refuse(PathRefusal::unreadable_table, {});
    const std::vector<UnpackedPlace> now = unpacked_places(*result, run_.request.rule);
    if (renamed_ && unpacked_path(now, laid.node_index[renamed_]) != renamed_to_)
        return run_.refuse(PathRefusal::unpacks_elsewhere,
                           {full(renamed_to_), full(unpacked_path(now, laid.node_index[renamed_]))});
    // A put adds where it was asked to, and moves nothing else: a new
    // folder beside the root's only folder would make that one unpack under
    // its stored name rather than arc/, and a lone new root folder unpacks
    // as arc/.
    const bool update = !added_paths_.empty();
    for (std::uint32_t a = 0; a < laid.added_index.size(); ++a)
        if (update && unpacked_path(now, laid.added_index[a]) != added_paths_[a])
            return run_.refuse(PathRefusal::unpacks_elsewhere,
                               {full(added_paths_[a]), full(unpacked_path(now, laid.added_index[a]))});
    // An entry lands where it did when its name and folder are the same and
    // so is its folder's place.
    std::vector<bool> same(places_.size(), false);
    same[0] = true;
    for (std::uint32_t i = 1; i < places_.size(); ++i) {
        const std::uint32_t k = laid.node_index[i];
        if (k == 0) {
            out.push_back(PathChange{'D', full(unpacked_path(places_, i)), {}});
            continue;
        }
        const std::uint32_t folder = places_[i].folder;
        same[i] = now[k].name == places_[i].name && now[k].folder == laid.node_index[folder] && same[folder];
        if (!same[i]) {
            const std::string from = unpacked_path(places_, i);
            const std::string to = unpacked_path(now, k);
            if (update)
                return run_.refuse(PathRefusal::moves_other, {full(added_paths_.front()), full(from), full(to)});
            out.push_back(PathChange{'R', full(to), full(from)});
        }
        if (edit.nodes[i].replace && !nested_[i]) out.push_back(PathChange{'M', full(unpacked_path(now, k)), {}});
    }
    for (std::uint32_t k : laid.added_index)
        if (k != 0) out.push_back(PathChange{'A', full(unpacked_path(now, k)), {}});
    return true;
}

// With recursive, the puts that lead into archives inside this one, by
// the file holding each, in the order first named.
struct Inner {
    std::uint32_t node = 0;
    Work work;                  // their paths inside
    std::vector<Put> as_given;  // their paths here, for a file that holds none
};

bool apply_work(Run& run, ArchiveEdit& edit, Work& work) {
    switch (run.request.kind) {
        case PathEditRequest::Kind::put: {
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
                it->work.puts.push_back(Put{std::move(r.rest), p.folder, p.index});
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
        case PathEditRequest::Kind::remove:
            edit.remove();
            return !run.opener || edit.remove_inside();
        case PathEditRequest::Kind::rename: {
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
                return run.refuse(PathRefusal::across_archives, {edit.full(work.to), edit.full(work.from)});
            return edit.rename(work.from, work.to);
        }
    }
    return false;
}

}  // namespace

bool plain_entry_path(std::string_view text, const NameRule& rule, std::string& path) {
    std::string_view p = text;
    while (p.size() >= 2 && p[0] == '.' && p[1] == '/') p.remove_prefix(2);
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty() || p[0] == '/' || p.find('\0') != std::string_view::npos) return false;
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

bool edit_by_paths(const Archive& archive, const PathEditRequest& request, const DataSource& data, PathEdit& out) {
    out = PathEdit();
    for (const PathPut& p : request.puts) out.put_keys.push_back(p.key);
    Run run{request, data, out, nullptr, {}};
    Work work;
    switch (request.kind) {
        case PathEditRequest::Kind::put:
            for (std::size_t i = 0; i < request.puts.size(); ++i) {
                Put p{{}, request.puts[i].folder, i};
                if (!plain_entry_path(request.puts[i].path, request.rule, p.path))
                    return run.refuse(PathRefusal::not_an_entry_path, {request.puts[i].path}, i);
                work.puts.push_back(std::move(p));
            }
            break;
        case PathEditRequest::Kind::remove: run.selection = make_selection(request.globs, {}); break;
        case PathEditRequest::Kind::rename:
            if (!plain_entry_path(request.from, request.rule, work.from))
                return run.refuse(PathRefusal::no_such_entry, {request.from});
            if (!plain_entry_path(request.to, request.rule, work.to))
                return run.refuse(PathRefusal::not_an_entry_path, {request.to});
            break;
    }
    if (request.recursive) run.opener = std::make_unique<NestedOpener>(archive, request.rule);
    {
        ArchiveEdit edit(run, archive, "");
        if (!apply_work(run, edit, work)) return false;
        std::vector<std::string> unmatched;
        for (const Pattern& p : run.selection.include)
            if (!p.matched) unmatched.push_back(p.text);
        if (!unmatched.empty()) return run.refuse(PathRefusal::unmatched, std::move(unmatched));
        const EditOutcome laid = layout_edit(archive, edit.edit, {}, out.plan);
        if (laid.result.error != LayoutError::none) {
            out.refusal.layout = laid.result.error;
            return run.refuse(PathRefusal::layout, {std::string()});
        }
        if (!edit.changes(out.plan, laid, out.changes)) return false;
    }
    std::stable_sort(out.changes.begin(), out.changes.end(),
                     [](const PathChange& x, const PathChange& y) { return x.path < y.path; });
    return true;
}

DataSource path_edit_source(const PathEdit& edit, const DataSource& data) {
    return [&edit, data](const Piece& piece, const ByteSink& sink) { return send_new_data(edit, data, piece, sink); };
}

}  // namespace dravik::u8
