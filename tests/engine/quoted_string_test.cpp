// The QuotedString scan with an operation's memo of long scans: at every
// position, in any order of tests, the outcome equals the scan as written
// (a byte loop from the opening), for escapes equal to the quote, runs of
// escapes, multiline, and quote and escape characters outside ASCII.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/match_context.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

size_t first_char_length(const std::string& s) {
    unsigned char b = static_cast<unsigned char>(s[0]);
    size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return n < s.size() ? n : s.size();
}

// The kind's scan, written plainly: the end of the match at pos, or 0.
Pos reference_close(const std::string& q, const std::string* esc, bool multiline, const std::string& t, Pos pos) {
    const std::string quote = q.empty() ? "\"" : q.substr(0, first_char_length(q));
    const std::string e = esc && !esc->empty() ? esc->substr(0, first_char_length(*esc)) : "";
    auto at = [&](size_t i, const std::string& s) { return t.compare(i, s.size(), s) == 0; };
    if (pos >= t.size() || !at(pos, quote)) return 0;
    size_t i = pos + quote.size();
    while (i < t.size()) {
        if (t[i] == '\n' && !multiline) return 0;
        if (!e.empty() && at(i, e)) {
            if (t.size() - i <= e.size()) return 0;
            i += e.size() + 1;
            continue;
        }
        if (at(i, quote)) return static_cast<Pos>(i + quote.size());
        ++i;
    }
    return 0;
}

struct QuotedConfig {
    const char* quote;
    const char* esc;  // nullptr: none
    bool multiline;
    std::vector<std::string> alphabet;  // the pieces random texts are made of
};

const QuotedConfig kConfigs[] = {
    {"\"", "\\", false, {"\"", "\\", "a"}},
    {"\"", "\\", false, {"\"", "\\", "\\", "\\", "a", "\n"}},
    {"\"", "\\", true, {"\"", "\\", "a", "\n"}},
    {"\"", "\"", false, {"\"", "a"}},
    {"'", "'", true, {"'", "\n", "a"}},
    {"\"", nullptr, false, {"\"", "a", "a", "a"}},
    {"\xc3\xa9", "\\", false, {"\xc3\xa9", "\\", "a", "\xc3\xa8"}},
    {"\"", "\xc2\xa7", false, {"\"", "\xc2\xa7", "a", "\xc2\xa9"}},
    {"\xc2\xa7", "\xc2\xa7", true, {"\xc2\xa7", "a"}},
    {"\n", "\\", true, {"\n", "\\", "a"}},
};

enum class Order { Increasing, Decreasing, Random, Repeated };

TEST(QuotedStringMemo, EveryPositionInAnyOrderEqualsThePlainScan) {
    std::mt19937 rng(7);
    for (const QuotedConfig& c : kConfigs) {
        std::string esc = c.esc ? c.esc : "";
        Text q(c.quote), e(esc);
        Rc<QuotedStringElement> r = make_quoted_string_element(q, c.esc ? &e : nullptr, c.multiline, true);
        for (int round = 0; round < 24; ++round) {
            // Long enough that scans pass many blocks, with sparse or dense openings.
            std::string t;
            size_t len = 100 + rng() % 1500;
            while (t.size() < len) t += c.alphabet[rng() % c.alphabet.size()];
            std::vector<Pos> expected(t.size() + 1);
            for (Pos p = 0; p <= t.size(); ++p) expected[p] = reference_close(c.quote, c.esc ? &esc : nullptr, c.multiline, t, p);
            for (Order order : {Order::Increasing, Order::Decreasing, Order::Random, Order::Repeated}) {
                SCOPED_TRACE(std::string(c.quote) + " round " + std::to_string(round) + " order " +
                             std::to_string(static_cast<int>(order)));
                std::vector<Pos> positions;
                for (Pos p = 0; p <= t.size(); ++p) positions.push_back(p);
                if (order == Order::Decreasing) std::reverse(positions.begin(), positions.end());
                if (order == Order::Random) std::shuffle(positions.begin(), positions.end(), rng);
                if (order == Order::Repeated) positions.insert(positions.end(), positions.begin(), positions.end());
                ContextScope scope;
                Text text(t);
                begin_text(text);
                for (Pos p : positions) {
                    TryMatchOutcome m = quoted_string_try_match_at(*r, text, p);
                    ASSERT_EQ(m.matched ? m.end : 0, expected[p]) << "at " << p;
                    ParseOutcome o = quoted_string_parse_at(*r, text, p);
                    ASSERT_EQ(o.ok ? o.end : 0, expected[p]) << "at " << p;
                }
            }
        }
    }
}

// A text that is not the operation's current one gets no memo: the outcome
// is still the scan's.
TEST(QuotedStringMemo, AnotherTextThanTheCurrentOneIsScannedAsWritten) {
    Text q("\""), e("\\");
    Rc<QuotedStringElement> r = make_quoted_string_element(q, &e, false, true);
    const std::string backslash = "\\";
    std::string a, b;
    for (int i = 0; i < 300; ++i) a += "\"\\";
    b = a + "\"";
    ContextScope scope;
    begin_text(Text(a));
    for (Pos p = 0; p < a.size(); p += 2) ASSERT_FALSE(quoted_string_try_match_at(*r, Text(a), p).matched);
    // b shares a's bytes up to its length but closes: the memo of a must not answer.
    for (Pos p = 0; p < b.size(); ++p)
        ASSERT_EQ(quoted_string_try_match_at(*r, Text(b), p).matched ? 1 : 0,
                  reference_close("\"", &backslash, false, b, p) ? 1 : 0);
}

}  // namespace
