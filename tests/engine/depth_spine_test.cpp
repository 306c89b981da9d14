// Forward calls that passed the nesting bound, remembered within an
// operation: a scan over deeply nested input gives at every start the
// verdict the descent itself gives (the outcome, and whether the bound was
// passed), with programs and without, in any order of starts; and a start
// after one that passed the bound no longer pays the whole descent again.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "combinator_stand_ins.hpp"
#include "elements/forward.hpp"
#include "elements/match_context.hpp"
#include "elements/program.hpp"
#include "test_support.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

// The slots of one grammar, emptied at the end so that its cycles go.
struct Grammar {
    std::vector<Rc<ForwardElement>> slots;
    SharedElement top;
    SharedElement slot() {
        slots.push_back(Rc<ForwardElement>::make());
        return SharedElement(slots.back(), forward_vtable());
    }
    ~Grammar() {
        for (auto& s : slots) set_forward_target(*s, nothing());
    }
};

struct Case {
    const char* name;
    std::function<void(Grammar&)> make;
    size_t max_len = 1u << 20;  // the texts cut to this length
};

const std::vector<Case>& cases() {
    static const std::vector<Case> v = {
        // f <- "(" f ")" | "1"
        {"parentheses", [](Grammar& g) {
             SharedElement f = g.slot();
             set_forward_target(*g.slots[0], first({seq({suppress(lit("(")), f, suppress(lit(")"))}), lit("1")}));
             g.top = f;
         }},
        // f <- "(" Optional(f) ")" | "(" "1": a bottom that completes
        // where the text closes, and a choice past a failed descent.
        {"optional inside", [](Grammar& g) {
             SharedElement f = g.slot();
             set_forward_target(*g.slots[0],
                                first({seq({lit("("), optional(f), lit(")")}), seq({lit("("), lit("1")})}));
             g.top = f;
         }},
        // f <- g | "(" ; g <- "(" f: two slots in turn.
        {"two slots", [](Grammar& g) {
             SharedElement f = g.slot(), h = g.slot();
             set_forward_target(*g.slots[0], first({h, lit("(")}));
             set_forward_target(*g.slots[1], seq({lit("("), f}));
             g.top = f;
         }},
        // f <- f "x" | "(": recursion at one position, which passes the
        // bound from every start whatever the text.
        {"left recursion", [](Grammar& g) {
             SharedElement f = g.slot();
             set_forward_target(*g.slots[0], first({seq({f, lit("x")}), lit("(")}));
             g.top = f;
         }, 300},
        // Group(f) | "(" with f <- "(" f ")" | "(" ")": the choice's later
        // alternative is not tried once the descent passed the bound.
        {"choice after", [](Grammar& g) {
             SharedElement f = g.slot();
             set_forward_target(*g.slots[0], first({seq({lit("("), f, lit(")")}), seq({lit("("), lit(")")})}));
             g.top = first({group(f), lit("(")});
         }},
    };
    return v;
}

std::vector<std::string> texts() {
    const std::string open1200(1200, '(');
    return {
        open1200,
        std::string(1100, '(') + "1" + std::string(1100, ')'),
        std::string(1300, '(') + "1" + std::string(700, ')') + std::string(40, '('),
        std::string(900, '(') + "1)" + std::string(1200, '(') + "()" + std::string(300, ')'),
    };
}

std::string verdict(const SharedElement& e, Text t, Pos p) {
    reset_depth_exceeded();
    TryMatchOutcome o = e.try_match_at(t, p);
    std::string r = o.matched ? "yes " + std::to_string(o.end) : "no";
    if (depth_exceeded()) r += depth_stack_short() ? " (stack)" : " (bound)";
    return r;
}

enum class Order { Increasing, Decreasing, Random };

TEST(DepthSpines, EveryStartGivesTheVerdictOfItsOwnDescent) {
    std::mt19937 rng(5);
    for (const Case& c : cases()) {
        Grammar g;
        c.make(g);
        for (const std::string& whole : texts()) {
            const std::string s = whole.substr(0, c.max_len);
            Text t(s);
            // Without a context nothing is remembered: each start descends.
            std::vector<std::string> expected;
            for (Pos p = 0; p <= t.len; ++p) expected.push_back(verdict(g.top, t, p));
            for (bool programs : {true, false}) {
                for (Order order : {Order::Increasing, Order::Decreasing, Order::Random}) {
                    std::vector<Pos> positions;
                    for (Pos p = 0; p <= t.len; ++p) positions.push_back(p);
                    if (order == Order::Decreasing) std::reverse(positions.begin(), positions.end());
                    if (order == Order::Random) std::shuffle(positions.begin(), positions.end(), rng);
                    ContextScope scope;
                    begin_text(t);
                    std::unique_ptr<ProgramsOff> off;
                    if (!programs) off = std::make_unique<ProgramsOff>();
                    for (Pos p : positions)
                        ASSERT_EQ(verdict(g.top, t, p), expected[p])
                            << c.name << ", programs " << programs << ", order " << int(order) << ", at " << p;
                }
            }
        }
    }
}

// The combinator calls of a scan over unclosed parentheses stay a small
// multiple of the text: without the remembered calls every start past the
// first thousand descends to the bound, three thousand levels each.
TEST(DepthSpines, AScanOverDeepNestingDoesNotDescendFromEveryStart) {
    Grammar g;
    cases()[0].make(g);
    const Pos n = 6000;
    std::string s(n, '(');
    Text t(s);
    for (bool programs : {true, false}) {
        ContextScope scope;
        begin_text(t);
        std::unique_ptr<ProgramsOff> off;
        if (!programs) off = std::make_unique<ProgramsOff>();
        uint64_t calls = 0;
        for (Pos p = 0; p <= t.len; ++p) {
            const uint64_t before = tls_match_depth.calls;
            EXPECT_FALSE(g.top.try_match_at(t, p).matched);
            calls += tls_match_depth.calls - before;
        }
        // A few levels per start, besides the descents that complete near
        // the end, which take the text's budget before the memo answers
        // them (each start descending: about 20 million).
        EXPECT_LE(calls, memo_budget(t.len) + uint64_t{20} * n)
            << "programs " << programs;
    }
}

}  // namespace
