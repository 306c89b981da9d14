// The element model: texts, positions, outcomes, character tables, and the
// shared handle through which every element kind is held and called.
// Nothing here touches the interpreter; failures are values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace qgx {

using Pos = uint32_t;

// Set by the plain-paths build: the shortcuts that must equal the plain paths
// (period shortcut, repeating-text paths, regex byte-class shortcuts, batch
// reuse) are turned off, so the whole suite can check the plain paths too.
#if defined(QGX_PLAIN_PATHS) && QGX_PLAIN_PATHS
inline constexpr bool kPlainPaths = true;
#else
inline constexpr bool kPlainPaths = false;
#endif

// The longest text the model accepts: positions are 32-bit byte offsets.
inline constexpr uint64_t kMaxTextBytes = 4294967295ull;

// A UTF-8 text lent to the model for one call: the interpreter's own buffer.
struct Text {
    const char* data = nullptr;
    Pos len = 0;

    Text() = default;
    constexpr Text(const char* d, Pos n) : data(d), len(n) {}
    explicit Text(std::string_view s) : data(s.data()), len(static_cast<Pos>(s.size())) {}

    unsigned char at(Pos i) const { return static_cast<unsigned char>(data[i]); }
    std::string_view view() const { return {data, len}; }
};

// True when the byte is a UTF-8 continuation byte (0x80..0xBF).
inline bool is_continuation(unsigned char b) { return (b & 0xC0u) == 0x80u; }

// True when `p` lies on a character boundary of `t` (0 and len included).
inline bool on_boundary(Text t, Pos p) { return p >= t.len || !is_continuation(t.at(p)); }

// ---------------------------------------------------------------------------
// SharedText: an immutable byte string with an atomic count. The empty text
// holds no block, so empty tokens cost no allocation. It holds no pointer to
// itself, so TokenList moves it by copying its bytes.
//
// A text is either owned (its bytes sit in a counted block just after the
// count) or a view of bytes it does not own: a span of the text of the
// operation now running, or a static text. A token that is a span of the
// input needs no copy of its own, since the engines turn every token into a
// str while the input is still held; a view must never outlive those bytes,
// so records store owned texts only.
class SharedText {
  public:
    SharedText() = default;

    // Copies `n` bytes into a new block with one reference. Throws
    // std::bad_alloc when the block cannot be had.
    static SharedText copy(const char* bytes, Pos n) {
        SharedText t;
        if (n == 0) return t;
        void* mem = std::malloc(sizeof(Block) + n);
        if (!mem) throw std::bad_alloc();
        Block* b = new (mem) Block{};
        b->refs.store(1, std::memory_order_relaxed);
        std::memcpy(b->bytes(), bytes, n);
        t.ptr_ = b;
        t.len_ = n;
        t.owned_ = 1;
        return t;
    }
    static SharedText copy(std::string_view s) { return copy(s.data(), static_cast<Pos>(s.size())); }

    // A view of `n` bytes that outlive every handle made from it (the
    // running operation's text, or static storage); no allocation, no count.
    static SharedText view(const char* bytes, Pos n) {
        SharedText t;
        if (n == 0) return t;
        t.ptr_ = const_cast<char*>(bytes);
        t.len_ = n;
        return t;
    }
    // A view of a static NUL-terminated text (a fixed message).
    static SharedText fixed(const char* text) { return view(text, static_cast<Pos>(std::strlen(text))); }

    SharedText(const SharedText& o) : ptr_(o.ptr_), len_(o.len_), owned_(o.owned_) { retain(); }
    SharedText(SharedText&& o) noexcept : ptr_(o.ptr_), len_(o.len_), owned_(o.owned_) { o.reset(); }
    SharedText& operator=(SharedText o) noexcept {
        std::swap(ptr_, o.ptr_);
        std::swap(len_, o.len_);
        std::swap(owned_, o.owned_);
        return *this;
    }
    // Only an owned text has work to do; a view or a moved-from text none.
    ~SharedText() {
        if (owned_) drop();
    }

    const char* data() const {
        if (owned_) return block()->bytes();
        return ptr_ ? static_cast<const char*>(ptr_) : "";
    }
    Pos size() const { return len_; }
    bool empty() const { return len_ == 0; }
    std::string_view view() const { return {data(), len_}; }
    // Whether two handles share one block (the same stored text); views hold none.
    bool same_block(const SharedText& o) const { return block() == o.block(); }
    uint32_t use_count() const { return owned_ ? block()->refs.load(std::memory_order_relaxed) : 0; }
    // Whether the bytes sit in a block of this text's own (not a view).
    bool owns_bytes() const { return owned_ != 0; }

  private:
    struct Block {
        std::atomic<uint32_t> refs;
        char* bytes() { return reinterpret_cast<char*>(this + 1); }
    };
    Block* block() const { return owned_ ? static_cast<Block*>(ptr_) : nullptr; }
    void retain() {
        if (owned_) block()->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void drop() {
        Block* b = block();
        if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            b->~Block();
            std::free(b);
        }
    }
    void reset() {
        ptr_ = nullptr;
        len_ = 0;
        owned_ = 0;
    }

    // The block (owned) or the first byte (a view; null when empty).
    void* ptr_ = nullptr;
    Pos len_ = 0;
    uint32_t owned_ = 0;
};

// ---------------------------------------------------------------------------
// TokenList: the tokens of one match; two fit inline before it moves to the heap.
// Growing it throws std::bad_alloc when the room cannot be had, the list
// unchanged.

// How many times token lists of this thread have moved to a new heap block;
// the tests read it to check that gathering grows geometrically. Counted only
// on a move, which is rare, so it costs nothing on the paths that match.
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t tls_token_list_moves = 0;

class TokenList {
  public:
    TokenList() = default;
    explicit TokenList(SharedText t) { push_back(std::move(t)); }
    TokenList(const TokenList& o) {
        reserve(o.size_);
        for (uint32_t i = 0; i < o.size_; ++i) new (slot(i)) SharedText(o[i]);
        size_ = o.size_;
    }
    TokenList(TokenList&& o) noexcept { take(std::move(o)); }
    TokenList& operator=(TokenList&& o) noexcept {
        if (this != &o) {
            clear_and_free();
            take(std::move(o));
        }
        return *this;
    }
    TokenList& operator=(const TokenList& o) {
        if (this != &o) *this = TokenList(o);
        return *this;
    }
    ~TokenList() { clear_and_free(); }

    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const SharedText& operator[](uint32_t i) const { return *slot(i); }
    const SharedText* begin() const { return slot(0); }
    const SharedText* end() const { return slot(0) + size_; }

    void push_back(SharedText t) {
        if (size_ == capacity()) grow_for(1);
        new (slot(size_)) SharedText(std::move(t));
        ++size_;
    }
    // Moves every token of `o` to the end of this list; no count changes.
    // The room grows geometrically at either end, so a list gathered by many
    // appends costs time linear in its final size, also when each append puts
    // a few tokens before many (a sequence around a nested match: "(" and the
    // tokens of everything inside).
    void append(TokenList&& o) {
        if (o.size_ == 0) return;
        if (size_ == 0 && (heap_ == nullptr || o.heap_ != nullptr)) {
            *this = std::move(o);
            return;
        }
        if (o.heap_ != nullptr && size_ < o.size_) {
            o.prepend_from(*this);
            *this = std::move(o);
            return;
        }
        if (capacity() - size_ < o.size_) grow_for(o.size_);
        // SharedText is a pointer and a length: moving one is copying its bytes.
        std::memcpy(static_cast<void*>(slot(size_)), static_cast<const void*>(o.slot(0)), sizeof(SharedText) * o.size_);
        size_ += o.size_;
        o.size_ = 0;
        o.clear_and_free();
    }
    bool on_heap() const { return heap_ != nullptr; }
    // A list that takes over `size` tokens at the start of a malloc block of
    // room for `cap` (more than two), freeing it when done.
    static TokenList adopt(SharedText* block, uint32_t size, uint32_t cap) {
        TokenList l;
        l.heap_ = block;
        l.room_ = Room{cap, 0};
        l.size_ = size;
        return l;
    }
    // Room for at least `n` tokens, in a block of exactly that size when it moves.
    void reserve(uint32_t n) {
        if (n <= capacity()) return;
        relocate(0, n);
    }
    // Room for tokens after the first one before the next move to a larger block.
    uint32_t capacity() const { return heap_ ? room_.cap - room_.head : kInline; }

  private:
    static constexpr uint32_t kInline = 2;
    SharedText* slot(uint32_t i) {
        return (heap_ ? heap_ + room_.head : reinterpret_cast<SharedText*>(inline_)) + i;
    }
    const SharedText* slot(uint32_t i) const {
        return (heap_ ? heap_ + room_.head : reinterpret_cast<const SharedText*>(inline_)) + i;
    }
    // Room for `extra` more tokens: at least double the room, so that the
    // moves of a list built by appends add up to at most twice its size.
    void grow_for(uint32_t extra) {
        uint64_t need = uint64_t{size_} + extra;
        uint64_t doubled = uint64_t{capacity()} * 2;
        uint64_t n = need > doubled ? need : doubled;
        if (n < 4) n = 4;
        if (need > UINT32_MAX) throw std::bad_alloc();
        relocate(0, static_cast<uint32_t>(n > UINT32_MAX ? UINT32_MAX : n));
    }
    // Moves the tokens of `front` (fewer than this list's, which is on the
    // heap) before this list's own. When the room before them runs out, the
    // block moves and leaves as much room before them as the list then holds.
    void prepend_from(TokenList& front) {
        uint32_t n = front.size_;
        if (room_.head < n) {
            uint64_t want = uint64_t{size_} + n;
            uint64_t cap = want + want + (room_.cap - room_.head - size_);
            if (cap > UINT32_MAX) throw std::bad_alloc();
            relocate(static_cast<uint32_t>(want), static_cast<uint32_t>(cap - want));
        }
        room_.head -= n;
        std::memcpy(static_cast<void*>(slot(0)), static_cast<const void*>(front.slot(0)), sizeof(SharedText) * n);
        size_ += n;
        front.size_ = 0;
        front.clear_and_free();
    }
    // Moves the tokens to a block with `before` free slots before them and
    // room for `n` from the first of them.
    void relocate(uint32_t before, uint32_t n) {
        ++tls_token_list_moves;
        SharedText* mem;
        size_t total = size_t{before} + n;
        if (heap_ && room_.head == 0 && before == 0) {
            mem = static_cast<SharedText*>(std::realloc(static_cast<void*>(heap_), sizeof(SharedText) * total));
            if (!mem) throw std::bad_alloc();
        } else {
            mem = static_cast<SharedText*>(std::malloc(sizeof(SharedText) * total));
            if (!mem) throw std::bad_alloc();
            std::memcpy(static_cast<void*>(mem + before), static_cast<const void*>(slot(0)), sizeof(SharedText) * size_);
            std::free(heap_);
        }
        heap_ = mem;
        room_ = Room{static_cast<uint32_t>(total), before};
    }
    void clear_and_free() {
        for (uint32_t i = 0; i < size_; ++i) slot(i)->~SharedText();
        std::free(heap_);
        heap_ = nullptr;
        size_ = 0;
    }
    void take(TokenList&& o) {
        if (o.heap_) {
            heap_ = o.heap_;
            room_ = o.room_;
            size_ = o.size_;
            o.heap_ = nullptr;
            o.size_ = 0;
            return;
        }
        for (uint32_t i = 0; i < o.size_; ++i) {
            new (slot(i)) SharedText(std::move(*o.slot(i)));
            o.slot(i)->~SharedText();
        }
        size_ = o.size_;
        o.size_ = 0;
    }

    // The slots of the heap block (those before the first token included) and
    // the free slots before the first token; kept where the inline tokens go,
    // which a list on the heap does not use.
    struct Room {
        uint32_t cap, head;
    };
    union {
        alignas(SharedText) unsigned char inline_[sizeof(SharedText) * kInline];
        Room room_;
    };
    SharedText* heap_ = nullptr;
    uint32_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Outcomes.

struct ParseFailure {
    SharedText message;
    Pos position = 0;
};

// Result of parse_at: success (end, tokens) or a failure.
struct [[nodiscard]] ParseOutcome {
    bool ok = false;
    Pos end = 0;
    TokenList tokens;
    ParseFailure failure;

    ParseOutcome() = default;

    // The tokens are moved in once, not assigned over a default list.
    static ParseOutcome success(Pos end, TokenList&& tokens) { return ParseOutcome(end, std::move(tokens)); }
    static ParseOutcome success(Pos end, const TokenList& tokens) { return ParseOutcome(end, TokenList(tokens)); }
    static ParseOutcome success(Pos end) { return ParseOutcome(end, TokenList()); }
    static ParseOutcome fail(SharedText message, Pos position) {
        ParseOutcome o;
        o.failure.message = std::move(message);
        o.failure.position = position;
        return o;
    }
    // A failure with a message stored in the record that fails: a view of
    // it, since the record outlives the outcome (the operation holds it, and
    // the engines make the error text before any Python code can run).
    static ParseOutcome fail_stored(const SharedText& message, Pos position) {
        return fail(SharedText::view(message.data(), message.size()), position);
    }
    static ParseOutcome fail(ParseFailure f) {
        ParseOutcome o;
        o.failure = std::move(f);
        return o;
    }

  private:
    ParseOutcome(Pos e, TokenList&& t) : ok(true), end(e), tokens(std::move(t)) {}
};

// Result of parse_from_start: tokens or a failure, no end.
struct [[nodiscard]] ParseFromStartOutcome {
    bool ok = false;
    TokenList tokens;
    ParseFailure failure;

    ParseFromStartOutcome() = default;
    static ParseFromStartOutcome from(ParseOutcome&& o) { return ParseFromStartOutcome(std::move(o)); }

  private:
    explicit ParseFromStartOutcome(ParseOutcome&& o)
        : ok(o.ok), tokens(std::move(o.tokens)), failure(std::move(o.failure)) {}
};

// Result of try_match_at: `end` means something only when `matched` is set.
struct [[nodiscard]] TryMatchOutcome {
    uint32_t matched = 0;
    Pos end = 0;

    static constexpr TryMatchOutcome yes(Pos end) { return {1, end}; }
    static constexpr TryMatchOutcome no() { return {0, 0}; }
};

// ---------------------------------------------------------------------------
// Character tables.

// 256 one-byte flags: 1 = member.
struct ByteTable {
    uint8_t flags[256] = {};
    bool has(unsigned char b) const { return flags[b] != 0; }
    void add(unsigned char b) { flags[b] = 1; }
};

// 256 bits in four words: byte b is bit (b % 64) of word (b / 64).
struct ByteSet {
    uint64_t words[4] = {0, 0, 0, 0};
    bool has(unsigned char b) const { return (words[b >> 6] >> (b & 63)) & 1u; }
    void add(unsigned char b) { words[b >> 6] |= uint64_t{1} << (b & 63); }
    bool empty() const { return (words[0] | words[1] | words[2] | words[3]) == 0; }
};

// ---------------------------------------------------------------------------
// Records and the shared handle.

// Every element record begins with this header: its count and how to destroy it.
struct ElementHeader {
    std::atomic<uint32_t> refs{1};
    void (*destroy)(ElementHeader*) = nullptr;
};

// Drops one reference; the last one destroys the record. Destruction that
// releases further records is queued and run in a loop, so that a chain of a
// hundred thousand nested wrappers is freed without deep recursion.
void release_element(ElementHeader* h) noexcept;

inline void retain_element(ElementHeader* h) noexcept {
    h->refs.fetch_add(1, std::memory_order_relaxed);
}

// The interface of a kind: three operations on a record of that kind.
struct ElementVTable {
    ParseOutcome (*parse_at)(const ElementHeader*, Text, Pos);
    TryMatchOutcome (*try_match_at)(const ElementHeader*, Text, Pos);
    ParseFromStartOutcome (*parse_from_start)(const ElementHeader*, Text);
};

// Builds a kind's interface table from its three typed operations.
template <class R, ParseOutcome (*ParseAt)(const R&, Text, Pos),
          TryMatchOutcome (*TryMatchAt)(const R&, Text, Pos),
          ParseFromStartOutcome (*ParseFromStart)(const R&, Text)>
struct KindTable {
    static ParseOutcome parse_at(const ElementHeader* h, Text t, Pos p) {
        return ParseAt(*static_cast<const R*>(h), t, p);
    }
    static TryMatchOutcome try_match_at(const ElementHeader* h, Text t, Pos p) {
        return TryMatchAt(*static_cast<const R*>(h), t, p);
    }
    static ParseFromStartOutcome parse_from_start(const ElementHeader* h, Text t) {
        return ParseFromStart(*static_cast<const R*>(h), t);
    }
    static constexpr ElementVTable table{&parse_at, &try_match_at, &parse_from_start};
};

// A strong reference to a record of a known kind R (R derives from ElementHeader).
template <class R>
class Rc {
  public:
    Rc() = default;
    // Allocates a record with one reference.
    template <class... A>
    static Rc make(A&&... args) {
        Rc r;
        R* rec = new R(std::forward<A>(args)...);
        rec->destroy = &destroy_record;
        r.p_ = rec;
        return r;
    }
    // Adopts a raw record whose reference the caller hands over.
    static Rc adopt(R* p) {
        Rc r;
        r.p_ = p;
        return r;
    }
    Rc(const Rc& o) : p_(o.p_) {
        if (p_) retain_element(p_);
    }
    Rc(Rc&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Rc& operator=(Rc o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Rc() {
        if (p_) release_element(p_);
    }
    R* get() const { return p_; }
    R* operator->() const { return p_; }
    R& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    R* release() {
        R* p = p_;
        p_ = nullptr;
        return p;
    }

  private:
    static void destroy_record(ElementHeader* h) { delete static_cast<R*>(h); }
    R* p_ = nullptr;
};

// A shared handle to a record of any kind, with its kind's interface table.
class SharedElement {
  public:
    SharedElement() = default;
    // Shares the record (count + 1).
    SharedElement(ElementHeader* rec, const ElementVTable* vt) : rec_(rec), vt_(vt) {
        if (rec_) retain_element(rec_);
    }
    template <class R>
    SharedElement(const Rc<R>& r, const ElementVTable* vt) : SharedElement(r.get(), vt) {}
    SharedElement(const SharedElement& o) : SharedElement(o.rec_, o.vt_) {}
    SharedElement(SharedElement&& o) noexcept : rec_(o.rec_), vt_(o.vt_) { o.rec_ = nullptr; }
    SharedElement& operator=(SharedElement o) noexcept {
        std::swap(rec_, o.rec_);
        std::swap(vt_, o.vt_);
        return *this;
    }
    ~SharedElement() {
        if (rec_) release_element(rec_);
    }

    ParseOutcome parse_at(Text t, Pos p) const { return vt_->parse_at(rec_, t, p); }
    TryMatchOutcome try_match_at(Text t, Pos p) const { return vt_->try_match_at(rec_, t, p); }
    ParseFromStartOutcome parse_from_start(Text t) const { return vt_->parse_from_start(rec_, t); }

    ElementHeader* record() const { return rec_; }
    const ElementVTable* vtable() const { return vt_; }
    explicit operator bool() const { return rec_ != nullptr; }

  private:
    ElementHeader* rec_ = nullptr;
    const ElementVTable* vt_ = nullptr;
};

}  // namespace qgx

namespace qgx {

// ---------------------------------------------------------------------------
// Depth bound of nested matching. Every combinator operation enters a
// MatchDepth before it calls a child; past the bound the call fails in order
// instead of overflowing the stack. Once the bound has been passed, the match
// is abandoned: every combinator entered afterwards fails at once and none
// turns a child's failure into a success (Optional, repetitions, further
// alternatives), until the outermost combinator returns. This keeps a
// grammar that recurses without consuming text linear in the bound instead of
// exponential. The flag `exceeded` stays set for the rest of the operation so
// that `parse_string` can say why it failed.
//
// The bound: one level costs up to about 350 bytes of stack in an optimised
// build and about 1.4 KiB in the debug build under AddressSanitizer (measured
// on the deepest kinds: Exactly, MatchFirst, Combine, And and Forward), so
// 3000 levels need at most about 1 MiB and 4.2 MiB, inside the 8 MiB that the
// main thread and Python's threads get by default. A thread started with a
// smaller stack is guarded as well: a level entered within a margin of the
// bottom of the thread's own stack fails like one past the bound.
inline constexpr uint32_t kMaxMatchDepth = 3000;

// Pending signals are checked at a bounded interval of work: every this many
// combinator calls (counted by MatchDepth), and every this many steps of the
// loops that can run long (scans, repetitions, batches), counted apart. A
// check is one call that finds nothing pending almost always; at this
// interval its cost is lost in the work between two. The fuzzer's build sets
// a short one, so that its small inputs reach checks too.
#ifndef QGX_POLL_INTERVAL
#define QGX_POLL_INTERVAL 1024
#endif
inline constexpr uint32_t kPollInterval = QGX_POLL_INTERVAL;

struct MatchDepthState {
    uint32_t depth = 0;
    // The deepest level entered since a memo probe last set it (match_context.hpp).
    uint32_t peak = 0;
    // Combinator calls on the current text, and the count past which their
    // outcomes are remembered (never, without a context).
    uint64_t calls = 0;
    uint64_t memo_after = UINT64_MAX;
    // The count past which a combinator call takes the slow path
    // (calls_event): the smaller of memo_after and poll_at, so that the hot
    // path pays one compare for both.
    uint64_t event_at = UINT64_MAX;
    // The count past which signals are checked (never, where no check runs).
    uint64_t poll_at = UINT64_MAX;
    // Steps of the long loops left before the next check.
    int64_t ticks = INT64_MAX;
    bool polls_on = false;  // an entry from Python is running: checks run
    // A check raised: the operation ends. Every combinator fails from then
    // on, as past the depth bound, and every long loop stops at its next step.
    bool interrupted = false;
    bool aborting = false;  // the bound was passed in the match now running
    bool exceeded = false;  // the bound was passed since the last reset
    bool stack_short = false;  // ... and first by the stack margin, not the level count
    // Matches abandoned at the bound so far (each counted once, where it
    // begins); set when one was stopped by the stack margin on this text.
    uint32_t aborts = 0;
    bool stack_abort = false;
    // Forward calls that passed the bound are remembered on this text (forward.hpp).
    bool spines = false;
    // The thread's stack: [stack_low, stack_high), and the lowest frame address
    // allowed; found on first use (stack_high == 0 until then).
    uintptr_t stack_low = 0, stack_high = 0, stack_floor = 0;
};
// Initial-exec: one direct read of the thread pointer instead of a call per
// access; the few bytes fit the static TLS that the loader keeps for modules.
[[gnu::tls_model("initial-exec")]] inline thread_local MatchDepthState tls_match_depth;

// Finds the calling thread's stack bounds; leaves them empty (no guard) when
// they cannot be read.
void find_stack_bounds(MatchDepthState& s) noexcept;

// Checks for pending signals now (a call into the interpreter, which may run
// any Python code); true once the operation is interrupted, and then on every
// later call until the entry ends. Where no check runs (no entry from Python),
// false at once, and the counters are set so that it is not asked again.
bool poll_signals() noexcept;

// The slow path of a combinator call past event_at: the signal check when it
// is due; true when outcomes are remembered.
bool calls_event(MatchDepthState& s) noexcept;

// One step of a loop that can run long: true when the operation is
// interrupted and the loop must stop (its outcome a failure). One decrement
// and compare between checks.
[[gnu::always_inline]] inline bool work_tick() {
    if (--tls_match_depth.ticks > 0) [[likely]] return false;
    return poll_signals();
}

// `n` steps of a loop that can run long at once (see work_tick).
[[gnu::always_inline]] inline bool work_ticks(int64_t n) {
    if ((tls_match_depth.ticks -= n) > 0) [[likely]] return false;
    return poll_signals();
}

// The steps of one loop that can run long, counted in a register: its
// first step takes kStride steps from the thread's count at once (and makes
// the check when it is due), and so does every kStride-th one after it, so
// that a step between costs one decrement. The steps are counted before
// they are taken, so a check comes no later than with work_tick at each
// step, and an interrupted operation stops a loop at its first step.
class WorkTicks {
  public:
    // True when the operation is interrupted and the loop must stop.
    [[gnu::always_inline]] bool step() {
        if (--left_ != 0) [[likely]] return false;
        left_ = kStride;
        return work_ticks(kStride);
    }

  private:
    static constexpr uint32_t kStride = 16;
    uint32_t left_ = 1;
};

// Signal checks that ran on this thread (a handler may have run in each).
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t tls_checks_run = 0;

// True once the running entry is interrupted (see poll_signals).
inline bool interrupted() { return tls_match_depth.interrupted; }

class [[nodiscard]] MatchDepth {
  public:
    MatchDepth() : state_(tls_match_depth) {
        ++state_.calls;
        uint32_t d = ++state_.depth;
        state_.peak = d > state_.peak ? d : state_.peak;
        bool within = d <= kMaxMatchDepth && !state_.aborting;
        ok_ = within && stack_left();
        if (!ok_) {
            if (!state_.aborting) {
                ++state_.aborts;
                state_.stack_abort = state_.stack_abort || within;
            }
            if (!state_.exceeded) state_.stack_short = within;
            state_.aborting = state_.exceeded = true;
        }
    }
    ~MatchDepth() {
        if (--state_.depth == 0) state_.aborting = state_.interrupted;
    }
    MatchDepth(const MatchDepth&) = delete;
    MatchDepth& operator=(const MatchDepth&) = delete;
    // False once the bound is passed: the caller must fail without recursing.
    bool ok() const { return ok_; }
    // True once the current text has taken more combinator calls than its
    // budget: from then on combinators remember their outcomes.
    // Also where signals are checked, every kPollInterval calls.
    bool memo_on() const { return state_.calls > state_.event_at && calls_event(state_); }

  private:
    // False only when this frame lies in the thread's own stack close to its
    // bottom; a frame elsewhere (a coroutine's own stack) is left to the count.
    bool stack_left() {
        if (state_.stack_high == 0) find_stack_bounds(state_);
        uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        return !(sp >= state_.stack_low && sp < state_.stack_floor);
    }

    MatchDepthState& state_;
    bool ok_;
};

// True while the match now running is being abandoned at the bound.
inline bool depth_aborting() { return tls_match_depth.aborting; }
// Clears the flag at the start of an operation; read it after a failure.
inline void reset_depth_exceeded() { tls_match_depth.exceeded = tls_match_depth.stack_short = false; }
inline bool depth_exceeded() { return tls_match_depth.exceeded; }
// True when the bound was first passed because the thread's stack ran short
// (a small thread stack), not because of the level count.
inline bool depth_stack_short() { return tls_match_depth.stack_short; }

}  // namespace qgx
