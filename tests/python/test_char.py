import sys

import pytest

import quillgramx as q


def test_constructor():
    with pytest.raises(TypeError) as e:
        q.Char(["a"])
    assert str(e.value) == "argument 's': 'list' object cannot be converted to 'PyString'"
    assert q.Char.__text_signature__ == "(s)"


def test_operations():
    c = q.Char("abc")
    assert c.search_string("xaybz") == ["a", "b"]
    r = c.search_string("aba")
    assert r == ["a", "b", "a"] and r[0] is r[2]
    assert c.search_string_count("abcabc") == 6
    assert c.matches("") is False and c.matches("b") is True and c.matches("xb") is False
    assert c.parse_string("ba") == ["b"]
    assert c.transform_string("xaybz", "-") == "x-y-z"
    with pytest.raises(ValueError) as e:
        c.parse_string("z")
    assert str(e.value) == "ParseException at position 0: Expected one of 'abc'"
    assert q.Char("a").parse_batch(["a", "b"]) == [["a"], []]
    assert q.Char("a").parse_batch_count(["a", "b", "ab", "ba"]) == 2


def test_empty_char_never_matches():
    c = q.Char("")
    assert c.matches("a") is False
    assert c.search_string_count("abc") == 0
    assert c.search_string("abc") == []
    with pytest.raises(ValueError) as e:
        c.parse_string("a")
    assert str(e.value) == "ParseException at position 0: Expected one of ''"


# A member that is a byte of a multi-byte character: counts are per byte; the
# texts handed out are rounded forward to character boundaries, so no result
# holds a cut character and a character is listed or replaced once.
@pytest.mark.parametrize(
    "s, text, count, listed, replaced",
    [("\u00e9", "\u00e9", 2, ["\u00e9"], "X"),
     ("\u00e9", "a\u00e9b", 2, ["\u00e9"], "aXb"),
     ("\u00e9", "\u00e8", 1, ["\u00e8"], "X"),  # shares the lead byte 0xC3
     ("\u00e9", "\u00a9", 1, [], "\u00a9"),  # shares only the continuation byte 0xA9
     ("a\u00e9", "\u00e9a\u00e9", 5, ["\u00e9", "a", "\u00e9"], "XXX"),
     ("\U0001F600", "x\U0001F600y", 4, ["\U0001F600"], "xXy")],
)
def test_non_ascii_members(s, text, count, listed, replaced):
    c = q.Char(s)
    assert c.search_string_count(text) == count
    assert c.search_string(text) == listed
    assert c.transform_string(text, "X") == replaced


def test_non_ascii_parse():
    c = q.Char("\u00e9")
    assert c.parse_string("\u00e9t\u00e9") == ["\u00e9"]
    assert c.parse_string("\u00e8") == ["\u00e8"]
    assert c.matches("\u00e9") is True
    assert c.parse_batch(["\u00e9", "e", "\u00e8"]) == [["\u00e9"], [], ["\u00e8"]]
    assert c.parse_batch_count(["\u00e9", "e", "\u00e8", "\u00a9"]) == 2


def test_batch_count_rules():
    c = q.Char("ab")
    objs = ["a" + str(i) for i in range(50)] + ["x" + str(i) for i in range(50)]
    assert c.parse_batch_count(objs) == 50
    assert c.parse_batch_count(objs[:3] * 40) == 120
    assert c.parse_batch_count([objs[0]] * 7) == 7
    with pytest.raises(TypeError):
        c.parse_batch_count(objs + [1])


def test_reference_counts_unchanged():
    c = q.Char("a\u00e9")
    text = "a\u00e9b\u00e8" * 5
    items = [text, text, "b"]
    before = (sys.getrefcount(text), sys.getrefcount(items))
    for _ in range(200):
        c.parse_string(text)
        c.search_string(text)
        c.search_string_count(text)
        c.transform_string(text, "X")
        c.parse_batch(items)
        c.parse_batch_count(items)
    assert before == (sys.getrefcount(text), sys.getrefcount(items))
