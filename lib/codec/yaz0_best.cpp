// The longest match at every position, exactly, from suffix arrays: the
// longest match of a position with any earlier one in the window is with
// its nearest neighbours in sorted order among the window's positions, so
// with the window's positions kept as a set of sorted ranks, each position
// costs two neighbour lookups and two comparisons, whatever the data
// (runs and long repeats included).
#include "lib/codec/suffix_sort.h"
#include "lib/codec/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// Positions are coded in chunks of this many, each with its own suffix
// array over the chunk, the window before it and a match's reach after
// it: small enough for the arrays to stay in cache.
constexpr std::size_t kChunk = std::size_t{64} << 10;

// A set of ranks below n, with the neighbours of any rank in a few word
// operations: a bit per rank, and a bit per non-empty word of those.
struct RankSet {
    std::vector<std::uint64_t>& words;
    std::vector<std::uint64_t>& summary;

    void reset(std::size_t n) {
        words.assign((n + 63) / 64, 0);
        summary.assign((words.size() + 63) / 64, 0);
    }
    void insert(std::uint32_t r) {
        words[r >> 6] |= std::uint64_t{1} << (r & 63);
        summary[r >> 12] |= std::uint64_t{1} << ((r >> 6) & 63);
    }
    void erase(std::uint32_t r) {
        if ((words[r >> 6] &= ~(std::uint64_t{1} << (r & 63))) == 0)
            summary[r >> 12] &= ~(std::uint64_t{1} << ((r >> 6) & 63));
    }
    // The largest rank in the set below r, or -1.
    std::int64_t below(std::uint32_t r) const {
        std::size_t w = r >> 6;
        const std::uint64_t x = words[w] & ((std::uint64_t{1} << (r & 63)) - 1);
        if (x != 0) return static_cast<std::int64_t>((w << 6) + detail::highest_bit(x));
        std::size_t s = w >> 6;
        std::uint64_t y = summary[s] & ((std::uint64_t{1} << (w & 63)) - 1);
        while (y == 0) {
            if (s == 0) return -1;
            y = summary[--s];
        }
        w = (s << 6) + detail::highest_bit(y);
        return static_cast<std::int64_t>((w << 6) + detail::highest_bit(words[w]));
    }
    // The smallest rank in the set above r, or -1.
    std::int64_t above(std::uint32_t r) const {
        std::size_t w = r >> 6;
        const std::uint64_t x = (r & 63) == 63 ? 0 : words[w] & ~((std::uint64_t{2} << (r & 63)) - 1);
        if (x != 0) return static_cast<std::int64_t>((w << 6) + detail::lowest_bit(x));
        std::size_t s = w >> 6;
        std::uint64_t y = (w & 63) == 63 ? 0 : summary[s] & ~((std::uint64_t{2} << (w & 63)) - 1);
        while (y == 0) {
            if (++s == summary.size()) return -1;
            y = summary[s];
        }
        w = (s << 6) + detail::lowest_bit(y);
        return static_cast<std::int64_t>((w << 6) + detail::lowest_bit(words[w]));
    }
};

}  // namespace

void find_longest(const std::uint8_t* buf, std::size_t start, std::size_t total, ExactState& state,
                  Match* matches) {
    RankSet window{state.words, state.summary};
    Match known;  // the previous position's match, one shorter
    for (std::size_t c0 = start; c0 < total; c0 += kChunk) {
        const std::size_t c1 = std::min(total, c0 + kChunk);
        const std::size_t h0 = c0 - std::min<std::size_t>(kWindow, c0);
        const std::size_t n = std::min(total, c1 + kMaxMatch) - h0;
        state.sa.resize(n);
        state.rank.resize(n);
        std::int32_t* sa = state.sa.data();
        std::int32_t* rank = state.rank.data();
        suffix_sort(buf + h0, static_cast<std::int32_t>(n), sa);
        for (std::size_t i = 0; i < n; ++i) rank[sa[i]] = static_cast<std::int32_t>(i);
        window.reset(n);
        for (std::size_t p = h0; p < c1; ++p) {
            const std::uint32_t r = static_cast<std::uint32_t>(rank[p - h0]);
            if (p >= c0) {
                const std::uint32_t limit = limit_at(p, total);
                Match best;
                if (known.length != 0) --known.length;
                if (limit >= kMinMatch && known.length < limit) {
                    const std::uint8_t* s = buf + p;
                    for (const std::int64_t neighbour : {window.below(r), window.above(r)}) {
                        if (neighbour < 0) continue;
                        const std::uint32_t distance =
                            static_cast<std::uint32_t>(p - h0 - static_cast<std::size_t>(sa[neighbour]));
                        const std::uint32_t from = distance == known.distance ? known.length : 0;
                        const std::uint32_t length = from + common_length(s + from, s + from - distance, limit - from);
                        if (length > best.length || (length == best.length && distance < best.distance))
                            best = {static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(distance)};
                    }
                    if (best.length < kMinMatch) best = Match{};
                } else if (limit >= kMinMatch) {
                    best = known;  // as long as the limit allows
                }
                matches[p - start] = best;
                known = best;
            }
            window.insert(r);
            if (p - h0 >= kWindow) window.erase(static_cast<std::uint32_t>(rank[p - h0 - kWindow]));
        }
    }
}

}  // namespace dravik::yaz0
