//! A minimal C interface to the pattern engine: compile with fixed settings,
//! search from a position, error texts, release. Every rule of the module
//! (character boundaries, iteration, shortcuts) lives on the C++ side; this
//! file only hands the engine's answers across.

use std::panic::{catch_unwind, AssertUnwindSafe};
use std::ptr;

use regex::internal::ExecBuilder;
use regex::{Regex, RegexBuilder};
use regex_syntax::hir::{Class, Hir, HirKind, Literal, RepetitionKind, WordBoundary};

/// The compiled-program budget and nesting depth the module promises; both
/// equal the engine's defaults, spelled out so that an engine update cannot
/// change them silently.
const SIZE_LIMIT: usize = 10 * (1 << 20);
const NEST_LIMIT: u32 = 250;

pub struct QgxRegex {
    re: Regex,
    // The same pattern run by the engine's NFA alone, made only for patterns
    // with a Unicode word boundary. The engine's DFA reads the byte before a
    // search's start as an ASCII character; after a non-ASCII character that
    // gives a wrong "\b"/"\B" at the start whenever the scan itself stays
    // ASCII (so the DFA never gives up to the NFA). Such searches go here.
    nfa: Option<Regex>,
}

/// Whether the pattern holds a Unicode-aware word-boundary assertion.
fn has_unicode_word_boundary(hir: &Hir) -> bool {
    let mut stack: Vec<&Hir> = vec![hir];
    while let Some(h) = stack.pop() {
        match h.kind() {
            HirKind::WordBoundary(WordBoundary::Unicode) | HirKind::WordBoundary(WordBoundary::UnicodeNegate) => {
                return true
            }
            HirKind::Repetition(r) => stack.push(&r.hir),
            HirKind::Group(g) => stack.push(&g.hir),
            HirKind::Concat(v) | HirKind::Alternation(v) => stack.extend(v.iter()),
            _ => {}
        }
    }
    false
}

fn build(text: &str) -> Result<QgxRegex, String> {
    let re = RegexBuilder::new(text)
        .size_limit(SIZE_LIMIT)
        .nest_limit(NEST_LIMIT)
        .build()
        .map_err(|e| e.to_string())?;
    // The pattern compiled, so it parses; its syntax tree says whether the
    // NFA twin is needed.
    let hir = regex_syntax::ParserBuilder::new().nest_limit(NEST_LIMIT).build().parse(text).map_err(|e| e.to_string())?;
    let nfa = if has_unicode_word_boundary(&hir) {
        // The builder's defaults are the limits above.
        Some(ExecBuilder::new(text).nfa().build().map_err(|e| e.to_string())?.into_regex())
    } else {
        None
    };
    Ok(QgxRegex { re, nfa })
}

/// Outcome codes of the calls below.
const QGX_OK: i32 = 0;
const QGX_ERROR: i32 = 1;
const QGX_PANIC: i32 = 2;

fn leak_text(s: String) -> (*mut u8, usize) {
    let b = s.into_bytes().into_boxed_slice();
    let n = b.len();
    (Box::into_raw(b) as *mut u8, n)
}

unsafe fn bytes<'a>(p: *const u8, n: usize) -> &'a [u8] {
    if n == 0 {
        &[]
    } else {
        std::slice::from_raw_parts(p, n)
    }
}

/// Compiles `pattern` (UTF-8). On QGX_OK `*out` owns the program; on
/// QGX_ERROR `*error`/`*error_len` own the engine's description (release
/// with qgx_text_free). QGX_PANIC means the engine failed internally and
/// nothing was made.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_compile(
    pattern: *const u8,
    pattern_len: usize,
    out: *mut *mut QgxRegex,
    error: *mut *mut u8,
    error_len: *mut usize,
) -> i32 {
    *out = ptr::null_mut();
    *error = ptr::null_mut();
    *error_len = 0;
    let raw = bytes(pattern, pattern_len);
    let r = catch_unwind(AssertUnwindSafe(|| {
        let text = match std::str::from_utf8(raw) {
            Ok(t) => t,
            Err(_) => return Err("pattern is not valid UTF-8".to_string()),
        };
        build(text)
    }));
    match r {
        Ok(Ok(re)) => {
            *out = Box::into_raw(Box::new(re));
            QGX_OK
        }
        Ok(Err(text)) => {
            let (p, n) = leak_text(text);
            *error = p;
            *error_len = n;
            QGX_ERROR
        }
        Err(_) => QGX_PANIC,
    }
}

/// Parses `pattern` on its own, as the engine's parser reads it, without
/// compiling it. QGX_OK when it parses; QGX_ERROR with the engine's text
/// (release with qgx_text_free) when it does not.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_check_syntax(
    pattern: *const u8,
    pattern_len: usize,
    error: *mut *mut u8,
    error_len: *mut usize,
) -> i32 {
    *error = ptr::null_mut();
    *error_len = 0;
    let raw = bytes(pattern, pattern_len);
    let r = catch_unwind(AssertUnwindSafe(|| {
        let text = match std::str::from_utf8(raw) {
            Ok(t) => t,
            Err(_) => return Err("pattern is not valid UTF-8".to_string()),
        };
        regex_syntax::ParserBuilder::new()
            .nest_limit(NEST_LIMIT)
            .build()
            .parse(text)
            .map(|_| ())
            .map_err(|e| e.to_string())
    }));
    match r {
        Ok(Ok(())) => QGX_OK,
        Ok(Err(text)) => {
            let (p, n) = leak_text(text);
            *error = p;
            *error_len = n;
            QGX_ERROR
        }
        Err(_) => QGX_PANIC,
    }
}

#[no_mangle]
pub unsafe extern "C" fn qgx_text_free(text: *mut u8, len: usize) {
    if !text.is_null() {
        drop(Box::from_raw(ptr::slice_from_raw_parts_mut(text, len)));
    }
}

#[no_mangle]
pub unsafe extern "C" fn qgx_regex_free(re: *mut QgxRegex) {
    if !re.is_null() {
        drop(Box::from_raw(re));
    }
}

/// The leftmost-first match of `text` (valid UTF-8) that begins at or after
/// `start`, the bytes before `start` seen as context. Gives 1 and the span,
/// 0 for no match, -1 when the engine failed internally.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_find_at(
    re: *const QgxRegex,
    text: *const u8,
    text_len: usize,
    start: usize,
    match_start: *mut usize,
    match_end: *mut usize,
) -> i32 {
    let raw = bytes(text, text_len);
    let hay = std::str::from_utf8_unchecked(raw);
    let r = &*re;
    let engine = match &r.nfa {
        Some(nfa) if start > 0 && start <= raw.len() && raw[start - 1] >= 0x80 => nfa,
        _ => &r.re,
    };
    match catch_unwind(AssertUnwindSafe(|| engine.find_at(hay, start).map(|m| (m.start(), m.end())))) {
        Ok(Some((s, e))) => {
            *match_start = s;
            *match_end = e;
            1
        }
        Ok(None) => 0,
        Err(_) => -1,
    }
}

/// Whether `text` (valid UTF-8) holds a match anywhere: 1, 0, or -1 when the
/// engine failed internally.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_is_match(re: *const QgxRegex, text: *const u8, text_len: usize) -> i32 {
    let hay = std::str::from_utf8_unchecked(bytes(text, text_len));
    let re = &(*re).re;
    match catch_unwind(AssertUnwindSafe(|| re.is_match(hay))) {
        Ok(true) => 1,
        Ok(false) => 0,
        Err(_) => -1,
    }
}

/// Whether `pattern` is one greedy repetition "X+" of a single character or
/// character class (inside any groups), as the engine's parser reads it.
/// When it is, `members` (two words) gets bit c set for every ASCII
/// character c of that class, taken from the engine's own class, so that a
/// caller may answer runs of ASCII bytes without a search. 1 when it is, 0
/// when it is not (or on an internal failure).
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_ascii_run_class(pattern: *const u8, pattern_len: usize, members: *mut u64) -> i32 {
    let raw = bytes(pattern, pattern_len);
    let r = catch_unwind(AssertUnwindSafe(|| -> Option<[u64; 2]> {
        let text = std::str::from_utf8(raw).ok()?;
        let hir = regex_syntax::ParserBuilder::new().nest_limit(NEST_LIMIT).build().parse(text).ok()?;
        let mut h = &hir;
        while let HirKind::Group(g) = h.kind() {
            h = &g.hir;
        }
        let rep = match h.kind() {
            HirKind::Repetition(r) if r.greedy && matches!(r.kind, RepetitionKind::OneOrMore) => r,
            _ => return None,
        };
        let mut body = &*rep.hir;
        while let HirKind::Group(g) = body.kind() {
            body = &g.hir;
        }
        let mut set = [0u64; 2];
        let mut add = |lo: u32, hi: u32| {
            for c in lo..=hi.min(127) {
                set[(c / 64) as usize] |= 1u64 << (c % 64);
            }
        };
        match body.kind() {
            HirKind::Literal(Literal::Unicode(c)) => add(*c as u32, *c as u32),
            HirKind::Literal(Literal::Byte(b)) => add(*b as u32, *b as u32),
            HirKind::Class(Class::Unicode(cls)) => {
                for r in cls.ranges() {
                    add(r.start() as u32, r.end() as u32)
                }
            }
            HirKind::Class(Class::Bytes(cls)) => {
                for r in cls.ranges() {
                    add(r.start() as u32, r.end() as u32)
                }
            }
            _ => return None,
        }
        Some(set)
    }));
    match r {
        Ok(Some(set)) => {
            *members = set[0];
            *members.add(1) = set[1];
            1
        }
        _ => 0,
    }
}
