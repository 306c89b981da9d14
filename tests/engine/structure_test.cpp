// The combinator kinds on records built directly, over the stand-in
// terminal kinds of combinator_stand_ins.hpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "elements/structure.hpp"
#include "combinator_stand_ins.hpp"
#include "test_support.hpp"

using namespace qgx;

namespace {

using namespace qgx::stand_in;

struct Case {
    const char* name;
    SharedElement e;
    std::string text;
    Pos pos;
    bool parsed;                       // parse_at succeeds
    Pos end;                           // its end, or the failure position
    std::vector<std::string> tokens;   // or { failure message }
    bool tried;                        // try_match_at matches
    Pos tried_end;
};

std::vector<Case> cases() {
    return {
        {"and", seq({lit("a"), lit("b")}), "abc", 0, true, 2, {"a", "b"}, true, 2},
        {"and second fails as is", seq({lit("a"), lit("b")}), "ac", 0, false, 1, {"Expected 'b'"}, false, 0},
        {"and zero-width member", seq({nothing(), lit("a"), nothing()}), "a", 0, true, 1, {"a"}, true, 1},
        {"first wins, not longest", first({lit("a"), lit("ab")}), "ab", 0, true, 1, {"a"}, true, 1},
        {"first: last failure", first({lit("x"), lit("y")}), "ab", 0, false, 0, {"Expected 'y'"}, false, 0},
        {"first: empty", first({}), "ab", 1, false, 1, {"No match found"}, false, 0},
        {"optional matches", optional(lit("a")), "ab", 0, true, 1, {"a"}, true, 1},
        {"optional zero width", optional(lit("a")), "b", 0, true, 0, {}, true, 0},
        {"optional at the end", optional(lit("a")), "b", 1, true, 1, {}, true, 1},
        {"optional inside a character", optional(lit("a")), "\xc3\xa9", 1, true, 1, {}, true, 1},
        {"zero or more", zero_or_more(lit("a")), "aab", 0, true, 2, {"a", "a"}, true, 2},
        {"zero or more none", zero_or_more(lit("a")), "b", 0, true, 0, {}, true, 0},
        {"zero or more of zero width", zero_or_more(nothing()), "b", 0, true, 0, {}, true, 0},
        {"one or more", one_or_more(lit("ab")), "ababx", 0, true, 4, {"ab", "ab"}, true, 4},
        {"one or more none", one_or_more(lit("a")), "b", 0, false, 0, {"Expected at least one match"}, false, 0},
        {"one or more of optional", one_or_more(optional(lit("a"))), "b", 0, false, 0,
         {"Expected at least one match"}, true, 0},
        {"exactly 0", exactly(lit("a"), 0), "b", 0, true, 0, {}, true, 0},
        {"exactly 2", exactly(lit("a"), 2), "aaa", 0, true, 2, {"a", "a"}, true, 2},
        {"exactly child fails", exactly(lit("a"), 3), "aab", 0, false, 2, {"Expected 'a'"}, false, 0},
        {"exactly no progress", exactly(optional(lit("x")), 2), "ab", 0, false, 0, {"No progress in Exactly"}, false, 0},
        {"exactly no progress later", exactly(optional(lit("a")), 3), "ab", 0, false, 1, {"No progress in Exactly"},
         false, 0},
        {"group passes on", group(seq({lit("a"), lit("b")})), "ab", 0, true, 2, {"a", "b"}, true, 2},
        {"group failure as is", group(seq({lit("a"), lit("b")})), "ac", 0, false, 1, {"Expected 'b'"}, false, 0},
        {"suppress", suppress(lit("a")), "a", 0, true, 1, {}, true, 1},
        {"suppress own failure", suppress(lit("a")), "b", 0, false, 0, {"Suppress: no match"}, false, 0},
        {"combine", combine(seq({lit("a"), lit("b")})), "abc", 0, true, 2, {"ab"}, true, 2},
        {"combine zero width", combine(optional(lit("x"))), "a", 0, true, 0, {""}, true, 0},
        {"combine failure as is", combine(lit("x")), "a", 0, false, 0, {"Expected 'x'"}, false, 0},
        {"skip to", skip_to(lit("x")), "abx", 0, true, 2, {"ab"}, true, 2},
        {"skip to at pos", skip_to(lit("x")), "xab", 0, true, 0, {""}, true, 0},
        {"skip to not found", skip_to(lit("x")), "abc", 0, false, 0, {"SkipTo: target not found"}, false, 0},
        {"skip to the end", skip_to(string_end()), "abc", 0, true, 3, {"abc"}, true, 3},
        {"skip to from the middle", skip_to(lit("c")), "abc", 1, true, 2, {"b"}, true, 2},
        {"skip to beyond the text", skip_to(string_end()), "ab", 3, false, 3, {"SkipTo: target not found"}, false, 0},
        {"deep failure position", seq({lit("a"), group(seq({lit("b"), lit("c")}))}), "abd", 0, false, 2,
         {"Expected 'c'"}, false, 0},
    };
}

}  // namespace

TEST(CombinatorKinds, ParseAtTryMatchAtAndParseFromStart) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        Text t(c.text);
        ParseOutcome o = c.e.parse_at(t, c.pos);
        ASSERT_EQ(o.ok, c.parsed);
        if (o.ok) {
            EXPECT_EQ(o.end, c.end);
            EXPECT_EQ(token_texts(o.tokens), c.tokens);
        } else {
            EXPECT_EQ(o.failure.position, c.end);
            EXPECT_EQ(std::vector<std::string>{std::string(o.failure.message.view())}, c.tokens);
        }
        TryMatchOutcome m = c.e.try_match_at(t, c.pos);
        EXPECT_EQ(m.matched != 0, c.tried);
        if (m.matched) {
            EXPECT_EQ(m.end, c.tried_end);
        }
        if (c.pos == 0) {
            EXPECT_TRUE(same_outcome(c.e.parse_at(t, 0), c.e.parse_from_start(t)));
        }
    }
}

TEST(CombinatorKinds, SharedChildBehavesTheSameEverywhere) {
    SharedElement a = lit("a");
    SharedElement s = seq({a, a});
    SharedElement o = optional(a);
    Text t("aa");
    EXPECT_EQ(s.try_match_at(t, 0).end, 2u);
    EXPECT_EQ(o.try_match_at(t, 1).end, 2u);
    EXPECT_EQ(a.record()->refs.load(), 4u);  // a itself, two members of s, the child of o
    s = SharedElement();
    EXPECT_EQ(a.record()->refs.load(), 2u);
    EXPECT_EQ(o.try_match_at(t, 0).end, 1u);
}

TEST(CombinatorKinds, CombineAndSkipToTokensKeepWholeCharacters) {
    // The target matches inside the two-byte character: the token stops before it.
    Text t("a\xc3\xa9");
    SharedElement s = skip_to(lit("\xa9"));
    ParseOutcome o = s.parse_at(t, 0);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.end, 2u);
    EXPECT_EQ(token_texts(o.tokens), std::vector<std::string>{"a"});
    // A start inside a character moves to the next boundary.
    ParseOutcome c = combine(lit("\xa9z")).parse_at(Text("\xc3\xa9z"), 1);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.end, 3u);
    EXPECT_EQ(token_texts(c.tokens), std::vector<std::string>{"z"});
}

TEST(CombinatorKinds, MatchFirstReleasesTheFailuresItDrops) {
    // The failures that a MatchFirst drops are released: only the last one's
    // message block survives in the outcome.
    SharedElement x = lit("x");
    SharedElement y = lit("y");
    const LitElement* xr = static_cast<const LitElement*>(x.record());
    uint32_t before = xr->message.use_count();
    ParseOutcome o = first({x, y}).parse_at(Text("ab"), 0);
    ASSERT_FALSE(o.ok);
    EXPECT_EQ(xr->message.use_count(), before);
    EXPECT_EQ(o.failure.message.view(), "Expected 'y'");
}

TEST(CombinatorKinds, TokensOfFailingBranchesAreDroppedAndReleased) {
    // Branches that gather many owned tokens (past any inline room) and then
    // fail give them up; only the winning branch's tokens are in the outcome,
    // and every reference comes back when it goes.
    SharedElement a = lit("a");
    const LitElement* ar = static_cast<const LitElement*>(a.record());
    const uint32_t before = ar->token.use_count();
    SharedElement g = first({seq({one_or_more(a), lit("x")}),
                             seq({zero_or_more(a), combine(seq({a, a})), lit("y")}),
                             seq({optional(a), exactly(a, 3), group(zero_or_more(seq({a, a})))})});
    const std::string text(41, 'a');
    {
        ParseOutcome o = g.parse_at(Text(text), 0);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.end, 40u);
        ASSERT_EQ(o.tokens.size(), 40u);
        for (const SharedText& t : o.tokens) ASSERT_TRUE(t.same_block(ar->token));
        ParseOutcome f = g.parse_at(Text("b"), 0);
        ASSERT_FALSE(f.ok);
        EXPECT_EQ(f.failure.message.view(), "Expected 'a'");
        EXPECT_EQ(f.failure.position, 0u);
    }
    EXPECT_EQ(ar->token.use_count(), before);
}

TEST(DepthBound, NestedWrappersFailInOrderPastTheBound) {
    SharedElement e = lit("a");
    for (uint32_t i = 0; i < kMaxMatchDepth + 10; ++i) e = group(std::move(e));
    Text t("a");
    reset_depth_exceeded();
    EXPECT_FALSE(e.try_match_at(t, 0).matched);
    EXPECT_TRUE(depth_exceeded());
    EXPECT_FALSE(depth_aborting());
    ParseOutcome o = e.parse_at(t, 0);
    ASSERT_FALSE(o.ok);
    EXPECT_EQ(o.failure.message.view(), "recursion limit exceeded");

    // Within the bound the same chain matches, and the flag stays clear.
    SharedElement ok = lit("a");
    for (uint32_t i = 0; i < kMaxMatchDepth - 1; ++i) ok = group(std::move(ok));
    reset_depth_exceeded();
    EXPECT_TRUE(ok.try_match_at(t, 0).matched);
    EXPECT_TRUE(ok.parse_at(t, 0).ok);
    EXPECT_FALSE(depth_exceeded());
}

TEST(DepthBound, AbandonedMatchIsNotRescuedByOptionalOrAlternatives) {
    // f <- Optional(f) + "a" | "a": left recursion that a zero-width Optional or
    // a later alternative would otherwise turn into a partial success.
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    set_forward_target(*slot, first({seq({optional(f), lit("a")}), lit("a")}));
    Text t("aaa");
    reset_depth_exceeded();
    EXPECT_FALSE(f.try_match_at(t, 0).matched);
    EXPECT_FALSE(f.parse_at(t, 0).ok);
    EXPECT_TRUE(depth_exceeded());
    // Each further call starts afresh.
    EXPECT_FALSE(depth_aborting());
    EXPECT_TRUE(lit("a").try_match_at(t, 0).matched);
    set_forward_target(*slot, lit("a"));  // breaks the cycle
}

TEST(DepthBound, ExponentialLeftRecursionStaysLinear) {
    // f <- (f + "a") | (f + "b"): without abandoning, 2^bound attempts.
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    set_forward_target(*slot, first({seq({f, lit("a")}), seq({f, lit("b")}), zero_or_more(f)}));
    EXPECT_FALSE(f.try_match_at(Text("ab"), 0).matched);
    EXPECT_FALSE(f.parse_at(Text("ab"), 0).ok);
    set_forward_target(*slot, lit("a"));
}

TEST(Release, ChainOfAHundredThousandWrappersIsFreedIteratively) {
    SharedElement e = lit("a");
    const ElementHeader* leaf = e.record();
    SharedElement keep = e;
    for (int i = 0; i < 100000; ++i) e = optional(std::move(e));
    EXPECT_EQ(leaf->refs.load(), 2u);  // `keep` and the innermost wrapper
    e = SharedElement();
    EXPECT_EQ(leaf->refs.load(), 1u);
}

// ---------------------------------------------------------------------------
// Gathering tokens: the moves of a gathered list to a larger block grow with
// the logarithm of its size, whatever builds it.

namespace {

// log2(n) rounded up, plus a little for the first blocks.
uint64_t moves_bound(uint64_t n) {
    uint64_t b = 4;
    while (n > 1) {
        n = (n + 1) / 2;
        ++b;
    }
    return b;
}

}  // namespace

TEST(TokenGathering, AppendsAndPushesMoveLogarithmicallyOften) {
    constexpr uint32_t kN = 100000;
    const SharedText a = SharedText::copy("a");
    struct Way {
        const char* name;
        uint32_t per_step;  // tokens added by one step
    };
    for (Way w : {Way{"push_back", 0}, Way{"append one", 1}, Way{"append two (inline)", 2},
                  Way{"append three (heap)", 3}}) {
        SCOPED_TRACE(w.name);
        uint64_t before = tls_token_list_moves;
        TokenList gathered;
        uint32_t steps = 0;
        while (gathered.size() < kN) {
            if (w.per_step == 0) {
                gathered.push_back(a);
            } else {
                TokenList piece;
                for (uint32_t i = 0; i < w.per_step; ++i) piece.push_back(a);
                uint64_t piece_moves = w.per_step > 2 ? 1 : 0;  // the piece's own block
                before += piece_moves;
                gathered.append(std::move(piece));
                EXPECT_TRUE(piece.empty());
            }
            ++steps;
        }
        EXPECT_LE(tls_token_list_moves - before, moves_bound(kN));
        EXPECT_LE(gathered.capacity(), 2 * gathered.size() + 4);
        for (const SharedText& t : gathered) ASSERT_TRUE(t.same_block(a));
    }
    EXPECT_EQ(a.use_count(), 1u);  // every gathered token was released
}

TEST(TokenGathering, EveryGatheringCombinatorMovesLogarithmicallyOften) {
    constexpr uint32_t kN = 65536;
    const std::string text(kN, 'a');
    std::vector<SharedElement> members(kN, lit("a"));
    struct Gatherer {
        const char* name;
        SharedElement e;
        uint32_t tokens;
    };
    std::vector<Gatherer> gatherers = {
        {"OneOrMore", one_or_more(lit("a")), kN},
        {"ZeroOrMore", zero_or_more(lit("a")), kN},
        {"Exactly", exactly(lit("a"), kN), kN},
        {"Group of OneOrMore", group(one_or_more(lit("a"))), kN},
        {"Combine of OneOrMore", combine(one_or_more(lit("a"))), 1},
        {"OneOrMore of pairs", one_or_more(seq({lit("a"), lit("a")})), kN},
        {"And of 65536 members", seq(members), kN},
        {"Group of the And", group(seq(members)), kN},
    };
    for (const Gatherer& g : gatherers) {
        SCOPED_TRACE(g.name);
        uint64_t before = tls_token_list_moves;
        ParseOutcome o = g.e.parse_at(Text(text), 0);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.end, kN);
        EXPECT_EQ(o.tokens.size(), g.tokens);
        EXPECT_LE(tls_token_list_moves - before, moves_bound(kN));
    }
}

TEST(TokenGathering, FewTokensBeforeManyMoveLogarithmicallyOften) {
    // A sequence around a nested match appends everything inside after its
    // own first token: room is kept before the tokens as well as after them.
    constexpr uint32_t kN = 100000;
    const SharedText a = SharedText::copy("a"), b = SharedText::copy("b");
    for (uint32_t before : {1u, 2u, 3u}) {
        SCOPED_TRACE(before);
        uint64_t moves = tls_token_list_moves;
        TokenList inside;
        for (int i = 0; i < 3; ++i) inside.push_back(b);
        uint32_t rounds = 0;
        while (inside.size() < kN) {
            TokenList outer;
            for (uint32_t i = 0; i < before; ++i) outer.push_back(a);
            moves += before > 2;  // the outer list's own block
            outer.append(std::move(inside));
            inside = std::move(outer);
            ++rounds;
        }
        EXPECT_LE(tls_token_list_moves - moves - 1, moves_bound(kN));  // - 1: the first block of `inside`
        for (uint32_t i = 0; i < inside.size(); ++i)
            ASSERT_TRUE(inside[i].same_block(i < inside.size() - 3 ? a : b)) << i;
    }
}

TEST(TokenGathering, NestedSequenceThroughAForwardMovesLogarithmicallyOften) {
    // f <- "x" | "(" + f on "((...(x": every level puts "(" before the tokens
    // of all the levels inside it.
    constexpr Pos kLevels = 900;  // within the depth bound (three levels each)
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    set_forward_target(*slot, first({lit("x"), seq({lit("("), f})}));
    const std::string text = std::string(kLevels, '(') + "x";
    uint64_t before = tls_token_list_moves;
    reset_depth_exceeded();
    ParseOutcome o = f.parse_at(Text(text), 0);
    ASSERT_TRUE(o.ok);
    EXPECT_FALSE(depth_exceeded());
    ASSERT_EQ(o.tokens.size(), kLevels + 1);
    EXPECT_EQ(o.tokens[0].view(), "(");
    EXPECT_EQ(o.tokens[kLevels].view(), "x");
    EXPECT_LE(tls_token_list_moves - before, moves_bound(kLevels));
    set_forward_target(*slot, nothing());  // breaks the cycle
}

// ---------------------------------------------------------------------------
// Ordered choice: each alternative is tried at most once per position, with
// the first-byte table and without it, and a failure is the last alternative's.

namespace {

SharedElement literal(const std::string& s) { return SharedElement(build_literal(s), literal_vtable()); }

}  // namespace

TEST(ChoiceTrials, NestedFailingChoiceTriesEachAlternativeOncePerPosition) {
    // f <- "x" | "(" + f, on "(((...y": the second alternative fails at every
    // level; were it tried twice per level, the trials would double per level.
    constexpr Pos kLevels = 12;  // enough to tell 1 trial per level from 2
    const std::string text = std::string(kLevels, '(') + "y";
    struct Way {
        const char* name;
        bool table;  // literals of the Literal kind, whose first bytes are known
    };
    for (Way w : {Way{"with the first-byte table", true}, Way{"without it", false}}) {
        SCOPED_TRACE(w.name);
        Rc<ForwardElement> slot = Rc<ForwardElement>::make();
        SharedElement f(slot, forward_vtable());
        Rc<CountedElement> second;
        SharedElement x = w.table ? literal("x") : lit("x");
        SharedElement open = w.table ? literal("(") : lit("(");
        set_forward_target(*slot, first({x, counted(seq({open, f}), second)}));

        reset_depth_exceeded();
        ParseOutcome o = f.parse_at(Text(text), 0);
        ASSERT_FALSE(o.ok);
        EXPECT_FALSE(depth_exceeded());
        // The last alternative's failure, from the deepest level.
        EXPECT_EQ(o.failure.position, kLevels);
        EXPECT_EQ(o.failure.message.view(), "Expected '('");
        ASSERT_EQ(second->parse_calls.size(), kLevels + 1);
        for (Pos p = 0; p <= kLevels; ++p) EXPECT_EQ(second->parse_calls[p], 1u) << "at " << p;

        EXPECT_FALSE(f.try_match_at(Text(text), 0).matched);
        ASSERT_EQ(second->try_calls.size(), kLevels + 1);
        for (Pos p = 0; p <= kLevels; ++p) EXPECT_EQ(second->try_calls[p], 1u) << "at " << p;
        set_forward_target(*slot, nothing());  // breaks the cycle
    }
}

TEST(ChoiceTrials, FailureIsTheLastAlternativesWhereverTheByteSendsTheSearch) {
    struct Case {
        const char* name;
        std::vector<SharedElement> alternatives;
        std::string text;
        Pos pos;
        std::string message;
    };
    std::vector<Case> cases = {
        {"last cannot start at the byte", {literal("a"), literal("b")}, "c", 0, "Expected 'b'"},
        {"no candidate at the byte", {literal("a"), literal("c")}, "cx", 1, "Expected 'c'"},
        {"last is a candidate and fails", {literal("a"), literal("cy")}, "cx", 0, "Expected 'cy'"},
        {"last may match anywhere", {literal("a"), lit("zz")}, "z", 0, "Expected 'zz'"},
        {"a candidate fails, last cannot start", {lit("ab"), literal("ac"), literal("q")}, "ax", 0, "Expected 'q'"},
        {"at the end of the text", {literal("a"), literal("b")}, "ab", 2, "Expected 'b'"},
        {"last begins with a literal", {literal("a"), seq({literal("b"), literal("c")})}, "x", 0, "Expected 'b'"},
        {"last is a choice of literals", {literal("a"), first({literal("b"), literal("c")})}, "d", 0,
         "Expected 'c'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Rc<CountedElement>> counts(c.alternatives.size());
        std::vector<SharedElement> wrapped;
        // The same alternatives, each counted, give the plain path's answer.
        for (size_t i = 0; i < c.alternatives.size(); ++i) wrapped.push_back(counted(c.alternatives[i], counts[i]));
        for (SharedElement e : {first(c.alternatives), first(wrapped)}) {
            ParseOutcome o = e.parse_at(Text(c.text), c.pos);
            ASSERT_FALSE(o.ok);
            EXPECT_EQ(o.failure.position, c.pos);
            EXPECT_EQ(o.failure.message.view(), c.message);
            EXPECT_FALSE(e.try_match_at(Text(c.text), c.pos).matched);
        }
        for (const Rc<CountedElement>& k : counts) {
            ASSERT_GT(k->parse_calls.size(), c.pos);
            EXPECT_EQ(k->parse_calls[c.pos], 1u);
        }
    }
}

TEST(ChoiceTrials, TableSkipsOnlyAlternativesThatCannotMatchThere) {
    // Each alternative of the table's kinds is tried only at its bytes, the
    // first that matches still wins, and an alternative that may match
    // anywhere is tried at every position, in its place in the order.
    Rc<CountedElement> anywhere;
    SharedElement choice = first({literal("ab"), SharedElement(build_caseless_literal("Q"), caseless_literal_vtable()),
                                  SharedElement(build_char("0123456789"), char_vtable()), counted(lit("a"), anywhere),
                                  literal("x")});
    struct Probe {
        std::string text;
        bool matched;
        Pos end;
    };
    for (const Probe& p : std::vector<Probe>{{"ab", true, 2}, {"ac", true, 1}, {"q", true, 1}, {"Q", true, 1},
                                             {"7", true, 1}, {"x", true, 1}, {"y", false, 0}, {"", false, 0}}) {
        SCOPED_TRACE(p.text);
        TryMatchOutcome m = choice.try_match_at(Text(p.text), 0);
        EXPECT_EQ(m.matched != 0, p.matched);
        if (p.matched) {
            EXPECT_EQ(m.end, p.end);
        }
        ParseOutcome o = choice.parse_at(Text(p.text), 0);
        EXPECT_EQ(o.ok, p.matched);
        if (!p.matched) {
            EXPECT_EQ(o.failure.message.view(), "Expected 'x'");
        }
    }
    // The counted alternative was reached exactly where nothing before it matched:
    // at "ac", "x", "y" and the end, once by each operation.
    uint32_t total = 0;
    for (uint32_t c : anywhere->try_calls) total += c;
    EXPECT_EQ(total, 4u);
    total = 0;
    for (uint32_t c : anywhere->parse_calls) total += c;
    EXPECT_EQ(total, 4u);
}

TEST(ChoiceTrials, FirstByteTableNeverPassesOverAMatch) {
    // Every kind the table reads, alone and behind composites, against the
    // same alternatives counted (which hides them from the table): at every
    // position of every text both give the same outcome.
    auto regex = [](const char* p) {
        RegexBuildOutcome b = make_regex_element(Text(p));
        EXPECT_TRUE(b.error.empty()) << p;
        return SharedElement(b.element, regex_vtable());
    };
    const std::string word_chars = "ab_";
    const std::string quote = "'";
    std::vector<SharedElement> kinds = {
        literal("ab"), SharedElement(build_keyword("if"), keyword_vtable()),
        SharedElement(build_caseless_literal("Ok"), caseless_literal_vtable()),
        SharedElement(build_caseless_keyword("#x"), caseless_keyword_vtable()),
        SharedElement(build_char("-+\xc3\xa9"), char_vtable()),
        SharedElement(make_word_element(Text(word_chars), nullptr), word_vtable()),
        SharedElement(make_quoted_string_element(Text(quote), nullptr, false, true), quoted_string_vtable()),
        literal(""), regex("[a-c_]+"), regex("[-x]y"), regex("[x-]"), regex("\\.x"), regex("a*b"), regex("a?"),
        regex("b{0}c"), regex("[]a]"), regex("c|d"), regex("(e)"), regex("[\\d]"), regex("\\d"), regex("[^a]"),
        regex("\xc3\xa9"), regex("[a\\-c]"), regex("\\("), regex("[\\]x]"), regex("[\\n]"), regex("\\bq"),
        regex("$"), regex("^"), regex("[[:digit:]]"), regex("x\\|y"), regex("(?i)k"), regex("[\\t-\\r]z"),
        seq({literal("b"), literal("c")}), seq({optional(literal("b")), literal("c")}),
        one_or_more(literal("ab")), exactly(literal("c"), 2), exactly(literal("c"), 0), group(literal("q")),
        suppress(literal("Q")), combine(seq({literal("("), literal(")")})), first({literal("x"), literal("y")}),
        first({literal("x"), optional(literal("y"))}), zero_or_more(literal("b")), skip_to(literal("b")),
    };
    const std::vector<std::string> texts = {
        "", "ab", "if x", "ifx", "oK", "OK!", "#X", "#xy", "-+\xc3\xa9", "ab_c", "'q' x", "xy", "x-", ".x",
        "aab", "b", "c", "]", "d", "e", "5", "\xd9\xa5", "z", "\xc3\xa9", "-", "(", "\\", "\n", "q", "x|y",
        "K", "\tz", "\rz", "bc", "c", "cc", "Q", "()", "y", "\xc3", "a b\xc3\xa9#xz\n()ab'c'",
    };
    // Each kind alone, then every kind in one choice, and the choice reversed.
    std::vector<std::vector<SharedElement>> choices;
    for (const SharedElement& k : kinds) choices.push_back({literal("never"), k});
    choices.push_back(kinds);
    choices.push_back(std::vector<SharedElement>(kinds.rbegin(), kinds.rend()));
    for (const auto& alternatives : choices) {
        std::vector<Rc<CountedElement>> counts(alternatives.size());
        std::vector<SharedElement> hidden;
        for (size_t i = 0; i < alternatives.size(); ++i) hidden.push_back(counted(alternatives[i], counts[i]));
        SharedElement table = first(alternatives), plain = first(hidden);
        for (const std::string& s : texts) {
            Text t(s);
            for (Pos p = 0; p <= t.len; ++p) {
                SCOPED_TRACE("text '" + s + "' at " + std::to_string(p) + ", " +
                             std::to_string(alternatives.size()) + " alternatives");
                TryMatchOutcome a = table.try_match_at(t, p), b = plain.try_match_at(t, p);
                ASSERT_EQ(a.matched, b.matched);
                if (a.matched) {
                    ASSERT_EQ(a.end, b.end);
                }
                ParseOutcome x = table.parse_at(t, p), y = plain.parse_at(t, p);
                ASSERT_EQ(x.ok, y.ok);
                if (x.ok) {
                    ASSERT_EQ(x.end, y.end);
                    ASSERT_EQ(x.tokens.size(), y.tokens.size());
                    for (uint32_t i = 0; i < x.tokens.size(); ++i) ASSERT_EQ(x.tokens[i].view(), y.tokens[i].view());
                } else {
                    ASSERT_EQ(x.failure.position, y.failure.position);
                    ASSERT_EQ(x.failure.message.view(), y.failure.message.view());
                }
            }
        }
    }
}

TEST(ChoiceTrials, TableKnowsTheFirstBytesOfSimplePatterns) {
    struct Case {
        const char* pattern;
        const char* bytes;  // the bytes that may begin a match; null: no table
    };
    for (Case c : std::vector<Case>{{"[a-c_]+", "abc_"}, {"#[^\\n]*", "#"}, {"\"[^\"\\n]*\"", "\""},
                                    {"\\.x", "."}, {"[x-]", "x-"}, {"[\\t-\\r]", "\t\n\v\f\r"},
                                    {"a*b", "ab"}, {"a|b", "ab"},
                                    {"\\d+", "0123456789\xD9\xDB\xDF\xE0\xE1\xEA\xEF\xF0"}, {"(a)", "a"}}) {
        SCOPED_TRACE(c.pattern);
        RegexBuildOutcome b = make_regex_element(Text(c.pattern));
        ASSERT_TRUE(b.error.empty());
        SharedElement choice = first({SharedElement(b.element, regex_vtable())});
        const AlternativeDispatch* d = static_cast<const MatchFirstElement*>(choice.record())->dispatch();
        if (kPlainPaths || c.bytes == nullptr) {
            EXPECT_EQ(d, nullptr);
            continue;
        }
        ASSERT_NE(d, nullptr);
        std::string expected(c.bytes);
        for (int x = 0; x < 256; ++x)
            EXPECT_EQ(d->may_start.has(static_cast<unsigned char>(x)), expected.find(static_cast<char>(x)) != std::string::npos)
                << "byte " << x;
        EXPECT_EQ(d->start[257], d->start[256]);  // nothing at the end of the text
    }
}

TEST(ChoiceTrials, TableIsMadeOnceOnFirstUseNotWhenAChoiceIsBuilt) {
    // A chain a | b | c ... builds a record per `|`; none of them makes a
    // table until it is matched, and the one matched makes it once.
    std::vector<SharedElement> members;
    std::vector<SharedElement> chain;
    for (int i = 0; i < 300; ++i) {
        std::string w = std::to_string(i);
        w.insert(w.begin(), 'w');
        members.push_back(literal(w));
        chain.push_back(first(members));
    }
    for (const SharedElement& c : chain)
        EXPECT_FALSE(static_cast<const MatchFirstElement*>(c.record())->dispatch_settled());
    const auto* last = static_cast<const MatchFirstElement*>(chain.back().record());
    EXPECT_TRUE(chain.back().try_match_at(Text("w299"), 0).matched);
    EXPECT_TRUE(last->dispatch_settled());
    const AlternativeDispatch* d = last->dispatch();
    EXPECT_EQ(d == nullptr, kPlainPaths);
    EXPECT_TRUE(chain.back().parse_at(Text("w7"), 0).ok);
    EXPECT_EQ(last->dispatch(), d);  // kept, not made again
    EXPECT_FALSE(static_cast<const MatchFirstElement*>(chain.front().record())->dispatch_settled());
}

TEST(Sealing, ARecordIsSealedBeforeAnythingDescribesIt) {
    // Whatever a record's first match makes from its members (its program, a
    // choice's table, a search's jump) seals it first; a record never matched
    // stays open. The plain build makes no program, so a sequence publishes nothing there.
    struct Sealed {
        const char* name;
        SharedElement e;
        bool publishes;
    };
    const Sealed kinds[] = {
        {"sequence", seq({literal("a"), literal("b")}), !kPlainPaths},
        {"choice", first({literal("a"), literal("b")}), true},
        {"search", skip_to(literal("b")), true},
    };
    for (const Sealed& k : kinds) {
        const auto* h = static_cast<const CompositeHeader*>(k.e.record());
        EXPECT_FALSE(h->sealed.load()) << k.name;
        EXPECT_TRUE(k.e.try_match_at(Text("ab"), 0).matched) << k.name;
        EXPECT_EQ(h->sealed.load(), k.publishes) << k.name;
    }
}

// The members of a sealed chain record as text, one letter each.
std::string placed(const SharedElement& e) {
    std::string out;
    for (const SharedElement& m : static_cast<const ChainElement*>(e.record())->exprs)
        out += static_cast<const LiteralElement*>(m.record())->text.view();
    return out;
}

TEST(Sealing, SplicedPiecesArePlacedOnceWithoutRecursion) {
    auto chain = [] { return seq({}); };
    auto with = [](SharedElement r, std::vector<SharedElement> pieces) {
        auto& c = *static_cast<ChainElement*>(r.record());
        for (SharedElement& p : pieces) {
            if (p.vtable() == and_vtable())
                chain_append_spliced(c, p);
            else
                chain_append_member(c, p);
        }
        return r;
    };
    SharedElement ab = with(chain(), {literal("a"), literal("b")});
    SharedElement empty = chain();
    // Shared twice, beside an empty piece and a member.
    SharedElement twice = with(chain(), {ab, empty, literal("c"), ab});
    SharedElement outer = with(chain(), {twice, literal("d"), twice});
    seal_record(outer);
    EXPECT_EQ(placed(outer), "abcabdabcab");
    EXPECT_TRUE(static_cast<const ChainElement*>(outer.record())->spliced.empty());
    EXPECT_EQ(static_cast<const ChainElement*>(outer.record())->members, 11u);
    // The operands were left as they were, and seal as themselves.
    seal_record(twice);
    EXPECT_EQ(placed(twice), "abcab");
    // A chain nested as deep as it is long: x + (x + (x + ...)).
    SharedElement deep = with(chain(), {literal("x"), literal("y")});
    for (int i = 0; i < 200000; ++i) deep = with(chain(), {literal("x"), deep});
    seal_record(deep);
    EXPECT_EQ(placed(deep), std::string(200001, 'x') + "y");
    EXPECT_TRUE(deep.try_match_at(Text(std::string(200001, 'x') + "y"), 0).matched);
    // An unsealed chain as deep is released without recursion as well.
    SharedElement unsealed = with(chain(), {literal("x"), literal("y")});
    for (int i = 0; i < 200000; ++i) unsealed = with(chain(), {unsealed, literal("x")});
    unsealed = SharedElement();
}

TEST(ChoiceTrials, TableCountsTheLevelsOfTheAlternativesItPassesOver) {
    // f <- (Suppress("(") + f + Suppress(")")) | Word(digits): at the digit the
    // table passes over the sequence, which would have entered two levels
    // before failing. Against the same alternatives hidden from the table,
    // every nesting depth around the bound gives the same outcomes, bound
    // included.
    auto digits = [] { return SharedElement(make_word_element(Text("0123456789"), nullptr), word_vtable()); };
    auto grammar = [&](bool table, Rc<ForwardElement>& slot) {
        slot = Rc<ForwardElement>::make();
        SharedElement f(slot, forward_vtable());
        SharedElement nest = seq({suppress(literal("(")), f, suppress(literal(")"))});
        SharedElement number = digits();
        Rc<CountedElement> a, b;
        if (table) set_forward_target(*slot, first({nest, number}));
        else set_forward_target(*slot, first({counted(nest, a), counted(number, b)}));
        return f;
    };
    Rc<ForwardElement> s1, s2;
    SharedElement with = grammar(true, s1), without = grammar(false, s2);
    for (Pos n = 990; n <= 1002; ++n) {
        SCOPED_TRACE("pairs " + std::to_string(n));
        const std::string text = std::string(n, '(') + "7" + std::string(n, ')');
        Text t(text);
        for (Pos start : {Pos{0}, Pos{1}}) {
            reset_depth_exceeded();
            TryMatchOutcome a = with.try_match_at(t, start);
            bool a_deep = depth_exceeded();
            reset_depth_exceeded();
            TryMatchOutcome b = without.try_match_at(t, start);
            ASSERT_EQ(a.matched, b.matched);
            ASSERT_EQ(a_deep, depth_exceeded());
            reset_depth_exceeded();
            ParseOutcome x = with.parse_at(t, start);
            a_deep = depth_exceeded();
            reset_depth_exceeded();
            ParseOutcome y = without.parse_at(t, start);
            ASSERT_EQ(x.ok, y.ok);
            ASSERT_EQ(a_deep, depth_exceeded());
            if (!x.ok) {
                ASSERT_EQ(x.failure.position, y.failure.position);
                ASSERT_EQ(x.failure.message.view(), y.failure.message.view());
            }
        }
    }
    set_forward_target(*s1, nothing());
    set_forward_target(*s2, nothing());
}

namespace {

// A context on `t` for the scope of a test step, as an operation has one.
struct ContextOn {
    ContextScope scope;
    explicit ContextOn(Text t) { begin_text(t); }
};

SharedElement wrapped(SharedElement e, uint32_t levels) {
    for (uint32_t i = 0; i < levels; ++i) e = group(std::move(e));
    return e;
}

std::string outcome_of(const SharedElement& e, Text t, Pos p) {
    reset_depth_exceeded();
    TryMatchOutcome m = e.try_match_at(t, p);
    std::string r = m.matched ? "yes " + std::to_string(m.end) : "no";
    if (depth_exceeded()) r += " (depth)";
    reset_depth_exceeded();
    ParseOutcome o = e.parse_at(t, p);
    r += o.ok ? " / ok " + std::to_string(o.end) + " " + std::string(o.tokens.size() ? o.tokens[0].view() : "")
              : " / fail " + std::to_string(o.failure.position) + " " + std::string(o.failure.message.view());
    if (depth_exceeded()) r += " (depth)";
    return r;
}

}  // namespace

TEST(SkipToSearch, EachPositionIsTestedOnceInAScan) {
    // The target hidden behind a counter (no jump): with the operation's
    // memory, a scan over every start tests the target at each position at
    // most once, also when the SkipTo stands twice in one sequence.
    struct Case {
        const char* name;
        std::string text;
        bool twice;
    };
    for (const Case& c : std::vector<Case>{{"target absent", std::string(300, 'a'), false},
                                          {"target rare", std::string(120, 'a') + "x" + std::string(150, 'b') + "x",
                                           false},
                                          {"twice in a sequence",
                                           std::string(90, 'a') + "x" + std::string(70, 'b') + "x" + "cc", true}}) {
        SCOPED_TRACE(c.name);
        Rc<CountedElement> count;
        SharedElement s = skip_to(counted(lit("x"), count));
        SharedElement g = c.twice ? seq({s, lit("x"), s}) : s;
        Text t(c.text);
        uint64_t plain_count = 0;
        for (Pos p = 0; p < t.len; ++p) plain_count += g.try_match_at(t, p).matched;
        count->try_calls.clear();
        ContextOn on(t);
        uint64_t n = 0;
        for (Pos p = 0; p < t.len; ++p) n += g.try_match_at(t, p).matched;
        EXPECT_EQ(n, plain_count);
        for (Pos p = 0; p < count->try_calls.size(); ++p) EXPECT_LE(count->try_calls[p], 1u) << "at " << p;
    }
}

TEST(SkipToSearch, RememberedSearchesAnswerAsTheSearchItself) {
    // Starts in a shuffled order, through a target that reaches the same
    // SkipTo again: with the memory every outcome is the one without it.
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    SharedElement s = skip_to(f);
    set_forward_target(*slot, first({lit("x"), seq({lit("("), s, lit(")")}), seq({lit("a"), lit("b")})}));
    const std::vector<std::string> texts = {"", "x", "aab(x)b", "q(((x)))ab", "(a(bx)(x)", "zz(zzz)ab" + std::string(40, 'z')};
    std::mt19937 rng(5);
    for (const std::string& str : texts) {
        Text t(str);
        std::vector<Pos> order;
        for (Pos p = 0; p <= t.len + 1; ++p) order.push_back(p);
        std::vector<std::string> plain;
        for (Pos p : order) plain.push_back(outcome_of(s, t, p));
        for (int round = 0; round < 3; ++round) {
            std::vector<size_t> idx(order.size());
            for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
            std::shuffle(idx.begin(), idx.end(), rng);
            ContextOn on(t);
            for (size_t i : idx) ASSERT_EQ(outcome_of(s, t, order[i]), plain[i]) << "'" << str << "' at " << order[i];
        }
    }
    set_forward_target(*slot, nothing());
}

TEST(DepthBound, SkipToCountsTheLevelsOfItsTargetWhereverItComesFrom) {
    // One SkipTo record, its target six levels deep, reached at a shallow
    // depth and at depths around the bound in one operation: a search
    // remembered at the shallow one is not reused where redoing it would pass
    // the bound, and the positions the jump passes over count their levels.
    for (bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "target hidden from the jump" : "target read by the jump");
        Rc<CountedElement> count;
        SharedElement target = wrapped(literal("x"), 6);
        if (hidden) target = counted(target, count);
        SharedElement s = skip_to(target);
        const std::string text = std::string(60, 'a') + "x";
        Text t(text);
        std::vector<std::string> plain;
        std::vector<SharedElement> deep;
        for (uint32_t d = kMaxMatchDepth - 12; d <= kMaxMatchDepth - 2; ++d) deep.push_back(wrapped(s, d));
        for (const SharedElement& e : deep) plain.push_back(outcome_of(e, t, 0));
        ContextOn on(t);
        EXPECT_EQ(outcome_of(s, t, 0), "yes 60 / ok 60 " + std::string(60, 'a'));
        for (size_t i = 0; i < deep.size(); ++i) EXPECT_EQ(outcome_of(deep[i], t, 0), plain[i]) << "depth " << i;
        EXPECT_NE(plain.front(), plain.back());  // both sides of the bound were seen
    }
}
