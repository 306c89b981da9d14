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

// Ends the process on a broken internal invariant. Never reached from input.
[[noreturn]] inline void fatal(const char* what) {
    std::fprintf(stderr, "quillgramx: internal error: %s\n", what);
    std::abort();
}

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
// holds no block, so empty tokens cost no allocation.
class SharedText {
  public:
    SharedText() = default;

    // Copies `n` bytes into a new block with one reference.
    static SharedText copy(const char* bytes, Pos n) {
        SharedText t;
        if (n == 0) return t;
        void* mem = std::malloc(sizeof(Block) + n);
        if (!mem) fatal("out of memory for a text");
        Block* b = new (mem) Block{};
        b->refs.store(1, std::memory_order_relaxed);
        std::memcpy(b->bytes(), bytes, n);
        t.block_ = b;
        t.len_ = n;
        return t;
    }
    static SharedText copy(std::string_view s) { return copy(s.data(), static_cast<Pos>(s.size())); }

    SharedText(const SharedText& o) : block_(o.block_), len_(o.len_) { retain(); }
    SharedText(SharedText&& o) noexcept : block_(o.block_), len_(o.len_) {
        o.block_ = nullptr;
        o.len_ = 0;
    }
    SharedText& operator=(SharedText o) noexcept {
        std::swap(block_, o.block_);
        std::swap(len_, o.len_);
        return *this;
    }
    ~SharedText() { release(); }

    const char* data() const { return block_ ? block_->bytes() : ""; }
    Pos size() const { return len_; }
    bool empty() const { return len_ == 0; }
    std::string_view view() const { return {data(), len_}; }
    // Whether two handles share one block (the same stored text).
    bool same_block(const SharedText& o) const { return block_ == o.block_; }
    uint32_t use_count() const { return block_ ? block_->refs.load(std::memory_order_relaxed) : 0; }

  private:
    struct Block {
        std::atomic<uint32_t> refs;
        char* bytes() { return reinterpret_cast<char*>(this + 1); }
    };
    void retain() {
        if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() {
        if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            block_->~Block();
            std::free(block_);
        }
        block_ = nullptr;
    }

    Block* block_ = nullptr;
    Pos len_ = 0;
};

// ---------------------------------------------------------------------------
// TokenList: the tokens of one match; two fit inline before it moves to the heap.
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
    TokenList& operator=(TokenList o) noexcept {
        clear_and_free();
        take(std::move(o));
        return *this;
    }
    ~TokenList() { clear_and_free(); }

    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const SharedText& operator[](uint32_t i) const { return *slot(i); }
    const SharedText* begin() const { return slot(0); }
    const SharedText* end() const { return slot(0) + size_; }

    void push_back(SharedText t) {
        if (size_ == capacity()) reserve(size_ * 2 > 4 ? size_ * 2 : 4);
        new (slot(size_)) SharedText(std::move(t));
        ++size_;
    }
    // Moves every token of `o` to the end of this list; no count changes.
    void append(TokenList&& o) {
        if (o.size_ == 0) return;
        if (size_ == 0 && capacity() == kInline) {
            *this = std::move(o);
            return;
        }
        reserve(size_ + o.size_);
        for (uint32_t i = 0; i < o.size_; ++i) new (slot(size_ + i)) SharedText(std::move(*o.slot(i)));
        size_ += o.size_;
        o.clear_and_free();
    }
    bool on_heap() const { return heap_ != nullptr; }

  private:
    static constexpr uint32_t kInline = 2;
    uint32_t capacity() const { return heap_ ? heap_cap_ : kInline; }
    SharedText* slot(uint32_t i) {
        return (heap_ ? heap_ : reinterpret_cast<SharedText*>(inline_)) + i;
    }
    const SharedText* slot(uint32_t i) const {
        return (heap_ ? heap_ : reinterpret_cast<const SharedText*>(inline_)) + i;
    }
    void reserve(uint32_t n) {
        if (n <= capacity()) return;
        auto* mem = static_cast<SharedText*>(std::malloc(sizeof(SharedText) * n));
        if (!mem) fatal("out of memory for a token list");
        for (uint32_t i = 0; i < size_; ++i) {
            new (mem + i) SharedText(std::move(*slot(i)));
            slot(i)->~SharedText();
        }
        std::free(heap_);
        heap_ = mem;
        heap_cap_ = n;
    }
    void clear_and_free() {
        for (uint32_t i = 0; i < size_; ++i) slot(i)->~SharedText();
        std::free(heap_);
        heap_ = nullptr;
        heap_cap_ = 0;
        size_ = 0;
    }
    void take(TokenList&& o) {
        if (o.heap_) {
            heap_ = o.heap_;
            heap_cap_ = o.heap_cap_;
            size_ = o.size_;
            o.heap_ = nullptr;
            o.heap_cap_ = 0;
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

    alignas(SharedText) unsigned char inline_[sizeof(SharedText) * kInline];
    SharedText* heap_ = nullptr;
    uint32_t heap_cap_ = 0;
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

    static ParseOutcome success(Pos end, TokenList tokens = {}) {
        ParseOutcome o;
        o.ok = true;
        o.end = end;
        o.tokens = std::move(tokens);
        return o;
    }
    static ParseOutcome fail(SharedText message, Pos position) {
        ParseOutcome o;
        o.failure.message = std::move(message);
        o.failure.position = position;
        return o;
    }
    static ParseOutcome fail(ParseFailure f) {
        ParseOutcome o;
        o.failure = std::move(f);
        return o;
    }
};

// Result of parse_from_start: tokens or a failure, no end.
struct [[nodiscard]] ParseFromStartOutcome {
    bool ok = false;
    TokenList tokens;
    ParseFailure failure;

    static ParseFromStartOutcome from(ParseOutcome&& o) {
        ParseFromStartOutcome r;
        r.ok = o.ok;
        r.tokens = std::move(o.tokens);
        r.failure = std::move(o.failure);
        return r;
    }
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

struct MatchDepthState {
    uint32_t depth = 0;
    bool aborting = false;  // the bound was passed in the match now running
    bool exceeded = false;  // the bound was passed since the last reset
    bool stack_short = false;  // ... and first by the stack margin, not the level count
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

class [[nodiscard]] MatchDepth {
  public:
    MatchDepth() : state_(tls_match_depth) {
        bool within = ++state_.depth <= kMaxMatchDepth && !state_.aborting;
        ok_ = within && stack_left();
        if (!ok_) {
            if (!state_.exceeded) state_.stack_short = within;
            state_.aborting = state_.exceeded = true;
        }
    }
    ~MatchDepth() {
        if (--state_.depth == 0) state_.aborting = false;
    }
    MatchDepth(const MatchDepth&) = delete;
    MatchDepth& operator=(const MatchDepth&) = delete;
    // False once the bound is passed: the caller must fail without recursing.
    bool ok() const { return ok_; }

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
