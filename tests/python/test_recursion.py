"""Recursive and deeply nested grammars: nothing a caller can build may crash
the process. Each risky case runs in a subprocess, so that a crash fails the
test instead of the suite."""

import ast
import os
import random
import subprocess
import sys
import textwrap

import pytest

import quillgramx as q
from quillgramx import Forward, Group, Literal, Optional, StringEnd, Suppress, Word, ZeroOrMore

LIMIT_TEXT = "recursion limit exceeded"


def run_isolated(code, timeout=120, env_extra=None):
    """Runs `code` in a fresh interpreter; gives its stdout, failing on any crash."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(env_extra or {})
    r = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
    )
    assert r.returncode == 0, f"exit {r.returncode}\nstdout:\n{r.stdout}\nstderr:\n{r.stderr[-4000:]}"
    return r.stdout


PRELUDE = """
import threading
import quillgramx as q
from quillgramx import *

def outcomes(g, text):
    try:
        parsed = g.parse_string(text)
    except ValueError as e:
        parsed = "ValueError: " + str(e)
    return [parsed, g.matches(text), g.search_string(text), g.search_string_count(text),
            g.transform_string(text, "X"), g.parse_batch([text, text + "!"]), g.parse_batch_count([text])]
"""

GRAMMARS = {
    "left recursion": "g = Forward(); g <<= g + Literal('a')",
    "left recursion through an alternative": "g = Forward(); g <<= (g + Literal('a')) | Literal('a')",
    "forward set to itself": "g = Forward(); g <<= g",
    "two forwards set to each other": "g = Forward(); h = Forward(); g <<= h; h <<= g",
    "left recursion under optional": "g = Forward(); g <<= Optional(g) + Literal('a')",
    "left recursion under repetitions": "g = Forward(); g <<= ZeroOrMore(g) + OneOrMore(g) + Literal('a')",
    "exponential left recursion": "g = Forward(); g <<= (g + Literal('a')) | (g + Literal('b')) | (g + Literal('c'))",
    "skip to itself": "g = Forward(); g <<= SkipTo(g)",
    "group of a forward of itself": "g = Forward(); g <<= Group(Combine(Suppress(g)))",
}


@pytest.mark.parametrize("name", GRAMMARS)
def test_unbounded_recursion_fails_in_order(name):
    out = run_isolated(
        PRELUDE
        + GRAMMARS[name]
        + """
for text in ["aaa", "", "ab"]:
    r = outcomes(g, text)
    assert isinstance(r[0], str) and "recursion limit exceeded" in r[0], r[0]
    assert r[1] is False and r[2] == [] and r[3] == 0 and r[4] == text, r
    assert r[5] == [[], []] and r[6] == 0, r
print("ok")
"""
    )
    assert out.strip() == "ok"


def test_recursion_limit_messages():
    out = run_isolated(
        PRELUDE
        + """
g = Forward(); g <<= g + Literal('a')
for wrapper in (g, Group(g), g + Literal('b'), MatchFirst([g]), Suppress(g), Optional(g), Exactly(g, 2)):
    try:
        r = wrapper.parse_string('aa')
        print(type(wrapper).__name__, r)
    except ValueError as e:
        print(type(wrapper).__name__, e)
"""
    )
    lines = out.strip().splitlines()
    assert lines == [
        "Forward ParseException at position 0: recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "Group ParseException at position 0: recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "And recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "MatchFirst recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "Suppress recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "Optional recursion limit exceeded (grammar nested deeper than 3000 levels)",
        "Exactly ParseException at position 0: recursion limit exceeded (grammar nested deeper than 3000 levels)",
    ]


@pytest.mark.parametrize("wrapper", ["Optional", "Group", "Suppress", "Combine", "OneOrMore", "ZeroOrMore",
                                     "SkipTo", "lambda x: Exactly(x, 1)", "lambda x: MatchFirst([x])",
                                     "lambda x: Group(x + Empty())", "lambda x: (f := Forward(), f.set(x))[0]"])
def test_hundred_thousand_nested_wrappers(wrapper):
    out = run_isolated(
        PRELUDE
        + f"""
wrap = {wrapper}
x = Literal('a')
for _ in range(100000):
    x = wrap(x)
r = outcomes(x, 'a')
assert r[2] == [] and r[4] == 'a', r
print(r[1] in (True, False), isinstance(r[0], str) and "recursion limit exceeded" in r[0] or r[0] == [])
del x, r
print("released")
"""
    )
    assert out.split() == ["True", "True", "released"]


def test_nesting_within_the_bound_matches():
    out = run_isolated(
        PRELUDE
        + """
x = Literal('a')
for _ in range(2990):
    x = Group(x)
print(x.parse_string('a'), x.matches('a'))
"""
    )
    assert out.strip() == "['a'] True"


SMALL_STACK = """
threading.stack_size({kib} * 1024)
res = []
def run():
    res.append(outcomes(g, text))
t = threading.Thread(target=run)
t.start()
t.join()
print(res[0][1])
"""


@pytest.mark.parametrize("kib", [64, 256, 8192])
@pytest.mark.parametrize(
    "grammar",
    [
        "g = Forward(); g <<= g + Literal('a')",
        "g = Literal('a')\nfor _ in range(2999): g = Exactly(g, 1)",
        "g = Forward(); g <<= Literal('(') + Optional(g) + Literal(')')",
    ],
)
def test_bound_is_safe_on_a_thread_stack(grammar, kib):
    text = "(" * 990 + ")" * 990 if "(" in grammar else "a"
    out = run_isolated(PRELUDE + grammar + f"\ntext = {text!r}\n" + SMALL_STACK.format(kib=kib))
    assert out.strip() in ("True", "False")


@pytest.mark.parametrize(
    "grammar, kib, text",
    [
        # A small thread stack runs short long before 3000 levels.
        ("g = Literal('a')\nfor _ in range(2999): g = Group(g)", 64, "ParseException at position 0: "
         "recursion limit exceeded (the thread's stack ran short)"),
        ("g = Literal('a')\nfor _ in range(2999): g = Group(g)\ng = g + Empty()", 64,
         "recursion limit exceeded (the thread's stack ran short)"),
        # The level bound on a big stack keeps its own text.
        ("g = Literal('a')\nfor _ in range(3001): g = Group(g)", 8192, "ParseException at position 0: "
         "recursion limit exceeded (grammar nested deeper than 3000 levels)"),
        ("g = Literal('a')\nfor _ in range(3001): g = Group(g)\ng = g + Empty()", 8192,
         "recursion limit exceeded (grammar nested deeper than 3000 levels)"),
    ],
)
def test_the_stack_margin_and_the_level_bound_say_which_stopped_the_match(grammar, kib, text):
    code = PRELUDE + grammar + "\ntext = 'a'\n" + SMALL_STACK.format(kib=kib).replace(
        "print(res[0][1])", "print(res[0][0])")
    out = run_isolated(code)
    assert out.strip() == "ValueError: " + text


# ---------------------------------------------------------------------------
# Recursive grammars that work.


def parens_grammar():
    f = Forward()
    f <<= Literal("(") + ZeroOrMore(f) + Literal(")")
    return f, Group(f + StringEnd())


def balanced(text):
    depth = 0
    for ch in text:
        depth += 1 if ch == "(" else -1
        if depth < 0:
            return False
    return depth == 0 and text != ""


def paren_texts():
    rng = random.Random(7)
    texts = ["()", "(())", "()()", "(()())", "(", ")", "(()", "())", "", ")("]
    for _ in range(300):
        n = rng.randint(1, 12)
        texts.append("".join(rng.choice("()") for _ in range(2 * n)))
    return texts


def is_single_group(text):
    """Balanced and not split at depth 0 before its end: one outer pair."""
    if not balanced(text):
        return False
    depth = 0
    for i, ch in enumerate(text):
        depth += 1 if ch == "(" else -1
        if depth == 0 and i != len(text) - 1:
            return False
    return True


def test_nested_parentheses():
    f, full = parens_grammar()
    for text in paren_texts():
        single = is_single_group(text)
        assert full.matches(text) is single, text
        if single:
            assert full.parse_string(text) == list(text)
    assert f.search_string("x(()())y()(") == ["(()())", "()"]
    deep = "(" * 500 + ")" * 500
    assert full.parse_string(deep) == list(deep)


def arithmetic_grammar():
    number = Word(q.nums())
    expr = Forward()
    factor = number | (Literal("(") + expr + Literal(")"))
    term = factor + ZeroOrMore(q.one_of("* /") + factor)
    expr <<= term + ZeroOrMore(q.one_of("+ -") + term)
    return expr, Group(expr + StringEnd())


def evaluate(tokens):
    """Evaluates the flat token list by precedence climbing, left-associative."""
    pos = 0

    def expr():
        nonlocal pos
        v = term()
        while pos < len(tokens) and tokens[pos] in "+-":
            op = tokens[pos]
            pos += 1
            r = term()
            v = v + r if op == "+" else v - r
        return v

    def term():
        nonlocal pos
        v = factor()
        while pos < len(tokens) and tokens[pos] in "*/":
            op = tokens[pos]
            pos += 1
            r = factor()
            v = v * r if op == "*" else v / r
        return v

    def factor():
        nonlocal pos
        t = tokens[pos]
        pos += 1
        if t == "(":
            v = expr()
            assert tokens[pos] == ")"
            pos += 1
            return v
        return int(t)

    v = expr()
    assert pos == len(tokens)
    return v


def random_expression(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return str(rng.randint(1, 99))
    if rng.random() < 0.25:
        return "(" + random_expression(rng, depth - 1) + ")"
    return random_expression(rng, depth - 1) + rng.choice("+-*/") + random_expression(rng, depth - 1)


def python_accepts(text):
    """Whether Python reads the text as binary + - * / over decimal integers."""
    try:
        tree = ast.parse(text, mode="eval")
    except SyntaxError:
        return False
    allowed = (ast.Expression, ast.BinOp, ast.Constant, ast.Add, ast.Sub, ast.Mult, ast.Div)
    return all(isinstance(n, allowed) for n in ast.walk(tree)) and "_" not in text


def arithmetic_texts():
    rng = random.Random(11)
    texts = ["1+2*3", "(1+2)*3", "7/2-1", "((4))", "2*(3+4)*5", "1+", "(1", "1)", "", "*2", "1**2", "1//2"]
    for _ in range(400):
        e = random_expression(rng, rng.randint(1, 6))
        texts.append(e)
        if len(e) > 1:
            i = rng.randrange(len(e))
            texts.append(e[:i] + e[i + 1 :])
    return texts


def test_arithmetic_against_python():
    expr, full = arithmetic_grammar()
    checked = 0
    for text in arithmetic_texts():
        accepted = full.matches(text)
        assert accepted is python_accepts(text), text
        if not accepted:
            with pytest.raises(ValueError):
                full.parse_string(text)
            continue
        tokens = full.parse_string(text)
        assert "".join(tokens) == text
        try:
            want = eval(text)  # noqa: S307 - texts made above from digits and + - * / ( )
        except ZeroDivisionError:
            continue
        assert evaluate(tokens) == want, text
        checked += 1
    assert checked > 200
    assert expr.search_string("x=1+2; y=(3*4)") == ["1+2", "(3*4)"]
    assert full.parse_batch_count(["1+2", "1+", "(2)*3"]) == 2


def test_arithmetic_deep_parentheses():
    expr, full = arithmetic_grammar()
    text = "(" * 400 + "1+2" + ")" * 400
    assert full.matches(text)
    assert full.parse_string(text) == ["("] * 400 + ["1", "+", "2"] + [")"] * 400
    assert evaluate(full.parse_string("(" * 200 + "1+2" + ")" * 200)) == 3
    too_deep = "(" * 2000 + "1" + ")" * 2000
    assert not full.matches(too_deep)
    with pytest.raises(ValueError, match=LIMIT_TEXT):
        full.parse_string(too_deep)


def test_recursive_grammars_are_reclaimed():
    """Building and dropping a recursive grammar many times does not grow memory."""
    out = run_isolated(
        """
import gc
import quillgramx as q
from quillgramx import *

def rss_kib():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4

def build_and_drop(n):
    for i in range(n):
        f = Forward()
        body = Literal('(') + Optional(f) + Literal(')') | Word(nums())
        f <<= body
        g = Group(f) + SkipTo(f)
        assert f.matches('(())')
        if i % 2:
            del f
            del body, g
        else:
            del g, body
            del f

build_and_drop(2000)
gc.collect()
before = rss_kib()
build_and_drop(10000)
gc.collect()
print(rss_kib() - before)
""",
        # Under the address sanitizer freed blocks wait in its quarantine.
        env_extra={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"},
    )
    assert int(out) < 1024, f"memory grew by {out} KiB"


# ---------------------------------------------------------------------------
# The nesting bound reads the same on every path: the first-byte table of a
# choice counts the levels of the alternatives it passes over, and matches,
# the counts and parse_batch_count all test at the same levels as parse.


def pairs_grammar():
    expr = Forward()
    expr <<= (Suppress(Literal("(")) + expr + Suppress(Literal(")"))) | Word(q.nums())
    return expr


def arithmetic_only():
    return arithmetic_grammar()[0]


@pytest.mark.parametrize("make, deepest", [(pairs_grammar, 998), (arithmetic_only, 748)])
def test_nesting_bound_is_the_same_on_every_path(make, deepest):
    g = make()
    for n in (deepest - 1, deepest, deepest + 1, deepest + 2):
        text = "(" * n + "1" + ")" * n
        within = n <= deepest
        if within:
            assert "".join(g.parse_string(text)) in (text, "1")
        else:
            with pytest.raises(ValueError, match=LIMIT_TEXT):
                g.parse_string(text)
        assert g.matches(text) is within, n
        assert g.parse_batch_count([text]) == int(within), n
        assert (g.parse_batch([text])[0] != []) is within, n
        # The scans find the outermost pair that fits below the bound.
        k = max(0, n - deepest)
        assert g.transform_string(text, "X") == "(" * k + "X" + ")" * k, n


# A scan over unclosed parentheses: every start more than the bound's depth
# before the end passes the bound. Each such start used to descend all the
# way again (three thousand levels: minutes on a million bytes); a start
# after one that passed the bound now costs a few levels. In a subprocess
# with a timeout far above its cost (about a second each here).
def test_a_scan_over_deep_nesting_does_not_descend_from_every_start():
    from test_worst_case import run_isolated

    out = run_isolated("""
        import quillgramx as q
        from quillgramx import *

        def pairs():
            expr = Forward()
            expr <<= (Suppress(Literal("(")) + expr + Suppress(Literal(")"))) | Word(q.nums())
            return expr

        def arithmetic():
            expr = Forward()
            factor = Word(q.nums()) | (Literal("(") + expr + Literal(")"))
            term = factor + ZeroOrMore(one_of("* /") + factor)
            expr <<= term + ZeroOrMore(one_of("+ -") + term)
            return expr

        for g, deepest in ((pairs(), 998), (arithmetic(), 748)):
            t = "(" * 1000000
            assert g.search_string_count(t) == 0
            assert g.search_string(t) == []
            assert g.transform_string(t, "X") == t
            # One pair closes after the run: the scans find it where it fits
            # below the bound.
            t = "(" * 1000000 + "1" + ")" * 1200
            assert g.transform_string(t, "X") == "(" * (1000000 - deepest) + "X" + ")" * (1200 - deepest)
            assert g.search_string_count(t) == 1
        print("ok")
    """, timeout=120)
    assert out.strip() == "ok"
