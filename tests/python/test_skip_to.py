import pytest

import quillgramx as q
from quillgramx import Forward, Literal, SkipTo

comma = SkipTo(Literal(","))


@pytest.mark.parametrize("text, parsed", [("ab,cd", ["ab"]), (",cd", [""]), ("\u00e9\u00e9,", ["\u00e9\u00e9"])])
def test_parse_string(text, parsed):
    assert comma.parse_string(text) == parsed


def test_not_found():
    with pytest.raises(ValueError) as e:
        comma.parse_string("abc")
    assert str(e.value) == "ParseException at position 0: SkipTo: target not found"


@pytest.mark.parametrize("text, expected", [("abc", False), ("x,", True), ("", False)])
def test_matches(text, expected):
    assert comma.matches(text) is expected


@pytest.mark.parametrize(
    "text, found, count, replaced",
    [
        ("ab,cd,", ["ab", "cd"], 4, "X,X,"),
        ("ab,cd", ["ab"], 2, "X,cd"),
        ("", [], 0, ""),
    ],
)
def test_scans(text, found, count, replaced):
    assert comma.search_string(text) == found
    assert comma.search_string_count(text) == count
    assert comma.transform_string(text, "X") == replaced


def test_batches():
    assert comma.parse_batch(["a,b", "ab"]) == [["a"], []]
    assert comma.parse_batch_count(["a,b", "ab", ","]) == 2


def test_skip_to_string_end():
    s = SkipTo(q.StringEnd())
    assert s.parse_string("abc") == ["abc"]
    assert s.matches("")


def test_constructor():
    with pytest.raises(ValueError) as e:
        SkipTo("x")
    assert str(e.value) == "Unsupported parser element type"
    with pytest.raises(TypeError) as e:
        SkipTo()
    assert str(e.value) == "SkipTo.__new__() missing 1 required positional argument: 'expr'"
    assert SkipTo.__text_signature__ == "(expr)"


def test_target_through_a_forward():
    f = Forward()
    s = SkipTo(f)
    assert not s.matches("ab;")
    f <<= Literal(";")
    assert s.parse_string("ab;") == ["ab"]


def test_token_never_cuts_a_character():
    # The target matches the second byte of a two-byte character: the token
    # holds whole characters only.
    s = SkipTo(q.Regex("x") | Literal("\u00e9"))
    assert s.parse_string("a\u00e9") == ["a"]
    assert all(isinstance(t, str) for t in s.search_string("\u00e9a\u00e9b"))
