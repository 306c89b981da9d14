// C++ allocations failing inside the engine: with `new` failing from the
// n-th allocation on, for every n, a call gives its right outcome or throws
// std::bad_alloc (which the module's entry turns into MemoryError); it never
// ends the process, leaves no lock held and nothing behind (the sanitizer
// build checks the leaks), and the records give right outcomes afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "combinator_stand_ins.hpp"
#include "elements/forward.hpp"
#include "elements/match_context.hpp"
#include "test_support.hpp"

// The binary's `new` and `delete`, through malloc and free, so that a test
// can make `new` fail on this thread. Every form is replaced, so that no
// block is made by one allocator and freed by another.
namespace {
// Allocations left before `new` fails; negative: never.
thread_local long tls_news_left = -1;
thread_local bool tls_new_failed = false;

void* counted_new(std::size_t n) {
    if (tls_news_left == 0) {
        tls_new_failed = true;
        throw std::bad_alloc();
    }
    if (tls_news_left > 0) --tls_news_left;
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void* counted_new_nothrow(std::size_t n) noexcept {
    try {
        return counted_new(n);
    } catch (...) {
        return nullptr;
    }
}
}  // namespace

void* operator new(std::size_t n) { return counted_new(n); }
void* operator new[](std::size_t n) { return counted_new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_new_nothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_new_nothrow(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace qgx;
using namespace qgx::stand_in;

namespace {

// Runs `call` with `new` failing from the n-th allocation on, for n = 0, 1,
// ... until a run meets no failure; `check` sees each run's outcome (false
// when it threw). Gives the number of runs.
template <class Call, class Check>
int sweep_new_failures(Call&& call, Check&& check) {
    for (long n = 0; n < 100000; ++n) {
        tls_new_failed = false;
        tls_news_left = n;
        bool done = false;
        try {
            call();
            done = true;
        } catch (const std::bad_alloc&) {
        }
        tls_news_left = -1;
        check(done);
        if (done && !tls_new_failed) return static_cast<int>(n) + 1;
    }
    ADD_FAILURE() << "the call never ran through";
    return 0;
}

// A recursive grammar: nested parentheses around x, or y.
struct Nested {
    Rc<ForwardElement> slot = Rc<ForwardElement>::make();
    SharedElement f{slot, forward_vtable()};
    Nested() {
        set_forward_target(*slot, first({seq({lit("("), zero_or_more(f), lit(")")}), lit("x"), group(lit("y"))}));
    }
    ~Nested() { set_forward_target(*slot, SharedElement()); }
};

}  // namespace

TEST(AllocationFailure, ParseAndTestGiveTheirOutcomeOrThrow) {
    const Text text("((x)(x(y))x)");
    std::vector<std::string> want;
    {
        Nested g;
        ParseOutcome o = g.f.parse_at(text, 0);
        ASSERT_TRUE(o.ok);
        want = token_texts(o.tokens);
    }
    // A new grammar for every run, built and compiled on its first call with
    // `new` failing too; in the second mode every outcome is remembered.
    int runs = 0;
    for (bool remember : {false, true}) {
        runs += sweep_new_failures(
            [&] {
                Nested g;
                ContextScope scope;
                begin_text(text);
                if (remember) remember_outcomes_now();
                ParseOutcome o = g.f.parse_at(text, 0);
                TryMatchOutcome m = g.f.try_match_at(text, 0);
                const long left = tls_news_left;
                tls_news_left = -1;
                ASSERT_TRUE(o.ok);
                EXPECT_EQ(token_texts(o.tokens), want);
                EXPECT_EQ(m.end, text.len);
                // Right outcomes again, now that memory is there.
                ParseOutcome again = g.f.parse_at(text, 0);
                ASSERT_TRUE(again.ok);
                EXPECT_EQ(token_texts(again.tokens), want);
                tls_news_left = left;
            },
            [](bool) {});
    }
    EXPECT_GT(runs, 4);
}

TEST(AllocationFailure, CollectorReleasesTheSlotLockAndCollectsLater) {
    size_t before = live_forward_slots();
    const ForwardElement* slot;
    {
        Rc<ForwardElement> rec = Rc<ForwardElement>::make();
        SharedElement f(rec, forward_vtable());
        set_forward_target(*rec, seq({lit("("), optional(f), lit(")")}));
        slot = rec.get();
    }
    ASSERT_EQ(live_forward_slots(), before + 1);  // only the cycle holds the slot
    int runs = sweep_new_failures([] { collect_forward_cycles(); },
                                  [&](bool done) {
                                      if (done) return;
                                      // Nothing cleared, and no lock left taken.
                                      ASSERT_EQ(live_forward_slots(), before + 1);
                                      EXPECT_EQ(slot->lock.state(), 0);
                                  });
    EXPECT_GT(runs, 1);
    EXPECT_EQ(live_forward_slots(), before);
}
