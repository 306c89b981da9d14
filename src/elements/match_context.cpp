#include "elements/match_context.hpp"

#include <cstdlib>
#include <cstring>

namespace qgx {

namespace {

inline size_t mix(uint64_t a, uint64_t b) {
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 31));
}

}  // namespace

// ---------------------------------------------------------------------------
// MemoTable

MemoTable::~MemoTable() {
    clear();
    std::free(slots_);
    std::free(tokens_);
}

size_t MemoTable::slot_of(const void* record, Pos pos, uint8_t mode) const {
    return mix(reinterpret_cast<uintptr_t>(record), (uint64_t{pos} << 1) | mode) & mask_;
}

const MemoEntry* MemoTable::find(const void* record, Pos pos, uint8_t mode, uint64_t epoch) const {
    if (!slots_ || used_epoch_ != epoch) return nullptr;
    for (size_t i = slot_of(record, pos, mode);; i = (i + 1) & mask_) {
        const MemoEntry& e = slots_[i];
        if (e.epoch != epoch) return nullptr;
        if (e.record == record && e.pos == pos && e.mode == mode) return &e;
    }
}

void MemoTable::use_epoch(uint64_t epoch) {
    if (used_epoch_ == epoch) return;
    clear();
    used_epoch_ = epoch;
}

MemoEntry& MemoTable::insert(const void* record, Pos pos, uint8_t mode, uint64_t epoch) {
    use_epoch(epoch);
    // At most half full, so that a probe ends soon at a slot of another text.
    if (!slots_ || (used_ + 1) * 2 > mask_ + 1) grow();
    for (size_t i = slot_of(record, pos, mode);; i = (i + 1) & mask_) {
        MemoEntry& e = slots_[i];
        if (e.epoch != epoch) {
            e = MemoEntry{};
            e.record = record;
            e.epoch = epoch;
            e.pos = pos;
            e.mode = mode;
            ++used_;
            return e;
        }
        if (e.record == record && e.pos == pos && e.mode == mode) return e;
    }
}

void MemoTable::grow() {
    size_t cap = slots_ ? (mask_ + 1) * 2 : 1024;
    auto* fresh = static_cast<MemoEntry*>(std::calloc(cap, sizeof(MemoEntry)));
    if (!fresh) throw std::bad_alloc();
    MemoEntry* old = slots_;
    size_t old_cap = slots_ ? mask_ + 1 : 0;
    slots_ = fresh;
    mask_ = cap - 1;
    // Epoch 0 is never a text's: calloc'd slots read as empty.
    for (size_t j = 0; j < old_cap; ++j) {
        const MemoEntry& e = old[j];
        if (e.epoch != used_epoch_) continue;
        size_t i = slot_of(e.record, e.pos, e.mode);
        while (slots_[i].epoch == used_epoch_) i = (i + 1) & mask_;
        slots_[i] = e;
    }
    std::free(old);
}

uint32_t MemoTable::store_tokens(const SharedText* tokens, uint32_t n, uint64_t epoch) {
    use_epoch(epoch);
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
    uint32_t first = token_count_;
    for (uint32_t i = 0; i < n; ++i) new (tokens_ + token_count_ + i) SharedText(tokens[i]);
    token_count_ += n;
    return first;
}

void MemoTable::clear() {
    for (uint32_t i = 0; i < token_count_; ++i) tokens_[i].~SharedText();
    token_count_ = 0;
    used_ = 0;
    // The slots of an older epoch read as empty; no need to touch them.
}

// ---------------------------------------------------------------------------
// MatchContext

MatchContext::~MatchContext() {
    for (uint32_t i = 0; slots_ && i <= slot_mask_; ++i) delete slots_[i].slot;
    std::free(slots_);
}

namespace {
// A process-wide counter, so that no two texts named on a thread, in any
// context, share an epoch (0 is never used).
[[gnu::tls_model("initial-exec")]] thread_local uint64_t tls_epoch = 0;
}  // namespace

void MatchContext::begin_text(Text t) {
    text_ = t;
    has_text_ = true;
    epoch_ = ++tls_epoch;
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

void begin_text(Text t) {
    MatchDepthState& d = tls_match_depth;
    d.calls = 0;
    if (MatchContext* c = tls_match_context) {
        c->begin_text(t);
        d.memo_after = memo_budget(t.len);
    } else {
        d.memo_after = UINT64_MAX;
    }
}

ContextScope::ContextScope() noexcept
    : saved_(tls_match_context), saved_calls_(tls_match_depth.calls), saved_memo_after_(tls_match_depth.memo_after) {
    tls_match_context = &context_;
    tls_match_depth.memo_after = UINT64_MAX;
}

ContextScope::~ContextScope() {
    tls_match_context = saved_;
    tls_match_depth.calls = saved_calls_;
    tls_match_depth.memo_after = saved_memo_after_;
}

}  // namespace qgx
