#include "archive/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// How far `fast` looks: it walks at most this many places with the same
// hash, the least that keeps the benchmark's inputs (archive-like data and
// real archives) within 3 % of the minimum.
constexpr unsigned kFastDepth = 96;

// Hash chains over the window: cheap to update, a capped search.
struct ChainFinder {
    std::vector<std::uint32_t>& head;
    std::vector<std::uint32_t>& prev;

    void reset() {
        head.assign(std::size_t{1} << kHashBits, 0);
        prev.resize(kSlots);
    }
    // Records position p (which needs 3 bytes) and returns its slot's chain.
    std::uint32_t insert(const std::uint8_t* buf, std::uint32_t p) {
        const std::uint32_t cur = p + kBias;
        std::uint32_t& h = head[hash3(buf + p)];
        const std::uint32_t first = h;
        prev[cur & kSlotMask] = first;
        h = cur;
        return first;
    }
    // Records p and returns the longest match among `known` (a match p is
    // known to have at least, tried first and extended; distance 0 for
    // none) and the first `depth` candidates of the chain. `limit` (at
    // least 3) is the most that may be taken.
    Match find(const std::uint8_t* buf, std::uint32_t p, std::uint32_t limit, unsigned depth, Match known) {
        const std::uint32_t cur = p + kBias;
        std::uint32_t m = insert(buf, p);
        const std::uint8_t* s = buf + p;
        Match best;
        std::uint32_t best_length = kMinMatch - 1;
        if (known.distance != 0 && known.distance <= p) {
            const std::uint8_t* t = s - known.distance;
            const std::uint32_t n = known.length + common_length(s + known.length, t + known.length, limit - known.length);
            if (n > best_length) {
                best_length = n;
                best = {static_cast<std::uint16_t>(n), known.distance};
                if (n == limit) return best;
            }
        }
        for (; depth != 0; --depth) {
            const std::uint32_t delta = cur - m;
            if (delta > kWindow) break;
            const std::uint8_t* t = s - delta;
            if (t[best_length] == s[best_length]) {
                const std::uint32_t n = common_length(s, t, limit);
                if (n > best_length) {
                    best_length = n;
                    best = {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(delta)};
                    if (n == limit) break;
                }
            }
            m = prev[m & kSlotMask];
        }
        return best;
    }
};

// Greedy parsing with one step of lookahead: a match is put off by a byte
// when the next position has one at least two bytes longer. Candidates come
// from the hash chains, every position recorded. The distance of the last
// match is always a candidate too: repeats with small changes (pixel rows,
// tables) resume at it after each change.
}  // namespace

void code_fast(const std::uint8_t* buf, std::size_t start, std::size_t total, FastState& state, Tokens& out) {
    ChainFinder chain{state.head, state.prev};
    chain.reset();
    for (std::size_t p = 0; p < start && p + kMinMatch <= total; ++p)
        chain.insert(buf, static_cast<std::uint32_t>(p));
    std::size_t p = start;
    std::uint16_t last = 0;  // distance of the last match
    while (p + kMinMatch <= total) {
        Match m = chain.find(buf, static_cast<std::uint32_t>(p), limit_at(p, total), kFastDepth, Match{0, last});
        if (m.length < kMinMatch) {
            out.literal(buf[p++]);
            continue;
        }
        std::size_t recorded = p + 1;  // the first position not yet in the chains
        while (m.length < kMaxMatch && p + 1 + kMinMatch <= total) {
            const Match next = chain.find(buf, static_cast<std::uint32_t>(p + 1), limit_at(p + 1, total),
                                          kFastDepth, Match{static_cast<std::uint16_t>(m.length - 1), m.distance});
            recorded = p + 2;
            if (next.length < m.length + 2) break;
            out.literal(buf[p++]);
            m = next;
        }
        out.match(m.distance, m.length);
        last = m.distance;
        const std::size_t end = p + m.length;
        for (std::size_t q = recorded; q < end && q + kMinMatch <= total; ++q)
            chain.insert(buf, static_cast<std::uint32_t>(q));
        p = end;
    }
    while (p < total) out.literal(buf[p++]);
}


}  // namespace dravik::yaz0
