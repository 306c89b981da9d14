// Remembered combinator outcomes: with a match context, every outcome,
// failure and depth verdict equals the one the work itself gives, and
// ordered choice that backtracks over nested input takes work linear in the
// text instead of exponential.
#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "elements/forward.hpp"
#include "elements/match_context.hpp"
#include "elements/program.hpp"
#include "elements/structure.hpp"
#include "combinator_stand_ins.hpp"
#include "test_support.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

// A context on `t` for the scope of a test step, as an operation has one;
// with `forced`, outcomes are remembered from the first call on.
struct ContextOn {
    ContextScope scope;
    ContextOn(Text t, bool forced) {
        begin_text(t);
        if (forced) remember_outcomes_now();
    }
    uint64_t calls() const { return tls_match_depth.calls; }
};

// Everything a call at one position gives, as text, for comparisons.
std::string parse_result(const SharedElement& e, Text t, Pos p) {
    reset_depth_exceeded();
    ParseOutcome o = e.parse_at(t, p);
    std::string r = o.ok ? "ok " + std::to_string(o.end) + " [" : "fail " + std::to_string(o.failure.position) + " ";
    if (o.ok) {
        for (const SharedText& s : o.tokens) r += std::string(s.view()) + "|";
        r += "]";
    } else {
        r += o.failure.message.view();
    }
    if (depth_exceeded()) r += " (depth)";
    return r;
}
std::string try_result(const SharedElement& e, Text t, Pos p) {
    reset_depth_exceeded();
    TryMatchOutcome o = e.try_match_at(t, p);
    std::string r = o.matched ? "yes " + std::to_string(o.end) : "no";
    if (depth_exceeded()) r += " (depth)";
    return r;
}

// One call at every position of the text, in both modes.
std::vector<std::string> every_position(const SharedElement& e, Text t) {
    std::vector<std::string> out;
    for (Pos p = 0; p <= t.len; ++p) {
        out.push_back(parse_result(e, t, p));
        out.push_back(try_result(e, t, p));
    }
    return out;
}

// The textbook expression grammar: ordered choice over alternatives that
// share their first member, through a Forward.
struct Expression {
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement expr{slot, forward_vtable()};
    Expression() {
        SharedElement num = first({lit("1"), lit("2")});
        SharedElement term = first({num, seq({lit("("), expr, lit(")")})});
        set_forward_target(*slot, first({seq({term, lit("+"), expr}), seq({term, lit("-"), expr}), term}));
    }
    ~Expression() { set_forward_target(*slot, lit("x")); }  // breaks the cycle
};

// e(0) = "a", e(i+1) = (e(i) + "b") | (e(i) + "c"): shared without a Forward.
SharedElement shared_nesting(int depth) {
    SharedElement e = lit("a");
    for (int i = 0; i < depth; ++i) e = first({seq({e, lit("b")}), seq({e, lit("c")})});
    return e;
}

std::string nested(int k, const std::string& inner = "1") { return std::string(k, '(') + inner + std::string(k, ')'); }

}  // namespace

TEST(Memo, OutcomesEqualTheWorkItselfAtEveryPosition) {
    Expression ex;
    std::vector<std::pair<SharedElement, std::vector<std::string>>> table = {
        {ex.expr, {nested(4), "((1+2)-(1", "1+2-1+", "(1+(2-(1)))x", ""}},
        {shared_nesting(5), {"abcbcb", "acccccx", "ab", ""}},
        {seq({zero_or_more(optional(lit("a"))), one_or_more(first({lit("b"), nothing()}))}), {"aab", "b", ""}},
        {first({exactly(optional(lit("a")), 2), combine(seq({lit("a"), suppress(lit("b"))})), skip_to(lit("c"))}),
         {"abc", "aac", "ab"}},
        {group(first({seq({lit("a"), lit("b")}), seq({lit("a"), lit("c")}), first({})})), {"ac", "ad"}},
        // The first outcome remembered on a text keeps its own tokens.
        {seq({group(lit("a")), group(lit("b"))}), {"ab", "aa"}},
    };
    for (auto& [e, texts] : table) {
        for (const std::string& s : texts) {
            Text t(s);
            std::vector<std::string> plain = every_position(e, t);
            ContextOn c(t, true);
            EXPECT_EQ(every_position(e, t), plain) << s;
            // Again, now answered from what was remembered.
            EXPECT_EQ(every_position(e, t), plain) << s;
        }
    }
}

TEST(Memo, BacktrackingChoiceTakesLinearWork) {
    Expression ex;
    // Without remembering, each nesting level triples the work: 14 levels
    // would take millions of calls.
    uint64_t at[2];
    int k = 14;
    for (int i = 0; i < 2; ++i, k *= 4) {
        std::string s = nested(k);
        Text t(s);
        ContextOn c(t, false);
        ParseOutcome o = ex.expr.parse_at(t, 0);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.tokens.size(), static_cast<uint32_t>(2 * k + 1));
        EXPECT_TRUE(ex.expr.try_match_at(t, 0).matched);
        at[i] = c.calls();
    }
    EXPECT_LT(at[0], 200000u);
    EXPECT_LT(at[1], at[0] * 6);

    SharedElement shared = shared_nesting(18);
    for (const char* s : {"ab", "abcbcbcbcbcbcbcbcbc"}) {
        Text t(s);
        ContextOn c(t, false);
        (void)shared.parse_at(t, 0);
        (void)shared.try_match_at(t, 0);
        EXPECT_LT(c.calls(), 100000u) << s;
    }
}

namespace {

// f = ("a" + OneOrMore(z) + f + "b") | ("a" + OneOrMore(z) + f + "c") | "x",
// z a Forward: each alternative redoes thousands of calls before a record
// comes back to a position, farther apart than a short watch reaches.
struct LongRepeats {
    Rc<ForwardElement> z = Rc<ForwardElement>::make(), slot = Rc<ForwardElement>::make();
    SharedElement f{slot, forward_vtable()};
    LongRepeats() {
        set_forward_target(*z, lit("z"));
        SharedElement zs = one_or_more(SharedElement(z, forward_vtable()));
        set_forward_target(*slot, first({seq({lit("a"), zs, f, lit("b")}), seq({lit("a"), zs, f, lit("c")}), lit("x")}));
    }
    ~LongRepeats() { set_forward_target(*slot, lit("x")); }
    static std::string text(int k) {
        std::string s;
        for (int i = 0; i < k; ++i) s.append(1, 'a').append(2048, 'z');
        return s.append(1, 'x').append(k, 'c');
    }
};

// e(0) = a choice of 2,048 Forwards that fail after "a", then "a";
// e(i+1) = (e(i) + "b") | (e(i) + "c"): one rule of many records at one
// position.
SharedElement many_records_nesting(int depth) {
    std::vector<SharedElement> alts;
    for (int j = 0; j < 2048; ++j) {
        Rc<ForwardElement> r = Rc<ForwardElement>::make();
        std::string fails = std::to_string(j);
        set_forward_target(*r, seq({lit("a"), lit(fails.insert(0, 1, 'q'))}));
        alts.emplace_back(r, forward_vtable());
    }
    alts.push_back(lit("a"));
    SharedElement e = first(std::move(alts));
    for (int i = 0; i < depth; ++i) e = first({seq({e, lit("b")}), seq({e, lit("c")})});
    return e;
}

}  // namespace

TEST(Memo, RepeatsFarApartStillStartRemembering) {
    // Without remembering, each level doubles the work: 13 levels of the
    // first grammar take about seventy million calls, 12 of the second
    // sixteen million. Remembered, both stay within a small multiple of
    // the budget, on the program and on the kinds' own algorithms.
    for (bool programs : {true, false}) {
        std::optional<ProgramsOff> off;
        if (!programs) off.emplace();
        LongRepeats g;
        std::string s = LongRepeats::text(13);
        Text t(s);
        {
            ContextOn c(t, false);
            EXPECT_TRUE(g.f.try_match_at(t, 0).matched);
            EXPECT_TRUE(g.f.parse_at(t, 0).ok);
            EXPECT_LT(c.calls(), 2 * memo_budget(t.len)) << programs;
        }
        SharedElement e = many_records_nesting(12);
        Text ad("ad");
        ContextOn c(ad, false);
        EXPECT_FALSE(e.try_match_at(ad, 0).matched);
        EXPECT_FALSE(e.parse_at(ad, 0).ok);
        // The watch sees these repeats well before the calls would force
        // remembering on (past 134,144 on this text).
        EXPECT_LT(c.calls(), 100000u) << programs;
    }
}

TEST(Memo, WatchSeesRepeatsAsFarApartAsItsWork) {
    // A cycle of 20,000 keys, each back after all the others (records a
    // block apart, as they are made, each tried at a run of positions): the
    // watch reaches that far long before the calls force remembering on.
    std::string s(1 << 20, 'a');
    Text t(s);
    ContextOn c(t, false);
    MatchContext& mc = *current_context();
    MemoTable& m = *mc.memo();
    MatchDepthState& d = tls_match_depth;
    static const char records[20 * 64] = {};
    const uint64_t start = d.memo_after + 1;
    for (uint64_t i = 0;; ++i) {
        d.calls = start + i;
        const uint64_t key = i % 20000;
        if (m.note(records + key / 1000 * 64, static_cast<Pos>(key % 1000), kMemoTry, mc.epoch(), t.len)) break;
        ASSERT_LT(i, 64u * 20000);
    }
    EXPECT_LT(d.calls / MemoTable::kForceAfter, d.memo_after);
}

TEST(Memo, RememberingStartsPastAFixedMultipleOfTheBudget) {
    // Keys that never come back: the watch sees no reason, and still the
    // memo starts once the text's calls pass kForceAfter times its budget.
    std::string s(1000, 'a');
    Text t(s);
    ContextOn c(t, false);
    MatchContext& mc = *current_context();
    MemoTable& m = *mc.memo();
    MatchDepthState& d = tls_match_depth;
    const uint64_t force = MemoTable::kForceAfter * (d.memo_after + 1);
    static const char records[1 << 11] = {};
    uint64_t i = 0;
    for (d.calls = d.memo_after + 1; d.calls < force; ++d.calls, ++i) {
        ASSERT_FALSE(m.note(records + i / 1001, static_cast<Pos>(i % 1001), kMemoTry, mc.epoch(), t.len)) << d.calls;
    }
    EXPECT_TRUE(m.note(records + i / 1001, static_cast<Pos>(i % 1001), kMemoTry, mc.epoch(), t.len));
    EXPECT_TRUE(m.active(mc.epoch()));
}

TEST(Memo, ReusedOutcomeStillMeetsTheDepthBound) {
    // X is just inside the bound where the first alternative tries it; the
    // second alternative reaches it twenty levels deeper, where redoing it
    // would pass the bound, so the remembered outcome must not stand in.
    SharedElement x = lit("a");
    for (uint32_t i = 0; i < kMaxMatchDepth - 10; ++i) x = group(std::move(x));
    SharedElement deeper = x;
    for (int i = 0; i < 20; ++i) deeper = group(std::move(deeper));
    SharedElement g = first({seq({x, lit("b")}), seq({deeper, lit("c")})});
    Text t("ac");
    std::string parsed = parse_result(g, t, 0), tried = try_result(g, t, 0);
    EXPECT_NE(parsed.find("(depth)"), std::string::npos);
    ContextOn c(t, true);
    EXPECT_EQ(parse_result(g, t, 0), parsed);
    EXPECT_EQ(try_result(g, t, 0), tried);
}

TEST(Memo, NestingAtTheBoundGivesTheSameVerdict) {
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    set_forward_target(*slot, first({seq({suppress(lit("(")), f, suppress(lit(")"))}), lit("1")}));
    for (int k : {996, 997, 998, 999, 1000}) {
        std::string s = nested(k);
        Text t(s);
        std::string parsed = parse_result(f, t, 0), tried = try_result(f, t, 0);
        ContextOn c(t, true);
        EXPECT_EQ(parse_result(f, t, 0), parsed) << k;
        EXPECT_EQ(try_result(f, t, 0), tried) << k;
    }
    set_forward_target(*slot, lit("x"));
}

TEST(Memo, OnlyTheNamedTextIsAnsweredFromMemory) {
    // The same bytes at another address, or another text after begin_text,
    // are worked out afresh.
    Expression ex;
    std::string a = "(1+2)", b = "(1-2)";
    ContextOn c(Text(a), true);
    EXPECT_EQ(parse_result(ex.expr, Text(a), 0), "ok 5 [(|1|+|2|)|]");
    EXPECT_EQ(parse_result(ex.expr, Text(b), 0), "ok 5 [(|1|-|2|)|]");
    begin_text(Text(b));
    remember_outcomes_now();
    EXPECT_EQ(parse_result(ex.expr, Text(b), 0), "ok 5 [(|1|-|2|)|]");
    EXPECT_EQ(parse_result(ex.expr, Text(a), 0), "ok 5 [(|1|+|2|)|]");
}

// The thread's stack bounds are read once (on the main thread that reads
// /proc/self/maps): an entry that found them leaves them to the next.
TEST(Memo, ScopesKeepTheStackBoundsTheyFound) {
    std::thread([] {
        EXPECT_EQ(tls_match_depth.stack_high, 0u);
        {
            ContextScope scope(true);
            find_stack_bounds(tls_match_depth);
        }
        EXPECT_NE(tls_match_depth.stack_high, 0u);
        EXPECT_EQ(tls_match_depth.polls_on, false);
    }).join();
}

TEST(Memo, ScopesNestAndRestoreTheCallersContext) {
    EXPECT_EQ(current_context(), nullptr);
    {
        ContextScope outer;
        MatchContext* o = current_context();
        ASSERT_NE(o, nullptr);
        begin_text(Text("abc"));
        uint64_t budget = tls_match_depth.memo_after;
        {
            ContextScope inner;
            EXPECT_NE(current_context(), o);
            std::string x = "x";
            begin_text(Text(x));
            EXPECT_TRUE(current_context()->is_current(Text(x)));
            EXPECT_FALSE(o->is_current(Text(x)));
        }
        EXPECT_EQ(current_context(), o);
        EXPECT_EQ(tls_match_depth.memo_after, budget);
    }
    EXPECT_EQ(current_context(), nullptr);
    EXPECT_EQ(tls_match_depth.memo_after, UINT64_MAX);
}
