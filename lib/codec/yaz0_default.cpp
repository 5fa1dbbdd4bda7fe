// The `default` level's match finder: a binary tree of the window's
// suffixes per 3-byte hash, searched to a capped depth. The optimal parse
// that turns its matches into tokens is shared with `best`
// (yaz0_encode.cpp).
#include <algorithm>

#include "lib/codec/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// How far `standard` looks: it searches the tree at most this many nodes
// deep, and once the previous position's match, one shorter, is
// kStandardNice long, takes it as far as it goes without a search, but for
// every kStandardProbe-th position, which joins the tree and looks there for
// a longer match at another distance: a long match often has one starting
// inside it, which the cheapest path switches to. Measured on the
// corpus, slices of it and generated data (bench/yaz0_peer_bench.py).
constexpr unsigned kStandardSteps = 128;
constexpr std::uint32_t kStandardNice = 96;
constexpr std::size_t kStandardProbe = 16;
// A probe's search goes deeper: a search cut short drops the tree below it,
// and on data with many long repeats (periods of a few KiB) 128 nodes drop
// the places later positions need (+12 % over the minimum on a 3000-byte
// stretch repeated).
constexpr unsigned kProbeSteps = 1024;

constexpr unsigned kHashBits = 16;

std::uint32_t hash3(const std::uint8_t* p) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
}

// A binary tree of the window's suffixes per hash, rebuilt around each new
// position as it is inserted (the new position becomes the root and the old
// tree is split along the search path). The search passes both neighbours
// of the new suffix in sorted order, so it finds the longest match there is.
// Every node is newer than the nodes below it, so the first node out of the
// window ends the search with nothing in the window lost. A node that
// matches the new suffix to the limit is replaced by it, which keeps runs
// and long repeats at a few steps per position.
struct TreeFinder {
    std::vector<std::uint32_t>& head;
    std::vector<std::uint32_t>& son;  // two per slot: smaller, larger

    explicit TreeFinder(TreeState& state) : head(state.head), son(state.son) {
        head.assign(std::size_t{1} << kHashBits, 0);
        son.resize(2 * kSlots);
    }
    // Inserts position p; `limit` (at least 3) is the most that may be taken
    // there. Limits never grow from one position to the next. `known` is a
    // match that p is known to have (the previous position's, one shorter):
    // comparing with that node starts past it, which on runs and long
    // repeats saves comparing up to 273 bytes again at every position.
    //
    // With `steps` the search gives up after that many nodes, dropping what
    // is below (a smaller tree, still a sorted one); ~0u never gives up.
    Match insert(const std::uint8_t* buf, std::uint32_t p, std::uint32_t limit, Match known,
                 unsigned steps = ~0u) {
        const std::uint32_t cur = p + kBias;
        std::uint32_t& h = head[hash3(buf + p)];
        std::uint32_t m = h;
        h = cur;
        std::uint32_t* smaller = &son[(cur & kSlotMask) << 1];
        std::uint32_t* larger = smaller + 1;
        std::uint32_t len_smaller = 0, len_larger = 0;
        const std::uint8_t* s = buf + p;
        Match best;
        for (;;) {
            const std::uint32_t delta = cur - m;
            if (delta > kWindow || steps-- == 0) {
                *smaller = *larger = 0;
                break;
            }
            std::uint32_t* pair = &son[(m & kSlotMask) << 1];
            const std::uint8_t* t = s - delta;
            std::uint32_t len = std::min(len_smaller, len_larger);
            if (delta == known.distance && known.length > len) len = known.length;
            if (len < limit && t[len] == s[len]) len += 1 + common_length(s + len + 1, t + len + 1, limit - len - 1);
            if (len > best.length)
                best = {static_cast<std::uint16_t>(len), static_cast<std::uint16_t>(delta)};
            if (len == limit) {
                *smaller = pair[0];
                *larger = pair[1];
                break;
            }
            if (t[len] < s[len]) {
                *smaller = m;
                smaller = pair + 1;
                m = *smaller;
                len_smaller = len;
            } else {
                *larger = m;
                larger = pair;
                m = *larger;
                len_larger = len;
            }
        }
        if (best.length < kMinMatch) best = Match{};
        return best;
    }
};

// `standard`'s match at every position of buf[start, total), positions
// before `start` serving as history. It searches the tree at most `steps`
// nodes deep, and once the previous position's match, one shorter, is
// `nice` long, takes it as far as it extends and leaves the position out of
// the tree (but for every kStandardProbe-th one): long matches
// are where the time goes on repetitive data, and where a shorter choice
// costs least.
void find_matches(const std::uint8_t* buf, std::size_t start, std::size_t total, TreeFinder& tree,
                  Match* matches, std::uint32_t nice, unsigned steps) {
    Match known;
    for (std::size_t p = 0; p < total; ++p) {
        const std::uint32_t limit = limit_at(p, total);
        Match m;
        if (limit >= kMinMatch) {
            if (known.length != 0) --known.length;
            if (known.length >= nice) {
                // The known match as far as it goes; every kStandardProbe-th
                // position also joins the tree, looking for a longer one at
                // another distance.
                const std::uint8_t* s = buf + p;
                m = {static_cast<std::uint16_t>(known.length + common_length(s + known.length,
                                                 s + known.length - known.distance, limit - known.length)),
                     known.distance};
                if (p % kStandardProbe == 0) {
                    const Match other = tree.insert(buf, static_cast<std::uint32_t>(p), limit, m, kProbeSteps);
                    if (other.length > m.length) m = other;
                }
            } else {
                m = tree.insert(buf, static_cast<std::uint32_t>(p), limit, known, steps);
                // A capped search can miss the match the position is known
                // to have; the parse relies on never losing it.
                if (m.length < known.length) m = known;
            }
        }
        if (p >= start) matches[p - start] = m;
        known = m;
    }
}

}  // namespace

void find_default(const std::uint8_t* buf, std::size_t start, std::size_t total, TreeState& state,
                  Match* matches) {
    TreeFinder tree(state);
    find_matches(buf, start, total, tree, matches, kStandardNice, kStandardSteps);
}

}  // namespace dravik::yaz0
