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


# ---------------------------------------------------------------------------
# Every operation tests the choice at its own level, as parse_batch_count
# does: a Forward that loops on itself abandons the whole match at the
# nesting bound, also where a later alternative would match and where the
# scans pass over bytes no alternative begins with.


@pytest.mark.parametrize("first", [Literal("x"), q.Keyword("x"), q.Regex("q")])
def test_self_looping_forward_among_the_alternatives(first):
    loop = q.Forward()
    loop <<= loop
    g = MatchFirst([first, loop, Literal("y")])
    assert g.search_string("y") == []
    assert g.transform_string("ay", "Z") == "ay"
    assert g.matches("y") is False
    assert g.search_string_count("y") == 0
    assert g.search_string_count("aay") == 0
    assert g.parse_batch_count(["y"]) == 0
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        g.parse_string("y")
    # Where the first alternative matches, the loop is never reached.
    hit = "q" if isinstance(first, q.Regex) else "x"
    assert g.matches(hit) and g.search_string(hit + " " + hit) == [hit, hit]


def model_scans(g, text):
    """The general scans, trying the choice at every position (ASCII texts)."""
    found, count, out, p, mark = [], 0, [], 0, 0
    while p < len(text):
        batch = g.parse_batch([text[p:]])[0]
        if not g.matches(text[p:]):
            p += 1
            continue
        count += 1
        end = p + len("".join(batch)) if batch else p
        if end > p:
            found.append(text[p:end])
            out.append(text[mark:p] + "X")
            mark = p = end
        else:
            p += 1
    return found, count, "".join(out) + text[mark:]


CHOICES = {
    "literals sharing a prefix": lambda: Literal("abc") | Literal("abd"),
    "keywords": lambda: q.one_of("if else while"),
    "many first bytes": lambda: q.Word(q.alphas()) | Literal(";"),
    "a few bytes": lambda: Literal("\n") | Literal(",") | Literal(";;"),
    "line ends": lambda: (q.LineEnd() + q.LineEnd()) | Literal("--"),
}


@pytest.mark.parametrize("name", CHOICES)
def test_scans_that_pass_over_bytes_equal_trying_every_position(name):
    import random

    g = CHOICES[name]()
    rnd = random.Random(9)
    for _ in range(40):
        text = "".join(rnd.choice(["abc", "abd", "if", " ", "else", "\n", ",", ";;", "--", "x", "whil"])
                       for _ in range(rnd.randint(0, 80)))
        found, count, replaced = model_scans(g, text)
        assert g.search_string(text) == found, text
        assert g.search_string_count(text) == count, text
        assert g.transform_string(text, "X") == replaced, text
