#include "elements/regex_engine.hpp"

#include <cstring>

#include "elements/regex_abi.h"
#include "messages.hpp"

namespace {
static_assert(qgx::kDfaMatch == QGX_DFA_MATCH && qgx::kDfaDead == QGX_DFA_DEAD && qgx::kDfaQuit == QGX_DFA_QUIT &&
              qgx::kDfaAccel == QGX_DFA_ACCEL && qgx::kDfaOffset == QGX_DFA_OFFSET &&
              qgx::kDfaAccelShift == QGX_DFA_ACCEL_SHIFT);
}  // namespace

namespace qgx {

namespace {

const uint8_t* bytes_of(const char* p) { return reinterpret_cast<const uint8_t*>(p); }

// Takes over a text the engine handed out.
std::string take_text(uint8_t* text, size_t len) {
    std::string s(reinterpret_cast<const char*>(text), len);
    qgx_text_free(text, len);
    return s;
}

// The engine reports an internal failure rather than unwinding; the module
// has no way to raise from a search, so such a search finds nothing.
constexpr char kEngineFailure[] = "the pattern engine failed internally";

// The stack the calling thread has left below this frame, or 0 when its
// bounds are unknown or the frame lies elsewhere (a coroutine's own stack).
size_t stack_left_here() {
    MatchDepthState& s = tls_match_depth;
    if (s.stack_high == 0) find_stack_bounds(s);
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (sp < s.stack_low || sp >= s.stack_high) return 0;
    return sp - s.stack_low;
}

}  // namespace

std::string regex_syntax_error(std::string_view pattern) {
    uint8_t* err = nullptr;
    size_t err_len = 0;
    int32_t rc = qgx_regex_check_syntax(bytes_of(pattern.data()), pattern.size(), &err, &err_len);
    if (rc == QGX_OK) return {};
    if (rc == QGX_ERROR) return take_text(err, err_len);
    return kEngineFailure;
}

bool regex_ascii_shape(std::string_view pattern, RegexShape& shape) {
    constexpr int kAtoms = RegexShape::kMaxHead + 1;
    uint64_t words[2 * kAtoms] = {};
    uint8_t wide[kAtoms] = {};
    int32_t run_min = 0;
    int32_t n = qgx_regex_ascii_shape(bytes_of(pattern.data()), pattern.size(), RegexShape::kMaxHead, words, wide,
                                      &run_min);
    if (n < 1 || n > kAtoms) return false;
    auto atom = [&](int i) {
        RegexShape::Atom a;
        a.ascii.words[0] = words[2 * i];
        a.ascii.words[1] = words[2 * i + 1];
        a.wide = wide[i] == 0 ? WideMembers::None : wide[i] == 1 ? WideMembers::All : WideMembers::Some;
        a.bytes = a.ascii;
        if (a.wide == WideMembers::All) a.bytes.words[2] = a.bytes.words[3] = ~uint64_t{0};
        return a;
    };
    shape = RegexShape{};
    shape.head_len = n - 1;
    for (int i = 0; i < shape.head_len; ++i) shape.head[i] = atom(i);
    shape.run = atom(shape.head_len);
    shape.run_min1 = run_min == 1;
    return true;
}

CompileOutcome CompiledRegex::compile(std::string_view text, const CompileRequest& how) {
    CompileOutcome out;
    QgxRegex* re = nullptr;
    uint8_t* err = nullptr;
    size_t err_len = 0;
    QgxCompileOptions opts;
    opts.flags = (how.matcher ? uint32_t{QGX_COMPILE_MATCHER} : 0u) | (how.matcher && how.dfa ? uint32_t{QGX_COMPILE_DFA} : 0u);
    opts.nest_limit = how.nest_limit;
    opts.stack_left = stack_left_here();
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator records a stack trace at each allocation.
    constexpr size_t kSanitizerFrames = 8 * 1024;
    if (opts.stack_left) opts.stack_left = opts.stack_left > kSanitizerFrames ? opts.stack_left - kSanitizerFrames : 1;
#endif
    int32_t rc = qgx_regex_compile(bytes_of(text.data()), text.size(), &opts, &re, &err, &err_len);
    if (rc == QGX_OK) {
        out.regex.reset(new CompiledRegex(re, how.starts_only));
        return out;
    }
    if (rc == QGX_ERROR)
        out.error = take_text(err, err_len);
    else if (rc == QGX_STACK)
        out.error = msg::kStackLimitNoPosition;
    else
        out.error = kEngineFailure;
    return out;
}

CompiledRegex::CompiledRegex(QgxRegex* re, bool starts_only) : re_(re), starts_only_(starts_only) {
    has_twin_ = qgx_regex_has_nfa_twin(re) == 1;
    QgxDfaView v;
    if (qgx_regex_dfa(re, &v) == 1) {
        has_dfa_ = true;
        dfa_.classes = v.classes;
        dfa_.trans = v.trans;
        dfa_.stride = v.stride;
        dfa_.start = v.start;
        dfa_.stays = v.stays;
    }
    uint32_t flags = 0;
    const uint8_t* lit = nullptr;
    size_t lit_len = 0;
    if (qgx_regex_first_bytes(re, start_.bytes.words, &flags, &lit, &lit_len) == 1) {
        start_.known = true;
        start_.at_end = flags & 1;
        start_.empty = flags & 2;
        if (lit) start_.literal.assign(reinterpret_cast<const char*>(lit), lit_len);
    }
}

uint64_t CompiledRegex::next_wide_byte(Text t, Pos p) {
    uint64_t i = p;
    // Eight bytes at a time while no high bit is set.
    while (i + 8 <= t.len) {
        uint64_t w;
        std::memcpy(&w, t.data + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
    }
    while (i < t.len && t.at(static_cast<Pos>(i)) < 0x80) ++i;
    return i;
}

CompiledRegex::~CompiledRegex() { qgx_regex_free(re_); }

int64_t CompiledRegex::match_length_at(Text t, Pos pos) const {
    if (!has_twin_ || !has_dfa_) return engine_length_at(t, pos);
    if (pos > t.len || !on_boundary(t, pos)) return -1;
    int64_t n = dfa_match_length(dfa_, reinterpret_cast<const unsigned char*>(t.data) + pos, t.len - pos);
    if (n != kDfaAskEngine) return n;
    size_t s = 0, e = 0;
    if (qgx_regex_find_at(re_, bytes_of(t.data + pos), t.len - pos, 0, 1, &s, &e) != 1 || s != 0) return -1;
    return static_cast<int64_t>(e);
}

int64_t CompiledRegex::engine_length_at(Text t, Pos pos) const {
    if (pos > t.len || !on_boundary(t, pos)) return -1;
    size_t s = 0, e = 0;
    if (qgx_regex_find_at(re_, bytes_of(t.data + pos), t.len - pos, 0, 0, &s, &e) != 1 || s != 0) return -1;
    return static_cast<int64_t>(e);
}

bool CompiledRegex::matches_at_start(Text t) const {
    if (starts_only_) return qgx_regex_is_match(re_, bytes_of(t.data), t.len) == 1;
    return match_length_at(t, 0) >= 0;
}

RegexFound CompiledRegex::find_from(Text t, Pos from, bool wide_ahead) const {
    RegexFound f;
    size_t s = 0, e = 0;
    if (from > t.len || qgx_regex_find_at(re_, bytes_of(t.data), t.len, from, has_twin_ && wide_ahead, &s, &e) != 1)
        return f;
    f.found = true;
    f.start = static_cast<Pos>(s);
    f.end = static_cast<Pos>(e);
    return f;
}

}  // namespace qgx
