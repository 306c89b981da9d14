#include "elements/match_context.hpp"

#include <cstdlib>
#include <cstring>

namespace qgx {

namespace {

inline size_t mix(uint64_t a, uint64_t b) {
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 31));
}

// Every bit of the result depends on every bit of `h` (a 64-bit finaliser).
inline uint64_t spread(uint64_t h) {
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    return h ^ (h >> 31);
}

}  // namespace

// ---------------------------------------------------------------------------
// MemoTable

namespace {
constexpr size_t kWays = 4;
constexpr size_t kMinSlots = size_t{1} << 12, kMaxSlots = size_t{1} << 20;
}  // namespace

MemoTable::~MemoTable() {
    if (tokens_) {
        release_tokens();
        std::free(tokens_);
    }
    if (slots_) std::free(slots_);
}

void MemoTable::release_tokens() {
    for (uint32_t i = 0; i < token_count_; ++i) tokens_[i].~SharedText();
    token_count_ = 0;
}

// Every entry becomes an empty slot (the generation moves on) and the
// tokens are released.
void MemoTable::forget_all() {
    release_tokens();
    if (++generation_ == 0) {  // after 2**32 generations, clear for real
        if (slots_) std::memset(static_cast<void*>(slots_), 0, sizeof(MemoEntry) * (mask_ + 1));
        generation_ = 1;
    }
}

void MemoTable::sync(uint64_t epoch) {
    if (epoch_ == epoch) return;
    epoch_ = epoch;
    active_ = false;
    forget_all();
    std::memset(seen_, 0, sizeof seen_);
    probes_ = repeats_ = sample_mask_ = 0;
}

bool MemoTable::note(const void* record, Pos pos, uint8_t mode, uint64_t epoch, Pos text_len) {
    sync(epoch);
    if (active_) return true;
    const MatchDepthState& d = tls_match_depth;
    if (d.calls / kForceAfter > d.memo_after) {
        activate(epoch, text_len);
        return true;
    }
    // Records lie at regular distances, and the positions run in order: the
    // key is mixed in full, so that the sample (high bits) and the slot (low
    // bits) are independent of each other and of the key's pattern.
    uint64_t h = spread(mix(reinterpret_cast<uintptr_t>(record), (uint64_t{pos} << 1) | mode)) | 1;
    if ((h >> 32) & sample_mask_) return false;
    uint64_t& s = seen_[h % kSeen];
    if (s == h) ++repeats_;
    s = h;
    if (++probes_ < kWindow) return false;
    // One sampled call in sixteen tried again within the watch's reach:
    // remembering pays.
    bool repeating = repeats_ * 16 >= probes_;
    probes_ = repeats_ = 0;
    if (!repeating) {
        // The next window takes twice the calls and sees repeats twice as
        // far apart.
        if (sample_mask_ < UINT32_MAX) sample_mask_ = sample_mask_ * 2 + 1;
        return false;
    }
    activate(epoch, text_len);
    return true;
}

void MemoTable::activate(uint64_t epoch, Pos text_len) {
    sync(epoch);
    size_t want = kMinSlots;
    while (want < kMaxSlots && want < 8 * (uint64_t{text_len} + 1)) want *= 2;
    if (!slots_ || mask_ + 1 < want) {
        auto* fresh = static_cast<MemoEntry*>(std::calloc(want, sizeof(MemoEntry)));
        if (!fresh) throw std::bad_alloc();
        std::free(slots_);
        slots_ = fresh;
        mask_ = want - 1;
        generation_ = 1;
    }
    active_ = true;
}

size_t MemoTable::set_of(const void* record, Pos pos, uint8_t mode) const {
    return (mix(reinterpret_cast<uintptr_t>(record), (uint64_t{pos} << 1) | mode) * kWays) & mask_;
}

const MemoEntry* MemoTable::find(const void* record, Pos pos, uint8_t mode) const {
    if (!active_) return nullptr;
    const MemoEntry* set = slots_ + set_of(record, pos, mode);
    for (size_t i = 0; i < kWays; ++i) {
        const MemoEntry& e = set[i];
        if (e.generation == generation_ && e.record == record && e.pos == pos && e.mode == mode) return &e;
    }
    return nullptr;
}

MemoEntry& MemoTable::insert(const void* record, Pos pos, uint8_t mode) {
    MemoEntry* set = slots_ + set_of(record, pos, mode);
    MemoEntry* slot = nullptr;
    for (size_t i = 0; i < kWays; ++i) {
        MemoEntry& e = set[i];
        if (e.generation != generation_ || (e.record == record && e.pos == pos && e.mode == mode)) {
            slot = &e;
            break;
        }
    }
    // A full set gives up one entry in turn; its outcome is worked out again
    // if it is asked for.
    if (!slot) slot = &set[victim_++ % kWays];
    *slot = MemoEntry{};
    slot->record = record;
    slot->generation = generation_;
    slot->pos = pos;
    slot->mode = mode;
    return *slot;
}

uint32_t MemoTable::reserve_tokens(uint32_t n) {
    // The tokens of entries given up stay until the store is emptied: its
    // bound keeps them within a fixed multiple of the table.
    const uint64_t bound = uint64_t{8} * (mask_ + 1);
    if (uint64_t{token_count_} + n > bound && token_count_ > 0) forget_all();
    if (uint64_t{token_count_} + n > token_cap_) {
        uint64_t want = uint64_t{token_count_} + n;
        uint64_t cap = token_cap_ ? uint64_t{token_cap_} * 2 : 256;
        if (cap < want) cap = want;
        if (cap > UINT32_MAX) throw std::bad_alloc();
        // SharedText holds no pointer to itself: its bytes can be moved.
        void* mem = std::realloc(static_cast<void*>(tokens_), sizeof(SharedText) * cap);
        if (!mem) throw std::bad_alloc();
        tokens_ = static_cast<SharedText*>(mem);
        token_cap_ = static_cast<uint32_t>(cap);
    }
    return token_count_;
}

// ---------------------------------------------------------------------------
// MatchContext

void MatchContext::release() noexcept {
    delete memo_;
    if (!slots_) return;
    for (uint32_t i = 0; i <= slot_mask_; ++i) delete slots_[i].slot;
    std::free(slots_);
}

MatchContext::SlotEntry* MatchContext::entry_of(const void* owner, const void* tag) noexcept {
    if (!slots_) return nullptr;
    for (uint32_t i = static_cast<uint32_t>(mix(reinterpret_cast<uintptr_t>(owner), reinterpret_cast<uintptr_t>(tag))) &
                      slot_mask_;;
         i = (i + 1) & slot_mask_) {
        SlotEntry& e = slots_[i];
        if (!e.slot) return nullptr;
        if (e.owner == owner && e.tag == tag) return &e;
    }
}

ContextSlot* MatchContext::find_slot(const void* owner, const void* tag) noexcept {
    SlotEntry* e = entry_of(owner, tag);
    return e ? e->slot : nullptr;
}

bool MatchContext::add_slot(const void* owner, const void* tag, ContextSlot* s) noexcept {
    if (!slots_ || (slot_used_ + 1) * 2 > slot_mask_ + 1) {
        uint32_t cap = slots_ ? (slot_mask_ + 1) * 2 : 16;
        auto* fresh = static_cast<SlotEntry*>(std::calloc(cap, sizeof(SlotEntry)));
        if (!fresh) return false;
        SlotEntry* old = slots_;
        uint32_t old_cap = slots_ ? slot_mask_ + 1 : 0;
        slots_ = fresh;
        slot_mask_ = cap - 1;
        for (uint32_t j = 0; j < old_cap; ++j) {
            if (!old[j].slot) continue;
            uint32_t i = static_cast<uint32_t>(mix(reinterpret_cast<uintptr_t>(old[j].owner),
                                                   reinterpret_cast<uintptr_t>(old[j].tag))) &
                         slot_mask_;
            while (slots_[i].slot) i = (i + 1) & slot_mask_;
            slots_[i] = old[j];
        }
        std::free(old);
    }
    uint32_t i = static_cast<uint32_t>(mix(reinterpret_cast<uintptr_t>(owner), reinterpret_cast<uintptr_t>(tag))) &
                 slot_mask_;
    while (slots_[i].slot) i = (i + 1) & slot_mask_;
    slots_[i] = SlotEntry{owner, tag, s, 0};
    ++slot_used_;
    return true;
}

// ---------------------------------------------------------------------------
// Scopes

void remember_outcomes_now() {
    MatchContext* c = tls_match_context;
    if (!c || !c->has_text()) return;
    tls_match_depth.memo_after = tls_match_depth.event_at = 0;
    if (MemoTable* m = c->memo()) m->activate(c->epoch(), c->text().len);
}

// ---------------------------------------------------------------------------
// Signal checks

bool poll_signals() noexcept {
    MatchDepthState& s = tls_match_depth;
    if (s.interrupted) {
        s.ticks = 0;
        return true;
    }
    if (!s.polls_on) {
        s.ticks = INT64_MAX;
        s.poll_at = UINT64_MAX;
        s.event_at = s.memo_after;
        return false;
    }
    // The handler may enter the module: it starts from a fresh depth state
    // (on this stack, so the stack bounds stay), and this one is put back.
    const MatchDepthState saved = s;
    MatchDepthState fresh;
    fresh.stack_low = s.stack_low;
    fresh.stack_high = s.stack_high;
    fresh.stack_floor = s.stack_floor;
    s = fresh;
    const uint64_t retargets = forward_retargets.load(std::memory_order_relaxed);
    signal_checks_running.fetch_add(1, std::memory_order_acq_rel);
    ++tls_checks_run;
    const bool raised = run_signal_handlers();
    signal_checks_running.fetch_sub(1, std::memory_order_acq_rel);
    s = saved;
    // A Forward retargeted by the handler may have let records go, and new
    // ones may take their addresses: what the operation remembered by record
    // is forgotten, as for a new text.
    if (forward_retargets.load(std::memory_order_relaxed) != retargets)
        if (MatchContext* c = tls_match_context; c && c->has_text()) c->begin_text(c->text());
    if (raised) {
        s.interrupted = s.aborting = true;
        s.ticks = 0;
        s.poll_at = s.event_at = 0;
        return true;
    }
    s.ticks = kPollInterval;
    s.poll_at = s.calls + kPollInterval;
    s.event_at = s.memo_after < s.poll_at ? s.memo_after : s.poll_at;
    return false;
}

bool calls_event(MatchDepthState& s) noexcept {
    if (s.calls > s.poll_at) poll_signals();
    s.event_at = s.memo_after < s.poll_at ? s.memo_after : s.poll_at;
    return s.calls > s.memo_after;
}

}  // namespace qgx
