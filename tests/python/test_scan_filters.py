"""Scans that pass over positions by a literal every match holds further on
(and, for a choice, by each alternative's own literal) give what the scan
that tries every position gives: the same spans, counts and replaced text."""

import pytest

import quillgramx as q

_LOCAL = "abcdefghijklmnopqrstuvwxyz0123456789._-"
_DOMAIN = "abcdefghijklmnopqrstuvwxyz0123456789-"


def _mail():
    return q.Combine(q.Word(_LOCAL) + q.Literal("@") + q.Word(_DOMAIN)
                     + q.OneOrMore(q.Combine(q.Literal(".") + q.Word(_DOMAIN))))


GRAMMARS = {
    "word @ grammar": _mail,
    "mail regex": lambda: q.Regex(r"[a-z0-9._-]+@[a-z0-9-]+(?:\.[a-z0-9-]+)+"),
    "choice of regexes": lambda: q.Regex(r"https?://[a-z./]+") | q.Regex(r"[a-z0-9._-]+@[a-z0-9-]+(?:\.[a-z]+)+"),
    "choice of grammars": lambda: q.Combine(q.Literal("http") + q.Literal("://") + q.Word("abc./")) | _mail(),
    "line with a literal, choice": lambda: q.Regex(r"[^\n]*ERR[^\n]*") | q.Regex(r"[^\n]*FAT[^\n]*"),
    "digits then literal": lambda: q.Combine(q.Word("0123456789") + q.Literal(" ERR") + q.Regex(r"[^\n]*")),
    "overlapping literal": lambda: q.Optional(q.Word("a")) + q.Literal("aab"),
    "word boundaries, choice": lambda: q.Regex(r"\bword\b") | q.Regex(r"\bterm\b"),
    "zero-width alternative": lambda: q.Regex(r"[a-c]+@x") | q.Empty(),
}

_PIECES = ["bob@ex.org", "a.b@c.co.uk", "user@", "@x.y", "x@y", "http://a.b/c", "http:", "1 ERR x", "12 FATAL",
           "ERR", "aab", "aaaab", "aaab", "word", "words", "xword", "term.", "\u00e9word", "word\u00e9", "caf\u00e9@x.fr",
           "\u00e9\u00e9@\u00e9", "a@x", "abc@x", "\n", "\n\n", " ", ". ", "q"]


def _texts():
    import random
    rnd = random.Random(5)
    out = []
    for n in (3, 40, 200):
        for _ in range(4):
            out.append("".join(rnd.choice(_PIECES) + rnd.choice(("", " ", "\n", "x")) for _ in range(n)))
    return out


def _plain_scan(e, text):
    """search_string and search_string_count by trying every position."""
    whole = q.Combine(e)
    spans, count, p = [], 0, 0
    while p < len(text):
        rest = text[p:]
        if e.matches(rest):
            got = whole.parse_batch([rest])[0]
            m = got[0] if got else ""
            # The counting scan steps a byte at a time: Empty matches inside
            # a character too.
            count += 1 if m else len(text[p].encode())
            if m:
                spans.append(m)
                p += len(m)
                continue
        p += 1
    return spans, count


@pytest.mark.parametrize("name", sorted(GRAMMARS))
def test_scans_equal_the_plain_scan(name):
    e = GRAMMARS[name]()
    for text in _texts():
        spans, count = _plain_scan(e, text)
        assert e.search_string(text) == spans, text
        assert e.search_string_count(text) == count, text
        assert e.transform_string(text, "#") == _replaced(text, spans, e)


def _replaced(text, spans, e):
    # The replaced text from the spans the plain scan found, in order.
    out, p = [], 0
    whole = q.Combine(e)
    for m in spans:
        i = p
        while True:
            i = text.index(m, i)
            got = whole.parse_batch([text[i:]])[0] if e.matches(text[i:]) else []
            if got and got[0] == m and not _match_before(e, text, p, i):
                break
            i += 1
        out.append(text[p:i] + "#")
        p = i + len(m)
    return "".join(out) + text[p:]


def _match_before(e, text, lo, hi):
    whole = q.Combine(e)
    for j in range(lo, hi):
        if e.matches(text[j:]):
            got = whole.parse_batch([text[j:]])[0]
            if got and got[0]:
                return True
    return False
