#include "archive/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// How far `fast` looks. A search walks at most kFastDepth places of its
// 4-byte hash chain, the one-byte-later search that decides whether to wait
// kLazyDepth places. Inside a match longer than kRecordAll only its first
// and last kRecordEnds positions go into the tables: long matches are runs
// and long repeats, whose every position would crowd the chains with one
// pattern and cost an insertion each. All four are the least that keeps the
// benchmark's inputs (archive-like data and real archives) within 3 % of
// the minimum.
constexpr unsigned kFastDepth = 64;
constexpr unsigned kLazyDepth = 32;
constexpr std::uint32_t kRecordAll = 128;
constexpr std::uint32_t kRecordEnds = 16;

// Table sizes: the chains' heads and the most recent place of each 3-byte
// hash. The window holds 4096 positions, so these are mostly sparse.
constexpr unsigned kChainBits = 14;
constexpr unsigned kThreeBits = 12;

// The bytes in a fixed order, so that the hashes (and so the output) do not
// depend on the machine's byte order.
inline std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// Hash chains over the window keyed by 4 bytes, so that a common 3-byte
// prefix (zeros, float tables) does not fill every chain with places that
// match for 3 bytes only; matches of just 3 bytes come from a table of the
// most recent place per 3-byte hash. A position needs 4 bytes to its end
// to join a chain, 3 to join the small table.
struct ChainFinder {
    std::uint32_t* head;
    std::uint32_t* prev;
    std::uint32_t* threes;
    const std::uint8_t* buf;
    std::size_t total;

    static ChainFinder reset(FastState& state, const std::uint8_t* buf, std::size_t total) {
        state.head.assign(std::size_t{1} << kChainBits, 0);
        state.three.assign(std::size_t{1} << kThreeBits, 0);
        state.prev.resize(kSlots);
        return ChainFinder{state.head.data(), state.prev.data(), state.three.data(), buf, total};
    }
    std::uint32_t& three_slot(std::uint32_t v) {
        return threes[((v & 0xFFFFFFu) * 2654435761u) >> (32 - kThreeBits)];
    }
    // Records position p; returns the first place of its chain and, in
    // `three`, the last place with its 3-byte hash (0 for none).
    std::uint32_t insert(std::size_t p, std::uint32_t& three) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint8_t* s = buf + p;
        if (p + 4 > total) {
            std::uint32_t& t = three_slot(std::uint32_t{s[0]} | (std::uint32_t{s[1]} << 8) | (std::uint32_t{s[2]} << 16));
            three = t;
            t = cur;
            return 0;
        }
        const std::uint32_t v = read32(s);
        std::uint32_t& t = three_slot(v);
        three = t;
        t = cur;
        std::uint32_t& h = head[(v * 2654435761u) >> (32 - kChainBits)];
        const std::uint32_t first = h;
        prev[cur & kSlotMask] = first;
        h = cur;
        return first;
    }
    // Records p and returns the longest match among `known` (a match p is
    // known to have at least, extended past what is known; distance 0 for
    // none), the distances of the last two matches, the first `depth`
    // places of the chain and, when nothing of 4 bytes turned up, the last
    // place with the same 3-byte hash.
    //
    // Only matches longer than `floor` (at least 2) count; with none, the
    // result has length 0.
    Match find(std::size_t p, unsigned depth, Match known, const std::uint16_t* last, std::uint32_t floor) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint32_t limit = limit_at(p, total);
        std::uint32_t three;
        std::uint32_t m = insert(p, three);
        const std::uint8_t* s = buf + p;
        Match best;
        std::uint32_t best_length = floor;
        if (best_length >= limit) return best;
        // Tries the match at `delta`, of which `from` bytes are known to
        // agree; true once nothing longer can be found.
        const auto consider = [&](std::uint32_t delta, std::uint32_t from) {
            const std::uint8_t* t = s - delta;
            if (t[best_length] != s[best_length]) return false;
            const std::uint32_t n = from + common_length(s + from, t + from, limit - from);
            if (n <= best_length) return false;
            best_length = n;
            best = {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(delta)};
            return n == limit;
        };
        if (known.distance != 0 && known.distance <= p && consider(known.distance, known.length)) return best;
        for (unsigned i = 0; i < 2; ++i)
            if (last[i] != 0 && last[i] <= p && last[i] != known.distance && consider(last[i], 0)) return best;
        for (; depth != 0 && m != 0; --depth) {
            const std::uint32_t delta = cur - m;
            if (delta > kWindow) break;
            if (consider(delta, 0)) return best;
            m = prev[m & kSlotMask];
        }
        if (best_length < 4 && three != 0 && cur - three <= kWindow) consider(cur - three, 0);
        return best;
    }
};

}  // namespace

// Greedy parsing with one step of lookahead: a match is put off by a byte
// when the next position has a longer one. The distances of the last two
// matches are always candidates too: repeats with small changes (pixel
// rows, tables) resume at one of them after each change.
void code_fast(const std::uint8_t* buf, std::size_t start, std::size_t total, FastState& state, Tokens& out) {
    ChainFinder chain = ChainFinder::reset(state, buf, total);
    std::uint32_t ignored;
    for (std::size_t p = 0; p < start && p + kMinMatch <= total; ++p) chain.insert(p, ignored);
    std::size_t p = start;
    std::uint16_t last[2] = {0, 0};  // distances of the last two matches, newest first
    while (p + kMinMatch <= total) {
        Match m = chain.find(p, kFastDepth, Match{}, last, kMinMatch - 1);
        if (m.length < kMinMatch) {
            out.literal(buf[p++]);
            continue;
        }
        std::size_t recorded = p + 1;  // the first position not yet in the tables
        while (m.length < kMaxMatch && p + 1 + kMinMatch <= total) {
            const Match next = chain.find(p + 1, kLazyDepth,
                                          Match{static_cast<std::uint16_t>(m.length - 1), m.distance}, last, m.length);
            recorded = p + 2;
            if (next.length == 0) break;
            out.literal(buf[p++]);
            m = next;
        }
        out.match(m.distance, m.length);
        if (m.distance != last[0]) {
            last[1] = last[0];
            last[0] = m.distance;
        }
        const std::size_t end = p + m.length;
        const std::size_t stop = std::min(end, total - (kMinMatch - 1));
        if (m.length <= kRecordAll) {
            for (std::size_t q = recorded; q < stop; ++q) chain.insert(q, ignored);
        } else {
            for (std::size_t q = recorded; q < std::min(stop, p + kRecordEnds); ++q) chain.insert(q, ignored);
            for (std::size_t q = std::max(recorded, end - kRecordEnds); q < stop; ++q) chain.insert(q, ignored);
        }
        p = end;
    }
    while (p < total) out.literal(buf[p++]);
}

}  // namespace dravik::yaz0
