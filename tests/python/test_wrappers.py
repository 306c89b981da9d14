import pytest

import quillgramx as q
from quillgramx import Combine, Forward, Group, Literal, Optional, Suppress

WRAPPERS = [Optional, Group, Suppress, Combine]


@pytest.mark.parametrize("cls", WRAPPERS)
def test_constructor_errors(cls):
    for bad in ["a", None, 5, Literal]:
        with pytest.raises(ValueError) as e:
            cls(bad)
        assert str(e.value) == "Unsupported parser element type"
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"{cls.__name__}.__new__() missing 1 required positional argument: 'expr'"
    with pytest.raises(TypeError) as e:
        cls(Literal("a"), Literal("b"))
    assert str(e.value) == f"{cls.__name__}.__new__() takes 1 positional arguments but 2 were given"
    assert cls(expr=Literal("a")).search_string("xa") == ["a"]
    assert cls.__text_signature__ == "(expr)"


def test_optional():
    o = Optional(Literal("a"))
    assert o.parse_string("ab") == ["a"]
    assert o.parse_string("b") == []
    assert o.parse_string("") == []
    assert o.matches("b") and o.matches("")
    assert o.parse_batch(["a", "b"]) == [["a"], []]
    assert o.parse_batch_count(["a", "b", "c"]) == 3
    assert o.parse_batch_count([]) == 0
    assert o.search_string("aba") == ["a", "a"]
    assert o.search_string_count("aba") == 3
    assert o.search_string_count("bbb") == 3
    assert o.search_string_count("") == 0
    assert o.transform_string("aba", "X") == "XbX"


def test_optional_zero_width_child_match():
    o = Optional(q.LineEnd())
    assert o.parse_string("") == []
    assert o.parse_batch([""]) == [["\n"]]
    assert q.LineEnd().parse_string("") == ["\n"]


def test_optional_parse_batch_count_still_reads_the_items():
    with pytest.raises(TypeError):
        Optional(Literal("a")).parse_batch_count(["a", 3])


@pytest.mark.parametrize("method", ["parse_string", "matches"])
def test_optional_argument_errors(method):
    with pytest.raises(TypeError) as e:
        getattr(Optional(Literal("a")), method)(5)
    assert str(e.value) == "argument 's': 'int' object cannot be converted to 'PyString'"


def test_group():
    g = Group(Literal("a") + Literal("b"))
    assert g.parse_string("abc") == ["a", "b"]
    with pytest.raises(ValueError) as e:
        g.parse_string("ac")
    assert str(e.value) == "ParseException at position 1: Expected 'b'"
    assert g.parse_batch(["ab", "a"]) == [["a", "b"], []]
    assert g.search_string("xabab") == ["ab", "ab"]
    assert g.parse_batch_count(["ab", "a", "ab"]) == 2


def test_combine():
    c = Combine(Literal("a") + Literal("b"))
    assert c.parse_string("abc") == ["ab"]
    assert c.parse_batch(["ab", "x"]) == [["ab"], []]
    assert Combine(Optional(Literal("x"))).parse_string("a") == [""]
    with pytest.raises(ValueError) as e:
        c.parse_string("ax")
    assert str(e.value) == "ParseException at position 1: Expected 'b'"
    assert c.parse_batch_count(["ab", "x"]) == 1
    assert Combine(q.OneOrMore(Literal("\u00e9"))).parse_string("\u00e9\u00e9x") == ["\u00e9\u00e9"]


def test_suppress():
    s = Suppress(Literal("a"))
    assert s.parse_string("ab") == []
    with pytest.raises(ValueError) as e:
        s.parse_string("b")
    assert str(e.value) == "No match (suppressed)"
    assert s.matches("ab")
    assert s.search_string("aba") == ["a", "a"]
    assert s.transform_string("aba", "X") == "XbX"
    assert s.parse_batch_count(["a", "b", "a"]) == 2


def test_suppress_parse_batch_shares_one_list_for_matches():
    r = Suppress(Literal("a")).parse_batch(["a", "b", "a"])
    assert r == [[], [], []]
    assert r[0] is r[2]
    assert r[1] is not r[0]
    assert Suppress(Literal("a")).parse_batch([]) == []
    # No reuse shortcut: each failing item has its own list, even the same object.
    s = "b"
    r = Suppress(Literal("a")).parse_batch([s, s])
    assert r[0] is not r[1]


def test_suppress_of_a_zero_width_match():
    s = Suppress(Optional(Literal("x")))
    assert s.parse_string("y") == []
    assert s.parse_batch_count(["y"]) == 1


def test_wrappers_of_an_empty_forward():
    with pytest.raises(ValueError) as e:
        Suppress(Forward()).parse_string("a")
    assert str(e.value) == "No match (suppressed)"
    with pytest.raises(ValueError) as e:
        Group(Forward()).parse_string("a")
    assert str(e.value) == "ParseException at position 0: Forward not initialized"
    assert Optional(Forward()).parse_string("a") == []


@pytest.mark.parametrize("cls, parsed", [(Optional, ["a"]), (Group, ["a"]), (Suppress, []), (Combine, ["a"])])
def test_wrapper_of_a_forward_set_afterwards(cls, parsed):
    f = Forward()
    w = cls(f)
    f <<= Literal("a")
    assert w.parse_string("a") == parsed
    assert w.matches("a")


def test_batch_item_errors():
    for w in (Suppress(Literal("a")), Group(Literal("a"))):
        with pytest.raises(TypeError):
            w.parse_batch(["a", 1])
        with pytest.raises(UnicodeEncodeError):
            w.parse_batch_count(["\ud800"])
