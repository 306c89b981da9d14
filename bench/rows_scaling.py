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
    return out


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
