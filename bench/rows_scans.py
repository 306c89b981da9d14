"""Scans over long generated prose, each job written the ways a user would
write it (one pattern, a choice of patterns, a grammar of terminals) and
timed against the standard library and, where it is installed, the `regex`
module. Every way is checked at load against the standard-library result, so
that the speed of a scan shows how far the way it is written moves it."""

import random
import re

import quillgramx as q

try:
    import regex as _regex_module
except ImportError:  # the baseline is skipped where it is not installed
    _regex_module = None

_WORDS = ("the of and to in is that for it as was with be by on not he this are or his from at which but have an "
          "they you were her she there been one all we their has would when if so no will can more other into "
          "some could them than then its only new over also about after first two any these may such like just "
          "wordy words termination terms").split()


def _agree(label, ours, baseline):
    a, b = ours(), baseline()
    if a != b:
        raise AssertionError(f"{label}: results differ ({str(a)[:80]} / {str(b)[:80]})")
    return (label, ours, baseline)


def _prose(n_bytes, seed, extra=(), extra_rate=0.0, paragraphs=False):
    """ASCII prose of about n_bytes: sentences of common words, with `extra`
    items (callables of the random source) mixed in at `extra_rate`."""
    rnd = random.Random(seed)
    out = []
    size = 0
    while size < n_bytes:
        sentence = []
        for _ in range(rnd.randint(6, 18)):
            if extra and rnd.random() < extra_rate:
                sentence.append(rnd.choice(extra)(rnd))
            else:
                sentence.append(rnd.choice(_WORDS))
        s = " ".join(sentence).capitalize() + rnd.choice((". ", ", ", "; ", "? ", ".\n"))
        if paragraphs and rnd.random() < 0.15:
            s = s.rstrip(" ") + "\n\n"
        out.append(s)
        size += len(s)
    return "".join(out).strip() + "\n"


_LOCAL = "abcdefghijklmnopqrstuvwxyz0123456789._-"
_DOMAIN = "abcdefghijklmnopqrstuvwxyz0123456789-"
_URLCH = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./?=&_%-"


def _mail(rnd):
    user = rnd.choice(("bob", "a.smith", "info", "x_y", "team-lead"))
    return f"{user}@{rnd.choice(('example', 'mail', 'lists'))}.{rnd.choice(('org', 'com', 'co.uk'))}"


def _url(rnd):
    return f"http{rnd.choice(('', 's'))}://{rnd.choice(('example.org', 'www.site.com'))}/{rnd.choice(('a', 'doc/x', 'p?q=1'))}"


def _links_rows(out):
    text = _prose(2_000_000, 11, extra=(_mail, _url, lambda r: "user@", lambda r: "http:"), extra_rate=0.01)
    url = r"https?://[a-zA-Z0-9./?=&_%-]+"
    mail = r"[a-z0-9._-]+@[a-z0-9-]+(?:\.[a-z0-9-]+)+"
    both = re.compile(f"{url}|{mail}")
    one = q.Regex(f"{url}|{mail}")
    choice = q.Regex(url) | q.Regex(mail)
    g_url = q.Combine(q.Literal("http") + q.Optional(q.Literal("s")) + q.Literal("://") + q.Word(_URLCH))
    g_mail = q.Combine(q.Word(_LOCAL) + q.Literal("@") + q.Word(_DOMAIN)
                       + q.OneOrMore(q.Combine(q.Literal(".") + q.Word(_DOMAIN))))
    grammar = g_url | g_mail
    base = lambda: both.findall(text)
    for name, e in (("Regex(url|mail)", one), ("Regex(url) | Regex(mail)", choice), ("Combine(Word...) grammar", grammar)):
        out.append(_agree(f"links 2 MB: {name} vs re.findall", lambda e=e: e.search_string(text), base))
    if _regex_module:
        rboth = _regex_module.compile(f"{url}|{mail}")
        for name, e in (("Regex(url|mail)", one), ("Combine(Word...) grammar", grammar)):
            out.append(_agree(f"links 2 MB: {name} vs regex.findall", lambda e=e: e.search_string(text),
                              lambda: rboth.findall(text)))


def _word_rows(out):
    # "term" and "word" only as whole words or as the start of a longer one,
    # so that Keyword's test (the next character) is the word boundary.
    text = _prose(4_000_000, 12, extra=(lambda r: "word", lambda r: "term"), extra_rate=0.002)
    one = q.Regex(r"\bword\b")
    base = lambda: len(re.findall(r"\bword\b", text))
    out.append(_agree("word 4 MB: Regex(\\bword\\b) count vs re", lambda: one.search_string_count(text), base))
    if _regex_module:
        rw = _regex_module.compile(r"\bword\b")
        out.append(_agree("word 4 MB: Regex(\\bword\\b) count vs regex", lambda: one.search_string_count(text),
                          lambda: len(rw.findall(text))))
    pair = re.compile(r"\b(?:word|term)\b")
    ways = (("Regex(\\b(?:word|term)\\b)", q.Regex(r"\b(?:word|term)\b")),
            ("Regex(\\bword\\b) | Regex(\\bterm\\b)", q.Regex(r"\bword\b") | q.Regex(r"\bterm\b")),
            ("Keyword | Keyword", q.Keyword("word") | q.Keyword("term")))
    for name, e in ways:
        out.append(_agree(f"words 4 MB: {name} count vs re", lambda e=e: e.search_string_count(text),
                          lambda: len(pair.findall(text))))
    if _regex_module:
        rpair = _regex_module.compile(r"\b(?:word|term)\b")
        for name, e in ways[:2]:
            out.append(_agree(f"words 4 MB: {name} count vs regex", lambda e=e: e.search_string_count(text),
                              lambda: len(rpair.findall(text))))


def _paragraph_rows(out):
    text = _prose(4_000_000, 13, paragraphs=True)
    base = lambda: len(text.split("\n\n"))
    line = q.Regex(r"[^\n]+")
    nl = q.Literal("\n")
    ways = (("Regex([^\\n]+(\\n[^\\n]+)*)", q.Regex(r"[^\n]+(?:\n[^\n]+)*")),
            ("Regex(multi-line) | Regex(one line)", q.Regex(r"[^\n]+(?:\n[^\n]+)+") | q.Regex(r"[^\n]+")),
            ("line + ZeroOrMore(LineEnd + line)", line + q.ZeroOrMore(nl + line)))
    for name, e in ways:
        out.append(_agree(f"paragraphs 4 MB: {name} count vs split", lambda e=e: e.search_string_count(text), base))
    if _regex_module:
        rp = _regex_module.compile(r"[^\n]+(?:\n[^\n]+)*")
        out.append(_agree("paragraphs 4 MB: Regex count vs regex", lambda: ways[0][1].search_string_count(text),
                          lambda: len(rp.findall(text))))


def _date_rows(out):
    def stamp(rnd):
        return f"{rnd.randint(1990, 2030)}-{rnd.randint(1, 12):02d}-{rnd.randint(1, 28):02d}"

    text = _prose(4_000_000, 14, extra=(stamp, lambda r: str(r.randint(0, 99999)), lambda r: "2024-1"),
                  extra_rate=0.02)
    pat = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
    base = lambda: re.findall(pat, text)
    digit = q.Char("0123456789")
    ways = (("Regex(date)", q.Regex(pat)),
            ("Regex(date) | Regex(date/)", q.Regex(pat) | q.Regex(r"[0-9]{4}/[0-9]{2}/[0-9]{2}")),
            ("Combine(Exactly(Char) + '-' ...)", q.Combine(q.Exactly(digit, 4) + q.Literal("-") + q.Exactly(digit, 2)
                                                          + q.Literal("-") + q.Exactly(digit, 2))))
    for name, e in ways:
        out.append(_agree(f"dates 4 MB: {name} vs re.findall", lambda e=e: e.search_string(text), base))
    if _regex_module:
        rd = _regex_module.compile(pat)
        out.append(_agree("dates 4 MB: Regex(date) vs regex.findall", lambda: ways[0][1].search_string(text),
                          lambda: rd.findall(text)))


def _lines_rows(out):
    # Lines that mention an error: a literal inside the line.
    rnd = random.Random(15)
    lines = []
    for i in range(60_000):
        words = " ".join(rnd.choice(_WORDS) for _ in range(rnd.randint(3, 12)))
        lines.append(f"{i} ERROR {words}" if rnd.random() < 0.03 else f"{i} info {words}")
    text = "\n".join(lines) + "\n"
    pat = r"[^\n]*ERROR[^\n]*"
    base = lambda: re.findall(pat, text)
    rest = q.Regex(r"[^\n]*")
    ways = (("Regex([^\\n]*ERROR[^\\n]*)", q.Regex(pat)),
            ("Regex(...ERROR...) | Regex(...FATAL...)", q.Regex(pat) | q.Regex(r"[^\n]*FATAL[^\n]*")),
            ("Combine(Word + ' ERROR' + rest)", q.Combine(q.Word("0123456789") + q.Literal(" ERROR") + rest)))
    for name, e in ways:
        out.append(_agree(f"error lines 2 MB: {name} vs re.findall", lambda e=e: e.search_string(text), base))


def rows():
    out = []
    _links_rows(out)
    _word_rows(out)
    _paragraph_rows(out)
    _date_rows(out)
    _lines_rows(out)
    return out
