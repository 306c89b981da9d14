import random
import re
import sys

import pytest

import quillgramx as q

KEYWORD_RE = {}


def reference_count(kw, text):
    """The counting scan with the keyword test, through an equivalent pattern."""
    if kw not in KEYWORD_RE:
        KEYWORD_RE[kw] = re.compile(re.escape(kw) + r"(?![0-9A-Za-z_])")
    return len(KEYWORD_RE[kw].findall(text))


def test_constructor_errors():
    with pytest.raises(TypeError) as e:
        q.Keyword()
    assert str(e.value) == "Keyword.__new__() missing 1 required positional argument: 's'"
    with pytest.raises(TypeError) as e:
        q.Keyword(b"if")
    assert str(e.value) == "argument 's': 'bytes' object cannot be converted to 'PyString'"


DOCS = {
    "parse_string": "Fast keyword parse \u2014 uses try_match_at + cached PyString, zero allocation",
    "matches": "",
    "search_string": "Search string \u2014 count + PySequence_Repeat (same pattern as Literal)",
    "search_string_count": "",
    "parse_batch": "Specialized parse_batch \u2014 cached PyString + last-pointer cache",
    "parse_batch_count": "",
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_method_docs(name):
    method = getattr(q.Keyword, name)
    assert method.__text_signature__ == ("($self, inputs)" if name.startswith("parse_batch") else "($self, s)")
    assert method.__doc__ == (DOCS[name] or None)


def test_parse_string_gives_the_cached_string():
    kw = q.Keyword("if")
    a = kw.parse_string("if x")
    b = kw.parse_string("if")
    assert a == ["if"] and a[0] is b[0]


@pytest.mark.parametrize("text", ["iffy", "i", "", "if_", "xif", "IF"])
def test_parse_string_failure(text):
    with pytest.raises(ValueError) as e:
        q.Keyword("if").parse_string(text)
    assert str(e.value) == "Expected keyword"


@pytest.mark.parametrize(
    "kw, text, expected",
    [("if", "if(", True), ("if", "if_", False), ("if", "if", True), ("if", "if9", False), ("if", "if\u00e9", True),
     ("\u00e9", "\u00e9", True), ("\u00e9", "\u00e9a", False), ("", "", True), ("", "(", True), ("", "a", False)],
)
def test_matches(kw, text, expected):
    assert q.Keyword(kw).matches(text) is expected


def test_search_string_repeats_one_token_list():
    kw = q.Keyword("if")
    r = kw.search_string("if iffy if")
    assert r == [["if"], ["if"]] and r[0] is r[1]
    assert r[0][0] is kw.parse_string("if")[0]
    assert kw.search_string("xyz") == []
    assert kw.search_string("xif") == [["if"]]


@pytest.mark.parametrize(
    "kw, text, count",
    [("if", "if if if", 3), ("if", "if iffy if", 2), ("if", "if_if", 1), ("if", "xif", 1), ("if", "", 0),
     ("a", "aaa a", 2), ("\u00e9", "\u00e9\u00e9", 2), ("", "a b(", 2), ("", "", 0)],
)
def test_search_string_count(kw, text, count):
    k = q.Keyword(kw)
    assert k.search_string_count(text) == count
    assert len(k.search_string(text)) == (count if kw else 0)


def test_counts_equal_the_plain_scan():
    rnd = random.Random(4)
    for kw in ("if", "a", "ab a", "\u00e9"):
        k = q.Keyword(kw)
        for _ in range(300):
            text = "".join(rnd.choice(["if", "a", " ", "_", "(", "b", "\u00e9", "ab a"]) for _ in range(rnd.randint(0, 30)))
            assert k.search_string_count(text) == reference_count(kw, text), (kw, text)
            assert k.transform_string(text, "#") == KEYWORD_RE[kw].sub("#", text), (kw, text)


@pytest.mark.parametrize(
    "kw, text, expected",
    [("if", "if iffy", "X iffy"), ("if", "xif if_", "xX if_"), ("if", "", ""), ("", "a(b", "a(b")],
)
def test_transform_string(kw, text, expected):
    assert q.Keyword(kw).transform_string(text, "X") == expected


def test_parse_batch():
    kw = q.Keyword("if")
    items = ["if", "iffy", "if" + "(" + ""]
    r = kw.parse_batch(items)
    assert r == [["if"], [], ["if"]]
    assert r[0] is r[2]
    assert r[0][0] is kw.parse_string("if")[0]
    same = kw.parse_batch(["if x"] * 100)
    assert all(x is same[0] for x in same) and same[0] == ["if"]
    assert kw.parse_batch([]) == []


def test_parse_batch_count_with_many_distinct_objects():
    kw = q.Keyword("if")
    items = ["".join(["i", "f"]) for _ in range(40)]
    assert len({id(x) for x in items}) == 40
    assert kw.parse_batch_count(items) == 40
    mixed = items + ["iffy" + str(i) for i in range(40)] + items
    assert kw.parse_batch_count(mixed) == 80
    assert kw.parse_batch_count(["if"] * 9) == 9
    assert kw.parse_batch_count([]) == 0


@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
def test_batch_errors(method):
    f = getattr(q.Keyword("if"), method)
    with pytest.raises(TypeError) as e:
        f("if")
    assert str(e.value) == "argument 'inputs': 'str' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError):
        f(["if", None])


def test_reference_counts_unchanged():
    kw = q.Keyword("if")
    cached = kw.parse_string("if")[0]
    text = "if x iffy if(" * 3
    items = [text, "if" + "", text, "no"]
    before = (sys.getrefcount(cached), sys.getrefcount(text), sys.getrefcount(items[1]))
    for _ in range(200):
        kw.parse_string(text)
        kw.search_string(text)
        kw.search_string_count(text)
        kw.transform_string(text, "X")
        kw.parse_batch(items)
        kw.parse_batch_count(items)
        with pytest.raises(ValueError):
            kw.parse_string("no")
    assert before == (sys.getrefcount(cached), sys.getrefcount(text), sys.getrefcount(items[1]))
