"""Everyday jobs, each written the several ways a user would write it, on
distinct generated inputs: every formulation is checked at load against the
standard-library way and timed against it, so that a grammar one step from
the shape that some path serves shows what it costs."""

import random
import re

import quillgramx as q

_WORDS = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu".split()


def _agree(label, ours, baseline):
    a, b = ours(), baseline()
    if a != b:
        raise AssertionError(f"{label}: results differ")
    return (label, ours, baseline)


def _passwd_lines(n=50_000, seed=1):
    rnd = random.Random(seed)
    lines = []
    for i in range(n):
        fields = [f"user{i}", rnd.choice(("x", "", "*")), str(1000 + i), str(rnd.randint(0, 5000)),
                  rnd.choice(("", "Some Body", "daemon,,,")), f"/home/user{i}",
                  rnd.choice(("/bin/sh", "/usr/sbin/nologin", ""))]
        lines.append(":".join(fields))
    return lines


def _fields_rows(out):
    lines = _passwd_lines()
    F = q.Regex(r"[^:\n]*")
    colon = q.Suppress(q.Literal(":"))
    repeated = q.Group(F + q.ZeroOrMore(colon + F))
    seven = F
    for _ in range(6):
        seven = seven + colon + F
    seven = q.Group(seven)
    W = q.Optional(q.Word(q.printables().replace(":", "") + " "))
    wrow = W
    for _ in range(6):
        wrow = wrow + colon + W
    wrow = q.Group(wrow)
    base = lambda: [l.split(":") for l in lines]
    base_nonempty = lambda: [[f for f in l.split(":") if f] for l in lines]
    out.append(_agree("fields: Group(F + ZeroOrMore(':' + F)) vs split", lambda: repeated.parse_batch(lines), base))
    out.append(_agree("fields: Group(seven F joined by ':') vs split", lambda: seven.parse_batch(lines), base))
    out.append(_agree("fields: Group(Optional(Word) x7) vs split", lambda: wrow.parse_batch(lines), base_nonempty))


def _csv_lines(n=50_000, seed=2):
    rnd = random.Random(seed)
    lines = []
    for i in range(n):
        cells = [str(i), rnd.choice(_WORDS), '"' + rnd.choice(_WORDS) + " " + rnd.choice(_WORDS) + '"',
                 "" if rnd.random() < 0.2 else f"{rnd.random() * 100:.2f}", '"a, b"' if rnd.random() < 0.1 else "x"]
        lines.append(",".join(cells))
    return lines


def _csv_rows(out):
    lines = _csv_lines()
    cell_re = re.compile(r'"(?:[^"]|"")*"|[^,\n"]*')
    F1 = q.Regex(r'"(?:[^"]|"")*"|[^,\n"]*')
    F2 = q.QuotedString('"', unquote=False) | q.Regex(r'[^,\n"]*')
    F3 = q.Regex(r'"(?:[^"]|"")*"') | q.Regex(r'[^,\n"]*')
    comma = q.Suppress(q.Literal(","))
    rows = [(name, q.Group(F + q.ZeroOrMore(comma + F))) for name, F in
            (("Regex alternation", F1), ("QuotedString | Regex", F2), ("Regex | Regex", F3))]

    def with_re():
        return [[m.group() for m in _cells(l)] for l in lines]

    def _cells(l):
        pos = 0
        while True:
            m = cell_re.match(l, pos)
            yield m
            pos = m.end()
            if pos >= len(l) or l[pos] != ",":
                return
            pos += 1

    for name, g in rows:
        out.append(_agree(f"CSV: Group(cell + ZeroOrMore(',' + cell)), cell {name} vs re loop",
                          lambda g=g: g.parse_batch(lines), with_re))


def _kv_lines(n=100_000, seed=3):
    rnd = random.Random(seed)
    return [f"{rnd.choice(_WORDS)}{i}={rnd.choice(_WORDS)} {i * 7} {rnd.choice(_WORDS)}" for i in range(n)]


def _kv_rows(out):
    lines = _kv_lines()
    eq = q.Suppress(q.Literal("="))
    forms = (
        ("Word + '=' + rest_of_line", q.Word(q.alphanums()) + eq + q.rest_of_line()),
        ("Regex + '=' + Regex", q.Regex(r"[^=\n]+") + eq + q.Regex(r"[^\n]*")),
        ("Word + '=' + SkipTo(StringEnd())", q.Word(q.alphanums()) + eq + q.SkipTo(q.StringEnd())),
    )
    base = lambda: [l.split("=", 1) for l in lines]
    for name, g in forms:
        gg = q.Group(g)
        out.append(_agree(f"key=value: Group({name}).parse_batch vs split", lambda gg=gg: gg.parse_batch(lines), base))


def _log_lines(n=50_000, seed=4):
    rnd = random.Random(seed)
    return [f"2026-12-{rnd.randint(1, 28):02d} {rnd.randint(0, 23):02d}:{rnd.randint(0, 59):02d}:00 "
            f"{rnd.choice(('status', 'install', 'configure', 'remove'))} pkg{i}:amd64 {rnd.randint(1, 9)}.{i % 97}"
            for i in range(n)]


def _log_rows(out):
    lines = _log_lines()
    sp = q.Suppress(q.Literal(" "))
    W = q.Word(q.printables())
    R = q.Regex(r"[^ \n]+")
    forms = (
        ("Word + ZeroOrMore(' ' + Word)", W + q.ZeroOrMore(sp + W)),
        ("Regex + ZeroOrMore(' ' + Regex)", R + q.ZeroOrMore(sp + R)),
        ("OneOrMore(Word + Optional(' '))", q.OneOrMore(W + q.Optional(sp))),
    )
    base = lambda: [l.split(" ") for l in lines]
    for name, g in forms:
        gg = q.Group(g)
        out.append(_agree(f"log: Group({name}).parse_batch vs split", lambda gg=gg: gg.parse_batch(lines), base))


def _first_line_rows(out):
    rnd = random.Random(5)
    items = [f"subject {i} {rnd.choice(_WORDS)}\nbody {rnd.choice(_WORDS)}\nmore" for i in range(100_000)]
    # Regex batches are one flat list; the others give a list per item, so
    # each is timed against the split loop that builds the same objects.
    flat = lambda: [s.split("\n", 1)[0] for s in items]
    listed = lambda: [[s.split("\n", 1)[0]] for s in items]
    forms = (
        ("Regex('[^\\n]*').parse_batch", q.Regex(r"[^\n]*"), flat),
        ("rest_of_line().parse_batch", q.rest_of_line(), listed),
        ("SkipTo(LineEnd()).parse_batch", q.SkipTo(q.LineEnd()), listed),
    )
    for name, g, base in forms:
        out.append(_agree(f"first line: {name} vs split", lambda g=g: g.parse_batch(items), base))


def _skip_rows(out):
    rnd = random.Random(6)
    body = "\n".join(" ".join(rnd.choice(_WORDS) for _ in range(8)) for _ in range(20_000))
    text = body[: 1 << 20] + "\n\nrest"
    idx = text.index("\n\n")
    forms = (
        ("SkipTo(Literal('\\n\\n'))", q.SkipTo(q.Literal("\n\n"))),
        ("SkipTo(LineEnd() + LineEnd())", q.SkipTo(q.LineEnd() + q.LineEnd())),
        ("SkipTo(Regex('\\n\\n'))", q.SkipTo(q.Regex(r"\n\n"))),
    )
    base = lambda: [text[: text.index("\n\n")]]
    for name, g in forms:
        out.append(_agree(f"skip 1 MB: {name}.parse_string vs index", lambda g=g: g.parse_string(text), base))


def _mask_rows(out):
    rnd = random.Random(7)
    text = " ".join(rnd.choice(_WORDS) for _ in range(180_000))[: 1 << 20]
    words = text.split(" ")
    for i in range(0, len(words), 5000):
        words[i] = "secret"
        if i + 2500 < len(words):
            words[i + 2500] = "secrets"  # a near miss that a keyword passes over
    text = " ".join(words)
    rx = re.compile(r"\bsecret\b")
    forms = (
        ("Keyword('secret')", q.Keyword("secret")),
        ("Regex(r'\\bsecret\\b')", q.Regex(r"\bsecret\b")),
        ("Keyword | Keyword", q.Keyword("secret") | q.Keyword("unused")),
    )
    base = lambda: rx.sub("XXXXXX", text)
    for name, g in forms:
        out.append(_agree(f"mask 1 MB: {name}.transform_string vs re.sub",
                          lambda g=g: g.transform_string(text, "XXXXXX"), base))


def _classify_rows(out):
    rnd = random.Random(8)
    levels = ("DEBUG", "INFO", "WARN", "ERROR", "FATAL")
    lines = [f"{rnd.choice(levels)} message {i} {rnd.choice(_WORDS)}" for i in range(100_000)]
    rx = re.compile(r"(?:DEBUG|INFO|WARN|ERROR|FATAL)\b")

    def base():
        return [[m.group()] if (m := rx.match(l)) else [] for l in lines]

    forms = (
        ("MatchFirst of Keywords", q.MatchFirst([q.Keyword(w) for w in levels])),
        ("Keyword | ... chain", q.Keyword("DEBUG") | q.Keyword("INFO") | q.Keyword("WARN") | q.Keyword("ERROR") | q.Keyword("FATAL")),
        ("Group(Regex alternation)", q.Group(q.Regex(r"(?:DEBUG|INFO|WARN|ERROR|FATAL)\b"))),
    )
    for name, g in forms:
        out.append(_agree(f"classify 10^5 lines: {name}.parse_batch vs re.match", lambda g=g: g.parse_batch(lines), base))


def rows():
    out = []
    _fields_rows(out)
    _csv_rows(out)
    _kv_rows(out)
    _log_rows(out)
    _first_line_rows(out)
    _skip_rows(out)
    _mask_rows(out)
    _classify_rows(out)
    return out
