//! A minimal C interface to the pattern engine: compile with fixed settings,
//! search from a position, error texts, release. Every rule of the module
//! (character boundaries, iteration, shortcuts) lives on the C++ side; this
//! file only hands the engine's answers across.

use std::panic::{catch_unwind, AssertUnwindSafe};
use std::ptr;

use regex::internal::ExecBuilder;
use regex::{Regex, RegexBuilder};
use regex_syntax::hir::{Class, Hir, HirKind, Literal, RepetitionKind, RepetitionRange, WordBoundary};

mod dfa;

/// The compiled-program budget and nesting depth the module promises; both
/// equal the engine's defaults, spelled out so that an engine update cannot
/// change them silently.
const SIZE_LIMIT: usize = 10 * (1 << 20);
const NEST_LIMIT: u32 = 250;

/// The stack that compiling a pattern may take: the engine's compiler and
/// its literal analysis recurse once per nesting level. Measured on thread
/// stacks of 32 to 128 KiB: about 21 KiB for a pattern without nesting (a
/// 32 KiB thread has 25 KiB left here), and 170 to 250 bytes more a level
/// (248 levels: 70 KiB); the levels are counted at about twice that.
const STACK_PER_LEVEL: usize = 448;
const STACK_BASE: usize = 22 * 1024;

/// The budgets of the anchored matcher: states, closure steps while it is
/// made (over every byte, and over ASCII), and the table size in entries
/// (four bytes each); a matcher over every byte only for programs of at most
/// DFA_FULL_MAX_INSTS instructions. Each keeps construction within about a
/// millisecond or two.
const DFA_MAX_STATES: usize = 1000;
const DFA_FULL_MAX_INSTS: usize = 300;
const DFA_FULL_BUDGET: u64 = 100_000;
const DFA_BUDGET: u64 = 1_000_000;
const DFA_MAX_ENTRIES: usize = 1 << 15;

pub struct QgxRegex {
    re: Regex,
    // The same pattern run by the engine's NFA alone, made only for patterns
    // with a Unicode word boundary. The engine's DFA reads the byte before a
    // search's start as an ASCII character, and where its scan meets a
    // character above U+007F it gives up to an NFA that is handed the whole
    // text (a cost that grows with the text, not with the match). Such
    // searches go here; its cost follows the bytes it reads.
    nfa: Option<Regex>,
    // The anchored matcher and what can begin a match, for programs
    // compiled with QGX_COMPILE_MATCHER.
    dfa: Option<dfa::Dfa>,
    first: Option<dfa::FirstBytes>,
    literal: Option<Vec<u8>>,
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

/// Options of qgx_regex_compile (regex_abi.h holds the same layout).
#[repr(C)]
pub struct QgxCompileOptions {
    flags: u32,
    nest_limit: u32,
    stack_left: usize,
}

const QGX_COMPILE_MATCHER: u32 = 1;
const QGX_COMPILE_DFA: u32 = 2;

enum BuildError {
    Text(String),
    Stack,
}

fn parse(text: &str, nest_limit: u32) -> Result<Hir, String> {
    regex_syntax::ParserBuilder::new().nest_limit(nest_limit).build().parse(text).map_err(|e| e.to_string())
}

fn build(text: &str, opts: &QgxCompileOptions) -> Result<QgxRegex, BuildError> {
    let nest = if opts.nest_limit == 0 { NEST_LIMIT } else { opts.nest_limit };
    // The parser keeps its own stacks on the heap; what recurses is what
    // follows, once per level of the tree.
    let hir = match parse(text, nest) {
        Ok(h) => Some(h),
        Err(_) => None,
    };
    if let Some(h) = &hir {
        let need = STACK_BASE + dfa::depth(h) * STACK_PER_LEVEL;
        if opts.stack_left != 0 && opts.stack_left < need {
            return Err(BuildError::Stack);
        }
    }
    let re = RegexBuilder::new(text)
        .size_limit(SIZE_LIMIT)
        .nest_limit(nest)
        .build()
        .map_err(|e| BuildError::Text(e.to_string()))?;
    // The pattern compiled, so it parsed.
    let hir = match hir {
        Some(h) => h,
        None => parse(text, nest).map_err(BuildError::Text)?,
    };
    let nfa = if has_unicode_word_boundary(&hir) {
        // The builder's defaults are the module's limits; a text nested past
        // them (a wrapped form) goes without the twin.
        ExecBuilder::new(text).nfa().build().ok().map(|e| e.into_regex())
    } else {
        None
    };
    let mut out = QgxRegex { re, nfa, dfa: None, first: None, literal: None };
    if opts.flags & QGX_COMPILE_MATCHER != 0 {
        // The matcher answers as the engine does, and the engine answers a
        // program of plain literals with its literal searcher.
        let program = match dfa::engine_search(&hir) {
            dfa::EngineSearch::Automata => dfa::anchored_program(&hir, SIZE_LIMIT),
            dfa::EngineSearch::Prefixes(lits) => dfa::anchored_program(&dfa::literal_alternation(&lits), SIZE_LIMIT),
            dfa::EngineSearch::Suffixes => None,
        };
        if let Some(prog) = program {
            out.first = dfa::first_bytes(&prog);
            if opts.flags & QGX_COMPILE_DFA != 0 {
                let fits = |d: &dfa::Dfa| d.trans.len() <= DFA_MAX_ENTRIES;
                // Over every byte for a program small enough (a class of all
                // but a few characters is); else, or past the budget, over
                // ASCII only, leaving text above U+007F to the engine (large
                // Unicode classes such as \w make many states for it).
                if prog.insts.len() <= DFA_FULL_MAX_INSTS && !prog.has_unicode_word_boundary {
                    out.dfa = dfa::determinise(&prog, DFA_MAX_STATES, DFA_FULL_BUDGET, false).filter(fits);
                }
                if out.dfa.is_none() {
                    out.dfa = dfa::determinise(&prog, DFA_MAX_STATES, DFA_BUDGET, true).filter(fits);
                }
            }
        }
        out.literal = dfa::plain_literal(&hir);
    }
    Ok(out)
}

/// Outcome codes of the calls below.
const QGX_OK: i32 = 0;
const QGX_ERROR: i32 = 1;
const QGX_PANIC: i32 = 2;
const QGX_STACK: i32 = 3;

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

/// Compiles `pattern` (UTF-8) with `opts`. On QGX_OK `*out` owns the
/// program; on QGX_ERROR `*error`/`*error_len` own the engine's description
/// (release with qgx_text_free). QGX_STACK means the calling thread's stack
/// (opts.stack_left bytes) is too short to compile it; QGX_PANIC that the
/// engine failed internally. Nothing was made then.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_compile(
    pattern: *const u8,
    pattern_len: usize,
    opts: *const QgxCompileOptions,
    out: *mut *mut QgxRegex,
    error: *mut *mut u8,
    error_len: *mut usize,
) -> i32 {
    *out = ptr::null_mut();
    *error = ptr::null_mut();
    *error_len = 0;
    let raw = bytes(pattern, pattern_len);
    let opts = &*opts;
    let r = catch_unwind(AssertUnwindSafe(|| {
        let text = match std::str::from_utf8(raw) {
            Ok(t) => t,
            Err(_) => return Err(BuildError::Text("pattern is not valid UTF-8".to_string())),
        };
        build(text, opts)
    }));
    match r {
        Ok(Ok(re)) => {
            *out = Box::into_raw(Box::new(re));
            QGX_OK
        }
        Ok(Err(BuildError::Text(text))) => {
            let (p, n) = leak_text(text);
            *error = p;
            *error_len = n;
            QGX_ERROR
        }
        Ok(Err(BuildError::Stack)) => QGX_STACK,
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
/// `start`, the bytes before `start` seen as context. `force_nfa` sends a
/// pattern with a Unicode word boundary to its NFA twin. Gives 1 and the
/// span, 0 for no match, -1 when the engine failed internally.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_find_at(
    re: *const QgxRegex,
    text: *const u8,
    text_len: usize,
    start: usize,
    force_nfa: i32,
    match_start: *mut usize,
    match_end: *mut usize,
) -> i32 {
    let raw = bytes(text, text_len);
    let hay = std::str::from_utf8_unchecked(raw);
    let r = &*re;
    let engine = match &r.nfa {
        Some(nfa) if force_nfa != 0 || (start > 0 && start <= raw.len() && raw[start - 1] >= 0x80) => nfa,
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

/// Whether the program has the NFA twin (a Unicode word boundary): 1 or 0.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_has_nfa_twin(re: *const QgxRegex) -> i32 {
    (*re).nfa.is_some() as i32
}

/// The anchored matcher's tables (regex_abi.h holds the same layout).
#[repr(C)]
pub struct QgxDfaView {
    classes: *const u8,
    trans: *const u32,
    stride: u32,
    start: u32,
    stays: *const u8,
}

/// Fills `*view` and gives 1 when the program has an anchored matcher, else
/// 0. The tables live as long as the program.
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_dfa(re: *const QgxRegex, view: *mut QgxDfaView) -> i32 {
    match &(*re).dfa {
        Some(d) => {
            *view = QgxDfaView {
                classes: d.classes.as_ptr(),
                trans: d.trans.as_ptr(),
                stride: d.stride,
                start: d.start,
                stays: d.stays.as_ptr(),
            };
            1
        }
        None => 0,
    }
}

/// What can begin a match of the program at a position: `bytes` (four
/// words, bit b of word b / 64 for byte b), `*flags` bit 0 when it can match
/// at the end of the text, bit 1 when some match is empty; `*literal` and
/// `*literal_len` the text the pattern is, when it is a plain non-empty
/// sequence of characters (else null and 0; the bytes live as long as the
/// program). Gives 1, or 0 when nothing is known (all left untouched).
#[no_mangle]
pub unsafe extern "C" fn qgx_regex_first_bytes(
    re: *const QgxRegex,
    bytes_out: *mut u64,
    flags: *mut u32,
    literal: *mut *const u8,
    literal_len: *mut usize,
) -> i32 {
    let r = &*re;
    let f = match &r.first {
        Some(f) => f,
        None => return 0,
    };
    for i in 0..4 {
        *bytes_out.add(i) = f.bytes[i];
    }
    *flags = (f.at_end as u32) | ((f.empty as u32) << 1);
    match &r.literal {
        Some(l) => {
            *literal = l.as_ptr();
            *literal_len = l.len();
        }
        None => {
            *literal = ptr::null();
            *literal_len = 0;
        }
    }
    1
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
    let mut stack = vec![h];
    while let Some(h) = stack.pop() {
        match h.kind() {
            HirKind::Group(g) => stack.push(&g.hir),
            HirKind::Concat(v) => stack.extend(v.iter().rev()),
            HirKind::Empty => {}
            _ => out.push(h),
        }
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
