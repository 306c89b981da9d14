"""Benchmark rows of the literal family: each pair does the same work, ours
against the standard-library way, on the same inputs."""

import random
import re

import quillgramx as q

_WORDS = (
    "the of and to in is was that for it with as his on be at by had are but from or have an they which one "
    "you were her all she there would their we him been has when who will more no if out so said what up its "
    "about into than them can only other new some could time these two may then do first any my now such like "
    "our over man me even most made after also did many before must through back years where much your way "
    "well down should because each just those people how too little state good very make world still own see "
    "men work long get here between both life being under never day same another know while last might us "
    "great old year off come since against go came right used take three"
).split()

_SIZE = 64 << 20


def _word_text(size=_SIZE, seed=7):
    rnd = random.Random(seed)
    parts, n = [], 0
    while n < size:
        w = rnd.choice(_WORDS)
        if rnd.random() < 0.08:
            w = w.capitalize()
        parts.append(w)
        n += len(w) + 1
    return " ".join(parts)[:size]


def rows():
    words = _word_text()
    rep = "abc " * (_SIZE // 4)
    distinct = [f"ab{i}" if i % 2 else f"x{i}" for i in range(1_000_000)]
    one = "abcdef"
    same = [one] * 1_000_000
    keyword_re = re.compile(r"if(?![0-9A-Za-z_])")

    out = []
    for needle in ("th", "because"):
        lit = q.Literal(needle)
        out.append((f"count {len(needle)}B words", lambda l=lit: l.search_string_count(words),
                    lambda n=needle: words.count(n)))
    for needle in ("ab", "abc abc"):
        lit = q.Literal(needle)
        out.append((f"count {len(needle)}B repetitive", lambda l=lit: l.search_string_count(rep),
                    lambda n=needle: rep.count(n)))
    for needle, text, name in (("th", words, "words"), ("because", words, "words"), ("ab", rep, "repetitive")):
        lit = q.Literal(needle)
        out.append((f"replace {len(needle)}B {name}", lambda l=lit, t=text: l.transform_string(t, "XY"),
                    lambda n=needle, t=text: t.replace(n, "XY")))
    kw = q.Keyword("if")
    out.append(("keyword count words", lambda: kw.search_string_count(words),
                lambda: len(keyword_re.findall(words))))

    lit = q.Literal("ab")
    out.append(("batch count distinct", lambda: lit.parse_batch_count(distinct),
                lambda: sum(x.startswith("ab") for x in distinct)))
    out.append(("batch parse distinct", lambda: lit.parse_batch(distinct),
                lambda: [["ab"] if x.startswith("ab") else [] for x in distinct]))
    out.append(("batch count same", lambda: lit.parse_batch_count(same),
                lambda: sum(x.startswith("ab") for x in same)))
    out.append(("batch parse same", lambda: lit.parse_batch(same),
                lambda: [["ab"] if x.startswith("ab") else [] for x in same]))
    return out
