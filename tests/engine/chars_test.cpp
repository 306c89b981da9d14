#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

constexpr const char* kNoToken = nullptr;

// ---------------------------------------------------------------------------
// Word

struct WordCase {
    const char* init;
    const char* body;  // nullptr: a copy of init
    std::string text;
    Pos pos;
    bool try_matched;
    Pos try_end;
    const char* token;  // parse_at's token, nullptr when it fails
    Pos parse_end;
};

const WordCase kWordCases[] = {
    {"ab", "0123456789", "a12b", 0, true, 3, "a12", 3},
    {"ab", "0123456789", "1a", 0, false, 0, kNoToken, 0},
    {"ab", "0123456789", "", 0, false, 0, kNoToken, 0},
    {"ab", "0123456789", "xa", 2, false, 0, kNoToken, 0},
    {"ab", "0123456789", "xa1", 1, true, 3, "a1", 3},
    {"ab", "b", "ba", 0, true, 1, "b", 1},
    {"ab", "", "aab", 1, true, 2, "a", 2},
    // Members from U+0080..U+00FF are tested by byte value in both
    // operations: 'é' (C3 A9) does not continue a word whose body holds
    // U+00E9, nor '©' (C2 A9) one that holds U+00A9.
    {"a", "\xc3\xa9", "a\xc3\xa9", 0, true, 1, "a", 1},
    {"a", "\xc2\xa9", "a\xc2\xa9!", 0, true, 1, "a", 1},
    // A member whose code point equals a continuation byte (U+00A9) begins
    // no word inside a character; after the character a word begins as usual.
    {"a\xc2\xa9", nullptr, "\xc2\xa9", 1, false, 0, kNoToken, 0},
    {"a\xc2\xb0", nullptr, "\xc2\xb0" "a", 1, false, 0, kNoToken, 0},
    {"a\xc2\xb0", nullptr, "\xc2\xb0" "a", 2, true, 3, "a", 3},
    // A member equal to a lead byte (U+00C3) would cut 'é': the run ends
    // before the character, and a word of that cut byte alone is none.
    {"\xc3\x83", nullptr, "\xc3\xa9", 0, false, 0, kNoToken, 0},
    {"a\xc3\x83", nullptr, "aa\xc3\xa9", 0, true, 2, "aa", 2},
    {"a\xc3\x83", nullptr, "aa\xc3\xa9", 2, false, 0, kNoToken, 0},
    // Byte values that happen to spell a whole character make a word of it.
    {"\xc3\x83", "\xc2\xa9\xc3\x83", "\xc3\xa9\xc3\xa9", 0, true, 4, "\xc3\xa9\xc3\xa9", 4},
    // Characters above U+00FF are not recorded.
    {"\xe6\x97\xa5\xe6\x9c\xac", nullptr, "\xe6\x97\xa5", 0, false, 0, kNoToken, 0},
};

TEST(WordKind, MatchesAndParsesPerCase) {
    for (const WordCase& c : kWordCases) {
        SCOPED_TRACE(std::string(c.init) + " / " + c.text + " @" + std::to_string(c.pos));
        Text init(c.init);
        Text body(c.body ? c.body : "");
        Rc<WordElement> w = make_word_element(init, c.body ? &body : nullptr);
        Text t(c.text);
        TryMatchOutcome m = word_try_match_at(*w, t, c.pos);
        EXPECT_EQ(m.matched != 0, c.try_matched);
        if (c.try_matched) {
            EXPECT_EQ(m.end, c.try_end);
        }
        ParseOutcome p = word_parse_at(*w, t, c.pos);
        EXPECT_EQ(p.ok, c.token != nullptr);
        if (c.token) {
            EXPECT_EQ(token_texts(p.tokens), std::vector<std::string>{c.token});
            EXPECT_EQ(p.end, c.parse_end);
        } else {
            EXPECT_EQ(p.failure.position, c.pos);
            EXPECT_EQ(p.failure.message.data(), w->message.data());
        }
        if (c.pos == 0) {
            EXPECT_TRUE(same_outcome(p, word_parse_from_start(*w, t)));
        }
    }
}

TEST(WordKind, SetsRecordCodePointsUpTo255) {
    ByteSet e = word_set_of(Text("\xc3\xa9"));
    EXPECT_TRUE(e.has(0xE9));
    EXPECT_FALSE(e.has(0xC3));
    EXPECT_FALSE(e.has(0xA9));
    EXPECT_TRUE(word_set_of(Text("\xe6\x97\xa5\xe6\x9c\xac")).empty());
    ByteSet mixed = word_set_of(Text("a\xe6\x97\xa5" "b\xc3\xbf"));
    EXPECT_TRUE(mixed.has('a') && mixed.has('b') && mixed.has(0xFF));
    EXPECT_EQ(mixed.words[0] | mixed.words[1] | mixed.words[2] | mixed.words[3],
              (uint64_t{1} << ('a' - 64)) | (uint64_t{1} << ('b' - 64)) | (uint64_t{1} << 63));
}

TEST(WordKind, MessageKeepsEightBytesOfWholeCharacters) {
    struct {
        const char* init;
        const char* message;
    } cases[] = {
        {"ab", "Expected W:(ab...)"},
        {"abcdefghij", "Expected W:(abcdefgh...)"},
        {"", "Expected W:(...)"},
        // Three CJK characters are nine bytes: the cut falls inside the third.
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "Expected W:(\xe6\x97\xa5\xe6\x9c\xac...)"},
        {"abcdefg\xc3\xa9", "Expected W:(abcdefg...)"},
        {"abcdef\xc3\xa9", "Expected W:(abcdef\xc3\xa9...)"},
    };
    for (const auto& c : cases) EXPECT_EQ(word_message(Text(c.init)).view(), c.message);
}

TEST(WordKind, RecordFields) {
    Text init("ab");
    Rc<WordElement> w = make_word_element(init, nullptr);
    EXPECT_EQ(w->min_len, 1u);
    EXPECT_EQ(w->max_len, 0u);
    EXPECT_FALSE(w->high_members);
    Text high("a\xc2\xb0");
    EXPECT_TRUE(make_word_element(init, &high)->high_members);
}

TEST(WordKind, BoundsCountBytes) {
    Text init("a");
    Rc<WordElement> w = make_word_element(init, nullptr);
    w->max_len = 2;
    Text t("aaaa");
    EXPECT_EQ(word_try_match_at(*w, t, 0).end, 2u);
    ParseOutcome p = word_parse_at(*w, t, 0);
    EXPECT_EQ(p.end, 2u);
    w->max_len = 0;
    w->min_len = 5;
    EXPECT_FALSE(word_try_match_at(*w, t, 0).matched);
    EXPECT_FALSE(word_parse_at(*w, t, 0).ok);
}

// ---------------------------------------------------------------------------
// Regex

Rc<RegexElement> regex(const char* p) {
    RegexBuildOutcome b = make_regex_element(Text(p));
    if (!b.element) ADD_FAILURE() << p << ": " << b.error;
    return std::move(b.element);
}

TEST(RegexKind, Classification) {
    struct {
        const char* pattern;
        RegexFastPath kind;
        const char* members;  // for ByteClass
        bool exact;
    } cases[] = {
        {"\\s+", RegexFastPath::WhitespaceRun, "", false},
        {"\\s*", RegexFastPath::WhitespaceRun, "", false},
        {"[abc]", RegexFastPath::ByteClass, "abc", true},
        {"[a\\]b]", RegexFastPath::ByteClass, "a]b", true},
        {"[a-z]", RegexFastPath::ByteClass, "a-z", false},
        {"[^ab]", RegexFastPath::ByteClass, "^ab", false},
        {"[\\d]", RegexFastPath::ByteClass, "d", false},
        {"[\xc3\xa9]", RegexFastPath::ByteClass, "\xc3\xa9", false},
        {"[a]b]", RegexFastPath::ByteClass, "a]b", false},
        {"[]", RegexFastPath::FullRegex, "", false},
        {"[a[b]", RegexFastPath::FullRegex, "", false},
        {"[\\]", RegexFastPath::FullRegex, "", false},
        {"abc", RegexFastPath::FullRegex, "", false},
        {"", RegexFastPath::FullRegex, "", false},
        {"\\s+?", RegexFastPath::FullRegex, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        RegexClassification k = classify_pattern(Text(c.pattern));
        EXPECT_EQ(k.fast_path, c.kind);
        if (c.kind == RegexFastPath::ByteClass) {
            ByteSet want = word_set_of(Text(c.members));
            for (int b = 0; b < 256; ++b) EXPECT_EQ(k.fast_set.has(b), want.has(b)) << b;
            EXPECT_EQ(k.exact_class, c.exact);
        }
    }
}

struct RegexCase {
    const char* pattern;
    std::string text;
    Pos pos;
    const char* token;  // nullptr: no match
};

const RegexCase kRegexCases[] = {
    {"a+", "xxaab", 2, "aa"},
    {"a+", "xxaab", 0, kNoToken},
    {"\\bfoo", "xfoo", 1, "foo"},
    {"o$", "foo", 2, "o"},
    {"^a|b", "ab", 0, "a"},
    {"^a|b", "xb", 0, kNoToken},
    {"^a|b", "xb", 1, "b"},
    {"\\s*", "ab", 1, ""},
    {"\\s+", "ab", 1, kNoToken},
    {"\\s+", "a \t\x0b\n", 1, " \t\x0b\n"},
    {"\\s+", "\xc2\xa0\xe3\x80\x80x", 0, "\xc2\xa0\xe3\x80\x80"},
    {"[a-z]", "abc", 1, "b"},
    {"[abc]", "a-c", 1, kNoToken},
    {"", "abc", 3, ""},
    {"(?:)", "\xc3\xa9", 1, kNoToken},
    {"\\w+", "x\xc3\xa9t\xc3\xa9!", 0, "x\xc3\xa9t\xc3\xa9"},
    // Inside a character nothing matches, not even the empty pattern: the
    // engine is only ever handed whole characters.
    {"[^a]", "\xc3\xa9", 1, kNoToken},
    {"(?s).", "\xe6\x97\xa5", 2, kNoToken},
    {"\\W*", "\xc3\xa9", 1, kNoToken},
    {"\\W*", "\xc3\xa9", 2, ""},
};

TEST(RegexKind, ParseAndTryMatchAgree) {
    for (const RegexCase& c : kRegexCases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text + " @" + std::to_string(c.pos));
        Rc<RegexElement> r = regex(c.pattern);
        Text t(c.text);
        ParseOutcome p = regex_parse_at(*r, t, c.pos);
        TryMatchOutcome m = regex_try_match_at(*r, t, c.pos);
        EXPECT_EQ(p.ok, c.token != nullptr);
        EXPECT_EQ(m.matched != 0, c.token != nullptr);
        if (c.token) {
            EXPECT_EQ(token_texts(p.tokens), std::vector<std::string>{c.token});
            EXPECT_EQ(p.end, c.pos + std::string(c.token).size());
            EXPECT_EQ(m.end, p.end);
        } else {
            EXPECT_EQ(p.failure.position, c.pos);
            EXPECT_EQ(p.failure.message.view(), std::string("Expected match for /") + c.pattern + "/");
        }
        if (c.pos == 0) {
            EXPECT_TRUE(same_outcome(p, regex_parse_from_start(*r, t)));
        }
    }
}

// The byte shortcuts must give the engine's answer at every position of
// texts built to trip them: vertical tabs, no-break and ideographic spaces,
// positions inside characters, members next to non-members.
TEST(RegexKind, ShortcutsNeverDifferFromTheEngine) {
    const char* patterns[] = {"\\s+", "\\s*", "[abc]", "[a\\]b]", "[a-c]", "[^a]", "[\\d]", "[\xc3\xa9]",
                              "[ \\t]", "[a]b]", "[\\^]", "\\d+", "[a-c]+", "(\\w)+", "\xc3\xa9+", "[^a]+"};
    const std::string texts[] = {
        "",
        "abc",
        " \t\n\r\x0c x",
        "\x0b \x0b",
        " \xc2\xa0 \xe3\x80\x80",
        "\xc3\xa9\xc3\xa9 a",
        "]^-b\\",
        "a]b]",
        "\xe2\x80\xa8 \xc2\x85",
        "9\xd9\xa3",
    };
    for (const char* pat : patterns) {
        Rc<RegexElement> r = regex(pat);
        for (const std::string& s : texts) {
            Text t(s);
            for (Pos p = 0; p <= t.len; ++p) {
                SCOPED_TRACE(std::string(pat) + " / " + s + " @" + std::to_string(p));
                int64_t n = r->anchored_regex->match_length_at(t, p);
                TryMatchOutcome m = regex_try_match_at(*r, t, p);
                ASSERT_EQ(m.matched != 0, n >= 0);
                if (n >= 0) {
            EXPECT_EQ(m.end, p + n);
        }
            }
        }
    }
}

TEST(RegexKind, CompileErrorsAreValues) {
    RegexBuildOutcome b = make_regex_element(Text("["));
    EXPECT_FALSE(b.element);
    EXPECT_EQ(b.error, "regex parse error:\n    ^(?:[)\n        ^\nerror: unclosed character class");
    b = make_regex_element(Text("^a)"));
    EXPECT_EQ(b.error, "regex parse error:\n    ^a)\n      ^\nerror: unopened group");
    // A pattern that closes the wrapping group is refused with the fault of its own text.
    b = make_regex_element(Text("[x])|(?:y"));
    EXPECT_FALSE(b.element);
    EXPECT_EQ(b.error, "regex parse error:\n    [x])|(?:y\n       ^\nerror: unopened group");
}

// ---------------------------------------------------------------------------
// QuotedString

struct QuotedCase {
    const char* quote;
    const char* esc;  // nullptr: none
    bool multiline;
    bool unquote;
    std::string text;
    Pos pos;
    const char* token;  // nullptr: no match
    Pos end;
};

const QuotedCase kQuotedCases[] = {
    {"\"", nullptr, false, true, "\"ab\"c", 0, "ab", 4},
    {"\"", nullptr, false, false, "\"ab\"c", 0, "\"ab\"", 4},
    {"\"", nullptr, false, true, "\"\"", 0, "", 2},
    {"\"", nullptr, false, true, "\"ab", 0, kNoToken, 0},
    {"\"", nullptr, false, true, "\"", 0, kNoToken, 0},
    {"\"", nullptr, false, true, "x\"a\"", 1, "a", 4},
    {"\"", nullptr, false, true, "\"a\nb\"", 0, kNoToken, 0},
    {"\"", nullptr, true, true, "\"a\nb\"", 0, "a\nb", 5},
    {"\"", "\\", false, true, "\"a\\\"b\"", 0, "a\\\"b", 6},
    {"\"", "\\", false, true, "\"ab\\\"", 0, kNoToken, 0},
    {"\"", "\\", false, true, "\"a\\\nb\"", 0, "a\\\nb", 6},
    {"\"", "\\", false, true, "\"a\\", 0, kNoToken, 0},
    // The escape test comes before the quote test, the newline test before both.
    {"\"", "\"", false, true, "\"a\"\"", 0, kNoToken, 0},
    {"\n", nullptr, false, true, "\nab\n", 0, kNoToken, 0},
    {"\n", nullptr, true, true, "\nab\n", 0, "ab", 4},
    {"ab", nullptr, false, true, "axya", 0, "xy", 4},
    {"", nullptr, false, true, "\"q\"", 0, "q", 3},
    {"\"", "", false, true, "\"a\\\"", 0, "a\\", 4},
    // Never at a position inside a character.
    {"\"", nullptr, false, true, "\xc3\xa9\"x\"", 1, kNoToken, 0},
    // A quote outside ASCII is matched as a whole character.
    {"\xc2\xa7", nullptr, false, true, "\xc2\xa7" "ab\xc2\xa7" "c", 0, "ab", 6},
    {"\xc2\xa7", nullptr, false, false, "\xc2\xa7" "ab\xc2\xa7", 0, "\xc2\xa7" "ab\xc2\xa7", 6},
    {"\xc2\xa7", nullptr, false, true, "\xc2\xa7" "a\xc2\xa9\xc2\xa7", 0, "a\xc2\xa9", 7},
    {"\xc2\xa7", "\\", false, true, "\xc2\xa7" "a\\\xc2\xa7\xc2\xa7", 0, "a\\\xc2\xa7", 8},
    // So is an escape outside ASCII: it passes over itself and the byte after it.
    {"\"", "\xc2\xa7", false, true, "\"a\xc2\xa7\"b\"", 0, "a\xc2\xa7\"b", 7},
    {"\"", "\xc2\xa7", false, true, "\"a\xc2\xa9\"b\"", 0, "a\xc2\xa9", 5},
};

TEST(QuotedStringKind, ScanPerCase) {
    for (const QuotedCase& c : kQuotedCases) {
        SCOPED_TRACE(std::string(c.quote) + " / " + c.text + " @" + std::to_string(c.pos));
        Text q(c.quote);
        Text e(c.esc ? c.esc : "");
        Rc<QuotedStringElement> r = make_quoted_string_element(q, c.esc ? &e : nullptr, c.multiline, c.unquote);
        Text t(c.text);
        TryMatchOutcome m = quoted_string_try_match_at(*r, t, c.pos);
        ParseOutcome p = quoted_string_parse_at(*r, t, c.pos);
        EXPECT_EQ(m.matched != 0, c.token != nullptr);
        EXPECT_EQ(p.ok, c.token != nullptr);
        if (c.token) {
            EXPECT_EQ(m.end, c.end);
            EXPECT_EQ(p.end, c.end);
            EXPECT_EQ(token_texts(p.tokens), std::vector<std::string>{c.token});
        } else {
            EXPECT_EQ(p.failure.position, c.pos);
            EXPECT_EQ(p.failure.message.data(), r->message.data());
        }
        if (c.pos == 0) {
            EXPECT_TRUE(same_outcome(p, quoted_string_parse_from_start(*r, t)));
        }
    }
}

TEST(QuotedStringKind, RecordFields) {
    Text q("ab");
    Rc<QuotedStringElement> r = make_quoted_string_element(q, nullptr, false, true);
    EXPECT_EQ(r->message.view(), "Expected quoted string starting with 'ab'");
    EXPECT_EQ(r->quote, 'a');
    EXPECT_EQ(r->has_escape, 0);
    Text empty("");
    r = make_quoted_string_element(empty, &empty, true, false);
    EXPECT_EQ(r->message.view(), "Expected quoted string starting with ''");
    EXPECT_EQ(r->quote, '"');
    EXPECT_EQ(r->has_escape, 0);
    EXPECT_EQ(r->multiline, 1);
    EXPECT_EQ(r->unquote, 0);
    Text bs("\\x");
    r = make_quoted_string_element(q, &bs, false, true);
    EXPECT_EQ(r->has_escape, 1);
    EXPECT_EQ(r->escape, '\\');
}

// Through the shared handle the kinds behave as when called directly.
TEST(CharsKinds, InterfaceTables) {
    Text init("ab");
    Rc<WordElement> w = make_word_element(init, nullptr);
    SharedElement sw(w, word_vtable());
    Text t("xab");
    EXPECT_EQ(sw.try_match_at(t, 1).end, 3u);
    EXPECT_FALSE(sw.parse_from_start(t).ok);
    Rc<RegexElement> r = regex("b+");
    SharedElement sr(r, regex_vtable());
    EXPECT_EQ(sr.parse_at(t, 2).end, 3u);
    Text q("\"");
    SharedElement sq(make_quoted_string_element(q, nullptr, false, true), quoted_string_vtable());
    Text qt("\"a\"");
    EXPECT_EQ(token_texts(sq.parse_from_start(qt).tokens), std::vector<std::string>{"a"});
}

}  // namespace
