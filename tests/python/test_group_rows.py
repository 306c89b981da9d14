"""Group over a row of fields (Word, Regex and Literal members, bare, under
Optional or under Suppress): parse_batch reads the members with their match
tests alone. Its results, the objects they share and its errors equal those
of the general path (the same row with an Empty member, which gives no token
and so takes the general path) and, item by item, parse_string's."""

import gc
import sys

import pytest

import quillgramx as q


def _passwd():
    field = q.Optional(q.Word(q.printables().replace(":", "") + " "))
    row = field
    for _ in range(6):
        row = row + q.Suppress(q.Literal(":")) + field
    return row


def _deep_suppress():
    # A member whose test recurses past the depth bound on a long run of "a".
    f = q.Forward()
    f <<= q.Optional(q.Literal("a") + f)
    return q.Suppress(f) + q.Word(q.nums())


ROWS = {
    "passwd": _passwd,
    "csv": lambda: q.Word(q.alphanums() + ".") + q.Suppress(q.Literal(",")) + q.Word(q.alphanums() + "."),
    "services": lambda: (q.Word(q.alphanums() + "-_.+") + q.Suppress(q.Regex(r"[ \t]+")) + q.Word(q.nums())
                         + q.Suppress(q.Literal("/")) + q.Word(q.alphas())),
    # A Literal token, and a Regex that may match nothing (an empty token).
    "literal and empty regex": lambda: q.Word(q.alphas()) + q.Literal("=") + q.Regex(r"[0-9]*"),
    "optional empty regex": lambda: q.Optional(q.Regex(r"a*")) + q.Word(q.nums()),
    # Members in U+0080..U+00FF: read by byte value on every path.
    "word with high members": lambda: q.Word("a\u00e9") + q.Suppress(q.Literal(",")) + q.Optional(q.Word("\u00fcx")),
    "word of one member": lambda: q.Word(q.nums()),
    "optional alone": lambda: q.Optional(q.Word(q.nums())),
    "suppress alone": lambda: q.Suppress(q.Literal("a")),
    "deep suppress": _deep_suppress,
}

TEXTS = [
    "", "a", "x", "1", "12", "ab", "a=", "a=12", "=1", "root:x:0:0:root:/root:/bin/bash", "::::::", "a:b", "1:2:3:4:5:6:7:8",
    "ssh 22/tcp", "ssh\t\t22/tcp # comment", "ssh 22/", "ssh 22", "1,alpha", "1,", ",2", "3.5,beta9,x",
    "aaa7", "7", "aaa", "\u00e9a,x\u00fc", "a\u00e9,", "\u00e9,\u00fc\u00fc", "a\u00e9\u00e9", "caf\u00e9:1", "\u00fc,1",
    "na\u00efve=1", "\u20ac:\u20ac", "a" * 4000 + "1", "a" * 10 + "1",
]


class Sub(str):
    pass


def _batches():
    fresh = ["".join(list(t)) for t in TEXTS]
    one = "ab:c"
    yield "distinct", fresh
    yield "str subclass", [Sub(t) for t in TEXTS[:12]]
    yield "consecutive repeats", [one, one, "ab", "ab", one, TEXTS[9], TEXTS[9]]
    yield "one object", [one] * 5
    yield "identity period", [one, TEXTS[9], "1,2"] * 4
    yield "empty", []


def _identity_shape(out):
    ids = [id(x) for x in out]
    return [ids.index(i) for i in ids]


@pytest.mark.parametrize("name", ROWS)
def test_row_batches_equal_the_general_path(name):
    fast = q.Group(ROWS[name]())
    general = q.Group(ROWS[name]() + q.Empty())
    for label, items in _batches():
        got = fast.parse_batch(items)
        want = general.parse_batch(items)
        assert got == want, label
        assert _identity_shape(got) == _identity_shape(want), label
        # Made out of the collector's view, every list is in it once returned.
        assert all(gc.is_tracked(x) for x in got), label
        for g, w in zip(got, want):
            assert all(type(s) is str for s in g)
            # The same kind of str (its size tells), and the interpreter's own
            # objects for texts of one character and none.
            assert [sys.getsizeof(s) for s in g] == [sys.getsizeof(s) for s in w]
            assert [s is t for s, t in zip(g, w) if len(s) < 2] == [True for s in g if len(s) < 2]
        for item, g in zip(items, got):
            try:
                assert g == fast.parse_string(item), (label, item)
            except ValueError:
                assert g == [], (label, item)


@pytest.mark.parametrize("name", ROWS)
def test_row_batch_item_errors_equal_the_general_path(name):
    fast = q.Group(ROWS[name]())
    general = q.Group(ROWS[name]() + q.Empty())
    for items in (["1", 2], ["a", "\ud800"], [None]):
        raised = []
        for g in (fast, general):
            with pytest.raises((TypeError, UnicodeEncodeError)) as e:
                g.parse_batch(items)
            raised.append((type(e.value), str(e.value)))
        assert raised[0] == raised[1]


def test_row_results_are_new_lists_of_new_strs():
    row = q.Group(q.Word(q.alphas()) + q.Suppress(q.Literal(",")) + q.Word(q.alphas()))
    items = ["ab,cd", "".join(["ab", ",cd"]), "ef,gh", "x"]
    out = row.parse_batch(items)
    assert out == [["ab", "cd"], ["ab", "cd"], ["ef", "gh"], []]
    # Equal tokens of different items (and of one item) are distinct objects.
    assert out[0][0] is not out[1][0]
    out[0].append("z")
    assert out[1] == ["ab", "cd"]
