// Runs remembered within an operation: every terminal that reads a run gives,
// at every position and in any order of positions, the outcome it gives
// without a context (where nothing is remembered), in its program and in its
// kind's own algorithm; and trying it at every position of a long run reads
// the run once, not once per position.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "elements/positional.hpp"
#include "elements/program.hpp"
#include "elements/run_memory.hpp"
#include "elements/structure.hpp"
#include "combinator_stand_ins.hpp"
#include "test_support.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

SharedElement L(const char* s) { return SharedElement(build_literal(s), literal_vtable()); }
SharedElement C(const char* s) { return SharedElement(build_char(s), char_vtable()); }
SharedElement K(const char* s) { return SharedElement(build_keyword(s), keyword_vtable()); }
SharedElement CL(const char* s) { return SharedElement(build_caseless_literal(s), caseless_literal_vtable()); }
SharedElement CK(const char* s) { return SharedElement(build_caseless_keyword(s), caseless_keyword_vtable()); }
SharedElement W(const char* init, const char* body = nullptr) {
    Text b = body ? Text(body) : Text();
    return SharedElement(make_word_element(Text(init), body ? &b : nullptr), word_vtable());
}
SharedElement R(const char* pattern) {
    RegexBuildOutcome o = make_regex_element(Text(pattern));
    EXPECT_TRUE(o.element) << o.error;
    return SharedElement(o.element, regex_vtable());
}
SharedElement rest_of_line() {
    Rc<RestOfLineElement> r = Rc<RestOfLineElement>::make();
    r->message = SharedText::copy("Expected rest of line");
    return SharedElement(r, rest_of_line_vtable());
}

const char* const kLetters = "abcdefghijklmnopqrstuvwxyz";

struct Case {
    const char* name;
    std::function<SharedElement()> make;
    const char* unit = "a";  // what a long run of it repeats
};

// Each reads a run and, in most, fails after it.
const std::vector<Case>& cases() {
    static const std::vector<Case> v = {
        {"Word", [] { return W(kLetters); }},
        {"Word, other body", [] { return W("a", "ab"); }},
        {"Word then !", [] { return seq({W(kLetters), L("!")}); }},
        {"OneOrMore(Char) then !", [] { return seq({one_or_more(C("a")), L("!")}); }},
        {"ZeroOrMore(Char)", [] { return zero_or_more(C("ab")); }},
        {"OneOrMore(one-byte Literal) then !", [] { return seq({one_or_more(L("a")), L("!")}); }},
        {"Exactly(Char, 70)", [] { return exactly(C("a"), 70); }},
        {"Exactly(Char, 3) then !", [] { return seq({exactly(C("ab"), 3), L("!")}); }},
        {"Regex run then !", [] { return seq({R("[a-z]+"), L("!")}); }},
        {"Regex spaces", [] { return R("\\s+"); }},
        {"Regex automaton then !", [] { return seq({R("[a-z]+\\d?"), L("!")}); }},
        {"rest_of_line then !", [] { return seq({rest_of_line(), L("!")}); }},
        {"choice falling back a byte", [] { return one_or_more(first({seq({W(kLetters), L("!")}), C("a")})); }},
        // Repetitions of a longer item: a run per start modulo its width.
        {"OneOrMore(Literal ab) then !", [] { return seq({one_or_more(L("ab")), L("!")}); }, "ab"},
        {"OneOrMore(Literal aaa) then !", [] { return seq({one_or_more(L("aaa")), L("!")}); }},
        {"ZeroOrMore(CaselessLiteral aB)", [] { return zero_or_more(CL("aB")); }, "Ab"},
        {"Exactly(Literal ab, 40) then !", [] { return seq({exactly(L("ab"), 40), L("!")}); }, "ab"},
        {"Exactly(Literal aa, 3)", [] { return exactly(L("aa"), 3); }},
        {"OneOrMore(Keyword +) then !", [] { return seq({one_or_more(K("+")), L("!")}); }, "+"},
        {"OneOrMore(CaselessKeyword a+) then !", [] { return seq({one_or_more(CK("a+")), L("!")}); }, "a+"},
        {"OneOrMore(Literal of 70) then !", [] { return seq({one_or_more(L(std::string(70, 'a').c_str())), L("!")}); }},
        // Automata through a cycle of several states: walks converge on a
        // known state at a checkpoint.
        {"Regex cycle (ab)+ then !", [] { return seq({R("(ab)+"), L("!")}); }, "ab"},
        {"Regex cycle (aa)+ then !", [] { return seq({R("(aa)+"), L("!")}); }},
        {"Regex cycle ((ab)+c?)+b", [] { return R("((ab)+c?)+b"); }, "ab"},
        {"Regex cycle (a|ab)(c|bcd)*x", [] { return R("(a|ab)(c|bcd)*x"); }, "abcd"},
    };
    return v;
}

std::vector<std::string> texts() {
    std::vector<std::string> v;
    v.push_back(std::string(300, 'a'));
    std::string cut(300, 'a');
    cut[150] = '!';
    v.push_back(cut);
    std::string mixed;
    for (int i = 0; i < 100; ++i) mixed += "ab";
    for (const std::string& part : {std::string(" "), std::string(200, 'a'), std::string("1!"), std::string(90, ' '),
                                     std::string("\n"), std::string(120, 'b'), std::string("\t a!")})
        mixed += part;
    v.push_back(mixed);
    std::string lines;
    for (const std::string& part : {std::string(100, 'a'), std::string("\n"), std::string(100, 'a'),
                                    std::string("\n!"), std::string(80, 'a'), std::string("!")})
        lines += part;
    v.push_back(lines);
    // Runs of longer units, one cut short, one broken by a stray byte.
    std::string units;
    for (int i = 0; i < 90; ++i) units += "ab";
    units += "a!";
    for (int i = 0; i < 60; ++i) units += "Ab";
    units += "!";
    for (int i = 0; i < 50; ++i) units += "+";
    units += "b!";
    for (int i = 0; i < 45; ++i) units += "a+";
    units += "!";
    for (int i = 0; i < 40; ++i) units += "abcd";
    units += "x";
    for (int i = 0; i < 50; ++i) units += "abc";
    units += "b";
    v.push_back(units);
    return v;
}

std::string outcome(const SharedElement& e, Text t, Pos p) {
    ParseOutcome o = e.parse_at(t, p);
    std::string r = o.ok ? "ok " : "fail ";
    r += std::to_string(o.ok ? o.end : o.failure.position);
    if (o.ok) {
        for (const SharedText& s : o.tokens) {
            r += '|';
            r += s.view();
        }
    } else {
        r += ' ';
        r += o.failure.message.view();
    }
    TryMatchOutcome m = e.try_match_at(t, p);
    r += m.matched ? " / yes " : " / no";
    if (m.matched) r += std::to_string(m.end);
    return r;
}

enum class Order { Increasing, Decreasing, Random, Repeated };

TEST(RunMemory, EveryPositionInAnyOrderGivesTheOutcomeOfNoMemory) {
    std::mt19937 rng(7);
    for (const Case& c : cases()) {
        SharedElement e = c.make();
        for (const std::string& s : texts()) {
            Text t(s);
            std::vector<std::string> expected;
            for (Pos p = 0; p <= t.len; ++p) expected.push_back(outcome(e, t, p));
            for (bool programs : {true, false}) {
                for (Order order : {Order::Increasing, Order::Decreasing, Order::Random, Order::Repeated}) {
                    std::vector<Pos> positions;
                    for (Pos p = 0; p <= t.len; ++p) positions.push_back(p);
                    if (order == Order::Decreasing) std::reverse(positions.begin(), positions.end());
                    if (order == Order::Random) std::shuffle(positions.begin(), positions.end(), rng);
                    if (order == Order::Repeated) positions.insert(positions.end(), positions.begin(), positions.end());
                    ContextScope scope;
                    begin_text(t);
                    std::unique_ptr<ProgramsOff> off;
                    if (!programs) off = std::make_unique<ProgramsOff>();
                    for (Pos p : positions)
                        ASSERT_EQ(outcome(e, t, p), expected[p])
                            << c.name << ", programs " << programs << ", order " << int(order) << ", at " << p;
                }
            }
        }
    }
}

// A text other than the operation's own gets nothing remembered on the
// current one: here a text sharing its bytes but one shorter, whose run ends
// at its end.
TEST(RunMemory, AnotherTextThanTheCurrentOneIsReadAsWritten) {
    SharedElement e = W(kLetters);
    std::string a(501, 'a');
    a[500] = '!';
    Text whole(a), cut(a.data(), 400);
    ContextScope scope;
    begin_text(whole);
    EXPECT_EQ(e.try_match_at(whole, 0).end, 500u);
    EXPECT_EQ(e.try_match_at(whole, 10).end, 500u);
    EXPECT_EQ(e.try_match_at(cut, 20).end, 400u);
    EXPECT_EQ(e.try_match_at(cut, 300).end, 400u);
    // A new text forgets what was read on the last.
    std::string b(500, 'a');
    b[450] = '!';
    Text other(b);
    begin_text(other);
    EXPECT_EQ(e.try_match_at(other, 30).end, 450u);
}

// Trying each element at every position of a long run, as a scan does:
// the bytes read past the runs' prefixes stay within a small multiple of the
// text (without remembering they are about half its square).
TEST(RunMemory, AScanOverALongRunReadsItOnce) {
    const Pos n = 20000;
    for (const Case& c : cases()) {
        // A choice falling back a byte at a time walks the rest of the text
        // from every start: its calls are the memo's to bound, not the runs'.
        if (std::string(c.name).find("choice") != std::string::npos) continue;
        SharedElement e = c.make();
        const bool spaces = std::string(c.name).find("spaces") != std::string::npos;
        std::string s;
        while (s.size() < n) s += spaces ? " " : c.unit;
        Text t(s);
        for (bool programs : {true, false}) {
            ContextScope scope;
            begin_text(t);
            std::unique_ptr<ProgramsOff> off;
            if (!programs) off = std::make_unique<ProgramsOff>();
            const uint64_t before = tls_long_run_bytes;
            for (Pos p = 0; p <= t.len; ++p) (void)e.try_match_at(t, p);
            // A run of an item of width w is read once per phase: n / w
            // items each. An automaton's walk from each start goes on to a
            // checkpoint or two past the prefix (without the trail each
            // would read the rest of the text, n * n / 2 in all).
            const uint64_t per_start = std::string(c.name).find("cycle") != std::string::npos ? 3 * kRunPrefix : 0;
            EXPECT_LE(tls_long_run_bytes - before, uint64_t{2} * n + per_start * (n + 1))
                << c.name << ", programs " << programs;
        }
    }
}

}  // namespace
