// The patterns of --include and --exclude.
#include "dravik/archive.h"

namespace dravik {

namespace {

Pattern make_pattern(const std::string& text) {
    Pattern p;
    p.text = text;
    std::string_view g = text;
    while (g.size() >= 2 && g[0] == '.' && g[1] == '/') g.remove_prefix(2);
    while (g.size() > 1 && g.back() == '/') g.remove_suffix(1);
    p.glob = std::string(g);
    p.whole_path = p.glob.find('/') != std::string::npos;
    return p;
}

// Matches one set "[...]" at the start of `glob` against byte `c`. Sets
// `length` to the set's length in the pattern, or to 0 when the '[' opens
// no set (no closing ']'), in which case it stands for itself.
bool match_set(std::string_view glob, unsigned char c, std::size_t* length) {
    std::size_t i = 1;
    const bool negate = i < glob.size() && (glob[i] == '!' || glob[i] == '^');
    if (negate) ++i;
    bool found = false;
    bool first = true;
    for (; i < glob.size(); ++i) {
        if (glob[i] == ']' && !first) {
            *length = i + 1;
            return found != negate;
        }
        first = false;
        unsigned char lo = static_cast<unsigned char>(glob[i]);
        if (lo == '\\' && i + 1 < glob.size()) lo = static_cast<unsigned char>(glob[++i]);
        unsigned char hi = lo;
        if (i + 2 < glob.size() && glob[i + 1] == '-' && glob[i + 2] != ']') {
            hi = static_cast<unsigned char>(glob[i + 2]);
            i += 2;
        }
        if (c >= lo && c <= hi) found = true;
    }
    *length = 0;
    return false;
}

}  // namespace

Selection make_selection(const std::vector<std::string>& include,
                         const std::vector<std::string>& exclude) {
    Selection s;
    for (const std::string& p : include) s.include.push_back(make_pattern(p));
    for (const std::string& p : exclude) s.exclude.push_back(make_pattern(p));
    return s;
}

bool selection_filters(const Selection& selection) {
    return !selection.include.empty() || !selection.exclude.empty();
}

bool glob_match(std::string_view glob, std::string_view text, bool stop_at_slash) {
    // Iterative matching with one remembered '*': linear in practice and
    // never worse than glob length times text length.
    std::size_t g = 0, t = 0;
    std::size_t star_g = std::string_view::npos, star_t = 0;
    while (t < text.size()) {
        const auto c = static_cast<unsigned char>(text[t]);
        bool advanced = false;
        if (g < glob.size()) {
            const char p = glob[g];
            if (p == '*') {
                star_g = ++g;
                star_t = t;
                continue;
            }
            if (p == '?' && !(stop_at_slash && c == '/')) {
                ++g, ++t;
                advanced = true;
            } else if (p == '[') {
                std::size_t length = 0;
                const bool in_set = match_set(glob.substr(g), c, &length);
                if (length > 0) {
                    if (in_set && !(stop_at_slash && c == '/')) {
                        g += length, ++t;
                        advanced = true;
                    }
                } else if (c == '[') {
                    ++g, ++t;
                    advanced = true;
                }
            } else {
                const char literal = (p == '\\' && g + 1 < glob.size()) ? glob[g + 1] : p;
                if (static_cast<unsigned char>(literal) == c) {
                    g += (p == '\\' && g + 1 < glob.size()) ? 2 : 1;
                    ++t;
                    advanced = true;
                }
            }
        }
        if (advanced) continue;
        // Back up to the last '*' and let it take one more byte, unless that
        // byte is a '/' it may not cross.
        if (star_g == std::string_view::npos) return false;
        if (stop_at_slash && text[star_t] == '/') return false;
        g = star_g;
        t = ++star_t;
    }
    while (g < glob.size() && glob[g] == '*') ++g;
    return g == glob.size();
}

bool match_any(std::vector<Pattern>& patterns, std::string_view path, std::string_view name) {
    bool any = false;
    for (Pattern& p : patterns) {
        if (glob_match(p.glob, p.whole_path ? path : name, p.whole_path)) {
            p.matched = true;
            any = true;
        }
    }
    return any;
}

}  // namespace dravik
