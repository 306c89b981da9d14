//! A minimal C interface to the pattern engine: compile with fixed settings,
//! search from a position, error texts, release. Every rule of the module
//! (character boundaries, iteration, shortcuts) lives on the C++ side; this
//! file only hands the engine's answers across.

use std::panic::{catch_unwind, AssertUnwindSafe};
use std::ptr;

use regex::internal::ExecBuilder;
use regex::{Regex, RegexBuilder};
use regex_syntax::hir::{Class, Hir, HirKind, Literal, RepetitionKind, RepetitionRange, WordBoundary};

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

/// How an atom of a shape treats the characters above U+007F.
const WIDE_NONE: u8 = 0;
const WIDE_ALL: u8 = 1;
const WIDE_SOME: u8 = 2;

/// The ASCII members of a single-character atom (a literal or a class) and
/// how it treats the characters above U+007F; None when `h` is no such atom.
fn atom_members(h: &Hir) -> Option<([u64; 2], u8)> {
    let mut set = [0u64; 2];
    let mut wide: u64 = 0;
    let add = |set: &mut [u64; 2], lo: u32, hi: u32| {
        for c in lo..=hi.min(127) {
            set[(c / 64) as usize] |= 1u64 << (c % 64);
        }
    };
    // Every character above U+007F: the code points 0x80..=0x10FFFF less
    // the surrogates, which are no characters.
    const ALL_WIDE: u64 = 0x10FFFF - 0x80 + 1 - 0x800;
    let mut add_wide = |lo: u32, hi: u32| {
        let (lo, hi) = (lo.max(0x80) as u64, hi as u64);
        if lo <= hi {
            let (slo, shi) = (lo.max(0xD800), hi.min(0xDFFF));
            wide += hi - lo + 1 - if slo <= shi { shi - slo + 1 } else { 0 };
        }
    };
    let mut h = h;
    while let HirKind::Group(g) = h.kind() {
        h = &g.hir;
    }
    match h.kind() {
        HirKind::Literal(Literal::Unicode(c)) => {
            add(&mut set, *c as u32, *c as u32);
            add_wide(*c as u32, *c as u32);
        }
        HirKind::Literal(Literal::Byte(b)) => {
            add(&mut set, *b as u32, *b as u32);
            if *b >= 0x80 {
                return None;
            }
        }
        HirKind::Class(Class::Unicode(cls)) => {
            for r in cls.ranges() {
                add(&mut set, r.start() as u32, r.end() as u32);
                add_wide(r.start() as u32, r.end() as u32);
            }
        }
        HirKind::Class(Class::Bytes(cls)) => {
            for r in cls.ranges() {
                if r.end() >= 0x80 {
                    return None;
                }
                add(&mut set, r.start() as u32, r.end() as u32);
            }
        }
        _ => return None,
    }
    let kind = if wide == 0 {
        WIDE_NONE
    } else if wide == ALL_WIDE {
        WIDE_ALL
    } else {
        WIDE_SOME
    };
    Some((set, kind))
}

/// The items of a concatenation in order, through groups and nested
/// concatenations, empty items left out.
fn flatten<'a>(h: &'a Hir, out: &mut Vec<&'a Hir>) {
    match h.kind() {
        HirKind::Group(g) => flatten(&g.hir, out),
        HirKind::Concat(v) => v.iter().for_each(|x| flatten(x, out)),
        HirKind::Empty => {}
        _ => out.push(h),
    }
}

/// Whether `pattern` is, as the engine's parser reads it, a run of at most
/// `max_head` single-character atoms (literals or classes, "X{n}" counting n
/// times) followed by at most one greedy "R*" or "R+" of a single-character
/// atom, matching no empty text. When it is, `members` gets two words per
/// atom, the head's in order then the run's (all zero when there is none):
/// bit c for each ASCII character c the atom takes, from the engine's own
/// class; `wide` gets one byte per atom: 0 when it takes no character above
/// U+007F, 1 when it takes every one, 2 otherwise; `run_min` gets the least
/// number of run characters (0 or 1). Gives the number of head atoms plus
/// one, or 0 when the pattern is not of this shape (or on an internal
/// failure). Such a pattern holds no assertion, and at each start its
/// leftmost-first match is its longest, so a caller may read its matches
/// over ASCII text without a search.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_ascii_shape(
    pattern: *const u8,
    pattern_len: usize,
    max_head: usize,
    members: *mut u64,
    wide: *mut u8,
    run_min: *mut i32,
) -> i32 {
    let raw = bytes(pattern, pattern_len);
    let r = catch_unwind(AssertUnwindSafe(|| -> Option<(Vec<([u64; 2], u8)>, ([u64; 2], u8), i32)> {
        let text = std::str::from_utf8(raw).ok()?;
        let hir = regex_syntax::ParserBuilder::new().nest_limit(NEST_LIMIT).build().parse(text).ok()?;
        let mut items = Vec::new();
        flatten(&hir, &mut items);
        let mut head = Vec::new();
        let mut run = None;
        for (i, item) in items.iter().enumerate() {
            if let Some(a) = atom_members(item) {
                head.push(a);
            } else if let HirKind::Repetition(rep) = item.kind() {
                let a = atom_members(&rep.hir)?;
                match (&rep.kind, rep.greedy) {
                    (RepetitionKind::Range(RepetitionRange::Exactly(n)), _) if (*n as usize) <= max_head => {
                        head.extend(std::iter::repeat(a).take(*n as usize))
                    }
                    (RepetitionKind::ZeroOrMore | RepetitionKind::Range(RepetitionRange::AtLeast(0)), true)
                        if i + 1 == items.len() =>
                    {
                        run = Some((a, 0))
                    }
                    (RepetitionKind::OneOrMore | RepetitionKind::Range(RepetitionRange::AtLeast(1)), true)
                        if i + 1 == items.len() =>
                    {
                        run = Some((a, 1))
                    }
                    _ => return None,
                }
            } else {
                return None;
            }
            if head.len() > max_head {
                return None;
            }
        }
        let (run, min) = run.unwrap_or((([0, 0], WIDE_NONE), 0));
        if head.is_empty() && min == 0 {
            return None;
        }
        Some((head, run, min))
    }));
    match r {
        Ok(Some((head, run, min))) => {
            for (i, (set, kind)) in head.iter().chain(std::iter::once(&run)).enumerate() {
                *members.add(2 * i) = set[0];
                *members.add(2 * i + 1) = set[1];
                *wide.add(i) = *kind;
            }
            *run_min = min;
            head.len() as i32 + 1
        }
        _ => 0,
    }
}
