// The Forward slot: its lock, its target, recursive grammars through it, and
// the collector that reclaims recursive grammars nothing holds any more.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "combinator_stand_ins.hpp"
#include "elements/forward.hpp"
#include "test_support.hpp"

using namespace qgx;
using namespace qgx::stand_in;

namespace {

struct Slot {
    Rc<ForwardElement> rec = Rc<ForwardElement>::make();
    SharedElement handle() const { return SharedElement(rec, forward_vtable()); }
};

}  // namespace

TEST(ReentrantReadLock, ReadSideIsTakenAgainByTheSameThread) {
    ReentrantReadLock l;
    l.lock_shared();
    l.lock_shared();
    EXPECT_EQ(l.state(), 2);
    l.unlock_shared();
    l.unlock_shared();
    EXPECT_EQ(l.state(), 0);
    l.lock();
    EXPECT_EQ(l.state(), -1);
    l.unlock();
    EXPECT_EQ(l.state(), 0);
}

TEST(ReentrantReadLock, WriterWaitsForReadersAndExcludesThem) {
    ReentrantReadLock l;
    std::atomic<int> phase{0};
    l.lock_shared();
    std::thread writer([&] {
        l.lock();
        phase = 2;
        l.unlock();
    });
    // The writer cannot get in while the read side is held, even taken twice.
    l.lock_shared();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(phase.load(), 0);
    l.unlock_shared();
    l.unlock_shared();
    writer.join();
    EXPECT_EQ(phase.load(), 2);
    EXPECT_EQ(l.state(), 0);
}

TEST(ForwardKind, EmptySlotFailsAndSetTargetIsMatched) {
    Slot s;
    SharedElement f = s.handle();
    Text t("ab");
    ParseOutcome o = f.parse_at(t, 1);
    ASSERT_FALSE(o.ok);
    EXPECT_EQ(o.failure.position, 1u);
    EXPECT_EQ(o.failure.message.view(), "Forward not initialized");
    EXPECT_FALSE(f.try_match_at(t, 0).matched);

    set_forward_target(*s.rec, lit("a"));
    EXPECT_EQ(f.try_match_at(t, 0).end, 1u);
    EXPECT_EQ(token_texts(f.parse_at(t, 0).tokens), std::vector<std::string>{"a"});
    EXPECT_TRUE(same_outcome(f.parse_at(t, 0), f.parse_from_start(t)));

    // A second set replaces the target and releases the first.
    SharedElement b = lit("b");
    set_forward_target(*s.rec, b);
    EXPECT_FALSE(f.try_match_at(t, 0).matched);
    EXPECT_EQ(f.try_match_at(t, 1).end, 2u);
    EXPECT_EQ(b.record()->refs.load(), 2u);
    EXPECT_EQ(s.rec->lock.state(), 0);
}

TEST(ForwardKind, RecursiveGrammarComesBackThroughTheSameSlot) {
    // f <- "(" Optional(f) ")"
    Slot s;
    SharedElement f = s.handle();
    set_forward_target(*s.rec, seq({lit("("), optional(f), lit(")")}));
    EXPECT_EQ(f.try_match_at(Text("(())"), 0).end, 4u);
    ParseOutcome o = f.parse_at(Text("(())"), 0);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(token_texts(o.tokens), (std::vector<std::string>{"(", "(", ")", ")"}));
    ParseOutcome bad = f.parse_at(Text("(()"), 0);
    ASSERT_FALSE(bad.ok);
    EXPECT_EQ(bad.failure.position, 3u);
    EXPECT_EQ(s.rec->lock.state(), 0);
    set_forward_target(*s.rec, nothing());
}

TEST(ForwardKind, SlotSetToItselfFailsInOrder) {
    Slot s;
    SharedElement f = s.handle();
    set_forward_target(*s.rec, f);
    reset_depth_exceeded();
    EXPECT_FALSE(f.try_match_at(Text("a"), 0).matched);
    ParseOutcome o = f.parse_at(Text("a"), 0);
    ASSERT_FALSE(o.ok);
    EXPECT_TRUE(depth_exceeded());
    EXPECT_EQ(s.rec->lock.state(), 0);
    EXPECT_EQ(collect_forward_cycles(), 0u);  // still held from here
    set_forward_target(*s.rec, nothing());
}

TEST(ForwardCollector, ReclaimsACycleOnceNothingOutsideHoldsIt) {
    size_t before = live_forward_slots();
    SharedElement leaf = lit("(");
    {
        Slot s;
        SharedElement f = s.handle();
        set_forward_target(*s.rec, seq({leaf, optional(f), lit(")")}));
        EXPECT_EQ(collect_forward_cycles(), 0u);  // `s` and `f` hold it
    }
    EXPECT_EQ(live_forward_slots(), before + 1);  // only the cycle holds the slot
    EXPECT_EQ(collect_forward_cycles(), 1u);
    EXPECT_EQ(live_forward_slots(), before);
    EXPECT_EQ(leaf.record()->refs.load(), 1u);
}

TEST(ForwardCollector, KeepsWhatAnOutsideHolderReaches) {
    size_t before = live_forward_slots();
    SharedElement outer;
    {
        Slot s;
        SharedElement f = s.handle();
        set_forward_target(*s.rec, seq({lit("("), optional(f), lit(")")}));
        outer = group(f);  // holds the slot from outside the cycle
    }
    EXPECT_EQ(collect_forward_cycles(), 0u);
    EXPECT_EQ(outer.try_match_at(Text("(())"), 0).end, 4u);
    outer = SharedElement();
    EXPECT_EQ(collect_forward_cycles(), 1u);
    EXPECT_EQ(live_forward_slots(), before);
}

TEST(ForwardCollector, ReclaimsTwoSlotsThatReachEachOther) {
    size_t before = live_forward_slots();
    SharedElement keep_b;
    {
        Slot a, b;
        set_forward_target(*a.rec, seq({lit("x"), optional(b.handle())}));
        set_forward_target(*b.rec, seq({lit("y"), optional(a.handle())}));
        keep_b = b.handle();
    }
    // b is still held: both stay, and a is matched through b.
    EXPECT_EQ(collect_forward_cycles(), 0u);
    EXPECT_EQ(keep_b.try_match_at(Text("yxyx"), 0).end, 4u);
    keep_b = SharedElement();
    EXPECT_EQ(collect_forward_cycles(), 2u);
    EXPECT_EQ(live_forward_slots(), before);
}

namespace {

// One round of the soak: a recursive grammar of `words` suppressed
// alternatives, built, matched and dropped; then the releases its Python
// objects (the sequence, the option, the group and the slot) would report.
void build_match_and_drop(size_t words) {
    {
        Slot s;
        SharedElement f = s.handle();
        std::vector<SharedElement> alts;
        for (size_t i = 0; i < words; ++i) {
            std::string w = std::to_string(i);
            w.insert(w.begin(), 'w');
            alts.push_back(suppress(lit(w)));
        }
        set_forward_target(*s.rec, seq({first(std::move(alts)), optional(group(f))}));
        EXPECT_TRUE(f.try_match_at(Text("w1w2"), 0).matched);
    }
    for (int i = 0; i < 4; ++i) note_forward_release();
}

struct SoakFigures {
    size_t most_garbage_slots = 0;  // slots alive beyond those held, at worst
    double visited_per_built = 0;   // the collector's work per unit built
};

SoakFigures soak(size_t words, size_t rounds) {
    SoakFigures out;
    const size_t held = live_forward_slots();
    const CollectorStats before = forward_collector_stats();
    for (size_t r = 0; r < rounds; ++r) {
        build_match_and_drop(words);
        size_t now = live_forward_slots();
        if (now > held && now - held > out.most_garbage_slots) out.most_garbage_slots = now - held;
    }
    const CollectorStats after = forward_collector_stats();
    out.visited_per_built =
        static_cast<double>(after.visited - before.visited) / static_cast<double>(after.built - before.built);
    return out;
}

}  // namespace

// Dropped recursive grammars do not pile up, for small and large grammars,
// with or without a large grammar kept alive meanwhile; and the collector's
// work per record built stays a small constant however long the run (it is
// neither paced by the garbage it last freed, which let memory grow, nor run
// at every release, which would visit the live grammar each time).
TEST(ForwardCollector, DroppedGrammarsStayBoundedAtAConstantCostPerRecordBuilt) {
    struct Case {
        size_t words, rounds;
        bool keep_live;
    };
    for (const Case& c : {Case{50, 1000, false}, Case{50, 4000, false}, Case{3000, 40, false}, Case{50, 4000, true},
                          Case{3000, 160, true}}) {
        collect_forward_cycles();
        Slot kept;  // with keep_live, a recursive grammar of some 150,000 records and handles
        if (c.keep_live) {
            std::vector<SharedElement> alts;
            for (int i = 0; i < 50000; ++i) alts.push_back(optional(lit("k")));
            set_forward_target(*kept.rec, seq({first(std::move(alts)), optional(kept.handle())}));
            collect_forward_cycles();  // paces the next passes by it
        }
        SoakFigures f = soak(c.words, c.rounds);
        // Slots waiting: the events floor (16) is four rounds; with the large
        // grammar alive, the work built up to half of it (some 470 rounds of
        // 50 words).
        EXPECT_LE(f.most_garbage_slots, c.keep_live ? 600u : 8u) << c.words << " words, " << c.rounds << " rounds";
        EXPECT_LE(f.visited_per_built, 4.0) << c.words << " words, " << c.rounds << " rounds";
        set_forward_target(*kept.rec, nothing());
    }
    collect_forward_cycles();
}
