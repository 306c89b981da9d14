#include <gtest/gtest.h>

#include "elements/positional.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

struct Case {
    const char* kind;
    std::string text;
    Pos pos;
    bool matched;
    Pos end;
    const char* token;    // nullptr: no token
    const char* failure;  // message when not matched
};

ParseOutcome parse_kind(const std::string& kind, Text t, Pos p, const RestOfLineElement& rol) {
    if (kind == "Empty") return empty_parse_at(EmptyElement{}, t, p);
    if (kind == "NoMatch") return no_match_parse_at(NoMatchElement{}, t, p);
    if (kind == "LineStart") return line_start_parse_at(LineStartElement{}, t, p);
    if (kind == "LineEnd") return line_end_parse_at(LineEndElement{}, t, p);
    if (kind == "StringStart") return string_start_parse_at(StringStartElement{}, t, p);
    if (kind == "StringEnd") return string_end_parse_at(StringEndElement{}, t, p);
    return rest_of_line_parse_at(rol, t, p);
}

TryMatchOutcome try_kind(const std::string& kind, Text t, Pos p, const RestOfLineElement& rol) {
    if (kind == "Empty") return empty_try_match_at(EmptyElement{}, t, p);
    if (kind == "NoMatch") return no_match_try_match_at(NoMatchElement{}, t, p);
    if (kind == "LineStart") return line_start_try_match_at(LineStartElement{}, t, p);
    if (kind == "LineEnd") return line_end_try_match_at(LineEndElement{}, t, p);
    if (kind == "StringStart") return string_start_try_match_at(StringStartElement{}, t, p);
    if (kind == "StringEnd") return string_end_try_match_at(StringEndElement{}, t, p);
    return rest_of_line_try_match_at(rol, t, p);
}

const Case kCases[] = {
    {"Empty", "", 0, true, 0, nullptr, nullptr},
    {"Empty", "\xc3\xa9", 1, true, 1, nullptr, nullptr},
    {"NoMatch", "", 0, false, 0, nullptr, "NoMatch will never match"},
    {"NoMatch", "abc", 2, false, 0, nullptr, "NoMatch will never match"},
    {"LineStart", "", 0, true, 0, nullptr, nullptr},
    {"LineStart", "ab", 2, false, 0, nullptr, "Expected start of line"},
    {"LineStart", "a\nb", 2, true, 2, nullptr, nullptr},
    {"LineStart", "a\nb", 1, false, 0, nullptr, "Expected start of line"},
    {"LineStart", "ab\n", 3, true, 3, nullptr, nullptr},
    {"LineStart", "\xc3\xa9", 1, false, 0, nullptr, "Expected start of line"},
    {"LineEnd", "", 0, true, 0, "\n", nullptr},
    {"LineEnd", "ab", 2, true, 2, "\n", nullptr},
    {"LineEnd", "a\nb", 1, true, 2, "\n", nullptr},
    {"LineEnd", "a\nb", 0, false, 0, nullptr, "Expected end of line"},
    {"LineEnd", "\r\n", 0, false, 0, nullptr, "Expected end of line"},
    {"StringStart", "", 0, true, 0, nullptr, nullptr},
    {"StringStart", "ab", 1, false, 0, nullptr, "Expected start of string"},
    {"StringEnd", "ab", 2, true, 2, nullptr, nullptr},
    {"StringEnd", "ab", 1, false, 0, nullptr, "Expected end of string"},
    {"StringEnd", "\xc3\xa9", 1, false, 0, nullptr, "Expected end of string"},
    {"rest_of_line", "", 0, true, 0, "", nullptr},
    {"rest_of_line", "ab\ncd", 0, true, 2, "ab", nullptr},
    {"rest_of_line", "ab\ncd", 2, true, 2, "", nullptr},
    {"rest_of_line", "ab\ncd", 3, true, 5, "cd", nullptr},
    {"rest_of_line", "ab\ncd", 5, true, 5, "", nullptr},
    {"rest_of_line", "ab\ncd", 6, false, 0, nullptr, "Expected rest of line"},
    {"rest_of_line", "ab\r\ncd", 0, true, 3, "ab\r", nullptr},
    // Inside a character the token starts at the next boundary; the end is the line's.
    {"rest_of_line", "\xc3\xa9z", 1, true, 3, "z", nullptr},
};

}  // namespace

TEST(PositionalKinds, ParseAtAndTryMatchAgree) {
    RestOfLineElement rol;
    rol.message = SharedText::copy("Expected rest of line");
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.kind) + " on '" + c.text + "' at " + std::to_string(c.pos));
        Text t(c.text);
        ParseOutcome o = parse_kind(c.kind, t, c.pos, rol);
        TryMatchOutcome m = try_kind(c.kind, t, c.pos, rol);
        ASSERT_EQ(o.ok, c.matched);
        ASSERT_EQ(m.matched != 0, c.matched);
        if (c.matched) {
            EXPECT_EQ(o.end, c.end);
            EXPECT_EQ(m.end, c.end);
            if (c.token) {
                ASSERT_EQ(o.tokens.size(), 1u);
                EXPECT_EQ(o.tokens[0].view(), c.token);
            } else {
                EXPECT_TRUE(o.tokens.empty());
            }
        } else {
            EXPECT_EQ(o.failure.message.view(), c.failure);
            EXPECT_EQ(o.failure.position, c.pos);
        }
    }
}

TEST(PositionalKinds, ParseFromStartEqualsParseAtZero) {
    RestOfLineElement rol;
    rol.message = SharedText::copy("Expected rest of line");
    const char* kinds[] = {"Empty", "NoMatch", "LineStart", "LineEnd", "StringStart", "StringEnd", "rest_of_line"};
    const char* texts[] = {"", "x", "\nx", "ab\ncd"};
    for (const char* k : kinds) {
        for (const char* s : texts) {
            SCOPED_TRACE(std::string(k) + " '" + s + "'");
            Text t{std::string_view(s)};
            ParseOutcome at0 = parse_kind(k, t, 0, rol);
            ParseFromStartOutcome fs;
            std::string kind = k;
            if (kind == "Empty") fs = empty_parse_from_start(EmptyElement{}, t);
            else if (kind == "NoMatch") fs = no_match_parse_from_start(NoMatchElement{}, t);
            else if (kind == "LineStart") fs = line_start_parse_from_start(LineStartElement{}, t);
            else if (kind == "LineEnd") fs = line_end_parse_from_start(LineEndElement{}, t);
            else if (kind == "StringStart") fs = string_start_parse_from_start(StringStartElement{}, t);
            else if (kind == "StringEnd") fs = string_end_parse_from_start(StringEndElement{}, t);
            else fs = rest_of_line_parse_from_start(rol, t);
            EXPECT_TRUE(same_outcome(at0, fs));
        }
    }
}

TEST(PositionalKinds, RestOfLineSharesItsStoredMessage) {
    RestOfLineElement rol;
    rol.message = SharedText::copy("Expected rest of line");
    ParseOutcome a = rest_of_line_parse_at(rol, Text("ab"), 3);
    ParseOutcome b = rest_of_line_parse_at(rol, Text("ab"), 4);
    EXPECT_EQ(a.failure.message.data(), rol.message.data());
    EXPECT_EQ(b.failure.message.data(), rol.message.data());
    // A fixed message is a view of static text: no block, no allocation.
    ParseOutcome c = no_match_parse_at(NoMatchElement{}, Text("ab"), 0);
    ParseOutcome d = no_match_parse_at(NoMatchElement{}, Text("ab"), 0);
    EXPECT_FALSE(c.failure.message.owns_bytes());
    EXPECT_EQ(c.failure.message.data(), d.failure.message.data());
    EXPECT_EQ(c.failure.message.view(), d.failure.message.view());
}
