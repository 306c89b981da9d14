#include "elements/positional.hpp"

#include "elements/run_memory.hpp"
#include "messages.hpp"

namespace qgx {

ParseFromStartOutcome always_matches_from_start(Text) {
    ParseFromStartOutcome o;
    o.ok = true;
    return o;
}

namespace {
// The owner of the remembered distances to the next newline: they are the
// same whichever record asks.
constexpr char kNewlineRuns = 0;
}  // namespace

// A line is read as a run of bytes other than a newline, so that a long one
// read from many starts (rest_of_line tried across it) is read once; lines
// are longer than words, and memchr reads them fast, so its prefix is longer.
Pos find_newline(Text t, Pos from) {
    if (from >= t.len) return t.len;
    return run_end<4 * kRunPrefix>(&kNewlineRuns, kRunNewline, t, from, t.len, [](Text t, Pos i, Pos stop) {
        if (i >= stop) return i;
        const void* hit = std::memchr(t.data + i, '\n', stop - i);
        return hit ? static_cast<Pos>(static_cast<const char*>(hit) - t.data) : stop;
    });
}

namespace {
ParseOutcome fixed_failure(const char* message, Pos pos) { return ParseOutcome::fail(SharedText::fixed(message), pos); }
ParseFromStartOutcome fixed_failure_from_start(const char* message) {
    return ParseFromStartOutcome::from(fixed_failure(message, 0));
}
}  // namespace

ParseOutcome no_match_parse_at(const NoMatchElement&, Text, Pos pos) { return fixed_failure(msg::kNoMatchNever, pos); }
ParseFromStartOutcome no_match_parse_from_start(const NoMatchElement&, Text) {
    return fixed_failure_from_start(msg::kNoMatchNever);
}

ParseOutcome line_start_parse_at(const LineStartElement&, Text t, Pos pos) {
    if (line_start_test(t, pos)) return ParseOutcome::success(pos);
    return fixed_failure(msg::kExpectedLineStart, pos);
}

ParseOutcome line_end_parse_at(const LineEndElement& r, Text t, Pos pos) {
    TryMatchOutcome m = line_end_try_match_at(r, t, pos);
    if (!m.matched) return fixed_failure(msg::kExpectedLineEnd, pos);
    return ParseOutcome::success(m.end, TokenList(SharedText::view("\n", 1)));
}
ParseFromStartOutcome line_end_parse_from_start(const LineEndElement& r, Text t) {
    return ParseFromStartOutcome::from(line_end_parse_at(r, t, 0));
}

ParseOutcome string_start_parse_at(const StringStartElement&, Text, Pos pos) {
    if (pos == 0) return ParseOutcome::success(0);
    return fixed_failure(msg::kExpectedStringStart, pos);
}

ParseOutcome string_end_parse_at(const StringEndElement&, Text t, Pos pos) {
    if (pos >= t.len) return ParseOutcome::success(pos);
    return fixed_failure(msg::kExpectedStringEnd, pos);
}
ParseFromStartOutcome string_end_parse_from_start(const StringEndElement& r, Text t) {
    return ParseFromStartOutcome::from(string_end_parse_at(r, t, 0));
}

// A token that would begin inside a character (a composite handing over such
// a position) starts at the next character boundary instead, so that no token
// holds a cut character; the match end is unchanged.
ParseOutcome rest_of_line_parse_at(const RestOfLineElement& r, Text t, Pos pos) {
    if (pos > t.len) return ParseOutcome::fail_stored(r.message, pos);
    Pos end = find_newline(t, pos);
    Pos start = pos;
    while (start < end && is_continuation(t.at(start))) ++start;
    return ParseOutcome::success(end, TokenList(SharedText::view(t.data + start, end - start)));
}
ParseFromStartOutcome rest_of_line_parse_from_start(const RestOfLineElement& r, Text t) {
    return ParseFromStartOutcome::from(rest_of_line_parse_at(r, t, 0));
}

const ElementVTable* empty_vtable() {
    return &KindTable<EmptyElement, empty_parse_at, empty_try_match_at, empty_parse_from_start>::table;
}
const ElementVTable* no_match_vtable() {
    return &KindTable<NoMatchElement, no_match_parse_at, no_match_try_match_at, no_match_parse_from_start>::table;
}
const ElementVTable* line_start_vtable() {
    return &KindTable<LineStartElement, line_start_parse_at, line_start_try_match_at, line_start_parse_from_start>::table;
}
const ElementVTable* line_end_vtable() {
    return &KindTable<LineEndElement, line_end_parse_at, line_end_try_match_at, line_end_parse_from_start>::table;
}
const ElementVTable* string_start_vtable() {
    return &KindTable<StringStartElement, string_start_parse_at, string_start_try_match_at,
                      string_start_parse_from_start>::table;
}
const ElementVTable* string_end_vtable() {
    return &KindTable<StringEndElement, string_end_parse_at, string_end_try_match_at, string_end_parse_from_start>::table;
}
const ElementVTable* rest_of_line_vtable() {
    return &KindTable<RestOfLineElement, rest_of_line_parse_at, rest_of_line_try_match_at,
                      rest_of_line_parse_from_start>::table;
}

}  // namespace qgx
