// Line, position and constant kinds: Empty, NoMatch, LineStart, LineEnd,
// StringStart, StringEnd, rest_of_line. Only 0x0A ends a line.
#pragma once

#include "elements/element.hpp"

namespace qgx {

struct EmptyElement : ElementHeader {};
struct NoMatchElement : ElementHeader {};
struct LineStartElement : ElementHeader {};
struct LineEndElement : ElementHeader {};
struct StringStartElement : ElementHeader {};
struct StringEndElement : ElementHeader {};
struct RestOfLineElement : ElementHeader {
    SharedText message;  // "Expected rest of line", shared into every failure
};

// The one success routine of Empty, LineStart and StringStart at position 0.
ParseFromStartOutcome always_matches_from_start(Text t);

// The offset of the first 0x0A at or after `from`, or t.len.
Pos find_newline(Text t, Pos from);

inline ParseOutcome empty_parse_at(const EmptyElement&, Text, Pos pos) { return ParseOutcome::success(pos); }
inline TryMatchOutcome empty_try_match_at(const EmptyElement&, Text, Pos pos) { return TryMatchOutcome::yes(pos); }
inline ParseFromStartOutcome empty_parse_from_start(const EmptyElement&, Text t) { return always_matches_from_start(t); }

ParseOutcome no_match_parse_at(const NoMatchElement&, Text, Pos pos);
inline TryMatchOutcome no_match_try_match_at(const NoMatchElement&, Text, Pos) { return TryMatchOutcome::no(); }
ParseFromStartOutcome no_match_parse_from_start(const NoMatchElement&, Text);

inline bool line_start_test(Text t, Pos pos) { return pos == 0 || (pos - 1 < t.len && t.at(pos - 1) == '\n'); }
ParseOutcome line_start_parse_at(const LineStartElement&, Text t, Pos pos);
inline TryMatchOutcome line_start_try_match_at(const LineStartElement&, Text t, Pos pos) {
    return line_start_test(t, pos) ? TryMatchOutcome::yes(pos) : TryMatchOutcome::no();
}
inline ParseFromStartOutcome line_start_parse_from_start(const LineStartElement&, Text t) {
    return always_matches_from_start(t);
}

inline TryMatchOutcome line_end_try_match_at(const LineEndElement&, Text t, Pos pos) {
    if (pos >= t.len) return TryMatchOutcome::yes(pos);
    return t.at(pos) == '\n' ? TryMatchOutcome::yes(pos + 1) : TryMatchOutcome::no();
}
ParseOutcome line_end_parse_at(const LineEndElement&, Text t, Pos pos);
ParseFromStartOutcome line_end_parse_from_start(const LineEndElement&, Text t);

inline TryMatchOutcome string_start_try_match_at(const StringStartElement&, Text, Pos pos) {
    return pos == 0 ? TryMatchOutcome::yes(0) : TryMatchOutcome::no();
}
ParseOutcome string_start_parse_at(const StringStartElement&, Text t, Pos pos);
inline ParseFromStartOutcome string_start_parse_from_start(const StringStartElement&, Text t) {
    return always_matches_from_start(t);
}

inline TryMatchOutcome string_end_try_match_at(const StringEndElement&, Text t, Pos pos) {
    return pos >= t.len ? TryMatchOutcome::yes(pos) : TryMatchOutcome::no();
}
ParseOutcome string_end_parse_at(const StringEndElement&, Text t, Pos pos);
ParseFromStartOutcome string_end_parse_from_start(const StringEndElement&, Text t);

inline TryMatchOutcome rest_of_line_try_match_at(const RestOfLineElement&, Text t, Pos pos) {
    if (pos > t.len) return TryMatchOutcome::no();
    return TryMatchOutcome::yes(find_newline(t, pos));
}
ParseOutcome rest_of_line_parse_at(const RestOfLineElement& r, Text t, Pos pos);
ParseFromStartOutcome rest_of_line_parse_from_start(const RestOfLineElement& r, Text t);

// The kinds' interface tables.
const ElementVTable* empty_vtable();
const ElementVTable* no_match_vtable();
const ElementVTable* line_start_vtable();
const ElementVTable* line_end_vtable();
const ElementVTable* string_start_vtable();
const ElementVTable* string_end_vtable();
const ElementVTable* rest_of_line_vtable();

}  // namespace qgx
