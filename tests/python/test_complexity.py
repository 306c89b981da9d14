"""Inputs that once made gathering quadratic or a failing choice exponential.
Each runs in a fresh interpreter with a time limit far above its cost (well
under a second), so a return of the blow-up fails the test instead of
stalling the suite; the results are checked exactly."""

import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 60


def run_isolated(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=TIMEOUT, env=env)
    assert r.returncode == 0, f"exit {r.returncode}\nstdout:\n{r.stdout}\nstderr:\n{r.stderr[-4000:]}"
    return r.stdout.strip()


# (grammar, text, expected number of tokens): each gathers one token per
# repetition or member, 200000 of them (quadratic gathering took minutes).
GATHERING = [
    ("OneOrMore(Literal('a'))", "'a' * 200000", 200000),
    ("ZeroOrMore(Literal('a'))", "'a' * 200000", 200000),
    ("Exactly(Literal('a'), 200000)", "'a' * 200000", 200000),
    ("Group(OneOrMore(Literal('ab')))", "'ab' * 200000", 200000),
    ("Combine(OneOrMore(Literal('a')))", "'a' * 200000", 1),
    ("OneOrMore(Group(Word(nums()) + Suppress(Literal(','))))", "'12,' * 200000", 200000),
    ("Group(big_and)", "'a' * 65536", 65536),
]


@pytest.mark.parametrize("grammar,text,count", GATHERING, ids=[g[0] for g in GATHERING])
def test_gathering_many_tokens_is_linear(grammar, text, count):
    out = run_isolated(f"""
        from quillgramx import *
        a = Literal('a')
        big_and = a + a
        for _ in range(15):
            big_and = big_and + big_and
        g = {grammar}
        text = {text}
        r = g.parse_string(text)
        first = r[0] if r else ''
        print(len(r), len(first), sum(map(len, r)) == (len(text) if first != '12' else 2 * len(r)))
        b = g.parse_batch([text])
        print(b == [r])
    """)
    tokens, first_len, covered = out.splitlines()[0].split()
    assert int(tokens) == count
    assert covered == "True"
    assert out.splitlines()[1] == "True"


def test_failing_nested_choice_is_linear_in_depth():
    # f <- "x" | "(" + f: every level fails; trying the last alternative twice
    # per level doubled the work with each of the 200 levels.
    out = run_isolated("""
        from quillgramx import *
        for letters in ('x', 'x y'):
            f = Forward()
            f <<= MatchFirst([one_of(letters), Literal('(') + f])
            text = '(' * 200 + 'z'
            try:
                f.parse_string(text)
            except ValueError as e:
                print(e)
            print(f.matches(text), f.search_string_count(text), f.parse_batch([text, '(' * 5 + 'x']))
    """)
    lines = out.splitlines()
    assert lines[0] == "ParseException at position 200: Expected '('"
    assert lines[1] == "False 0 [[], ['(', '(', '(', '(', '(', 'x']]"
    assert lines[2:] == lines[:2]


def test_failing_choice_gives_the_last_alternatives_failure():
    # Group's parse_string reports the choice's own failure (MatchFirst's says
    # only "No match found").
    from quillgramx import Char, Group, Literal, MatchFirst, Word, nums

    cases = [
        (Group(MatchFirst([Literal("a"), Literal("b")])), "c", "ParseException at position 0: Expected 'b'"),
        (Group(MatchFirst([Literal("a"), Word(nums())])), "x", "ParseException at position 0: Expected W:(01234567...)"),
        (Group(MatchFirst([Word(nums()), Literal("b")])), "x", "ParseException at position 0: Expected 'b'"),
        (Group(MatchFirst([Literal("a"), Char("yz")])), "", "ParseException at position 0: Expected one of 'yz'"),
    ]
    for g, text, message in cases:
        with pytest.raises(ValueError) as e:
            g.parse_string(text)
        assert str(e.value) == message


def test_long_or_chain_matches_as_its_members_do():
    # The first-byte table is made once, when the choice first matches (the
    # engine tests check that building the chain makes none); the chain
    # answers as its members do, the first that matches winning.
    from quillgramx import Literal

    words = [Literal("w%d " % i) for i in range(3000)] + [Literal("w1"), Literal("x")]
    e = words[0]
    for w in words[1:]:
        e = e | w
    assert e.search_string_count("w2999 w5 w5x w7 x") == 5
    assert e.search_string("w2999 w5 w1x w7 ") == ["w2999 ", "w5 ", "w1", "x", "w7 "]
    assert e.parse_batch(["w123 ", "w1x", "y"]) == [["w123 "], ["w1"], []]
    assert e.transform_string("w12 w1y", "_") == "__y"


def test_backtracking_choice_over_nested_input_is_linear():
    # The textbook expression grammar retries `term` in each alternative: each
    # nesting level tripled the work (20 levels took minutes). A shared
    # sub-grammar without a Forward doubled it per level (depth 30: 30 s).
    # Results are those of the work itself, failure positions included.
    out = run_isolated("""
        from quillgramx import *
        expr = Forward(); num = Word(nums()); term = num | (Literal('(') + expr + Literal(')'))
        expr <<= (term + Literal('+') + expr) | (term + Literal('-') + expr) | term
        for k in (20, 40, 400):
            s = '(' * k + '1' + ')' * k
            r = expr.parse_string(s)
            print(len(r), r == list(s), expr.matches(s), expr.search_string_count(s), expr.parse_batch_count([s]))
        s = '(' * 30 + '1+2-(3' + ')' * 30
        try:
            expr.parse_string(s)
        except ValueError as e:
            print(e)
        print(expr.search_string(s) == [s[1:]])
        e = Literal('a')
        for i in range(40):
            e = (e + Literal('b')) | (e + Literal('c'))
        print(e.matches('a' + 'bc' * 20), e.matches('ab'), e.search_string_count('ab' * 30), e.parse_batch_count(['ab']))
        print(e.parse_string('a' + 'c' * 40) == ['a'] + ['c'] * 40)
    """)
    lines = out.splitlines()
    assert lines[:3] == ["41 True True 1 1", "81 True True 1 1", "801 True True 1 1"]
    assert lines[3] == "ParseException at position 66: Expected ')'"
    assert lines[4] == "True"
    assert lines[5:] == ["True False 0 0", "True"]
