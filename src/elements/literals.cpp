#include "elements/literals.hpp"

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
