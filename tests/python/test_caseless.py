import sys

import pytest

import quillgramx as q


@pytest.mark.parametrize("cls", [q.CaselessLiteral, q.CaselessKeyword])
def test_constructor_and_docs(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"{cls.__name__}.__new__() missing 1 required positional argument: 's'"
    with pytest.raises(TypeError) as e:
        cls(None)
    assert str(e.value) == "argument 's': 'NoneType' object cannot be converted to 'PyString'"
    assert cls.__text_signature__ == "(s)"
    assert cls.matches.__text_signature__ == "($self, s)"
    assert cls.matches.__doc__ is None  # an empty description


def test_caseless_literal_operations():
    cl = q.CaselessLiteral("Hello")
    assert cl.parse_string("HELLO world") == ["Hello"]
    r = cl.search_string("hello HeLLo hello")
    assert r == ["hello", "HeLLo", "hello"]
    assert r[0] is r[2]
    assert cl.transform_string("xHELLOx", "-") == "x-x"
    assert cl.search_string_count("hellohello") == 2
    assert cl.matches("hElLo!") is True and cl.matches("help") is False
    with pytest.raises(ValueError) as e:
        cl.parse_string("help")
    assert str(e.value) == "ParseException at position 0: Expected 'Hello' (caseless)"


@pytest.mark.parametrize(
    "s, text, expected",
    [("AbC", "aBcd", True), ("\u00c9", "\u00e9", False), ("\u00e9", "\u00e9", True), ("[", "{", False),
     ("@", "`", False), ("", "", True), ("", "x", True)],
)
def test_caseless_literal_matches(s, text, expected):
    assert q.CaselessLiteral(s).matches(text) is expected


def test_caseless_literal_empty_text():
    cl = q.CaselessLiteral("")
    assert cl.search_string("abc") == []
    assert cl.search_string_count("abc") == 3
    assert cl.transform_string("abc", "x") == "abc"
    assert cl.parse_string("abc") == [""]


def test_caseless_keyword_operations():
    ck = q.CaselessKeyword("IF")
    assert ck.parse_string("If x") == ["IF"]
    assert ck.matches("if(") is True and ck.matches("ifx") is False
    assert ck.search_string_count("if IF iF") == 3
    assert ck.search_string("if iffy IF") == ["if", "IF"]
    assert ck.transform_string("if iffy iF", "X") == "X iffy X"
    with pytest.raises(ValueError) as e:
        ck.parse_string("IFx")
    assert str(e.value) == "ParseException at position 0: Expected keyword 'IF' (caseless)"
    empty = q.CaselessKeyword("")
    assert empty.matches("") and empty.matches("(") and not empty.matches("a")


@pytest.mark.parametrize("cls", [q.CaselessLiteral, q.CaselessKeyword])
def test_batches(cls):
    e = cls("ab")
    items = ["AB", "abx", "Ab c", "a"]
    expected = [[m.parse_string(x)[0]] if m.matches(x) else [] for m in [e] for x in items]
    assert e.parse_batch(items) == expected
    assert e.parse_batch_count(items) == sum(1 for x in expected if x)
    r = e.parse_batch(["AB"] * 10)
    assert len(r) == 10 and r[0] == ["ab"]
    assert e.parse_batch_count(["AB"] * 10) == 10
    with pytest.raises(TypeError):
        e.parse_batch_count(["ab", 3])


@pytest.mark.reuse
def test_batch_reuses_results_of_one_object():
    r = q.CaselessLiteral("ab").parse_batch(["AB"] * 10)
    assert all(x is r[0] for x in r)


def test_reference_counts_unchanged():
    ck = q.CaselessKeyword("IF")
    text = "if iffy IF(" * 4
    items = [text, text, "no"]
    before = (sys.getrefcount(text), sys.getrefcount(items))
    for _ in range(200):
        ck.parse_string(text)
        ck.search_string(text)
        ck.transform_string(text, "X")
        ck.parse_batch(items)
        ck.parse_batch_count(items)
    assert before == (sys.getrefcount(text), sys.getrefcount(items))
