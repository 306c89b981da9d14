"""Growth of the operations on adversarial input: each row times one workload
at n and at 4n and prints the ratio (about 4 when the operation is linear),
beside the same workload on ordinary input."""

import os
import random

import quillgramx as q


def growth_row(label, make, n):
    """A growth row: make(size) returns a zero-argument callable doing the
    workload on input of that size; timed at 4n against n."""
    small, large = make(n), make(4 * n)
    return (f"{label} n={n}", large, small, "growth")


def rows():
    out = []
    # Each fault family adds its rows here: adversarial input first, then the
    # same workload on ordinary input.
    out.append(growth_row("Literal.search_string_count ordinary text",
                          lambda size: (lambda t="abc " * (size // 4): q.Literal("abc").search_string_count(t)),
                          1 << 20))
    out.extend(search_rows())
    out.extend(hash_rows())
    out.extend(forward_rows())
    _gathering_rows(out)
    _choice_rows(out)
    _operator_rows(out)
    _distinct_text_rows(out)
    _skip_to_rows(out)
    _regex_rows(out)
    _quoted_rows(out)
    _long_needle_rows(out)
    _char_transform_rows(out)
    _long_run_rows(out)
    _nesting_rows(out)
    return out


def _ordinary_text(size, seed=13):
    rnd = random.Random(seed)
    words = "the of and to because people through between".split()
    return " ".join(rnd.choice(words) for _ in range(size // 6))[:size]


# QuotedString openings that never close (each once scanned to the end),
# then the same grammars on text with short quoted strings.
def _quoted_rows(out):
    grammars = [
        ("esc", lambda: q.QuotedString('"', esc_char="\\"), '"\\'),
        ("esc = quote", lambda: q.QuotedString('"', esc_char='"'), '"'),
        ("multiline", lambda: q.QuotedString('"', esc_char="\\", multiline=True), '"\\'),
        ("non-ASCII quote", lambda: q.QuotedString("\u00e9", esc_char="\\"), "\u00e9\\"),
        ("in MatchFirst", lambda: q.MatchFirst([q.QuotedString('"', esc_char="\\"), q.Literal("zz")]), '"\\'),
    ]
    for name, make_g, unit in grammars:
        def adversarial(size, make_g=make_g, unit=unit):
            g, t = make_g(), unit * (size // len(unit))
            return lambda: g.search_string_count(t)

        out.append(growth_row(f"QuotedString never closing, {name}", adversarial, 1 << 16))

    def ordinary(size):
        g = q.QuotedString('"', esc_char="\\")
        rnd = random.Random(4)
        parts, n = [], 0
        while n < size:
            w = '"' + "x" * rnd.randrange(1, 20) + '\\"y" '
            parts.append(w)
            n += len(w)
        t = "".join(parts)[:size]
        return lambda: g.search_string_count(t)

    out.append(growth_row("QuotedString count, ordinary quoted text", ordinary, 1 << 16))


# Literal-like tests with a long text (a hundredth of the input) in scans,
# on a run where it nearly occurs at every position, then on ordinary text.
def _long_needle_rows(out):
    def workload(make_g, op, letter="a"):
        def make(size):
            g, t = make_g(size // 100), letter * size
            return lambda: op(g, t)
        return make

    def ordinary(make_g, op):
        def make(size):
            g, t = make_g(size // 100), _ordinary_text(size)
            return lambda: op(g, t)
        return make

    cases = [
        ("Keyword(long).transform_string", lambda m: q.Keyword("a" * m), lambda g, t: g.transform_string(t, "X")),
        ("CaselessKeyword(long).search_string_count", lambda m: q.CaselessKeyword("a" * m),
         lambda g, t: g.search_string_count(t)),
        ("CaselessLiteral(long).search_string", lambda m: q.CaselessLiteral("a" * m + "b"),
         lambda g, t: g.search_string(t)),
        ("CaselessLiteral(long).transform_string", lambda m: q.CaselessLiteral("a" * m + "b"),
         lambda g, t: g.transform_string(t, "X")),
        ("(Literal(long) + Literal).search_string", lambda m: q.Literal("a" * m + "b") + q.Literal("x"),
         lambda g, t: g.search_string(t)),
        ("MatchFirst([Keyword(long), ...]) count", lambda m: q.MatchFirst([q.Keyword("a" * m), q.Literal("zz")]),
         lambda g, t: g.search_string_count(t)),
    ]
    for label, make_g, op in cases:
        out.append(growth_row(f"{label}, near occurrence at every byte", workload(make_g, op), 1 << 17))
        out.append(growth_row(f"{label}, ordinary text", ordinary(make_g, op), 1 << 17))


# The peak resident size a Char transform of 20 MB adds beyond its text and
# its result,
# measured in a fresh interpreter (the bench's own peak is long past it).
_PEAK_CODE = """
import random, resource, sys
import quillgramx as q
size = 20 << 20
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if sys.argv[1] == "dense":
    t = "ab" * (size // 2)
else:
    rnd = random.Random(9)
    t = "".join(rnd.choice("abcdef") for _ in range(1 << 16)) * (size >> 16)
r = q.Char("ab").transform_string(t, "X")
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before - (len(t) >> 10) - (len(r) >> 10))
"""


def _peak_beyond_result_kib(kind):
    import subprocess
    import sys
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", _PEAK_CODE, kind], capture_output=True, text=True, env=env)
    return int(r.stdout.strip() or 0)


# Char.transform_string where every byte matches, with the growth of the
# peak resident size over the result's own size in the label; then random
# input where a third of the bytes match.
def _char_transform_rows(out):
    size = 20 << 20
    g = q.Char("ab")
    dense = "ab" * (size // 2)
    rnd = random.Random(9)
    sparse = "".join(rnd.choice("abcdef") for _ in range(1 << 16)) * (size >> 16)
    for name, kind, text in (("every byte matches", "dense", dense), ("random input", "sparse", sparse)):
        over = _peak_beyond_result_kib(kind)

        def make(n, text=text):
            t = text[:n]
            return lambda: g.transform_string(t, "X")

        out.append(growth_row(f"Char.transform_string 20 MB, {name} (peak {over:+d} KiB beyond the text and the result)",
                              make, size // 4))


# Literal and Keyword searches whose candidates all fail late: the needle
# grows with the text (a twentieth of it), so comparing at every position
# would grow 16 times for 4 times the input.
def search_rows():
    def late_literal(size):
        lit, text = q.Literal("z" * (size // 20) + " "), "z" * size + "q"
        return lambda: lit.search_string_count(text)

    def late_replace(size):
        lit, text = q.Literal("z" * (size // 20) + " "), "z" * size + "q"
        return lambda: lit.transform_string(text, "X")

    def overlapping_keyword(size):
        kw, text = q.Keyword("a" * (size // 20)), "a" * size
        return lambda: kw.search_string_count(text)

    def ordinary(size):
        rnd = random.Random(3)
        words = "the of and to because people through between".split()
        text = " ".join(rnd.choice(words) for _ in range(size // 6))[:size]
        lit = q.Literal("because " + "x" * (size // 20))
        return lambda: lit.search_string_count(text)

    n = 1 << 20
    return [
        growth_row("Literal count, late-failing candidates", late_literal, n),
        growth_row("Literal replace, late-failing candidates", late_replace, n),
        growth_row("Keyword count, an occurrence at every byte", overlapping_keyword, n),
        growth_row("Literal count, long needle on ordinary text", ordinary, n),
    ]


# Words crafted so that all share one probe run of the text maps' old fixed
# hash, against random words of the same shape (8 ASCII bytes).
def crafted_words(count, zero_bits=17, seed=5):
    import numpy as np

    inv = np.uint64(pow(0x94D049BB133111EB, -1, 1 << 64))
    old_seed = np.uint64(0x9E3779B97F4A7C15 ^ 8)
    rng = np.random.default_rng(seed)
    out = set()
    while len(out) < count:
        r = rng.integers(0, 1 << (64 - zero_bits), size=1 << 20, dtype=np.uint64) << np.uint64(zero_bits)
        h = r ^ (r >> np.uint64(32))
        u = h ^ (h >> np.uint64(29)) ^ (h >> np.uint64(58))
        w = (u * inv) ^ old_seed
        raw = w[(w & np.uint64(0x8080808080808080)) == 0].tobytes()
        out.update(raw[i:i + 8].decode("ascii") for i in range(0, len(raw), 8))
    return sorted(out)[:count]


def random_words(count, seed=6):
    rnd = random.Random(seed)
    return ["".join(chr(rnd.randrange(128)) for _ in range(8)) for _ in range(count)]


def hash_rows():
    try:
        crafted = crafted_words(160_000)
    except ImportError:
        return []
    rand = random_words(160_000)
    word = q.Word("".join(map(chr, range(128))))
    group = q.Group(word)
    ascii_run = q.Regex("[\\x00-\\x7f]+")
    seq = word + q.Empty()
    out = []
    for name, words in (("crafted", crafted), ("random", rand)):
        def texts(size, words=words):
            return "\u00e9".join(words[:size])

        for label, op in (("Word.search_string", lambda t, w: word.search_string(t)),
                          ("Group(Word).search_string", lambda t, w: group.search_string(t)),
                          ("Regex.search_string", lambda t, w: ascii_run.search_string(t)),
                          ("And.parse_batch", lambda t, w: seq.parse_batch(w))):
            def make(size, op=op, words=words, texts=texts):
                t, w = texts(size), words[:size]
                return lambda: op(t, w)

            out.append(growth_row(f"{label}, {name} words", make, 40_000))
    return out


# Recursive grammars built, used and dropped: time per round at n and 4n
# rounds, and the resident size over the run in the label (flat when the
# collector keeps up).
def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def forward_rows():
    def rounds_of(words):
        names = [f"w{i}" for i in range(words)]

        def run(count):
            for _ in range(count):
                stmt = q.Forward()
                stmt <<= q.MatchFirst([q.Suppress(q.CaselessKeyword(w)) for w in names]) + q.Optional(q.Group(stmt))
                stmt.parse_string("w1 ")

        return run

    out = []
    for words, n in ((50, 20_000), (2000, 200)):
        run = rounds_of(words)
        run(n // 10)
        before = resident_bytes()
        run(n * 5)
        grown = (resident_bytes() - before) >> 10
        out.append(growth_row(f"Forward rounds, {words} words (RSS {grown:+d} KiB over {n * 5})",
                              lambda size, run=run: (lambda: run(size)), n))
    return out


def _words_text(size, seed=11):
    import random
    rnd = random.Random(seed)
    words = "alpha beta gamma delta epsilon zeta eta theta iota kappa".split()
    parts, n = [], 0
    while n < size:
        w = rnd.choice(words)
        parts.append(w)
        n += len(w) + 1
    return " ".join(parts) + " "


def _gathering_rows(out):
    # Token gathering: one token per byte (each append once moved every
    # token gathered so far), then the same repetition over words.
    def one_per_byte(size):
        g, t = q.OneOrMore(q.Literal("a")), "a" * size
        return lambda: g.parse_string(t)

    def words(size):
        g = q.OneOrMore(q.Group(q.Word(q.alphas()) + q.Suppress(q.Literal(" "))))
        t = _words_text(size)
        return lambda: g.parse_string(t)

    def wide_and(size):
        a = q.Literal("a")
        e = a + a
        while len(e.parse_string("a" * size)) < size:
            e = e + e
        g, t = q.Group(e), "a" * size
        return lambda: g.parse_string(t)

    out.append(growth_row("OneOrMore(Literal).parse_string one token per byte", one_per_byte, 1 << 16))
    # Kept below about 32 KiB of words: past that, glibc hands the freed token
    # blocks back to the system on every call and the page faults of getting
    # them again (not the gathering) set the growth on a virtual machine.
    out.append(growth_row("OneOrMore(Group(Word + Suppress)).parse_string words", words, 1 << 12))
    out.append(growth_row("Group(And of n members).parse_string", wide_and, 1 << 13))


def _choice_rows(out):
    # A failing choice nested n deep (the last alternative was tried twice
    # per level), then the same grammar on input that matches.
    def nested(tail):
        def make(size):
            f = q.Forward()
            f <<= q.MatchFirst([q.Literal("x"), q.Literal("(") + f])
            t = "(" * size + tail
            g = q.Group(f)

            def run():
                try:
                    g.parse_string(t)
                except ValueError:
                    pass
            return run
        return make

    out.append(growth_row("nested failing MatchFirst.parse_string", nested("y"), 200))
    out.append(growth_row("nested matching MatchFirst.parse_string", nested("x"), 200))

    # Building a chain of n alternatives with | against the same chain with +:
    # the first-byte table is made once, on first use, not on every |.
    words = [q.Literal("w%d" % i) for i in range(3500)]

    def chain(op):
        def build():
            e = words[0]
            for w in words[1:]:
                e = op(e, w)
            return e
        return build

    out.append(("| chain of 3500 Literals against the + chain", chain(lambda a, b: a | b), chain(lambda a, b: a + b)))

    # Ordered choice that backtracks: the textbook expression grammar, whose
    # alternatives each parse the same term again, nested n deep; then a
    # shared sub-grammar built without Forward, n levels on a short text.
    def expression(size):
        expr = q.Forward()
        num = q.Word(q.nums())
        term = num | (q.Literal("(") + expr + q.Literal(")"))
        expr <<= (term + q.Literal("+") + expr) | (term + q.Literal("-") + expr) | term
        t = "(" * size + "1" + ")" * size
        return lambda: expr.parse_string(t)

    def shared(size):
        e = q.Literal("a")
        for _ in range(size):
            e = (e + q.Literal("b")) | (e + q.Literal("c"))
        return lambda: e.matches("ac")

    def expression_random(size):
        expr = q.Forward()
        num = q.Word(q.nums())
        term = num | (q.Literal("(") + expr + q.Literal(")"))
        expr <<= (term + q.Literal("+") + expr) | (term + q.Literal("-") + expr) | term
        rnd = random.Random(5)
        t = "+".join(str(rnd.randint(0, 99)) for _ in range(size)) + "-1"
        return lambda: expr.parse_string(t)

    out.append(growth_row("expression grammar nested n deep.parse_string", expression, 40))
    out.append(growth_row("shared choice of n levels (e + 'b') | (e + 'c').matches", shared, 40))
    out.append(growth_row("expression grammar, n random terms.parse_string", expression_random, 40))

    # Backtracking choice whose records come back to a position only after
    # thousands of other calls: each alternative of n nested levels redoes a
    # run of 2048 Forward calls, then the same grammar where the first
    # alternative matches at every level; and a choice of 2048 Forwards under
    # n levels of (e + 'b') | (e + 'c'), then the same on text that matches.
    def long_repeats(last):
        def make(size):
            fz = q.Forward()
            fz <<= q.Literal("z")
            f = q.Forward()
            f <<= ((q.Literal("a") + q.OneOrMore(fz) + f + q.Literal("b"))
                   | (q.Literal("a") + q.OneOrMore(fz) + f + q.Literal("c")) | q.Literal("x"))
            t = ("a" + "z" * 2048) * size + "x" + last * size
            return lambda: f.matches(t)
        return make

    def many_records(text):
        def make(size):
            alts = []
            for j in range(2048):
                fw = q.Forward()
                fw <<= q.Literal("a") + q.Literal("q%d" % j)
                alts.append(fw)
            e = q.MatchFirst(alts + [q.Literal("a")])
            for _ in range(size):
                e = (e + q.Literal("b")) | (e + q.Literal("c"))
            t = text(size)
            return lambda: e.matches(t)
        return make

    out.append(growth_row("choice redoing 2048 Forward calls, n levels, backtracking", long_repeats("c"), 16))
    out.append(growth_row("choice redoing 2048 Forward calls, n levels, first alt.", long_repeats("b"), 16))
    out.append(growth_row("2048 Forwards under n levels (e+'b')|(e+'c') on 'ad'", many_records(lambda n: "ad"), 10))
    out.append(growth_row("2048 Forwards under n levels (e+'b')|(e+'c') on 'abb..'",
                          many_records(lambda n: "a" + "b" * n), 10))


def _regex_rows(out):
    # A Unicode word boundary over text with characters above U+007F (the
    # engine's DFA gave up at each of them to a search of the whole text),
    # then the same search over random words of ASCII and accented letters.
    wb = q.Regex(r"\b\w")

    def wide(size):
        t = "\u00e9 a " * (size // 5)
        return lambda: wb.search_string(t)

    def mixed(size):
        rnd = random.Random(9)
        words = "caf\u00e9 au lait \u00e9t\u00e9 the of and".split()
        t = " ".join(rnd.choice(words) for _ in range(size // 5))
        return lambda: wb.search_string(t)

    out.append(growth_row("Regex(\\b\\w).search_string 'é a ' repeated", wide, 80_000))
    out.append(growth_row("Regex(\\b\\w).search_string random words", mixed, 80_000))

    # A pattern that begins with "^" and has a later top-level alternative,
    # tried at every position of a scan (it searched the rest of the text
    # each time), then the same scan over random letters.
    caret = q.Regex("^x|y") + q.Literal("z")

    def repeated(size):
        t = "a" * size
        return lambda: caret.search_string(t)

    def letters(size):
        rnd = random.Random(10)
        t = "".join(rnd.choice("axyz") for _ in range(size))
        return lambda: caret.search_string(t)

    out.append(growth_row("(Regex('^x|y') + 'z').search_string 'a' repeated", repeated, 20_000))
    out.append(growth_row("(Regex('^x|y') + 'z').search_string random letters", letters, 20_000))


def _operator_rows(out):
    # One chain `a + b + c + ...` of n operands, each left operand the
    # previous temporary (as reduce and the interpreter's stack hold it),
    # against n operands in chains of eight.
    import functools
    import operator

    def one_chain(op):
        def make(size):
            lits = [q.Literal("w%d" % i) for i in range(size)]
            return lambda: functools.reduce(op, lits)
        return make

    def short_chains(op):
        def make(size):
            lits = [q.Literal("w%d" % i) for i in range(size)]
            groups = [lits[i:i + 8] for i in range(0, size, 8)]
            return lambda: [functools.reduce(op, g) for g in groups]
        return make

    # The chain so far held by a name at every step, on either side.
    def loop(op, chain_left):
        def make(size):
            lits = [q.Literal("w%d" % i) for i in range(size)]

            def run():
                e = lits[0]
                for x in lits[1:]:
                    e = op(e, x) if chain_left else op(x, e)
                return e
            return run
        return make

    for name, op in (("+", operator.add), ("|", operator.or_)):
        out.append(growth_row(f"{name} chain of n operands", one_chain(op), 20_000))
        out.append(growth_row(f"{name} chains of 8 operands, n in all", short_chains(op), 20_000))
        out.append(growth_row(f"e = e {name} x, n times", loop(op, True), 20_000))
        out.append(growth_row(f"e = x {name} e, n times", loop(op, False), 20_000))


# A search listing many distinct texts keeps one sharing-map entry per text:
# the time at 4n against n, and in the label the memory the search used
# beside its result at 4n (peak resident size over the resident size with
# the result held, in a fresh interpreter), against the same search over a
# text of the same size drawn from 5000 words.
_WORKING_MEMORY = """
import os, random, sys
import quillgramx as q
n, what, shape = int(sys.argv[1]), sys.argv[2], sys.argv[3]
hexw = q.Word("0123456789abcdef")
page = os.sysconf("SC_PAGE_SIZE")
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
def peak_resident():
    # This process's own peak (getrusage would count the parent's size at the fork).
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) * 1024
if shape == "distinct":
    text = "".join("".join("%07x " % i for i in range(j, min(j + 20000, n))) for j in range(0, n, 20000))
elif shape == "one":
    text = "a " * n
else:
    rnd = random.Random(7)
    vocab = ["".join(rnd.choice("0123456789abcdef") for _ in range(7)) for _ in range(5000)]
    text = "".join(" ".join(rnd.choice(vocab) for _ in range(min(20000, n - j))) + " " for j in range(0, n, 20000))
e = {"Word": hexw, "Regex": q.Regex("[0-9a-f]+"), "Group": q.Group(hexw),
     "OneOrMore": q.OneOrMore(hexw + q.Suppress(q.Literal(" ")))}[what]
before = resident()
r = e.parse_string(text) if what == "OneOrMore" else e.search_string(text)
held = resident()
peak = peak_resident()
print((held - before) >> 20, max(peak - held, 0) >> 20)
"""


def _working_memory(n, what, shape):
    import subprocess
    import sys

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", _WORKING_MEMORY, str(n), what, shape], capture_output=True,
                       text=True, env=env, timeout=300)
    if r.returncode != 0:
        return "memory not measured"
    result, working = r.stdout.split()
    return f"{working} MiB beside {result} MiB"


def _distinct_text_rows(out):
    # 4n = 1,100,000 distinct texts: just past a doubling of a map that
    # fills to one half (the old map), not yet at one for three quarters.
    n = 275_000

    def make(what, shape):
        def build(size):
            rnd = random.Random(7)
            if shape == "distinct":
                text = "".join("%07x " % i for i in range(size))
            else:
                vocab = ["".join(rnd.choice("0123456789abcdef") for _ in range(7)) for _ in range(5000)]
                text = " ".join(rnd.choice(vocab) for _ in range(size)) + " "
            hexw = q.Word("0123456789abcdef")
            e = {"Word": hexw, "Regex": q.Regex("[0-9a-f]+"), "Group": q.Group(hexw)}[what]
            return lambda: e.search_string(text)
        return build

    for what, label in (("Word", "Word"), ("Regex", "Regex([0-9a-f]+)"), ("Group", "Group(Word)")):
        for shape, words in (("distinct", "distinct words"), ("vocabulary", "words of 5000")):
            memory = _working_memory(4 * n, what, shape)
            out.append(growth_row(f"{label}.search_string {words} ({memory})", make(what, shape), n))

    # A repetition's tokens gathered before its list is made, 10^7 of them.
    def repetition(shape):
        def build(size):
            text = "".join("%07x " % i for i in range(size)) if shape == "distinct" else "a " * size
            g = q.OneOrMore(q.Word("0123456789abcdef") + q.Suppress(q.Literal(" ")))
            return lambda: g.parse_string(text)
        return build

    for shape, words in (("distinct", "distinct words"), ("vocabulary", "one word")):
        memory = _working_memory(10_000_000, "OneOrMore", shape if shape == "distinct" else "one")
        out.append(growth_row(f"OneOrMore(Word + ' ').parse_string 10^7 {words} ({memory})", repetition(shape), n))
def _skip_to_rows(out):
    # SkipTo in scans, on a text where its target is absent (every start used
    # to search to the end), then on random words where it is rare.
    def absent(op):
        def make(size):
            t = "ab" * (size // 2)
            return lambda: op(t)
        return make

    def rare(op):
        def make(size):
            t = _words_text(size, seed=13).replace("zeta", "zxta")  # an x every 60 bytes or so
            return lambda: op(t)
        return make

    s = q.SkipTo(q.Literal("x"))
    seq = q.SkipTo(q.Literal("x")) + q.Literal("x")
    rep = q.OneOrMore(q.SkipTo(q.Literal("x")) + q.Literal("x"))
    for name, op in (("SkipTo(Literal).search_string_count", s.search_string_count),
                     ("SkipTo(Literal).search_string", s.search_string),
                     ("SkipTo(Literal).transform_string", lambda t: s.transform_string(t, "Z")),
                     ("(SkipTo + Literal).search_string", seq.search_string),
                     ("OneOrMore(SkipTo + Literal).search_string_count", rep.search_string_count)):
        out.append(growth_row(f"{name}, target absent", absent(op), 1 << 13))
        out.append(growth_row(f"{name}, random words", rare(op), 1 << 13))


# A terminal that reads a long run and then fails, tried from every start of
# the run (each read the run again), then the same grammar on ordinary text.
def _long_run_rows(out):
    grammars = [
        ("Word(alphas) + 'x'", lambda: q.Word(q.alphas()) + q.Literal("x"), "a"),
        ("OneOrMore(Char('a')) + 'x'", lambda: q.OneOrMore(q.Char("a")) + q.Literal("x"), "a"),
        ("Exactly(Char('a'), 10**6) + 'x'", lambda: q.Exactly(q.Char("a"), 10**6) + q.Literal("x"), "a"),
        ("Regex('[a-z]+') + 'x'", lambda: q.Regex("[a-z]+") + q.Literal("x"), "a"),
        (r"Regex('[a-z]+\d?') + 'x'", lambda: q.Regex(r"[a-z]+\d?") + q.Literal("x"), "a"),
        ("Regex('(ab)+') + 'x'", lambda: q.Regex("(ab)+") + q.Literal("x"), "ab"),
        ("rest_of_line() + 'x'", lambda: q.rest_of_line() + q.Literal("x"), "a"),
        ("OneOrMore(Literal('ab')) + 'x'", lambda: q.OneOrMore(q.Literal("ab")) + q.Literal("x"), "ab"),
        ("Exactly(Literal('ab'), 10**6) + 'x'", lambda: q.Exactly(q.Literal("ab"), 10**6) + q.Literal("x"), "ab"),
    ]
    for name, make_g, letter in grammars:
        def adversarial(size, make_g=make_g, letter=letter):
            g, t = make_g(), letter * (size // len(letter))
            return lambda: g.search_string_count(t)

        def ordinary(size, make_g=make_g):
            g, t = make_g(), _ordinary_text(size)
            return lambda: g.search_string_count(t)

        out.append(growth_row(f"{name}.search_string_count one run", adversarial, 1 << 16))
        out.append(growth_row(f"{name}.search_string_count ordinary text", ordinary, 1 << 16))

    # A choice that falls back one byte at a time: one parse, no scan.
    def fallback(t_of):
        def make(size):
            g = q.OneOrMore((q.Word(q.alphas()) + q.Literal("x")) | q.Char("a") | q.Char(" "))
            t = t_of(size)
            return lambda: g.parse_string(t)
        return make

    out.append(growth_row("OneOrMore((Word + 'x') | Char).parse_string one run", fallback(lambda n: "a" * n), 1 << 16))
    out.append(growth_row("OneOrMore((Word + 'x') | Char).parse_string ordinary text",
                          fallback(lambda n: "".join(c if c in "a " else "a" for c in _ordinary_text(n))), 1 << 16))


# A scan over unclosed parentheses under a recursive grammar: every start
# more than the bound's depth before the end passes the nesting bound; then
# the same grammar over balanced, shallow expressions.
def _nesting_rows(out):
    def pairs():
        expr = q.Forward()
        expr <<= (q.Suppress(q.Literal("(")) + expr + q.Suppress(q.Literal(")"))) | q.Word(q.nums())
        return expr

    def unclosed(size):
        g, t = pairs(), "(" * size
        return lambda: g.search_string_count(t)

    def ordinary(size):
        g = pairs()
        rnd = random.Random(9)
        parts, n = [], 0
        while n < size:
            d = rnd.randrange(0, 6)
            w = "(" * d + str(rnd.randrange(1000)) + ")" * d + " "
            parts.append(w)
            n += len(w)
        t = "".join(parts)[:size]
        return lambda: g.search_string_count(t)

    out.append(growth_row("Forward pairs.search_string_count unclosed '('", unclosed, 240))
    out.append(growth_row("Forward pairs.search_string_count unclosed '('", unclosed, 1 << 12))
    out.append(growth_row("Forward pairs.search_string_count ordinary nesting", ordinary, 1 << 16))
