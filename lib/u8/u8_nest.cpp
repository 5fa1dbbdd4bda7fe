// Opening archives inside archives within the bounds: depth, an archive
// inside itself, shared bytes, the decoding budget and the machine's
// memory. The walk goes down everywhere; NestedOpener goes down where a
// caller's paths lead; both open through NestBounds.
#include "lib/u8/u8_nest.h"

#include <algorithm>

namespace dravik {

namespace {

ByteRange range_of(const Source& source, std::uint64_t offset, std::uint64_t size) {
    if (const std::uint8_t* bytes = source_bytes(source)) {
        const auto at = reinterpret_cast<std::uintptr_t>(bytes) + offset;
        return ByteRange{0, at, at + size};
    }
    const std::uint64_t at = source.base + offset;
    return ByteRange{source.reader ? 2 : 1, at, at + size};
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The smallest carrier (a bare LZ77 stream of a short archive) is longer.
constexpr std::uint32_t kMinNestedSize = 8;

}  // namespace

bool TakenFolders::taken(const Archive& archive, const NameRule& rule, std::string_view local_folder) {
    if (!known) {
        known = true;
        Placement placement(archive, rule);
        Entry e;
        for (std::uint32_t k = 1; archive_entry(archive, k, &e); ++k) {
            const Place& place = placement.place(e);
            const std::string_view name = place.name;
            if (name.size() >= 2 && name[name.size() - 2] == '.' && (name.back() == 'd' || name.back() == 'D'))
                paths.insert(lowered(place.path));
        }
    }
    return paths.count(lowered(local_folder)) != 0;
}

void NestBounds::begin(const Archive& outermost) {
    open_.assign(1, range_of(outermost.source, 0, archive_size(outermost)));
    held_ = source_memory_held(outermost.source);
    used_ = static_cast<std::uint32_t>(archive_carriers(outermost).size()) + 1;
    decoded_ = 0;
}

NestedOpen NestBounds::open(const Archive& a, TakenFolders& taken, const Entry& e, const Place& place,
                            std::string_view path, Seen& seen, bool folders, const NameRule& rule) {
    NestedOpen o;
    if (e.is_directory || (folders && !place.placeable) || e.data_size < kMinNestedSize ||
        std::uint64_t{e.data_offset} + e.data_size > archive_size(a))
        return o;
    const ByteRange bytes = range_of(a.source, e.data_offset, e.data_size);
    if (std::find(open_.begin(), open_.end(), bytes) != open_.end()) {
        o.refusal = NestRefusal::nested_in_itself;
        return o;
    }
    const Start start{bytes.space, bytes.begin};
    const auto first = seen.find(start);
    if (first != seen.end()) {
        o.refusal = NestRefusal::shared;
        o.same_as = first->second;
        return o;
    }
    // At the limit only a bare archive could still be opened: carriers are
    // refused as too deep, and so is an archive that needs a level.
    const std::uint32_t remaining = used_ < kMaxNesting ? kMaxNesting - used_ : 0;
    PeelOptions peel;
    peel.max_carriers = remaining <= 1 ? 0
                        : remaining - 1 < static_cast<std::uint32_t>(kMaxCarriers)
                            ? static_cast<int>(remaining - 1)
                            : kMaxCarriers;
    peel.held_elsewhere = held_;
    peel.decode_budget = kMaxNestedDecoded - decoded_;
    o.archive = open_entry(a, e, &peel, &o.status);
    decoded_ += peel.decoded;
    if (!o.archive) {
        if (peel.too_deep) o.refusal = NestRefusal::too_deep;
        else if (peel.over_budget) o.refusal = NestRefusal::over_budget;
        else if (o.status.error != OpenError::not_an_archive) o.refusal = NestRefusal::cannot_open;
        return o;
    }
    NestRefusal refusal = NestRefusal::none;
    const ByteRange inner = range_of(o.archive->source, 0, archive_size(*o.archive));
    const std::string folder_name = std::string(place.name ? place.name : "") + ".d";
    if (remaining < 1 + archive_carriers(*o.archive).size()) {
        refusal = NestRefusal::too_deep;
    } else if (std::find(open_.begin(), open_.end(), inner) != open_.end()) {
        refusal = NestRefusal::nested_in_itself;
    } else if (folders && (!name_is_safe(folder_name.c_str()) || (rule && !rule(folder_name.c_str())) ||
                           taken.taken(a, rule, std::string(place.path) + ".d"))) {
        refusal = NestRefusal::folder_taken;
    }
    if (refusal != NestRefusal::none) {
        o.archive.reset();
        o.refusal = refusal;
    } else {
        seen.emplace(start, std::string(path));
    }
    return o;
}

NestBounds::Mark NestBounds::enter(const Archive& outer, const Entry& e, const Archive& inner) {
    const Mark mark{open_.size(), held_, used_};
    open_.push_back(range_of(outer.source, e.data_offset, e.data_size));
    open_.push_back(range_of(inner.source, 0, archive_size(inner)));
    held_ += source_memory_held(inner.source);
    used_ += static_cast<std::uint32_t>(archive_carriers(inner).size()) + 1;
    return mark;
}

void NestBounds::leave(const Mark& mark, const Archive& inner, std::initializer_list<Seen*> seen) {
    open_.resize(mark.open);
    held_ = mark.held;
    used_ = mark.used;
    if (inner.source.owned.data) {
        const auto from = reinterpret_cast<std::uintptr_t>(inner.source.owned.data);
        for (Seen* s : seen)
            s->erase(s->lower_bound(Start{0, from}), s->lower_bound(Start{0, from + inner.source.owned.size}));
    }
}

struct NestedOpener::State {
    NameRule rule;
    NestBounds bounds;
    NestBounds::Seen seen;
    struct Level {
        const Archive* archive;
        TakenFolders taken;
        NestBounds::Mark mark;
    };
    std::vector<Level> levels;
};

NestedOpener::NestedOpener(const Archive& outermost, NameRule rule) : state_(std::make_unique<State>()) {
    state_->rule = std::move(rule);
    state_->bounds.begin(outermost);
    state_->levels.push_back(State::Level{&outermost, {}, {}});
}

NestedOpener::~NestedOpener() = default;

NestedOpen NestedOpener::open(const Entry& entry, const Place& place, std::string_view path) {
    State& s = *state_;
    State::Level& level = s.levels.back();
    return s.bounds.open(*level.archive, level.taken, entry, place, path, s.seen, true, s.rule);
}

void NestedOpener::enter(const Entry& entry, const Archive& inner) {
    State& s = *state_;
    const NestBounds::Mark mark = s.bounds.enter(*s.levels.back().archive, entry, inner);
    s.levels.push_back(State::Level{&inner, {}, mark});
}

void NestedOpener::leave() {
    State& s = *state_;
    if (s.levels.size() <= 1) return;
    s.bounds.leave(s.levels.back().mark, *s.levels.back().archive, {&s.seen});
    s.levels.pop_back();
}

std::size_t NestedOpener::depth() const { return state_->levels.size() - 1; }

}  // namespace dravik
