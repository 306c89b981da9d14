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
// appended. SharedText holds no pointer to itself: its bytes can be moved.
class TokenSink {
  public:
    TokenSink() : data_(reinterpret_cast<SharedText*>(inline_)) {}
    ~TokenSink() {
        truncate(0);
        if (data_ != reinterpret_cast<SharedText*>(inline_)) std::free(data_);
    }
    TokenSink(const TokenSink&) = delete;
    TokenSink& operator=(const TokenSink&) = delete;

    uint32_t size() const { return size_; }
    const SharedText* data() const { return data_; }
    void push(SharedText t) {
        if (size_ == cap_) grow();
        new (data_ + size_) SharedText(std::move(t));
        ++size_;
    }
    // Drops the tokens from index n on.
    void truncate(uint32_t n) {
        while (size_ > n) data_[--size_].~SharedText();
    }
    // The tokens as one list: a heap buffer is handed over whole, the inline
    // tokens are moved into a list of their size.
    TokenList take() {
        if (data_ != reinterpret_cast<SharedText*>(inline_)) {
            TokenList out = TokenList::adopt(data_, size_, cap_);
            data_ = reinterpret_cast<SharedText*>(inline_);
            size_ = 0;
            cap_ = kInline;
            return out;
        }
        TokenList out;
        if (size_ > 2) out.reserve(size_);
        for (uint32_t i = 0; i < size_; ++i) out.push_back(std::move(data_[i]));
        truncate(0);
        return out;
    }

  private:
    static constexpr uint32_t kInline = 16;
    // Throws std::bad_alloc when the buffer cannot grow; the operation's
    // entry turns it into MemoryError, and every buffer is released on the way.
    void grow() {
        if (cap_ == UINT32_MAX) throw std::bad_alloc();
        uint64_t n = uint64_t{cap_} * 2;
        if (n > UINT32_MAX) n = UINT32_MAX;
        void* mem;
        if (data_ == reinterpret_cast<SharedText*>(inline_)) {
            mem = std::malloc(sizeof(SharedText) * n);
            if (!mem) throw std::bad_alloc();
            std::memcpy(mem, static_cast<const void*>(data_), sizeof(SharedText) * size_);
        } else {
            // A large block grows in place or is remapped, not copied.
            mem = std::realloc(static_cast<void*>(data_), sizeof(SharedText) * n);
            if (!mem) throw std::bad_alloc();
        }
        data_ = static_cast<SharedText*>(mem);
        cap_ = static_cast<uint32_t>(n);
    }
    SharedText* data_;
    uint32_t size_ = 0, cap_ = kInline;
    alignas(SharedText) unsigned char inline_[sizeof(SharedText) * kInline];
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
        uint32_t first = ok ? m.store_tokens(in.out.data() + mark, in.out.size() - mark)
                            : m.store_tokens(&in.fail.message, 1);
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
