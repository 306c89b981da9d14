"""Random grammars, texts and input lists for the differential tests, and the
builder that makes one grammar twice: from the module and from the model.

A grammar is drawn as a description (nested tuples), so that a failing
example prints readably and can be rebuilt by hand:
    ("lit", "ab")   ("and", [d1, d2, ...])   ("fwd", target) with ("fref",) inside
"""

import functools
import operator
import os

import quillgramx as qgx
from hypothesis import HealthCheck, settings
from hypothesis.database import DirectoryBasedExampleDatabase
from hypothesis import strategies as st

import model

# The default run stays short; QGX_HYPOTHESIS_PROFILE=long (make test-long)
# runs many more examples with fresh randomness each time.
settings.register_profile(
    "default",
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile(
    "long",
    max_examples=3000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    print_blob=True,
    # Failing examples are kept outside the source tree, to be replayed by the next run.
    database=DirectoryBasedExampleDatabase(os.environ.get("QGX_HYPOTHESIS_DB", "/tmp/qgx-hypothesis")),
)
settings.load_profile(os.environ.get("QGX_HYPOTHESIS_PROFILE", "default"))


def have(*names):
    return all(hasattr(qgx, n) for n in names)


# ---------------------------------------------------------------------------
# Texts.

# Letters that the grammars use, structure characters, whitespace of several
# kinds, and characters of two, three and four bytes.
ALPHABET = "aabbc(),_1A \n\t\r\x0b\"'\\é€日Ж٣\u00a0\u3000\U0001F600"
SHORT_ALPHABET = "ab(),\né日"

short_texts = st.text(alphabet=ALPHABET, max_size=24)


@st.composite
def repeating_texts(draw, max_bytes=2100):
    """A block repeated to a byte length around the period bounds: 1023 to
    1026 bytes, twice the block, or just past a whole number of blocks."""
    block = draw(st.text(alphabet=ALPHABET, min_size=1, max_size=6))
    bb = block.encode()
    shape = draw(st.sampled_from(["around-1024", "two-blocks", "long-block", "short", "many-words"]))
    if shape == "many-words":
        # A block of more distinct words than the repeating-text word table holds.
        n = draw(st.integers(30, 70))
        block = " ".join("%s%d" % (draw(st.sampled_from(["a", "b", "ab", "é", "("])), i) for i in range(n)) + " "
        bb = block.encode()
        target = min(2 * len(bb) + draw(st.integers(0, 3)), max_bytes)
    elif shape == "long-block":
        # Blocks near the 1024-byte period limit, repeated twice or a bit more.
        reps = draw(st.integers(1022, 1026)) // len(bb) + 1
        block = block * reps
        bb = block.encode()
        target = draw(st.sampled_from([2 * len(bb), 2 * len(bb) + 3]))
    elif shape == "around-1024":
        target = draw(st.integers(1023, 1026))
    elif shape == "two-blocks":
        target = 2 * len(bb) + draw(st.integers(0, 2))
    else:
        target = draw(st.integers(4, 64))
    target = min(target, max_bytes)
    raw = (bb * (target // len(bb) + 1))[:target]
    text = raw.decode("utf-8", errors="ignore")
    if draw(st.booleans()):
        # One differing byte near the end: a text that starts to repeat but does not.
        tail = draw(st.sampled_from(["x", "é", "\n", ""]))
        text = text[:-1] + tail if text else tail
    return text


def texts(long_ok=True):
    choices = [short_texts, short_texts, st.text(alphabet=SHORT_ALPHABET, max_size=12)]
    if long_ok:
        choices.append(repeating_texts())
    return st.one_of(choices)


def distinct_copy(s):
    """An equal str that is a different object (where the interpreter allows)."""
    return (s + "\x00")[:-1]


@st.composite
def input_lists(draw, long_ok=False, allow_bad=True, text=None):
    """A list of str objects with the repetition shapes the batch rules look for."""
    if text is None:
        text = texts(long_ok) if long_ok else st.text(alphabet=ALPHABET, max_size=10)
    k = draw(st.sampled_from([1, 2, 3, 5, 31, 32, 40]) | st.integers(1, 8))
    pool = [distinct_copy(draw(text)) for _ in range(min(k, 8))]
    while len(pool) < k:
        pool.append(distinct_copy(pool[len(pool) % 8] + "a"[: len(pool) % 2]))
    shape = draw(st.sampled_from(["uniform", "period", "period-long", "broken-period", "ragged", "random", "runs"]))
    if shape == "uniform":
        items = [pool[0]] * draw(st.integers(1, 40))
    elif shape in ("period", "period-long"):
        p = draw(st.integers(1, 8)) if shape == "period" else draw(st.sampled_from([31, 32, 126, 127, 128, 130]))
        block = [pool[i % len(pool)] if i < len(pool) else distinct_copy(pool[i % len(pool)]) for i in range(p)]
        items = block * draw(st.integers(2, 4))
    elif shape == "broken-period":
        p = draw(st.integers(1, 6))
        block = [pool[i % len(pool)] for i in range(p)]
        items = block * draw(st.integers(3, 5))
        items[draw(st.integers(p, len(items) - 1))] = distinct_copy(pool[0] + "b")
    elif shape == "ragged":
        p = draw(st.integers(2, 6))
        block = [pool[i % len(pool)] for i in range(p)]
        items = block * draw(st.integers(2, 4)) + block[: draw(st.integers(1, p - 1))]
    elif shape == "runs":
        items = []
        for _ in range(draw(st.integers(1, 8))):
            items += [draw(st.sampled_from(pool))] * draw(st.integers(1, 4))
    else:
        items = draw(st.lists(st.sampled_from(pool), max_size=50))
    if allow_bad and items and draw(st.integers(0, 9)) == 0:
        bad = draw(st.sampled_from([5, None, b"ab", "\ud800"]))
        items[draw(st.integers(0, len(items) - 1))] = bad
    return items


# ---------------------------------------------------------------------------
# Grammar descriptions.

LIT_TEXTS = ["a", "b", "", "ab", "ba", "aa", "(", ")", ",", "é", "日", "a b", "\n"]
KEYWORD_TEXTS = ["a", "", "ab", "if", "b_", "é", "(", "a1"]
CASELESS_TEXTS = ["a", "AB", "aB", "", "é", "(", "A"]
CHAR_TEXTS = ["a", "ab", "(),", " \n", "", "é", "ab日"]
WORD_SETS = [("ab", None), ("a", "b"), ("ab", "b"), ("ab", ""), ("abc_1", None), ("b", "a(1"), ("(", ")"),
             ("aé", None), ("a", "é")]
QUOTES = [('"', None), ("'", None), ('"', "\\"), ("'", "\\"), ("ab", None), ("", None), ('"', '"'), ("(", ")"),
          ('"', "")]
ONE_OF_TEXTS = ["a b", "ab a", "a ab", "( ) ,", "a\u3000b", "é 日 a", "b\tab\n"]

# Patterns written in the module's syntax and in Python's ('$' is '\Z').
REGEX_ATOMS = ["a", "b", "c", " ", r"\(", "[abc]", "[a-c]", "[^a]", r"[a\]b]", "[aé]", ".", r"\d", r"\s", r"\w", "é"]
REGEX_QUANTIFIERS = ["", "", "*", "+", "?", "{1,2}", "*?", "+?"]
FIXED_PATTERNS = [r"\s+", r"\s*", "", "a*", "^a|b", "[abc]", r"[a\]b]", "[é]", r"\bab", "a$", "(?:ab)+", "a|ab"]


@st.composite
def regex_patterns(draw):
    if draw(st.integers(0, 3)) == 0:
        p = draw(st.sampled_from(FIXED_PATTERNS))
        return p, p.replace("$", r"\Z")
    alts = []
    for _ in range(draw(st.integers(1, 2))):
        seq = "".join(draw(st.sampled_from(REGEX_ATOMS)) + draw(st.sampled_from(REGEX_QUANTIFIERS))
                      for _ in range(draw(st.integers(1, 3))))
        if draw(st.integers(0, 5)) == 0:
            seq = "(?:%s)%s" % (seq, draw(st.sampled_from(["*", "+", "?"])))
        alts.append(seq)
    p = "|".join(alts)
    py = p
    if draw(st.integers(0, 5)) == 0:
        p, py = "^" + p, "^" + py
    if draw(st.integers(0, 5)) == 0:
        p, py = "(?:%s)$" % p, r"(?:%s)\Z" % py
    return p, py


def terminal_strategies():
    out = []
    if have("Literal"):
        out.append(st.tuples(st.just("lit"), st.sampled_from(LIT_TEXTS)))
    if have("Keyword"):
        out.append(st.tuples(st.just("kw"), st.sampled_from(KEYWORD_TEXTS)))
    if have("CaselessLiteral"):
        out.append(st.tuples(st.just("cl"), st.sampled_from(CASELESS_TEXTS)))
    if have("CaselessKeyword"):
        out.append(st.tuples(st.just("ck"), st.sampled_from(CASELESS_TEXTS)))
    if have("Char"):
        out.append(st.tuples(st.just("char"), st.sampled_from(CHAR_TEXTS)))
    if have("Word"):
        out.append(st.sampled_from(WORD_SETS).map(lambda ib: ("word",) + ib))
    if have("Regex"):
        out.append(regex_patterns().map(lambda pp: ("regex",) + pp))
    if have("QuotedString"):
        out.append(st.tuples(st.just("qs"), st.sampled_from(QUOTES), st.booleans(), st.booleans())
                   .map(lambda d: ("qs", d[1][0], d[1][1], d[2], d[3])))
    if have("MatchFirst", "one_of"):
        out.append(st.tuples(st.just("oneof"), st.sampled_from(ONE_OF_TEXTS)))
    fixed = [n for n, c in POSITIONAL.items() if have(c)]
    out.append(st.sampled_from(fixed).map(lambda n: (n,)))
    return st.one_of(out)


POSITIONAL = {"empty": "Empty", "nomatch": "NoMatch", "ls": "LineStart", "le": "LineEnd",
              "ss": "StringStart", "se": "StringEnd", "rol": "rest_of_line"}
WRAPPERS = {"opt": "Optional", "zom": "ZeroOrMore", "oom": "OneOrMore", "group": "Group",
            "suppress": "Suppress", "combine": "Combine", "skipto": "SkipTo"}


def consuming_terminals():
    """Terminals that consume at least one byte whenever they match."""
    out = []
    if have("Literal"):
        out.append(st.tuples(st.just("lit"), st.sampled_from(["a", "b", "ab", ",", "é"])))
    if have("Char"):
        out.append(st.tuples(st.just("char"), st.sampled_from(["a", "ab", ","])))
    if have("Word"):
        out.append(st.sampled_from([("word", "ab", None), ("word", "a", "b")]))
    if have("Keyword"):
        out.append(st.tuples(st.just("kw"), st.sampled_from(["a", "ab"])))
    return st.one_of(out) if out else st.nothing()


def combinator_extend(children):
    out = []
    if have("And"):
        out.append(st.tuples(st.just("and"), st.lists(children, min_size=2, max_size=4)))
    if have("MatchFirst"):
        out.append(st.tuples(st.just("mf"), st.lists(children, max_size=4), st.sampled_from(["ctor", "or"])))
    for tag, cls in WRAPPERS.items():
        if have(cls):
            out.append(st.tuples(st.just(tag), children))
    if have("Exactly"):
        out.append(st.tuples(st.just("exactly"), children, st.sampled_from([0, 1, 2, 3])))
    return st.one_of(out) if out else children


def have_recursion():
    return have("Forward", "And", "Optional", "MatchFirst", "ZeroOrMore", "OneOrMore", "Group", "Literal")


@st.composite
def recursive_grammars(draw):
    """A Forward whose target reaches the Forward again, always after a member
    that consumed text, so every nested match starts further on."""
    # The opening terminal shares no first character with the atoms: otherwise a
    # failed nested match is retried through the atom at every level, which takes
    # time exponential in the nesting (inherent to ordered choice, not a fault).
    open_ = draw(st.sampled_from([("lit", "("), ("char", "([")]))
    close = draw(st.sampled_from([("lit", ")"), ("lit", "b"), ("char", "),")]))
    sep = draw(st.sampled_from([("lit", ","), ("char", ", "), ("lit", "a")]))
    atom = draw(consuming_terminals())
    template = draw(st.integers(0, 3))
    f = ("fref",)
    if template == 0:
        target = ("and", [open_, ("opt", f), close])
    elif template == 1:
        target = ("mf", [("and", [open_, ("zom", f), close]), atom], "ctor")
    elif template == 2:
        target = ("and", [atom, ("opt", ("and", [sep, f]))])
    else:
        target = ("group", ("and", [open_, ("oom", ("mf", [f, atom], "ctor")), close]))
    return ("fwd", target, draw(st.booleans()))


def grammars(max_leaves=6):
    base = terminal_strategies()
    g = st.recursive(base, combinator_extend, max_leaves=max_leaves)
    if have_recursion():
        rec = recursive_grammars()
        g = st.one_of(g, rec, combinator_extend(st.one_of(rec, base)))
    return g


def pieces(desc):
    """Texts the grammar's terminals match, to build texts that it parses."""
    out = []
    if isinstance(desc, list):
        for x in desc:
            out += pieces(x)
        return out
    if not isinstance(desc, tuple) or not desc:
        return out
    tag = desc[0]
    if tag in ("lit", "kw", "cl", "ck") and desc[1]:
        out += [desc[1], desc[1].upper()]
    elif tag == "char" and desc[1]:
        out += list(desc[1])
    elif tag == "word":
        out += [desc[1][:1] + (desc[2] if desc[2] is not None else desc[1])[:2], desc[1][-1:]]
    elif tag == "qs":
        q = desc[1][:1] or '"'
        out += [q + "ab" + q, q + "a\\" + q + q]
    elif tag == "oneof":
        out += desc[1].split()
    elif tag in ("le", "rol"):
        out += ["\n"]
    for x in desc[1:]:
        if isinstance(x, (tuple, list)):
            out += pieces(x)
    return [p for p in out if p]


@st.composite
def texts_for(draw, desc, long_ok=True):
    """Texts made mostly of what the grammar matches, with some noise."""
    parts = pieces(desc)
    if not parts or draw(st.integers(0, 3)) == 0:
        return draw(texts(long_ok))
    chunks = draw(st.lists(st.sampled_from(parts) | st.sampled_from(["x", " ", "\n", "é", ""]), max_size=10))
    text = "".join(chunks)
    if long_ok and draw(st.integers(0, 4)) == 0:
        text = text * (1 + 1030 // max(1, len(text.encode())))
    return text


def uses(desc, tags):
    if isinstance(desc, tuple):
        if desc and desc[0] in tags:
            return True
        return any(uses(x, tags) for x in desc[1:])
    if isinstance(desc, list):
        return any(uses(x, tags) for x in desc)
    return False


# ---------------------------------------------------------------------------
# Building a description twice.


def build(desc, fwd=None):
    """(module object, model object) for a grammar description."""
    tag = desc[0]
    if tag == "lit":
        return qgx.Literal(desc[1]), model.Literal(desc[1])
    if tag == "kw":
        return qgx.Keyword(desc[1]), model.Keyword(desc[1])
    if tag == "cl":
        return qgx.CaselessLiteral(desc[1]), model.CaselessLiteral(desc[1])
    if tag == "ck":
        return qgx.CaselessKeyword(desc[1]), model.CaselessKeyword(desc[1])
    if tag == "char":
        return qgx.Char(desc[1]), model.Char(desc[1])
    if tag == "word":
        return qgx.Word(desc[1], desc[2]), model.Word(desc[1], desc[2])
    if tag == "regex":
        return qgx.Regex(desc[1]), model.Regex(desc[1], desc[2])
    if tag == "qs":
        _, q, e, ml, uq = desc
        return (qgx.QuotedString(q, e, ml, uq), model.QuotedString(q, e, ml, uq))
    if tag == "oneof":
        return qgx.one_of(desc[1]), model.one_of(desc[1])
    if tag in POSITIONAL:
        return getattr(qgx, POSITIONAL[tag])(), getattr(model, POSITIONAL[tag])()
    if tag == "fref":
        return fwd
    if tag == "fwd":
        pair = (qgx.Forward(), model.Forward())
        if desc[2]:
            # A first target that is then replaced: only the second counts.
            pair[0].set(qgx.NoMatch())
            pair[1].set(model.NoMatch())
        real_t, model_t = build(desc[1], pair)
        f = pair[0]
        f <<= real_t
        assert f is pair[0]
        pair[1].set(model_t)
        return pair
    if tag == "and":
        parts = [build(d, fwd) for d in desc[1]]
        return (functools.reduce(operator.add, [p[0] for p in parts]),
                functools.reduce(operator.add, [p[1] for p in parts]))
    if tag == "mf":
        parts = [build(d, fwd) for d in desc[1]]
        # `|` with an And on the left is left open; build such lists whole.
        if desc[2] == "ctor" or len(parts) < 2 or isinstance(parts[0][1], model.And):
            return qgx.MatchFirst([p[0] for p in parts]), model.MatchFirst([p[1] for p in parts])
        return (functools.reduce(operator.or_, [p[0] for p in parts]),
                functools.reduce(operator.or_, [p[1] for p in parts]))
    if tag in WRAPPERS:
        r, m = build(desc[1], fwd)
        return getattr(qgx, WRAPPERS[tag])(r), getattr(model, WRAPPERS[tag])(m)
    if tag == "exactly":
        r, m = build(desc[1], fwd)
        return qgx.Exactly(r, desc[2]), model.Exactly(m, desc[2])
    raise AssertionError("unknown description %r" % (desc,))


# ---------------------------------------------------------------------------
# Running and comparing.


# QGX_MODEL_TRACE=path logs each call before it runs, so that an input that
# crashes the process can be found afterwards (the last line of the file).
TRACE = os.environ.get("QGX_MODEL_TRACE")


def run_module(obj, op, args, context=None):
    if TRACE:
        with open(TRACE, "w") as f:
            f.write("%r\n%s%r\n" % (context, op, tuple(args)))
    try:
        return ("ok", getattr(obj, op)(*args))
    except Exception as e:  # noqa: BLE001 (every error is a result here)
        return ("err", type(e), str(e))


def run_model(m, op, args):
    try:
        return ("ok", getattr(m, op)(*args))
    except model.Unspecified:
        return ("open",)
    except model.Raised as e:
        return ("err", e.exc_type, e.message)
    except RecursionError:
        return ("open",)


def well_formed(value):
    """Every result is built of exact str, list, int and bool objects."""
    if type(value) in (str, int, bool):
        return True
    if type(value) is list:
        return all(well_formed(v) for v in value)
    return False


def check_op(obj, m, op, args, context):
    got = run_module(obj, op, args, context)
    want = run_model(m, op, args)
    where = "%s%r on %r" % (op, tuple(args), context)
    if want[0] == "open":
        assert got[0] == "err" or well_formed(got[1]), where
        return
    if want[0] == "err":
        assert got[0] == "err", "%s: expected %s, got %r" % (where, want[1].__name__, got)
        assert got[1] is want[1], "%s: expected %s(%r), got %r" % (where, want[1].__name__, want[2], got)
        if want[2] is not None:
            assert got[2] == want[2], "%s: message %r, expected %r" % (where, got[2], want[2])
        return
    assert got[0] == "ok", "%s: expected %r, got %r" % (where, want[1], got)
    assert well_formed(got[1]), where
    assert got[1] == want[1], "%s: got %r, expected %r" % (where, got[1], want[1])


def check_all(desc, s, replacement, inputs):
    """All seven operations of one grammar, module against model."""
    try:
        obj, m = build(desc)
    except model.Unspecified:
        return
    context = desc
    check_op(obj, m, "parse_string", [s], context)
    check_op(obj, m, "matches", [s], context)
    check_op(obj, m, "search_string", [s], context)
    check_op(obj, m, "search_string_count", [s], context)
    check_op(obj, m, "transform_string", [s, replacement], context)
    check_op(obj, m, "parse_batch", [inputs], context)
    check_op(obj, m, "parse_batch_count", [inputs], context)
