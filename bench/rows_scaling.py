"""Growth of the operations on adversarial input: each row times one workload
at n and at 4n and prints the ratio (about 4 when the operation is linear),
beside the same workload on ordinary input."""

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
    _gathering_rows(out)
    _choice_rows(out)
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
