// The first-byte analysis and the start scanner: what each kind's start
// says, that no match is ever passed over, that a call at a passed-over
// position enters no more levels than the start's reach, and every scanner
// kernel against a byte-by-byte scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/first_bytes.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/structure.hpp"
#include "combinator_stand_ins.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

SharedElement literal(const std::string& s) { return SharedElement(build_literal(s), literal_vtable()); }
SharedElement keyword(const std::string& s) { return SharedElement(build_keyword(s), keyword_vtable()); }
SharedElement regex(const char* p) {
    RegexBuildOutcome b = make_regex_element(Text(p));
    EXPECT_TRUE(b.error.empty()) << p;
    return SharedElement(b.element, regex_vtable());
}
SharedElement word(const std::string& init) {
    return SharedElement(make_word_element(Text(init), nullptr), word_vtable());
}
template <class R>
SharedElement positional(const ElementVTable* v) {
    return SharedElement(Rc<R>::make(), v);
}
SharedElement line_end() { return positional<LineEndElement>(line_end_vtable()); }
SharedElement string_end_kind() { return positional<StringEndElement>(string_end_vtable()); }

std::string bytes_of(const FirstBytes& f) {
    if (f.count() == 256) return "*";
    std::string s;
    for (int b = 0; b < 256; ++b)
        if (f.bytes.has(static_cast<unsigned char>(b))) s += static_cast<char>(b);
    return s;
}

// A grammar that reaches itself through a Forward; the cycle is broken when
// the test ends.
struct Nested {
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f{slot, forward_vtable()};
    SharedElement choice;
    Nested() {
        choice = first({seq({suppress(literal("(")), f, suppress(literal(")"))}), word("0123456789")});
        set_forward_target(*slot, choice);
    }
    ~Nested() { set_forward_target(*slot, nothing()); }
};

}  // namespace

TEST(ElementStart, WhatEachKindBeginsWith) {
    Nested nested;
    struct Case {
        const char* name;
        SharedElement e;
        std::string bytes;  // "*" for every byte
        bool at_end;
        std::string literal;
        bool exact;
        uint32_t reach;
    };
    const std::string long_text(40, 'q');
    std::vector<Case> cases = {
        {"literal", literal("ab"), "a", false, "ab", true, 0},
        {"empty literal", literal(""), "*", true, "", true, 0},
        {"long literal is cut", literal(long_text), "q", false, long_text.substr(0, 32), false, 0},
        {"keyword", keyword("if"), "i", false, "if", true, 0},
        {"caseless", SharedElement(build_caseless_literal("Ok"), caseless_literal_vtable()), "Oo", false, "", false, 0},
        {"char", SharedElement(build_char("+-"), char_vtable()), "+-", false, "", false, 0},
        {"word", word("ba_"), "_ab", false, "", false, 0},
        {"regex literal", regex("\\n\\n"), "\n", false, "\n\n", true, 0},
        {"regex literal then more", regex("ab+c"), "a", false, "ab", false, 0},
        {"regex literal before an optional atom", regex("abc?"), "a", false, "ab", false, 0},
        {"regex class", regex("[b-c]x"), "bc", false, "", false, 0},
        {"regex alternation", regex("a|b"), "ab", false, "", false, 0},
        {"regex optional first", regex("x*y"), "xy", false, "", false, 0},
        {"regex class escape", regex("\\d"), "0123456789\xD9\xDB\xDF\xE0\xE1\xEA\xEF\xF0", false, "", false, 0},
        {"line end", line_end(), "\n", true, "\n", true, 0},
        {"string end", string_end_kind(), "", true, "", true, 0},
        {"no match", positional<NoMatchElement>(no_match_vtable()), "", false, "", false, 0},
        {"empty", positional<EmptyElement>(empty_vtable()), "*", true, "", true, 0},
        {"two line ends", seq({line_end(), line_end()}), "\n", true, "\n\n", true, 1},
        {"literal then optional", seq({literal("a"), optional(literal("b"))}), "a", false, "a", false, 1},
        {"zero width then literal", seq({positional<EmptyElement>(empty_vtable()), literal("xy")}), "x", true, "xy",
         true, 1},
        {"wrapped twice", group(suppress(literal("x"))), "x", false, "x", true, 2},
        {"common prefix of alternatives", first({literal("abc"), literal("abd")}), "a", false, "ab", false, 1},
        {"alternatives of one literal", first({literal("ab"), literal("ab")}), "a", false, "ab", true, 1},
        {"no alternatives", first({}), "", false, "", false, 1},
        {"repetition", one_or_more(literal("ab")), "a", false, "ab", false, 1},
        {"exactly none", exactly(literal("ab"), 0), "*", true, "", true, 0},
        {"nested choice", nested.choice, "(0123456789", false, "", false, 3},
        {"forward", nested.f, "*", true, "", false, 0},
        {"optional", optional(literal("a")), "*", true, "", false, 0},
        {"skip to", skip_to(literal("a")), "*", true, "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ElementStart s = element_start(c.e);
        EXPECT_EQ(bytes_of(s.first), c.bytes);
        EXPECT_EQ(s.first.at_end, c.at_end);
        EXPECT_EQ(std::string(s.literal_view()), c.literal);
        EXPECT_EQ(s.exact, c.exact);
        if (!s.anywhere()) {
            EXPECT_EQ(s.reach, c.reach);
        }
    }
}

TEST(ElementStart, PatternsReadFromTheirText) {
    struct Case {
        const char* pattern;
        bool read;
        const char* literal;
        bool whole;
    };
    for (Case c : std::vector<Case>{{"\\n\\n", true, "\n\n", true},
                                    {"a\\.b", true, "a.b", true},
                                    {"ab{2}", true, "a", false},
                                    {"a+", true, "a", false},
                                    {"(?i)ab", false, "", false},
                                    {"ab|cd", false, "", false},
                                    {"a[|]", true, "a", false},
                                    {"\\x41b", false, "", false},
                                    {"[ab]c", true, "", false},
                                    {"^ab", false, "", false}}) {
        SCOPED_TRACE(c.pattern);
        ByteSet bytes;
        char lit[ElementStart::kMaxLiteral];
        uint32_t n = 0;
        bool whole = false;
        EXPECT_EQ(pattern_start(c.pattern, bytes, lit, n, whole), c.read);
        EXPECT_EQ(std::string(lit, n), c.literal);
        EXPECT_EQ(whole, c.whole);
    }
}

namespace {

// Every kind the analysis reads, alone and behind composites.
std::vector<SharedElement> start_kinds(const Nested& nested) {
    return {
        literal("ab"), literal(""), keyword("if"), SharedElement(build_caseless_literal("Ok"), caseless_literal_vtable()),
        SharedElement(build_caseless_keyword("#x"), caseless_keyword_vtable()),
        SharedElement(build_char("-+\xc3\xa9"), char_vtable()), word("ab_"),
        SharedElement(make_quoted_string_element(Text("'"), nullptr, false, true), quoted_string_vtable()),
        regex("\\n\\n"), regex("ab+"), regex("[a-c_]+"), regex("\\.x"), regex("a?"), regex("\xc3\xa9"),
        regex("\\(a"), regex("[\\n]z"), line_end(), string_end_kind(), positional<NoMatchElement>(no_match_vtable()),
        positional<LineStartElement>(line_start_vtable()), positional<StringStartElement>(string_start_vtable()),
        seq({line_end(), line_end()}), seq({literal("a"), line_end(), literal("b")}), seq({line_end(), string_end_kind()}),
        seq({positional<EmptyElement>(empty_vtable()), literal("xy")}), seq({optional(literal("b")), literal("c")}),
        one_or_more(literal("ab")), exactly(literal("c"), 2), exactly(literal("c"), 0), group(literal("q")),
        suppress(literal("\n\n")), combine(seq({literal("("), literal(")")})), first({literal("ab"), literal("ac")}),
        first({literal("x"), optional(literal("y"))}), first({literal("\n"), string_end_kind()}), nested.choice,
        first({seq({literal("ab"), literal("c")}), seq({literal("ab"), line_end()})}),
        seq({word("ab"), literal("c"), word("x")}), seq({optional(group(word("a"))), literal("b")}),
        seq({one_or_more(group(word("a"))), first({literal("bc"), literal("b")})}), regex("[a-c]+\\n"),
    };
}

const std::vector<std::string> kStartTexts = {
    "", "ab", "if x", "ifx", "oK", "#X", "-+\xc3\xa9", "ab_c", "'q' x", "\n\n", "a\nb", "\n", "x\n", "abab",
    "cc", "c", "()", "(1)", "((2))", "(x", "y", "ac", "abc", "ab\n", "a\xc3\xa9", ".x", "(a", "\nz", "xy",
    "a\n\n\nb\n", "zz\n\n", "q\n\nq\n", "\n\n\n", "ab ac abc ab\n (((7))) 'x' #x ok",
};

}  // namespace

TEST(StartScanner, NeverPassesOverAMatch) {
    Nested nested;
    for (const SharedElement& e : start_kinds(nested)) {
        ElementStart s = element_start(e);
        StartScanner scan(s);
        for (const std::string& str : kStartTexts) {
            Text t(str);
            for (Pos p = 0; p <= t.len; ++p) {
                SCOPED_TRACE("text '" + str + "' at " + std::to_string(p));
                TryMatchOutcome m = e.try_match_at(t, p);
                ParseOutcome o = e.parse_at(t, p);
                Pos q = 0;
                bool candidate = scan.next(t, p, q) && q == p;
                if (m.matched || o.ok) {
                    ASSERT_TRUE(candidate);
                }
                // The literal is the whole match where the start says so.
                const Pos whole = std::min<uint64_t>(uint64_t{p} + s.literal_len, t.len);
                if (s.exact && p < t.len && m.matched) {
                    ASSERT_EQ(m.end, whole);
                }
                if (s.exact && p < t.len && o.ok) {
                    ASSERT_EQ(o.end, whole);
                }
                // A call where the start excludes it enters no more levels than the reach.
                if (!candidate) {
                    MatchDepthState& d = tls_match_depth;
                    d.peak = d.depth;
                    (void)e.try_match_at(t, p);
                    ASSERT_LE(d.peak - d.depth, s.reach);
                    d.peak = d.depth;
                    (void)e.parse_at(t, p);
                    ASSERT_LE(d.peak - d.depth, s.reach);
                }
            }
        }
    }
}

namespace {

// The first position from p where the start allows a match, byte by byte.
Pos brute_next(const ElementStart& s, Text t, Pos p) {
    for (; p < t.len; ++p) {
        if (!s.first.bytes.has(t.at(p))) continue;
        bool ok = true;
        for (Pos i = 0; i < s.literal_len && p + i < t.len; ++i) ok = ok && t.data[p + i] == s.literal[i];
        if (ok) return p;
    }
    return t.len;
}

}  // namespace

TEST(StartScanner, EveryKernelAgreesWithTheByteScan) {
    std::mt19937 rng(17);
    const std::string alphabet = std::string("ab\n\n x") + "\x80\xc3\xff\x01\x7f";
    std::vector<ElementStart> starts;
    for (int size : {0, 1, 2, 3, 4, 9, 40, 128, 255}) {
        ElementStart s;
        s.first = FirstBytes{};
        std::vector<int> all(256);
        for (int i = 0; i < 256; ++i) all[i] = i;
        std::shuffle(all.begin(), all.end(), rng);
        for (int i = 0; i < size; ++i) s.first.bytes.add(static_cast<unsigned char>(all[i]));
        // Members that the texts hold, so that some are found.
        if (size > 0) s.first.bytes.add(static_cast<unsigned char>(alphabet[size % alphabet.size()]));
        starts.push_back(s);
    }
    for (const char* lit : {"ab", "\n\n", "x\x80", "aaa", "b\n b"}) {
        ElementStart s;
        s.first = FirstBytes::one(static_cast<unsigned char>(lit[0]));
        s.set_literal(lit, std::strlen(lit), true);
        starts.push_back(s);
    }
    std::vector<std::string> texts;
    for (int len : {0, 1, 5, 15, 16, 17, 31, 32, 33, 63, 100, 257, 1000}) {
        for (int k = 0; k < 3; ++k) {
            std::string t;
            for (int i = 0; i < len; ++i) t += alphabet[rng() % (k == 0 ? 2 : alphabet.size())];
            texts.push_back(t);
        }
    }
    texts.push_back(std::string(300, 'a') + "\x80");
    for (ByteScanKernel k : {ByteScanKernel::Auto, ByteScanKernel::Avx2, ByteScanKernel::Ssse3, ByteScanKernel::Portable}) {
        if (!byte_scan_kernel_available(k)) continue;
        for (const ElementStart& s : starts) {
            StartScanner scan(s, k);
            for (const std::string& str : texts) {
                Text t(str);
                for (Pos p = 0; p <= t.len; ++p)
                    ASSERT_EQ(scan.next_inside(t, p), brute_next(s, t, p))
                        << "kernel " << static_cast<int>(k) << ", " << s.first.count() << " bytes, literal '"
                        << std::string(s.literal_view()) << "', text length " << t.len << ", at " << p;
            }
        }
    }
}

namespace {

std::string lead_of(const ByteSet& s) {
    std::string out;
    for (int b = 0; b < 128; ++b)
        if (s.has(static_cast<unsigned char>(b))) out += static_cast<char>(b);
    if (s.has(0x80) && s.has(0xFF)) out += "+wide";
    return out;
}

}  // namespace

TEST(ElementStart, InnerLiteralReadFromPatterns) {
    struct Case {
        const char* pattern;
        const char* literal;  // "" where none is read
        uint32_t min;
        const char* lead;
    };
    for (Case c : std::vector<Case>{
             {"[a-c.]+@[a-z]+", "@", 1, ".abc"},
             {"[^\\n]*ERROR[^\\n]*", "ERROR", 0, ""},  // lead checked below
             {"x{2,}y?zz", "zz", 2, "xy"},
             {"\\bword\\b", "word", 0, ""},
             {"a*b|c", "", 0, ""},
             {"(?:a|b)x", "", 0, ""},
             {"a(x|y)", "a", 0, ""},
             {"\\d+-\\d", "-", 1, "0123456789+wide"},
             {"ab+cd", "ab", 0, ""},
         }) {
        SCOPED_TRACE(c.pattern);
        char lit[ElementStart::kMaxInner];
        uint32_t n = 0, min = 0;
        ByteSet lead;
        bool read = pattern_inner_literal(c.pattern, lit, n, min, lead);
        EXPECT_EQ(read, *c.literal != 0);
        if (!read) continue;
        EXPECT_EQ(std::string(lit, n), c.literal);
        EXPECT_EQ(min, c.min);
        if (std::string(c.pattern).rfind("[^", 0) == 0) {
            EXPECT_FALSE(lead.has('\n'));
            EXPECT_TRUE(lead.has('E') && lead.has(0xC3));
        } else {
            EXPECT_EQ(lead_of(lead), c.lead);
        }
    }
}

TEST(ElementStart, InnerLiteralOfRecords) {
    struct Case {
        const char* name;
        SharedElement e;
        const char* literal;
        uint32_t min;
        const char* lead;
    };
    for (const Case& c : std::vector<Case>{
             {"word @ word", seq({word("abc"), literal("@"), word("x")}), "@", 1, "abc"},
             {"optional word ::", seq({optional(word("ab")), literal("::")}), "::", 0, "ab"},
             {"combine", combine(seq({word("0123456789"), literal(" E")})), " E", 1, "0123456789"},
             {"two runs", seq({word("a"), literal("-"), word("b"), literal("=")}), "-", 1, "a"},
             {"choice, same literal", first({seq({word("a"), literal("@")}), seq({word("b"), literal("@")})}), "@", 1,
              "ab"},
             {"choice, other literals", first({seq({word("a"), literal("@")}), seq({word("b"), literal("#")})}), "", 0,
              ""},
             {"no run first", seq({first({word("a"), literal("bb")}), literal("@")}), "", 0, ""},
         }) {
        SCOPED_TRACE(c.name);
        ElementStart s = element_start(c.e);
        EXPECT_EQ(std::string(s.inner_view()), c.literal);
        if (!*c.literal) continue;
        EXPECT_EQ(s.inner_min, c.min);
        EXPECT_EQ(lead_of(s.lead), c.lead);
    }
}

// The scanner with an inner literal, called with rising positions and one
// cursor as a scan calls it, against the positions where the element matches:
// none is passed over, on texts where the literal stands without a match,
// occurrences overlap, and characters take several bytes.
TEST(StartScanner, InnerLiteralPassesOverNoMatch) {
    const std::vector<SharedElement> elements = {
        seq({word("abc"), literal("@"), word("xyz")}),
        seq({optional(word("ab")), literal("aab")}),
        seq({word("a"), literal("aa"), literal("b")}),
        regex("[a-c.]+@[a-z]+"),
        regex("[^\\n]*ERR[^\\n]*"),
        regex("x{2,}y?zz"),
        first({seq({word("ab"), literal("@")}), regex("q+#")}),
        seq({regex("[a-c]+"), literal("@")}),  // a run read from the pattern's shape
    };
    const std::vector<std::string> texts = {
        "", "@", "a@x", "bb@ ab@z", "aaaab aab aaab", "aaaaab", "aab", "q#q##qq#", "ab\xc3\xa9" "@x \xc3\xa9" "a@y",
        "ERR\nxERRy\n\xc3\xa9" " ERR", "xxzz xzz xxyzz xxxyyzz", "..@@a@@b.c@d", "a@\nERR zz#",
    };
    for (const SharedElement& e : elements) {
        ElementStart s = element_start(e);
        StartScanner scan(s);
        for (const std::string& str : texts) {
            SCOPED_TRACE("'" + str + "'");
            Text t(str);
            StartCursor cursor;
            Pos p = 0;
            while (p < t.len) {
                Pos q = scan.next_inside(t, p, cursor);
                ASSERT_EQ(q, scan.next_inside(t, p));
                for (Pos x = p; x < q; ++x) ASSERT_FALSE(e.try_match_at(t, x).matched) << x;
                p = q + 1;
            }
        }
    }
}
