// The five literal-family kinds on records built directly: their tests at
// every position, directly and through the interface table, and their records.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

// One kind built from `s`, reached through its interface table.
SharedElement make(const std::string& kind, const std::string& s) {
    if (kind == "Literal") return SharedElement(build_literal(s), literal_vtable());
    if (kind == "Keyword") return SharedElement(build_keyword(s), keyword_vtable());
    if (kind == "CaselessLiteral") return SharedElement(build_caseless_literal(s), caseless_literal_vtable());
    if (kind == "CaselessKeyword") return SharedElement(build_caseless_keyword(s), caseless_keyword_vtable());
    return SharedElement(build_char(s), char_vtable());
}

struct Case {
    const char* kind;
    std::string s;
    std::string text;
    Pos pos;
    bool matched;
    Pos end;
    std::string token;    // when matched
    std::string message;  // when not matched
};

const Case kCases[] = {
    {"Literal", "ab", "xab", 0, false, 0, "", "Expected 'ab'"},
    {"Literal", "ab", "xab", 1, true, 3, "ab", ""},
    {"Literal", "ab", "xab", 2, false, 0, "", "Expected 'ab'"},
    {"Literal", "ab", "ab", 2, false, 0, "", "Expected 'ab'"},
    {"Literal", "ab", "", 0, false, 0, "", "Expected 'ab'"},
    {"Literal", "a", "\xc3\xa9", 1, false, 0, "", "Expected 'a'"},
    {"Literal", "\xc3\xa9", "x\xc3\xa9", 1, true, 3, "\xc3\xa9", ""},
    {"Literal", "", "abc", 0, true, 0, "", ""},
    {"Literal", "", "abc", 3, true, 3, "", ""},
    {"Literal", "", "\xc3\xa9", 1, true, 1, "", ""},
    {"Keyword", "if", "if", 0, true, 2, "if", ""},
    {"Keyword", "if", "if(x)", 0, true, 2, "if", ""},
    {"Keyword", "if", "iffy", 0, false, 0, "", "Expected keyword 'if'"},
    {"Keyword", "if", "if_", 0, false, 0, "", "Expected keyword 'if'"},
    {"Keyword", "if", "xif", 1, true, 3, "if", ""},
    {"Keyword", "if", "_if", 1, true, 3, "if", ""},
    {"Keyword", "if", "if\xc3\xa9", 0, true, 2, "if", ""},
    {"Keyword", "if", "i", 0, false, 0, "", "Expected keyword 'if'"},
    {"Keyword", "\xc3\xa9", "\xc3\xa9", 0, true, 2, "\xc3\xa9", ""},
    {"Keyword", "", "", 0, true, 0, "", ""},
    {"Keyword", "", "(", 0, true, 0, "", ""},
    {"Keyword", "", "a", 0, false, 0, "", "Expected keyword ''"},
    {"Keyword", "", "a", 1, true, 1, "", ""},
    {"CaselessLiteral", "AbC", "aBcd", 0, true, 3, "AbC", ""},
    {"CaselessLiteral", "AbC", "aBd", 0, false, 0, "", "Expected 'AbC' (caseless)"},
    {"CaselessLiteral", "\xc3\x89", "\xc3\xa9", 0, false, 0, "", "Expected '\xc3\x89' (caseless)"},
    {"CaselessLiteral", "[", "{", 0, false, 0, "", "Expected '[' (caseless)"},  // 0x5B is no letter
    {"CaselessLiteral", "", "ab", 1, true, 1, "", ""},
    {"CaselessLiteral", "", "ab", 2, true, 2, "", ""},
    {"CaselessKeyword", "IF", "If x", 0, true, 2, "IF", ""},
    {"CaselessKeyword", "IF", "IFx", 0, false, 0, "", "Expected keyword 'IF' (caseless)"},
    {"CaselessKeyword", "IF", "xif", 1, true, 3, "IF", ""},
    {"CaselessKeyword", "", "", 0, true, 0, "", ""},
    {"CaselessKeyword", "", "(", 0, true, 0, "", ""},
    {"CaselessKeyword", "", "a", 0, false, 0, "", "Expected keyword '' (caseless)"},
    {"Char", "ab", "ba", 0, true, 1, "b", ""},
    {"Char", "ab", "ba", 1, true, 2, "a", ""},
    {"Char", "ab", "ba", 2, false, 0, "", "Expected one of 'ab'"},
    {"Char", "", "a", 0, false, 0, "", "Expected one of ''"},
    {"Char", "", "", 0, false, 0, "", "Expected one of ''"},
    // A member byte that is part of a character: the token is rounded forward
    // to character boundaries, the match end stays one byte on.
    {"Char", "\xc3\xa9", "\xc3\xa9", 0, true, 1, "\xc3\xa9", ""},
    {"Char", "\xc3\xa9", "\xc3\xa9", 1, true, 2, "", ""},
    {"Char", "\xc3\xa9", "\xc3\xa8x", 0, true, 1, "\xc3\xa8", ""},
    {"Char", "\xc3\xa9", "\xc2\xa9", 1, true, 2, "", ""},
    {"Char", "\xc3\xa9", "a\xc2\xa9", 1, false, 0, "", "Expected one of '\xc3\xa9'"},
};

std::string label(const Case& c) { return std::string(c.kind) + "(" + c.s + ") on '" + c.text + "' at " + std::to_string(c.pos); }

TEST(LiteralKinds, CaseTable) {
    for (const Case& c : kCases) {
        SharedElement e = make(c.kind, c.s);
        Text t(c.text);
        ParseOutcome o = e.parse_at(t, c.pos);
        TryMatchOutcome m = e.try_match_at(t, c.pos);
        ASSERT_EQ(o.ok, c.matched) << label(c);
        ASSERT_EQ(m.matched != 0, c.matched) << label(c);
        if (c.matched) {
            EXPECT_EQ(o.end, c.end) << label(c);
            EXPECT_EQ(m.end, c.end) << label(c);
            ASSERT_EQ(o.tokens.size(), 1u) << label(c);
            EXPECT_EQ(o.tokens[0].view(), c.token) << label(c);
        } else {
            EXPECT_EQ(o.failure.message.view(), c.message) << label(c);
            EXPECT_EQ(o.failure.position, c.pos) << label(c);
        }
        if (c.pos == 0) {
            EXPECT_TRUE(same_outcome(o, e.parse_from_start(t))) << label(c);
        }
    }
}

// parse_from_start reports position 0, and parse_at and try_match_at agree at
// every position of assorted texts, the end included.
TEST(LiteralKinds, OperationsAgreeAtEveryPosition) {
    const char* kinds[] = {"Literal", "Keyword", "CaselessLiteral", "CaselessKeyword", "Char"};
    const std::string args[] = {"ab", "A", "", "\xc3\xa9", "if"};
    const std::string texts[] = {"", "ab ab", "xAb_ab(", "\xc3\xa9\xc3\xa9 if", "IFif"};
    for (const char* kind : kinds) {
        for (const std::string& s : args) {
            SharedElement e = make(kind, s);
            for (const std::string& text : texts) {
                Text t(text);
                for (Pos p = 0; p <= t.len; ++p) {
                    ParseOutcome o = e.parse_at(t, p);
                    TryMatchOutcome m = e.try_match_at(t, p);
                    ASSERT_EQ(o.ok, m.matched != 0) << kind << " " << s << " " << text << " " << p;
                    if (o.ok) {
                        EXPECT_EQ(o.end, m.end);
                        EXPECT_GE(o.end, p);
                        EXPECT_LE(o.end, t.len);
                    } else {
                        EXPECT_EQ(o.failure.position, p);
                    }
                }
                ParseFromStartOutcome fs = e.parse_from_start(t);
                EXPECT_TRUE(same_outcome(e.parse_at(t, 0), fs)) << kind << " " << s << " " << text;
            }
        }
    }
}

TEST(LiteralRecords, BuildLiteral) {
    Rc<LiteralElement> r = build_literal("ab'c");
    EXPECT_EQ(r->first_byte, 'a');
    EXPECT_EQ(r->text.view(), "ab'c");
    EXPECT_EQ(r->message.view(), "Expected 'ab'c'");
    ASSERT_EQ(r->tokens.size(), 1u);
    EXPECT_FALSE(r->tokens.on_heap());
    EXPECT_EQ(r->tokens[0].view(), "ab'c");
    EXPECT_NE(r->tokens[0].data(), r->text.data());  // separate copies

    Rc<LiteralElement> e = build_literal("");
    EXPECT_EQ(e->first_byte, 0);
    EXPECT_EQ(e->text.size(), 0u);
    EXPECT_EQ(e->message.view(), "Expected ''");
    ASSERT_EQ(e->tokens.size(), 1u);
    EXPECT_TRUE(e->tokens[0].empty());

    // A NUL byte and a brace in the text are copied as they are.
    Rc<LiteralElement> z = build_literal(std::string("a\0{}", 4));
    EXPECT_EQ(z->message.view(), std::string("Expected 'a\0{}'", 15));
}

TEST(LiteralRecords, OtherKinds) {
    Rc<KeywordElement> k = build_keyword("if");
    EXPECT_EQ(k->match_len, 2u);
    EXPECT_EQ(k->first_byte, 'i');
    EXPECT_EQ(k->message.view(), "Expected keyword 'if'");
    for (int b = 0; b < 256; ++b) {
        bool ident = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
        EXPECT_EQ(k->identifier_chars.has(static_cast<unsigned char>(b)), ident) << b;
    }
    Rc<CaselessLiteralElement> cl = build_caseless_literal("AbZ@[\xc3\x89");
    EXPECT_EQ(cl->lower_text.view(), "abz@[\xc3\x89");
    EXPECT_EQ(cl->tokens[0].view(), "AbZ@[\xc3\x89");
    EXPECT_EQ(cl->message.view(), "Expected 'AbZ@[\xc3\x89' (caseless)");
    Rc<CaselessKeywordElement> ck = build_caseless_keyword("IF");
    EXPECT_EQ(ck->lower_text.view(), "if");
    EXPECT_EQ(ck->match_len, 2u);
    EXPECT_EQ(ck->message.view(), "Expected keyword 'IF' (caseless)");
    Rc<CharElement> ch = build_char("a\xc3\xa9");
    int members = 0;
    for (int b = 0; b < 256; ++b) members += ch->members.flags[b];
    EXPECT_EQ(members, 3);
    EXPECT_TRUE(ch->members.has('a') && ch->members.has(0xC3) && ch->members.has(0xA9));
    EXPECT_EQ(ch->message.view(), "Expected one of 'a\xc3\xa9'");
}

// Successes view the prebuilt token, failures the stored message: a match
// makes no new text and changes no count.
TEST(LiteralRecords, OutcomesShareStoredTexts) {
    Rc<LiteralElement> r = build_literal("ab");
    ParseOutcome ok = literal_parse_at(*r, Text(std::string_view("ab")), 0);
    ASSERT_TRUE(ok.ok);
    EXPECT_EQ(ok.tokens[0].data(), r->tokens[0].data());
    EXPECT_EQ(ok.tokens[0].view(), "ab");
    EXPECT_EQ(r->tokens[0].use_count(), 1u);
    ParseOutcome bad = literal_parse_at(*r, Text(std::string_view("x")), 0);
    EXPECT_EQ(bad.failure.message.data(), r->message.data());
    EXPECT_EQ(r->message.use_count(), 1u);

    Rc<KeywordElement> k = build_keyword("if");
    ParseOutcome kok = keyword_parse_at(*k, Text(std::string_view("if")), 0);
    EXPECT_EQ(kok.tokens[0].data(), k->tokens[0].data());
    Rc<CaselessKeywordElement> ck = build_caseless_keyword("IF");
    ParseOutcome cbad = caseless_keyword_parse_at(*ck, Text(std::string_view("ifx")), 0);
    EXPECT_EQ(cbad.failure.message.data(), ck->message.data());
}

TEST(LiteralRecords, RecordOutlivesOneHandle) {
    SharedElement a = make("Literal", "ab");
    SharedElement b = a;
    a = SharedElement();
    EXPECT_TRUE(b.try_match_at(Text(std::string_view("ab")), 0).matched);
}

}  // namespace

namespace {

// Long texts: within an operation, a test at a position is answered from the
// memo of where the text next occurs. In every order of tests (a scan, one
// that looks ahead and back, backwards, shuffled, repeated) each answer
// equals the plain compare's, for every kind, on texts where the needle
// occurs densely, overlaps itself, and nearly occurs everywhere.
TEST(LongNeedleMemo, EveryOrderOfTestsAnswersAsThePlainCompare) {
    std::mt19937 rng(11);
    const char* kinds[] = {"Literal", "Keyword", "CaselessLiteral", "CaselessKeyword"};
    for (int round = 0; round < 40; ++round) {
        const Pos m = kLongNeedle + rng() % 80;
        std::string needle(m, 'a');
        if (round % 3 == 1) needle.back() = 'b';
        if (round % 3 == 2) needle[m / 2] = 'B';
        std::string text;
        const size_t len = 2000 + rng() % 12000;
        while (text.size() < len) {
            // Mixed case for the caseless kinds; long runs of one letter for all.
            int r = rng() % 100;
            if (round % 2)
                text += r < 90 ? (rng() % 2 ? 'a' : 'A') : r < 95 ? 'b' : ' ';
            else
                text += r < 98 ? 'a' : r < 99 ? 'b' : 'A';
            if (rng() % 500 == 0) text += needle;
        }
        Text t(text);
        for (const char* kind : kinds) {
            SharedElement e = make(kind, needle);
            std::vector<uint8_t> plain(t.len + 1);
            std::vector<Pos> ends(t.len + 1);
            for (Pos p = 0; p <= t.len; ++p) {
                TryMatchOutcome o = e.try_match_at(t, p);
                plain[p] = o.matched;
                ends[p] = o.end;
            }
            std::vector<std::vector<Pos>> orders(5);
            for (Pos p = 0; p <= t.len; ++p) {
                orders[0].push_back(p);
                orders[1].push_back(p);
                orders[1].push_back(p + m / 3 < t.len ? p + m / 3 : t.len);
                orders[1].push_back(p > 5 ? p - 5 : 0);
            }
            orders[2] = orders[0];
            std::reverse(orders[2].begin(), orders[2].end());
            orders[3] = orders[0];
            std::shuffle(orders[3].begin(), orders[3].end(), rng);
            orders[4] = orders[0];
            orders[4].insert(orders[4].end(), orders[0].begin(), orders[0].end());
            for (size_t k = 0; k < orders.size(); ++k) {
                SCOPED_TRACE(std::string(kind) + " round " + std::to_string(round) + " order " + std::to_string(k));
                ContextScope scope;
                begin_text(t);
                for (Pos p : orders[k]) {
                    TryMatchOutcome o = e.try_match_at(t, p);
                    ASSERT_EQ(o.matched, plain[p]) << "at " << p;
                    if (o.matched) {
                        ASSERT_EQ(o.end, ends[p]) << "at " << p;
                    }
                }
            }
        }
    }
}

}  // namespace
