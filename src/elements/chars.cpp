#include "elements/chars.hpp"

#include <cctype>

#include "messages.hpp"

namespace qgx {

namespace {

// The code point of the UTF-8 character at `i` when it is at most U+00FF,
// with its length; a longer or malformed character gives length 0.
struct SmallChar {
    uint32_t code;
    Pos len;
};
SmallChar small_char_at(Text t, Pos i) {
    unsigned char b = t.at(i);
    if (b < 0x80) return {b, 1};
    if ((b == 0xC2 || b == 0xC3) && i + 1 < t.len && is_continuation(t.at(i + 1)))
        return {((b & 0x1Fu) << 6) | (t.at(i + 1) & 0x3Fu), 2};
    return {0, 0};
}

// The longest prefix of `t` of at most `n` bytes that ends on a character boundary.
Pos whole_prefix(Text t, Pos n) {
    if (n >= t.len) return t.len;
    while (n > 0 && is_continuation(t.at(n))) --n;
    return n;
}

SharedText joined(std::string_view a, std::string_view b, std::string_view c) {
    std::string s;
    s.reserve(a.size() + b.size() + c.size());
    s.append(a).append(b).append(c);
    return SharedText::copy(s);
}

// Length of the UTF-8 character that begins a non-empty text (1 for a stray byte).
Pos first_char_length(Text t) {
    unsigned char b = t.at(0);
    Pos n = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    return n <= t.len ? n : t.len;
}

}  // namespace

// ---------------------------------------------------------------------------
// Word

ByteSet word_set_of(Text chars) {
    ByteSet s;
    Pos i = 0;
    while (i < chars.len) {
        SmallChar c = small_char_at(chars, i);
        if (c.len == 0) {
            ++i;  // above U+00FF: not recorded; its continuation bytes are skipped below
            while (i < chars.len && is_continuation(chars.at(i))) ++i;
            continue;
        }
        s.add(static_cast<unsigned char>(c.code));
        i += c.len;
    }
    return s;
}

SharedText word_message(Text init_chars) {
    Pos n = whole_prefix(init_chars, 8);
    return joined(msg::kWordMessagePrefix, std::string_view(init_chars.data, n), msg::kWordMessageSuffix);
}

Rc<WordElement> make_word_element(Text init, const Text* body) {
    Rc<WordElement> r = Rc<WordElement>::make();
    r->message = word_message(init);
    r->init_chars = word_set_of(init);
    r->body_chars = body ? word_set_of(*body) : r->init_chars;
    r->min_len = 1;
    r->max_len = 0;
    r->high_members = (r->init_chars.words[2] | r->init_chars.words[3] | r->body_chars.words[2] |
                       r->body_chars.words[3]) != 0;
    return r;
}

ParseOutcome word_parse_at(const WordElement& r, Text t, Pos pos) {
    TryMatchOutcome m = word_try_match_at(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view(t.data + pos, m.end - pos)));
}

ParseFromStartOutcome word_parse_from_start(const WordElement& r, Text t) {
    return ParseFromStartOutcome::from(word_parse_at(r, t, 0));
}

const ElementVTable* word_vtable() {
    return &KindTable<WordElement, word_parse_at, word_try_match_at, word_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// Regex

RegexClassification classify_pattern(Text p) {
    RegexClassification c;
    std::string_view v = p.view();
    if (v == "\\s+" || v == "\\s*") {
        c.fast_path = RegexFastPath::WhitespaceRun;
        return c;
    }
    if (v.size() < 2 || v.front() != '[' || v.back() != ']') return c;
    std::string_view inner = v.substr(1, v.size() - 2);
    if (inner.empty() || inner.find('[') != std::string_view::npos) return c;
    // "&&" and "~~" are class operations to the engine (as "--" is).
    bool exact = inner.front() != '^' && inner.find("&&") == std::string_view::npos &&
                 inner.find("~~") == std::string_view::npos;
    std::string unescaped;
    for (size_t i = 0; i < inner.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(inner[i]);
        if (ch == '\\') {
            if (++i == inner.size()) break;
            ch = static_cast<unsigned char>(inner[i]);
            // An escaped letter or digit is a class or a control escape to the engine.
            if (ch >= 0x80 || std::isalnum(ch)) exact = false;
        } else if (ch == '-' || ch == ']' || ch >= 0x80) {
            exact = false;
        }
        unescaped += static_cast<char>(ch);
    }
    if (unescaped.empty()) return c;
    c.fast_path = RegexFastPath::ByteClass;
    c.fast_set = word_set_of(Text(unescaped));
    c.exact_class = exact;
    return c;
}

RegexBuildOutcome make_regex_element(Text pattern) {
    RegexBuildOutcome out;
    std::string_view p = pattern.view();
    bool wrapped = p.empty() || p.front() != '^';
    std::string anchored = "^(?:" + std::string(p) + ")";
    std::string unanchored = "(?:" + std::string(p) + ")";
    RegexClassification c = classify_pattern(pattern);
    std::unique_ptr<RegexShape> shape;
    if (!kPlainPaths) {
        RegexShape s;
        if (regex_ascii_shape(p, s)) shape = std::make_unique<RegexShape>(s);
    }
    CompileRequest matcher;
    matcher.starts_only = true;
    matcher.matcher = true;
    // A shaped pattern or an exact class is read from the bytes; where the
    // shape cannot decide (a wide character that its class may or may not
    // take) a matcher would mostly give up too, so none is made for them.
    matcher.dfa = !kPlainPaths && !shape && !(c.fast_path == RegexFastPath::ByteClass && c.exact_class);
    if (!wrapped) {
        // A pattern that begins with "^" is compiled as it stands for its
        // errors; it is matched through the wrapped form, which cannot look
        // past the position (a later top-level alternative of the pattern
        // itself would search the whole rest of the text) and gives the same
        // answers: the leftmost-first match, where it begins at the start.
        // The wrapping may take two levels more than the pattern had.
        CompileOutcome plain = CompiledRegex::compile(p);
        if (!plain.regex) {
            out.error = std::move(plain.error);
            return out;
        }
        matcher.nest_limit = kRegexNestLimit + 2;
    }
    CompileOutcome a = CompiledRegex::compile(anchored, matcher);
    if (!a.regex) {
        out.error = std::move(a.error);
        return out;
    }
    CompileOutcome u = CompiledRegex::compile(unanchored);
    if (!u.regex) {
        out.error = std::move(u.error);
        return out;
    }
    // A pattern that closes the wrapping group ("[x])|(?:y") would compile
    // into texts that mean something other than the pattern, and the two
    // forms would then disagree; such a pattern is refused with the engine's
    // description of its own text. Every pattern that parses alone keeps
    // the errors of the wrapped texts above.
    std::string alone = regex_syntax_error(p);
    if (!alone.empty()) {
        out.error = std::move(alone);
        return out;
    }
    Rc<RegexElement> r = Rc<RegexElement>::make();
    r->fast_path = c.fast_path;
    r->fast_set = c.fast_set;
    r->exact_class = c.exact_class;
    r->whitespace_plus = p == "\\s+";
    r->shape = std::move(shape);
    r->anchored_regex = std::move(a.regex);
    r->unanchored_regex = std::move(u.regex);
    r->dfa = r->anchored_regex->dfa();
    r->message = joined(msg::kRegexMessagePrefix, p, msg::kRegexMessageSuffix);
    out.element = std::move(r);
    return out;
}

bool regex_first_bytes(const RegexElement& r, ByteSet& bytes, bool& at_end) {
    const RegexStart& s = r.anchored_regex->start_info();
    if (!s.known) return false;
    bytes = s.bytes;
    at_end = s.at_end;
    return true;
}

bool regex_matches_empty(const RegexElement& r) {
    const RegexStart& s = r.anchored_regex->start_info();
    return !s.known || s.empty;
}

const std::string* regex_plain_literal(const RegexElement& r) {
    const RegexStart& s = r.anchored_regex->start_info();
    return s.known && !s.literal.empty() ? &s.literal : nullptr;
}

namespace {

bool is_ascii_space_byte(unsigned char b) { return b == 9 || b == 10 || b == 12 || b == 13 || b == 32; }

// The byte shortcuts: -1 when the engine must answer, else the match end
// (or -2 for no match).
constexpr int64_t kAskEngine = kShapeAskEngine;
constexpr int64_t kNoMatch = kShapeNoMatch;

int64_t shortcut_end(const RegexElement& r, Text t, Pos pos) {
    if (r.fast_path == RegexFastPath::ByteClass && r.exact_class)
        return pos < t.len && r.fast_set.has(t.at(pos)) ? int64_t{pos} + 1 : kNoMatch;
    if (r.fast_path == RegexFastPath::WhitespaceRun) {
        Pos e = pos;
        while (e < t.len && is_ascii_space_byte(t.at(e))) ++e;
        // A vertical tab or a character above U+007F may be White_Space too.
        bool unsure = e < t.len && (t.at(e) == 11 || t.at(e) >= 0x80);
        if (!unsure) return e == pos && r.whitespace_plus ? kNoMatch : int64_t{e};
    } else if (r.shape) {
        int64_t e = regex_shape_end(*r.shape, t, pos);
        if (e != kAskEngine) return e;
    }
    if (r.dfa) {
        if (pos < t.len && is_continuation(t.at(pos))) return kNoMatch;
        int64_t n = dfa_match_length(*r.dfa, reinterpret_cast<const unsigned char*>(t.data) + pos, t.len - pos);
        if (n >= 0) return int64_t{pos} + n;
        return n == kDfaNoMatch ? kNoMatch : kAskEngine;
    }
    return kAskEngine;
}

}  // namespace

TryMatchOutcome regex_try_match_at(const RegexElement& r, Text t, Pos pos) {
    if constexpr (!kPlainPaths) {
        int64_t e = shortcut_end(r, t, pos);
        if (e == kNoMatch) return TryMatchOutcome::no();
        if (e >= 0) return TryMatchOutcome::yes(static_cast<Pos>(e));
    }
    int64_t n = r.anchored_regex->match_length_at(t, pos);
    if (n < 0) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(pos + static_cast<Pos>(n));
}

// The span is the one try_match_at finds (its shortcuts answer only where
// their answer is the engine's), so the byte readings serve here too.
ParseOutcome regex_parse_at(const RegexElement& r, Text t, Pos pos) {
    TryMatchOutcome m = regex_try_match_at(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view(t.data + pos, m.end - pos)));
}

ParseFromStartOutcome regex_parse_from_start(const RegexElement& r, Text t) {
    return ParseFromStartOutcome::from(regex_parse_at(r, t, 0));
}

const ElementVTable* regex_vtable() {
    return &KindTable<RegexElement, regex_parse_at, regex_try_match_at, regex_parse_from_start>::table;
}

// ---------------------------------------------------------------------------
// QuotedString

Rc<QuotedStringElement> make_quoted_string_element(Text quote_char, const Text* esc_char, bool multiline,
                                                   bool unquote) {
    Rc<QuotedStringElement> r = Rc<QuotedStringElement>::make();
    r->message = joined(msg::kQuotedMessagePrefix, quote_char.view(), msg::kQuotedMessageSuffix);
    if (quote_char.len > 0) {
        r->quote_len = static_cast<uint8_t>(first_char_length(quote_char));
        std::memcpy(r->quote_bytes, quote_char.data, r->quote_len);
    }
    r->quote = static_cast<uint8_t>(r->quote_bytes[0]);
    if (esc_char && esc_char->len > 0) {
        r->has_escape = 1;
        r->escape_len = static_cast<uint8_t>(first_char_length(*esc_char));
        std::memcpy(r->escape_bytes, esc_char->data, r->escape_len);
        r->escape = static_cast<uint8_t>(r->escape_bytes[0]);
    }
    r->multiline = multiline;
    r->unquote = unquote;
    return r;
}

Pos quoted_string_close(const QuotedStringElement& r, Text t, Pos pos) {
    auto quote_at = [&](Pos i) {
        return t.at(i) == r.quote &&
               (r.quote_len == 1 || (t.len - i >= r.quote_len && std::memcmp(t.data + i, r.quote_bytes, r.quote_len) == 0));
    };
    if (pos >= t.len || !quote_at(pos)) return 0;
    Pos e = pos + r.quote_len;
    while (e < t.len) {
        unsigned char b = t.at(e);
        if (b == '\n' && !r.multiline) return 0;
        if (r.has_escape && b == r.escape &&
            (r.escape_len == 1 ||
             (t.len - e >= r.escape_len && std::memcmp(t.data + e, r.escape_bytes, r.escape_len) == 0))) {
            // The escape and the byte after it are passed over, whatever it is.
            if (t.len - e <= r.escape_len) return 0;
            e += r.escape_len + 1;
            continue;
        }
        if (quote_at(e)) return e + r.quote_len;
        ++e;
    }
    return 0;
}

ParseOutcome quoted_string_parse_at(const QuotedStringElement& r, Text t, Pos pos) {
    Pos end = quoted_string_close(r, t, pos);
    if (!end) return ParseOutcome::fail_stored(r.message, pos);
    Pos from = r.unquote ? pos + r.quote_len : pos;
    Pos to = r.unquote ? end - r.quote_len : end;
    return ParseOutcome::success(end, TokenList(SharedText::view(t.data + from, to - from)));
}

ParseFromStartOutcome quoted_string_parse_from_start(const QuotedStringElement& r, Text t) {
    return ParseFromStartOutcome::from(quoted_string_parse_at(r, t, 0));
}

const ElementVTable* quoted_string_vtable() {
    return &KindTable<QuotedStringElement, quoted_string_parse_at, quoted_string_try_match_at,
                      quoted_string_parse_from_start>::table;
}

}  // namespace qgx
