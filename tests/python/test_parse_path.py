"""The combinators' parse path (one token buffer for a whole subtree, the
Literal and Word leaves called directly) against the reference model, on the
cases where a shortcut could go wrong: tokens of a failing branch that must
go, zero-width repetitions whose tokens are dropped, the failure that a
MatchFirst reports (one_of of single bytes included), Word with and without
members above U+007F, and lists longer than any inline room."""

import pytest

from model_grammars import build, check_op

NUMBER = ("word", "0123456789", None)
FACTOR = ("mf", [NUMBER, ("and", [("lit", "("), ("fref",), ("lit", ")")])], "or")
TERM = ("and", [FACTOR, ("zom", ("and", [("oneof", "* /"), FACTOR]))])
ARITHMETIC = ("fwd", ("and", [TERM, ("zom", ("and", [("oneof", "+ -"), TERM]))]), False)
ARITHMETIC_TEXTS = ["1", "1+2*3", "(1+2)*3", "((4))", "(1+", "1+(2*", ")", "", "12a", "1+*2", "(" * 12 + "7" + ")" * 12,
                    "1-2-3/4*5+(6)", "((1)", "1 + 2"]

CASES = [
    (ARITHMETIC, ARITHMETIC_TEXTS),
    # Combine's tokens give way to one text, also when the And around it fails later.
    (("and", [("combine", ("and", [("lit", "a"), ("lit", "b")])), ("lit", "c")]), ["abc", "abx", "ab", "a"]),
    (("mf", [("and", [("lit", "a"), ("lit", "b"), ("lit", "c")]), ("and", [("lit", "a"), ("word", "ab", None)])], "ctor"),
     ["abc", "abb", "ab", "a", "x", ""]),
    # A repetition that succeeds without advancing ends the loop, its tokens dropped.
    (("zom", ("and", [("opt", ("lit", "a")), ("lit", "")])), ["aa", "", "b", "ab"]),
    (("oom", ("lit", "")), ["", "x"]),
    (("oom", ("lit", "x")), ["y", "xxy", ""]),
    (("and", [("oom", ("char", "ab")), ("se",)]), ["ab" * 40, "ab" * 40 + "c", "a"]),
    (("exactly", ("lit", ""), 2), ["", "a"]),
    (("exactly", ("and", [("lit", "a"), ("lit", "b")]), 2), ["abab", "aba", "abx", "ababab"]),
    (("and", [("suppress", ("lit", "(")), ("word", "ab", None), ("suppress", ("lit", ")"))]), ["(ab)", "(ab", "ab)", "()"]),
    (("and", [("opt", ("lit", "x")), ("group", ("word", "ab", "xy")), ("opt", ("lit", "z"))]), ["axyz", "xa", "z", "xz"]),
    # Without a first-byte table every alternative is tried; the last one's failure stays.
    (("mf", [("lit", "q"), ("and", [("empty",), ("lit", "r")]), ("and", [("ls",), ("lit", "s")])], "ctor"),
     ["q", "r", "s", "t", ""]),
    (("mf", [], "ctor"), ["", "a"]),
    # one_of of single bytes picks its alternative by the byte; others try theirs.
    (("and", [("oneof", "x y x w"), ("oneof", "é a"), ("zom", ("oneof", "; ,"))]), ["xa", "yé;,;", "x", "", "z", "xb", "xa;b"]),
    (("and", [("mf", [("lit", "a"), ("lit", "b")], "or"), ("lit", "!")]), ["a!", "b", "c", ""]),
    (("mf", [("lit", "a"), ("lit", "b"), ("and", [("lit", "c"), ("lit", "d")])], "or"), ["a", "b", "cd", "c", "d", ""]),
    # Words whose members lie above U+007F take the kind's own path.
    (("and", [("word", "aé", None), ("lit", "!")]), ["aéé!", "é!", "a!", "ée", "a\u00e9\u00e8!"]),
    (("and", [("word", "\u00ff", "a\u00e9"), ("lit", ";")]), ["\u00ffa\u00e9;", "\u00ff;", "\u00ff\u00e8;"]),
    (("and", [("lit", "日本"), ("word", "ab", None), ("oneof", "語 x")]), ["日本ab語", "日本abx", "日本ab", "日本", "日"]),
    (("fwd", ("and", [("lit", "("), ("opt", ("fref",)), ("lit", ")")]), True), ["()", "(())", "(()", "((()))", ")"]),
    (("and", [("fwd", ("nomatch",), False), ("lit", "a")]), ["a", ""]),
]


@pytest.mark.parametrize("wrap", [False, True], ids=["plain", "group"])
@pytest.mark.parametrize("desc, texts", CASES, ids=[str(i) for i in range(len(CASES))])
def test_parse_path_agrees_with_model(desc, texts, wrap):
    # In a Group, parse_string reports the failure of the match with its
    # message and position, which some classes' own forms do not.
    if wrap:
        desc = ("group", desc)
    obj, m = build(desc)
    for s in texts:
        check_op(obj, m, "parse_string", [s], desc)
        check_op(obj, m, "matches", [s], desc)
    check_op(obj, m, "parse_batch", [texts], desc)
    check_op(obj, m, "parse_batch_count", [texts], desc)
