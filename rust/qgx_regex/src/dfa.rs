//! The anchored matcher made ahead of time: the byte program that the
//! engine's own compiler makes for its lazy DFA (same instructions, same
//! order of alternatives), determinised at construction under a state and a
//! work budget. It follows the engine's lazy DFA step for step (epsilon
//! closure in the same order, look-around resolved with the byte before and
//! the byte after, a match noted one byte late and lower alternatives cut at
//! it), so at every start its answer is the engine's anchored answer.
//!
//! The table is read on the C++ side. Each entry is the next state's offset
//! in the table (state index times the stride) with three flags: MATCH (the
//! text up to this byte matched), DEAD (no match can end later) and QUIT (the
//! engine must answer: a byte above 0x7F where the matcher cannot decide). The
//! last column of each row is the end of the text. An entry into a state that
//! loops on itself over some bytes also holds, in the ACCEL bits, one plus
//! the number of that state's row in `stays`: 256 bytes, 0 for a byte that
//! leaves the state, 1 for one that keeps it, 2 for one that keeps it and
//! matches, so that a run of such bytes is stepped over without the table.

use std::collections::HashMap;

use regex::internal::{Compiler, EmptyLook, Inst, LiteralSearcher, Program};
use regex_syntax::hir::literal::Literals;
use regex_syntax::hir::{self, Hir, HirKind};

pub const MATCH: u32 = 1 << 31;
pub const DEAD: u32 = 1 << 30;
pub const QUIT: u32 = 1 << 29;
pub const ACCEL_SHIFT: u32 = 18;
const ACCEL_ROWS: u32 = 0x3FF;
const OFFSET: u32 = (1 << ACCEL_SHIFT) - 1;

/// The program of `hir` matched at a position only: the engine's DFA
/// program of `hir` when it is anchored at its start (the module's texts
/// are), else of `^(?:hir)`.
pub fn anchored_program(hir: &Hir, size_limit: usize) -> Option<Program> {
    let compiler = Compiler::new().size_limit(size_limit).dfa(true).only_utf8(true);
    if hir.is_anchored_start() {
        return compiler.compile(std::slice::from_ref(hir)).ok();
    }
    let anchored = Hir::concat(vec![Hir::anchor(hir::Anchor::StartText), hir.clone()]);
    compiler.compile(&[anchored]).ok()
}

/// How the engine searches a program that is anchored at its start.
pub enum EngineSearch {
    /// With its automata: the program's own answers.
    Automata,
    /// With its literal prefixes, when they are all of its matches: the
    /// first of them, in the searcher's order, that the text begins with.
    /// That order need not be the pattern's order of preference, so the
    /// answer can differ from the program's; these are the engine's.
    Prefixes(Vec<Vec<u8>>),
    /// With literal suffixes: left to the engine.
    Suffixes,
}

/// The engine's choice for `hir` (parsed from the text it compiles), taken
/// as its builder takes it: literal prefixes, then suffixes, when complete.
pub fn engine_search(hir: &Hir) -> EngineSearch {
    let mut prefixes = Literals::empty();
    if (hir.is_anchored_start() || !hir.is_any_anchored_start()) && !prefixes.union_prefixes(hir) {
        prefixes = Literals::empty();
    }
    let searcher = LiteralSearcher::prefixes(prefixes);
    if searcher.complete() {
        return EngineSearch::Prefixes(searcher.iter().map(|l| l.to_vec()).collect());
    }
    let mut suffixes = Literals::empty();
    if (hir.is_anchored_end() || !hir.is_any_anchored_end()) && !suffixes.union_suffixes(hir) {
        suffixes = Literals::empty();
    }
    if LiteralSearcher::suffixes(suffixes).complete() {
        return EngineSearch::Suffixes;
    }
    EngineSearch::Automata
}

/// The alternation of `lits` in their order, as bytes.
pub fn literal_alternation(lits: &[Vec<u8>]) -> Hir {
    let literal = |l: &Vec<u8>| -> Hir {
        let items = match std::str::from_utf8(l) {
            Ok(text) => text.chars().map(|c| Hir::literal(hir::Literal::Unicode(c))).collect(),
            // A literal that cuts a character (none is expected): its bytes.
            Err(_) => l
                .iter()
                .map(|&b| Hir::literal(if b < 0x80 { hir::Literal::Unicode(b as char) } else { hir::Literal::Byte(b) }))
                .collect(),
        };
        Hir::concat(items)
    };
    let mut alts: Vec<Hir> = lits.iter().map(literal).collect();
    if alts.len() == 1 {
        alts.pop().unwrap()
    } else {
        Hir::alternation(alts)
    }
}

#[derive(Clone, Copy, Default)]
struct Flags {
    start: bool,
    end: bool,
    start_line: bool,
    end_line: bool,
    word_boundary: bool,
    not_word_boundary: bool,
}

fn is_word_byte(b: u8) -> bool {
    b.is_ascii_alphanumeric() || b == b'_'
}

/// An ordered set of instruction indices (insertion order is priority).
struct SparseSet {
    dense: Vec<u32>,
    sparse: Vec<u32>,
}

impl SparseSet {
    fn new(n: usize) -> Self {
        SparseSet { dense: Vec::with_capacity(n), sparse: vec![0; n] }
    }
    fn contains(&self, ip: u32) -> bool {
        let i = self.sparse[ip as usize] as usize;
        i < self.dense.len() && self.dense[i] == ip
    }
    fn insert(&mut self, ip: u32) {
        self.sparse[ip as usize] = self.dense.len() as u32;
        self.dense.push(ip);
    }
    fn clear(&mut self) {
        self.dense.clear();
    }
}

/// One symbol of the input: a byte, or the end of the text.
#[derive(Clone, Copy)]
enum Symbol {
    Byte(u8),
    End,
}

struct Determiniser<'a> {
    prog: &'a Program,
    stack: Vec<u32>,
    qcur: SparseSet,
    qnext: SparseSet,
    // Closure steps left before the matcher is given up.
    budget: u64,
    // Bytes above 0x7F end the match here (QUIT).
    quit_wide: bool,
    // The program holds a word-boundary look, so states keep whether the
    // byte before was a word byte.
    word_looks: bool,
    // The start states made so far, by first symbol: a word byte, another
    // byte, the end of the text.
    starts: [Option<Option<StateKey>>; 3],
}

/// A state: the program's byte, look and match instructions reached, in
/// priority order and cut after the first match, and whether the byte before
/// was a word byte (read only by the word-boundary looks).
#[derive(Clone, PartialEq, Eq, Hash)]
struct StateKey {
    insts: Vec<u32>,
    is_word: bool,
}

impl<'a> Determiniser<'a> {
    fn new(prog: &'a Program, budget: u64, quit_wide: bool) -> Self {
        let n = prog.insts.len();
        let word_looks = prog.insts.iter().any(|i| {
            matches!(i, Inst::EmptyLook(l) if !matches!(l.look, EmptyLook::StartLine | EmptyLook::EndLine | EmptyLook::StartText | EmptyLook::EndText))
        });
        Determiniser {
            prog,
            stack: Vec::new(),
            qcur: SparseSet::new(n),
            qnext: SparseSet::new(n),
            budget,
            quit_wide,
            word_looks,
            starts: [None, None, None],
        }
    }

    /// The closure of `ip` under `flags`, added to `q` in the engine's order.
    /// False when the budget ran out.
    fn follow(prog: &Program, stack: &mut Vec<u32>, budget: &mut u64, ip: u32, q: &mut SparseSet, flags: Flags) -> bool {
        stack.push(ip);
        while let Some(mut ip) = stack.pop() {
            loop {
                if *budget == 0 {
                    stack.clear();
                    return false;
                }
                *budget -= 1;
                if q.contains(ip) {
                    break;
                }
                q.insert(ip);
                match &prog.insts[ip as usize] {
                    Inst::Match(_) | Inst::Bytes(_) | Inst::Char(_) | Inst::Ranges(_) => break,
                    Inst::EmptyLook(inst) => {
                        let ok = match inst.look {
                            EmptyLook::StartLine => flags.start_line,
                            EmptyLook::EndLine => flags.end_line,
                            EmptyLook::StartText => flags.start,
                            EmptyLook::EndText => flags.end,
                            EmptyLook::WordBoundary | EmptyLook::WordBoundaryAscii => flags.word_boundary,
                            EmptyLook::NotWordBoundary | EmptyLook::NotWordBoundaryAscii => flags.not_word_boundary,
                        };
                        if !ok {
                            break;
                        }
                        ip = inst.goto as u32;
                    }
                    Inst::Save(inst) => ip = inst.goto as u32,
                    Inst::Split(inst) => {
                        stack.push(inst.goto2 as u32);
                        ip = inst.goto1 as u32;
                    }
                }
            }
        }
        true
    }

    /// The state made of the set `q`; None for the dead state (nothing kept).
    fn key_of(&self, q: &SparseSet, is_word: bool) -> Option<StateKey> {
        let mut insts = Vec::new();
        for &ip in &q.dense {
            match &self.prog.insts[ip as usize] {
                Inst::Bytes(_) | Inst::EmptyLook(_) => insts.push(ip),
                Inst::Match(_) => {
                    insts.push(ip);
                    break;
                }
                _ => {}
            }
        }
        if insts.is_empty() {
            None
        } else {
            Some(StateKey { insts, is_word })
        }
    }

    /// The state at the start of the text whose first symbol is `first`: the
    /// closure under the flags the engine gives its start state (the start
    /// of the text and of a line, the end when the text is empty, and the
    /// word boundary before the first byte). Outer None: budget exhausted.
    fn start(&mut self, first: Symbol) -> Option<Option<StateKey>> {
        let kind = match first {
            Symbol::Byte(b) if is_word_byte(b) => 0,
            Symbol::Byte(_) => 1,
            Symbol::End => 2,
        };
        if let Some(key) = &self.starts[kind] {
            return Some(key.clone());
        }
        let mut flags = Flags { start: true, start_line: true, ..Flags::default() };
        match kind {
            0 => flags.word_boundary = true,
            1 => flags.not_word_boundary = true,
            _ => {
                flags.end = true;
                flags.end_line = true;
                flags.not_word_boundary = true;
            }
        }
        self.qnext.clear();
        let start = self.prog.start as u32;
        if !Self::follow(self.prog, &mut self.stack, &mut self.budget, start, &mut self.qnext, flags) {
            return None;
        }
        let q = std::mem::replace(&mut self.qnext, SparseSet::new(0));
        let key = self.key_of(&q, false);
        self.qnext = q;
        self.starts[kind] = Some(key.clone());
        Some(key)
    }

    /// The first step from the start over `sym`.
    fn first_step(&mut self, sym: Symbol) -> Option<(bool, Option<StateKey>)> {
        match self.start(sym)? {
            None => Some((false, None)),
            Some(key) => self.step(&key, sym),
        }
    }

    /// The step of `state` over `sym`: whether the text up to here matched,
    /// and the next state (None: dead). The outer None means the budget ran
    /// out.
    fn step(&mut self, state: &StateKey, sym: Symbol) -> Option<(bool, Option<StateKey>)> {
        let prog = self.prog;
        self.qcur.clear();
        for &ip in &state.insts {
            self.qcur.insert(ip);
        }
        let next_is_word = matches!(sym, Symbol::Byte(b) if is_word_byte(b));
        let has_look = state.insts.iter().any(|&ip| matches!(prog.insts[ip as usize], Inst::EmptyLook(_)));
        if has_look {
            // The looks that read the byte after this position.
            let mut flags = Flags::default();
            match sym {
                Symbol::End => {
                    flags.end = true;
                    flags.end_line = true;
                }
                Symbol::Byte(b) => flags.end_line = b == b'\n',
            }
            if state.is_word == next_is_word {
                flags.not_word_boundary = true;
            } else {
                flags.word_boundary = true;
            }
            self.qnext.clear();
            for i in 0..self.qcur.dense.len() {
                let ip = self.qcur.dense[i];
                if !Self::follow(prog, &mut self.stack, &mut self.budget, ip, &mut self.qnext, flags) {
                    return None;
                }
            }
            std::mem::swap(&mut self.qcur, &mut self.qnext);
        }
        let after = Flags { start_line: matches!(sym, Symbol::Byte(b'\n')), ..Flags::default() };
        let mut matched = false;
        self.qnext.clear();
        for i in 0..self.qcur.dense.len() {
            let ip = self.qcur.dense[i];
            match &prog.insts[ip as usize] {
                Inst::Match(_) => {
                    matched = true;
                    break;
                }
                Inst::Bytes(inst) => {
                    if let Symbol::Byte(b) = sym {
                        if inst.start <= b && b <= inst.end {
                            let goto = inst.goto as u32;
                            if !Self::follow(prog, &mut self.stack, &mut self.budget, goto, &mut self.qnext, after) {
                                return None;
                            }
                        }
                    }
                }
                _ => {}
            }
        }
        if let Symbol::End = sym {
            return Some((matched, None));
        }
        let q = std::mem::replace(&mut self.qnext, SparseSet::new(0));
        let mut key = self.key_of(&q, next_is_word && self.word_looks);
        self.qnext = q;
        if key.is_none() && matched && self.quit_wide {
            // The engine keeps a state that only says "matched" alive, and
            // gives up at a wide byte even there: that byte must quit here too.
            key = Some(StateKey { insts: Vec::new(), is_word: false });
        }
        Some((matched, key))
    }
}

/// A determinised anchored matcher.
pub struct Dfa {
    pub classes: [u8; 256],
    /// Columns per state: one per byte class, then the end of the text.
    pub stride: u32,
    pub trans: Vec<u32>,
    /// The start state's offset.
    pub start: u32,
    /// The bytes that keep each looping state, 256 a row (see the ACCEL bits).
    pub stays: Vec<u8>,
}

/// Fills `stays` and the ACCEL bits of the entries into each state (past the
/// dead state and the start row, which no entry leads back to) whose bytes
/// that lead back to it all do so with the same MATCH flag.
fn mark_loops(classes: &[u8; 256], stride: usize, trans: &mut [u32]) -> Vec<u8> {
    let rows = trans.len() / stride;
    let mut stays: Vec<u8> = Vec::new();
    let mut accel = vec![0u32; rows];
    for r in 2..rows {
        if (stays.len() / 256) as u32 >= ACCEL_ROWS {
            break;
        }
        let s = (r * stride) as u32;
        let mut row = [0u8; 256];
        let mut flag = None;
        let mut same = true;
        for b in 0..256 {
            let e = trans[r * stride + classes[b] as usize];
            if e & (DEAD | QUIT) != 0 || e & OFFSET != s {
                continue;
            }
            let m = e & MATCH;
            if *flag.get_or_insert(m) != m {
                same = false;
                break;
            }
            row[b] = if m != 0 { 2 } else { 1 };
        }
        if same && flag.is_some() {
            stays.extend_from_slice(&row);
            accel[r] = (stays.len() / 256) as u32;
        }
    }
    for e in trans.iter_mut() {
        if *e & (DEAD | QUIT) == 0 {
            let r = (*e & OFFSET) as usize / stride;
            *e |= accel[r] << ACCEL_SHIFT;
        }
    }
    stays
}

/// The byte classes of the program, with no class holding bytes on both
/// sides of 0x80 when `split_wide` is set, nor of 0xC0 (continuation bytes
/// apart from lead bytes) when `split_lead` is.
fn byte_classes(prog: &Program, split_wide: bool, split_lead: bool) -> ([u8; 256], Vec<u8>) {
    let mut classes = [0u8; 256];
    let mut reps = vec![0u8];
    for b in 1..256usize {
        let new_class = prog.byte_classes[b] != prog.byte_classes[b - 1]
            || (split_wide && b == 0x80)
            || (split_lead && b == 0xC0);
        if new_class {
            reps.push(b as u8);
        }
        classes[b] = (reps.len() - 1) as u8;
    }
    (classes, reps)
}

/// Determinises `prog` (an anchored program) with at most `max_states`
/// states and `budget` closure steps; None past either. With `ascii_only`
/// every byte above 0x7F ends the match with QUIT, so only the ASCII part of
/// the program is explored.
pub fn determinise(prog: &Program, max_states: usize, budget: u64, ascii_only: bool) -> Option<Dfa> {
    let quit_wide = ascii_only || prog.has_unicode_word_boundary;
    let (classes, reps) = byte_classes(prog, quit_wide, false);
    let stride = reps.len() + 1;
    let mut d = Determiniser::new(prog, budget, quit_wide);
    // State 0 is the dead state: every column leads back to it, unmatched.
    let mut trans: Vec<u32> = vec![DEAD; stride];
    let mut keys: Vec<StateKey> = Vec::new();
    let entry = |matched: bool, next: u32| -> u32 {
        let e = if next == 0 { DEAD } else { next * stride as u32 };
        if matched {
            e | MATCH
        } else {
            e
        }
    };
    let mut index: HashMap<StateKey, u32> = HashMap::new();
    // Rows 0 and 1 are the dead state and the start; row i + 2 is keys[i].
    let intern = |key: Option<StateKey>, keys: &mut Vec<StateKey>, index: &mut HashMap<StateKey, u32>| -> Option<u32> {
        let key = match key {
            None => return Some(0),
            Some(k) => k,
        };
        if let Some(&i) = index.get(&key) {
            return Some(i);
        }
        if keys.len() + 2 >= max_states {
            return None;
        }
        let i = keys.len() as u32 + 2;
        index.insert(key.clone(), i);
        keys.push(key);
        Some(i)
    };
    // The start row (row 1): its columns begin from the start state that
    // the engine makes for that first symbol.
    let start = 1u32;
    trans.resize(2 * stride, DEAD);
    let mut row = Vec::with_capacity(stride);
    for &rep in &reps {
        if d.quit_wide && rep >= 0x80 {
            row.push(QUIT);
            continue;
        }
        let (matched, next) = d.first_step(Symbol::Byte(rep))?;
        row.push(entry(matched, intern(next, &mut keys, &mut index)?));
    }
    let (matched, _) = d.first_step(Symbol::End)?;
    row.push(if matched { MATCH | DEAD } else { DEAD });
    trans[stride..2 * stride].copy_from_slice(&row);
    let mut done = 0;
    while done < keys.len() {
        let key = keys[done].clone();
        done += 1;
        for &rep in &reps {
            if d.quit_wide && rep >= 0x80 {
                trans.push(QUIT);
                continue;
            }
            let (matched, next) = d.step(&key, Symbol::Byte(rep))?;
            trans.push(entry(matched, intern(next, &mut keys, &mut index)?));
        }
        let (matched, _) = d.step(&key, Symbol::End)?;
        trans.push(if matched { MATCH | DEAD } else { DEAD });
    }
    if (trans.len() as u64) > OFFSET as u64 {
        return None;
    }
    let stays = mark_loops(&classes, stride, &mut trans);
    Some(Dfa { classes, stride: stride as u32, trans, start: start * stride as u32, stays })
}

/// What can begin a match at a position, read from the program's first step
/// (the byte before seen as none, as the engine sees it): the bytes after
/// which the first step goes on or matches, and whether it matches at the end
/// of the text. Continuation bytes are left out (no match begins inside a
/// character). `empty` says whether some first step matches the empty text.
pub struct FirstBytes {
    pub bytes: [u64; 4],
    pub at_end: bool,
    pub empty: bool,
}

pub fn first_bytes(prog: &Program) -> Option<FirstBytes> {
    let mut d = Determiniser::new(prog, 1 << 22, false);
    let mut fb = FirstBytes { bytes: [0; 4], at_end: false, empty: false };
    // Without word looks the start is the same before every byte, and when
    // its only looks are start anchors (never true again at the step) the
    // step keeps its order: the bytes are those of its byte instructions
    // before its first match, read without stepping class by class (a large
    // class has hundreds of instructions).
    if !d.word_looks {
        let start = d.start(Symbol::Byte(b' '))?;
        let plain = match &start {
            None => true,
            Some(k) => k.insts.iter().all(|&ip| match &prog.insts[ip as usize] {
                Inst::EmptyLook(l) => matches!(l.look, EmptyLook::StartText | EmptyLook::StartLine),
                _ => true,
            }),
        };
        if plain {
            if let Some(k) = &start {
                for &ip in &k.insts {
                    match &prog.insts[ip as usize] {
                        Inst::Match(_) => {
                            fb.empty = true;
                            fb.bytes = [!0u64; 4];
                            break;
                        }
                        Inst::Bytes(b) => {
                            for x in b.start..=b.end {
                                fb.bytes[(x / 64) as usize] |= 1u64 << (x % 64);
                            }
                        }
                        _ => {}
                    }
                }
            }
            fb.bytes[2] = 0;  // 0x80..0xBF: inside a character
            let (matched, _) = d.first_step(Symbol::End)?;
            fb.at_end = matched;
            fb.empty |= matched;
            return Some(fb);
        }
    }
    let (classes, reps) = byte_classes(prog, true, true);
    let mut class_on = vec![false; reps.len()];
    for (c, &rep) in reps.iter().enumerate() {
        if (0x80..0xC0).contains(&rep) {
            continue;
        }
        // A Unicode word boundary before a wide byte is decided by the
        // character, which one byte does not show: such bytes may begin one.
        class_on[c] = if prog.has_unicode_word_boundary && rep >= 0x80 {
            true
        } else {
            let (matched, next) = d.first_step(Symbol::Byte(rep))?;
            fb.empty |= matched;
            matched || next.is_some()
        };
    }
    for b in 0..256usize {
        if class_on[classes[b] as usize] && !(0x80..0xC0).contains(&b) {
            fb.bytes[b / 64] |= 1u64 << (b % 64);
        }
    }
    let (matched, _) = d.first_step(Symbol::End)?;
    fb.at_end = matched;
    fb.empty |= matched;
    Some(fb)
}

/// The text that the pattern matches and nothing else, when it is a plain
/// sequence of characters (no class, look or repetition); None otherwise or
/// when it is empty.
pub fn plain_literal(hir: &Hir) -> Option<Vec<u8>> {
    let mut out = Vec::new();
    let mut stack = vec![hir];
    // Concatenation items are pushed in reverse so that they pop in order.
    while let Some(h) = stack.pop() {
        match h.kind() {
            HirKind::Literal(hir::Literal::Unicode(c)) => {
                let mut buf = [0u8; 4];
                out.extend_from_slice(c.encode_utf8(&mut buf).as_bytes());
            }
            HirKind::Literal(hir::Literal::Byte(b)) if *b < 0x80 => out.push(*b),
            // Matching is anchored where the engine's text begins, so a
            // start anchor before any character always holds.
            HirKind::Anchor(hir::Anchor::StartText | hir::Anchor::StartLine) if out.is_empty() => {}
            HirKind::Group(g) => stack.push(&g.hir),
            HirKind::Concat(v) => stack.extend(v.iter().rev()),
            HirKind::Empty => {}
            _ => return None,
        }
    }
    if out.is_empty() {
        None
    } else {
        Some(out)
    }
}

/// The deepest nesting of `hir`, counted without recursion.
pub fn depth(hir: &Hir) -> usize {
    let mut deepest = 0;
    let mut stack = vec![(hir, 1usize)];
    while let Some((h, d)) = stack.pop() {
        deepest = deepest.max(d);
        match h.kind() {
            HirKind::Group(g) => stack.push((&g.hir, d + 1)),
            HirKind::Repetition(r) => stack.push((&r.hir, d + 1)),
            HirKind::Concat(v) | HirKind::Alternation(v) => stack.extend(v.iter().map(|x| (x, d + 1))),
            _ => {}
        }
    }
    deepest
}
