import functools
import gc
import operator
import os
import subprocess
import sys
import textwrap

import pytest

import quillgramx as q
from quillgramx import And, Literal, MatchFirst


a, b, c, d, x = (Literal(s) for s in "abcdx")


@pytest.mark.parametrize(
    "build, text, parsed",
    [
        (lambda: a + b + c, "abc", ["a", "b", "c"]),
        (lambda: a + (b + c), "abc", ["a", "b", "c"]),
        (lambda: (a + b) + (c + d), "abcd", ["a", "b", "c", "d"]),
        (lambda: a + a, "aa", ["a", "a"]),
    ],
)
def test_plus_flattens_ands(build, text, parsed):
    e = build()
    assert type(e) is And
    assert e.parse_string(text) == parsed
    # A flat And reports one text per member; a nested one would join them.
    assert e.search_string(text) == parsed


def test_plus_keeps_a_match_first_as_one_member():
    e = (a | b) + c
    assert type(e) is And
    assert e.parse_string("bc") == ["b", "c"]
    with pytest.raises(ValueError, match="^Expected match$"):
        e.parse_string("cc")


def test_or_flattens_match_firsts_and_keeps_an_and_whole():
    assert (a | b | c).parse_batch(["a", "b", "c", "d"]) == [["a"], ["b"], ["c"], []]
    assert (a | (b | c)).matches("c")
    e = a | b + c
    assert type(e) is MatchFirst
    assert e.parse_string("bc") == ["b", "c"]
    assert not e.matches("b")


def test_or_with_an_and_on_the_left_makes_the_and_one_alternative():
    e = a + b | c
    assert type(e) is MatchFirst
    assert e.parse_string("ab") == ["a", "b"]
    assert e.parse_string("c") == ["c"]
    with pytest.raises(ValueError, match="^No match found$"):
        e.parse_string("a")
    # A MatchFirst on the right is spliced after the And.
    f = (a + b) | MatchFirst([c, d])
    assert f.parse_batch(["ab", "c", "d", "a"]) == [["a", "b"], ["c"], ["d"], []]
    assert type(a + b | c | d) is MatchFirst


@pytest.mark.parametrize(
    "build, inputs, expected",
    [
        (lambda: MatchFirst([a, b]) | MatchFirst([c]), ["a", "b", "c", "x"], [["a"], ["b"], ["c"], []]),
        (lambda: x | MatchFirst([]), ["x", "a"], [["x"], []]),
        (lambda: MatchFirst([]) | MatchFirst([]), ["", "a"], [[], []]),
    ],
)
def test_match_first_splicing(build, inputs, expected):
    assert build().parse_batch(inputs) == expected


def test_empty_match_first_plus_is_an_and_of_two_members():
    e = MatchFirst([]) + x
    assert type(e) is And
    assert not e.matches("x")
    assert (q.Optional(MatchFirst([])) + x).parse_string("x") == ["x"]


def test_operands_are_unchanged():
    ab = a + b
    abc = ab + c
    assert ab.parse_string("ab") == ["a", "b"]
    assert abc.parse_string("abc") == ["a", "b", "c"]
    assert a.parse_string("a") == ["a"]
    m = a | b
    m2 = m | c
    assert not m.matches("c") and m2.matches("c")


def test_members_share_the_operand_records():
    f = q.Forward()
    g = Literal("a") + f
    f <<= Literal("b")
    assert g.matches("ab")
    assert g.parse_string("ab") == ["a", "b"]


@pytest.mark.parametrize(
    "expr, message",
    [
        (lambda: q.Word(q.alphas()) + 5, "Unsupported operand type for +"),
        (lambda: q.Word(q.alphas()) + "x", "Unsupported operand type for +"),
        (lambda: (a + b) + None, "Unsupported operand type for +"),
        (lambda: Literal("a") | None, "Unsupported operand type for |"),
        (lambda: Literal("a") | 1, "Unsupported operand type for |"),
        (lambda: (a | b) | "c", "Unsupported operand type for |"),
        (lambda: (a + b) | 2, "Unsupported operand type for |"),
    ],
)
def test_right_operand_that_is_no_element(expr, message):
    with pytest.raises(ValueError) as e:
        expr()
    assert str(e.value) == message


@pytest.mark.parametrize("expr", [lambda: 5 + a, lambda: "x" | a, lambda: None + (a + b), lambda: 1 | (a | b)])
def test_left_operand_that_is_no_element_is_refused_by_the_interpreter(expr):
    with pytest.raises(TypeError, match="unsupported operand"):
        expr()


def test_in_place_operators_bind_a_new_object():
    e = a
    e += b
    assert type(e) is And and e.parse_string("ab") == ["a", "b"]
    m = a
    m |= b
    assert type(m) is MatchFirst and m.matches("b")
    assert a.parse_string("a") == ["a"]


def test_every_class_has_plus_and_or():
    samples = [
        Literal("a"), q.Keyword("a"), q.Word(q.alphas()), q.Regex("a"), a + b, a | b, q.ZeroOrMore(a),
        q.OneOrMore(a), q.Optional(a), q.Group(a), q.Suppress(a), q.Forward(), q.Combine(a), q.Exactly(a, 1),
        q.CaselessLiteral("a"), q.CaselessKeyword("a"), q.Char("a"), q.StringStart(), q.StringEnd(),
        q.LineStart(), q.LineEnd(), q.rest_of_line(), q.QuotedString(), q.Empty(), q.NoMatch(), q.SkipTo(a),
    ]
    assert len({type(s) for s in samples}) == 26
    for s in samples:
        assert type(s + x) is And
        assert type(s | x) is MatchFirst


def test_operators_release_what_they_take():
    left, right = Literal("l"), Literal("r")
    counts = sys.getrefcount(left), sys.getrefcount(right)
    for _ in range(1000):
        left + right
        left | right
        with pytest.raises(ValueError):
            left + 3
    gc.collect()
    assert (sys.getrefcount(left), sys.getrefcount(right)) == counts


@pytest.mark.parametrize(
    "text, words",
    [
        ("a b a", ["a", "b", "a"]),
        ("  x\t\ny  ", ["x", "y"]),
        ("a\u3000b", ["a", "b"]),
        ("a\u00a0b", ["a", "b"]),
        ("a\u0085b\u2028c\u2029d\u202fe\u205ff\u1680g\u2000h\u200ai\x0bj\x0ck\rl", list("abcdefghijkl")),
        ("a\u001cb", ["a\u001cb"]),
        ("a\u200bb", ["a\u200bb"]),
        ("a\u180eb", ["a\u180eb"]),
        ("+ - * /", ["+", "-", "*", "/"]),
    ],
)
def test_one_of_words(text, words):
    m = q.one_of(text)
    assert type(m) is MatchFirst
    # Each word alone is matched by exactly the alternative made from it.
    assert m.parse_batch(words) == [[w] for w in words]
    assert m.search_string(" ".join(words)) == words


def test_one_of_keeps_order_and_duplicates():
    assert q.one_of("a ab").parse_string("ab") == ["a"]
    assert q.one_of("ab a").parse_string("ab") == ["ab"]
    assert q.one_of("a b a").search_string_count("aba") == 3
    assert q.one_of(strs="x y").matches("y")


@pytest.mark.parametrize("text", ["", "   ", "\n\t", "\u3000\u2028"])
def test_one_of_without_words(text):
    with pytest.raises(ValueError) as e:
        q.one_of(text)
    assert str(e.value) == "one_of requires at least one string"


def test_one_of_argument_errors():
    with pytest.raises(TypeError) as e:
        q.one_of(["a", "b"])
    assert str(e.value) == "argument 'strs': 'list' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        q.one_of()
    assert str(e.value) == "one_of() missing 1 required positional argument: 'strs'"
    with pytest.raises(UnicodeEncodeError):
        q.one_of("a \ud800")


def test_one_of_doc_and_place():
    assert q.one_of.__doc__ == (
        "Create a MatchFirst from a space-separated string of literal alternatives.\n"
        'Equivalent to quillgram.one_of("+ - * /").'
    )
    assert q.one_of.__text_signature__ == "(strs)"
    assert q.__all__[-2:] == ["one_of", "__version__"]
    assert q.__all__.index("one_of") == q.__all__.index("alphas_lower") + 1


# ---------------------------------------------------------------------------
# Long chains: the left operand of each operator is the previous operator's
# temporary result, whose record grows in place when nothing else sees it.


def test_long_chains_are_linear():
    # 200,000 operands: copying the left operand's members at each operator
    # copied 2 * 10**10 handles (minutes); growing in place, or sharing the
    # left operand's record as one piece, costs well under a second. The
    # results are checked whole.
    code = textwrap.dedent("""
        import functools, operator
        import quillgramx as q
        n = 200_000
        lits = [q.Literal("%05x," % i) for i in range(n)]
        text = "".join("%05x," % i for i in range(n))
        seq = functools.reduce(operator.add, lits)
        assert seq.parse_string(text) == ["%05x," % i for i in range(n)]
        seq2 = sum(lits[2:], lits[0] + lits[1])
        assert seq2.search_string_count(text) == 1
        alt = functools.reduce(operator.or_, lits)
        assert alt.search_string(text[-12:] + text[:6]) == ["%05x," % (n - 2), "%05x," % (n - 1), "00000,"]
        print("ok")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    assert r.stdout.strip() == "ok"


def _shared(e, group, fwd):
    # Another holder of the record: a Group and a Forward target. The caller
    # gets the object back with no name left on it, a temporary of its own
    # expression.
    group.append(q.Group(e))
    fwd.set(e)
    return e


def test_a_temporary_whose_record_is_shared_is_copied():
    group, fwd = [], q.Forward()
    grown = _shared(a + b, group, fwd) + c + d
    assert grown.parse_string("abcd") == ["a", "b", "c", "d"]
    # The Group and the Forward still hold the two members they were given.
    assert group[0].parse_string("abcd") == ["a", "b"]
    assert not fwd.matches("ac") and fwd.matches("ab")
    group, fwd = [], q.Forward()
    grown = _shared(a | b, group, fwd) | c | d
    assert grown.search_string("abcd") == ["a", "b", "c", "d"]
    assert group[0].search_string("abcd") == ["a", "b"]
    assert fwd.search_string_count("abcd") == 2


def test_a_chain_keeps_every_named_operand_unchanged():
    ab = a + b
    chains = [ab + c + d, ab + d + c, (ab | c) | d, q.one_of("a b") | c | d]
    assert ab.parse_string("abcd") == ["a", "b"] and not ab.matches("ac")
    assert chains[0].parse_string("abcd") == ["a", "b", "c", "d"]
    assert chains[1].parse_string("abdc") == ["a", "b", "d", "c"]
    assert chains[2].parse_batch(["ab", "c", "d", "a"]) == [["a", "b"], ["c"], ["d"], []]
    assert chains[3].search_string("dcbax") == ["d", "c", "b", "a"]


def _matched(m):
    # The first match makes a first-byte table of the members.
    assert m.search_string("ab") == ["a", "b"]
    return m


def test_a_matched_temporary_choice_is_copied():
    # A choice with a table is not grown, so its table never misses a member.
    grown = _matched(a | b) | c | Literal("dd")
    assert grown.search_string("abcdd") == ["a", "b", "c", "dd"]
    assert grown.search_string_count("xcx") == 1


def test_chains_of_temporaries_splice_flat():
    # An And on the right of a growing chain contributes its members.
    assert (a + b + (c + d) + x).search_string("abcdx") == ["a", "b", "c", "d", "x"]
    e = functools.reduce(operator.or_, [a, b, q.one_of("c d"), x])
    assert e.parse_batch(["a", "b", "c", "d", "x", "y"]) == [["a"], ["b"], ["c"], ["d"], ["x"], []]


@pytest.mark.parametrize("form", ["reduce", "e = e + x", "e = x + e"])
def test_a_chain_through_a_forward_is_collected(form):
    # A member that reaches a Forward, appended in place or beside a spliced
    # piece, makes the record one that may sit in a cycle; dropped cycles must
    # not pile up.
    # Under AddressSanitizer freed memory sits in quarantine: only the run is checked.
    under_asan = "libasan" in os.environ.get("LD_PRELOAD", "")
    code = textwrap.dedent("""
        import functools, operator, os, sys
        import quillgramx as q
        rounds, check, form = int(sys.argv[1]), sys.argv[2] == "1", sys.argv[3]
        page = os.sysconf("SC_PAGE_SIZE")
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * page
        words = [q.Literal("w%d" % i) for i in range(200)]
        start = None
        for i in range(rounds):
            f = q.Forward()
            members = words + [q.Optional(q.Group(f))]
            if form == "reduce":
                e = functools.reduce(operator.add, members)
            elif form == "e = e + x":
                e = members[0] + members[1]
                for m in members[2:]:
                    e = e + m
            else:
                e = members[-2] + members[-1]
                for m in reversed(members[:-2]):
                    e = m + e
            f <<= e
            del e, members
            assert f.matches("".join("w%d" % i for i in range(200)))
            del f
            if i == rounds // 10:
                start = resident()
        grown = resident() - start
        assert not check or grown < 8 * 1024 * 1024, grown
        print("ok")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    args = ["1000", "0"] if under_asan else ["20000", "1"]
    r = subprocess.run([sys.executable, "-c", code, *args, form], capture_output=True, text=True, timeout=300, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    assert r.stdout.strip() == "ok"


def test_chains_release_what_they_take():
    lits = [Literal("l%d" % i) for i in range(50)]
    counts = [sys.getrefcount(x) for x in lits]
    for _ in range(200):
        functools.reduce(operator.add, lits)
        functools.reduce(operator.or_, lits)
        with pytest.raises(ValueError):
            functools.reduce(operator.add, lits + [3])
    gc.collect()
    assert [sys.getrefcount(x) for x in lits] == counts


# ---------------------------------------------------------------------------
# A temporary matched before it grows: whatever its first matches made from
# its members (its program, its table of first bytes) must not outlive them.

_EVERY_OPERATION = [
    ("parse_string", "ab"),
    ("matches", "ab"),
    ("search_string", "ab"),
    ("search_string_count", "ab"),
    ("transform_string", "ab", "X"),
    ("parse_batch", ["ab"]),
    ("parse_batch_count", ["ab"]),
]


def _run_all(e):
    for name, *args in _EVERY_OPERATION:
        try:
            getattr(e, name)(*args)
        except ValueError:
            pass


def _matched_directly(t):
    _run_all(t)
    return t


def _matched_through_a_retargeted_forward(t):
    f = q.Forward()
    f <<= t
    _run_all(f)
    f <<= Literal("z")
    return t


# Each operation on texts where a grown sequence a + b + c or a grown choice
# a | b | c answers otherwise than its two first members do.
_GROWN_CASES = [
    ("parse_string", ("abc",)),
    ("parse_string", ("c",)),
    ("matches", ("ab",)),
    ("matches", ("c",)),
    ("search_string", ("ab abc c",)),
    ("search_string_count", ("ab abc c",)),
    ("transform_string", ("ab abc c", "Z")),
    ("parse_batch", (["ab", "abc", "c"],)),
    ("parse_batch_count", (["ab", "abc", "c"],)),
]


def _grow(op, compile_first):
    # The temporary has no name left when the caller's operator sees it.
    return op(compile_first(op(Literal("a"), Literal("b"))), Literal("c"))


def _forward_to(e):
    f = q.Forward()
    f <<= e
    return f


def _outcome(e, name, args):
    try:
        return getattr(e, name)(*args)
    except ValueError as err:
        return ("ValueError", str(err))


@pytest.mark.parametrize("op", [operator.add, operator.or_], ids=["and", "or"])
@pytest.mark.parametrize("compile_first", [_matched_directly, _matched_through_a_retargeted_forward])
@pytest.mark.parametrize("through_forward", [False, True], ids=["root", "forward"])
@pytest.mark.parametrize("name, args", _GROWN_CASES)
def test_a_temporary_matched_before_it_grows(op, compile_first, through_forward, name, args):
    grown = _grow(op, compile_first)
    # The same grammar built without a match before it grew is the reference.
    fresh = op(op(a, b), c)
    if through_forward:
        grown, fresh = _forward_to(grown), _forward_to(fresh)
    assert _outcome(grown, name, args) == _outcome(fresh, name, args)


def test_a_temporary_matched_before_it_grows_answers_for_all_its_members():
    # The reference of the test above, checked once by value.
    g = _grow(operator.add, _matched_directly)
    assert g.transform_string("ab abc", "Z") == "ab Z"
    f = q.Forward()
    f <<= g
    assert not f.matches("ab")
    assert f.parse_string("abc") == ["a", "b", "c"]
    assert q.Group(f).parse_batch(["ab", "abc"]) == [[], ["a", "b", "c"]]
    m = _grow(operator.or_, _matched_through_a_retargeted_forward)
    assert m.search_string("cab") == ["c", "a", "b"]


# ---------------------------------------------------------------------------
# Chains built in a loop, with a name on the chain so far: the new record
# shares the operand's record as one spliced piece instead of copying its
# members, and the members are put in their places once, when it is first
# matched or embedded.

_LOOP_FORMS = {
    # name: (operator, whether the chain so far is the left operand)
    "e = e + x": (operator.add, True),
    "e += x": (operator.iadd, True),
    "e = e | x": (operator.or_, True),
    "e = x + e": (operator.add, False),
    "e = x | e": (operator.or_, False),
}


def _build_in_a_loop(form, xs):
    op, chain_left = _LOOP_FORMS[form]
    if chain_left:
        e = op(xs[0], xs[1])
        for x in xs[2:]:
            e = op(e, x)
    else:
        e = op(xs[-2], xs[-1])
        for x in reversed(xs[:-2]):
            e = op(x, e)
    return e


@pytest.mark.parametrize("form", list(_LOOP_FORMS))
def test_a_chain_built_in_a_loop_is_the_chain_built_at_once(form):
    words = ["w%d," % i for i in range(300)]
    xs = [Literal(w) for w in words]
    op, chain_left = _LOOP_FORMS[form]
    kept = []  # the chain after every tenth operand, kept visible
    e = None
    for i in range(len(xs)):
        if i == 0:
            continue
        if chain_left:
            e = op(xs[0], xs[1]) if i == 1 else op(e, xs[i])
        else:
            e = op(xs[-2], xs[-1]) if i == 1 else op(xs[-1 - i], e)
        if i % 10 == 0:
            kept.append((i + 1, e))
    text = "".join(words)
    if op is operator.or_:
        assert type(e) is MatchFirst
        eager = MatchFirst(xs)
        assert e.search_string(text) == eager.search_string(text) == words
        assert e.parse_batch(words[::7] + ["x"]) == eager.parse_batch(words[::7] + ["x"])
    else:
        assert type(e) is And
        assert e.parse_string(text) == words
    # Each kept operand still holds the members it had.
    for n, k in kept:
        part = words[:n] if chain_left else words[-n:]
        if op is operator.or_:
            assert k.search_string(text) == part
        else:
            assert k.parse_string("".join(part)) == part
            assert not k.matches("".join(part[:-1]))


def test_shared_and_empty_pieces_are_placed_as_copied():
    e = a + b
    for _ in range(10):
        e = e + e
    assert e.parse_string("ab" * 1024) == ["a", "b"] * 1024
    assert not e.matches("ab" * 1023)
    m = a | b
    empty = MatchFirst([])
    for _ in range(50):
        m = empty | m | empty
    for _ in range(5):
        m = m | m
    assert m.search_string("xbax") == ["b", "a"]
    assert (empty | empty | empty).search_string_count("ab") == 0
    # A chain whose left piece is shared and whose right is a chain of its own.
    s = a + b
    t = s + (c + d) + s
    assert t.parse_string("abcdab") == ["a", "b", "c", "d", "a", "b"]
    assert s.parse_string("ab") == ["a", "b"]


def test_a_chain_holding_a_spliced_piece_is_embedded_whole():
    # Embedded as a child or a Forward target before and after it is matched.
    e = a + b
    e = e + c
    g = q.Group(e)
    f = q.Forward()
    f <<= e + d
    assert g.parse_batch(["abc", "ab"]) == [["a", "b", "c"], []]
    assert f.parse_string("abcd") == ["a", "b", "c", "d"]
    m = a | b
    m = m | c
    assert (m + d).parse_string("cd") == ["c", "d"]
    eager = MatchFirst([x, MatchFirst([a, b, c]) + d])
    assert (x | (m + d)).search_string("bdxcd") == eager.search_string("bdxcd") == ["bd", "x", "cd"]


_GROWTH_CODE = textwrap.dedent("""
    import operator, sys, time
    import quillgramx as q
    op = {"+": operator.add, "+=": operator.iadd, "|": operator.or_}[sys.argv[1]]
    chain_left, n = sys.argv[2] == "left", int(sys.argv[3])
    xs = [q.Literal("w%d," % i) for i in range(n)]
    best = None
    for _ in range(5):
        t0 = time.perf_counter()
        if chain_left:
            e = op(xs[0], xs[1])
            for x in xs[2:]:
                e = op(e, x)
        else:
            e = op(xs[-2], xs[-1])
            for x in reversed(xs[:-2]):
                e = op(x, e)
        e.matches("w0,")
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    text = "".join("w%d," % i for i in range(n))
    if op is operator.or_:
        assert e.parse_string("w%d," % (n - 1)) == ["w%d," % (n - 1)]
    else:
        assert e.parse_string(text)[-1] == "w%d," % (n - 1)
    del e  # a chain nested as deep as it is long is released without recursion
    print(best)
""")


@pytest.mark.parametrize("form", list(_LOOP_FORMS))
def test_a_chain_built_in_a_loop_costs_linear_time(form):
    # Quadratic building takes 13-29 times longer at 4n than at n; linear
    # building about 4 times, well below the bound checked here, which leaves
    # room for a machine loaded by the other tests.
    op, chain_left = _LOOP_FORMS[form]
    sym = {operator.add: "+", operator.iadd: "+=", operator.or_: "|"}[op]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    times = []
    for n in (25_000, 100_000):
        r = subprocess.run([sys.executable, "-c", _GROWTH_CODE, sym, "left" if chain_left else "right", str(n)],
                           capture_output=True, text=True, timeout=300, env=env)
        assert r.returncode == 0, r.stderr[-4000:]
        times.append(float(r.stdout))
    assert times[1] < 10 * times[0], times
