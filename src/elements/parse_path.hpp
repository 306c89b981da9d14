// The parse path of the combinators: the token buffer of one outermost
// parse and the record of its outcome, shared by the combinator kinds
// (structure.cpp) and their compiled programs (program.cpp).
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>

#include "elements/element.hpp"
#include "elements/match_context.hpp"

namespace qgx {

// The text from `from` to `to` as a token. A bound inside a multi-byte
// character moves to the next character boundary, so that no token holds a
// cut character; the match end is not changed by this.
inline SharedText cut_token(Text t, Pos from, Pos to) {
    while (from < to && !on_boundary(t, from)) ++from;
    while (to > from && !on_boundary(t, to)) --to;
    return SharedText::view(t.data + from, to - from);
}


// The tokens gathered by one outermost parse. A failing call leaves the
// buffer as it found it, so a parent drops only what its own failing branch
// appended. Most tokens are spans of the text being parsed: those take 8
// bytes (offset and length), so that a parse giving millions of tokens needs
// a buffer no larger than the list it becomes; any other token (a record's
// text, an owned text) is kept whole beside them.
class TokenSink {
  public:
    explicit TokenSink(Text t) : base_(t.data), base_len_(t.len), slots_(inline_) {}
    ~TokenSink() {
        truncate(0);
        if (slots_ != inline_) std::free(slots_);
        std::free(side_);
    }
    TokenSink(const TokenSink&) = delete;
    TokenSink& operator=(const TokenSink&) = delete;

    uint32_t size() const { return size_; }
    // The text `len` bytes long at `start` of the parsed text.
    void push_span(Pos start, Pos len) {
        if (len == kSide) [[unlikely]] return push_side(SharedText::view(base_ + start, len));
        if (size_ == cap_) grow();
        slots_[size_++] = Slot{start, len};
    }
    void push(SharedText t) {
        const char* d = t.data();
        if (!t.owns_bytes() && d >= base_ && static_cast<size_t>(d - base_) <= base_len_ &&
            t.size() <= base_len_ - static_cast<size_t>(d - base_)) {
            push_span(static_cast<Pos>(d - base_), t.size());
            return;
        }
        push_side(std::move(t));
    }
    // Drops the tokens from index n on.
    void truncate(uint32_t n) {
        while (size_ > n) {
            if (slots_[--size_].len == kSide) side_[--side_size_].~SharedText();
        }
    }
    // Token i: its bytes and length.
    const char* bytes(uint32_t i) const {
        const Slot& s = slots_[i];
        return s.len == kSide ? side_[s.start].data() : base_ + s.start;
    }
    Pos length(uint32_t i) const {
        const Slot& s = slots_[i];
        return s.len == kSide ? side_[s.start].size() : s.len;
    }
    // Token i as a text (a view of the parsed text, or the text kept whole).
    SharedText at(uint32_t i) const {
        const Slot& s = slots_[i];
        return s.len == kSide ? side_[s.start] : SharedText::view(base_ + s.start, s.len);
    }
    // The tokens as one list.
    TokenList take() {
        TokenList out;
        if (size_ > 2) out.reserve(size_);
        for (uint32_t i = 0; i < size_; ++i) out.push_back(at(i));
        truncate(0);
        return out;
    }

  private:
    struct Slot {
        uint32_t start;  // an offset into the text, or an index into side_
        uint32_t len;    // kSide for a token kept whole
    };
    // No span is kept this long (the whole of the longest text is kept as a
    // text instead).
    static constexpr uint32_t kSide = UINT32_MAX;
    // The slow paths stay out of line, so that push_span inlines.
    [[gnu::noinline]] void push_side(SharedText t) {
        if (size_ == cap_) grow();
        if (side_size_ == side_cap_) grow_side();
        new (side_ + side_size_) SharedText(std::move(t));
        slots_[size_++] = Slot{side_size_++, kSide};
    }
    static constexpr uint32_t kInline = 32;
    // Throws std::bad_alloc when the buffer cannot grow; the operation's
    // entry turns it into MemoryError, and every buffer is released on the way.
    [[gnu::noinline, gnu::cold]] void grow() {
        if (cap_ == UINT32_MAX) throw std::bad_alloc();
        uint64_t n = uint64_t{cap_} * 2;
        if (n > UINT32_MAX) n = UINT32_MAX;
        void* mem;
        if (slots_ == inline_) {
            mem = std::malloc(sizeof(Slot) * n);
            if (!mem) throw std::bad_alloc();
            std::memcpy(mem, inline_, sizeof(Slot) * size_);
        } else {
            // A large block grows in place or is remapped, not copied.
            mem = std::realloc(slots_, sizeof(Slot) * n);
            if (!mem) throw std::bad_alloc();
        }
        slots_ = static_cast<Slot*>(mem);
        cap_ = static_cast<uint32_t>(n);
    }
    [[gnu::noinline, gnu::cold]] void grow_side() {
        uint64_t n = side_cap_ ? uint64_t{side_cap_} * 2 : 8;
        if (n > UINT32_MAX - 1) throw std::bad_alloc();
        // SharedText holds no pointer to itself: its bytes can be moved.
        void* mem = std::realloc(static_cast<void*>(side_), sizeof(SharedText) * n);
        if (!mem) throw std::bad_alloc();
        side_ = static_cast<SharedText*>(mem);
        side_cap_ = static_cast<uint32_t>(n);
    }
    const char* base_;
    size_t base_len_;
    Slot* slots_;
    uint32_t size_ = 0, cap_ = kInline;
    SharedText* side_ = nullptr;
    uint32_t side_size_ = 0, side_cap_ = 0;
    Slot inline_[kInline];
};

// Where a call leaves its result: the end on success, the failure otherwise
// (its message a view of a stored or fixed text, as the parse_at of the
// kinds give). `fail` means something only after a call that failed.
struct Into {
    TokenSink& out;
    ParseFailure& fail;
    Pos end = 0;

    bool failed(const char* fixed_message, Pos pos) {
        fail.message = SharedText::fixed(fixed_message);
        fail.position = pos;
        return false;
    }
    bool failed_stored(const SharedText& message, Pos pos) {
        fail.message = SharedText::view(message.data(), message.size());
        fail.position = pos;
        return false;
    }
    bool done(Pos e) {
        end = e;
        return true;
    }
};

// The parse-path twin of memo_try: a remembered success gives its end and
// its tokens again, a remembered failure its failure.
template <class Body>
[[gnu::noinline]] bool memo_into(const void* rec, Text t, Pos pos, Into& in, Body&& body) {
    MemoTable* mp = memo_for(rec, t, pos, kMemoParse);
    if (!mp) return body();
    MemoTable& m = *mp;
    MatchDepthState& s = tls_match_depth;
    if (const MemoEntry* e = m.find(rec, pos, kMemoParse)) {
        if (uint64_t{s.depth} + e->height <= kMaxMatchDepth) {
            note_reused_height(s, e->height);
            const SharedText* toks = m.tokens(e->first_token);
            if (!e->ok) {
                in.fail.message = toks[0];
                in.fail.position = e->fail_pos;
                return false;
            }
            for (uint32_t i = 0; i < e->token_count; ++i) in.out.push(toks[i]);
            return in.done(e->end);
        }
    }
    const uint32_t mark = in.out.size();
    const uint32_t saved_peak = s.peak;
    s.peak = s.depth;
    const bool ok = body();
    const uint32_t height = s.peak - s.depth;
    if (saved_peak > s.peak) s.peak = saved_peak;
    if (!s.aborting) {
        // The tokens (or the failure's message) are copied before the entry
        // is made, so that a failed allocation leaves no entry behind.
        uint32_t first = ok ? m.store_tokens(in.out.size() - mark, [&](uint32_t i) { return in.out.at(mark + i); })
                            : m.store_tokens(1, [&](uint32_t) { return in.fail.message; });
        MemoEntry& e = m.insert(rec, pos, kMemoParse);
        e.ok = ok;
        e.height = height;
        e.first_token = first;
        if (ok) {
            e.end = in.end;
            e.token_count = in.out.size() - mark;
        } else {
            e.fail_pos = in.fail.position;
        }
    }
    return ok;
}

}  // namespace qgx
