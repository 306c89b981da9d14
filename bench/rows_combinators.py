"""Benchmark rows of the combinators: each pair does the same work, ours
against the standard-library way, on the same inputs."""

import random
import re

import quillgramx as q

_SIZE = 16 << 20

_KEYWORDS = (
    "if else while for return break continue switch case default "
    "struct union enum typedef static const volatile extern register goto"
).split()

_FILLER = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi".split()


def _key_value_text(size=_SIZE, seed=3):
    rnd = random.Random(seed)
    keys = ["name", "size", "width", "height", "depth", "count", "id", "port", "timeout", "level"]
    parts, n = [], 0
    while n < size:
        if rnd.random() < 0.5:
            p = f"{rnd.choice(keys)}={rnd.randint(0, 99999)}"
        else:
            p = rnd.choice(_FILLER)
        parts.append(p)
        n += len(p) + 1
    return " ".join(parts)[:size]


def _keyword_text(size=_SIZE, seed=5):
    rnd = random.Random(seed)
    parts, n = [], 0
    while n < size:
        w = rnd.choice(_KEYWORDS) if rnd.random() < 0.2 else rnd.choice(_FILLER)
        parts.append(w)
        n += len(w) + 1
    return " ".join(parts)[:size]


def _expressions(n=100_000, seed=9):
    rnd = random.Random(seed)

    def gen(depth):
        if depth == 0 or rnd.random() < 0.35:
            return str(rnd.randint(1, 999))
        if rnd.random() < 0.25:
            return "(" + gen(depth - 1) + ")"
        return gen(depth - 1) + rnd.choice("+-*/") + gen(depth - 1)

    return [gen(5) for _ in range(n)]


def _arithmetic():
    number = q.Word(q.nums())
    expr = q.Forward()
    factor = number | (q.Literal("(") + expr + q.Literal(")"))
    term = factor + q.ZeroOrMore(q.one_of("* /") + factor)
    expr <<= term + q.ZeroOrMore(q.one_of("+ -") + term)
    return expr


# The same grammar the standard-library way: re tokenizes, a recursive-descent
# recognizer keeps the tokens of the longest prefix the grammar accepts.
_ARITH_TOKEN = re.compile(r"[0-9]+|[-+*/()]")


def _factor(toks, i):
    """End of a factor starting at toks[i], or -1."""
    if i >= len(toks):
        return -1
    if toks[i].isdigit():
        return i + 1
    if toks[i] == "(":
        j = _expr(toks, i + 1)
        if j >= 0 and j < len(toks) and toks[j] == ")":
            return j + 1
    return -1


def _term(toks, i):
    i = _factor(toks, i)
    while i >= 0 and i < len(toks) and toks[i] in ("*", "/"):
        j = _factor(toks, i + 1)
        if j < 0:
            break
        i = j
    return i


def _expr(toks, i):
    i = _term(toks, i)
    while i >= 0 and i < len(toks) and toks[i] in ("+", "-"):
        j = _term(toks, i + 1)
        if j < 0:
            break
        i = j
    return i


def _arithmetic_re(text):
    toks = _ARITH_TOKEN.findall(text)
    end = _expr(toks, 0)
    return toks[:end] if end >= 0 else []


def rows():
    kv_text = _key_value_text()
    kv = q.Word(q.alphas()) + q.Literal("=") + q.Word(q.nums())
    kv_re = re.compile(r"([A-Za-z]+)(=)([0-9]+)")

    def kv_baseline():
        out = []
        for m in kv_re.findall(kv_text):
            out.extend(m)
        return out

    kw_text = _keyword_text()
    kw = q.one_of(" ".join(_KEYWORDS))
    kw_re = re.compile("|".join(re.escape(k) for k in _KEYWORDS))

    exprs = _expressions()
    arith = _arithmetic()
    # The baseline skips characters the grammar would stop at; on these
    # inputs (digits, operators and parentheses only) both give equal tokens.
    if arith.parse_batch(exprs) != [_arithmetic_re(e) for e in exprs]:
        raise AssertionError("arithmetic baseline gives other tokens than the grammar")

    # Scans that jump: SkipTo to the next '=', a choice of two rare words.
    skip_eq = q.SkipTo(q.Literal("="))

    def skip_eq_baseline():
        return [p for p in kv_text.split("=")[:-1] if p]

    rare = q.Literal("goto") | q.Literal("union")
    rare_re = re.compile("goto|union")
    if skip_eq.search_string(kv_text[:100000]) != [p for p in kv_text[:100000].split("=")[:-1] if p]:
        raise AssertionError("SkipTo baseline gives other texts")

    return [
        ("key=value search_string 16MiB", lambda: kv.search_string(kv_text), kv_baseline),
        ("SkipTo('=') search_string 16MiB vs split", lambda: skip_eq.search_string(kv_text), skip_eq_baseline),
        ("Literal | Literal (rare) count 16MiB", lambda: rare.search_string_count(kw_text),
         lambda: len(rare_re.findall(kw_text))),
        ("one_of 20 keywords count 16MiB", lambda: kw.search_string_count(kw_text),
         lambda: len(kw_re.findall(kw_text))),
        ("arithmetic parse_batch 100k vs re + recursive descent", lambda: arith.parse_batch(exprs),
         lambda: [_arithmetic_re(e) for e in exprs]),
    ]
