"""Terminals that read a long run and then fail, tried from every start of
the run: by a scan, or by a choice that falls back one byte at a time. Each
start used to read the run again (quadratic: minutes at a million bytes);
each run is now read once per operation. The costs are checked in a
subprocess with a timeout far above them (well under a second each here);
the results against `re` and a direct reading of the text."""

import os
import re

import pytest

import quillgramx as q

from test_worst_case import run_isolated

# (name, grammar, the same as a pattern for `re`, the letter its run is made
# of, the text that ends a match after the run)
GRAMMARS = [
    ("Word", "q.Word(q.alphas()) + q.Literal('!')", r"[A-Za-z]+!", "a", "!"),
    ("OneOrMore(Char)", "q.OneOrMore(q.Char('a')) + q.Literal('!')", r"a+!", "a", "!"),
    ("OneOrMore(one-byte Literal)", "q.OneOrMore(q.Literal('a')) + q.Literal('!')", r"a+!", "a", "!"),
    ("ZeroOrMore(Char)", "q.ZeroOrMore(q.Char('ab')) + q.Literal('!')", r"[ab]*!", "a", "!"),
    ("Exactly(Char)", "q.Exactly(q.Char('a'), 100000) + q.Literal('!')", r"a{100000}!", "a", "!"),
    ("Regex run", "q.Regex('[a-z]+') + q.Literal('!')", r"[a-z]+!", "a", "!"),
    ("Regex automaton", r"q.Regex(r'[a-z]+\d?') + q.Literal('!')", r"[a-z]+\d?!", "a", "!"),
    ("Regex spaces", r"q.Regex(r'\s+') + q.Literal('!')", r"\s+!", " ", "!"),
    # Automata through a cycle of several states.
    ("Regex cycle", "q.Regex('(ab)+') + q.Literal('!')", r"(?:ab)+!", "ab", "!"),
    ("Regex cycle, two walks", "q.Regex('(aa)+') + q.Literal('!')", r"(?:aa)+!", "a", "!"),
    ("rest_of_line", r"q.rest_of_line() + q.Literal('\n!')", r"[^\n]*\n!", "a", "\n!"),
    # Repetitions of a longer item: a run per start modulo the item's width.
    ("OneOrMore(Literal)", "q.OneOrMore(q.Literal('ab')) + q.Literal('!')", r"(?:ab)+!", "ab", "!"),
    ("OneOrMore(Literal), three phases", "q.OneOrMore(q.Literal('aaa')) + q.Literal('!')", r"(?:aaa)+!", "a", "!"),
    ("ZeroOrMore(CaselessLiteral)", "q.ZeroOrMore(q.CaselessLiteral('aB')) + q.Literal('!')", r"(?:ab)*!", "ab", "!"),
    ("Exactly(Literal)", "q.Exactly(q.Literal('ab'), 100000) + q.Literal('!')", r"(?:ab){100000}!", "ab", "!"),
]
IDS = [g[0] for g in GRAMMARS]


@pytest.mark.parametrize("name, grammar, pattern, letter, tail", GRAMMARS, ids=IDS)
def test_a_scan_over_a_long_run_that_fails_late_is_linear(name, grammar, pattern, letter, tail):
    if name.startswith("Regex") and os.environ.get("QGX_PLAIN_PATHS") == "1":
        pytest.skip("the plain-paths build asks the pattern engine itself at every start")
    # 4 MB: reading the run from each start is 8 * 10**12 bytes.
    out = run_isolated(f"""
        import quillgramx as q
        g = {grammar}
        t = {letter!r} * 4000000
        assert g.search_string_count(t) == 0
        assert g.search_string(t) == []
        assert g.transform_string(t, "X") == t
        # One match at the very end of the run.
        assert g.search_string_count(t + {tail!r}) == 1
        print("ok")
    """, timeout=120)
    assert out.strip() == "ok"


def test_a_choice_falling_back_one_byte_at_a_time_is_linear():
    # Each position tries the Word first, which reads the rest of the run.
    out = run_isolated("""
        import quillgramx as q
        g = q.OneOrMore((q.Word(q.alphas()) + q.Literal("x")) | q.Char("a"))
        assert len(g.parse_string("a" * 1000000)) == 1000000
        assert g.matches("a" * 1000000)
        print("ok")
    """, timeout=120)
    assert out.strip() == "ok"


def _texts(a, tail):
    return [
        a * 300,
        a * 150 + tail + a * 149,
        a * 200 + tail + a * 80 + "\n" + a * 90 + "!!" + "b" * 70 + tail,
        (a * 70 + tail) * 5 + a * 200,
        "x" + a * 100 + "1!" + a * 100 + "\t" + tail + "\n\n!",
    ]


@pytest.mark.parametrize("name, grammar, pattern, letter, tail", GRAMMARS, ids=IDS)
def test_scans_over_runs_give_what_re_gives(name, grammar, pattern, letter, tail):
    g = eval(grammar.replace("100000", "100"), {"q": q})
    pattern = pattern.replace("100000", "100")
    for t in _texts(letter, tail):
        found = re.findall(pattern, t)
        assert g.search_string_count(t) == len(found), t
        assert "".join(g.search_string(t)) == "".join(found), t
        assert g.transform_string(t, "X") == re.sub(pattern, "X", t), t


def test_what_one_text_remembers_is_not_used_on_the_next():
    g = q.Word(q.alphas()) + q.Literal("!")
    a = "a" * 5000
    b = "a" * 3000 + "!" + "a" * 1999
    assert g.search_string_count(a) == 0
    assert g.search_string_count(b) == 1
    assert g.parse_batch_count([a, b, a, b]) == 2
    assert g.parse_batch_count(["a" * 3000 + "!", a]) == 1
    assert q.rest_of_line().parse_batch([a, "ab\ncd"]) == [[a], ["ab"]]
