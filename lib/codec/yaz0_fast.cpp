#include "lib/codec/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// How far `fast` looks. A search walks at most kLongDepth places of the
// chain keyed by 8 bytes and, when that found nothing of 8 bytes,
// kShortDepth places of the chain keyed by 4; the search one byte later,
// which decides whether to wait, walks kLazyDepth places of each. Inside a
// match longer than kRecordAll only its first and last kRecordEnds
// positions go into the tables: long matches are runs and long repeats,
// whose every position would crowd the chains with one pattern and cost an
// insertion each. The depths are the least that keep every input of
// bench/yaz0_peer_bench.py (the corpus, slices of it and generated data)
// within 4 % of the minimum: with kLongDepth 64 a 64 KiB slice of
// RaceAssets is 4.1 % over (3.8 % now), for 2 % fewer instructions.
constexpr unsigned kLongDepth = 128;
constexpr unsigned kShortDepth = 16;
constexpr unsigned kLazyDepth = 8;
constexpr std::uint32_t kRecordAll = 128;
constexpr std::uint32_t kRecordEnds = 16;

// Table sizes: the chains' heads and the most recent place of each 3-byte
// hash. The window holds 4096 positions, so these are mostly sparse.
constexpr unsigned kChainBits = 14;
constexpr unsigned kThreeBits = 16;  // smaller tables lose 3-byte matches to collisions

// Four bytes as a little-endian number, so that the hashes (and so the
// output) do not depend on the machine's byte order. One load where the
// machine is little-endian (the test folds to a constant).
inline std::uint32_t read32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if (detail::little_endian()) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
inline std::uint64_t read64(const std::uint8_t* p) {
    return std::uint64_t{read32(p)} | (std::uint64_t{read32(p + 4)} << 32);
}

// One hash chain over the window: the newest place per hash, and for each
// place the one before it with the same hash.
struct Chain {
    std::uint32_t* head;
    std::uint32_t* prev;

    // Records cur in the chain of `hash`; returns the place before it.
    std::uint32_t push(std::uint32_t hash, std::uint32_t cur) {
        const std::uint32_t first = head[hash];
        prev[cur & kSlotMask] = first;
        head[hash] = cur;
        return first;
    }
};

// Two hash chains, keyed by 8 bytes and by 4, and the most recent place of
// each 3-byte hash. Long matches come from the 8-byte chain, whose places
// share a longer prefix than a 4-byte chain's (zeros, float tables and
// words share short ones), so a few steps reach far back; the 4-byte chain
// gives matches of 4 to 7 bytes, the small table those of 3. A position
// joins each table when it has as many bytes to the end as its key.
struct Finder {
    Chain longs;
    Chain shorts;
    std::uint32_t* threes;
    const std::uint8_t* buf;
    std::size_t total;

    static Finder reset(FastState& state, const std::uint8_t* buf, std::size_t total) {
        state.long_head.assign(std::size_t{1} << kChainBits, 0);
        state.short_head.assign(std::size_t{1} << kChainBits, 0);
        state.three.assign(std::size_t{1} << kThreeBits, 0);
        state.long_prev.resize(kSlots);
        state.short_prev.resize(kSlots);
        return Finder{{state.long_head.data(), state.long_prev.data()},
                      {state.short_head.data(), state.short_prev.data()},
                      state.three.data(), buf, total};
    }

    // The first places of p's chains and its 3-byte hash before p (0 for
    // none).
    struct Firsts {
        std::uint32_t eight = 0, four = 0, three = 0;
    };

    // Records position p (3 bytes to the end at least).
    Firsts insert(std::size_t p) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint8_t* s = buf + p;
        Firsts f;
        std::uint32_t v;
        if (p + 4 <= total) {
            v = read32(s);
            f.four = shorts.push((v * 2654435761u) >> (32 - kChainBits), cur);
            if (p + 8 <= total)
                f.eight = longs.push(static_cast<std::uint32_t>((read64(s) * 0x9E3779B97F4A7C15ull) >> (64 - kChainBits)), cur);
        } else {
            v = std::uint32_t{s[0]} | (std::uint32_t{s[1]} << 8) | (std::uint32_t{s[2]} << 16);
        }
        std::uint32_t& t = threes[((v & 0xFFFFFFu) * 2654435761u) >> (32 - kThreeBits)];
        f.three = t;
        t = cur;
        return f;
    }

    // Records p and returns the longest match among `known` (a match p is
    // known to have at least, extended past what is known; distance 0 for
    // none), the distances of the last two matches, the first `long_depth`
    // places of the 8-byte chain and, when nothing of 8 bytes turned up
    // (or p is too near the end to be in it), the first `short_depth`
    // places of the 4-byte chain and then, for want of 4 bytes, the last
    // place with the same 3-byte hash. Only matches longer than `floor` (at
    // least 2) count; with none, the result has length 0.
    Match find(std::size_t p, Match known, const std::uint16_t* last, std::uint32_t floor, unsigned long_depth,
               unsigned short_depth) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint32_t limit = limit_at(p, total);
        const Firsts f = insert(p);
        const std::uint8_t* s = buf + p;
        Match best;
        std::uint32_t best_length = floor;
        if (best_length >= limit) return best;
        // Tries the match at `delta`, of which `from` bytes are known to
        // agree; true once nothing longer can be found. A longer match
        // agrees in the 4 bytes up to best_length too, which turns most
        // places away with one comparison.
        const auto consider = [&](std::uint32_t delta, std::uint32_t from) {
            const std::uint8_t* t = s - delta;
            if (best_length >= 3 ? std::memcmp(t + best_length - 3, s + best_length - 3, 4) != 0
                                 : t[best_length] != s[best_length])
                return false;
            const std::uint32_t n = from + common_length(s + from, t + from, limit - from);
            if (n <= best_length) return false;
            best_length = n;
            best = {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(delta)};
            return n == limit;
        };
        // Walks a chain from `m`; true once nothing longer can be found.
        // Its places share 4 bytes at least (but for hash collisions), so
        // one comparison of 4 bytes turns most away: those up to
        // best_length, or the first 4. Place 0 is farther than the window.
        const auto walk = [&](const Chain& chain, std::uint32_t m, unsigned depth) {
            std::uint32_t check = best_length >= 3 ? best_length - 3 : 0;
            std::uint32_t want = read32(s + check);
            for (; depth != 0; --depth, m = chain.prev[m & kSlotMask]) {
                const std::uint32_t delta = cur - m;
                if (delta > kWindow) break;
                if (read32(s - delta + check) != want) continue;
                const std::uint32_t n = common_length(s, s - delta, limit);
                if (n <= best_length) continue;
                best_length = n;
                best = {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(delta)};
                if (n == limit) return true;
                check = n - 3;
                want = read32(s + check);
            }
            return false;
        };
        // No place in the window begins with these 3 bytes when the newest
        // of their hash does not (but for a collision with a newer one):
        // nothing else can match either.
        if (known.distance == 0 &&
            (f.three == 0 || cur - f.three > kWindow || std::memcmp(s, s - (cur - f.three), 3) != 0))
            return best;
        if (known.distance != 0 && known.distance <= p && consider(known.distance, known.length)) return best;
        for (unsigned i = 0; i < 2; ++i)
            if (last[i] != 0 && last[i] <= p && last[i] != known.distance && consider(last[i], 0)) return best;
        if (limit < 4) {
            if (best_length < 3 && f.three != 0 && cur - f.three <= kWindow) consider(cur - f.three, 0);
            return best;
        }
        if (walk(longs, f.eight, long_depth)) return best;
        if ((best_length < 8 || p + 8 > total) && walk(shorts, f.four, short_depth)) return best;
        if (best_length < 4 && f.three != 0 && cur - f.three <= kWindow) consider(cur - f.three, 0);
        return best;
    }
};

}  // namespace

// Greedy parsing with one step of lookahead: a match is put off by a byte
// when the next position has a longer one. The distances of the last two
// matches are always candidates too: repeats with small changes (pixel
// rows, tables) resume at one of them after each change.
void code_fast(const std::uint8_t* buf, std::size_t start, std::size_t total, FastState& state, Tokens& out) {
    Finder finder = Finder::reset(state, buf, total);
    for (std::size_t p = 0; p < start && p + kMinMatch <= total; ++p) finder.insert(p);
    std::size_t p = start;
    std::uint16_t last[2] = {0, 0};  // distances of the last two matches, newest first
    while (p + kMinMatch <= total) {
        Match m = finder.find(p, Match{}, last, kMinMatch - 1, kLongDepth, kShortDepth);
        if (m.length < kMinMatch) {
            out.literal(buf[p++]);
            continue;
        }
        std::size_t recorded = p + 1;  // the first position not yet in the tables
        while (m.length < kMaxMatch && p + 1 + kMinMatch <= total) {
            const Match next = finder.find(p + 1, Match{static_cast<std::uint16_t>(m.length - 1), m.distance}, last,
                                           m.length, kLazyDepth, kLazyDepth);
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
            for (std::size_t q = recorded; q < stop; ++q) finder.insert(q);
        } else {
            for (std::size_t q = recorded; q < std::min(stop, p + kRecordEnds); ++q) finder.insert(q);
            for (std::size_t q = std::max(recorded, end - kRecordEnds); q < stop; ++q) finder.insert(q);
        }
        p = end;
    }
    while (p < total) out.literal(buf[p++]);
}

}  // namespace dravik::yaz0
