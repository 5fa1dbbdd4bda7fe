// The `default` level's match finder: hash chains keyed by 4 bytes, with
// every position recorded (two stores) and searched only where the
// cheapest path can gain from it. The parse that turns its matches into
// tokens is in yaz0_encode.cpp (parse_sampled).
//
// Why this shape. The parse needs, at each position, a match as long as
// the longest there is; the previous position's match, one shorter, is
// always one. Inside a long match a search rarely finds more, so there
// only every kProbe-th position searches, and a match it finds is carried
// back over the positions passed by (a match one byte longer at each, as
// far as the bytes agree), so that the path can switch where the new match
// begins. But every position must be recorded: with a 4 KiB window, the
// copy is what later data matches once its source has left the window,
// and rows of pixels that repeat with small changes match the row just
// before. A chain records a position in O(1) (a tree of suffixes costs a
// search per insertion), so all go in.
//
// A chain lists places sharing a 4-byte hash, newest first. A longer match
// agrees with the current best at the bytes around its end, so after the
// first few places a search looks up the chain of the 4 bytes that end
// just past the best match (an offset lookup): its places, shifted back,
// are the only ones that can beat it. Runs (one byte, or a pattern of 2 to
// 4 bytes, repeated) are where plain chains fail: thousands of places share
// their first bytes. A run's match is decided by its extent: a run as long
// or longer elsewhere gives all this one holds, and one of the same extent
// followed by the same bytes gives more. So runs are kept by pattern (the
// longest in the window and the newest) and by extent and the bytes after
// them, and a run also gets an offset lookup at its end.
#include <algorithm>

#include "lib/codec/yaz0_tokens.h"

namespace dravik::yaz0 {

namespace {

// A known match this long (the previous position's, one shorter) is taken
// as it is at all but every kProbe-th position.
constexpr std::uint32_t kSearchBelow = 12;
constexpr std::size_t kProbe = 8;
// How many places of a chain a search tries: from the position itself, and
// at each offset lookup (of which at most kOffsetRounds, each after a longer
// match was found).
constexpr unsigned kChainDepth = 4;
constexpr unsigned kOffsetDepth = 16;
constexpr unsigned kOffsetRounds = 8;

// Runs: a pattern of up to kMaxPeriod bytes repeated to at least kRunFrom
// bytes.
constexpr std::uint32_t kMaxPeriod = 4;
constexpr std::uint32_t kRunFrom = 8;

constexpr unsigned kChainBits = 15;
constexpr unsigned kThreeBits = 16;  // smaller tables lose 3-byte matches to collisions
constexpr unsigned kRunBits = 12;

// Four bytes as a little-endian number, so that the hashes (and so the
// output) do not depend on the machine's byte order. One load where the
// machine is little-endian (the test folds to a constant).
inline std::uint32_t read32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if (detail::little_endian()) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
inline std::uint32_t hash4(std::uint32_t v, unsigned bits) { return (v * 2654435761u) >> (32 - bits); }

struct Finder {
    const std::uint8_t* buf;
    std::size_t total;
    std::uint32_t* head;
    std::uint32_t* prev;
    std::uint32_t* three;
    std::uint32_t* run_at;
    std::uint16_t* run_length;
    std::uint32_t* run_end;

    // A run's key by its extent and the 4 bytes about its end (the last 2 of
    // the pattern, the first 2 after).
    std::uint32_t end_key(const std::uint8_t* s, std::uint32_t extent) const {
        return hash4(read32(s + extent - 2) ^ (extent * 0x9E3779B1u), kRunBits);
    }

    std::uint32_t chain_of(const std::uint8_t* s) const { return head[hash4(read32(s), kChainBits)]; }

    // Records position p (4 bytes to the end at least); returns the newest
    // place of its chain and of its 3-byte hash before it.
    void record(std::size_t p, std::uint32_t& four, std::uint32_t& three_place) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint32_t v = read32(buf + p);
        std::uint32_t& h = head[hash4(v, kChainBits)];
        four = h;
        prev[cur & kSlotMask] = four;
        h = cur;
        std::uint32_t& t = three[hash4(v & 0xFFFFFFu, kThreeBits)];
        three_place = t;
        t = cur;
    }

    // The search at p: `m` holds the known match and comes back with the
    // longest found (never shorter).
    void search(std::size_t p, std::uint32_t limit, std::uint32_t four, std::uint32_t three_place, Match& m) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        const std::uint8_t* s = buf + p;
        std::uint32_t best = m.length;
        // Takes the match at `delta` when longer; true when taken.
        const auto take = [&](std::uint32_t delta) {
            const std::uint32_t n = common_length(s, s - delta, limit);
            if (n <= best) return false;
            best = n;
            m = {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(delta)};
            return true;
        };
        // The chain from the position itself. A longer match agrees in the
        // 4 bytes up to `best` too (in the first 4 while there is none),
        // which turns most places away with one comparison. Place 0 is
        // farther than the window, so it ends the chain.
        const std::uint32_t head4 = read32(s);
        std::uint32_t check = best >= 3 ? best - 3 : 0;
        std::uint32_t want = read32(s + check);
        for (std::uint32_t at = four, depth = kChainDepth; depth != 0; at = prev[at & kSlotMask], --depth) {
            const std::uint32_t delta = cur - at;
            if (delta > kWindow) break;
            if (read32(s - delta + check) != want || !take(delta)) continue;
            if (best == limit) return;
            check = best - 3;
            want = read32(s + check);
        }
        if (best < kMinMatch && three_place != 0 && cur - three_place <= kWindow) take(cur - three_place);
        if (best < kMinMatch) return;
        // A run from p: its extent (the pattern's length included), then
        // the longest run of the pattern in the window and the newest, one
        // of the same extent followed by the same bytes, and an offset
        // lookup at its end.
        if (best < limit && limit >= 2 * kRunFrom) {
            for (std::uint32_t period = 1; period <= kMaxPeriod; ++period) {
                if (read32(s + period) != head4) continue;
                const std::uint32_t extent = period + common_length(s, s + period, limit - period);
                if (extent >= kRunFrom) {
                    const std::uint32_t* at = run_at + 2 * hash4(head4, kRunBits);
                    for (unsigned k = 0; k < 2 && extent > best; ++k)
                        if (cur - at[k] <= kWindow) take(cur - at[k]);
                    if (extent + 2 <= limit) {
                        const std::uint32_t same = run_end[end_key(s, extent)];
                        if (cur - same <= kWindow) take(cur - same);
                    }
                    if (extent > best && extent < limit) offset_lookup(cur, extent - 3, s, take);
                    // A run's start is no self-match, so only here is it noted.
                    note_run(p, extent);
                }
                break;
            }
        }
        // Offset lookups from the best match's end.
        for (unsigned round = 0; round < kOffsetRounds && best >= 4 && best < limit; ++round)
            if (!offset_lookup(cur, best - 3, s, take)) break;
    }

    // Tries the places x for which x + off is in the chain of the 4 bytes at
    // p + off; true once one was taken.
    template <class Take>
    bool offset_lookup(std::uint32_t cur, std::uint32_t off, const std::uint8_t* s, const Take& take) const {
        std::uint32_t at = chain_of(s + off);
        for (unsigned depth = kOffsetDepth; at != 0 && depth != 0; at = prev[at & kSlotMask], --depth) {
            const std::uint32_t delta = cur + off - at;
            if (delta > kWindow) break;
            if (delta != 0 && delta <= cur - kBias && take(delta)) return true;
        }
        return false;
    }

    // Notes p as a run of `extent` bytes: the newest run of its pattern, the
    // longest in the window, and by its extent and what follows.
    void note_run(std::size_t p, std::uint32_t extent) {
        const std::uint32_t cur = static_cast<std::uint32_t>(p) + kBias;
        std::uint32_t* const at = run_at + 2 * hash4(read32(buf + p), kRunBits);
        std::uint16_t& length = run_length[at - run_at];
        if (cur - at[0] > kWindow || extent >= length) {
            at[0] = cur;
            length = static_cast<std::uint16_t>(extent);
        }
        at[1] = cur;
        if (p + extent + 2 <= total) run_end[end_key(buf + p, extent)] = cur;
    }
};

}  // namespace

void find_default(const std::uint8_t* buf, std::size_t start, std::size_t total, DefaultState& state,
                  Match* matches) {
    state.head.assign(std::size_t{1} << kChainBits, 0);
    state.three.assign(std::size_t{1} << kThreeBits, 0);
    state.run_at.assign(std::size_t{2} << kRunBits, 0);
    state.run_length.assign(std::size_t{2} << kRunBits, 0);
    state.run_end.assign(std::size_t{1} << kRunBits, 0);
    state.prev.resize(kSlots);
    Finder f{buf, total, state.head.data(), state.prev.data(), state.three.data(), state.run_at.data(),
             state.run_length.data(), state.run_end.data()};
    // Positions with 4 bytes to the end at least: the last one with 3 gives
    // up its match, so that every search has a 4-byte chain.
    const std::size_t last = total - std::min<std::size_t>(total, kMinMatch);
    std::uint32_t four, three_place;
    for (std::size_t p = 0; p < std::min(start, last); ++p) f.record(p, four, three_place);
    Match known;  // the previous position's match, one shorter
    for (std::size_t p = start; p < last; ++p) {
        const std::uint32_t limit = limit_at(p, total);
        f.record(p, four, three_place);
        Match m;
        if (known.length > kMinMatch) {
            m = {static_cast<std::uint16_t>(known.length - 1), known.distance};
            // A match cut at the longest length may go on by a byte.
            if (known.length == kMaxMatch && m.length < limit && buf[p + m.length] == buf[p + m.length - m.distance])
                ++m.length;
        }
        const bool inside = m.length >= kSearchBelow;  // a long match goes on here
        if ((!inside || p % kProbe == 0) && m.length < limit) {
            const std::uint16_t was = m.distance;
            f.search(p, limit, four, three_place, m);
            // A match found inside a long one may start at a position passed
            // by: it reaches those too, one byte longer for each.
            if (inside && m.distance != was) {
                for (std::size_t i = p; i-- > start && i >= m.distance && buf[i] == buf[i - m.distance];) {
                    const std::uint32_t length = std::min<std::uint32_t>(kMaxMatch, m.length + static_cast<std::uint32_t>(p - i));
                    Match& at = matches[i - start];
                    if (at.length >= length) break;
                    at = {static_cast<std::uint16_t>(length), m.distance};
                }
            }
        }
        if (m.distance <= kMaxPeriod && m.length >= kRunFrom) f.note_run(p, m.length);
        matches[p - start] = m;
        known = m;
    }
    for (std::size_t p = std::max(start, last); p < total; ++p) {
        // The previous match, one shorter, keeps the matches' ends in order.
        matches[p - start] = known.length > kMinMatch && p + kMinMatch <= total
                                 ? Match{static_cast<std::uint16_t>(known.length - 1), known.distance}
                                 : Match{};
        known = matches[p - start];
    }
}

}  // namespace dravik::yaz0
