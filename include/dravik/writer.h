// Writing U8 archives, in two passes, so that no buffer ever holds a whole
// file: a layout pass decides every byte's place and turns the table into
// bytes (a Plan), then write_plan streams the archive through a ByteSink in
// order, asking the caller for each file's data as its turn comes.
//
// Two layouts:
//   - layout_default: the layout the field's tools write, the same bytes for
//     the same tree whatever order its entries were listed in.
//   - layout_edit: an existing archive changed (entries replaced, removed,
//     renamed, moved, added), keeping every byte of it the change does not
//     touch. layout_like is the same engine, with the change read off a
//     folder that unpacking the archive made: the same bytes when nothing
//     changed, and as few changed bytes as possible when something did.
//
// Edits can also be asked for by the paths unpacking gives entries
// (edit_by_paths), as the command line's -u, --delete and --rename ask.
//
// Compression and banner headers are the carriers' business (carrier.h);
// the plan is the bare U8 archive. The library-wide contract is in
// common.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dravik/archive.h"
#include "dravik/common.h"

namespace dravik::u8 {

// One entry of a tree to pack, listed in any order. `parent` is the index,
// in the same list, of the directory holding it, or kTopLevel for the
// root's children. Names are stored as their bytes (no NUL inside).
inline constexpr std::uint32_t kTopLevel = 0xFFFFFFFF;
struct TreeEntry {
    std::string name;
    bool is_directory = false;
    std::uint32_t parent = kTopLevel;
    std::uint64_t size = 0;  // a file's data length
    std::uint64_t key = 0;   // a file's: handed back when its data is wanted
};

// A stretch of the archive after the table: zeros, a file's data (`key`:
// the TreeEntry's or the edit's key), or bytes of the original archive
// (`key`: their offset in it; only layout_edit and layout_like make these).
struct Piece {
    enum class From : std::uint8_t { zeros, file, original };
    From from = From::zeros;
    std::uint64_t at = 0;  // offset in the new archive
    std::uint64_t size = 0;
    std::uint64_t key = 0;
};

// What the streaming pass needs: the bytes from offset 0 to the table's
// end (header, nodes, names), then pieces covering the rest of the archive
// in order, without gap or overlap.
struct Plan {
    Bytes head;
    std::vector<Piece> pieces;
    std::uint64_t size = 0;  // the whole archive's length
};

// What the format cannot hold, or a tree that is no tree.
enum class LayoutError {
    none,
    offset_too_large,  // data would end past 4 GiB - 1 (32-bit offsets and sizes)
    names_too_large,   // a name would start past 16 MiB (24-bit name offsets)
    too_many_nodes,    // the node table alone would not fit 32-bit offsets
    bad_alignment,     // not a power of two from 1 to 65536
    bad_tree,          // a parent that is no listed directory, or a loop
    unusual_original,  // laying out like an archive whose table starts inside its header
    bad_name,          // a name holding a NUL byte, which would end it early
};

// The format's limit or the fault, in plain words ("the names would pass 16
// MiB, which U8 name offsets cannot reach"...).
const char* layout_error_text(LayoutError error);

struct LayoutResult {
    LayoutError error = LayoutError::none;
    std::uint32_t entry = kTopLevel;  // the entry concerned, when there is one
};

inline constexpr std::uint32_t kMaxAlignment = 65536;
bool alignment_is_valid(std::uint32_t align);

// The default layout: header at 0 and the first node at 0x20; nodes depth
// first, each folder's files before its subfolders, each group ordered by
// name compared byte by byte after ASCII lower-casing, ties by the raw
// bytes; names in node order after the root's empty name; file data in
// node order, each block starting on a multiple of `align` (an empty file
// gets the place the next block would have); zeros everywhere else. A
// directory's words are its parent's index and the index after its
// contents. `order`, when given, receives the list index of each node from
// node 1 on.
LayoutResult layout_default(const std::vector<TreeEntry>& tree, std::uint32_t align, Plan& plan,
                            std::vector<std::uint32_t>* order = nullptr);
// The same with the nodes in the order the tree is listed, for callers that
// choose their own: the list must be depth first (each directory followed
// by everything inside it).
LayoutResult layout_in_order(const std::vector<TreeEntry>& tree, std::uint32_t align, Plan& plan);

// Whether the caller's file `key` holds exactly the data node `node` of
// ORIGINAL holds. Asked only for entries whose data block ORIGINAL shares
// between entries or overlaps with another's.
using SameContent = std::function<bool(std::uint32_t node, std::uint64_t key)>;

// A folder of an edited archive: one of ORIGINAL's directories (`index`:
// its node index, 0 for the root) or a directory the edit adds (`added`,
// `index`: its place in Edit::added).
struct EditFolder {
    bool added = false;
    std::uint32_t index = 0;
};

// What becomes of one node of ORIGINAL. The default keeps it as it is.
struct EditNode {
    // Dropped; a directory goes with everything it holds, except what moves
    // out of it.
    bool remove = false;
    // A file takes new data: `size` bytes, asked for by `key`.
    bool replace = false;
    std::uint64_t size = 0;
    std::uint64_t key = 0;
    // Stored under a new name (no NUL inside), keeping its place.
    bool rename = false;
    std::string name;
    // Goes, with what it holds, to the end of `folder`'s entries.
    bool move = false;
    EditFolder folder;
    // Handed back in LayoutResult::entry when an error concerns this node.
    std::uint32_t tag = kTopLevel;
};

// An entry the edit adds, at the end of `folder`'s entries; the entries
// added to one folder go in the default order among themselves.
struct EditAdded {
    std::string name;  // no NUL inside
    bool is_directory = false;
    EditFolder folder;
    std::uint64_t size = 0;  // a file's data length
    std::uint64_t key = 0;   // a file's: handed back when its data is wanted
    std::uint32_t tag = kTopLevel;  // as EditNode::tag
};

struct Edit {
    // One per node of ORIGINAL, by index (node 0, the root, is never
    // changed); nodes past the end of the list are kept.
    std::vector<EditNode> nodes;
    std::vector<EditAdded> added;
};

struct EditOutcome {
    LayoutResult result;          // bad_tree: a folder moved into itself, or a
                                  // folder reference that names no directory
    std::uint32_t alignment = 0;  // what new and moved data was aligned to
    // Where the entries went: each node of ORIGINAL's index in the new
    // archive (0: gone), and each added entry's.
    std::vector<std::uint32_t> node_index;
    std::vector<std::uint32_t> added_index;
};

// Lays out ORIGINAL changed by `edit`. Everything the edit does not touch
// stays as it was: node order, stored names, header, padding and the bytes
// in gaps, node type bytes, and the offset of a file's data while nothing
// before it moved; blocks shared by several entries stay shared while all
// of them are unchanged (`same_content`, when given, says whether replaced
// data is in fact the same). A renamed entry keeps its place; a moved or
// added one goes at the end of its folder's entries. Changed and new data
// goes after the last block, aligned as ORIGINAL's data is (the largest
// power of two up to 4096 dividing every offset; 32 when ORIGINAL holds no
// data to tell), and once a file changed
// size the data after it is laid out again in ORIGINAL's data order. The
// names table stays byte for byte while the nodes and their names are the
// same, else it is written again in node order; directory words are
// written for the new tree. Pieces From::original carry offsets in
// ORIGINAL. An archive of the root alone is a valid ORIGINAL and a valid
// result.
EditOutcome layout_edit(const Archive& original, const Edit& edit, const SameContent& same_content,
                        Plan& plan);

struct LikeOutcome {
    LayoutResult result;
    // Paths (as unpacked) of ORIGINAL's entries that the tree no longer
    // holds, and that were dropped.
    std::vector<std::string> dropped;
    std::uint32_t alignment = 0;  // what new and moved data was aligned to
};

// Lays `tree` out like `original`. The tree is a folder as unpacking
// `original` made it (paths per Placement with `rule`) and then changed:
// its entries map back to ORIGINAL's by those paths, and the change is laid
// out as layout_edit does it. A file's data comes from the tree (its data
// is the same bytes when unchanged), except for entries unpacking could not
// write (unsafe or refused names, later duplicates, data past the end),
// which are carried over as they are. An entry of ORIGINAL the tree lacks
// is dropped; an entry new to the tree goes at the end of its folder, its
// data after the last block. LayoutResult::entry names a tree entry.
LikeOutcome layout_like(const Archive& original, const std::vector<TreeEntry>& tree,
                        const NameRule& rule, const SameContent& same_content, Plan& plan);

// Archives inside archives, written back into the file that holds them:
// the new layout of the archive a file holds (from layout_edit or
// layout_like over it) in the carriers the file had. Packing with -r and
// editing inside a nested archive both end here, level by level, from the
// deepest up. Rebuilt in memory, since archives inside archives are small
// (banner parts, textures); past this, nothing is rebuilt.
inline constexpr std::uint64_t kMaxNestedRebuild = 256ull << 20;

enum class NestedRebuild : std::uint8_t {
    unchanged,      // the plan writes `inner`'s U8 archive byte for byte: the file keeps its bytes
    rebuilt,        // `file` holds the new bytes, carriers and all
    too_large,      // the plan is larger than kMaxNestedRebuild
    source_failed,  // the data source, or `inner`'s own bytes, could not be read
    carrier_full,   // a carrier cannot hold the new archive (LZ77: less than 16 MiB)
};

// Sends a piece's data: exactly piece.size bytes of the file with
// piece.key (or, for an original piece, of the original archive at
// piece.key), to `sink`, in chunks of any size. False on failure.
using DataSource = std::function<bool(const Piece& piece, const ByteSink& sink)>;

// Streams the archive to `sink`: the head, then every piece in order. Zeros
// are written here, file pieces come from `source`, original pieces from
// `original` when it is given, else from `source` too (a caller that can
// copy them more cheaply than through memory). False as soon as the sink
// or a source fails.
bool write_plan(const Plan& plan, const ByteSink& sink, const DataSource& source,
                const Archive* original = nullptr);

// Writes `plan`, a new layout of `inner` (the archive a file holds), with
// pieces from `source` and original ones from `inner`, and wraps it in
// `inner`'s carriers: Yaz0 at `yaz0_options`, LZ77 (bare or not) in its
// coding, IMD5 and IMET with sizes and MD5 sums recomputed. When the plan
// writes `inner`'s U8 archive unchanged, the file's bytes stand as they are
// and are not encoded again (NestedRebuild::unchanged, `file` empty).
NestedRebuild rebuild_nested(const Archive& inner, const Plan& plan, const DataSource& source,
                             const yaz0::EncodeOptions& yaz0_options, Bytes& file);

// Editing by paths: what -u, --delete and --rename do, for every caller.
// Entries are named by the paths unpacking gives them ("arc/timg/logo.tpl":
// unpacked_places with the request's rule); a path names the entry
// unpacking writes there, else the first one placed there. A request is
// resolved against an open archive into an Edit, laid out by layout_edit,
// and comes back as the plan and the changes it makes, or as a refusal: a
// code and the paths concerned, in no caller's words. Reading new data from
// a disk, and writing the result, stay with the caller.
//
// With `recursive`, a path through a folder "NAME.d" names an entry of the
// archive the file NAME holds, as -r unpacking names it. That archive is
// opened with the walk's bounds and refusals (NestedOpener), edited by the
// same rules, written back into NAME's carriers (rebuild_nested) in memory,
// and its bytes replace NAME's in the edit of the archive above: deepest
// first, one open path at a time. An archive nothing changed keeps its
// bytes. NAME.d is only a way in, never an entry: a path or pattern naming
// it itself, a rename from one archive into another, and a change to both
// NAME and what it holds are refused. Without `recursive`, "NAME.d" is an
// ordinary name.

// An entry path as given, made plain ("./a/b/" is "a/b"). False when it
// names nothing inside an archive: empty, absolute, holding a NUL byte, or
// with an empty, "." or ".." name, or one `rule` refuses.
bool plain_entry_path(std::string_view text, const NameRule& rule, std::string& path);

// A file or a folder to put at an entry path.
struct PathPut {
    std::string path;  // an entry path, made plain here
    bool folder = false;
    std::uint64_t size = 0;  // a file's data length
    std::uint64_t key = 0;   // a file's: handed back (Piece::key) when its data is wanted
};

struct PathEditRequest {
    enum class Kind : std::uint8_t {
        // Each put in order (a path named twice counts once): a file
        // replaces the file at its path when its bytes differ, or is added
        // with the folders that lead to it; a folder is made where missing.
        // Nothing moves: an entry added where unpacking would not put it,
        // or that would make another unpack elsewhere, is refused.
        put,
        // The entries a glob matches (the --include rule, make_selection),
        // a folder with everything in it.
        remove,
        // `from` renamed to `to`, or moved with what it holds when `to` is
        // in another folder; `to`'s folder must exist and `to` may not.
        rename,
    };
    Kind kind = Kind::put;
    std::vector<PathPut> puts;
    std::vector<std::string> globs;
    std::string from, to;  // as given, made plain here
    NameRule rule;
    bool recursive = false;
    yaz0::EncodeOptions yaz0;  // for the archives inside that are in Yaz0
};

// Why a request was refused, and what `PathEditRefusal::paths` holds for
// it. Paths run from the edited archive's root, through the NAME.d folders
// on the way with `recursive`.
enum class PathRefusal : std::uint8_t {
    none,
    not_an_entry_path,  // {the path as given}: a put's, or a rename's `to`
    no_such_entry,      // {`from`}: plain, or as given when it is no entry path
    exists,             // {`to`}
    into_itself,        // {`to`}: a folder renamed into itself
    no_such_folder,     // {`to`'s folder}
    not_a_folder,       // {a folder a put goes into}: a file in the archive
    file_onto_folder,   // {a put's path}: a file put where the archive has a folder
    folder_onto_file,   // {a put's path}: a folder put where the archive has a file
    data_failed,        // {a put's path}: the data source failed while comparing its bytes
    unmatched,          // the globs, as given, that matched nothing
    unpacks_elsewhere,  // {asked for, where it would unpack}: a root folder alone unpacks as "arc"
    moves_other,        // {an entry added, another entry, where that one would unpack then}
    layout,             // {"", or "NAME.d" for an archive inside}: `layout` says why
    unreadable_table,   // {}: the new table does not read back
    // With `recursive`:
    archive_folder,     // {"NAME.d", "NAME"}: a path or glob naming NAME.d itself
    across_archives,    // {`to`, `from`}: not in the same archive
    nested_refused,     // {NAME, the file opened first for NestRefusal::shared}: see `nest`
    nested_too_large,   // {NAME}: its archive would pass kMaxNestedRebuild
    nested_unreadable,  // {NAME}: its archive, or data for it, could not be read
    nested_carrier_full,// {NAME}: its archive no longer fits its carrier
    nested_shared,      // {NAME, another file}: whose data overlaps NAME's
    file_and_archive,   // {NAME}: both NAME and what its archive holds change
};

struct PathEditRefusal {
    PathRefusal code = PathRefusal::none;
    std::vector<std::string> paths;
    std::size_t put = 0;  // the put concerned, where a code names one
    LayoutError layout = LayoutError::none;
    NestRefusal nest = NestRefusal::none;  // for nested_refused, with
    OpenStatus nest_status;                // what opening it gave
};

// An archive inside that an edit opened, and its checksum notices.
struct NestedNotice {
    std::string path;  // its file's path
    std::uint32_t notices = 0;
};

struct PathEdit {
    Plan plan;                          // the edited archive, for write_plan
    std::vector<PathChange> changes;    // sorted by path; inside archives by their paths there
    std::vector<NestedNotice> notices;  // archives inside whose checksums do not match
    PathEditRefusal refusal;
    // The new bytes of archives inside (with `recursive`), and the puts'
    // keys, which path_edit_source serves the plan's file pieces from.
    std::vector<Bytes> rebuilt;
    std::vector<std::uint64_t> put_keys;
};

// Resolves `request` against `archive` and lays the edit out. New data is
// read through `data` (pieces From::file with a put's key) to compare it
// with the entry it would replace, and to rebuild the archives inside.
// False with `out.refusal` set, or true with the plan and the changes (an
// update with the bytes an entry has changes nothing, and the plan writes
// the U8 archive byte for byte).
bool edit_by_paths(const Archive& archive, const PathEditRequest& request, const DataSource& data,
                   PathEdit& out);

// What write_plan wants for `edit.plan`'s file pieces: rebuilt archives
// from `edit`, which must outlive it, and puts' data from `data`, asked
// for with the put's key. Original pieces are the caller's to serve (or
// write_plan's).
DataSource path_edit_source(const PathEdit& edit, const DataSource& data);

}  // namespace dravik::u8
