// Reading a U8 archive: open it (bare or inside any carriers), walk its
// entries, read their bytes, know where unpacking puts each of them,
// compare two archives by what unpacking them gives, and check one all the
// way down.
//
// An archive is validated once, when it is opened: the header, the table's
// place in the archive, every node and every name. After a successful open
// every entry can be read without further checks, and nothing a table says
// can make a reader step outside it. A file's data is checked against the
// archive's end when it is read (archive_read), since one entry's data
// past the end spoils that entry alone.
//
// Ownership: archive_open* return the only owner of an Archive. Names and
// the bytes from archive_bytes are borrowed from it and stay valid until
// it is destroyed. An archive opened from borrowed bytes borrows them for
// its whole life.
//
// Threads: every function here that takes a const Archive& may run on any
// number of threads at once. A Placement belongs to one walk on one thread.
//
// The library-wide contract is in common.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dravik/carrier.h"
#include "dravik/common.h"

namespace dravik {

struct Archive;
struct ArchiveDelete {
    void operator()(Archive* archive) const noexcept;
};
using ArchivePtr = std::unique_ptr<Archive, ArchiveDelete>;

// What an open tells besides the archive.
struct OpenStatus {
    OpenError error = OpenError::none;
    int error_number = 0;        // errno, for OpenError::cannot_open
    std::uint32_t notices = 0;   // Notice bits
    // The carriers peeled, outermost first; filled as far as peeling got,
    // also when the open then failed.
    std::vector<CarrierKind> carriers;
};

// Opens the archive in the file at `path`. Large tables are mapped rather
// than read, so that a table claiming far more than the file holds costs
// only the pages a walk touches; a carrier's contents are decoded into
// memory, at most the size it states and never more than the machine has.
ArchivePtr archive_open(const char* path, OpenStatus* status = nullptr);
// Opens an archive from bytes in memory, copied.
ArchivePtr archive_open_memory(const std::uint8_t* data, std::size_t size,
                               OpenStatus* status = nullptr);
// Opens an archive from bytes in memory without copying them: they must
// stay valid and unchanged until the archive is destroyed.
ArchivePtr archive_open_borrowed(const std::uint8_t* data, std::size_t size,
                                 OpenStatus* status = nullptr);
// Opens an archive of `size` bytes read through `source`, for callers whose
// bytes are somewhere of their own (a stream of their language, a file
// handle of their own). The source is kept for the archive's life.
ArchivePtr archive_open_source(ByteSource source, std::uint64_t size,
                               OpenStatus* status = nullptr);

// The carriers the archive was found in, outermost first, with what is
// needed to wrap a new archive the same way; empty for a bare archive.
const std::vector<Carrier>& archive_carriers(const Archive& archive);

// The U8 archive's length in bytes, after every carrier was peeled.
std::uint64_t archive_size(const Archive& archive);
// The U8 archive's bytes when they are in memory (a peeled carrier, or
// opened from memory), else null.
const std::uint8_t* archive_bytes(const Archive& archive);
// Reads exactly `size` bytes of the U8 archive at `offset`. False when any
// of them lies past its end or the file cannot be read.
bool archive_read_bytes(const Archive& archive, std::uint64_t offset, void* out, std::size_t size);

// The node count: the root's size word, as stored. Nodes 1 to count - 1
// are the entries, when the table is large enough to hold two nodes.
std::uint32_t archive_node_count(const Archive& archive);

// The words a node stores, exactly as the table holds them.
struct StoredNode {
    std::uint8_t type = 0;          // 0: a file; any other value: a directory
    std::uint32_t name_offset = 0;  // 24 bits, from the start of the names
    std::uint32_t offset = 0;       // the word at +4: data offset, or parent index
    std::uint32_t size = 0;         // the word at +8: data size, or end index
};

// One entry, in its own words.
struct Entry {
    std::uint32_t index = 0;  // its node index, from 1
    bool is_directory = false;
    const char* name = nullptr;  // as stored, NUL-ended; borrowed from the archive
    // A file's data: where it starts in the U8 archive and its length
    // (0 for a directory).
    std::uint32_t data_offset = 0;
    std::uint32_t data_size = 0;
    // A directory's parent index and the index of the first node after its
    // contents, as stored and unchecked (0 for a file); Placement says how
    // unpacking reads them.
    std::uint32_t parent = 0;
    std::uint32_t end = 0;
    StoredNode stored;
};

// Fills `entry` from node `index`. False, leaving `entry` alone, when there
// is no such entry: index 0 (the root), index count or more, or a table too
// small to hold two nodes.
bool archive_entry(const Archive& archive, std::uint32_t index, Entry* entry);
// The root's stored words (its size word is the node count).
StoredNode archive_root(const Archive& archive);

// Reads `size` bytes of a file entry's data, starting `at` bytes into it.
// False when the range passes the entry's end, or the entry's data lies
// past the archive's end, or the file cannot be read.
bool archive_read(const Archive& archive, const Entry& entry, std::uint64_t at, void* out,
                  std::size_t size);

// Opens the archive that file entry `entry` of `outer` holds, from the
// entry's bytes alone and with the same checks as any archive: its table,
// its carriers and its files' data must lie inside those bytes. The bytes
// are borrowed where they lie (the outer archive's memory or file), so the
// new archive must be destroyed before `outer`; carriers are decoded into
// memory of its own, counted with what `outer` holds against the
// machine's memory. Fails with OpenError::not_an_archive for a directory,
// for an entry whose data lies past the outer archive's end, and for bytes
// that hold no U8 archive.
ArchivePtr archive_open_entry(const Archive& outer, const Entry& entry,
                              OpenStatus* status = nullptr);

// Whether a name may be created as itself inside a folder, on any system:
// not empty, not "." or "..", and holding no '/' (so never absolute).
inline bool name_is_safe(const char* name) {
    if (!name || name[0] == '\0') return false;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return false;
    return std::strchr(name, '/') == nullptr;
}

// Whether the system unpacking runs on can create `name` as itself. The
// library cannot know (Windows refuses device names, for instance); a
// program passes its platform's rule. Only asked of safe names.
using NameRule = std::function<bool(const char* name)>;

// Where unpacking puts an entry, relative to the folder it unpacks into.
struct Place {
    const char* name = nullptr;  // its name there: the stored one, or "arc"
    std::string_view path;       // '/'-separated, e.g. "arc/anim/a.brlan"
    // How many directories enclose it in the table's nesting, and how many
    // of those are folders on disk (placed and entered): how deep it lands
    // below the destination.
    std::uint32_t nesting = 0;
    std::uint32_t depth = 0;
    // The directory whose folder it lands in: the nearest enclosing one that
    // was placed and entered, or 0 for the destination itself. Two entries
    // land on the same path exactly when they share this and their name.
    std::uint32_t folder = 0;
    // False when its name is unsafe or refused by the NameRule: it is not
    // unpacked, and a directory's entries land in the enclosing folder.
    bool placeable = false;
};

// The one rule for where each entry lands, used by everything that unpacks
// or names entries as unpacked:
//   - A directory holds the entries up to its end index. An end index that
//     cannot be right (not past the directory itself, or past the end of
//     the directory enclosing it) is taken as the enclosing directory's end.
//   - A directory of the root (node 1 when it is a directory, and every
//     directory whose parent word is 0) is named "arc" when it is the root's
//     only directory or when its stored name is unsafe; otherwise it keeps
//     its stored name, so that several root folders unpack side by side.
//   - Every other entry keeps its stored name.
//   - A name that is unsafe (see name_is_safe) or that the NameRule refuses
//     cannot be placed. A directory that cannot be placed, or that the
//     caller could not enter (not_entered), adds no folder: its entries
//     land in the enclosing one.
// Every entry is placed, in table order, also those a walk does not act
// on: each one's words shape where the later ones land.
class Placement {
public:
    // Without `build_paths` the paths are left empty: a name may be as long
    // as the table, and a walk that only needs names and depths should not
    // hold copies of them.
    explicit Placement(const Archive& archive, NameRule rule = {}, bool build_paths = true);
    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    // Places `entry`; the result is valid until the next call.
    const Place& place(const Entry& entry);
    // The directory just placed could not be entered on disk after all (it
    // exists as a file, say): its entries go to the enclosing folder.
    void not_entered();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Where unpacking the whole archive puts each node, by index, and whether
// it writes the node there: a placeable entry whose name no earlier entry
// took in the same folder (a directory where an earlier directory is
// entered again; one where a file is, is not entered, and its entries land
// a level up), and for a file, data that lies inside the archive.
// Everything that names entries as unpacked (packing like an original,
// editing, comparing) names them by this rule. Linear in the entries at
// any depth: paths are made on demand by unpacked_path.
struct UnpackedPlace {
    std::string name;             // its name where it lands: the stored one, or "arc"
    // The directory whose folder it lands in (Place::folder), or the first
    // directory written at that folder's path: directories written at one
    // path are one folder on disk, and place their entries in the first.
    std::uint32_t folder = 0;
    std::uint32_t enclosing = 0;  // the directory holding it in the table's nesting (0: the root)
    bool written = false;
};
std::vector<UnpackedPlace> unpacked_places(const Archive& archive, const NameRule& rule = {});
// Node `index`'s path as unpacked ("arc/anim/a.brlan"; the root's is empty).
std::string unpacked_path(const std::vector<UnpackedPlace>& places, std::uint32_t index);

// Selecting entries by path: the patterns of the command line's --include
// and --exclude, matched against each entry's path as unpacked
// ("arc/anim/intro.brlan"). A pattern without '/' matches one name in any
// folder; a pattern with '/' matches the whole path, and there '*', '?' and
// sets stop at '/'. A pattern that matches a directory covers everything
// below it. An exclusion wins over an inclusion.
struct Pattern {
    std::string text;         // as given, for messages
    std::string glob;         // without a leading "./" or trailing '/'
    bool whole_path = false;  // holds a '/': matched against the whole path
    bool matched = false;     // matched at least one entry in this walk
};

struct Selection {
    std::vector<Pattern> include;  // empty: every entry
    std::vector<Pattern> exclude;
};

Selection make_selection(const std::vector<std::string>& include,
                         const std::vector<std::string>& exclude);
bool selection_filters(const Selection& selection);

// Shell-style matching of `text` against `glob`: '*' any run of bytes, '?'
// one byte, "[a-z]" and "[!a-z]" a set, '\' quotes the next byte. With
// `stop_at_slash`, '*', '?' and sets never match a '/'.
bool glob_match(std::string_view glob, std::string_view text, bool stop_at_slash);

// Whether any of `patterns` matches the entry with path `path` whose own
// name is `name`; marks those that do.
bool match_any(std::vector<Pattern>& patterns, std::string_view path, std::string_view name);

// One entry as a walk hands it out: its words and where it lands.
struct WalkEntry {
    Entry entry;
    // place.path is empty when paths were not asked for. In a nested
    // archive the path and depth run from the outermost destination
    // through the folders of the files that hold it; nesting and folder are
    // those of its own archive.
    Place place;
    const Archive* archive = nullptr;  // the archive the entry is in
    std::uint32_t level = 0;  // 0: the archive walked; k: inside k nested archives
    // Acted on only because a selected entry lies inside it (a directory on
    // the way, or the file of a nested archive), not selected itself.
    bool leading = false;
};

// What the visitor says back about an entry it was handed: for a
// directory, false when it could not enter it (on disk, say), so that the
// entries inside go, and are named as going, to the enclosing folder; for a
// file, false when the archive it may hold is not to be opened (it could
// not be written, say).
using WalkVisitor = std::function<bool(const WalkEntry&)>;

// Archives inside archives. A file entry whose bytes, after any carriers,
// are a U8 archive is opened as one (archive_open_entry) when the walk
// reaches it, and released when the walk leaves it: memory follows the
// path, not the tree. Its entries are placed in a folder named after the
// file plus ".d", beside the file: "arc/banner.bin.d/arc/anim/a.brlan".
//
// Carriers and archives together nest at most this deep on one path.
inline constexpr std::uint32_t kMaxNesting = 16;
// The carriers of all nested archives one walk opens decode to at most
// this much in all, so that archives of compressed archives cannot make a
// small file take hours.
inline constexpr std::uint64_t kMaxNestedDecoded = 8ull << 30;

// Why a file that holds an archive was not opened as one.
enum class NestRefusal : std::uint8_t {
    none,
    too_deep,          // its carriers and archive would pass kMaxNesting
    nested_in_itself,  // its bytes are an archive, or an entry, already open on the path
    folder_taken,      // its folder's name (NAME.d) is an entry of its own archive too
    cannot_open,       // damaged, or not enough memory: status.error says which
    shared,            // its bytes start where those of an archive this walk opened do (same_as)
    over_budget,       // the nested archives would decode to more than kMaxNestedDecoded in all
};

struct NestedArchive {
    const WalkEntry* file = nullptr;  // the file entry holding it, as the walk handed it out
    std::string_view folder;          // where its entries go: the file's path + ".d"
    std::string_view folder_name;     // the file's name + ".d"
    std::uint32_t level = 1;          // its entries' WalkEntry::level
    const Archive* archive = nullptr; // null when refused
    OpenStatus status;                // its carriers and checksum notices, or why it failed
    NestRefusal refusal = NestRefusal::none;
    std::string_view same_as;  // for NestRefusal::shared: the path of the file opened first
};

struct WalkNesting {
    // Before a nested archive's entries: false skips them (its folder could
    // not be made, say). Empty: always entered.
    std::function<bool(const NestedArchive&)> enter;
    // After its entries, while it is still open.
    std::function<void(const NestedArchive&)> leave;
    // A file holding an archive that was not opened, and why.
    std::function<void(const NestedArchive&)> refused;
    // False for a walk that puts nothing on disk (a check): a file's folder
    // name is then never taken, and files whose names cannot be placed are
    // opened too.
    bool folders = true;
};

// The walk every mode of the program shares: visits, in table order, every
// entry that `selection` lets through, plus the directories that lead to an
// included entry, each placed by a Placement with `rule`. Marks the
// patterns that matched something. Without `want_paths` a path may be left
// empty.
//
// With `nesting`, every file entry the visitor accepted that holds an
// archive is opened, and its entries are walked right after it, with paths
// through its ".d" folder; the patterns match those paths, the folder's
// own path ("arc/banner.bin.d") selects what is inside as a directory's
// would, and a file selected or excluded selects or excludes what it holds.
// With --include, a nested archive is opened once more to learn whether it
// holds a selected entry: its file then leads there.
void walk_entries(const Archive& archive, Selection& selection, const NameRule& rule,
                  const WalkVisitor& visit, bool want_paths = true,
                  const WalkNesting* nesting = nullptr);

// What opening the archive a file holds gave: the archive, or why not. No
// archive and no refusal: the file holds none.
struct NestedOpen {
    ArchivePtr archive;
    OpenStatus status;
    NestRefusal refusal = NestRefusal::none;
    std::string same_as;  // for NestRefusal::shared
};

// Going down into archives inside archives where a caller's paths lead
// rather than walking them all (an edit of an entry deep inside, a
// comparison of two nested archives), with the walk's bounds and refusals,
// so that a path through a ".d" folder names what the walk names there:
// kMaxNesting, an archive inside itself, bytes shared with an archive
// opened before, kMaxNestedDecoded over everything this opener opened, and
// the folder "NAME.d" that unpacking needs. One path is open at a time:
// open() looks into the innermost archive entered (at first the
// outermost), enter() puts what it gave on the path, leave() takes the
// innermost off again, before it is destroyed.
class NestedOpener {
public:
    explicit NestedOpener(const Archive& outermost, NameRule rule = {});
    ~NestedOpener();
    NestedOpener(const NestedOpener&) = delete;
    NestedOpener& operator=(const NestedOpener&) = delete;

    // The archive file entry `entry` of the innermost archive holds; `place`
    // is its place there (Place::path relative to that archive), `path` its
    // path through the folders of the files on the way.
    NestedOpen open(const Entry& entry, const Place& place, std::string_view path);
    // `inner`, which open() gave for `entry`, goes on the path; it must
    // stay alive until leave().
    void enter(const Entry& entry, const Archive& inner);
    void leave();
    // Archives entered and not left.
    std::size_t depth() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// An entry that differs between two archives, or that an edit changes,
// named by its path as unpacked, as `git status --short` tells them: 'A'
// (added: only in the second archive), 'D' (removed: only in the first),
// 'M' (other bytes, or a file on one side and a folder on the other), or
// 'R' (renamed or moved; edits only, `from` being where it was).
struct PathChange {
    char kind = 'M';
    std::string path;
    std::string from;
};

struct Comparison {
    bool same_contents = true;  // nothing differs
    bool identical = false;     // and the U8 archives, carriers peeled, are the same bytes
    // The data of a file on both sides, or the U8 archives themselves,
    // could not be read: the comparison stopped there, and what it said
    // before stands.
    bool unreadable = false;
    std::string unreadable_path;  // that file's path; empty for the U8 archives
};

// Compares what unpacking `a` and `b` gives (the entries unpacked_places
// says are written, paths by `rule`), whatever their carriers, node order,
// alignment and padding, and hands each difference to `difference` as it
// is found: folder by folder, each folder's entries by name, a folder on
// one side only with everything in it. File data is compared in chunks, so
// memory stays bounded whatever the archives hold. With `recursive`, a
// file that holds an archive on both sides (as NestedOpener opens it, with
// the walk's bounds) is compared by what that archive holds, through its
// "NAME.d" folder, whatever its carriers and layout; an archive on one
// side only is told with everything in it, after its file. Linear in the
// entries at any depth.
Comparison compare_archives(const Archive& a, const Archive& b,
                            const std::function<void(const PathChange&)>& difference,
                            const NameRule& rule = {}, bool recursive = false);

// Checking an archive all the way down before it goes on a console, as the
// command line's --check does: every carrier decodes exactly to its stated
// size (bytes left past a stream's end are a warning), every IMET and IMD5
// size and MD5 matches, the sizes a banner header states for its parts
// match them, every U8 table is sound and every file's data lies inside
// its archive; the same for every archive inside, walked as -r walks. Also
// warned: what a console or game may read otherwise than a PC (names that
// differ only in case in one folder, a name twice in a folder, data shared
// between entries, data inside the table, parent words that disagree with
// the nesting). Each finding goes to `found` as it is made, in plain words
// without a path; the count says how many of each kind there were. An
// archive that does not open gives one problem, its reason.
struct Finding {
    bool problem = true;  // else a warning
    std::string path;     // the entry's path (through NAME.d folders), or "" for the archive itself
    std::string text;
};
struct CheckCount {
    std::uint32_t problems = 0;
    std::uint32_t warnings = 0;
};
CheckCount check_archive(const char* path, const std::function<void(const Finding&)>& found);
// The same on bytes in memory, read where they are; they must stay valid
// for the call.
CheckCount check_archive_borrowed(const std::uint8_t* data, std::size_t size,
                                  const std::function<void(const Finding&)>& found);

}  // namespace dravik
