#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "elements/regex_engine.hpp"

using namespace qgx;

namespace {

std::unique_ptr<CompiledRegex> compiled(const std::string& text) {
    CompileOutcome c = CompiledRegex::compile(text);
    if (!c.regex) ADD_FAILURE() << text << ": " << c.error;
    return std::move(c.regex);
}

TEST(Compile, ErrorTextsAreTheEnginesAndShowTheTextCompiled) {
    struct {
        std::string text, error;
    } cases[] = {
        {"^(?:[)", "regex parse error:\n    ^(?:[)\n        ^\nerror: unclosed character class"},
        {"^(?:(a)\\1)", "regex parse error:\n    ^(?:(a)\\1)\n           ^^\nerror: backreferences are not supported"},
        {"^(?:(?=a))",
         "regex parse error:\n    ^(?:(?=a))\n        ^^^\nerror: look-around, including look-ahead and look-behind, is not "
         "supported"},
        {"^(?:\\C)", "regex parse error:\n    ^(?:\\C)\n        ^^\nerror: unrecognized escape sequence"},
        // A pattern that can match invalid UTF-8 could cut a character.
        {"(?-u:\\xFF)", "regex parse error:\n    (?-u:\\xFF)\n         ^^^^\nerror: pattern can match invalid UTF-8"},
    };
    for (const auto& c : cases) EXPECT_EQ(CompiledRegex::compile(c.text).error, c.error);
    EXPECT_EQ(CompiledRegex::compile("\\w{1000}\\w{1000}\\w{1000}").error,
              "Compiled regex exceeds size limit of 10485760 bytes.");
}

TEST(Compile, NestingLimitCountsTheTextCompiled) {
    auto nested = [](int depth) { return std::string(depth, '(') + "a" + std::string(depth, ')'); };
    // The limit is on the nesting of the text compiled: 249 groups and the
    // wrapping group are accepted, one more is refused.
    EXPECT_EQ(CompiledRegex::compile("^(?:" + nested(248) + ")").error, "");
    std::string e = CompiledRegex::compile("^(?:" + nested(250) + ")").error;
    EXPECT_NE(e.find("error: exceed the maximum number of nested parentheses/brackets (250)"), std::string::npos) << e;
}

TEST(Compile, SyntaxCheckOfAPatternAlone) {
    EXPECT_EQ(regex_syntax_error("a|b"), "");
    EXPECT_EQ(regex_syntax_error("[x])|(?:y"), "regex parse error:\n    [x])|(?:y\n       ^\nerror: unopened group");
}

TEST(Search, AnchoredAtPositionSeesThePositionAsTheStart) {
    auto caret = compiled("^a");
    auto boundary = compiled("^(?:\\bfoo)");
    auto dollar = compiled("^(?:o$)");
    Text t("xfoo");
    EXPECT_EQ(boundary->match_length_at(t, 1), 3);
    EXPECT_EQ(dollar->match_length_at(t, 3), 1);
    EXPECT_EQ(dollar->match_length_at(t, 2), -1);
    Text a("ba");
    EXPECT_EQ(caret->match_length_at(a, 1), 1);
    EXPECT_FALSE(caret->matches_at_start(a));
    EXPECT_EQ(caret->match_length_at(a, 3), -1);
    // A later top-level alternative may match further on; that is no match here.
    auto later = compiled("^a|b");
    EXPECT_EQ(later->match_length_at(Text("xb"), 0), -1);
    EXPECT_FALSE(later->matches_at_start(Text("xb")));
    // Inside a character there is no match at all.
    auto empty = compiled("^(?:)");
    EXPECT_EQ(empty->match_length_at(Text("\xc3\xa9"), 1), -1);
    EXPECT_EQ(empty->match_length_at(Text("\xc3\xa9"), 2), 0);
}

TEST(Search, StartsOnlyFormAgreesWithTheLength) {
    CompileRequest how;
    how.starts_only = true;
    CompileOutcome c = CompiledRegex::compile("^(?:a+)", how);
    ASSERT_TRUE(c.regex);
    for (const char* s : {"", "a", "ba", "ab", "\xc3\xa9"})
        EXPECT_EQ(c.regex->matches_at_start(Text(s)), c.regex->match_length_at(Text(s), 0) >= 0) << s;
}

TEST(Search, FindFromKeepsTheTextBefore) {
    auto boundary = compiled("(?:\\bfoo)");
    Text t("xfoo foo");
    RegexFound f = boundary->find_from(t, 1);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.start, 5u);
    EXPECT_EQ(f.end, 8u);
}

TEST(Search, UnicodeWordBoundaryAfterANonAsciiCharacter) {
    // The character before the start decides the boundary, whatever the
    // bytes the search itself reads.
    struct {
        const char *pattern, *text;
        Pos from;
        bool found;
        Pos at;
    } cases[] = {
        {"\\b", "\xc3\xa9" "a", 2, true, 3},   // é|a: no boundary at 2; the end after 'a' is one
        {"\\B", "\xc3\xa9" "a", 2, true, 2},   // é|a
        {"\\B", "\xc3\xa9 a", 2, false, 0},    // é| a is a boundary, " |a" too, "a|" too
        {"\\b", "\xc3\xa9 a", 2, true, 2},
        {"\\b", "\xc3\xa9\xc3\xa9", 4, true, 4},  // the end after 'é'
        {"\\B", "\xc3\xa9\xc3\xa9", 4, false, 0},
    };
    for (const auto& c : cases) {
        auto re = compiled(c.pattern);
        RegexFound f = re->find_from(Text(c.text), c.from);
        EXPECT_EQ(f.found, c.found) << c.pattern << " " << c.text;
        if (c.found && f.found) {
            EXPECT_EQ(f.start, c.at) << c.pattern << " " << c.text;
        }
    }
}

using Spans = std::vector<std::pair<Pos, Pos>>;

Spans iterate(const std::string& pattern, const std::string& text) {
    auto re = compiled("(?:" + pattern + ")");
    Spans out;
    Text t(text);
    re->for_each_match(t, [&](Pos a, Pos b) { out.emplace_back(a, b); });
    EXPECT_EQ(re->count_matches(t), out.size());
    return out;
}

TEST(Iteration, EmptyMatchRules) {
    EXPECT_EQ(iterate("", "ab"), (Spans{{0, 0}, {1, 1}, {2, 2}}));
    EXPECT_EQ(iterate("", ""), (Spans{{0, 0}}));
    EXPECT_EQ(iterate("a*", "baa"), (Spans{{0, 0}, {1, 3}}));
    EXPECT_EQ(iterate("a*", "aab"), (Spans{{0, 2}, {3, 3}}));
    // One character later, not one byte: no empty match inside 'é'.
    EXPECT_EQ(iterate("", "\xc3\xa9x"), (Spans{{0, 0}, {2, 2}, {3, 3}}));
    EXPECT_EQ(iterate("|b", "b"), (Spans{{0, 0}, {1, 1}}));
    EXPECT_EQ(iterate("a|", "ab"), (Spans{{0, 1}, {2, 2}}));
    EXPECT_EQ(iterate("\\d+", "12 x 345"), (Spans{{0, 2}, {5, 8}}));
}

TEST(Iteration, WordBoundariesFollowUnicode) {
    // café au lait: three words, the 'é' inside the first.
    EXPECT_EQ(iterate("\\b\\w+\\b", "caf\xc3\xa9 au lait"), (Spans{{0, 5}, {6, 8}, {9, 13}}));
    // Only between the two characters of 'éé', never inside one.
    EXPECT_EQ(iterate("\\B", "\xc3\xa9\xc3\xa9"), (Spans{{2, 2}}));
    EXPECT_EQ(iterate("\\B", "a\xc3\xa9"), (Spans{{1, 1}}));
    EXPECT_EQ(iterate("\\b", "\xc3\xa9 a"), (Spans{{0, 0}, {2, 2}, {3, 3}, {4, 4}}));
}

TEST(Search, ManyThreadsShareOneProgram) {
    auto re = compiled("(?:\\b\\w+\\b)");
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "caf\xc3\xa9 au lait ";
    uint64_t expected = re->count_matches(Text(text));
    std::vector<std::thread> threads;
    std::vector<uint64_t> got(8);
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = re->count_matches(Text(text)); });
    for (auto& th : threads) th.join();
    for (uint64_t g : got) EXPECT_EQ(g, expected);
    EXPECT_EQ(expected, 6000u);
}

}  // namespace

namespace {

// Each atom written as its kind of wide members, some ASCII members and
// some ASCII characters outside it.
struct AtomCase {
    WideMembers wide;
    const char* some_members;
    const char* some_outside;
};

TEST(Compile, ShapeAtomsComeFromTheEnginesClasses) {
    using W = WideMembers;
    struct {
        const char* pattern;
        bool shaped;
        std::vector<AtomCase> head;
        AtomCase run;
        bool run_min1;
    } cases[] = {
        {"\\d+", true, {}, {W::Some, "0189", "a /"}, true},
        {"(?:[a-c])+", true, {}, {W::None, "abc", "d-"}, true},
        {"(\\w)+", true, {}, {W::Some, "aZ0_", " -"}, true},
        {"[^,\n]+", true, {}, {W::All, "a #", ",\n"}, true},
        {"\xc3\xa9+", true, {}, {W::Some, "", "ae"}, true},
        {"#[^\n]*", true, {{W::None, "#", "a\n"}}, {W::All, "#a ", "\n"}, false},
        {"[a-h][0-9]+", true, {{W::None, "ah", "i0"}}, {W::None, "09", "a"}, true},
        {"(a)(b[0-9]{1,})", true, {{W::None, "a", "b"}, {W::None, "b", "a"}}, {W::None, "5", "b"}, true},
        {"ab{2}.", true, {{W::None, "a", "b"}, {W::None, "b", "a"}, {W::None, "b", ""}, {W::All, "a.", "\n"}},
         {W::None, "", "a\n"}, false},
        {"(?i)k", true, {{W::Some, "kK", "j"}}, {W::None, "", "k"}, false},
        {"\\d+?", false, {}, {}, false},
        {"(?U)\\d+", false, {}, {}, false},
        {"\\d*", false, {}, {}, false},
        {"", false, {}, {}, false},
        {"\\d{2,}", false, {}, {}, false},
        {"\\d+x", false, {}, {}, false},
        {"a?", false, {}, {}, false},
        {"a|b", false, {}, {}, false},
        {"\\b\\d+", false, {}, {}, false},
        {"^a", false, {}, {}, false},
        {"a{17}", false, {}, {}, false},
        {"[", false, {}, {}, false},
    };
    auto check = [](const char* pattern, const RegexShape::Atom& got, const AtomCase& want) {
        EXPECT_EQ(got.wide, want.wide) << pattern;
        for (const char* p = want.some_members; *p; ++p) EXPECT_TRUE(got.ascii.has(*p)) << pattern << " " << *p;
        for (const char* p = want.some_outside; *p; ++p) EXPECT_FALSE(got.ascii.has(*p)) << pattern << " " << *p;
        for (int b = 128; b < 256; ++b) EXPECT_FALSE(got.ascii.has(static_cast<unsigned char>(b))) << pattern;
        // A run steps over the ASCII members, and over every byte above 0x7F
        // only when the atom takes all such characters.
        for (int b = 0; b < 256; ++b) {
            auto c = static_cast<unsigned char>(b);
            EXPECT_EQ(got.bytes.has(c), b < 128 ? got.ascii.has(c) : got.wide == WideMembers::All) << pattern << " " << b;
        }
    };
    for (const auto& c : cases) {
        RegexShape shape;
        ASSERT_EQ(regex_ascii_shape(c.pattern, shape), c.shaped) << c.pattern;
        if (!c.shaped) continue;
        ASSERT_EQ(shape.head_len, static_cast<int>(c.head.size())) << c.pattern;
        for (size_t k = 0; k < c.head.size(); ++k) check(c.pattern, shape.head[k], c.head[k]);
        check(c.pattern, shape.run, c.run);
        EXPECT_EQ(shape.run_min1, c.run_min1) << c.pattern;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The anchored matcher and the reading of first bytes against the engine.

#include <random>

#include "elements/chars.hpp"

namespace {

// What the engine says at `pos` for the pattern as written: its first match
// in the rest of the text, counted when it begins there.
int64_t engine_length(const CompiledRegex& written, Text t, Pos pos) { return written.engine_length_at(t, pos); }

// Checks every position of every text: regex_try_match_at (matcher and byte
// shortcuts), the stored anchored program and the pattern as written agree;
// the first bytes and the literal keep their contracts.
void check_pattern(const std::string& p, const std::vector<std::string>& texts) {
    RegexBuildOutcome b = make_regex_element(Text(p));
    CompileOutcome w = CompiledRegex::compile(p);
    ASSERT_EQ(b.element.get() != nullptr, w.regex != nullptr) << p << ": " << b.error << " / " << w.error;
    if (!b.element) return;
    const RegexElement& r = *b.element;
    ByteSet first;
    bool at_end = false;
    bool known = regex_first_bytes(r, first, at_end);
    const std::string* lit = regex_plain_literal(r);
    for (const std::string& s : texts) {
        Text t(s);
        for (Pos pos = 0; pos <= t.len; ++pos) {
            int64_t want = engine_length(*w.regex, t, pos);
            int64_t stored = r.anchored_regex->engine_length_at(t, pos);
            TryMatchOutcome got = regex_try_match_at(r, t, pos);
            ASSERT_EQ(stored, want) << "/" << p << "/ at " << pos << " of '" << s << "'";
            ASSERT_EQ(got.matched != 0, want >= 0) << "/" << p << "/ at " << pos << " of '" << s << "'";
            if (want >= 0) {
                ASSERT_EQ(got.end, pos + static_cast<Pos>(want)) << "/" << p << "/ at " << pos << " of '" << s << "'";
            }
            if (want >= 0 && known) {
                if (pos < t.len)
                    ASSERT_TRUE(first.has(t.at(pos))) << "/" << p << "/ first byte at " << pos << " of '" << s << "'";
                else
                    ASSERT_TRUE(at_end) << "/" << p << "/ at the end of '" << s << "'";
            }
            if (want == 0) {
                ASSERT_TRUE(regex_matches_empty(r)) << p;
            }
            if (lit) {
                bool here = t.len - pos >= lit->size() && std::memcmp(t.data + pos, lit->data(), lit->size()) == 0;
                ASSERT_EQ(want >= 0, here) << "/" << p << "/ literal at " << pos << " of '" << s << "'";
                if (here) {
                    ASSERT_EQ(want, static_cast<int64_t>(lit->size()));
                }
            }
        }
    }
}

const std::vector<std::string> kTexts = {
    "", "a", "x", "y", "ab", "xb", "ba", "aab", "a b", "a\nb", "\n", "\n\n", "b\n\na", "zz", "xyz",
    "\xc3\xa9", "a\xc3\xa9", "\xc3\xa9 a ", "\xe6\x97\xa5\xe6\x9c\xac", "_a1 ", "DEBUG x", "INFO", "WARNx",
    "\"a,b\"\",c", "\"\"", "k:v\n", ":", "aaa aa", "1a2b", " \t\n", "abcd", "xabcd", "abbcd",
    // Runs that a looping state steps over at once, to the end and not.
    "aaaaaaaa", "aaaaaaab", "abababab", "abababa", "user1::x:/home/u", "\"aaaa\"\"bb\",c", "DEBUGGING x",
};

TEST(AnchoredMatcher, AgreesWithTheEngineOnChosenPatterns) {
    const char* patterns[] = {
        "^x|y", "^a|b", "\\z^", "(?m)$^", "(?m)^$", "(?:^|a)b", "\\b^a", "a|^b", "^", "$", "\\b", "\\B",
        "x*", "(a|)*", "(|a)+", "(?:a|ab)c", "a+?", "a*?b", "(?:DEBUG|INFO|WARN|ERROR|FATAL)\\b",
        "\"(?:[^\"]|\"\")*\"|[^,\\n\"]*", "[^:\\n]*", "[^=\\n]+", "[^\\n]*", "[^ \\n]+", "\\n\\n", "\\w+\\b",
        "(?-u:\\b)a", "(?-u:\\B)", "(?m)^a|b$", ".", "(?s).", "\\w", "\\W+", "\\s*", "\\d+", "[a-c]+",
        "(?i)k", "\xc3\xa9+", "a{2,3}", "(?:ab)+", "", "^$", "a$|b", "\\Aa|b\\z", "(?:a|\\b)*", "\\b\\w",
        "(?:\\B|a)+b", "x?(?:|c+)*", "b(?:|ca*)*", "abc", "(?:ab)c", "^abc", "(?m)^ab", "a^b",
        "(?:a|ab)(?:c|bcd)", "(?:ab|a)(?:c|bcd)", "(?:a|ab)(?:c|bcd)x?",
    };
    for (const char* p : patterns) check_pattern(p, kTexts);
}

// Random patterns from atoms, looks, repetitions and alternations.
TEST(AnchoredMatcher, AgreesWithTheEngineOnGeneratedPatterns) {
    const char* atoms[] = {"a", "b", "x", "\xc3\xa9", ".", "\\w", "\\d", "\\s", "[ab]", "[^a]", "\\n", " ",
                           "\\b", "\\B", "^", "$", "(?m:^)", "(?m:$)", "\\A", "\\z", "(?-u:\\b)", "(?-u:\\W)", ""};
    const char* reps[] = {"", "", "", "*", "+", "?", "{0,2}", "*?", "+?", "??", "{2}"};
    std::mt19937 rng(7);
    auto pick = [&](auto& arr) { return std::string(arr[rng() % (sizeof(arr) / sizeof(arr[0]))]); };
    auto group = [](const std::string& inner) {
        std::string g("(?:");
        g.append(inner);
        g.push_back(')');
        return g;
    };
    std::function<std::string(int)> gen = [&](int depth) -> std::string {
        std::string out;
        int items = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < items; ++i) {
            std::string item = depth > 0 && rng() % 3 == 0 ? group(gen(depth - 1)) : pick(atoms);
            std::string rep = pick(reps);
            // A repetition needs something to repeat.
            if (!rep.empty() && (item.empty() || item == "^" || item == "$")) item = group(item);
            out.append(item);
            out.append(rep);
        }
        if (rng() % 3 == 0) {
            out.push_back('|');
            out.append(gen(depth > 0 ? depth - 1 : 0));
        }
        return out;
    };
    std::vector<std::string> texts = kTexts;
    for (int i = 0; i < 800; ++i) check_pattern(gen(2), texts);
}

TEST(AnchoredMatcher, FirstBytesAndLiteral) {
    struct {
        const char *pattern, *members, *outside;
        bool at_end;
        const char* literal;
    } cases[] = {
        {"\\n\\n", "\n", "a ", false, "\n\n"},
        {"abc", "a", "bc", false, "abc"},
        {"^x|y", "xy", "a", false, nullptr},
        {"[^:\\n]*", "a:\n", "", true, nullptr},
        {"(?:DEBUG|INFO)\\b", "DI", "dE ", false, nullptr},
        // Nothing stands before the position, so a boundary needs a word byte after it.
        {"\\b", "a_", " \n", false, nullptr},
        {"a?$", "a", "b\n", true, nullptr},
        {"(?m)a?$", "a\n", "b", true, nullptr},
        {"\xc3\xa9", "\xc3", "\xa9" "a", false, "\xc3\xa9"},
    };
    for (const auto& c : cases) {
        RegexBuildOutcome b = make_regex_element(Text(c.pattern));
        ASSERT_TRUE(b.element) << c.pattern;
        ByteSet bytes;
        bool at_end = false;
        ASSERT_TRUE(regex_first_bytes(*b.element, bytes, at_end)) << c.pattern;
        for (const char* m = c.members; *m; ++m) EXPECT_TRUE(bytes.has(*m)) << c.pattern << " " << int(*m);
        for (const char* m = c.outside; *m; ++m) EXPECT_FALSE(bytes.has(*m)) << c.pattern << " " << int(*m);
        for (int x = 0x80; x < 0xC0; ++x) EXPECT_FALSE(bytes.has(static_cast<unsigned char>(x))) << c.pattern;
        EXPECT_EQ(at_end, c.at_end) << c.pattern;
        const std::string* lit = regex_plain_literal(*b.element);
        EXPECT_EQ(lit ? *lit : std::string("<none>"), c.literal ? std::string(c.literal) : std::string("<none>"))
            << c.pattern;
    }
}

}  // namespace
