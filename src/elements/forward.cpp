#include "elements/forward.hpp"

#include <mutex>
#include <new>
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
    auto target = [&] { return forward_try_through(r, t, pos, [&] { return r.expr.try_match_at(t, pos); }); };
    if (depth.memo_on()) [[unlikely]] return memo_try(&r, t, pos, target);
    return target();
}

ParseFromStartOutcome forward_parse_from_start(const ForwardElement& r, Text t) {
    return ParseFromStartOutcome::from(forward_parse_at(r, t, 0));
}

const ElementVTable* forward_vtable() {
    return &KindTable<ForwardElement, forward_parse_at, forward_try_match_at, forward_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// Forward calls that passed the bound

namespace {

struct DepthSpines : ContextSlot {
    struct Call {
        const ForwardElement* rec = nullptr;  // null for an empty entry
        Pos pos = 0;
        // The deepest Forward call its work went through, `delta` levels
        // below it; none where it is its own bottom.
        const ForwardElement* bottom = nullptr;
        Pos bottom_pos = 0;
        uint32_t delta = 0;
        uint32_t passes_at = 0;     // entered at this level or deeper, it passes the bound
        uint32_t completes_at = 0;  // run alone at this level or shallower, it completed (0: not seen)
    };
    // Past this many calls no more are remembered.
    static constexpr uint32_t kMaxCalls = uint32_t{1} << 20;
    std::vector<Call> table;  // open addressing, a power of two in size
    uint32_t used = 0;
    // The bottom of the abandoned match now unwinding: the first Forward
    // call that saw abandonment `abort` unwind through it.
    bool has_bottom = false;
    uint32_t abort = 0;
    const ForwardElement* bottom = nullptr;
    Pos bottom_pos = 0;
    uint32_t bottom_level = 0;

    void reset(Text) override {
        table.clear();
        used = 0;
        has_bottom = false;
    }
    static size_t slot_of(const ForwardElement* rec, Pos pos, size_t mask) {
        uint64_t h = (reinterpret_cast<uintptr_t>(rec) ^ (uint64_t{pos} << 32 | pos)) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 28) & mask;
    }
    Call* find(const ForwardElement* rec, Pos pos) {
        if (table.empty()) return nullptr;
        const size_t mask = table.size() - 1;
        for (size_t i = slot_of(rec, pos, mask);; i = (i + 1) & mask) {
            Call& c = table[i];
            if (!c.rec) return nullptr;
            if (c.rec == rec && c.pos == pos) return &c;
        }
    }
    // The entry of the call, made when absent (its passes_at set to
    // `level`); nullptr when full or out of memory.
    Call* make(const ForwardElement* rec, Pos pos, uint32_t level) noexcept {
        if (Call* c = find(rec, pos)) return c;
        if (used >= kMaxCalls) return nullptr;
        if (table.empty() || (used + 1) * 2 > table.size()) {
            std::vector<Call> fresh;
            try {
                fresh.resize(table.empty() ? 64 : table.size() * 2);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            const size_t mask = fresh.size() - 1;
            for (const Call& c : table) {
                if (!c.rec) continue;
                size_t i = slot_of(c.rec, c.pos, mask);
                while (fresh[i].rec) i = (i + 1) & mask;
                fresh[i] = c;
            }
            table.swap(fresh);
        }
        const size_t mask = table.size() - 1;
        size_t i = slot_of(rec, pos, mask);
        while (table[i].rec) i = (i + 1) & mask;
        table[i] = Call{rec, pos, nullptr, 0, 0, level, 0};
        ++used;
        return &table[i];
    }
};

const char kSpinesOwner = 0;

DepthSpines* spines_for(Text t) noexcept {
    MatchContext* c = current_context();
    return c ? c->scratch<DepthSpines>(&kSpinesOwner, t) : nullptr;
}

// The stack a level may take at most (several times more under the address
// sanitizer): with room for every level left, no descent from here reaches
// the stack margin before the level bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t kSpineLevelStack = 2048;
#else
constexpr uintptr_t kSpineLevelStack = 512;
#endif

[[gnu::noinline]] bool room_for_every_level(MatchDepthState& s) {
    if (s.stack_high == 0) find_stack_bounds(s);
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (sp < s.stack_low || sp >= s.stack_high) return true;  // not the thread's stack: the count alone bounds it
    const uintptr_t levels = kMaxMatchDepth + 1 - (s.depth < kMaxMatchDepth ? s.depth : kMaxMatchDepth);
    return sp >= s.stack_floor && sp - s.stack_floor >= levels * kSpineLevelStack;
}

// Abandons the match now running at the bound, as its descent would have,
// with the call `f` at `pos` (at the present level) as the bottom.
TryMatchOutcome pass_the_bound(DepthSpines& m, const ForwardElement& f, Pos pos) {
    MatchDepthState& s = tls_match_depth;
    if (!s.exceeded) s.stack_short = false;
    s.aborting = s.exceeded = true;
    if (s.peak <= kMaxMatchDepth) s.peak = kMaxMatchDepth + 1;
    ++s.aborts;
    m.has_bottom = true;
    m.abort = s.aborts;
    m.bottom = &f;
    m.bottom_pos = pos;
    m.bottom_level = s.depth;
    return TryMatchOutcome::no();
}

}  // namespace

void forward_spine_note(const ForwardElement& f, Text t, Pos pos) noexcept {
    MatchDepthState& s = tls_match_depth;
    if (s.interrupted || s.stack_abort) return;
    DepthSpines* m = spines_for(t);
    if (!m) return;
    const uint32_t level = s.depth;
    DepthSpines::Call* c = m->make(&f, pos, level);
    if (!c) return;
    if (!m->has_bottom || m->abort != s.aborts) {
        // The deepest Forward call of this abandonment.
        m->has_bottom = true;
        m->abort = s.aborts;
        m->bottom = &f;
        m->bottom_pos = pos;
        m->bottom_level = level;
        c->bottom = nullptr;
        c->delta = 0;
    } else {
        c->bottom = m->bottom;
        c->bottom_pos = m->bottom_pos;
        c->delta = m->bottom_level - level;
    }
    if (level < c->passes_at) c->passes_at = level;
    s.spines = true;
}

TryMatchOutcome forward_spine_enter(const ForwardElement& f, Text t, Pos pos, bool& decided) {
    MatchDepthState& s = tls_match_depth;
    if (s.aborting || s.stack_abort) return TryMatchOutcome::no();
    DepthSpines* m = spines_for(t);
    if (!m) return TryMatchOutcome::no();
    DepthSpines::Call* x = m->find(&f, pos);
    if (!x || !room_for_every_level(s)) return TryMatchOutcome::no();
    // Down the remembered bottoms, to the last one, at the level the descent
    // from here would reach it (or to one known to pass the bound there).
    const uint32_t d = s.depth;
    uint32_t level = d;
    bool passes = false;
    DepthSpines::Call* c = x;
    for (;;) {
        if (level >= c->passes_at) {
            passes = true;
            break;
        }
        if (!c->bottom) break;
        DepthSpines::Call* next = m->find(c->bottom, c->bottom_pos);
        if (!next) break;
        level += c->delta;
        c = next;
    }
    // Every call on the way now names the last one directly. (A verdict
    // that it passes the bound holds whatever way the descent was recorded:
    // each link was the real descent from its call, at its level or deeper.)
    const ForwardElement* last = c->rec;
    const Pos last_pos = c->pos;
    uint32_t at = d;
    for (DepthSpines::Call* y = x; y != c;) {
        DepthSpines::Call* next = m->find(y->bottom, y->bottom_pos);
        const uint32_t step = y->delta;
        y->bottom = last;
        y->bottom_pos = last_pos;
        y->delta = level - at;
        at += step;
        y = next;
    }
    if (passes) {
        decided = true;
        return pass_the_bound(*m, f, pos);
    }
    if (c == x) return TryMatchOutcome::no();  // its own bottom: its work is new
    if (level <= c->completes_at) return TryMatchOutcome::no();
    // The bottom alone, at the level the descent reaches it.
    const ForwardElement* bottom = c->rec;
    const Pos bottom_pos = c->pos;
    const uint32_t saved_peak = s.peak;
    {
        // The levels above it are counted, not entered (restored however
        // the run ends).
        struct Lifted {
            MatchDepthState& s;
            uint32_t saved;
            ~Lifted() { s.depth = saved; }
        } lifted{s, s.depth};
        s.depth = level - 1;
        (void)forward_vtable()->try_match_at(bottom, t, bottom_pos);
    }
    if (s.interrupted) {
        decided = true;
        return TryMatchOutcome::no();
    }
    if (s.aborting) {
        // It passed the bound: so does the descent, whose frames above it
        // only hand the abandonment on.
        decided = true;
        return TryMatchOutcome::no();
    }
    s.peak = saved_peak;
    if (DepthSpines::Call* b = m->find(bottom, bottom_pos))
        if (level > b->completes_at) b->completes_at = level;
    return TryMatchOutcome::no();
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
