import pytest

import quillgramx as q
from quillgramx import Exactly, Forward, Literal, OneOrMore, Optional, ZeroOrMore


def fails_with(element, text, position, message):
    with pytest.raises(ValueError) as e:
        element.parse_string(text)
    assert str(e.value) == f"ParseException at position {position}: {message}"


def test_one_or_more():
    r = OneOrMore(Literal("ab"))
    assert r.parse_string("ababx") == ["ab", "ab"]
    assert r.search_string("ababx ab") == ["abab", "ab"]
    assert r.search_string_count("ababx ab") == 2
    assert not r.matches("x")
    fails_with(OneOrMore(Literal("a")), "b", 0, "Expected at least one match")
    assert r.transform_string("ababxab", "-") == "-x-"


def test_one_or_more_of_a_zero_width_child():
    r = OneOrMore(Optional(Literal("a")))
    assert r.matches("b")
    assert r.parse_batch_count(["b"]) == 1
    fails_with(r, "b", 0, "Expected at least one match")
    assert r.parse_batch(["b"]) == [[]]


def test_zero_or_more():
    r = ZeroOrMore(Literal("a"))
    assert r.parse_string("b") == []
    assert r.matches("b") and r.matches("")
    assert r.search_string_count("aab") == 2
    assert r.search_string("aab") == ["aa"]
    assert r.search_string_count("") == 0
    assert r.transform_string("aab", "X") == "Xb"
    assert r.parse_batch(["aa", "b"]) == [["a", "a"], []]
    assert ZeroOrMore(q.Empty()).parse_string("abc") == []


def test_exactly():
    r = Exactly(Literal("a"), 2)
    assert r.parse_string("aaa") == ["a", "a"]
    assert r.search_string("aaaaa") == ["aa", "aa"]
    assert r.search_string_count("aaaaa") == 2
    fails_with(Exactly(Literal("a"), 3), "aab", 2, "Expected 'a'")
    fails_with(Exactly(Optional(Literal("x")), 2), "ab", 0, "No progress in Exactly")
    assert r.parse_batch_count(["aa", "a", "aaa"]) == 2


def test_exactly_zero():
    r = Exactly(Literal("a"), 0)
    assert r.parse_string("b") == []
    assert r.matches("b")
    assert r.search_string_count("abc") == 3
    assert r.search_string("abc") == []


@pytest.mark.parametrize("count, repeats", [(True, 1), (False, 0), (4294967295, None), (3, 3)])
def test_exactly_counts(count, repeats):
    r = Exactly(Literal("a"), count)
    if repeats is not None:
        assert r.parse_string("a" * 5) == ["a"] * repeats


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_exactly_count_through_index():
    assert Exactly(Literal("a"), Index(2)).parse_string("aaa") == ["a", "a"]
    with pytest.raises(OverflowError) as e:
        Exactly(Literal("a"), Index(2**32))
    assert str(e.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("count", [2**32, 2**64 - 1])
def test_exactly_count_out_of_range(count):
    with pytest.raises(OverflowError) as e:
        Exactly(Literal("a"), count)
    assert str(e.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("count", [-1, 2**64, -(2**70)])
def test_exactly_count_unsigned_conversion_error_unchanged(count):
    with pytest.raises(OverflowError) as e:
        Exactly(Literal("a"), count)
    assert str(e.value) != "out of range integral type conversion attempted"
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("count, typename", [(2.0, "float"), ("2", "str"), (None, "NoneType")])
def test_exactly_count_type_errors(count, typename):
    with pytest.raises(TypeError) as e:
        Exactly(Literal("a"), count)
    assert str(e.value) == f"argument 'count': '{typename}' object cannot be interpreted as an integer"


def test_exactly_converts_count_before_expr():
    with pytest.raises(TypeError, match="^argument 'count'"):
        Exactly("a", "2")
    with pytest.raises(ValueError) as e:
        Exactly("a", 2)
    assert str(e.value) == "Unsupported parser element type"


def test_exactly_binding():
    with pytest.raises(TypeError) as e:
        Exactly()
    assert str(e.value) == "Exactly.__new__() missing 2 required positional arguments: 'expr' and 'count'"
    assert Exactly(count=1, expr=Literal("a")).matches("a")
    assert Exactly.__text_signature__ == "(expr, count)"


@pytest.mark.parametrize("cls", [OneOrMore, ZeroOrMore])
def test_constructor_errors(cls):
    with pytest.raises(ValueError) as e:
        cls("a")
    assert str(e.value) == "Unsupported parser element type"
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"{cls.__name__}.__new__() missing 1 required positional argument: 'expr'"
    assert cls(expr=Literal("a")).matches("a")


def test_repetition_of_a_forward_set_afterwards():
    f = Forward()
    r = OneOrMore(f)
    f <<= Literal("a")
    assert r.parse_string("aa") == ["a", "a"]


@pytest.mark.reuse
def test_parse_batch_reuse():
    s = "aa"
    r = OneOrMore(Literal("a")).parse_batch([s] * 4)
    assert r[0] is r[3]
