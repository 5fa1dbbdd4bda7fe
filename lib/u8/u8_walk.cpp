// The walk every mode shares: Placement for where each entry lands, the
// selection for which ones are acted on.
#include <string>
#include <vector>

#include "dravik/archive.h"

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
    std::vector<Decided> levels{Decided{}};

    const Decided& enter(const Place& place) {
        levels.resize(place.nesting + 1);
        return levels.back();
    }
    void push(std::uint32_t index, bool included, bool excluded) {
        levels.push_back(Decided{included, excluded, index});
    }
};

}  // namespace

void walk_entries(const Archive& archive, Selection& selection, const NameRule& rule,
                  const WalkVisitor& visit, bool want_paths) {
    Entry probe;
    if (!archive_entry(archive, 1, &probe)) return;
    const std::uint32_t n = archive_node_count(archive);
    const bool filters = selection_filters(selection);
    const bool includes = !selection.include.empty();

    // Whether an entry is selected on its own: its path or name matches,
    // or a directory above it was matched.
    auto decide = [&selection, includes](const Decided& parent, const Place& place, bool* included,
                                         bool* excluded) {
        *included = parent.included || (includes && match_any(selection.include, place.path, place.name));
        *excluded = parent.excluded || match_any(selection.exclude, place.path, place.name);
    };

    // With --include, the directories that lead to a selected entry are
    // acted on too; which ones is known only after their contents, so a
    // first pass marks them.
    std::vector<std::uint8_t> act;
    if (includes) {
        act.assign(n, 0);
        Placement placement(archive, rule);
        SelectionLevels levels;
        Entry e;
        for (std::uint32_t k = 1; archive_entry(archive, k, &e); ++k) {
            const Place& place = placement.place(e);
            const Decided& parent = levels.enter(place);
            bool included = false, excluded = false;
            decide(parent, place, &included, &excluded);
            if (included && !excluded) {
                act[k] = 1;
                // Mark the enclosing directories up to one already marked.
                for (std::size_t l = levels.levels.size(); l-- > 1 && !act[levels.levels[l].index];)
                    act[levels.levels[l].index] = 1;
            }
            if (e.is_directory) levels.push(k, included, excluded);
        }
    }

    // With --include the first pass has decided already; only --exclude
    // alone is decided here.
    const bool deciding = filters && !includes;
    Placement placement(archive, rule, want_paths || deciding);
    SelectionLevels levels;
    WalkEntry w;
    for (std::uint32_t k = 1; archive_entry(archive, k, &w.entry); ++k) {
        w.place = placement.place(w.entry);
        const Decided& parent = levels.enter(w.place);
        bool included = false, excluded = false;
        if (deciding) decide(parent, w.place, &included, &excluded);
        if (w.entry.is_directory) levels.push(k, included, excluded);
        const bool acted = includes ? act[k] != 0 : !excluded;
        if (!acted) continue;
        if (!visit(w) && w.entry.is_directory) placement.not_entered();
    }
}

}  // namespace dravik
