"""Every operation of the line, position and constant classes, on success and
error paths, leaves its inputs' reference counts and the traced memory flat."""
import pytest

import quillgramx as q
from leakcheck import assert_no_leaks

CLASSES = [q.Empty, q.NoMatch, q.LineStart, q.LineEnd, q.StringStart, q.StringEnd, q.rest_of_line]

TEXT = "ab\ncd\n\u00e9f\nab"
REPLACEMENT = "<\u20ac>"
A, B, C = "line a\n", "\nline b", ""
# One list per reuse rule of the batch operations.
BATCHES = {
    "same object": [A] * 50,
    "period": [A, B, C] * 20,
    "item by item": [A, A, B, C, B, A],
    "more than 31 objects": [f"{i}\n" if i % 2 else f"x{i}" for i in range(80)] * 2 + ["tail"],
}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "op",
    ["parse_string", "matches", "search_string", "search_string_count"],
)
def test_text_operations(cls, op):
    elem = cls()
    method = getattr(elem, op)
    if cls in (q.NoMatch, q.LineEnd, q.StringEnd) and op == "parse_string":
        assert_no_leaks(lambda: method(TEXT), elem, TEXT, raises=ValueError)
    else:
        assert_no_leaks(lambda: method(TEXT), elem, TEXT)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_transform_string(cls):
    elem = cls()
    assert_no_leaks(lambda: elem.transform_string(TEXT, REPLACEMENT), elem, TEXT, REPLACEMENT)
    assert_no_leaks(lambda: elem.transform_string(s=TEXT, replacement=REPLACEMENT), elem, TEXT, REPLACEMENT)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("batch", list(BATCHES), ids=str)
def test_batch_operations(cls, batch):
    elem = cls()
    inputs = BATCHES[batch]
    watched = (elem, inputs, *dict.fromkeys(inputs))
    assert_no_leaks(lambda: elem.parse_batch(inputs), *watched)
    assert_no_leaks(lambda: elem.parse_batch_count(inputs), *watched)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_argument_errors(cls):
    elem = cls()
    bad = object()
    lone = "a\udc80"
    assert_no_leaks(lambda: elem.matches(bad), elem, bad, raises=TypeError)
    assert_no_leaks(lambda: elem.parse_string(lone), elem, lone, raises=UnicodeEncodeError)
    assert_no_leaks(lambda: elem.transform_string(TEXT, bad), elem, TEXT, bad, raises=TypeError)
    assert_no_leaks(lambda: elem.parse_batch((TEXT,)), elem, TEXT, raises=TypeError)
    assert_no_leaks(lambda: elem.search_string(TEXT, s=TEXT), elem, TEXT, raises=TypeError)
    assert_no_leaks(lambda: elem.parse_batch_count(inputs=[TEXT], t=1), elem, TEXT, raises=TypeError)
    assert_no_leaks(lambda: cls(bad), bad, raises=TypeError)
    assert_no_leaks(lambda: cls(k=bad), bad, raises=TypeError)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("where", ["same object", "period", "item by item", "cache"])
@pytest.mark.parametrize("bad", [7, "x\udc80"], ids=["int", "surrogate"])
def test_unreadable_batch_items(cls, where, bad):
    elem = cls()
    lists = {
        "same object": [bad] * 6,
        "period": [A, bad] * 4,
        "item by item": [A, B, bad, C],
        "cache": [f"s{i}" for i in range(40)] + [bad],
    }
    inputs = lists[where]
    error = TypeError if bad == 7 else UnicodeEncodeError
    assert_no_leaks(lambda: elem.parse_batch(inputs), elem, inputs, bad, raises=error)
    assert_no_leaks(lambda: elem.parse_batch_count(inputs), elem, inputs, bad, raises=error)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_construction(cls):
    assert_no_leaks(cls)


# One object of every class of the module, built from children kept here so
# that their reference counts are watched too.
_LIT = q.Literal("ab")
_WORD = q.Word(q.alphas())
EVERY_CLASS = {
    "Literal": lambda: q.Literal("ab"),
    "Keyword": lambda: q.Keyword("ab"),
    "CaselessLiteral": lambda: q.CaselessLiteral("AB"),
    "CaselessKeyword": lambda: q.CaselessKeyword("AB"),
    "Char": lambda: q.Char("ab"),
    "Word": lambda: q.Word(q.alphas(), q.alphanums()),
    "Regex": lambda: q.Regex(r"[a-z]+\d*"),
    "QuotedString": lambda: q.QuotedString("'", esc_char="\\"),
    "And": lambda: _LIT + _WORD,
    "MatchFirst": lambda: _LIT | _WORD,
    "Optional": lambda: q.Optional(_LIT),
    "OneOrMore": lambda: q.OneOrMore(_WORD),
    "ZeroOrMore": lambda: q.ZeroOrMore(_LIT),
    "Group": lambda: q.Group(_LIT),
    "Suppress": lambda: q.Suppress(_LIT),
    "Combine": lambda: q.Combine(_LIT + _WORD),
    "Exactly": lambda: q.Exactly(_LIT, 2),
    "SkipTo": lambda: q.SkipTo(_LIT),
    "Forward": lambda: _forward(),
}


def _forward():
    f = q.Forward()
    f <<= _LIT | q.Suppress(q.Literal("(")) + f
    return f


MIXED = "ab abab cd 'q\\'t' (((ab x9 \u00e9ab\nAB ab"
MIXED_BATCH = [MIXED, "ab", "xy", "'z'", "(ab"] * 3 + ["ab"] * 4 + [f"ab{i}" for i in range(40)]


@pytest.mark.parametrize("name", list(EVERY_CLASS), ids=str)
def test_every_class_leaks_nothing(name):
    elem = EVERY_CLASS[name]()
    watched = (elem, _LIT, _WORD, MIXED, MIXED_BATCH)
    for op in ("matches", "search_string", "search_string_count"):
        method = getattr(elem, op)
        assert_no_leaks(lambda: method(MIXED), *watched)
    try:
        elem.parse_string(MIXED)
        assert_no_leaks(lambda: elem.parse_string(MIXED), *watched)
    except ValueError:
        assert_no_leaks(lambda: elem.parse_string(MIXED), *watched, raises=ValueError)
    assert_no_leaks(lambda: elem.transform_string(MIXED, "<>"), *watched)
    assert_no_leaks(lambda: elem.parse_batch(MIXED_BATCH), *watched)
    assert_no_leaks(lambda: elem.parse_batch_count(MIXED_BATCH), *watched)
    assert_no_leaks(lambda: elem.parse_batch([MIXED, 3]), *watched, raises=TypeError)
    assert_no_leaks(EVERY_CLASS[name], _LIT, _WORD)
