#include "elements/forward.hpp"

#include <mutex>
#include <thread>
#include <vector>

#include "elements/match_context.hpp"
#include "elements/program.hpp"
#include "messages.hpp"

namespace qgx {

// ---------------------------------------------------------------------------
// The lock

void ReentrantReadLock::lock_shared_slow() noexcept {
    int32_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (s >= 0) {
            if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        } else {
            std::this_thread::yield();
            s = state_.load(std::memory_order_relaxed);
        }
    }
}

void ReentrantReadLock::lock() noexcept {
    int32_t expected = 0;
    while (!state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) {
        expected = 0;
        std::this_thread::yield();
    }
}

// ---------------------------------------------------------------------------
// The registry of slots, which the cycle collector starts from.

namespace {

// The slots, and the pacing of the collector. A pass costs what it visits:
// the records alive from the slots and the garbage it frees. It runs once
// the releases since the last pass reach a quarter of the work alive after
// that pass, or once the records built since then reach half of it (with
// floors for a small world), so that its cost is paid by the releases and
// the building that came before it, and the garbage waiting for it never
// exceeds a fixed multiple of what is alive plus the floor. (Pacing by the
// size of the whole last pass, garbage included, let each pass wait for
// more garbage than the one before: memory grew without bound.)
struct Registry {
    std::mutex mutex;
    std::vector<ForwardElement*> slots;
    uint32_t epoch = 0;
    uint64_t events = 0;
    uint64_t event_budget = kMinEventBudget;
    uint64_t built_at_pass = 0;
    uint64_t built_budget = kMinBuiltBudget;
    std::atomic<uint64_t> built{0};  // records and child handles built, ever
    CollectorStats stats;
    static constexpr uint64_t kMinEventBudget = 16;
    static constexpr uint64_t kMinBuiltBudget = 4096;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: slots may outlive static destruction
    return *r;
}

}  // namespace

void note_composite_built(size_t children) {
    registry().built.fetch_add(1 + children, std::memory_order_relaxed);
}

CollectorStats forward_collector_stats() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    CollectorStats s = reg.stats;
    s.built = reg.built.load(std::memory_order_relaxed);
    return s;
}

ForwardElement::ForwardElement() {
    reaches_forward = true;
    note_composite_built(1);
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    registry_index = reg.slots.size();
    reg.slots.push_back(this);
}

ForwardElement::~ForwardElement() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    ForwardElement* last = reg.slots.back();
    reg.slots[registry_index] = last;
    last->registry_index = registry_index;
    reg.slots.pop_back();
}

size_t live_forward_slots() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.mutex);
    return reg.slots.size();
}

// ---------------------------------------------------------------------------
// The kind

ParseOutcome forward_parse_at(const ForwardElement& r, Text t, Pos pos) { return forward_slot_parse_at(r, t, pos); }

TryMatchOutcome forward_try_match_at(const ForwardElement& r, Text t, Pos pos) {
    if (const Program* p = program_for(r, forward_vtable())) return program_try(*p, t, pos);
    MatchDepth depth;
    if (!depth.ok()) return TryMatchOutcome::no();
    ReadGuard g(r.lock);
    if (!r.expr) return TryMatchOutcome::no();
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, [&] { return r.expr.try_match_at(t, pos); });
    return r.expr.try_match_at(t, pos);
}

ParseFromStartOutcome forward_parse_from_start(const ForwardElement& r, Text t) {
    return ParseFromStartOutcome::from(forward_parse_at(r, t, 0));
}

const ElementVTable* forward_vtable() {
    return &KindTable<ForwardElement, forward_parse_at, forward_try_match_at, forward_parse_from_start>::table;
}

namespace {
// Targets replaced while a read of their slot could be paused in a signal
// check, kept alive until no check is under way (see retired_waiting).
struct Retired {
    std::mutex mutex;
    std::vector<SharedElement> targets;
};
Retired& retired() {
    static Retired* r = new Retired;  // never destroyed, as the registry
    return *r;
}
}  // namespace

void release_retired_targets() noexcept {
    std::vector<SharedElement> going;
    {
        Retired& r = retired();
        std::lock_guard<std::mutex> g(r.mutex);
        if (signal_checks_running.load(std::memory_order_acquire) != 0) return;
        going.swap(r.targets);
        retired_waiting.store(false, std::memory_order_relaxed);
    }
    bool reaches = false;
    for (const SharedElement& e : going) reaches = reaches || child_reaches_forward(e);
    going.clear();  // outside the lock: releases may free further slots
    if (reaches) note_forward_release();
}

void set_forward_target(ForwardElement& slot, SharedElement target) {
    forward_retargets.fetch_add(1, std::memory_order_relaxed);
    // While a signal check is under way, the writer is its handler or a
    // thread it let run, and an operation is paused in the check: it may
    // be matching the old target (a read of this slot then holds the lock,
    // and waiting for it would never end) or hold tokens that are views of
    // the old target's records. The old target is kept alive until no check
    // is under way, and a paused read, which has loaded the target it runs,
    // does not stop the swap (under the interpreter lock nothing else reads).
    if (signal_checks_running.load(std::memory_order_acquire) != 0) {
        Retired& r = retired();
        std::lock_guard<std::mutex> g(r.mutex);
        r.targets.push_back(std::move(slot.expr));  // may throw: then nothing changed
        if (slot.lock.state() == 0) {
            slot.lock.lock();
            slot.expr = std::move(target);
            slot.lock.unlock();
        } else {
            slot.expr = std::move(target);
        }
        retired_waiting.store(true, std::memory_order_relaxed);
        return;
    }
    slot.lock.lock();
    std::swap(slot.expr, target);
    slot.lock.unlock();
    // `target` now holds the previous one; it is released here, outside the
    // lock, since its release may free further slots.
    bool old_reaches = target && child_reaches_forward(target);
    target = SharedElement();
    if (old_reaches) note_forward_release();
}

// ---------------------------------------------------------------------------
// The cycle collector

namespace {

struct Node {
    const CompositeHeader* rec;
    const ElementVTable* vt;
    size_t edges = 0;  // its child handles
};

// Calls f(child) for each child handle of a combinator record.
template <class F>
void for_each_child(const Node& n, F&& f) {
    const ElementVTable* v = n.vt;
    if (v == and_vtable()) {
        for (const SharedElement& c : static_cast<const AndElement*>(n.rec)->exprs) f(c);
    } else if (v == match_first_vtable()) {
        for (const SharedElement& c : static_cast<const MatchFirstElement*>(n.rec)->exprs) f(c);
    } else if (v == forward_vtable()) {
        const ForwardElement* fw = static_cast<const ForwardElement*>(n.rec);
        ReadGuard g(fw->lock);
        if (fw->expr) f(fw->expr);
    } else {
        f(static_cast<const OneChildElement*>(n.rec)->expr);
    }
}

}  // namespace

uint32_t collect_forward_cycles() {
    Registry& reg = registry();
    std::vector<SharedElement> released;
    {
        std::lock_guard<std::mutex> g(reg.mutex);
        const uint32_t epoch = ++reg.epoch;
        std::vector<Node> nodes;
        std::vector<size_t> stack;
        auto enter = [&](const CompositeHeader* rec, const ElementVTable* vt) {
            if (rec->gc_epoch == epoch) return;
            rec->gc_epoch = epoch;
            rec->gc_internal = 0;
            rec->gc_live = false;
            stack.push_back(nodes.size());
            nodes.push_back({rec, vt});
        };
        for (ForwardElement* f : reg.slots)
            if (f->refs.load(std::memory_order_acquire) > 0) enter(f, forward_vtable());
        // Count the handles that the records of the set hold on one another.
        while (!stack.empty()) {
            size_t at = stack.back();
            stack.pop_back();
            const Node n = nodes[at];
            size_t edges = 0;
            for_each_child(n, [&](const SharedElement& c) {
                ++edges;
                const CompositeHeader* cc = composite_of(c);
                if (!cc) return;  // terminal kinds hold no children
                enter(cc, c.vtable());
                ++cc->gc_internal;
            });
            nodes[at].edges = edges;
        }
        // A record held by more handles than the set holds on it is reachable
        // from outside; so is everything it reaches.
        std::vector<Node> marking;
        for (const Node& n : nodes) {
            if (n.rec->refs.load(std::memory_order_acquire) > n.rec->gc_internal && !n.rec->gc_live) {
                n.rec->gc_live = true;
                marking.push_back(n);
            }
        }
        while (!marking.empty()) {
            Node n = marking.back();
            marking.pop_back();
            for_each_child(n, [&](const SharedElement& c) {
                const CompositeHeader* cc = composite_of(c);
                if (!cc || cc->gc_live) return;
                cc->gc_live = true;
                marking.push_back({cc, c.vtable()});
            });
        }
        uint64_t visited = 0, live = 0;
        for (const Node& n : nodes) {
            visited += 1 + n.edges;
            if (n.rec->gc_live) live += 1 + n.edges;
        }
        // The slots that nothing outside reaches: their targets go.
        for (ForwardElement* f : reg.slots) {
            if (f->gc_epoch != epoch || f->gc_live || !f->expr) continue;
            released.emplace_back();  // room first: nothing that may throw runs under the slot's lock
            f->lock.lock();
            std::swap(released.back(), f->expr);
            f->lock.unlock();
        }
        // The next pass is paced by what stays alive, not by what this one
        // visited: the garbage freed now is paid for by its own building.
        reg.events = 0;
        reg.built_at_pass = reg.built.load(std::memory_order_relaxed);
        reg.event_budget = live / 4 > Registry::kMinEventBudget ? live / 4 : Registry::kMinEventBudget;
        reg.built_budget = live / 2 > Registry::kMinBuiltBudget ? live / 2 : Registry::kMinBuiltBudget;
        ++reg.stats.passes;
        reg.stats.visited += visited;
        reg.stats.live_after_last = live;
    }
    uint32_t cleared = static_cast<uint32_t>(released.size());
    released.clear();  // frees the cycles, outside the registry's lock
    return cleared;
}

void note_forward_release() noexcept {
    Registry& reg = registry();
    {
        std::lock_guard<std::mutex> g(reg.mutex);
        ++reg.events;
        uint64_t built = reg.built.load(std::memory_order_relaxed) - reg.built_at_pass;
        if (reg.events < reg.event_budget && built < reg.built_budget) return;
    }
    try {
        collect_forward_cycles();
    } catch (const std::bad_alloc&) {
        // No room for the pass's work lists: the budget stays spent, so the
        // next release tries again. Nothing was cleared, and a deallocator
        // (which reports releases) must not throw.
    }
}

}  // namespace qgx
