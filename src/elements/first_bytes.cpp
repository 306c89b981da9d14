// The first-byte analysis of the element kinds and the scanner that passes
// over the positions where no match can begin.
#include "elements/first_bytes.hpp"

#include <cstring>
#include <vector>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/structure.hpp"
#include "elements/substring_search.hpp"
#include "messages.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QGX_BYTE_SCAN_X86 1
#else
#define QGX_BYTE_SCAN_X86 0
#endif

namespace qgx {

FirstBytes FirstBytes::anywhere() {
    FirstBytes f;
    for (uint64_t& w : f.bytes.words) w = ~uint64_t{0};
    f.at_end = true;
    return f;
}

FirstBytes FirstBytes::one(unsigned char b) {
    FirstBytes f;
    f.bytes.add(b);
    return f;
}

void FirstBytes::add(const FirstBytes& o) {
    for (int i = 0; i < 4; ++i) bytes.words[i] |= o.bytes.words[i];
    at_end = at_end || o.at_end;
}

int FirstBytes::count() const {
    int n = 0;
    for (uint64_t w : bytes.words) n += __builtin_popcountll(w);
    return n;
}

void ElementStart::set_literal(const char* s, size_t n, bool whole_match) {
    literal_len = static_cast<uint32_t>(n < kMaxLiteral ? n : kMaxLiteral);
    if (literal_len) std::memcpy(literal, s, literal_len);
    exact = whole_match && n <= kMaxLiteral;
}

void ElementStart::set_inner(const char* s, size_t n, uint32_t min, const ByteSet& lead_bytes) {
    inner_len = static_cast<uint32_t>(n < kMaxInner ? n : kMaxInner);
    if (inner_len) std::memcpy(inner, s, inner_len);
    inner_min = min;
    lead = lead_bytes;
}

namespace {

// ---------------------------------------------------------------------------
// Patterns read from their text.

// The byte an escape stands for where it is one literal byte: \n \t \r \f \v
// and an escaped ASCII punctuation character.
bool escaped_literal(char e, unsigned char& b) {
    switch (e) {
        case 'n': b = '\n'; return true;
        case 't': b = '\t'; return true;
        case 'r': b = '\r'; return true;
        case 'f': b = '\f'; return true;
        case 'v': b = '\v'; return true;
        default: break;
    }
    unsigned char u = static_cast<unsigned char>(e);
    bool alnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
    if (u < 0x7F && u > 0x20 && !alnum) {
        b = u;
        return true;
    }
    return false;
}

// The bytes that can begin a match of a pattern, read from its text, or
// false where the text is not of the simple forms understood here: a first
// atom that is an ASCII character, an escaped ASCII punctuation character or
// a class of ASCII characters and ranges (no negation, no class escape but
// \n \t \r \f \v), not followed by a quantifier that allows zero, and no
// alternation anywhere. Such a pattern matches only where its first atom
// does: at one of these bytes, never at the end of the text.
bool pattern_first_atom(std::string_view p, ByteSet& out) {
    auto ascii = [](unsigned char c) { return c < 0x80; };
    // No "|" outside a class, with escapes and classes skipped.
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            size_t j = i + 1;
            if (j < p.size() && p[j] == '^') ++j;
            if (j < p.size() && p[j] == ']') ++j;
            for (; j < p.size() && p[j] != ']'; ++j) {
                if (p[j] == '\\') ++j;
                else if (p[j] == '[') return false;  // a named class: not read here
            }
            if (j >= p.size()) return false;
            i = j;
        } else if (c == '|') {
            return false;
        }
    }
    if (p.empty()) return false;
    ByteSet set;
    size_t next = 0;
    unsigned char c0 = static_cast<unsigned char>(p[0]);
    if (c0 == '[') {
        size_t i = 1;
        if (i >= p.size() || p[i] == '^' || p[i] == ']') return false;
        bool closed = false;
        while (i < p.size()) {
            unsigned char lo = static_cast<unsigned char>(p[i]);
            if (lo == ']') {
                closed = true;
                ++i;
                break;
            }
            if (lo == '\\') {
                if (i + 1 >= p.size() || !escaped_literal(p[i + 1], lo)) return false;
                i += 2;
            } else {
                if (!ascii(lo) || lo == '[') return false;
                i += 1;
            }
            unsigned char hi = lo;
            if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
                hi = static_cast<unsigned char>(p[i + 1]);
                if (hi == '\\') {
                    if (i + 2 >= p.size() || !escaped_literal(p[i + 2], hi)) return false;
                    i += 3;
                } else {
                    if (!ascii(hi) || hi == '[') return false;
                    i += 2;
                }
                if (hi < lo) return false;
            }
            for (unsigned b = lo; b <= hi; ++b) set.add(static_cast<unsigned char>(b));
        }
        if (!closed) return false;
        next = i;
    } else if (c0 == '\\') {
        unsigned char b;
        if (p.size() < 2 || p[1] == 'n' || p[1] == 't' || p[1] == 'r' || p[1] == 'f' || p[1] == 'v' ||
            !escaped_literal(p[1], b))
            return false;
        set.add(b);
        next = 2;
    } else {
        if (!ascii(c0) || std::strchr("^$.()*+?{}|]", c0) != nullptr || c0 == 0) return false;
        set.add(c0);
        next = 1;
    }
    if (next < p.size() && (p[next] == '*' || p[next] == '?' || p[next] == '{')) return false;
    if (set.empty()) return false;
    out = set;
    return true;
}


// The literal a pattern begins with: its leading atoms that each stand for
// one ASCII byte (a plain character, \n \t \r \f \v, an escaped punctuation
// character), up to the first atom a quantifier may leave out (one that "+"
// repeats still counts once). The caller has checked that the pattern holds
// no alternation. `whole`: the pattern is that literal and nothing else.
void pattern_literal(std::string_view p, char* out, uint32_t& n, bool& whole) {
    n = 0;
    whole = false;
    size_t i = 0;
    // A leading word-boundary test takes no byte: the literal follows it.
    bool assertion = false;
    while (i + 1 < p.size() && p[i] == '\\' && (p[i + 1] == 'b' || p[i + 1] == 'B')) {
        i += 2;
        assertion = true;
    }
    while (i < p.size()) {
        unsigned char b;
        size_t next;
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\') {
            if (i + 1 >= p.size() || !escaped_literal(p[i + 1], b)) return;
            next = i + 2;
        } else if (c != 0 && c < 0x80 && std::strchr("^$.()*+?{}|[]", c) == nullptr) {
            b = c;
            next = i + 1;
        } else {
            return;
        }
        if (next < p.size() && (p[next] == '*' || p[next] == '?' || p[next] == '{')) return;
        if (n == ElementStart::kMaxLiteral) return;
        out[n++] = static_cast<char>(b);
        if (next < p.size() && p[next] == '+') return;
        i = next;
    }
    whole = !assertion;
}


// The bytes above 0x7F, all of which a class that may take some character
// above U+007F is counted as taking (a weaker answer, always correct).
ByteSet wide_bytes() {
    ByteSet s;
    for (unsigned b = 0x80; b < 0x100; ++b) s.add(static_cast<unsigned char>(b));
    return s;
}

void add_all(ByteSet& to, const ByteSet& from) {
    for (int i = 0; i < 4; ++i) to.words[i] |= from.words[i];
}

// The bytes of the characters a class escape (\w \d \s and their negations)
// may take, as a superset.
bool class_escape_bytes(char e, ByteSet& out) {
    switch (e) {
        case 'd':
            for (unsigned char b = '0'; b <= '9'; ++b) out.add(b);
            break;
        case 'w':
            for (unsigned b = 0; b < 0x80; ++b)
                if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_')
                    out.add(static_cast<unsigned char>(b));
            break;
        case 's':
            for (unsigned char b : {' ', '\t', '\n', '\r', '\f', '\v'}) out.add(b);
            break;
        case 'D':
        case 'W':
        case 'S':
            for (unsigned b = 0; b < 0x80; ++b) out.add(static_cast<unsigned char>(b));
            break;
        default:
            return false;
    }
    add_all(out, wide_bytes());
    return true;
}

// Reads one class "[...]" at p[i] == '[': the bytes of the characters it may
// take (a superset); false where it is not of the forms read here.
bool read_class(std::string_view p, size_t& i, ByteSet& out) {
    size_t j = i + 1;
    bool negated = j < p.size() && p[j] == '^';
    if (negated) ++j;
    ByteSet set;
    bool wide = false, first = true;
    for (;;) {
        if (j >= p.size()) return false;
        unsigned char lo = static_cast<unsigned char>(p[j]);
        if (lo == ']' && !first) {
            ++j;
            break;
        }
        first = false;
        if (lo == '[' || lo == '&' || lo == '~' || lo >= 0x80) return false;  // nested, set operations, wide
        if (lo == '\\') {
            if (j + 1 >= p.size()) return false;
            ByteSet esc;
            if (class_escape_bytes(p[j + 1], esc)) {
                add_all(set, esc);
                wide = true;
                j += 2;
                continue;
            }
            if (!escaped_literal(p[j + 1], lo)) return false;
            j += 2;
        } else {
            j += 1;
        }
        unsigned char hi = lo;
        if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
            hi = static_cast<unsigned char>(p[j + 1]);
            if (hi == '\\') {
                if (j + 2 >= p.size() || !escaped_literal(p[j + 2], hi)) return false;
                j += 3;
            } else {
                if (hi >= 0x80 || hi == '[') return false;
                j += 2;
            }
            if (hi < lo) return false;
        }
        for (unsigned b = lo; b <= hi; ++b) set.add(static_cast<unsigned char>(b));
    }
    if (negated) {
        ByteSet all;
        for (unsigned b = 0; b < 0x80; ++b)
            if (!set.has(static_cast<unsigned char>(b)) || wide) all.add(static_cast<unsigned char>(b));
        add_all(all, wide_bytes());
        set = all;
    } else if (wide) {
        add_all(set, wide_bytes());
    }
    out = set;
    i = j;
    return true;
}

// Whether the pattern has an alternation outside every group.
bool top_level_alternation(std::string_view p) {
    int depth = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            size_t j = i;
            ByteSet ignored;
            if (!read_class(p, j, ignored)) return true;  // not read: taken as the worst case
            i = j - 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == '|' && depth <= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool pattern_inner_literal(std::string_view p, char* literal, uint32_t& literal_len, uint32_t& min, ByteSet& lead) {
    literal_len = 0;
    if (top_level_alternation(p)) return false;
    constexpr uint32_t kMinCap = 64;
    ByteSet before;      // the bytes of every atom read so far
    uint32_t least = 0;  // the fewest bytes they take
    // The segment of plain bytes being read, and where it began.
    char seg[ElementStart::kMaxInner];
    uint32_t seg_len = 0, seg_min = 0;
    ByteSet seg_lead;
    auto close_segment = [&] {
        if (seg_len > literal_len) {
            std::memcpy(literal, seg, seg_len);
            literal_len = seg_len;
            min = seg_min;
            lead = seg_lead;
        }
        seg_len = 0;
    };
    size_t i = 0;
    while (i < p.size()) {
        ByteSet atom;
        bool plain = false;
        unsigned char b = 0;
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '[') {
            if (!read_class(p, i, atom)) break;
        } else if (c == '.') {
            for (unsigned x = 0; x < 0x100; ++x)
                if (x != '\n') atom.add(static_cast<unsigned char>(x));
            ++i;
        } else if (c == '\\') {
            if (i + 1 >= p.size()) break;
            if (p[i + 1] == 'b' || p[i + 1] == 'B') {
                // Zero-width: it takes no byte.
                i += 2;
                continue;
            }
            if (class_escape_bytes(p[i + 1], atom)) {
                i += 2;
            } else if (escaped_literal(p[i + 1], b)) {
                plain = true;
                atom.add(b);
                i += 2;
            } else {
                break;
            }
        } else if (c != 0 && c < 0x80 && std::strchr("^$()*+?{}|[]", c) == nullptr) {
            plain = true;
            b = c;
            atom.add(b);
            ++i;
        } else {
            break;
        }
        // The quantifier: the fewest times the atom is taken, and whether
        // it may be taken other than once.
        uint32_t times = 1;
        bool once = true;
        if (i < p.size() && (p[i] == '*' || p[i] == '+' || p[i] == '?')) {
            times = p[i] == '+' ? 1 : 0;
            once = false;
            ++i;
        } else if (i < p.size() && p[i] == '{') {
            size_t j = i + 1;
            uint32_t m = 0;
            bool digits = false;
            while (j < p.size() && p[j] >= '0' && p[j] <= '9') {
                if (m < kMinCap) m = m * 10 + static_cast<uint32_t>(p[j] - '0');
                digits = true;
                ++j;
            }
            size_t close = p.find('}', j);
            if (!digits || close == std::string_view::npos) break;
            once = !(close == j && m == 1);
            times = m < kMinCap ? m : kMinCap;
            i = close + 1;
        }
        if (i < p.size() && p[i] == '?') ++i;  // lazy: the same bytes
        if (plain && times >= 1) {
            if (seg_len == 0) {
                seg_min = least;
                seg_lead = before;
            }
            if (seg_len < ElementStart::kMaxInner) seg[seg_len++] = static_cast<char>(b);
            if (!once) close_segment();
        } else {
            close_segment();
        }
        add_all(before, atom);
        least += times;
        if (least > kMinCap) least = kMinCap;
    }
    close_segment();
    return literal_len > 0;
}

bool pattern_start(std::string_view pattern, ByteSet& bytes, char* literal, uint32_t& literal_len, bool& whole) {
    literal_len = 0;
    whole = false;
    ByteSet atom_bytes;
    // The atom reader refuses any alternation outside a class; where it
    // refuses for another reason, a pattern with no "|" at all may still
    // begin with a literal byte it leaves alone (\n and the like).
    const bool atom = pattern_first_atom(pattern, atom_bytes);
    if (atom || pattern.find('|') == std::string_view::npos) pattern_literal(pattern, literal, literal_len, whole);
    if (literal_len) {
        bytes = ByteSet{};
        bytes.add(static_cast<unsigned char>(literal[0]));
        return true;
    }
    if (atom) bytes = atom_bytes;
    return atom;
}

// ---------------------------------------------------------------------------
// The analysis.

ElementStart regex_start(const RegexElement& r) {
    ElementStart s;
    // The first bytes from the pattern's parsed syntax; a plain literal the
    // pattern stands for whole; else the literal its text begins with, where
    // the text is of the simple forms pattern_start reads. Each is a
    // necessary condition on its own, so both may hold at once.
    ByteSet engine_bytes;
    bool engine_at_end = false;
    bool known = regex_first_bytes(r, engine_bytes, engine_at_end);
    if (known) {
        s.first.bytes = engine_bytes;
        s.first.at_end = engine_at_end;
    }
    if (const std::string* lit = regex_plain_literal(r)) {
        s.set_literal(lit->data(), lit->size(), true);
        return s;
    }
    // The message holds the pattern as written: "Expected match for /{}/".
    std::string_view m = r.message.view();
    std::string_view prefix = msg::kRegexMessagePrefix, suffix = msg::kRegexMessageSuffix;
    if (m.size() < prefix.size() + suffix.size() || m.substr(0, prefix.size()) != prefix ||
        m.substr(m.size() - suffix.size()) != suffix)
        return s;
    std::string_view pattern = m.substr(prefix.size(), m.size() - prefix.size() - suffix.size());
    {
        char inner[ElementStart::kMaxInner];
        uint32_t inner_len = 0, inner_min = 0;
        ByteSet lead;
        if (pattern_inner_literal(pattern, inner, inner_len, inner_min, lead)) s.set_inner(inner, inner_len, inner_min, lead);
    }
    ByteSet bytes;
    char literal[ElementStart::kMaxLiteral];
    uint32_t n = 0;
    bool whole = false;
    if (!pattern_start(pattern, bytes, literal, n, whole)) return s;
    if (known) {
        for (int i = 0; i < 4; ++i) s.first.bytes.words[i] &= bytes.words[i];
    } else {
        s.first.bytes = bytes;
    }
    s.first.at_end = false;
    s.set_literal(literal, n, whole);
    return s;
}

namespace {

// How far the analysis follows composites into their children, and how many
// alternatives of nested MatchFirsts it looks at in all.
constexpr int kStartDepth = 8;
constexpr uint32_t kStartBudget = 4096;

ElementStart start_of(const ElementVTable* v, const ElementHeader* rec, int depth, uint32_t& budget);

ElementStart start_of(const SharedElement& e, int depth, uint32_t& budget) {
    return start_of(e.vtable(), e.record(), depth, budget);
}

// A start that matches only at the end of the text (`at_end`) or nowhere,
// whose every match is zero-width.
ElementStart only_at_end(bool at_end) {
    ElementStart s;
    s.first = FirstBytes{};
    s.first.at_end = at_end;
    s.exact = at_end;
    return s;
}

// Zero-width everywhere it matches: nothing is excluded, and the match is
// its (empty) literal.
ElementStart zero_width() {
    ElementStart s;
    s.exact = true;
    return s;
}

// Narrows the bytes to the literal's first one, which every match inside
// the text begins with.
void narrow_to_literal(ElementStart& s) {
    if (s.literal_len == 0) return;
    unsigned char b = static_cast<unsigned char>(s.literal[0]);
    bool had = s.first.bytes.has(b);
    s.first.bytes = ByteSet{};
    if (had) s.first.bytes.add(b);
}

constexpr uint32_t kRunCap = 64;

// Whether every match of `e` takes only bytes of `bytes`, at least `least`
// of them (a superset and a lower bound are correct answers).
bool run_bytes(const SharedElement& e, ByteSet& bytes, uint32_t& least, uint32_t& levels, int depth) {
    const ElementVTable* v = e.vtable();
    const ElementHeader* rec = e.record();
    bytes = ByteSet{};
    least = 0;
    levels = 0;
    if (depth >= kStartDepth) return false;
    if (v == literal_vtable()) {
        const auto* r = static_cast<const LiteralElement*>(rec);
        for (Pos i = 0; i < r->text.size(); ++i) bytes.add(static_cast<unsigned char>(r->text.data()[i]));
        least = r->text.size() < kRunCap ? static_cast<uint32_t>(r->text.size()) : kRunCap;
        return true;
    }
    if (v == char_vtable()) {
        const auto* r = static_cast<const CharElement*>(rec);
        for (int b = 0; b < 256; ++b)
            if (r->members.has(static_cast<unsigned char>(b))) bytes.add(static_cast<unsigned char>(b));
        least = 1;
        return true;
    }
    if (v == word_vtable()) {
        const auto* r = static_cast<const WordElement*>(rec);
        bytes = r->init_chars;
        add_all(bytes, r->body_chars);
        // A set that holds a byte above 0x7F is taken to hold them all.
        for (unsigned b = 0x80; b < 0x100; ++b)
            if (bytes.has(static_cast<unsigned char>(b))) {
                add_all(bytes, wide_bytes());
                break;
            }
        least = r->min_len ? 1 : 0;
        return true;
    }
    if (v == regex_vtable()) {
        const auto* r = static_cast<const RegexElement*>(rec);
        if (!r->shape) return false;
        const RegexShape& sh = *r->shape;
        auto take = [&](const RegexShape::Atom& a) {
            add_all(bytes, a.bytes);
            if (a.wide != WideMembers::None) add_all(bytes, wide_bytes());
        };
        for (int k = 0; k < sh.head_len; ++k) take(sh.head[k]);
        take(sh.run);
        least = static_cast<uint32_t>(sh.head_len) + (sh.run_min1 ? 1 : 0);
        return true;
    }
    if (v == group_vtable() || v == suppress_vtable() || v == combine_vtable() || v == one_or_more_vtable()) {
        bool ok = run_bytes(static_cast<const OneChildElement*>(rec)->expr, bytes, least, levels, depth + 1);
        levels += 1;
        return ok;
    }
    if (v == optional_vtable() || v == zero_or_more_vtable()) {
        bool ok = run_bytes(static_cast<const OneChildElement*>(rec)->expr, bytes, least, levels, depth + 1);
        least = 0;
        levels += 1;
        return ok;
    }
    if (v == and_vtable()) {
        const auto& members = static_cast<const AndElement*>(rec)->exprs;
        if (members.size() > 8) return false;
        for (const SharedElement& m : members) {
            ByteSet b;
            uint32_t n = 0, l = 0;
            if (!run_bytes(m, b, n, l, depth + 1)) return false;
            add_all(bytes, b);
            least = least + n < kRunCap ? least + n : kRunCap;
            if (l + 1 > levels) levels = l + 1;
        }
        return true;
    }
    return false;
}

// A sequence: the first member decides the bytes and the end; the literal
// goes on through the members whose every match is their literal.
ElementStart sequence_start(const std::vector<SharedElement>& members, int depth, uint32_t& budget) {
    if (members.empty()) return zero_width();
    ElementStart out = start_of(members[0], depth + 1, budget);
    size_t read = 1;
    while (out.exact && read < members.size()) {
        ElementStart next = start_of(members[read], depth + 1, budget);
        ++read;
        if (next.reach > out.reach) out.reach = next.reach;
        uint32_t room = ElementStart::kMaxLiteral - out.literal_len;
        uint32_t take = next.literal_len < room ? next.literal_len : room;
        std::memcpy(out.literal + out.literal_len, next.literal, take);
        out.literal_len += take;
        out.exact = next.exact && take == next.literal_len;
    }
    if (read < members.size()) out.exact = false;
    narrow_to_literal(out);
    // Past leading members that take only bytes of a known set, the first
    // one that begins with a literal gives the inner literal.
    // At a position it excludes, the members before that one may match in
    // full (their whole nesting) and that one fails (its reach).
    if (out.literal_len < 2 && !out.exact) {
        ByteSet lead;
        uint32_t least = 0, levels = 0;
        for (size_t i = 0; i < members.size() && i < 8; ++i) {
            if (i > 0) {
                ElementStart m = start_of(members[i], depth + 1, budget);
                if (m.literal_len > 0) {
                    out.set_inner(m.literal, m.literal_len, least, lead);
                    if (m.reach > levels) levels = m.reach;
                    if (levels > out.reach) out.reach = levels;
                    break;
                }
            }
            ByteSet b;
            uint32_t n = 0, l = 0;
            if (!run_bytes(members[i], b, n, l, depth + 1)) break;
            add_all(lead, b);
            least = least + n < kRunCap ? least + n : kRunCap;
            if (l > levels) levels = l;
        }
    }
    out.reach += 1;
    return out;
}

}  // namespace

void fold_alternative(ElementStart& acc, const ElementStart& s, bool first) {
    if (first) {
        acc = s;
        return;
    }
    acc.first.add(s.first);
    uint32_t common = 0;
    while (common < acc.literal_len && common < s.literal_len && acc.literal[common] == s.literal[common]) ++common;
    acc.exact = acc.exact && s.exact && common == acc.literal_len && common == s.literal_len;
    acc.literal_len = common;
    if (s.reach > acc.reach) acc.reach = s.reach;
    // One inner literal holds for the choice only where each alternative
    // has it; it is reached over the bytes of either and the fewer of both.
    if (acc.inner_view() == s.inner_view() && acc.inner_len) {
        add_all(acc.lead, s.lead);
        if (s.inner_min < acc.inner_min) acc.inner_min = s.inner_min;
    } else {
        acc.inner_len = 0;
    }
}

ElementStart alternatives_start(const std::vector<SharedElement>& alternatives, std::vector<ElementStart>* each) {
    uint32_t budget = kStartBudget;
    ElementStart out = only_at_end(false);
    bool first = true;
    for (const SharedElement& a : alternatives) {
        // Each alternative at the top is read; nested choices share the budget.
        ElementStart s = start_of(a, 0, budget);
        if (each) each->push_back(s);
        fold_alternative(out, s, first);
        first = false;
    }
    out.exact = out.exact && !alternatives.empty();
    out.reach += 1;
    return out;
}

namespace {

// The terminal records are read here; matching still goes through their
// interface. Every kind not named counts as matching anywhere.
ElementStart start_of(const ElementVTable* v, const ElementHeader* rec, int depth, uint32_t& budget) {
    if (v == literal_vtable()) {
        const auto* r = static_cast<const LiteralElement*>(rec);
        if (r->text.size() == 0) return zero_width();
        ElementStart s;
        s.first = FirstBytes::one(r->first_byte);
        s.set_literal(r->text.data(), r->text.size(), true);
        return s;
    }
    if (v == keyword_vtable()) {
        const auto* r = static_cast<const KeywordElement*>(rec);
        if (r->match_len == 0) return zero_width();
        ElementStart s;
        s.first = FirstBytes::one(r->first_byte);
        s.set_literal(r->text.data(), r->match_len, true);
        return s;
    }
    if (v == caseless_literal_vtable() || v == caseless_keyword_vtable()) {
        // A byte matches the lowered first byte c when it lowers to c.
        const OwnedBytes& lower = v == caseless_literal_vtable()
                                      ? static_cast<const CaselessLiteralElement*>(rec)->lower_text
                                      : static_cast<const CaselessKeywordElement*>(rec)->lower_text;
        Pos n = v == caseless_literal_vtable() ? lower.size() : static_cast<const CaselessKeywordElement*>(rec)->match_len;
        if (n == 0) return ElementStart{};
        unsigned char c = static_cast<unsigned char>(lower.data()[0]);
        ElementStart s;
        s.first = FirstBytes::one(c);
        if (c >= 'a' && c <= 'z') s.first.bytes.add(static_cast<unsigned char>(c - 0x20));
        return s;
    }
    if (v == char_vtable()) {
        const auto* r = static_cast<const CharElement*>(rec);
        ElementStart s;
        s.first = FirstBytes{};
        for (int b = 0; b < 256; ++b)
            if (r->members.has(static_cast<unsigned char>(b))) s.first.bytes.add(static_cast<unsigned char>(b));
        return s;
    }
    if (v == word_vtable()) {
        // Both operations test the first byte against the first set.
        ElementStart s;
        s.first = FirstBytes{};
        s.first.bytes = static_cast<const WordElement*>(rec)->init_chars;
        return s;
    }
    if (v == regex_vtable()) return regex_start(*static_cast<const RegexElement*>(rec));
    if (v == quoted_string_vtable()) {
        ElementStart s;
        s.first = FirstBytes::one(static_cast<const QuotedStringElement*>(rec)->quote);
        return s;
    }
    if (v == empty_vtable() || v == line_start_vtable() || v == string_start_vtable()) return zero_width();
    if (v == no_match_vtable()) return only_at_end(false);
    if (v == string_end_vtable()) return only_at_end(true);
    if (v == line_end_vtable()) {
        // A newline inside the text, or the end.
        ElementStart s;
        s.first = FirstBytes::one('\n');
        s.first.at_end = true;
        s.set_literal("\n", 1, true);
        return s;
    }
    if (depth >= kStartDepth) return ElementStart{};
    if (v == and_vtable()) return sequence_start(static_cast<const AndElement*>(rec)->exprs, depth, budget);
    if (v == match_first_vtable()) {
        const auto* r = static_cast<const MatchFirstElement*>(rec);
        // A table already made holds the summary; none is made from here.
        if (r->dispatch_settled())
            if (const AlternativeDispatch* d = r->dispatch()) return d->summary;
        ElementStart out = only_at_end(false);
        bool first = true;
        for (const SharedElement& a : r->exprs) {
            if (budget == 0) return ElementStart{};
            --budget;
            fold_alternative(out, start_of(a, depth + 1, budget), first);
            first = false;
            if (out.anywhere()) return ElementStart{};
        }
        out.exact = out.exact && !r->exprs.empty();
        out.reach += 1;
        return out;
    }
    // The kinds whose every match begins with a match of their child there.
    if (v == group_vtable() || v == suppress_vtable() || v == combine_vtable()) {
        ElementStart s = start_of(static_cast<const OneChildElement*>(rec)->expr, depth + 1, budget);
        s.reach += 1;
        return s;
    }
    if (v == one_or_more_vtable() || v == exactly_vtable()) {
        if (v == exactly_vtable() && static_cast<const ExactlyElement*>(rec)->count == 0) return zero_width();
        ElementStart s = start_of(static_cast<const OneChildElement*>(rec)->expr, depth + 1, budget);
        s.exact = false;
        s.reach += 1;
        return s;
    }
    return ElementStart{};
}

}  // namespace

ElementStart element_start(const ElementVTable* kind, const ElementHeader* record) {
    uint32_t budget = kStartBudget;
    return start_of(kind, record, 0, budget);
}

ElementStart element_start(const SharedElement& e) { return element_start(e.vtable(), e.record()); }

// ---------------------------------------------------------------------------
// The scanner.

namespace {

ByteScanKernel detect_byte_kernel() {
#if QGX_BYTE_SCAN_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return ByteScanKernel::Avx2;
    if (__builtin_cpu_supports("ssse3")) return ByteScanKernel::Ssse3;
#endif
    return ByteScanKernel::Portable;
}

ByteScanKernel resolve_byte_kernel(ByteScanKernel k) {
    static const ByteScanKernel best = detect_byte_kernel();
    if (k == ByteScanKernel::Auto || !byte_scan_kernel_available(k)) return best;
    return k;
}

Pos find_in_set_portable(const char* d, Pos p, Pos n, const ByteSet& set) {
    while (p < n && !set.has(static_cast<unsigned char>(d[p]))) ++p;
    return p;
}

Pos find_few_portable(const char* d, Pos p, Pos n, const uint8_t* few, int count) {
    for (; p < n; ++p) {
        uint8_t b = static_cast<uint8_t>(d[p]);
        if (b == few[0] || b == few[1] || (count == 3 && b == few[2])) return p;
    }
    return p;
}

#if QGX_BYTE_SCAN_X86

// Two or three bytes: one compare per byte and lane, 16 lanes a step.
Pos find_few_sse2(const char* d, Pos p, Pos n, const uint8_t* few, int count) {
    const __m128i a = _mm_set1_epi8(static_cast<char>(few[0])), b = _mm_set1_epi8(static_cast<char>(few[1])),
                  c = _mm_set1_epi8(static_cast<char>(count == 3 ? few[2] : few[1]));
    for (; n - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p));
        __m128i eq = _mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_or_si128(_mm_cmpeq_epi8(v, b), _mm_cmpeq_epi8(v, c)));
        uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(eq));
        if (bits) return p + static_cast<Pos>(__builtin_ctz(bits));
    }
    return find_few_portable(d, p, n, few, count);
}

__attribute__((target("avx2"))) Pos find_few_avx2(const char* d, Pos p, Pos n, const uint8_t* few, int count) {
    const __m256i a = _mm256_set1_epi8(static_cast<char>(few[0])), b = _mm256_set1_epi8(static_cast<char>(few[1])),
                  c = _mm256_set1_epi8(static_cast<char>(count == 3 ? few[2] : few[1]));
    for (; n - p >= 32; p += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + p));
        __m256i eq = _mm256_or_si256(_mm256_cmpeq_epi8(v, a),
                                     _mm256_or_si256(_mm256_cmpeq_epi8(v, b), _mm256_cmpeq_epi8(v, c)));
        uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(eq));
        if (bits) return p + static_cast<Pos>(__builtin_ctz(bits));
    }
    return find_few_sse2(d, p, n, few, count);
}

// Any set: the low nibble of each byte picks a table entry (one table for
// bytes below 0x80, one for the others), whose bit for the high nibble says
// whether the byte is a member.
__attribute__((target("ssse3"))) Pos find_set_ssse3(const char* d, Pos p, Pos n, const StartScanner::Nibbles& nb,
                                                   const ByteSet& set) {
    const __m128i low_clear = _mm_load_si128(reinterpret_cast<const __m128i*>(nb.low_clear));
    const __m128i low_set = _mm_load_si128(reinterpret_cast<const __m128i*>(nb.low_set));
    const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m128i flip = _mm_set1_epi8(-128), seven = _mm_set1_epi8(7), zero = _mm_setzero_si128();
    for (; n - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p));
        __m128i row = _mm_or_si128(_mm_shuffle_epi8(low_clear, v), _mm_shuffle_epi8(low_set, _mm_xor_si128(v, flip)));
        __m128i bit = _mm_shuffle_epi8(bits, _mm_and_si128(_mm_srli_epi16(v, 4), seven));
        uint32_t miss = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(row, bit), zero)));
        uint32_t hit = ~miss & 0xFFFFu;
        if (hit) return p + static_cast<Pos>(__builtin_ctz(hit));
    }
    return find_in_set_portable(d, p, n, set);
}

__attribute__((target("avx2"))) Pos find_set_avx2(const char* d, Pos p, Pos n, const StartScanner::Nibbles& nb,
                                                 const ByteSet& set) {
    const __m256i low_clear = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nb.low_clear)));
    const __m256i low_set = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nb.low_set)));
    const __m256i bits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16,
                                          32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i flip = _mm256_set1_epi8(-128), seven = _mm256_set1_epi8(7), zero = _mm256_setzero_si256();
    for (; n - p >= 32; p += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + p));
        __m256i row = _mm256_or_si256(_mm256_shuffle_epi8(low_clear, v),
                                      _mm256_shuffle_epi8(low_set, _mm256_xor_si256(v, flip)));
        __m256i bit = _mm256_shuffle_epi8(bits, _mm256_and_si256(_mm256_srli_epi16(v, 4), seven));
        uint32_t miss = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row, bit), zero)));
        if (~miss) return p + static_cast<Pos>(__builtin_ctz(~miss));
    }
    return find_set_ssse3(d, p, n, nb, set);
}

#endif  // QGX_BYTE_SCAN_X86

}  // namespace

bool byte_scan_kernel_available(ByteScanKernel k) {
    switch (k) {
        case ByteScanKernel::Auto:
        case ByteScanKernel::Portable:
            return true;
#if QGX_BYTE_SCAN_X86
        case ByteScanKernel::Ssse3:
            __builtin_cpu_init();
            return __builtin_cpu_supports("ssse3");
        case ByteScanKernel::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3");
#else
        default:
            return false;
#endif
    }
    return false;
}

StartScanner::StartScanner(const ElementStart& s, ByteScanKernel k)
    : kernel_(resolve_byte_kernel(k)), at_end_(s.first.at_end), reach_(s.reach) {
    const int n = s.first.count();
    if (s.literal_len >= 2 && n > 0) {
        mode_ = Mode::Literal;
        literal_len_ = s.literal_len;
        std::memcpy(literal_, s.literal, s.literal_len);
    } else if (s.inner_len > 0 && n > 3) {
        // The first bytes pass over little: the literal further on decides.
        mode_ = Mode::Inner;
        literal_len_ = s.inner_len;
        std::memcpy(literal_, s.inner, s.inner_len);
        inner_min_ = s.inner_min;
        set_ = s.first.bytes;
        lead_ = s.lead;
    } else if (n == 256) {
        mode_ = Mode::Every;
    } else if (n == 0) {
        mode_ = Mode::Nothing;
    } else if (n <= 3) {
        mode_ = n == 1 ? Mode::Byte : Mode::Few;
        set_ = s.first.bytes;
        for (int b = 0; b < 256; ++b)
            if (s.first.bytes.has(static_cast<unsigned char>(b))) few_[few_count_++] = static_cast<uint8_t>(b);
        // The unused compares repeat a member.
        for (int i = few_count_; i < 3; ++i) few_[i] = few_[i - 1];
    } else {
        mode_ = Mode::Set;
        set_ = s.first.bytes;
        for (int b = 0; b < 256; ++b) {
            if (!set_.has(static_cast<unsigned char>(b))) continue;
            int h = b >> 4, l = b & 15;
            if (h < 8) nibbles_.low_clear[l] |= static_cast<uint8_t>(1u << h);
            else nibbles_.low_set[l] |= static_cast<uint8_t>(1u << (h - 8));
        }
    }
    const bool by_set = mode_ == Mode::Byte || mode_ == Mode::Few || mode_ == Mode::Set;
    for (int b = 0; b < 256; ++b)
        in_set_[b] = mode_ == Mode::Every || (by_set && set_.has(static_cast<unsigned char>(b)));
}

Pos StartScanner::next_inside_call(Text t, Pos p) const {
    const char* d = t.data;
    const Pos n = t.len;
    if (p >= n) return n;
    switch (mode_) {
        case Mode::Every:
            return p;
        case Mode::Nothing:
            return n;
        case Mode::Byte: {
            if (kernel_ == ByteScanKernel::Portable) return find_few_portable(d, p, n, few_, 3);
            const void* hit = std::memchr(d + p, few_[0], n - p);
            return hit ? static_cast<Pos>(static_cast<const char*>(hit) - d) : n;
        }
        case Mode::Few:
        case Mode::Set: {
            // Where candidates lie close together (a common first byte), the
            // next few bytes are looked at one by one before a vector scan.
            const Pos stop = n - p > 8 ? p + 8 : n;
            for (; p < stop; ++p)
                if (in_set_[static_cast<unsigned char>(d[p])]) return p;
            if (p >= n) return n;
            break;
        }
        default:
            break;
    }
    switch (mode_) {
        case Mode::Few:
#if QGX_BYTE_SCAN_X86
            if (kernel_ == ByteScanKernel::Avx2) return find_few_avx2(d, p, n, few_, few_count_);
            if (kernel_ == ByteScanKernel::Ssse3) return find_few_sse2(d, p, n, few_, few_count_);
#endif
            return find_few_portable(d, p, n, few_, few_count_);
        case Mode::Set:
#if QGX_BYTE_SCAN_X86
            if (kernel_ == ByteScanKernel::Avx2) return find_set_avx2(d, p, n, nibbles_, set_);
            if (kernel_ == ByteScanKernel::Ssse3) return find_set_ssse3(d, p, n, nibbles_, set_);
#endif
            return find_in_set_portable(d, p, n, set_);
        case Mode::Literal: {
            const Pos m = literal_len_;
            if (n - p >= m) {
                SearchKernel sk = kernel_ == ByteScanKernel::Portable ? SearchKernel::Portable : SearchKernel::Auto;
                if (const char* hit = find_substring(d + p, n - p, literal_, m, sk))
                    return static_cast<Pos>(hit - d);
            }
            // Near the end a match may begin with the part of the literal
            // that the text still holds.
            for (Pos q = n - p >= m ? n - m + 1 : p; q < n; ++q)
                if (std::memcmp(d + q, literal_, n - q) == 0) return q;
            return n;
        }
        case Mode::Inner: {
            StartCursor c;
            return next_inner(t, p, c);
        }
        case Mode::Every:
        case Mode::Nothing:
        case Mode::Byte:
            break;  // answered above
    }
    return p;
}

// A match at p holds the literal at some q >= p + min with every byte of
// [p, q) a lead byte. Of the occurrences at or after p + min, the first (h)
// decides: when a byte of [p, h) is not a lead byte, neither can any later
// occurrence be reached from p. So the candidates for h are the positions
// from lo (where the run of lead bytes before h begins) to h - min, and the
// next ones lie past h - min. The cursor keeps h and lo while p stays at or
// below h - min, so each byte is searched once and walked back over once.
Pos StartScanner::next_inner(Text t, Pos p, StartCursor& c) const {
    const char* d = t.data;
    const Pos n = t.len;
    const Pos m = literal_len_;
    const SearchKernel sk = kernel_ == ByteScanKernel::Portable ? SearchKernel::Portable : SearchKernel::Auto;
    while (p < n) {
        if (c.hit == StartCursor::kNone || c.hit < p || c.hit - p < inner_min_) {
            // The first occurrence at or after p + min.
            if (n - p < inner_min_ || n - p - inner_min_ < m) return n;
            const Pos from = p + inner_min_;
            const char* hit = find_substring(d + from, n - from, literal_, m, sk);
            if (!hit) return n;
            c.hit = static_cast<Pos>(hit - d);
            Pos lo = c.hit;
            while (lo > p && lead_.has(static_cast<unsigned char>(d[lo - 1]))) --lo;
            c.lo = lo;
        }
        Pos q = c.lo > p ? c.lo : p;
        const Pos last = c.hit - inner_min_;
        for (; q <= last; ++q)
            if (set_.has(static_cast<unsigned char>(d[q]))) return q;
        p = last + 1;
    }
    return n;
}

bool may_pass_over(const StartScanner& s) {
    return uint64_t{tls_match_depth.depth} + s.reach() <= kMaxMatchDepth;
}

}  // namespace qgx
