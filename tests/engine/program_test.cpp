// Compiled programs against the combinator kinds' own algorithms: at every
// position of every text, both modes give the same outcome, tokens, failure
// and depth verdict, with and without remembered outcomes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/match_context.hpp"
#include "elements/positional.hpp"
#include "elements/program.hpp"
#include "elements/structure.hpp"
#include "combinator_stand_ins.hpp"
#include "test_support.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

std::string outcome(const SharedElement& e, Text t, Pos p) {
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
    reset_depth_exceeded();
    TryMatchOutcome m = e.try_match_at(t, p);
    r += m.matched ? " / yes " + std::to_string(m.end) : " / no";
    if (depth_exceeded()) r += " (depth)";
    return r;
}

std::vector<std::string> every_position(const SharedElement& e, Text t) {
    std::vector<std::string> out;
    for (Pos p = 0; p <= t.len; ++p) out.push_back(outcome(e, t, p));
    return out;
}

SharedElement L(const char* s) { return SharedElement(build_literal(s), literal_vtable()); }
SharedElement K(const char* s) { return SharedElement(build_keyword(s), keyword_vtable()); }
SharedElement CL(const char* s) { return SharedElement(build_caseless_literal(s), caseless_literal_vtable()); }
SharedElement C(const char* s) { return SharedElement(build_char(s), char_vtable()); }
SharedElement W(const char* init, const char* body = nullptr) {
    Text b = body ? Text(body) : Text();
    return SharedElement(make_word_element(Text(init), body ? &b : nullptr), word_vtable());
}
SharedElement R(const char* pattern) {
    RegexBuildOutcome o = make_regex_element(Text(pattern));
    EXPECT_TRUE(o.element) << o.error;
    return SharedElement(o.element, regex_vtable());
}
SharedElement Q() { return SharedElement(make_quoted_string_element(Text("\""), nullptr, false, true), quoted_string_vtable()); }
template <class R, const ElementVTable* (*V)()>
SharedElement positional() {
    return SharedElement(Rc<R>::make(), V());
}

struct Grammars {
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement expr{slot, forward_vtable()};
    std::vector<SharedElement> all;
    Grammars() {
        SharedElement num = W("0123456789");
        SharedElement term = first({num, seq({L("("), expr, L(")")})});
        set_forward_target(*slot, first({seq({term, L("+"), expr}), seq({term, L("-"), expr}), term}));
        SharedElement shared = L("a");
        for (int i = 0; i < 6; ++i) shared = first({seq({shared, L("b")}), seq({shared, C("bc")})});
        all = {
            expr,
            shared,
            group(seq({W("abc"), zero_or_more(seq({suppress(L(",")), optional(W("abc"))}))})),
            one_or_more(first({K("ab"), CL("AB"), R("[0-9]+"), Q(), C("(),")})),
            seq({positional<LineStartElement, line_start_vtable>(), combine(seq({W("a", "ab"), L("b")})),
                 positional<LineEndElement, line_end_vtable>()}),
            exactly(first({L("ab"), L("a"), positional<EmptyElement, empty_vtable>()}), 3),
            seq({skip_to(L(")")), L(")"), positional<StringEndElement, string_end_vtable>()}),
            first({W("\xc3\xa9" "a"), R("\\w+"), L("\xc3\xa9")}),
            zero_or_more(first({suppress(C(" ")), first({}), one_or_more(optional(L("x")))})),
            seq({first({L("(")}), positional<NoMatchElement, no_match_vtable>()}),
            // SkipTo searched by the program (small subtrees) and by its kind
            // (a Forward target), a stop inside a character, repeated searches.
            one_or_more(seq({skip_to(first({L(")"), L("+")})), C(")+")})),
            seq({skip_to(seq({L("a"), W("b")})), W("ab")}),
            seq({skip_to(expr), expr}),
            group(skip_to(C("\xc3\xa9"))),
            zero_or_more(seq({optional(skip_to(L("x"))), L("x")})),
        };
    }
    ~Grammars() { set_forward_target(*slot, lit("x")); }
};

const std::vector<std::string> kTexts = {
    "", "1+(2-3)", "((1)", "abc,ab,,c", "ab AB 12\"q\"(x)", "\nabb\n", "aba", "x)y)", "\xc3\xa9" "a \xc3\xa9",
    "  xx x", "(((((((((7)))))))))-(1", "x\xc2\xa9 \xc3\xa9)", "1+2)+(3)", "abbb ab",
};

}  // namespace

TEST(Programs, EqualTheKindsAtEveryPosition) {
    Grammars g;
    for (size_t i = 0; i < g.all.size(); ++i) {
        for (const std::string& s : kTexts) {
            Text t(s);
            std::vector<std::string> kinds;
            {
                ProgramsOff off;
                kinds = every_position(g.all[i], t);
            }
            EXPECT_EQ(every_position(g.all[i], t), kinds) << "grammar " << i << " on '" << s << "'";
            ContextScope scope;
            begin_text(t);
            remember_outcomes_now();
            EXPECT_EQ(every_position(g.all[i], t), kinds) << "grammar " << i << " remembered, on '" << s << "'";
        }
    }
}

TEST(Programs, DepthVerdictsEqualTheKinds) {
    // Nesting at the bound through a Forward and through plain wrappers.
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f(slot, forward_vtable());
    set_forward_target(*slot, first({seq({suppress(L("(")), f, suppress(L(")"))}), W("0123456789")}));
    SharedElement chain = L("a");
    for (uint32_t i = 0; i < kMaxMatchDepth - 1; ++i) chain = i % 2 ? group(std::move(chain)) : exactly(std::move(chain), 1);
    std::vector<std::pair<SharedElement, std::string>> cases;
    for (int k : {998, 999, 1000}) cases.push_back({f, std::string(k, '(') + "1" + std::string(k, ')')});
    cases.push_back({chain, "a"});
    cases.push_back({group(chain), "a"});
    cases.push_back({group(group(chain)), "a"});
    for (auto& [e, s] : cases) {
        Text t(s);
        std::string kinds;
        {
            ProgramsOff off;
            kinds = outcome(e, t, 0);
        }
        EXPECT_EQ(outcome(e, t, 0), kinds) << s.size();
    }
    set_forward_target(*slot, lit("x"));
}

TEST(Programs, SharedRecordsCompileOnce) {
    if (kPlainPaths) GTEST_SKIP() << "the plain-paths build runs the kinds' own algorithms";
    // Forty levels that each use the one below twice: a program of a node
    // per record, not of the 2**40 paths through them.
    SharedElement e = L("a");
    for (int i = 0; i < 40; ++i) e = first({seq({e, L("b")}), seq({e, L("c")})});
    const Program* p = program_for(*composite_of(e), e.vtable());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(program_size(*p), 40u * 5 + 1);
    // Made once and kept.
    EXPECT_EQ(program_for(*composite_of(e), e.vtable()), p);
    {
        ProgramsOff off;
        EXPECT_EQ(program_for(*composite_of(e), e.vtable()), nullptr);
    }
}

TEST(Programs, AHundredThousandNestedWrappersCompileWithoutRecursion) {
    if (kPlainPaths) GTEST_SKIP() << "the plain-paths build runs the kinds' own algorithms";
    SharedElement e = L("a");
    for (int i = 0; i < 100000; ++i) e = group(std::move(e));
    const Program* p = program_for(*composite_of(e), e.vtable());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(program_size(*p), 100001u);
    reset_depth_exceeded();
    EXPECT_FALSE(e.try_match_at(Text("a"), 0).matched);
    EXPECT_TRUE(depth_exceeded());
}

namespace {

// A sequence's members tried in turn at the caller's depth: by the program's
// member mode, or (programs off) each by its kind. The ends of the members
// that matched, the outcome and the depth verdict.
std::string member_ends_outcome(const SharedElement& e, Text t, Pos p) {
    const auto& r = *static_cast<const AndElement*>(e.record());
    std::vector<Pos> ends(r.exprs.size(), 0);
    reset_depth_exceeded();
    TryMatchOutcome m = TryMatchOutcome::yes(p);
    if (const Program* prog = program_for(r, and_vtable())) {
        m = program_member_ends(*prog, t, p, ends.data());
    } else {
        Pos current = p;
        for (size_t i = 0; i < r.exprs.size() && m.matched; ++i) {
            m = r.exprs[i].try_match_at(t, current);
            if (m.matched) current = ends[i] = m.end;
        }
    }
    std::string s = m.matched ? "yes " + std::to_string(m.end) + " [" : "no [";
    for (Pos x : ends) s += std::to_string(x) + ",";
    s += "]";
    if (depth_exceeded()) s += " (depth)";
    // Without ends the outcome is the same.
    if (const Program* prog = program_for(r, and_vtable())) {
        TryMatchOutcome n = program_member_ends(*prog, t, p, nullptr);
        if (n.matched != m.matched || (n.matched && n.end != m.end)) s += " (differs without ends)";
    }
    reset_depth_exceeded();
    return s;
}

}  // namespace

TEST(Programs, MemberEndsEqualTheMembersTriedByTheirKinds) {
    Grammars g;
    std::vector<SharedElement> seqs;
    for (const SharedElement& e : g.all) {
        seqs.push_back(seq({e, optional(L("x"))}));
        seqs.push_back(seq({suppress(L("(")), e, e}));
    }
    for (const SharedElement& e : seqs) {
        for (const std::string& s : kTexts) {
            Text t(s);
            for (Pos p = 0; p <= t.len; ++p) {
                std::string kinds;
                {
                    ProgramsOff off;
                    kinds = member_ends_outcome(e, t, p);
                }
                EXPECT_EQ(member_ends_outcome(e, t, p), kinds) << "'" << s << "' at " << p;
                ContextScope scope;
                begin_text(t);
                remember_outcomes_now();
                EXPECT_EQ(member_ends_outcome(e, t, p), kinds) << "remembered, '" << s << "' at " << p;
            }
        }
    }
}

TEST(Programs, MemberEndsEnterNoLevelForTheSequence) {
    // A member nested to the bound matches at the caller's depth, and fails
    // one level deeper (inside the sequence's own try).
    SharedElement chain = L("a");
    for (uint32_t i = 0; i < kMaxMatchDepth; ++i) chain = group(std::move(chain));
    SharedElement e = seq({chain, L("b")});
    for (bool off : {true, false}) {
        std::optional<ProgramsOff> scope;
        if (off) scope.emplace();
        EXPECT_EQ(member_ends_outcome(e, Text("ab"), 0), "yes 2 [1,2,]") << off;
        reset_depth_exceeded();
        EXPECT_FALSE(e.try_match_at(Text("ab"), 0).matched) << off;
        EXPECT_TRUE(depth_exceeded()) << off;
    }
    SharedElement deeper = seq({group(chain), L("b")});
    EXPECT_EQ(member_ends_outcome(deeper, Text("ab"), 0), "no [0,0,] (depth)");
}
