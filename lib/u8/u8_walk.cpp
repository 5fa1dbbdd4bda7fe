// The walk every mode shares: Placement for where each entry lands, the
// selection for which ones are acted on, and, when asked, the archives
// inside archives, each opened when the walk reaches its file and released
// when the walk leaves it.
#include <algorithm>
#include <string>
#include <vector>

#include "dravik/archive.h"
#include "lib/u8/u8_nest.h"
#include "lib/u8/u8_read.h"

namespace dravik {

namespace {

// What the selection decided for each enclosing directory, so that a
// pattern matching a folder covers everything below it. The nesting is the
// Placement's.
struct Decided {
    bool included = false;
    bool excluded = false;
    std::uint32_t index = 0;
};

struct SelectionLevels {
    std::vector<Decided> levels;

    explicit SelectionLevels(const Decided& root) : levels{root} {}
    const Decided& enter(const Place& place) {
        levels.resize(place.nesting + 1);
        return levels.back();
    }
    void push(std::uint32_t index, bool included, bool excluded) {
        levels.push_back(Decided{included, excluded, index});
    }
};

// Per node, in the first pass of an --include walk.
constexpr std::uint8_t kActed = 1;
constexpr std::uint8_t kIncluded = 2;
constexpr std::uint8_t kExcluded = 4;

struct Walker {
    Selection& selection;
    const NameRule& rule;
    const WalkVisitor& visit;
    const WalkNesting* nesting;
    bool want_paths;
    bool filters;
    bool includes;

    Walker(Selection& s, const NameRule& r, const WalkVisitor& v, const WalkNesting* n, bool paths)
        : selection(s), rule(r), visit(v), nesting(n), want_paths(paths),
          filters(selection_filters(s)), includes(!s.include.empty()) {}

    // The bounds of the descent, and the nested archives this walk opened,
    // by where they start; the first pass of --include keeps its own.
    NestBounds bounds;
    NestBounds::Seen starts;
    NestBounds::Seen mark_starts;
    bool marking = false;

    struct Frame {
        const Archive& archive;
        std::string prefix;  // "" outermost, else the folder and a '/'
        std::uint32_t depth_base = 0;
        std::uint32_t level = 0;
        Decided inherited;  // what the file holding it (and its folder) decided
        TakenFolders taken;

        Frame(const Archive& a, std::string folder_prefix, std::uint32_t depth, std::uint32_t nested)
            : archive(a), prefix(std::move(folder_prefix)), depth_base(depth), level(nested) {}
    };

    struct Opened {
        ArchivePtr archive;
        OpenStatus status;
        NestRefusal refusal = NestRefusal::none;
        std::string folder;
        std::string folder_name;
        std::string same_as;
    };

    void decide(const Decided& parent, std::string_view path, std::string_view name,
                bool* included, bool* excluded) {
        *included = parent.included ||
                    (includes && match_any(selection.include, path, name));
        *excluded = parent.excluded || match_any(selection.exclude, path, name);
    }

    // The path of an entry as handed out: through the folders of the files
    // that hold its archive.
    std::string_view full_path(const Frame& f, const Place& place, std::string& buffer) {
        if (f.level == 0) return place.path;
        buffer.assign(f.prefix);
        buffer.append(place.path);
        return buffer;
    }

    // Opens the archive file entry `e` may hold. No archive and no refusal:
    // it holds none.
    Opened open_nested(Frame& f, const Entry& e, const Place& place, std::string_view path) {
        Opened o;
        NestedOpen opened = bounds.open(f.archive, f.taken, e, place, path, marking ? mark_starts : starts,
                                        nesting->folders, rule);
        o.archive = std::move(opened.archive);
        o.status = std::move(opened.status);
        o.refusal = opened.refusal;
        o.same_as = std::move(opened.same_as);
        if (o.archive || o.refusal != NestRefusal::none) {
            o.folder.assign(path).append(".d");
            o.folder_name.assign(place.name).append(".d");
        }
        return o;
    }

    // Puts a nested archive on the path for as long as `body` runs.
    template <typename Body>
    void inside(const Frame& f, const Entry& e, const Archive& inner, Body&& body) {
        const NestBounds::Mark mark = bounds.enter(f.archive, e, inner);
        body();
        bounds.leave(mark, inner, {&starts, &mark_starts});
    }

    Frame child_frame(const Frame& f, const Opened& o, const Place& file_place, bool included,
                      bool excluded) {
        Frame child(*o.archive, o.folder + "/", file_place.depth + 1, f.level + 1);
        bool folder_included = false, folder_excluded = false;
        if (filters)
            decide(Decided{included, excluded, 0}, o.folder, o.folder_name, &folder_included,
                   &folder_excluded);
        child.inherited = Decided{folder_included, folder_excluded, 0};
        return child;
    }

    // The first pass of an --include walk: which nodes are acted on, as
    // kActed, and what each was decided, in `flags`. True when any is.
    bool mark(Frame& f, std::vector<std::uint8_t>& flags) {
        Placement placement(f.archive, rule);
        SelectionLevels levels(f.inherited);
        std::string buffer;
        bool any = false;
        Entry e;
        for (std::uint32_t k = 1; archive_entry(f.archive, k, &e); ++k) {
            const Place& place = placement.place(e);
            const std::string_view path = full_path(f, place, buffer);
            const Decided& parent = levels.enter(place);
            bool included = false, excluded = false;
            decide(parent, path, place.name, &included, &excluded);
            flags[k] = static_cast<std::uint8_t>((included ? kIncluded : 0) | (excluded ? kExcluded : 0));
            bool acted = included && !excluded;
            if (!acted && !excluded && nesting && !e.is_directory) {
                // A file leads to what its archive holds, when that is selected.
                Opened o = open_nested(f, e, place, path);
                Entry inner_first;
                if (o.archive && archive_entry(*o.archive, 1, &inner_first)) {
                    Frame child = child_frame(f, o, place, included, excluded);
                    if (!child.inherited.excluded) {
                        inside(f, e, *o.archive, [&] {
                            std::vector<std::uint8_t> inner(archive_node_count(*o.archive), 0);
                            acted = mark(child, inner);
                        });
                    }
                }
            }
            if (acted) {
                any = true;
                flags[k] |= kActed;
                // Mark the enclosing directories up to one already marked.
                for (std::size_t l = levels.levels.size(); l-- > 1 && !(flags[levels.levels[l].index] & kActed);)
                    flags[levels.levels[l].index] |= kActed;
            }
            if (e.is_directory) levels.push(k, included, excluded);
        }
        return any;
    }

    void walk(Frame& f) {
        const Archive& a = f.archive;
        Entry first;
        if (!archive_entry(a, 1, &first)) return;

        // With --include, the directories that lead to a selected entry are
        // acted on too; which ones is known only after their contents, so a
        // first pass marks them.
        std::vector<std::uint8_t> flags;
        if (includes) {
            flags.assign(archive_node_count(a), 0);
            mark_starts.clear();
            marking = true;
            mark(f, flags);
            marking = false;
        }

        // With --include the first pass has decided already; only --exclude
        // alone is decided here.
        const bool deciding = filters && !includes;
        Placement placement(a, rule, want_paths || deciding || nesting);
        SelectionLevels levels(f.inherited);
        std::string buffer;
        WalkEntry w;
        w.archive = &a;
        w.level = f.level;
        for (std::uint32_t k = 1; archive_entry(a, k, &w.entry); ++k) {
            w.place = placement.place(w.entry);
            const Place local = w.place;
            if (f.level > 0) {
                w.place.path = full_path(f, local, buffer);
                w.place.depth += f.depth_base;
            }
            const Decided& parent = levels.enter(local);
            bool included = false, excluded = false;
            if (deciding) decide(parent, w.place.path, w.place.name, &included, &excluded);
            else if (includes) {
                included = (flags[k] & kIncluded) != 0;
                excluded = (flags[k] & kExcluded) != 0;
            }
            if (w.entry.is_directory) levels.push(k, included, excluded);
            const bool acted = includes ? (flags[k] & kActed) != 0 : !excluded;
            if (!acted) continue;
            w.leading = includes && !(included && !excluded);
            if (!visit(w)) {
                if (w.entry.is_directory) placement.not_entered();
                continue;
            }
            if (nesting && !w.entry.is_directory) nest(f, w, local, included, excluded);
        }
    }

    void nest(Frame& f, const WalkEntry& w, const Place& local, bool included, bool excluded) {
        Opened o = open_nested(f, w.entry, local, w.place.path);
        if (!o.archive && o.refusal == NestRefusal::none) return;  // holds no archive
        NestedArchive info;
        info.file = &w;
        info.folder = o.folder;
        info.folder_name = o.folder_name;
        info.level = f.level + 1;
        info.archive = o.archive.get();
        info.status = o.status;
        info.refusal = o.refusal;
        info.same_as = o.same_as;
        if (o.refusal != NestRefusal::none) {
            if (nesting->refused) nesting->refused(info);
            return;
        }
        Frame child = child_frame(f, o, w.place, included, excluded);
        if (child.inherited.excluded) return;
        if (nesting->enter && !nesting->enter(info)) return;
        inside(f, w.entry, *o.archive, [&] { walk(child); });
        if (nesting->leave) nesting->leave(info);
    }
};

}  // namespace

void walk_entries(const Archive& archive, Selection& selection, const NameRule& rule,
                  const WalkVisitor& visit, bool want_paths, const WalkNesting* nesting) {
    Walker walker(selection, rule, visit, nesting, want_paths);
    walker.bounds.begin(archive);
    Walker::Frame top(archive, std::string(), 0, 0);
    walker.walk(top);
}

}  // namespace dravik
