"""The flat parse_batch and the batch count of Word and Regex: results equal
an item-by-item re answer, an input matched whole is handed back as itself,
and every object met again shares the result made for it first, however many
objects the list holds and whoever else holds them."""

import re
import sys

import pytest

import quillgramx as q

# Each element with the re pattern that answers the same at the start of a text.
ELEMENTS = {
    "Word": (lambda: q.Word(q.alphanums()), re.compile(r"[A-Za-z0-9]+")),
    "Regex": (lambda: q.Regex(r"[a-h][0-9]+"), re.compile(r"[a-h][0-9]+")),
}


def expected(pattern, inputs):
    return [m.group() for m in map(pattern.match, inputs) if m]


def texts(n, start=0):
    """Distinct texts, a third matched whole, a third in part, a third (for
    the Regex) not at all."""
    tails = ("", " tail", "-x")
    return ["%s%d%s" % ("abcdefgh"[i % 8] if i % 9 else "z", i, tails[i % 3]) for i in range(start, start + n)]


def pairs(pattern, inputs, result):
    """(input, entry) for each input that has an entry."""
    matched = [s for s in inputs if pattern.match(s)]
    assert len(matched) == len(result)
    return zip(matched, result)


@pytest.mark.parametrize("name", ELEMENTS)
def test_items_held_only_by_the_list(name):
    # The list holds the only reference to each item.
    make, pattern = ELEMENTS[name]
    el = make()
    inputs = texts(3000)
    assert all(sys.getrefcount(inputs[i]) == 2 for i in range(len(inputs)))
    r = el.parse_batch(inputs)
    assert r == expected(pattern, inputs)
    for s, x in pairs(pattern, inputs, r):
        assert (x is s) == (len(x) == len(s))
    assert el.parse_batch_count(texts(3000)) == len(r)


@pytest.mark.reuse
@pytest.mark.parametrize("name", ELEMENTS)
def test_every_object_met_again_shares_its_first_result(name):
    # More shared objects than a fixed table of a few thousand slots holds,
    # met again in reverse order: no period, no neighbours.
    make, pattern = ELEMENTS[name]
    objs = texts(6000)
    inputs = objs + objs[::-1]
    r = make().parse_batch(inputs)
    assert r == expected(pattern, inputs)
    half = len(r) // 2
    assert all(a is b for a, b in zip(r[:half], r[::-1][:half]))
    for s, x in pairs(pattern, inputs, r):
        assert (x is s) == (len(x) == len(s))


@pytest.mark.parametrize("name", ELEMENTS)
def test_references_come_back_after_a_batch_of_shared_objects(name):
    make, _ = ELEMENTS[name]
    el = make()
    objs = texts(5000)
    inputs = objs + objs[::-1] + objs[:10]
    before = [sys.getrefcount(s) for s in objs]
    for _ in range(3):
        el.parse_batch(inputs)
        el.parse_batch_count(inputs)
    assert [sys.getrefcount(s) for s in objs] == before


@pytest.mark.parametrize("name", ELEMENTS)
@pytest.mark.parametrize(
    "items",
    [
        ["a1", "a1é", "é", "b22日本", "c3😀", "h4"],
        ["😀a1", "a1\x00", "a" + "9" * 5000, "b" + "7" * 5000 + "é"],
    ],
)
def test_every_kind_of_str_reads_as_its_text(name, items):
    # Compact ASCII strings, wider ones, and str subclasses (never compact).
    class S(str):
        pass

    make, pattern = ELEMENTS[name]
    el = make()
    for inputs in (items, [S(s) for s in items], items + [S(s) for s in items]):
        r = el.parse_batch(inputs)
        assert r == expected(pattern, inputs)
        assert all(type(x) is str or x is s for x, s in zip(r, inputs) if x == s)
        assert el.parse_batch_count(inputs) == len(r)


@pytest.mark.parametrize("name", ELEMENTS)
@pytest.mark.parametrize("op", ["parse_batch", "parse_batch_count"])
def test_an_unreadable_item_held_only_by_the_list_raises(name, op):
    make, _ = ELEMENTS[name]
    call = getattr(make(), op)
    with pytest.raises(TypeError):
        call(texts(50) + [object()] + texts(50, 50))
    with pytest.raises(UnicodeEncodeError):
        call(texts(50) + ["a1\ud800" + "x"] + texts(50, 50))
    with pytest.raises(TypeError):
        call([3.5] + texts(10))
