import pytest

import quillgramx as q
from quillgramx import Literal, MatchFirst


def test_doc_and_signature():
    assert MatchFirst.__text_signature__ == "(exprs)"
    assert MatchFirst.parse_string.__text_signature__ == "($self, s)"


def test_empty_match_first():
    m = MatchFirst([])
    with pytest.raises(ValueError) as e:
        m.parse_string("a")
    assert str(e.value) == "No match found"
    assert not m.matches("a")
    assert m.search_string("abc") == []
    assert m.search_string_count("abc") == 0
    assert m.parse_batch_count(["a", "b"]) == 0
    assert m.parse_batch(["a", "b"]) == [[], []]
    assert m.transform_string("abc", "x") == "abc"


@pytest.mark.parametrize(
    "exprs, index",
    [
        ([Literal("a"), 1], 1),
        (["a"], 0),
        ([Literal("a"), Literal("b"), None, 3], 2),
        ([Literal], 0),
    ],
)
def test_unsupported_item(exprs, index):
    with pytest.raises(ValueError) as e:
        MatchFirst(exprs)
    assert str(e.value) == f"Unsupported expression type at index {index}"


@pytest.mark.parametrize("bad, name", [((Literal("a"),), "tuple"), (Literal("a"), "Literal"), ("ab", "str")])
def test_exprs_must_be_a_list(bad, name):
    with pytest.raises(TypeError) as e:
        MatchFirst(bad)
    assert str(e.value) == f"argument 'exprs': '{name}' object cannot be converted to 'PyList'"


def test_constructor_binding():
    with pytest.raises(TypeError) as e:
        MatchFirst()
    assert str(e.value) == "MatchFirst.__new__() missing 1 required positional argument: 'exprs'"
    assert MatchFirst(exprs=[Literal("a")]).matches("a")

    class L(list):
        pass

    assert MatchFirst(L([Literal("a")])).matches("a")


def test_first_alternative_wins():
    m = MatchFirst([Literal("a"), Literal("ab")])
    assert m.parse_string("ab") == ["a"]
    assert m.search_string("abab") == ["a", "a"]
    assert m.search_string_count("abab") == 2
    assert m.transform_string("abab", "X") == "XbXb"


def test_no_alternative_matches():
    m = MatchFirst([Literal("ab"), q.Group(Literal("x") + Literal("y"))])
    with pytest.raises(ValueError) as e:
        m.parse_string("xz")
    assert str(e.value) == "No match found"


def test_try_match_and_parse_differ_on_a_zero_width_repetition():
    m = MatchFirst([q.OneOrMore(q.Optional(Literal("a"))), Literal("b")])
    assert m.matches("b")
    assert m.parse_string("b") == ["b"]
    assert m.parse_batch(["b"]) == [["b"]]
    assert m.parse_batch_count(["b"]) == 1


def test_same_alternative_twice_and_one_alternative():
    a = Literal("a")
    assert MatchFirst([a, a]).parse_string("a") == ["a"]
    assert MatchFirst([a]).parse_batch(["a", "b"]) == [["a"], []]


def test_alternatives_give_their_tokens():
    m = MatchFirst([q.Group(Literal("a") + Literal("b")), q.Combine(Literal("c") + Literal("d"))])
    assert m.parse_string("ab") == ["a", "b"]
    assert m.parse_string("cd") == ["cd"]
    assert m.parse_batch(["ab", "cd", "x"]) == [["a", "b"], ["cd"], []]
    assert m.search_string("xabcd") == ["ab", "cd"]


@pytest.mark.reuse
def test_parse_batch_reuse():
    s = "a"
    m = MatchFirst([Literal("a"), Literal("b")])
    r = m.parse_batch([s] * 10)
    assert all(x is r[0] for x in r)
    assert m.parse_batch_count([s, "b", "c"] * 10) == 20


def test_members_live_on_after_their_objects_go():
    parts = [Literal("x"), Literal("y")]
    m = MatchFirst(parts)
    del parts
    assert m.parse_batch(["x", "y", "z"]) == [["x"], ["y"], []]


@pytest.mark.parametrize(
    "alternatives, text, parsed",
    [
        ([Literal("ab"), q.Word(q.alphas()), Literal("abc")], "abc", ["ab"]),
        ([q.Word(q.nums()), Literal("a"), q.Keyword("b")], "b", ["b"]),
        ([q.Keyword("if"), Literal("i")], "ifx", ["i"]),
        ([Literal("x"), q.StringEnd(), Literal("y")], "", []),
        ([Literal(""), Literal("a")], "a", [""]),
        ([Literal("\u00e9"), Literal("e")], "\u00e9", ["\u00e9"]),
    ],
)
def test_alternatives_by_first_byte_keep_their_order(alternatives, text, parsed):
    m = MatchFirst(alternatives)
    assert m.parse_string(text) == parsed
    assert q.Group(m).parse_string(text) == parsed
    assert m.matches(text)


def test_failure_is_the_last_alternatives_even_when_it_cannot_match_there():
    m = MatchFirst([Literal("a"), q.Word(q.nums()), Literal("b")])
    with pytest.raises(ValueError) as e:
        q.Group(m).parse_string("x")
    assert str(e.value) == "ParseException at position 0: Expected 'b'"
    with pytest.raises(ValueError) as e:
        q.Group(MatchFirst([Literal("a"), Literal("b")])).parse_string("")
    assert str(e.value) == "ParseException at position 0: Expected 'b'"


def test_many_literal_alternatives_scan():
    words = [f"w{i:03d}" for i in range(300)] + ["x", "xy"]
    m = MatchFirst([Literal(w) for w in words])
    text = " ".join(reversed(words))
    assert m.search_string(text) == [w if w != "xy" else "x" for w in reversed(words)]
    assert m.search_string_count("w001 w299 zz xy") == 3
