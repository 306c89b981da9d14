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

enum { QGX_OK = 0, QGX_ERROR = 1, QGX_PANIC = 2 };

/* Compiles with the module's settings; QGX_ERROR hands over the engine's
 * description in *error (release with qgx_text_free). */
int32_t qgx_regex_compile(const uint8_t* pattern, size_t pattern_len, QgxRegex** out, uint8_t** error,
                          size_t* error_len);
/* Parses a pattern on its own without compiling it; QGX_ERROR as above. */
int32_t qgx_regex_check_syntax(const uint8_t* pattern, size_t pattern_len, uint8_t** error, size_t* error_len);
void qgx_text_free(uint8_t* text, size_t len);
void qgx_regex_free(QgxRegex* re);
/* The leftmost-first match beginning at or after `start`, the text before it
 * seen as context: 1 with the span, 0 for none, -1 for an engine failure. */
int32_t qgx_regex_find_at(const QgxRegex* re, const uint8_t* text, size_t text_len, size_t start,
                          size_t* match_start, size_t* match_end);
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
