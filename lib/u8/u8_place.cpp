// Where unpacking puts each entry: the one rule that the unpacker, the
// listing's paths, selection patterns and the like-layout's mapping share,
// so that a path said to be unpacked is exactly where the file is.
#include <string>
#include <vector>

#include "lib/u8/u8_format.h"
#include "lib/u8/u8_read.h"

namespace dravik {

struct Placement::State {
    struct Level {
        std::uint32_t end = 0;          // first node index past this directory's contents
        std::size_t path_length = 0;    // its entries' paths start with this much of `path`
        std::uint32_t depth = 0;        // folders below the destination its entries land in
        std::uint32_t folder = 0;       // the directory whose folder they land in
    };
    std::vector<Level> levels;
    std::string path;
    std::uint32_t root_directories = 0;
    NameRule rule;
    bool build = true;
    bool last_was_entered_directory = false;
    Place place;
};

Placement::Placement(const Archive& archive, NameRule rule, bool build_paths)
    : state_(std::make_unique<State>()) {
    state_->levels.push_back(State::Level{archive.walked, 0, 0, 0});
    state_->root_directories = archive.root_directories;
    state_->rule = std::move(rule);
    state_->build = build_paths;
}

Placement::~Placement() = default;

const Place& Placement::place(const Entry& entry) {
    State& s = *state_;
    while (s.levels.size() > 1 && entry.index >= s.levels.back().end) s.levels.pop_back();
    // Copied: pushing this entry's level below may move the vector.
    const State::Level parent = s.levels.back();

    // A root folder is "arc" when it is alone, or when its own name could
    // not be a folder name; side by side, root folders keep their names so
    // that folders holding the same relative paths never merge.
    const char* name = entry.name;
    const bool root_folder = entry.is_directory && (entry.index == 1 || entry.parent == 0);
    if (root_folder && (s.root_directories <= 1 || !name_is_safe(name)))
        name = u8::kRootDirectoryName;
    const bool placeable = name_is_safe(name) && (!s.rule || s.rule(name));

    if (s.build) {
        s.path.resize(parent.path_length);
        s.path += name;
    }
    const std::size_t path_length = s.path.size();
    s.place.name = name;
    s.place.nesting = static_cast<std::uint32_t>(s.levels.size() - 1);
    s.place.depth = parent.depth;
    s.place.folder = parent.folder;
    s.place.placeable = placeable;
    s.last_was_entered_directory = false;
    if (entry.is_directory) {
        // An end that cannot be right (not past the directory itself, or past
        // the enclosing directory's end) is the enclosing directory's end.
        std::uint32_t end = entry.end;
        if (end <= entry.index || end > parent.end) end = parent.end;
        State::Level level{end, parent.path_length, parent.depth, parent.folder};
        if (placeable) {
            level.path_length = s.path.size() + 1;
            level.depth = parent.depth + 1;
            level.folder = entry.index;
            if (s.build) s.path += '/';
            s.last_was_entered_directory = true;
        }
        s.levels.push_back(level);
    }
    s.place.path = std::string_view(s.path.data(), s.build ? path_length : 0);
    return s.place;
}

void Placement::not_entered() {
    State& s = *state_;
    if (!s.last_was_entered_directory) return;
    State::Level& level = s.levels.back();
    const State::Level& parent = s.levels[s.levels.size() - 2];
    level.path_length = parent.path_length;
    level.depth = parent.depth;
    level.folder = parent.folder;
    s.last_was_entered_directory = false;
}

}  // namespace dravik
