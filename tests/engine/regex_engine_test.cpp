#include <gtest/gtest.h>

#include <string>
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

std::string cat(std::string a, const std::string& b, const std::string& c = "") {
    a.append(b);
    a.append(c);
    return a;
}

std::string translated(const std::string& p) {
    TranslateOutcome t = translate_pattern(p);
    EXPECT_EQ(t.error, "") << p;
    return t.text;
}

const std::string kWord = "[\\p{L}\\p{M}\\p{Nd}\\p{Nl}\\p{Pc}\\x{200C}\\x{200D}]";
const std::string kSpace =
    "\\x{9}-\\x{D}\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}\\x{205F}\\x{3000}";

TEST(Translate, PerlClassesBecomeUnicodeClasses) {
    struct {
        std::string in, out;
    } cases[] = {
        {"\\d+", "\\p{Nd}+"},
        {"\\D", "\\P{Nd}"},
        {"\\w", kWord},
        {"\\W", cat("[^", kWord.substr(1))},
        {"\\s", cat("[", kSpace, "]")},
        {"\\S", cat("[^", kSpace, "]")},
        {"[\\d_]", "[\\p{Nd}_]"},
        {"[^\\s]", cat("[^", kSpace, "]")},
        {"[\\w-]", cat("[", kWord.substr(1, kWord.size() - 2), "-]")},
        // Escaped backslashes, quoted text and other escapes are left alone.
        {"\\\\d", "\\\\d"},
        {"\\Q\\d[\\E\\d", "\\Q\\d[\\E\\p{Nd}"},
        {"\\Q\\d", "\\Q\\d"},
        {"\\x{64}\\x41\\pN\\p{Greek}\\n\\.", "\\x{64}\\x41\\pN\\p{Greek}\\n\\."},
        {"[\\pN\\x{5d}\\]]", "[\\pN\\x{5d}\\]]"},
        // "]" first is a member; [:name:] is one item.
        {"[]\\d]", "[]\\p{Nd}]"},
        {"[^]\\d]", "[^]\\p{Nd}]"},
        {"[[:alpha:]\\d]", "[[:alpha:]\\p{Nd}]"},
        // A class escape as the end of a range stays as written, so RE2 refuses it as before.
        {"[a-\\d]", "[a-\\d]"},
        // A "-" after a class is a member: kept one after the spelled-out members.
        {"[\\d-z]", "[\\p{Nd}\\-z]"},
        {"[\\s-z]", cat("[", kSpace, "\\-z]")},
        {"[\\s--z]", cat("[", kSpace, "\\--z]")},
        {"[\\w-\\d]", cat("[", kWord.substr(1, kWord.size() - 2), "\\-\\p{Nd}]")},
        {"\\bx\\B", "\\bx\\B"},
        {"(?i)a(?:b)", "(?i)a(?:b)"},
    };
    for (const auto& c : cases) EXPECT_EQ(translated(c.in), c.out) << c.in;
}

TEST(Translate, NonWordInsideABracketIsSpelledOut) {
    std::string t = translated("[a\\W]");
    EXPECT_EQ(t.substr(0, 2), "[a");
    EXPECT_EQ(t.substr(2, 12), "\\x{0}-\\x{2F}");
    EXPECT_EQ(t.back(), ']');
    EXPECT_EQ(t.find('['), 0u);
    EXPECT_EQ(t.find(']'), t.size() - 1);
}

TEST(Translate, RefusesSingleByteEscapeAndDeepNesting) {
    EXPECT_EQ(translate_pattern("a\\C").error, "invalid escape sequence: \\C");
    EXPECT_EQ(translate_pattern("[\\C]").error, "");  // RE2 itself refuses it inside a bracket
    std::string ok(kRegexNestLimit, '('), deep(kRegexNestLimit + 1, '(');
    ok += std::string(kRegexNestLimit, ')');
    deep += std::string(kRegexNestLimit + 1, ')');
    EXPECT_EQ(translate_pattern(ok).error, "");
    EXPECT_EQ(translate_pattern(deep).error, "nesting too deep: more than 250 levels of groups");
    // Parentheses that are escaped, quoted or bracketed do not nest.
    EXPECT_EQ(translate_pattern(std::string(300, '\\') + "[(((]\\Q((((\\E").error, "");
}

TEST(Compile, ErrorTexts) {
    struct {
        std::string text, error;
    } cases[] = {
        {"^(?:[)", "Error parsing '^(?:[)': missing ]: [)"},
        {"^(?:a**)", "Error parsing '^(?:a**)': bad repetition operator: **"},
        {"^(?:\\w[)", "Error parsing '^(?:\\w[)': missing ]: [)"},
        {"^(?:a\\C)", "Error parsing '^(?:a\\C)': invalid escape sequence: \\C"},
        {"^(?:(?<n>a))", "Error parsing '^(?:(?<n>a))': invalid perl operator: (?<"},
    };
    for (const auto& c : cases) EXPECT_EQ(CompiledRegex::compile(c.text).error, c.error);
    std::string big = "(?:";
    for (int i = 0; i < 200; ++i) big += ".{1000}";
    big += ")";
    EXPECT_EQ(CompiledRegex::compile(big).error, "Compiled regex exceeds size limit of 10485760 bytes.");
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
}

TEST(Search, FindFromKeepsTheTextBefore) {
    auto boundary = compiled("(?:\\bfoo)");
    Text t("xfoo foo");
    RegexFound f = boundary->find_from(t, 1);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.start, 5u);
    EXPECT_EQ(f.end, 8u);
}

std::vector<std::pair<Pos, Pos>> iterate(const std::string& pattern, const std::string& text) {
    auto re = compiled("(?:" + pattern + ")");
    std::vector<std::pair<Pos, Pos>> out;
    Text t(text);
    re->for_each_match(t, [&](Pos a, Pos b) { out.emplace_back(a, b); });
    EXPECT_EQ(re->count_matches(t), out.size());
    return out;
}

using Spans = std::vector<std::pair<Pos, Pos>>;

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

TEST(Iteration, AsciiNonBoundaryInsideACharacterIsPassedOver) {
    // RE2's \B holds between the two bytes of 'é'; no match may begin there.
    EXPECT_EQ(iterate("\\B", "a\xc3\xa9"), (Spans{{3, 3}}));
}

}  // namespace
