"""A plain, slow reference model of the element semantics.

Every element kind is modelled over the UTF-8 bytes of the text with byte
positions, exactly as the module defines matching; every class carries the
seven Python operations with its own result shapes. Nothing here shortcuts:
batch operations evaluate every item, counts scan every position, and sharing
of result objects is not modelled (only values are).

Where the module leaves a behaviour open (a token or matched text cut inside a
multi-byte character, a regex searched from inside a character, recursion past
the depth bound), the model raises `Unspecified`: the caller then checks only
that the module answered without crashing.
"""

import re


class Unspecified(Exception):
    """The behaviour on this input is left open; compare nothing."""


class Raised(Exception):
    """The operation raises `exc_type`; `message` is None when only the type is fixed."""

    def __init__(self, exc_type, message=None):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message


# Recursion through Forward slots deeper than this is not compared: the module
# bounds nesting depth with its own failure, which the model does not count.
MAX_FORWARD_DEPTH = 250

IDENTIFIER_BYTES = frozenset(b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz")
WHITE_SPACE = frozenset(
    "\u0009\u000a\u000b\u000c\u000d\u0020\u0085\u00a0\u1680"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


WHITE_SPACE_CLASS = "[" + "".join("\\u%04x" % ord(c) for c in sorted(WHITE_SPACE)) + "]"


def enc(s):
    """The UTF-8 text of a str argument; a lone surrogate raises as the module does."""
    try:
        return s.encode("utf-8")
    except UnicodeEncodeError:
        raise Raised(UnicodeEncodeError) from None


def read_item(item):
    """The text of one batch item, or the interpreter's error for it."""
    if not isinstance(item, str):
        raise Raised(TypeError)
    return enc(item)


def dec(b):
    """A token or matched text as a str; a cut inside a character is open."""
    try:
        return b.decode("utf-8")
    except UnicodeDecodeError:
        raise Unspecified("text cut inside a character") from None


def on_boundary(t, p):
    return p >= len(t) or (t[p] & 0xC0) != 0x80


def lower_ascii(b):
    return bytes(c + 32 if 0x41 <= c <= 0x5A else c for c in b)


# Outcomes of parse_at: ("ok", end, [token bytes]) or ("fail", message bytes, position).
def ok(end, tokens=()):
    return ("ok", end, list(tokens))


def fail(message, pos):
    return ("fail", message, pos)


class Budget:
    """A cap on the work of one operation, so that pathological draws end quickly."""

    limit = 400_000
    used = 0

    @classmethod
    def reset(cls):
        cls.used = 0

    @classmethod
    def spend(cls):
        cls.used += 1
        if cls.used > cls.limit:
            raise Unspecified("model work budget exhausted")


class Element:
    """An element kind with the general forms of the seven operations."""

    # ---- the kind: parse_at and try_match ----
    def parse_at(self, t, p):
        raise NotImplementedError

    def try_match(self, t, p):
        """The end of the match at p, or None."""
        raise NotImplementedError

    def failure_message(self):
        raise NotImplementedError

    # ---- composition ----
    def __add__(self, other):
        return And(members_of(self, And) + members_of(other, And))

    def __or__(self, other):
        return MatchFirst(members_of(self, MatchFirst) + members_of(other, MatchFirst))

    # ---- the general forms ----
    def parse_string(self, s):
        t = enc(s)
        Budget.reset()
        r = self.parse_at(t, 0)
        if r[0] == "ok":
            return [dec(x) for x in r[2]]
        raise Raised(ValueError, "ParseException at position %d: %s" % (r[2], dec(r[1])))

    def matches(self, s):
        t = enc(s)
        Budget.reset()
        return self.try_match(t, 0) is not None

    def spans(self, t):
        """The scan of search_string: the non-empty matches, byte by byte."""
        Budget.reset()
        out = []
        p = 0
        while p < len(t):
            e = self.try_match(t, p)
            if e is not None and e > p:
                out.append((p, e))
                p = e
            else:
                p += 1
        return out

    def search_string(self, s):
        t = enc(s)
        return [cut(t, a, b) for a, b in self.spans(t)]

    def search_string_count(self, s):
        t = enc(s)
        Budget.reset()
        count = 0
        p = 0
        while p < len(t):
            e = self.try_match(t, p)
            if e is not None:
                count += 1
                p = e if e > p + 1 else p + 1
            else:
                p += 1
        return count

    def transform_string(self, s, replacement):
        t = enc(s)
        r = enc(replacement)
        return replace_spans(t, self.spans(t), r)

    def batch_item(self, t):
        """One input of parse_batch: its tokens at 0, or an empty list."""
        r = self.parse_at(t, 0)
        return [dec(x) for x in r[2]] if r[0] == "ok" else []

    def parse_batch(self, inputs):
        out = []
        for item in inputs:
            t = read_item(item)
            Budget.reset()
            out.append(self.batch_item(t))
        return out

    def batch_test(self, t):
        return self.try_match(t, 0) is not None

    def parse_batch_count(self, inputs):
        count = 0
        for item in inputs:
            t = read_item(item)
            Budget.reset()
            count += bool(self.batch_test(t))
        return count


def cut(t, a, b):
    if not (on_boundary(t, a) and on_boundary(t, b)):
        raise Unspecified("matched text cut inside a character")
    return dec(t[a:b])


def replace_spans(t, spans, r):
    out = []
    mark = 0
    for a, b in spans:
        if not (on_boundary(t, a) and on_boundary(t, b)):
            raise Unspecified("replaced text cut inside a character")
        out.append(t[mark:a])
        out.append(r)
        mark = b
    out.append(t[mark:])
    return dec(b"".join(out))


def members_of(e, cls):
    return list(e.exprs) if type(e) is cls else [e]


# ---------------------------------------------------------------------------
# Literal family.


class LiteralKind(Element):
    """Shared by Literal, and by the literals of one_of. The empty literal
    (an implementer's choice) matches zero-width at every position; its
    zero-width matches are counted but, as in the general scan, not listed."""

    def __init__(self, s):
        self.s = s
        self.b = s.encode("utf-8")

    def failure_message(self):
        return b"Expected '" + self.b + b"'"

    def try_match(self, t, p):
        Budget.spend()
        return p + len(self.b) if t.startswith(self.b, p) else None

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        return ok(e, [self.b]) if e is not None else fail(self.failure_message(), p)


class Literal(LiteralKind):
    def parse_string(self, s):
        t = enc(s)
        if t.startswith(self.b):
            return [self.s]
        raise Raised(ValueError, "Expected '%s'" % self.s)

    def matches(self, s):
        return enc(s).startswith(self.b)

    def search_string(self, s):
        return [[self.s]] * self.search_string_count(s) if self.b else []

    def search_string_count(self, s):
        t = enc(s)
        return t.count(self.b) if self.b else len(t)

    def transform_string(self, s, replacement):
        t, r = enc(s), enc(replacement)
        return dec(t.replace(self.b, r)) if self.b else s

    def parse_batch(self, inputs):
        return [[self.s] if read_item(x).startswith(self.b) else [] for x in inputs]

    def parse_batch_count(self, inputs):
        return sum(read_item(x).startswith(self.b) for x in inputs)


class KeywordKind(Element):
    """The empty keyword (an implementer's choice) matches zero-width where
    no identifier byte follows; those matches are counted, not listed."""

    def __init__(self, s):
        self.s = s
        self.b = s.encode("utf-8")

    def failure_message(self):
        return b"Expected keyword '" + self.b + b"'"

    def try_match(self, t, p):
        Budget.spend()
        end = p + len(self.b)
        if not t.startswith(self.b, p):
            return None
        if end < len(t) and t[end] in IDENTIFIER_BYTES:
            return None
        return end

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        return ok(e, [self.b]) if e is not None else fail(self.failure_message(), p)


class Keyword(KeywordKind):
    def parse_string(self, s):
        if self.try_match(enc(s), 0) is not None:
            return [self.s]
        raise Raised(ValueError, "Expected keyword")

    def search_string(self, s):
        return [[self.s]] * self.search_string_count(s) if self.b else []

    def parse_batch(self, inputs):
        return [[self.s] if self.try_match(read_item(x), 0) is not None else [] for x in inputs]


class CaselessLiteral(Element):
    def __init__(self, s):
        self.s = s
        self.b = s.encode("utf-8")
        self.lower = lower_ascii(self.b)

    def failure_message(self):
        return b"Expected '" + self.b + b"' (caseless)"

    def try_match(self, t, p):
        Budget.spend()
        end = p + len(self.lower)
        if end > len(t) or lower_ascii(t[p:end]) != self.lower:
            return None
        return end

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        return ok(e, [self.b]) if e is not None else fail(self.failure_message(), p)


class CaselessKeyword(CaselessLiteral):
    def failure_message(self):
        return b"Expected keyword '" + self.b + b"' (caseless)"

    def try_match(self, t, p):
        end = super().try_match(t, p)
        if end is None or (end < len(t) and t[end] in IDENTIFIER_BYTES):
            return None
        return end


class Char(Element):
    def __init__(self, s):
        self.s = s
        self.b = s.encode("utf-8")
        self.members = frozenset(self.b)

    def failure_message(self):
        return b"Expected one of '" + self.b + b"'"

    def try_match(self, t, p):
        Budget.spend()
        return p + 1 if p < len(t) and t[p] in self.members else None

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        return ok(e, [t[p:e]]) if e is not None else fail(self.failure_message(), p)


# ---------------------------------------------------------------------------
# Word, Regex, QuotedString.


def latin1_set(s):
    """Code points up to 255 of `s`, as byte values; the rest is dropped."""
    return frozenset(ord(c) for c in s if ord(c) <= 255)


class Word(Element):
    def __init__(self, init_chars, body_chars=None):
        self.init = latin1_set(init_chars)
        self.body = latin1_set(body_chars) if body_chars is not None else self.init
        self.init_b = init_chars.encode("utf-8")

    def failure_message(self):
        head = self.init_b[:8]
        try:
            head.decode("utf-8")
        except UnicodeDecodeError:
            raise Unspecified("word message cut inside a character") from None
        return b"Expected W:(" + head + b"...)"

    def byte_word(self, t, p):
        """The end of the word at p (the one reading of every Word operation),
        or None: each byte tested by its value; no word begins inside a
        character, and a run that would end inside one ends before it."""
        if p >= len(t) or t[p] not in self.init or not on_boundary(t, p):
            return None
        e = p + 1
        while e < len(t) and t[e] in self.body:
            e += 1
        while e > p and not on_boundary(t, e):
            e -= 1
        return e if e > p else None

    def try_match(self, t, p):
        Budget.spend()
        return self.byte_word(t, p)

    def parse_at(self, t, p):
        Budget.spend()
        e = self.byte_word(t, p)
        return ok(e, [t[p:e]]) if e is not None else fail(self.failure_message(), p)

    # Every Word operation tests bytes, like try_match.
    def parse_string(self, s):
        t = enc(s)
        e = self.byte_word(t, 0)
        if e is None:
            raise Raised(ValueError, "Expected word")
        return [cut(t, 0, e)]

    def matches(self, s):
        return self.byte_word(enc(s), 0) is not None

    def parse_batch(self, inputs):
        out = []
        for x in inputs:
            t = read_item(x)
            e = self.byte_word(t, 0)
            if e is not None:
                out.append(cut(t, 0, e))
        return out

    def batch_test(self, t):
        return self.byte_word(t, 0) is not None


def regex_iterate(compiled, s):
    """Successive non-overlapping leftmost-first matches over the whole str `s`:
    after an empty match the next search starts one character later, and an
    empty match ending where the previous match ended is not reported."""
    out = []
    pos = 0
    last_end = -1
    while pos <= len(s):
        m = compiled.search(s, pos)
        if m is None:
            break
        a, b = m.span()
        if a == b and b == last_end:
            pos = b + 1
            continue
        out.append((a, b))
        last_end = b
        pos = b if b > a else b + 1
    return out


class Regex(Element):
    """A pattern written in the module's syntax, with the same pattern in
    Python's syntax (`py_pattern`; '$' there is spelt '\\Z')."""

    def __init__(self, pattern, py_pattern=None):
        self.pattern = pattern
        py = pattern if py_pattern is None else py_pattern
        # Python's \s also takes U+001C to U+001F; whitespace here is the
        # White_Space property. (\w, \d and \b follow Python's tables, which
        # agree on the characters the tests draw for patterns using them.)
        py = py.replace(r"\s", WHITE_SPACE_CLASS)
        if py.startswith("^"):
            self.anchored = re.compile(py)
        else:
            self.anchored = re.compile("^(?:%s)" % py)
        self.unanchored = re.compile("(?:%s)" % py)

    def failure_message(self):
        return ("Expected match for /%s/" % self.pattern).encode("utf-8")

    def match_rest(self, t, p):
        """The byte end of the counted match at p, or None."""
        if not on_boundary(t, p):
            raise Unspecified("regex searched from inside a character")
        rest = t[p:].decode("utf-8")
        m = self.anchored.search(rest)
        if m is None or m.start() != 0:
            return None
        return p + len(rest[: m.end()].encode("utf-8"))

    def try_match(self, t, p):
        Budget.spend()
        return self.match_rest(t, p)

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        return ok(e, [t[p:e]]) if e is not None else fail(self.failure_message(), p)

    def parse_string(self, s):
        t = enc(s)
        e = self.match_rest(t, 0)
        if e is None:
            raise Raised(ValueError, "Expected regex match")
        return [dec(t[:e])]

    def matches(self, s):
        return self.match_rest(enc(s), 0) is not None

    def search_string(self, s):
        enc(s)
        return [s[a:b] for a, b in regex_iterate(self.unanchored, s)]

    def search_string_count(self, s):
        enc(s)
        return len(regex_iterate(self.unanchored, s))

    def transform_string(self, s, replacement):
        enc(s)
        enc(replacement)
        out = []
        mark = 0
        for a, b in regex_iterate(self.unanchored, s):
            out.append(s[mark:a])
            out.append(replacement)
            mark = b
        out.append(s[mark:])
        return "".join(out)

    def parse_batch(self, inputs):
        out = []
        for x in inputs:
            t = read_item(x)
            e = self.match_rest(t, 0)
            if e is not None:
                out.append(dec(t[:e]))
        return out

    def batch_test(self, t):
        return self.match_rest(t, 0) is not None


class QuotedString(Element):
    def __init__(self, quote_char='"', esc_char=None, multiline=False, unquote=True):
        qb = quote_char.encode("utf-8")
        self.quote = qb[0] if qb else 0x22
        eb = esc_char.encode("utf-8") if esc_char is not None else b""
        self.escape = eb[0] if eb else None
        self.multiline = bool(multiline)
        self.unquote = bool(unquote)
        self.message = b"Expected quoted string starting with '" + qb + b"'"

    def failure_message(self):
        return self.message

    def close(self, t, p):
        """The offset of the closing quote of a string opened at p, or None."""
        if p >= len(t) or t[p] != self.quote:
            return None
        e = p + 1
        while e < len(t):
            c = t[e]
            if not self.multiline and c == 0x0A:
                return None
            if self.escape is not None and c == self.escape:
                e += 2
            elif c == self.quote:
                return e
            else:
                e += 1
        return None

    def try_match(self, t, p):
        Budget.spend()
        e = self.close(t, p)
        return e + 1 if e is not None else None

    def parse_at(self, t, p):
        e = self.close(t, p)
        if e is None:
            return fail(self.message, p)
        return ok(e + 1, [t[p + 1:e] if self.unquote else t[p:e + 1]])


# ---------------------------------------------------------------------------
# Line, position and constant kinds.


class Empty(Element):
    def try_match(self, t, p):
        return p

    def parse_at(self, t, p):
        return ok(p)


class NoMatch(Element):
    def failure_message(self):
        return b"NoMatch will never match"

    def try_match(self, t, p):
        return None

    def parse_at(self, t, p):
        return fail(self.failure_message(), p)


class Positional(Element):
    """A kind decided by a test of the position alone."""

    def parse_at(self, t, p):
        e = self.try_match(t, p)
        if e is None:
            return fail(self.failure_message(), p)
        return ok(e, self.tokens(t, p, e))

    def tokens(self, t, p, e):
        return []


class LineStart(Positional):
    def failure_message(self):
        return b"Expected start of line"

    def try_match(self, t, p):
        return p if p == 0 or (p - 1 < len(t) and t[p - 1] == 0x0A) else None


class LineEnd(Positional):
    def failure_message(self):
        return b"Expected end of line"

    def try_match(self, t, p):
        if p >= len(t):
            return p
        return p + 1 if t[p] == 0x0A else None

    def tokens(self, t, p, e):
        return [b"\n"]


class StringStart(Positional):
    def failure_message(self):
        return b"Expected start of string"

    def try_match(self, t, p):
        return 0 if p == 0 else None


class StringEnd(Positional):
    def failure_message(self):
        return b"Expected end of string"

    def try_match(self, t, p):
        return p if p >= len(t) else None


class rest_of_line(Positional):  # noqa: N801 (the class's own name)
    def failure_message(self):
        return b"Expected rest of line"

    def try_match(self, t, p):
        if p > len(t):
            return None
        if not on_boundary(t, p):
            raise Unspecified("line scan from inside a character")
        i = t.find(b"\n", p)
        return len(t) if i < 0 else i

    def tokens(self, t, p, e):
        return [t[p:e]]


# ---------------------------------------------------------------------------
# Combinators.


class And(Element):
    def __init__(self, exprs):
        self.exprs = list(exprs)

    def parse_at(self, t, p):
        cur = p
        tokens = []
        for m in self.exprs:
            r = m.parse_at(t, cur)
            if r[0] != "ok":
                return r
            tokens += r[2]
            cur = r[1]
        return ok(cur, tokens)

    def try_match(self, t, p):
        cur = p
        for m in self.exprs:
            cur = m.try_match(t, cur)
            if cur is None:
                return None
        return cur

    def sequence(self, t, p):
        """(end, member spans) of the sequence match at p, or None."""
        cur = p
        spans = []
        for m in self.exprs:
            e = m.try_match(t, cur)
            if e is None:
                return None
            spans.append((cur, e))
            cur = e
        return cur, spans

    def texts(self, t, spans):
        return [cut(t, a, b) for a, b in spans if b > a]

    # The class's own operations list member texts, not member tokens.
    def parse_string(self, s):
        t = enc(s)
        Budget.reset()
        r = self.sequence(t, 0)
        if r is None:
            raise Raised(ValueError, "Expected match")
        return self.texts(t, r[1])

    def search_string(self, s):
        t = enc(s)
        Budget.reset()
        out = []
        p = 0
        while p < len(t):
            r = self.sequence(t, p)
            if r is None:
                p += 1
                continue
            out += self.texts(t, r[1])
            p = max(p + 1, r[0])
        return out

    def parse_batch(self, inputs):
        n = len(inputs)
        if n == 0:
            return []
        evaluated = []
        for x in inputs:
            t = read_item(x)
            Budget.reset()
            r = self.sequence(t, 0)
            evaluated.append(None if r is None else self.texts(t, r[1]))
        if all(x is inputs[0] for x in inputs):
            first = evaluated[0]
            if first is None:
                return [[] for _ in range(n)]
            if first:
                return [list(first) for _ in range(n)]
        flat = []
        for texts in evaluated:
            if texts:
                flat += texts
        return flat


class MatchFirst(Element):
    def __init__(self, exprs):
        self.exprs = list(exprs)

    def parse_at(self, t, p):
        last = None
        for a in self.exprs:
            r = a.parse_at(t, p)
            if r[0] == "ok":
                return r
            last = r
        return last if last is not None else fail(b"No match found", p)

    def try_match(self, t, p):
        for a in self.exprs:
            e = a.try_match(t, p)
            if e is not None:
                return e
        return None

    def parse_string(self, s):
        t = enc(s)
        Budget.reset()
        for a in self.exprs:
            r = a.parse_at(t, 0)
            if r[0] == "ok":
                return [dec(x) for x in r[2]]
        raise Raised(ValueError, "No match found")


class Wrapper(Element):
    def __init__(self, expr):
        self.expr = expr


class Optional(Wrapper):
    def parse_at(self, t, p):
        r = self.expr.parse_at(t, p)
        return r if r[0] == "ok" else ok(p)

    def try_match(self, t, p):
        e = self.expr.try_match(t, p)
        return p if e is None else e

    def parse_string(self, s):
        t = enc(s)
        Budget.reset()
        e = self.expr.try_match(t, 0)
        if e is None or e == 0:
            return []
        r = self.expr.parse_at(t, 0)
        return [dec(x) for x in r[2]] if r[0] == "ok" else []

    def matches(self, s):
        enc(s)
        return True


class ZeroOrMore(Wrapper):
    def parse_at(self, t, p):
        cur = p
        tokens = []
        while True:
            r = self.expr.parse_at(t, cur)
            if r[0] != "ok" or r[1] == cur:
                return ok(cur, tokens)
            tokens += r[2]
            cur = r[1]

    def try_match(self, t, p):
        cur = p
        while True:
            e = self.expr.try_match(t, cur)
            if e is None or e == cur:
                return cur
            cur = e


class OneOrMore(Wrapper):
    def parse_at(self, t, p):
        cur = p
        tokens = []
        appended = 0
        while True:
            r = self.expr.parse_at(t, cur)
            if r[0] != "ok" or r[1] == cur:
                break
            tokens += r[2]
            cur = r[1]
            appended += 1
        if appended == 0:
            return fail(b"Expected at least one match", p)
        return ok(cur, tokens)

    def try_match(self, t, p):
        cur = self.expr.try_match(t, p)
        if cur is None:
            return None
        while True:
            e = self.expr.try_match(t, cur)
            if e is None or e == cur:
                return cur
            cur = e


class Exactly(Wrapper):
    def __init__(self, expr, count):
        super().__init__(expr)
        self.count = count

    def parse_at(self, t, p):
        cur = p
        tokens = []
        for _ in range(self.count):
            r = self.expr.parse_at(t, cur)
            if r[0] != "ok":
                return r
            if r[1] == cur:
                return fail(b"No progress in Exactly", cur)
            tokens += r[2]
            cur = r[1]
        return ok(cur, tokens)

    def try_match(self, t, p):
        cur = p
        for _ in range(self.count):
            e = self.expr.try_match(t, cur)
            if e is None or e == cur:
                return None
            cur = e
        return cur


class Group(Wrapper):
    def parse_at(self, t, p):
        return self.expr.parse_at(t, p)

    def try_match(self, t, p):
        return self.expr.try_match(t, p)


class Suppress(Wrapper):
    def parse_at(self, t, p):
        e = self.expr.try_match(t, p)
        return ok(e) if e is not None else fail(b"Suppress: no match", p)

    def try_match(self, t, p):
        return self.expr.try_match(t, p)

    def parse_string(self, s):
        t = enc(s)
        Budget.reset()
        if self.expr.try_match(t, 0) is not None:
            return []
        raise Raised(ValueError, "No match (suppressed)")

    def parse_batch(self, inputs):
        out = []
        for x in inputs:
            t = read_item(x)
            Budget.reset()
            self.expr.try_match(t, 0)
            out.append([])
        return out


class Combine(Wrapper):
    def parse_at(self, t, p):
        r = self.expr.parse_at(t, p)
        return ok(r[1], [t[p:r[1]]]) if r[0] == "ok" else r

    def try_match(self, t, p):
        return self.expr.try_match(t, p)


class SkipTo(Wrapper):
    def find(self, t, p):
        for q in range(p, len(t) + 1):
            if self.expr.try_match(t, q) is not None:
                return q
        return None

    def parse_at(self, t, p):
        q = self.find(t, p)
        return ok(q, [t[p:q]]) if q is not None else fail(b"SkipTo: target not found", p)

    def try_match(self, t, p):
        return self.find(t, p)


class Forward(Element):
    def __init__(self):
        self.expr = None
        self.depth = 0

    def set(self, expr):
        self.expr = expr

    def __ilshift__(self, expr):
        self.expr = expr
        return self

    def enter(self):
        self.depth += 1
        if self.depth > MAX_FORWARD_DEPTH:
            self.depth = 0
            raise Unspecified("recursion deeper than the compared bound")

    def parse_at(self, t, p):
        if self.expr is None:
            return fail(b"Forward not initialized", p)
        self.enter()
        try:
            return self.expr.parse_at(t, p)
        finally:
            self.depth = max(0, self.depth - 1)

    def try_match(self, t, p):
        if self.expr is None:
            return None
        self.enter()
        try:
            return self.expr.try_match(t, p)
        finally:
            self.depth = max(0, self.depth - 1)


def one_of(strs):
    words = []
    cur = []
    for c in strs:
        if c in WHITE_SPACE:
            if cur:
                words.append("".join(cur))
                cur = []
        else:
            cur.append(c)
    if cur:
        words.append("".join(cur))
    if not words:
        raise Raised(ValueError, "one_of requires at least one string")
    return MatchFirst([LiteralKind(w) for w in words])


OPERATIONS = (
    "parse_string",
    "matches",
    "search_string",
    "search_string_count",
    "transform_string",
    "parse_batch",
    "parse_batch_count",
)
