#include "program/pack.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <map>
#include <unordered_map>
#include <memory>

#include "dravik/archive.h"
#include "dravik/carrier.h"
#include "dravik/codec.h"
#include "dravik/writer.h"
#include "program/cli.h"
#include "program/disk/copy.h"
#include "program/disk/tree.h"
#include "program/extract.h"
#include "program/folder_path.h"
#include "program/messages.h"
#include "program/output_file.h"
#include "program/walk.h"

namespace dravik {

namespace {

constexpr std::size_t kChunk = 256 * 1024;
// As when unpacking: enough held folders that climbing out of any depth
// costs a few opens per level.
constexpr std::size_t kMaxHeldFolders = 1024;
constexpr std::uint64_t kSmallFile = 64 * 1024;

std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// The folder tree to pack, as scanned.
struct Folder {
    std::uint32_t parent = 0;  // folder index; folder 0 is DIR itself
    std::uint32_t depth = 0;   // folders between it and DIR, itself included
    std::string name;
    std::uint32_t entry = u8::kTopLevel;  // its tree entry
};

struct Scan {
    std::vector<u8::TreeEntry> tree;
    std::vector<std::uint32_t> folder_of;  // per tree entry: the folder holding it
    std::vector<FileIdentity> identity;    // per tree entry
    std::vector<Folder> folders;
    std::vector<std::string> problems;     // one diagnostic each
};

// Folder `k`'s path relative to DIR, for diagnostics (which are rare, so
// paths are not kept for every folder: a deep chain would hold
// quadratically many bytes).
std::string folder_path(const Scan& s, std::uint32_t k) {
    std::vector<const std::string*> names;
    for (; k != 0; k = s.folders[k].parent) names.push_back(&s.folders[k].name);
    std::string path;
    for (std::size_t i = names.size(); i-- > 0;) path += (path.empty() ? "" : "/") + *names[i];
    return path;
}

// Reaches the scanned folders in whatever order the writer asks for them,
// never through a symbolic link, moving along the tree from the last folder
// reached: files served in the default layout's depth-first order cost
// O(1) opens each, amortised, at any depth.
struct FolderCursor {
    const Scan* scan = nullptr;
    FolderPath path;
    std::uint32_t at = 0;  // the folder `path` ends in

    void start(const Scan& s, int top) {
        scan = &s;
        path.reset(top, kMaxHeldFolders);
        at = 0;
    }

    int get(std::uint32_t target) {
        const std::vector<Folder>& f = scan->folders;
        // Up to the nearest folder enclosing both, then down to the target.
        std::vector<std::uint32_t> down;
        std::uint32_t t = target;
        while (f[at].depth > f[t].depth) at = (path.pop(), f[at].parent);
        while (f[t].depth > f[at].depth) down.push_back(t), t = f[t].parent;
        while (at != t) {
            at = (path.pop(), f[at].parent);
            down.push_back(t), t = f[t].parent;
        }
        for (std::size_t i = down.size(); i-- > 0;) {
            const int dir = path.current();
            FileDescriptor next = dir < 0 ? FileDescriptor() : disk::open_directory(dir, f[down[i]].name.c_str());
            if (!next.valid()) return -1;
            path.push(f[down[i]].name, std::move(next));
            at = down[i];
        }
        return path.current();
    }
};

const char* kind_reason(disk::NodeKind kind) {
    switch (kind) {
        case disk::NodeKind::symlink: return "is a symbolic link, not followed; not packed";
        case disk::NodeKind::fifo: return "is a FIFO, not packed";
        case disk::NodeKind::socket: return "is a socket, not packed";
        case disk::NodeKind::device: return "is a device, not packed";
        default: return "is not a regular file or folder, not packed";
    }
}

// Scans DIR depth first, holding open only the folders on the way down (at
// most a bounded number of them), so that any depth and width costs time
// in proportion to the entries. Entries that are the output (or its
// temporary file) are left out, so an archive written inside DIR never
// holds itself.
void scan_tree(int top, const std::string& shown_dir, const OutputFile& output,
               Selection& selection, Scan& s) {
    s.folders.push_back(Folder{});
    struct Frame {
        std::uint32_t folder;
        std::vector<disk::FolderEntry> entries;
        std::size_t next = 0;
        std::size_t path_length;  // of `path` before this folder's name
    };
    std::vector<Frame> frames;
    FolderPath open;
    open.reset(top, kMaxHeldFolders);
    std::string path;  // the current folder's path relative to DIR
    const auto enter = [&](std::uint32_t k, std::size_t path_length) {
        frames.push_back(Frame{k, {}, 0, path_length});
        const int dir = open.current();
        if (dir < 0 || !disk::list_folder(dir, frames.back().entries))
            s.problems.push_back(escaped_path(join(shown_dir, path)) + ": cannot read folder: " +
                                 std::strerror(errno));
    };
    enter(0, 0);
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next == frame.entries.size()) {
            path.resize(frame.path_length);
            frames.pop_back();
            if (!frames.empty()) open.pop();
            continue;
        }
        disk::FolderEntry& e = frame.entries[frame.next++];
        const std::uint32_t k = frame.folder;
        if (same_identity(e.identity, output.existing) || same_identity(e.identity, output.written))
            continue;
        const std::size_t length = path.size();
        path += (length == 0 ? "" : "/") + e.name;
        const bool excluded = match_any(selection.exclude, path, e.name);  // a folder: all of it
        if (!excluded && e.kind != disk::NodeKind::regular && e.kind != disk::NodeKind::directory) {
            s.problems.push_back(escaped_path(join(shown_dir, path)) + ": " + kind_reason(e.kind));
        } else if (!excluded && e.kind == disk::NodeKind::regular && !e.readable) {
            s.problems.push_back(escaped_path(join(shown_dir, path)) + ": cannot be read: " +
                                 std::strerror(EACCES));
        } else if (!excluded) {
            u8::TreeEntry t;
            t.name = e.name;
            t.is_directory = e.kind == disk::NodeKind::directory;
            t.parent = s.folders[k].entry;
            t.size = t.is_directory ? 0 : e.size;
            t.key = s.tree.size();
            s.tree.push_back(std::move(t));
            s.folder_of.push_back(k);
            s.identity.push_back(e.identity);
            if (e.kind == disk::NodeKind::directory) {
                const auto sub = static_cast<std::uint32_t>(s.folders.size());
                s.folders.push_back(Folder{k, s.folders[k].depth + 1, e.name,
                                           static_cast<std::uint32_t>(s.tree.size() - 1)});
                const int dir = open.current();
                FileDescriptor opened = dir < 0 ? FileDescriptor() : disk::open_directory(dir, e.name.c_str());
                if (!opened.valid()) {
                    s.problems.push_back(escaped_path(join(shown_dir, path)) + ": cannot read folder: " +
                                         std::strerror(errno));
                } else {
                    open.push(e.name, std::move(opened));
                    enter(sub, length);  // `frame` is not used past this point
                    continue;
                }
            }
        }
        path.resize(length);
    }
}

// Tree entry `key` as diagnostics show it: DIR/its path, escaped.
std::string shown_entry(const Scan& s, const std::string& shown_dir, std::uint64_t key) {
    return escaped_path(join(shown_dir, join(folder_path(s, s.folder_of[key]), s.tree[key].name)));
}

// Serves file data and ORIGINAL's bytes to the writer.
struct DataServer {
    const Scan* scan = nullptr;
    FolderCursor folders;
    const Archive* original = nullptr;
    OutputFile* direct = nullptr;  // when set, file data is copied straight into it
    // Files whose data is a nested archive rebuilt from its NAME.d folder
    // (-r): served from memory instead of the file on disk.
    std::unordered_map<std::uint64_t, Bytes> rebuilt;
    disk::Copier copier;
    std::vector<std::uint8_t> chunk;
    std::string shown_dir;
    std::string problem;  // set when serving failed

    std::string shown(std::uint64_t key) const { return shown_entry(*scan, shown_dir, key); }

    FileDescriptor open_entry(std::uint64_t key) {
        const u8::TreeEntry& e = scan->tree[key];
        const int dir = folders.get(scan->folder_of[key]);
        std::uint64_t size = 0;
        FileIdentity id;
        FileDescriptor f = dir < 0 ? FileDescriptor() : disk::open_file_in(dir, e.name.c_str(), &size, &id);
        if (!f.valid()) {
            problem = shown(key) + ": cannot be read: " + std::strerror(errno);
            return f;
        }
        if (size != e.size || !same_identity(id, scan->identity[key])) {
            problem = shown(key) + ": changed while being packed";
            return FileDescriptor();
        }
        return f;
    }

    bool read_file(std::uint64_t key, const ByteSink& sink,
                   const std::function<bool(const std::uint8_t*, std::size_t)>& each) {
        const auto held = rebuilt.find(key);
        if (held != rebuilt.end()) {
            const Bytes& bytes = held->second;
            for (std::size_t done = 0; done < bytes.size();) {
                const std::size_t n = std::min(kChunk, bytes.size() - done);
                if (!(each ? each(bytes.data() + done, n) : sink(bytes.data() + done, n))) return false;
                done += n;
            }
            return true;
        }
        FileDescriptor f = open_entry(key);
        if (!f.valid()) return false;
        const std::uint64_t size = scan->tree[key].size;
        // Small files are read into the output's buffer: fewer calls than
        // flushing it and asking the kernel to copy.
        if (direct && size > kSmallFile) {
            bool ended = false;
            copier.window_size = 0;  // the window holds another file's bytes
            if (!output_flush(*direct) ||
                !disk::copy_file_data(copier, f.fd, 0, direct->fd.fd, size, &ended)) {
                problem = ended ? shown(key) + ": changed while being packed"
                                : escaped_path(direct->name) + ": cannot write: " + std::strerror(errno);
                return false;
            }
            return true;
        }
        chunk.resize(kChunk);
        for (std::uint64_t done = 0; done < size;) {
            const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
            if (!file_read_at(f.fd, done, chunk.data(), n)) {
                problem = shown(key) + ": cannot be read: " + std::strerror(errno ? errno : EIO);
                return false;
            }
            if (!(each ? each(chunk.data(), n) : sink(chunk.data(), n))) return false;
            done += n;
        }
        return true;
    }

    // Whether file `key` holds exactly node `node`'s data in ORIGINAL.
    bool same_as_original(std::uint32_t node, std::uint64_t key) {
        Entry e;
        if (!archive_entry(*original, node, &e) || e.data_size != scan->tree[key].size) return false;
        std::vector<std::uint8_t> theirs(kChunk);
        std::uint64_t at = 0;
        bool same = true;
        const bool read = read_file(key, nullptr, [&](const std::uint8_t* p, std::size_t n) {
            if (!archive_read(*original, e, at, theirs.data(), n) ||
                std::memcmp(p, theirs.data(), n) != 0)
                same = false;
            at += n;
            return same;
        });
        return read && same;
    }
};

std::string layout_problem(const u8::LayoutResult& r, const Scan& s, const std::string& shown_dir,
                           const std::string& archive) {
    const std::string who = r.entry < s.tree.size() ? shown_entry(s, shown_dir, r.entry) : escaped_path(archive);
    switch (r.error) {
        case u8::LayoutError::bad_tree: return who + ": the folder changed while being read";
        case u8::LayoutError::unusual_original:
            return who + ": the archive to lay out like has its table inside its header";
        default: return who + ": " + u8::layout_error_text(r.error);
    }
}

bool ends_with_szs(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return tail == ".szs";
}

// Lists the archive as written: its table, read back from the plan.
int list_written(const u8::Plan& plan, const std::string& archive,
                 const std::vector<Carrier>& carriers, const Options& options, Console& out) {
    if (options.quiet) return 0;
    OpenStatus status;
    ArchivePtr written = archive_open_borrowed(plan.head.data(), plan.head.size(), &status);
    if (!written) return 1;
    for (const Carrier& carrier : carriers) status.carriers.push_back(carrier.kind);
    return list_archive(written, archive.c_str(), status, options.json, options.quiet, out, true);
}

// Where each tree entry lies, for the NAME.d folders of -r.
std::string tree_path(const Scan& s, std::uint32_t t) {
    return join(folder_path(s, s.folder_of[t]), s.tree[t].name);
}

// -r: every NAME.d folder beside a file NAME that holds an archive is
// rebuilt into that archive, deepest first, laid out like the file (which
// unpacking wrote as it was) and wrapped in its carriers; the result
// becomes NAME's data and the folder leaves the tree. A folder that holds
// exactly what the archive held gives the file's bytes back as they are.
// `removed` marks the entries the outer archive does not hold. False, with
// the reason reported, when packing must stop.
bool rebuild_nested(Scan& s, DataServer& server, const Options& options, const std::string& dir,
                    std::vector<std::uint8_t>& removed, Console& out) {
    const std::size_t n = s.tree.size();
    removed.assign(n, 0);
    std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> files;  // (parent, name) -> entry
    for (std::uint32_t t = 0; t < n; ++t)
        if (!s.tree[t].is_directory) files[{s.tree[t].parent, s.tree[t].name}] = t;

    // Scanned folders come after the folder holding them: from the last
    // back, inner folders are rebuilt before the ones that hold them.
    for (std::uint32_t d = static_cast<std::uint32_t>(n); d-- > 0;) {
        const u8::TreeEntry& folder = s.tree[d];
        if (!folder.is_directory || removed[d] || folder.name.size() < 3 ||
            folder.name.compare(folder.name.size() - 2, 2, ".d") != 0)
            continue;
        const auto file = files.find({folder.parent, folder.name.substr(0, folder.name.size() - 2)});
        if (file == files.end() || removed[file->second]) continue;
        const std::uint32_t f = file->second;
        if (s.tree[f].size > u8::kMaxNestedRebuild) {
            report_line(out, shown_entry(s, dir, d) + ": its archive is larger than " +
                                 std::to_string(u8::kMaxNestedRebuild >> 20) + " MiB; packed as a folder");
            continue;
        }
        Bytes bytes;
        bytes.reserve(static_cast<std::size_t>(s.tree[f].size));
        if (!server.read_file(f, nullptr, [&bytes](const std::uint8_t* p, std::size_t k) {
                bytes.insert(bytes.end(), p, p + k);
                return true;
            })) {
            report_line(out, server.problem);
            return false;
        }
        ArchivePtr like = archive_open_borrowed(bytes.data(), bytes.size());
        if (!like) continue;  // not an archive: NAME.d is an ordinary folder

        // The folder's contents, as a tree of their own.
        std::vector<u8::TreeEntry> sub;
        std::vector<std::uint32_t> index_in_sub(n, u8::kTopLevel);
        for (std::uint32_t t = d + 1; t < n; ++t) {
            const std::uint32_t p = s.tree[t].parent;
            const bool inside = p == d || (p != u8::kTopLevel && p > d && index_in_sub[p] != u8::kTopLevel);
            if (!inside || removed[t]) continue;
            index_in_sub[t] = static_cast<std::uint32_t>(sub.size());
            sub.push_back(s.tree[t]);
            sub.back().parent = p == d ? u8::kTopLevel : index_in_sub[p];
        }
        const Archive* outer_original = server.original;
        server.original = like.get();
        u8::Plan plan;
        const u8::LikeOutcome laid = u8::layout_like(
            *like, sub, platform_name_rule(),
            [&server](std::uint32_t node, std::uint64_t key) { return server.same_as_original(node, key); },
            plan);
        // Unchanged: the file's own bytes, carriers and all. Changed: the
        // new archive in the carriers the file had, sizes and sums anew.
        yaz0::EncodeOptions best = options.yaz0;
        best.level = yaz0::Level::best;
        Bytes rebuilt;
        const u8::NestedRebuild result =
            laid.result.error != u8::LayoutError::none
                ? u8::NestedRebuild::source_failed
                : u8::rebuild_nested(*like, plan,
                                     [&server](const u8::Piece& piece, const ByteSink& sink) {
                                         return server.read_file(piece.key, sink, nullptr);
                                     },
                                     best, rebuilt);
        server.original = outer_original;
        if (!server.problem.empty()) {
            report_line(out, server.problem);
            return false;
        }
        if (laid.result.error != u8::LayoutError::none) {
            report_line(out, shown_entry(s, dir, d) + ": cannot be laid out like " + shown_entry(s, dir, f));
            return false;
        }
        if (result == u8::NestedRebuild::carrier_full) {
            report_line(out, shown_entry(s, dir, f) + ": too large for the carrier it was in");
            return false;
        }
        if (result != u8::NestedRebuild::rebuilt && result != u8::NestedRebuild::unchanged) {
            report_line(out, shown_entry(s, dir, d) + ": its archive cannot be rebuilt");
            return false;
        }
        const std::string folder_path = tree_path(s, d);
        for (const std::string& gone : laid.dropped)
            report_line(out, escaped_path(join(dir, join(folder_path, gone))) +
                                 ": not in the folder; dropped from the archive");
        like.reset();  // it borrows `bytes`
        if (result == u8::NestedRebuild::rebuilt) bytes = std::move(rebuilt);
        s.tree[f].size = bytes.size();
        server.rebuilt[f] = std::move(bytes);
        removed[d] = 1;
        for (std::uint32_t t = d + 1; t < n; ++t)
            if (s.tree[t].parent != u8::kTopLevel && removed[s.tree[t].parent]) removed[t] = 1;
    }
    return true;
}

// The tree without the entries `removed` marks, parents renumbered.
std::vector<u8::TreeEntry> without(const std::vector<u8::TreeEntry>& tree,
                                   const std::vector<std::uint8_t>& removed) {
    std::vector<u8::TreeEntry> kept;
    std::vector<std::uint32_t> renumbered(tree.size(), u8::kTopLevel);
    for (std::uint32_t t = 0; t < tree.size(); ++t) {
        if (removed[t]) continue;
        renumbered[t] = static_cast<std::uint32_t>(kept.size());
        kept.push_back(tree[t]);
        if (kept.back().parent != u8::kTopLevel) kept.back().parent = renumbered[kept.back().parent];
    }
    return kept;
}

bool copy_whole_file(const std::string& path, OutputFile& output) {
    FileDescriptor in = file_open_read(path.c_str());
    std::uint64_t size = 0;
    if (!in.valid() || !file_stat(in.fd, &size, nullptr)) return false;
    std::vector<std::uint8_t> chunk(kChunk);
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = size - done < kChunk ? static_cast<std::size_t>(size - done) : kChunk;
        if (!file_read_at(in.fd, done, chunk.data(), n) || !output_write(output, chunk.data(), n))
            return false;
        done += n;
    }
    return true;
}

// Whether the plan writes exactly ORIGINAL's U8 archive, read back as it
// is written.
bool writes_original(const u8::Plan& plan, const u8::DataSource& source, const Archive& original) {
    if (plan.size != archive_size(original)) return false;
    std::uint64_t at = 0;
    std::vector<std::uint8_t> theirs;
    return u8::write_plan(plan,
                          [&](const std::uint8_t* p, std::size_t k) {
                              theirs.resize(k);
                              if (!archive_read_bytes(original, at, theirs.data(), k) ||
                                  std::memcmp(p, theirs.data(), k) != 0)
                                  return false;
                              at += k;
                              return true;
                          },
                          source, &original) &&
           at == plan.size;
}

}  // namespace

struct FolderTree::State {
    Scan scan;
    DataServer server;
};

FolderTree::FolderTree() : state_(std::make_unique<State>()) {}
FolderTree::~FolderTree() = default;

void FolderTree::scan(int top, const std::string& shown, const OutputFile& output, Selection& exclude) {
    State& s = *state_;
    scan_tree(top, shown, output, exclude, s.scan);
    s.server.scan = &s.scan;
    s.server.folders.start(s.scan, top);
    s.server.shown_dir = shown;
}

const std::vector<u8::TreeEntry>& FolderTree::entries() const { return state_->scan.tree; }
const std::vector<std::string>& FolderTree::problems() const { return state_->scan.problems; }

std::string FolderTree::path(std::uint64_t key) const {
    const Scan& s = state_->scan;
    return join(folder_path(s, s.folder_of[key]), s.tree[key].name);
}

std::string FolderTree::shown(std::uint64_t key) const { return state_->server.shown(key); }

bool FolderTree::read(std::uint64_t key, const ByteSink& sink, OutputFile* direct) {
    state_->server.direct = direct;
    return state_->server.read_file(key, sink, nullptr);
}

const std::string& FolderTree::problem() const { return state_->server.problem; }

bool writes_directly(const std::vector<Carrier>& carriers) { return carriers.empty(); }

WriteResult write_archive(const u8::Plan& plan, const std::vector<Carrier>& carriers,
                          const yaz0::EncodeOptions& yaz0_options, OutputFile& output,
                          const u8::DataSource& source, const Archive* original) {
    const ByteSink to_file = [&output](const std::uint8_t* p, std::size_t n) {
        return output_write(output, p, n);
    };
    bool ok = true;
    if (writes_directly(carriers)) {
        ok = u8::write_plan(plan, to_file, source, original);
    } else if (carriers.size() == 1 && carriers[0].kind == CarrierKind::yaz0) {
        // The archive's size is known from the layout: the encoder streams.
        yaz0::EncoderPtr encoder = yaz0::encoder_begin(static_cast<std::uint32_t>(plan.size), yaz0_options, to_file);
        if (!encoder) return WriteResult::no_memory_for_encoder;
        ok = u8::write_plan(plan,
                            [&encoder](const std::uint8_t* p, std::size_t n) {
                                return yaz0::encoder_feed(*encoder, p, n);
                            },
                            source, original) &&
             yaz0::encoder_finish(*encoder);
    } else {
        // Banners and their parts are small: wrapped whole in memory.
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(plan.size));
        ok = u8::write_plan(plan,
                            [&bytes](const std::uint8_t* p, std::size_t n) {
                                bytes.insert(bytes.end(), p, p + n);
                                return true;
                            },
                            source, original);
        if (ok && !carrier_wrap(carriers, yaz0_options, bytes)) return WriteResult::too_large_for_carrier;
        ok = ok && output_write(output, bytes.data(), bytes.size());
    }
    if (ok) return WriteResult::written;
    return output.error_number != 0 ? WriteResult::cannot_write : WriteResult::source_failed;
}

namespace {

// One -c run, in its steps: the inputs opened, the folder scanned, the
// archive laid out, then written. Each step reports its own failure and
// returns false.
class PackRun {
public:
    PackRun(const Options& options, Console& out)
        : options_(options), out_(out), archive_(options.operands[0]), dir_(options.operands[1]) {}

    int run() {
        if (!open_inputs() || !scan_folder() || !lay_out() || !write()) return 1;
        return list_written(plan_, archive_, carriers_, options_, out_);
    }

private:
    bool fail(const std::string& line) {
        report_line(out_, line);
        return false;
    }
    bool cannot_write() {
        return fail(escaped_path(archive_) + ": cannot write: " +
                    std::strerror(output_.error_number ? output_.error_number : EIO));
    }
    bool commit() {
        std::string reason;
        return output_commit(output_, reason) || fail(escaped_path(archive_) + ": " + reason);
    }
    bool open_inputs();
    bool scan_folder();
    bool lay_out();
    bool write();

    const Options& options_;
    Console& out_;
    const std::string& archive_;
    const std::string& dir_;
    ArchivePtr original_;
    FileDescriptor top_;
    OutputFile output_;
    Scan scan_;
    DataServer server_;
    std::vector<u8::TreeEntry> tree_;  // the scan, less what -r rebuilt into files
    u8::Plan plan_;
    std::vector<Carrier> carriers_;
    yaz0::EncodeOptions yaz0_options_;
};

// ORIGINAL (with --like), DIR, and ARCHIVE's output file.
bool PackRun::open_inputs() {
    if (!options_.include.empty()) return fail("--include does not apply to -c; --exclude leaves entries out");
    if (!options_.like.empty()) {
        OpenStatus status;
        original_ = archive_open(options_.like.c_str(), &status);
        if (!original_)
            return fail(escaped_path(options_.like) + ": cannot be used to lay out like: not a readable U8 archive");
    } else if (!u8::alignment_is_valid(options_.align)) {
        return fail("--align: the alignment must be a power of two from 1 to 65536");
    }
    top_ = disk::open_directory_path(dir_.c_str());
    if (!top_.valid()) return fail(escaped_path(dir_) + ": " + std::strerror(errno));
    std::string reason;
    if (!output_begin(output_, archive_, options_.force, reason)) return fail(escaped_path(archive_) + ": " + reason);
    return true;
}

// The folder's tree, and with -r the archives inside files rebuilt first
// from their NAME.d folders.
bool PackRun::scan_folder() {
    Selection selection = make_selection({}, options_.exclude);
    scan_tree(top_.fd, dir_, output_, selection, scan_);
    if (!scan_.problems.empty()) {
        for (const std::string& p : scan_.problems) report_line(out_, p);
        return fail(escaped_path(archive_) + ": not written");
    }
    // A folder holding nothing packs only like an original: an archive of
    // the root alone is valid, and real ones exist, but made from nothing
    // it is more likely a mistake (tar refuses an empty archive too).
    if (scan_.tree.empty() && !original_)
        return fail(escaped_path(dir_) + ": nothing to pack; an archive needs at least one entry");

    server_.scan = &scan_;
    server_.folders.start(scan_, top_.fd);
    server_.original = original_.get();
    server_.shown_dir = dir_;
    if (!options_.recursive) {
        tree_ = scan_.tree;
        return true;
    }
    std::vector<std::uint8_t> removed;
    if (!rebuild_nested(scan_, server_, options_, dir_, removed, out_))
        return fail(escaped_path(archive_) + ": not written");
    tree_ = without(scan_.tree, removed);
    return true;
}

// The plan: like ORIGINAL, or the default layout; and the carriers the
// archive goes into.
bool PackRun::lay_out() {
    // Layout problems name the entry by its place in `tree_`; diagnostics
    // by its place in the scan.
    const auto scanned = [this](u8::LayoutResult r) {
        if (r.entry < tree_.size()) r.entry = static_cast<std::uint32_t>(tree_[r.entry].key);
        return r;
    };
    yaz0_options_ = options_.yaz0;
    if (original_) {
        const u8::LikeOutcome like = u8::layout_like(
            *original_, tree_, platform_name_rule(),
            [this](std::uint32_t node, std::uint64_t key) { return server_.same_as_original(node, key); },
            plan_);
        if (!server_.problem.empty()) return fail(server_.problem);
        if (like.result.error != u8::LayoutError::none)
            return fail(layout_problem(scanned(like.result), scan_, dir_, archive_));
        for (const std::string& gone : like.dropped)
            report_line(out_, escaped_path(join(dir_, gone)) + ": not in the folder; dropped from the archive");
        carriers_ = archive_carriers(*original_);
        yaz0_options_.level = yaz0::Level::best;
    } else {
        const u8::LayoutResult r = u8::layout_default(tree_, options_.align, plan_);
        if (r.error != u8::LayoutError::none) return fail(layout_problem(scanned(r), scan_, dir_, archive_));
    }
    if (options_.compression == Compression::yaz0 ||
        (options_.compression == Compression::by_name && !original_ && ends_with_szs(archive_))) {
        carriers_.assign(1, Carrier{});
    } else if (options_.compression == Compression::none) {
        carriers_.clear();
    }
    return server_.problem.empty() || fail(server_.problem);
}

// The archive into its carriers, renamed into place when whole.
bool PackRun::write() {
    const u8::DataSource source = [this](const u8::Piece& piece, const ByteSink& sink) {
        return server_.read_file(piece.key, sink, nullptr);
    };
    const auto same_carriers = [this] {
        const std::vector<Carrier>& theirs = archive_carriers(*original_);
        return carriers_.size() == theirs.size() &&
               std::equal(carriers_.begin(), carriers_.end(), theirs.begin(),
                          [](const Carrier& a, const Carrier& b) { return a.kind == b.kind && a.header == b.header; });
    };
    if (options_.recursive && original_ && same_carriers() && writes_original(plan_, source, *original_)) {
        // Nothing changed at any level: ORIGINAL itself, carriers and all,
        // rather than its archive encoded again.
        return (copy_whole_file(options_.like, output_) || cannot_write()) && commit();
    }
    if (writes_directly(carriers_)) server_.direct = &output_;
    switch (write_archive(plan_, carriers_, yaz0_options_, output_, source, original_.get())) {
        case WriteResult::written: break;
        case WriteResult::no_memory_for_encoder:
            return fail(escaped_path(archive_) + ": not enough memory for the encoder");
        case WriteResult::too_large_for_carrier:
            return fail(escaped_path(archive_) + ": too large for the carrier of " + escaped_path(options_.like));
        case WriteResult::source_failed:
        case WriteResult::cannot_write:
            if (!server_.problem.empty()) return fail(server_.problem);
            // Neither a file nor the output failed: ORIGINAL's own bytes did.
            if (original_ && output_.error_number == 0) return fail("the archive to lay out like could not be read");
            return cannot_write();
    }
    return commit();
}

}  // namespace

int run_pack(const Options& options, Console& out) {
    if (options.operands.size() != 2) {
        report_line(out, "-c needs ARCHIVE and DIR");
        return 1;
    }
    return PackRun(options, out).run();
}

}  // namespace dravik
