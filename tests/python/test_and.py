import sys

import pytest

import quillgramx as q
from quillgramx import And, Literal

ab = Literal("a") + Literal("b")


def test_and_has_no_constructor_and_no_doc():
    with pytest.raises(TypeError) as e:
        And()
    assert str(e.value) == "No constructor defined for And"
    assert And.__doc__ is None


@pytest.mark.parametrize(
    "method, description",
    [
        ("parse_string", "Parse using try_match_at on flattened elements \u2014 raw FFI list construction"),
        ("matches", "Zero-allocation match check using try_match_at (no ParseResults)"),
        ("search_string", "Search string \u2014 raw FFI with dedup for repeated tokens"),
        ("search_string_count", ""),
        ("transform_string", ""),
        ("parse_batch", "Cyclic detection + hash-based cache fallback + indexed tokens"),
        ("parse_batch_count", "Cyclic detection + hash-based pointer cache count"),
    ],
)
def test_method_docs(method, description):
    assert getattr(And, method).__doc__ == description or (description == "" and getattr(And, method).__doc__ is None)


def test_parse_string():
    assert ab.parse_string("abc") == ["a", "b"]
    with pytest.raises(ValueError) as e:
        ab.parse_string("ac")
    assert str(e.value) == "Expected match"
    # Inside another element the sequence gives the second member's failure.
    with pytest.raises(ValueError) as e:
        q.Group(ab).parse_string("ac")
    assert str(e.value) == "ParseException at position 1: Expected 'b'"


@pytest.mark.parametrize(
    "member, text, parsed",
    [
        (q.Suppress(Literal("x")), "xa", ["x", "a"]),
        (q.CaselessLiteral("x"), "Xa", ["X", "a"]),
        (q.Group(Literal("x") + Literal("y")), "xya", ["xy", "a"]),
        (q.OneOrMore(Literal("x")), "xxxa", ["xxx", "a"]),
        (q.ZeroOrMore(Literal("x")), "xxa", ["xx", "a"]),
        (q.Exactly(Literal("x"), 2), "xxa", ["xx", "a"]),
        (q.QuotedString(), '"q"a', ['"q"', "a"]),
        (q.Empty(), "a", ["a"]),
        (q.LineStart(), "a", ["a"]),
        (q.Optional(Literal("x")), "a", ["a"]),
        (q.Combine(q.Optional(Literal("x"))), "a", ["a"]),
    ],
)
def test_parse_string_lists_member_texts(member, text, parsed):
    assert (member + Literal("a")).parse_string(text) == parsed


def test_parse_string_zero_width_members():
    assert (Literal("a") + q.LineEnd()).parse_string("a") == ["a"]
    assert (q.Empty() + q.Optional(Literal("z"))).parse_string("x") == []
    # A member that matches by try_match_at though its parse_at fails.
    assert (q.OneOrMore(q.Optional(Literal("z"))) + Literal("a")).parse_string("a") == ["a"]


def test_parse_string_of_a_nested_and_inside_a_group_gives_member_tokens():
    inner = Literal("x") + Literal("y")
    assert (q.Group(inner) + Literal("a")).parse_string("xya") == ["xy", "a"]
    assert q.Group(inner + Literal("a")).parse_string("xya") == ["x", "y", "a"]


def test_matches():
    assert ab.matches("abx")
    assert not ab.matches("a")
    assert not ab.matches("")


def test_search_string_shares_equal_texts():
    r = ab.search_string("abab")
    assert r == ["a", "b", "a", "b"]
    assert r[0] is r[2] and r[1] is r[3]
    assert ab.search_string("xaxabyab") == ["a", "b", "a", "b"]


@pytest.mark.parametrize(
    "element, text, found, count",
    [
        (ab, "", [], 0),
        (ab, "ba", [], 0),
        (q.Empty() + q.Empty(), "abc", [], 3),
        (Literal("a") + q.Optional(Literal("b")), "aab", ["a", "a", "b"], 2),
        (Literal("\u00e9") + Literal("x"), "\u00e9x\u00e9", ["\u00e9", "x"], 1),
    ],
)
def test_scans(element, text, found, count):
    assert element.search_string(text) == found
    assert element.search_string_count(text) == count


def test_transform_string():
    assert ab.transform_string("xaby ab", "-") == "x-y -"
    assert ab.transform_string("", "-") == ""
    assert (q.Empty() + q.Empty()).transform_string("ab", "X") == "ab"
    assert ab.transform_string(s="ab", replacement="\\1") == "\\1"


@pytest.mark.reuse
def test_parse_batch_uniform_shares_one_list():
    s = "ab"
    r = ab.parse_batch([s] * 5)
    assert r == [["a", "b"]] * 5
    assert all(x is r[0] for x in r)
    none = ab.parse_batch(["x"] * 3)
    assert none == [[], [], []] and none[0] is none[1] is none[2]


def test_parse_batch_uniform_shapes():
    assert ab.parse_batch(["ab"]) == [["a", "b"]]
    assert ab.parse_batch(["x"]) == [[]]
    assert ab.parse_batch([]) == []
    # Only zero-width spans: the flat paths, which give nothing.
    assert (q.Empty() + q.Optional(Literal("z"))).parse_batch(["y"] * 4) == []


def test_parse_batch_flat_results():
    s1, s2, s3 = "ab", "x", "a" + "b"
    r = ab.parse_batch([s1, s2, "".join(["a", "b"])])
    assert r == ["a", "b", "a", "b"]
    assert r[0] is r[2] and r[1] is r[3]
    # Period 2 of objects ab, x.
    assert ab.parse_batch([s1, s2, s1, s2]) == ["a", "b", "a", "b"]
    assert ab.parse_batch([s2, s3]) == ["a", "b"]


def test_parse_batch_many_distinct_texts_and_objects():
    # Beyond 256 distinct texts, 255 members and 31 cached objects.
    word = q.Word(q.nums())
    e = word + Literal("=") + word
    inputs = [f"{i}={i * 7}" for i in range(3000)]
    expected = []
    for i in range(3000):
        expected += [str(i), "=", str(i * 7)]
    assert e.parse_batch(inputs) == expected
    assert e.parse_batch(inputs + ["x"] + inputs[:5]) == expected + expected[:15]
    big = Literal("a")
    for _ in range(299):
        big = big + Literal("a")
    assert big.parse_batch(["a" * 300, "b", "a" * 301]) == ["a"] * 600
    assert big.parse_batch_count(["a" * 300, "b", "a" * 301]) == 2


def test_parse_batch_cache_with_repeats_out_of_period():
    x, y, z = "ab", "zz", "".join("ab")
    items = [x, y, x, z, y, x, x, z, y]
    expected = []
    for s in items:
        expected += ["a", "b"] if s == "ab" else []
    r = ab.parse_batch(items)
    assert r == expected
    assert len({id(o) for o in r}) == 2


def test_parse_batch_releases_its_strings():
    # Two-digit texts: one-character strings are the interpreter's singletons.
    inputs = [f"a{i}b" for i in range(10, 60)] * 2 + ["ax"]
    e = Literal("a") + q.Word(q.nums()) + Literal("b")
    r = e.parse_batch(inputs)
    assert len(r) == 300
    assert r[1] is r[151]
    # One reference per position of the result, and getrefcount's own.
    assert all(sys.getrefcount(r[i]) == 3 for i in range(1, 150, 3))


@pytest.mark.parametrize("op", ["parse_batch", "parse_batch_count"])
def test_batch_items_that_are_not_str(op):
    with pytest.raises(TypeError):
        getattr(ab, op)(["ab", 1])
    with pytest.raises(TypeError) as e:
        getattr(ab, op)(("ab",))
    assert str(e.value) == "argument 'inputs': 'tuple' object cannot be converted to 'PyList'"


def test_parse_batch_count():
    assert ab.parse_batch_count([]) == 0
    assert ab.parse_batch_count(["ab", "x", "abc"]) == 2
    s = "ab"
    assert ab.parse_batch_count([s] * 1000) == 1000
    assert ab.parse_batch_count([f"ab{i}" for i in range(100)]) == 100


def test_argument_errors():
    with pytest.raises(TypeError) as e:
        ab.parse_string(1)
    assert str(e.value) == "argument 's': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        ab.transform_string("a", 2)
    assert str(e.value) == "argument 'replacement': 'int' object cannot be converted to 'PyString'"


def test_search_string_many_distinct_texts_against_re():
    import re

    text = " ".join(f"k{i % 7}={i * 13 % 5000}" for i in range(20000))
    e = q.Word(q.alphanums()) + Literal("=") + q.Word(q.nums())
    r = e.search_string(text)
    expected = [t for m in re.findall(r"([A-Za-z0-9]+)(=)([0-9]+)", text) for t in m]
    assert r == expected
    # Equal texts are one object, however many distinct texts the call made.
    first = {}
    for s in r:
        assert first.setdefault(s, s) is s
