#include "elements/literals.hpp"

#include <optional>

#include "elements/match_context.hpp"
#include "elements/substring_search.hpp"
#include "messages.hpp"

namespace qgx {

const ByteTable& identifier_table() {
    static const ByteTable table = [] {
        ByteTable t;
        for (int b = '0'; b <= '9'; ++b) t.add(static_cast<unsigned char>(b));
        for (int b = 'A'; b <= 'Z'; ++b) t.add(static_cast<unsigned char>(b));
        for (int b = 'a'; b <= 'z'; ++b) t.add(static_cast<unsigned char>(b));
        t.add('_');
        return t;
    }();
    return table;
}

std::string fill_message(const char* tmpl, std::string_view s) {
    std::string_view t(tmpl);
    size_t at = t.find("{}");
    std::string out;
    out.reserve(t.size() + s.size());
    out.append(t.substr(0, at));
    out.append(s);
    out.append(t.substr(at + 2));
    return out;
}

namespace {

SharedText message_of(const char* tmpl, std::string_view s) { return SharedText::copy(fill_message(tmpl, s)); }

OwnedBytes lowered(std::string_view s) {
    OwnedBytes b(s);
    for (Pos i = 0; i < b.size(); ++i)
        b.mutable_data()[i] = static_cast<char>(ascii_lower(static_cast<unsigned char>(b.data()[i])));
    return b;
}

uint8_t first_byte_of(std::string_view s) { return s.empty() ? 0 : static_cast<uint8_t>(s[0]); }

// The one success of a literal kind: a view of the prebuilt token, no text
// made and no count touched; the record outlives the outcome, as the stored
// message does (ParseOutcome::fail_stored).
inline ParseOutcome prebuilt_success(const TokenList& tokens, Pos end) {
    if (tokens.size() != 1) return ParseOutcome::success(end, tokens);
    return ParseOutcome::success(end, TokenList(SharedText::view(tokens[0].data(), tokens[0].size())));
}

}  // namespace

Rc<LiteralElement> build_literal(std::string_view s) {
    Rc<LiteralElement> r = Rc<LiteralElement>::make();
    r->first_byte = first_byte_of(s);
    r->message = message_of(msg::kExpectedLiteral, s);
    r->tokens = TokenList(SharedText::copy(s));
    r->text = OwnedBytes(s);
    return r;
}

Rc<KeywordElement> build_keyword(std::string_view s) {
    Rc<KeywordElement> r = Rc<KeywordElement>::make();
    r->message = message_of(msg::kExpectedKeywordNamed, s);
    r->tokens = TokenList(SharedText::copy(s));
    r->text = OwnedBytes(s);
    r->identifier_chars = identifier_table();
    r->match_len = static_cast<Pos>(s.size());
    r->first_byte = first_byte_of(s);
    return r;
}

Rc<CaselessLiteralElement> build_caseless_literal(std::string_view s) {
    Rc<CaselessLiteralElement> r = Rc<CaselessLiteralElement>::make();
    r->lower_text = lowered(s);
    r->message = message_of(msg::kExpectedCaselessLiteral, s);
    r->tokens = TokenList(SharedText::copy(s));
    return r;
}

Rc<CaselessKeywordElement> build_caseless_keyword(std::string_view s) {
    Rc<CaselessKeywordElement> r = Rc<CaselessKeywordElement>::make();
    r->lower_text = lowered(s);
    r->message = message_of(msg::kExpectedCaselessKeyword, s);
    r->tokens = TokenList(SharedText::copy(s));
    r->identifier_chars = identifier_table();
    r->match_len = static_cast<Pos>(s.size());
    return r;
}

Rc<CharElement> build_char(std::string_view s) {
    Rc<CharElement> r = Rc<CharElement>::make();
    for (char c : s) r->members.add(static_cast<unsigned char>(c));
    r->message = message_of(msg::kExpectedOneOf, s);
    return r;
}

// ---------------------------------------------------------------------------
// Long texts in scans.

namespace {

// What one search taught: no occurrence in [lo, next) and one at next when
// `found`; none in [lo, known_end) otherwise.
struct NeedleStretch {
    bool valid = false, found = false;
    Pos lo = 0, next = 0, known_end = 0;
    bool holds(Pos p) const { return valid && p >= lo && (found ? p <= next : p < known_end); }
};

// Where a long text next occurs, per record and text. Searches go forward
// only (each from a position no smaller than the last one's), with one
// searcher that keeps its place, so all of them together cost time linear in
// the text; each looks a bounded stretch ahead (a few times the text's
// length), so that a test at one position alone (matches, a batch item) costs
// no more than that stretch. The two latest stretches are kept, for scans
// that test a little behind their furthest test (an alternative that tries
// the text after another member). A position behind both is compared plainly.
class NeedleMemo : public ContextSlot {
  public:
    void reset(Text) override {
        cur_ = prev_ = NeedleStretch{};
        window_end_ = 0;
        if (exact_) exact_->restart();
        if (fold_) fold_->restart();
    }

    bool occurs(Text needle, bool caseless, Text t, Pos p) {
        if (cur_.holds(p)) return cur_.found && p == cur_.next;
        if (prev_.holds(p)) return prev_.found && p == prev_.next;
        if (cur_.valid && p < cur_.lo) return plain_at(needle, caseless, t, p);
        const uint64_t m = needle.len;
        // The stretch searched ends where the last one did while the text
        // still fits before that end: the searcher then resumes where it
        // stopped (a new end starts it afresh, at the cost of one stretch).
        if (uint64_t{p} + m > window_end_) {
            const uint64_t ahead = m * 4 > 4096 ? m * 4 : 4096;
            const uint64_t hi64 = uint64_t{p} + ahead + m;
            window_end_ = hi64 < t.len ? static_cast<Pos>(hi64) : t.len;
        }
        const size_t hi = window_end_;
        size_t o;
        if (caseless) {
            if (!fold_) fold_.emplace(needle.data, needle.len);
            o = fold_->find(t.data, hi, p);
        } else {
            if (!exact_) exact_.emplace(needle.data, needle.len);
            o = exact_->find(t.data, hi, p);
        }
        prev_ = cur_;
        cur_.valid = true;
        cur_.lo = p;
        cur_.found = o != SubstringSearcher::kNotFound;
        cur_.next = cur_.found ? static_cast<Pos>(o) : 0;
        cur_.known_end = static_cast<Pos>(hi - m + 1);
        return cur_.found && cur_.next == p;
    }

    static bool plain_at(Text needle, bool caseless, Text t, Pos p) {
        return caseless ? caseless_equal(t.data + p, needle.data, needle.len)
                        : std::memcmp(t.data + p, needle.data, needle.len) == 0;
    }

  private:
    NeedleStretch cur_, prev_;
    Pos window_end_ = 0;
    std::optional<SubstringSearcher> exact_;
    std::optional<CaselessSearcher> fold_;
};

}  // namespace

bool needle_occurs_at(const void* owner, Text needle, bool caseless, Text t, Pos pos) {
    MatchContext* c = current_context();
    NeedleMemo* m = c ? c->scratch<NeedleMemo>(owner, t) : nullptr;
    if (!m) return NeedleMemo::plain_at(needle, caseless, t, pos);
    return m->occurs(needle, caseless, t, pos);
}

// ---------------------------------------------------------------------------

// The four kinds that hand out their prebuilt token list: the stored
// message on failure, the prebuilt token on success.
template <class R, TryMatchOutcome (*TryMatchAt)(const R&, Text, Pos)>
ParseOutcome prebuilt_parse_at(const R& r, Text t, Pos pos) {
    TryMatchOutcome m = TryMatchAt(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    return prebuilt_success(r.tokens, m.end);
}

ParseOutcome literal_parse_at(const LiteralElement& r, Text t, Pos pos) {
    return prebuilt_parse_at<LiteralElement, literal_try_match_at>(r, t, pos);
}
ParseFromStartOutcome literal_parse_from_start(const LiteralElement& r, Text t) {
    return ParseFromStartOutcome::from(literal_parse_at(r, t, 0));
}

ParseOutcome keyword_parse_at(const KeywordElement& r, Text t, Pos pos) {
    return prebuilt_parse_at<KeywordElement, keyword_try_match_at>(r, t, pos);
}
ParseFromStartOutcome keyword_parse_from_start(const KeywordElement& r, Text t) {
    return ParseFromStartOutcome::from(keyword_parse_at(r, t, 0));
}

ParseOutcome caseless_literal_parse_at(const CaselessLiteralElement& r, Text t, Pos pos) {
    return prebuilt_parse_at<CaselessLiteralElement, caseless_literal_try_match_at>(r, t, pos);
}
ParseFromStartOutcome caseless_literal_parse_from_start(const CaselessLiteralElement& r, Text t) {
    return ParseFromStartOutcome::from(caseless_literal_parse_at(r, t, 0));
}

ParseOutcome caseless_keyword_parse_at(const CaselessKeywordElement& r, Text t, Pos pos) {
    return prebuilt_parse_at<CaselessKeywordElement, caseless_keyword_try_match_at>(r, t, pos);
}
ParseFromStartOutcome caseless_keyword_parse_from_start(const CaselessKeywordElement& r, Text t) {
    return ParseFromStartOutcome::from(caseless_keyword_parse_at(r, t, 0));
}

ParseOutcome char_parse_at(const CharElement& r, Text t, Pos pos) {
    TryMatchOutcome m = char_try_match_at(r, t, pos);
    if (!m.matched) return ParseOutcome::fail_stored(r.message, pos);
    CharSpan s = char_text_span(t, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view(t.data + s.start, s.end - s.start)));
}
ParseFromStartOutcome char_parse_from_start(const CharElement& r, Text t) {
    return ParseFromStartOutcome::from(char_parse_at(r, t, 0));
}

const ElementVTable* literal_vtable() {
    return &KindTable<LiteralElement, literal_parse_at, literal_try_match_at, literal_parse_from_start>::table;
}
const ElementVTable* keyword_vtable() {
    return &KindTable<KeywordElement, keyword_parse_at, keyword_try_match_at, keyword_parse_from_start>::table;
}
const ElementVTable* caseless_literal_vtable() {
    return &KindTable<CaselessLiteralElement, caseless_literal_parse_at, caseless_literal_try_match_at,
                      caseless_literal_parse_from_start>::table;
}
const ElementVTable* caseless_keyword_vtable() {
    return &KindTable<CaselessKeywordElement, caseless_keyword_parse_at, caseless_keyword_try_match_at,
                      caseless_keyword_parse_from_start>::table;
}
const ElementVTable* char_vtable() {
    return &KindTable<CharElement, char_parse_at, char_try_match_at, char_parse_from_start>::table;
}

}  // namespace qgx
