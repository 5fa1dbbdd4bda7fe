// The program's edit (program/edit.cpp) and comparison (program/diff.cpp)
// over the public library: paths and patterns turned into a u8::Edit over
// the open archive, laid out by layout_edit so that every byte the edit
// does not touch stays, and written as packing writes. Entries are named by
// the paths unpacking gives them; on POSIX every safe name can be created,
// so no name rule is asked.
#include "edit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
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

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

[[noreturn]] void refuse(std::string line) { throw EditRefusal{{std::move(line)}}; }

[[noreturn]] void disk_failure(const std::string& message, int error_number, const std::string& filename) {
    throw DiskFailure{message, error_number, filename, {}};
}

const char* const kNotEntryPath =
    ": not an entry path (names may not be empty, '.' or '..', nor any this system cannot hold)";

// An entry path as given, made plain ("./a/b/" is "a/b"). False when it
// names nothing inside an archive: empty, absolute, with an empty, "." or
// ".." name in it, or holding a NUL byte (which would end a stored name).
bool plain_path(const std::string& text, std::string& path) {
    std::string_view p = text;
    while (p.size() >= 2 && p[0] == '.' && p[1] == '/') p.remove_prefix(2);
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty() || p[0] == '/' || p.find('\0') != std::string_view::npos) return false;
    for (std::size_t start = 0; start <= p.size();) {
        std::size_t end = p.find('/', start);
        if (end == std::string_view::npos) end = p.size();
        if (!name_is_safe(std::string(p.substr(start, end - start)).c_str())) return false;
        start = end + 1;
    }
    path = std::string(p);
    return true;
}

// The data an update brings: bytes given (read where they are), files of
// scanned folders, and files named by the caller. Their keys in the edit
// are indices into `files`.
class Sources {
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
    std::string problem;
    int problem_errno = 0;
    bool stopped = false;

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
        std::uint64_t size = 0;
        Identity id;
        Fd file = disk::open_file_in(f.dir, f.name.c_str(), &size, &id);
        if (!file.valid()) {
            const int e = errno;
            return fail(f.shown + ": cannot be read: " + std::strerror(e), e);
        }
        if (size != f.size || !(id == f.identity)) return fail(f.shown + ": changed while being read", EAGAIN);
        chunk_.resize(kChunk);
        for (std::uint64_t done = 0; done < size;) {
            if (interrupted_()) return stopped = true, false;
            const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
            if (!disk::read_at(file.get(), done, chunk_.data(), n)) {
                const int e = errno;
                return e == 0 ? fail(f.shown + ": changed while being read", EAGAIN)
                              : fail(f.shown + ": cannot be read: " + std::strerror(e), e);
            }
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
        });
        return read_all && same && at == entry.data_size;
    }

private:
    bool fail(const std::string& why, int e) {
        problem = why;
        problem_errno = e;
        return false;
    }
    const std::function<bool()>& interrupted_;
    std::vector<std::uint8_t> chunk_;
};

// One edit of one archive: its entries by path, the edit being built, and
// what it changes. Every refusal throws.
class ArchiveEdit {
public:
    ArchiveEdit(const Archive& archive, const std::string& shown, Sources& sources)
        : archive_(archive), shown_(shown), sources_(sources), places_(unpacked_places(archive)) {
        edit.nodes.resize(places_.size());
        directory_.resize(places_.size());
        Entry e;
        for (std::uint32_t i = 1; i < places_.size(); ++i)
            directory_[i] = archive_entry(archive, i, &e) && e.is_directory;
        // A path names the entry unpacking writes there, else the first one placed there.
        for (int pass = 0; pass < 2; ++pass)
            for (std::uint32_t i = 1; i < places_.size(); ++i)
                if (places_[i].written == (pass == 0)) in_folder_.emplace(Spot(places_[i].folder, places_[i].name), i);
    }

    u8::Edit edit;

    void update(const UpdateItem& item, const Identity& output_a, const Identity& output_b);
    void remove(const std::vector<std::string>& globs);
    void rename(const std::string& old_text, const std::string& new_text);
    std::vector<Change> changes(const u8::Plan& plan, const u8::EditOutcome& laid);

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
    u8::EditFolder folder_at(const std::string& path);
    void put_file(const std::string& path, std::uint64_t file, const char* given_as);
    void put_tree(const std::string& path, std::uint64_t scan);

    const Archive& archive_;
    const std::string& shown_;
    Sources& sources_;
    std::vector<UnpackedPlace> places_;
    std::vector<bool> directory_;
    using Spot = std::pair<std::uint32_t, std::string_view>;  // a folder and a name in it
    std::map<Spot, std::uint32_t> in_folder_;
    std::map<std::string, u8::EditFolder> added_folders_;
    std::set<std::string> put_;             // paths an update has decided already
    std::vector<std::string> added_paths_;  // per added entry: where an update puts it
    std::uint32_t renamed_ = 0;             // the entry a rename moves, and where to
    std::string renamed_to_;
};

// The folder at `path` in the edited archive: one that is there, or one
// added with the folders leading to it.
u8::EditFolder ArchiveEdit::folder_at(const std::string& path) {
    if (path.empty()) return u8::EditFolder{false, 0};
    const auto added = added_folders_.find(path);
    if (added != added_folders_.end()) return added->second;
    if (const std::uint32_t node = find(path)) {
        if (!directory_[node]) refuse(path + ": is a file in " + shown_ + ", not a folder");
        return u8::EditFolder{false, node};
    }
    u8::EditAdded a;
    a.name = name_of(path);
    a.is_directory = true;
    a.folder = folder_at(folder_of(path));
    const u8::EditFolder folder{true, static_cast<std::uint32_t>(edit.added.size())};
    edit.added.push_back(std::move(a));
    added_paths_.push_back(path);
    added_folders_.emplace(path, folder);
    return folder;
}

// File `file` at `path`: it replaces the file there when its bytes differ,
// or is added.
void ArchiveEdit::put_file(const std::string& path, std::uint64_t file, const char* given_as) {
    if (!put_.insert(path).second) return;  // named twice: the first one counts
    const Sources::File& f = sources_.files[file];
    if (const std::uint32_t node = find(path)) {
        if (directory_[node]) refuse(path + ": is a folder in " + shown_ + " and " + given_as + "; not replaced");
        Entry e;
        archive_entry(archive_, node, &e);
        if (e.data_size == f.size && places_[node].written && sources_.same_as(file, archive_, e)) return;
        if (sources_.stopped) throw Interrupted();
        if (!sources_.problem.empty()) disk_failure(sources_.problem, sources_.problem_errno, "");
        u8::EditNode& n = edit.nodes[node];
        n.replace = true;
        n.size = f.size;
        n.key = file;
        return;
    }
    u8::EditAdded a;
    a.folder = folder_at(folder_of(path));
    a.name = name_of(path);
    a.size = f.size;
    a.key = file;
    edit.added.push_back(std::move(a));
    added_paths_.push_back(path);
}

// Scanned folder `scan` put at `path`: its folders made where missing, its
// files put one by one.
void ArchiveEdit::put_tree(const std::string& path, std::uint64_t scan_index) {
    const std::string clash = " and a folder on disk; not replaced";
    if (const std::uint32_t node = find(path); node && !directory_[node])
        refuse(path + ": is a file in " + shown_ + clash);
    folder_at(path);
    const Scan& scan = *sources_.scans[scan_index];
    for (std::uint64_t k = 0; k < scan.tree.size(); ++k) {
        const std::string at = join(path, join(scan.folders[scan.folder_of[k]].path, scan.tree[k].name));
        if (scan.tree[k].is_directory) {
            if (const std::uint32_t node = find(at); node && !directory_[node])
                refuse(at + ": is a file in " + shown_ + clash);
            folder_at(at);
            continue;
        }
        Sources::File f;
        f.reader = sources_.readers[scan_index].get();
        f.key = k;
        f.size = scan.tree[k].size;
        sources_.files.push_back(std::move(f));
        put_file(at, sources_.files.size() - 1, "a file on disk");
    }
}

void ArchiveEdit::update(const UpdateItem& item, const Identity& output_a, const Identity& output_b) {
    std::string path;
    if (!plain_path(item.path, path)) refuse(item.path + kNotEntryPath);
    if (!item.on_disk) {
        Sources::File f;
        f.data = item.data;
        f.size = item.size;
        f.shown = path;
        sources_.files.push_back(std::move(f));
        put_file(path, sources_.files.size() - 1, "given as bytes");
        return;
    }
    // The caller's own path is followed up to its last name, which is taken
    // as it is: a symbolic link there is refused, as the program refuses it.
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
        sources_.readers.push_back(std::make_unique<ScanReader>(*scan, top.get(), shown, sources_.interrupted()));
        sources_.scans.push_back(std::move(scan));
        sources_.folders.push_back(std::move(top));
        put_tree(path, sources_.scans.size() - 1);
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
    sources_.folders.push_back(std::move(holder));
    sources_.files.push_back(std::move(f));
    put_file(path, sources_.files.size() - 1, "a file on disk");
}

void ArchiveEdit::remove(const std::vector<std::string>& globs) {
    Selection selection = make_selection(globs, {});
    std::vector<bool> removed(places_.size(), false);
    // The paths as the walk makes them, one name at a time.
    Placement placement(archive_);
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
    EditRefusal unmatched;
    for (const Pattern& p : selection.include)
        if (!p.matched) unmatched.lines.push_back("no entry matches '" + p.text + "'");
    if (!unmatched.lines.empty()) throw unmatched;
}

void ArchiveEdit::rename(const std::string& old_text, const std::string& new_text) {
    std::string from, to;
    if (!plain_path(old_text, from) || !find(from)) refuse(old_text + ": no such entry in " + shown_);
    if (!plain_path(new_text, to)) refuse(new_text + kNotEntryPath);
    const std::uint32_t node = find(from);
    if (find(to) || added_folders_.count(to)) refuse(to + ": exists in " + shown_);
    if (directory_[node] && to.compare(0, from.size() + 1, from + "/") == 0)
        refuse(to + ": a folder cannot move into itself");
    const std::string destination = folder_of(to);
    u8::EditFolder folder{false, 0};
    if (!destination.empty()) {
        const std::uint32_t d = find(destination);
        if (!d || !directory_[d]) refuse(destination + ": no such folder in " + shown_);
        folder.index = d;
    }
    u8::EditNode& n = edit.nodes[node];
    if (destination != folder_of(from)) {
        n.move = true;
        n.folder = folder;
    }
    const std::string name = name_of(to);
    Entry e;
    archive_entry(archive_, node, &e);
    if (name != e.name) {
        n.rename = true;
        n.name = name;
    }
    renamed_ = node;
    renamed_to_ = to;
}

// What the edit changed, read off the new table: every entry's path before
// and after (so that a root folder that unpacks under another name now,
// next to a new one, is told as well).
std::vector<Change> ArchiveEdit::changes(const u8::Plan& plan, const u8::EditOutcome& laid) {
    ArchivePtr result = archive_open_borrowed(plan.head.data(), plan.head.size());
    if (!result) throw ArchiveFailure{shown_ + ": the new table does not read back"};
    const std::vector<UnpackedPlace> now = unpacked_places(*result);
    if (renamed_ && unpacked_path(now, laid.node_index[renamed_]) != renamed_to_)
        refuse(renamed_to_ + ": would unpack as " + unpacked_path(now, laid.node_index[renamed_]) +
               " (a root folder alone unpacks as arc); not renamed");
    // An update adds where it was asked to, and moves nothing else: a new
    // folder beside the root's only folder would make that one unpack under
    // its stored name rather than arc/, and a lone new root folder unpacks
    // as arc/.
    const bool update = !added_paths_.empty();
    for (std::uint32_t a = 0; a < laid.added_index.size(); ++a)
        if (update && unpacked_path(now, laid.added_index[a]) != added_paths_[a])
            refuse(added_paths_[a] + ": would unpack as " + unpacked_path(now, laid.added_index[a]) +
                   " (a root folder alone unpacks as arc)");
    // An entry lands where it did when its name and folder are the same and
    // so is its folder's place.
    std::vector<Change> out;
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
                refuse(added_paths_.front() + ": adding it would make " + from + " unpack as " + to +
                       " (root folders side by side keep their names)");
            out.push_back(Change{'R', to, from});
        }
        if (edit.nodes[i].replace) out.push_back(Change{'M', unpacked_path(now, k), {}});
    }
    for (std::uint32_t k : laid.added_index)
        if (k != 0) out.push_back(Change{'A', unpacked_path(now, k), {}});
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
        throw ArchiveFailure{path + ": " + open_error_reason(status)};
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
    ArchiveEdit edit(*archive, path, sources);
    switch (request.kind) {
        case EditKind::update:
            for (const UpdateItem& item : request.items) edit.update(item, output_a, output_b);
            break;
        case EditKind::remove: edit.remove(request.patterns); break;
        case EditKind::rename: edit.rename(request.from, request.to); break;
    }

    u8::Plan plan;
    const u8::EditOutcome laid = u8::layout_edit(*archive, edit.edit, {}, plan);
    if (laid.result.error == u8::LayoutError::bad_tree) refuse(path + ": a folder cannot move into itself");
    if (laid.result.error != u8::LayoutError::none)
        throw ArchiveFailure{path + ": " + layout_limit_reason(laid.result.error)};
    outcome.changes = edit.changes(plan, laid);

    if (!request.dry_run) {
        // Also where a long compression hears of Ctrl-C: the encoder stops
        // when its sink refuses.
        const ByteSink to_file = [&output, &sources, &interrupted](const std::uint8_t* p, std::size_t n) {
            if (interrupted()) return sources.stopped = true, false;
            return output->write(p, n);
        };
        const u8::DataSource source = [&sources](const u8::Piece& piece, const ByteSink& sink) {
            return sources.read(piece.key, sink);
        };
        const Wrapped wrapped =
            write_wrapped(plan, archive_carriers(*archive), request.yaz0, to_file, source, archive.get());
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
    std::stable_sort(outcome.changes.begin(), outcome.changes.end(),
                     [](const Change& x, const Change& y) { return x.path < y.path; });
    return outcome;
}

// ------------------------------------------------------------------ diff

namespace {

enum class Same { yes, no, unreadable };

// What unpacking one archive writes, folder by folder: each folder's
// entries sorted by name, so that two archives are compared in one walk
// down both trees, linear in the entries at any depth.
struct Side {
    const Archive& archive;
    std::vector<UnpackedPlace> places;
    std::vector<std::uint32_t> sorted;        // written entries, by folder then name
    std::vector<std::uint32_t> first, count;  // per folder: its range in `sorted`

    explicit Side(const Archive& a) : archive(a), places(unpacked_places(a)) {
        for (std::uint32_t i = 1; i < places.size(); ++i)
            if (places[i].written) sorted.push_back(i);
        std::sort(sorted.begin(), sorted.end(), [this](std::uint32_t x, std::uint32_t y) {
            return places[x].folder != places[y].folder ? places[x].folder < places[y].folder
                                                        : places[x].name < places[y].name;
        });
        first.assign(places.size(), 0);
        count.assign(places.size(), 0);
        for (std::size_t k = sorted.size(); k-- > 0;) {
            first[places[sorted[k]].folder] = static_cast<std::uint32_t>(k);
            ++count[places[sorted[k]].folder];
        }
    }
    bool directory(std::uint32_t i) const {
        Entry e;
        return archive_entry(archive, i, &e) && e.is_directory;
    }
};

struct Buffers {
    std::vector<std::uint8_t> a = std::vector<std::uint8_t>(kChunk), b = std::vector<std::uint8_t>(kChunk);
};

// Whether `read_a` and `read_b` give the same `size` bytes.
template <typename ReadA, typename ReadB>
Same same_stream(std::uint64_t size, Buffers& buffers, const ReadA& read_a, const ReadB& read_b) {
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n = size - at < kChunk ? static_cast<std::size_t>(size - at) : kChunk;
        if (!read_a(at, buffers.a.data(), n) || !read_b(at, buffers.b.data(), n)) return Same::unreadable;
        if (std::memcmp(buffers.a.data(), buffers.b.data(), n) != 0) return Same::no;
        at += n;
    }
    return Same::yes;
}

}  // namespace

DiffOutcome diff_archives(const Archive& a, const Archive& b) {
    const Side x(a), y(b);
    Buffers buffers;
    DiffOutcome outcome;
    std::string path;
    const auto tell = [&](char kind) { outcome.changes.push_back(Change{kind, path, {}}); };
    // The walk: a folder of A and the folder of B at the same path (0 for
    // none: the other side has no folder there), and how far through each.
    struct Frame {
        std::uint32_t fa, fb;
        bool in_a, in_b;
        std::uint32_t ia = 0, ib = 0;
        std::size_t length;  // of `path` in this folder
    };
    std::vector<Frame> stack{Frame{0, 0, true, true, 0, 0, 0}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        const std::uint32_t na = f.in_a ? x.count[f.fa] : 0, nb = f.in_b ? y.count[f.fb] : 0;
        if (f.ia == na && f.ib == nb) {
            stack.pop_back();
            continue;
        }
        const std::uint32_t ea = f.ia < na ? x.sorted[x.first[f.fa] + f.ia] : 0;
        const std::uint32_t eb = f.ib < nb ? y.sorted[y.first[f.fb] + f.ib] : 0;
        const int order = !ea ? 1 : !eb ? -1 : x.places[ea].name.compare(y.places[eb].name);
        const std::string& name = order <= 0 ? x.places[ea].name : y.places[eb].name;
        path.resize(f.length);
        path += (f.length ? "/" : "") + name;
        Frame inner{ea, eb, order <= 0 && x.directory(ea), order >= 0 && y.directory(eb), 0, 0, path.size()};
        if (order < 0) {
            ++f.ia, tell('D');
        } else if (order > 0) {
            ++f.ib, tell('A');
        } else {
            ++f.ia, ++f.ib;
            if (inner.in_a != inner.in_b) {
                tell('M');
            } else if (!inner.in_a) {
                Entry e, g;
                archive_entry(a, ea, &e);
                archive_entry(b, eb, &g);
                const Same same = e.data_size != g.data_size ? Same::no
                    : same_stream(e.data_size, buffers,
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(a, e, at, p, n); },
                                  [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read(b, g, at, p, n); });
                if (same == Same::unreadable) throw ArchiveFailure{path + ": cannot be read from both archives"};
                if (same == Same::no) tell('M');
            }
        }
        // A folder on one side only: everything in it is told too.
        if (inner.in_a || inner.in_b) stack.push_back(inner);
    }

    // The U8 archives themselves, after their carriers: the same bytes, or
    // only the same contents (another order, alignment or padding).
    if (outcome.changes.empty() && archive_size(a) == archive_size(b)) {
        const Same same = same_stream(
            archive_size(a), buffers,
            [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(a, at, p, n); },
            [&](std::uint64_t at, std::uint8_t* p, std::size_t n) { return archive_read_bytes(b, at, p, n); });
        if (same == Same::unreadable) throw ArchiveFailure{"the archives cannot be read"};
        outcome.identical = same == Same::yes;
    }
    return outcome;
}

}  // namespace dravik::py
