// The one walk over an archive's entries. It places each entry where
// unpacking puts it (dravik/archive.h's Placement, with this platform's
// name rule), applies the selection, and hands every entry acted on to
// whatever the run asked for: the text listing, the JSON listing, the
// unpacker or the copier to standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "dravik/archive.h"
#include "program/select.h"

namespace dravik {

struct WalkEntry {
    Entry entry;  // the stored words, node 1's included
    Place place;  // where it lands; place.path is empty when paths were not asked for
};

// What the visitor tells back about a directory it was handed: false when
// it could not enter it on disk, so that the entries inside go, and are
// named as going, to the enclosing folder.
using WalkVisitor = std::function<bool(const WalkEntry&)>;

// This platform's rule for names a folder can hold, as far as it can be
// told without looking at the folder.
NameRule platform_name_rule();

// Visits, in table order, every entry that `selection` lets through, plus
// the directories that lead to an included entry. Marks the patterns that
// matched something. Without `want_paths` an entry's path may be left empty.
void walk_entries(const Archive& archive, Selection& selection, const WalkVisitor& visit,
                  bool want_paths = true);

}  // namespace dravik
