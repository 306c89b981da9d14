#include "elements/regex_engine.hpp"

#include "elements/regex_abi.h"

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

CompileOutcome CompiledRegex::compile(std::string_view text, bool starts_only) {
    CompileOutcome out;
    QgxRegex* re = nullptr;
    uint8_t* err = nullptr;
    size_t err_len = 0;
    int32_t rc = qgx_regex_compile(bytes_of(text.data()), text.size(), &re, &err, &err_len);
    if (rc == QGX_OK) {
        out.regex.reset(new CompiledRegex(re, starts_only));
        return out;
    }
    out.error = rc == QGX_ERROR ? take_text(err, err_len) : std::string(kEngineFailure);
    return out;
}

CompiledRegex::~CompiledRegex() { qgx_regex_free(re_); }

int64_t CompiledRegex::match_length_at(Text t, Pos pos) const {
    if (pos > t.len || !on_boundary(t, pos)) return -1;
    size_t s = 0, e = 0;
    if (qgx_regex_find_at(re_, bytes_of(t.data + pos), t.len - pos, 0, &s, &e) != 1 || s != 0) return -1;
    return static_cast<int64_t>(e);
}

bool CompiledRegex::matches_at_start(Text t) const {
    if (starts_only_) return qgx_regex_is_match(re_, bytes_of(t.data), t.len) == 1;
    return match_length_at(t, 0) >= 0;
}

RegexFound CompiledRegex::find_from(Text t, Pos from) const {
    RegexFound f;
    size_t s = 0, e = 0;
    if (from > t.len || qgx_regex_find_at(re_, bytes_of(t.data), t.len, from, &s, &e) != 1) return f;
    f.found = true;
    f.start = static_cast<Pos>(s);
    f.end = static_cast<Pos>(e);
    return f;
}

}  // namespace qgx
