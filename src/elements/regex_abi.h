/* The C interface of the pattern engine (rust/qgx_regex/src/lib.rs). Texts
 * are UTF-8; spans are byte offsets. No call unwinds into the caller: an
 * internal failure of the engine is reported as its own outcome. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QgxRegex QgxRegex;

enum { QGX_OK = 0, QGX_ERROR = 1, QGX_PANIC = 2, QGX_STACK = 3 };

/* How to compile. flags: QGX_COMPILE_MATCHER reads what can begin a match
 * at a position (qgx_regex_first_bytes), QGX_COMPILE_DFA (with it) also
 * makes the anchored matcher (qgx_regex_dfa); both read the text as matched
 * at a position only. nest_limit 0 is the module's 250. stack_left, when not
 * 0, is the stack the calling thread has left: a pattern nested too deeply
 * for it is refused with QGX_STACK instead of being compiled. */
typedef struct QgxCompileOptions {
    uint32_t flags;
    uint32_t nest_limit;
    size_t stack_left;
} QgxCompileOptions;
enum { QGX_COMPILE_MATCHER = 1, QGX_COMPILE_DFA = 2 };

/* Compiles with the module's settings; QGX_ERROR hands over the engine's
 * description in *error (release with qgx_text_free). */
int32_t qgx_regex_compile(const uint8_t* pattern, size_t pattern_len, const QgxCompileOptions* options,
                          QgxRegex** out, uint8_t** error, size_t* error_len);
/* Parses a pattern on its own without compiling it; QGX_ERROR as above. */
int32_t qgx_regex_check_syntax(const uint8_t* pattern, size_t pattern_len, uint8_t** error, size_t* error_len);
void qgx_text_free(uint8_t* text, size_t len);
void qgx_regex_free(QgxRegex* re);
/* The leftmost-first match beginning at or after `start`, the text before it
 * seen as context: 1 with the span, 0 for none, -1 for an engine failure.
 * force_nfa sends a pattern that has the NFA twin to it. */
int32_t qgx_regex_find_at(const QgxRegex* re, const uint8_t* text, size_t text_len, size_t start, int32_t force_nfa,
                          size_t* match_start, size_t* match_end);
/* 1 when the pattern has a Unicode word boundary and so an NFA twin, whose
 * cost follows the bytes it reads where the engine's DFA would give up to a
 * search of the whole text. */
int32_t qgx_regex_has_nfa_twin(const QgxRegex* re);

/* The anchored matcher: classes[256] maps a byte to its column; a state is
 * the offset of its row in trans (stride columns, the last one the end of
 * the text); an entry is the next state's offset with the flags below. */
typedef struct QgxDfaView {
    const uint8_t* classes;
    const uint32_t* trans;
    uint32_t stride;
    uint32_t start;
    /* 256 bytes a looping state: 0 leaves it, 1 keeps it, 2 keeps it and matches. */
    const uint8_t* stays;
} QgxDfaView;
/* MATCH: the text up to this byte matched; DEAD: no match ends later; QUIT:
 * a byte only the engine can decide; ACCEL: one plus the next state's row in
 * stays, or 0; the low bits the next state's offset. */
#define QGX_DFA_MATCH 0x80000000u
#define QGX_DFA_DEAD 0x40000000u
#define QGX_DFA_QUIT 0x20000000u
#define QGX_DFA_ACCEL_SHIFT 18
#define QGX_DFA_ACCEL 0x0FFC0000u
#define QGX_DFA_OFFSET 0x0003FFFFu
/* 1 and the tables when the program has an anchored matcher; else 0. */
int32_t qgx_regex_dfa(const QgxRegex* re, QgxDfaView* view);
/* What can begin a match at a position: bytes[4] (bit b % 64 of word b / 64),
 * *flags bit 0 for a match at the end of the text, bit 1 for some empty
 * match; *literal, *literal_len the plain non-empty text the pattern is, or
 * null. 1, or 0 when unknown. */
int32_t qgx_regex_first_bytes(const QgxRegex* re, uint64_t* bytes, uint32_t* flags, const uint8_t** literal,
                              size_t* literal_len);
/* Whether the pattern is up to max_head single-character atoms followed by
 * at most one greedy "R*" or "R+" of one, matching no empty text. If so it
 * gives the number of head atoms plus one: members gets two words per atom
 * (head, then run; bit c for each ASCII character c taken), wide one byte per
 * atom (0: no character above U+007F, 1: all of them, 2: some), *run_min the
 * least run length (0 or 1). Else 0. members and wide hold max_head + 1 atoms. */
int32_t qgx_regex_ascii_shape(const uint8_t* pattern, size_t pattern_len, size_t max_head, uint64_t* members,
                              uint8_t* wide, int32_t* run_min);
/* Whether the text holds a match anywhere: 1, 0, or -1 for an engine failure. */
int32_t qgx_regex_is_match(const QgxRegex* re, const uint8_t* text, size_t text_len);

#ifdef __cplusplus
}
#endif
