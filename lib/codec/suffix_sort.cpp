#include "lib/codec/suffix_sort.h"

#include <algorithm>
#include <vector>

namespace dravik {

namespace {

// A suffix is S-type when it is smaller than the suffix after it, L-type
// when larger; the last suffix is L-type (the end of the text sorts below
// every byte). A leftmost-S (LMS) suffix is an S-type suffix after an
// L-type one. Sorting the LMS suffixes is enough: the order of all the
// others follows from them in two passes (induction), and sorting them is
// a problem at most half the size, solved the same way.
template <class Symbol>
struct Level {
    const Symbol* s;
    std::int32_t n;
    std::int32_t k;  // symbols are below k
    std::int32_t* sa;
    // A bit per position each: S-type, and leftmost-S. Bits keep the
    // random lookups in the fastest cache.
    std::vector<std::uint64_t> s_bits, lms_bits;
    std::vector<std::int32_t> counts, heads;

    static bool bit(const std::vector<std::uint64_t>& bits, std::int32_t i) {
        return (bits[static_cast<std::size_t>(i) >> 6] >> (i & 63)) & 1;
    }
    bool is_s(std::int32_t i) const { return bit(s_bits, i); }
    bool lms(std::int32_t i) const { return bit(lms_bits, i); }

    void classify() {
        const std::size_t words = (static_cast<std::size_t>(n) + 63) / 64;
        s_bits.assign(words, 0);
        lms_bits.assign(words, 0);
        bool next_s = false;  // the last suffix is L-type
        for (std::int32_t i = n - 1; i-- > 0;) {
            const bool this_s = s[i] < s[i + 1] || (s[i] == s[i + 1] && next_s);
            if (this_s) s_bits[static_cast<std::size_t>(i) >> 6] |= std::uint64_t{1} << (i & 63);
            else if (next_s) lms_bits[static_cast<std::size_t>(i + 1) >> 6] |= std::uint64_t{1} << ((i + 1) & 63);
            next_s = this_s;
        }
    }

    void bucket_heads() {
        std::int32_t sum = 0;
        for (std::int32_t c = 0; c < k; ++c) {
            heads[c] = sum;
            sum += counts[c];
        }
    }
    void bucket_tails() {
        std::int32_t sum = 0;
        for (std::int32_t c = 0; c < k; ++c) {
            sum += counts[c];
            heads[c] = sum;
        }
    }
    void count() {
        counts.assign(k, 0);
        heads.resize(k);
        for (std::int32_t i = 0; i < n; ++i) ++counts[s[i]];
    }

    // From LMS suffixes placed at their buckets' tails (-1 elsewhere), puts
    // every L-type suffix in order from the left, then every S-type one
    // from the right. No type lookups: a suffix j put in place is stored
    // as ~j when the suffix before it is of the type the other pass
    // induces (its symbol is smaller in the L pass, larger in the S pass:
    // equal symbols share their type), and each pass flips what it skips.
    void induce() {
        bucket_heads();
        Slot slot{s[n - 1], sa + heads[s[n - 1]]};
        *slot.next++ = (n - 1 > 0 && s[n - 2] < s[n - 1]) ? ~(n - 1) : n - 1;
        for (std::int32_t i = 0; i < n; ++i) {
            std::int32_t j = sa[i];
            sa[i] = ~j;
            if (j > 0) {
                --j;
                *next_slot(slot, s[j])++ = (j > 0 && s[j - 1] < s[j]) ? ~j : j;
            }
        }
        bucket_tails();
        slot = Slot{0, sa + heads[0]};
        for (std::int32_t i = n; i-- > 0;) {
            std::int32_t j = sa[i];
            if (j > 0) {
                --j;
                *--next_slot(slot, s[j]) = (j == 0 || s[j - 1] > s[j]) ? ~j : j;
            } else {
                sa[i] = ~j;
            }
        }
    }

    // The slot next to fill in a bucket, kept at hand for the bucket last
    // written: consecutive suffixes often go to the same one.
    struct Slot {
        std::int32_t symbol;
        std::int32_t* next;
    };
    std::int32_t*& next_slot(Slot& slot, std::int32_t c) {
        if (c != slot.symbol) {
            heads[slot.symbol] = static_cast<std::int32_t>(slot.next - sa);
            slot.next = sa + heads[slot.symbol = c];
        }
        return slot.next;
    }

    // Whether the LMS substrings (from one LMS position to the next,
    // included) at a and b differ.
    bool differ(std::int32_t a, std::int32_t b) const {
        for (std::int32_t d = 0;; ++d) {
            if (a + d == n || b + d == n || s[a + d] != s[b + d] || is_s(a + d) != is_s(b + d)) return true;
            if (d > 0) {
                const bool ea = lms(a + d), eb = lms(b + d);
                if (ea || eb) return ea != eb;
            }
        }
    }
};

template <class Symbol>
void sort_level(const Symbol* s, std::int32_t n, std::int32_t k, std::int32_t* sa) {
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    Level<Symbol> v{s, n, k, sa, {}, {}, {}, {}};
    v.classify();
    v.count();

    // Sort the LMS substrings by one induction from their first symbols.
    std::fill(sa, sa + n, -1);
    v.bucket_tails();
    for (std::int32_t i = 1; i < n; ++i)
        if (v.lms(i)) sa[--v.heads[s[i]]] = i;
    v.induce();

    // Name them in that order, equal substrings alike; the names in text
    // order are the reduced string.
    std::int32_t m = 0;
    for (std::int32_t i = 0; i < n; ++i)
        if (v.lms(sa[i])) sa[m++] = sa[i];
    std::fill(sa + m, sa + n, -1);
    std::int32_t names = 0, previous = -1;
    for (std::int32_t i = 0; i < m; ++i) {
        const std::int32_t at = sa[i];
        if (previous < 0 || v.differ(at, previous)) {
            ++names;
            previous = at;
        }
        sa[m + at / 2] = names - 1;  // LMS positions are at least 2 apart
    }
    std::int32_t j = n - 1;
    for (std::int32_t i = n - 1; i >= m; --i)
        if (sa[i] >= 0) sa[j--] = sa[i];

    // Sort the reduced string's suffixes: directly when every name is
    // unique, else by recursion. Its order is the LMS suffixes' order.
    std::int32_t* reduced = sa + n - m;
    if (names < m) {
        sort_level<std::int32_t>(reduced, m, names, sa);
    } else {
        for (std::int32_t i = 0; i < m; ++i) sa[reduced[i]] = i;
    }
    j = 0;
    for (std::int32_t i = 1; i < n; ++i)
        if (v.lms(i)) reduced[j++] = i;
    for (std::int32_t i = 0; i < m; ++i) sa[i] = reduced[sa[i]];

    // Place the sorted LMS suffixes at their buckets' tails and induce the rest.
    std::fill(sa + m, sa + n, -1);
    v.bucket_tails();
    for (std::int32_t i = m; i-- > 0;) {
        const std::int32_t at = sa[i];
        sa[i] = -1;
        sa[--v.heads[s[at]]] = at;
    }
    v.induce();
}

}  // namespace

void suffix_sort(const std::uint8_t* text, std::int32_t n, std::int32_t* sa) {
    sort_level<std::uint8_t>(text, n, 256, sa);
}

}  // namespace dravik
