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
