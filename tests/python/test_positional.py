import pytest

import quillgramx as q


@pytest.mark.parametrize(
    "cls, text, parsed",
    [
        (q.Empty, "ab", []),
        (q.LineStart, "", []),
        (q.StringStart, "x", []),
        (q.LineEnd, "", ["\n"]),
        (q.LineEnd, "\nx", ["\n"]),
        (q.StringEnd, "", []),
        (q.rest_of_line, "ab\ncd", ["ab"]),
        (q.rest_of_line, "\nab", [""]),
        (q.rest_of_line, "ab\r\n", ["ab\r"]),
    ],
)
def test_parse_string(cls, text, parsed):
    assert cls().parse_string(text) == parsed


@pytest.mark.parametrize(
    "cls, text, message",
    [
        (q.NoMatch, "", "NoMatch will never match"),
        (q.NoMatch, "abc", "NoMatch will never match"),
        (q.LineEnd, "x", "Expected end of line"),
        (q.StringEnd, "a", "Expected end of string"),
    ],
)
def test_parse_string_failure(cls, text, message):
    with pytest.raises(ValueError) as e:
        cls().parse_string(text)
    assert str(e.value) == f"ParseException at position 0: {message}"


@pytest.mark.parametrize(
    "cls, text, count",
    [
        (q.Empty, "abc", 3),
        (q.Empty, "", 0),
        (q.Empty, "\u00e9", 2),
        (q.NoMatch, "abc", 0),
        (q.LineStart, "", 0),
        (q.LineStart, "a", 1),
        (q.LineStart, "\n", 1),
        (q.LineStart, "a\nb", 2),
        (q.LineStart, "a\n", 1),
        (q.LineStart, "\n\n", 2),
        (q.StringStart, "abc", 1),
        (q.StringStart, "", 0),
        (q.StringEnd, "abc", 0),
        (q.LineEnd, "a\nb\n", 2),
        (q.LineEnd, "ab", 0),
        (q.rest_of_line, "", 0),
        (q.rest_of_line, "ab", 1),
        (q.rest_of_line, "ab\ncd", 3),
        (q.rest_of_line, "ab\n", 2),
        (q.rest_of_line, "\n\n", 2),
        (q.rest_of_line, "a\n\nb", 4),
    ],
)
def test_search_string_count(cls, text, count):
    assert cls().search_string_count(text) == count


@pytest.mark.parametrize(
    "cls, text, found",
    [
        (q.Empty, "ab", []),
        (q.LineStart, "a\nb", []),
        (q.LineEnd, "a\nb\n", ["\n", "\n"]),
        (q.rest_of_line, "ab\ncd", ["ab", "cd"]),
        (q.rest_of_line, "ab\n\ncd\n", ["ab", "cd"]),
    ],
)
def test_search_string(cls, text, found):
    assert cls().search_string(text) == found


@pytest.mark.parametrize(
    "cls, text, out",
    [
        (q.Empty, "ab", "ab"),
        (q.NoMatch, "ab", "ab"),
        (q.LineStart, "a\nb", "a\nb"),
        (q.StringEnd, "ab", "ab"),
        (q.LineEnd, "a\nb", "aXb"),
        (q.rest_of_line, "ab\ncd", "X\nX"),
    ],
)
def test_transform_string(cls, text, out):
    assert cls().transform_string(text, "X") == out


_LINE_TEXTS = ["", "\n", "\n\n\n", "a", "a\n", "\na", "ab\n\ncd\n", "x\r\ny\r\n", "\u00e9\n\u20ac\u00fc\n\n\U0001f600",
               "same\nsame\nother\nsame", "\x00\n\x00"]


@pytest.mark.parametrize("text", _LINE_TEXTS)
def test_rest_of_line_lists_and_replaces_each_non_empty_line(text):
    lines = text.split("\n")
    out = q.rest_of_line().search_string(text)
    assert out == [l for l in lines if l]
    # Equal lines are one str object, the first one made.
    first = {}
    for s in out:
        assert first.setdefault(s, s) is s
    assert q.rest_of_line().transform_string(text, "<\u20ac>") == "\n".join("<\u20ac>" if l else l for l in lines)


def test_rest_of_line_lines_of_a_long_text():
    text = "".join(f"line {i % 5000}\n" for i in range(20000)) + "tail"
    out = q.rest_of_line().search_string(text)
    assert out == [l for l in text.split("\n") if l]
    assert out[0] is out[5000] is out[15000] and out[1] is not out[0]


@pytest.mark.parametrize(
    "cls, text, expected",
    [
        (q.Empty, "", True),
        (q.NoMatch, "", False),
        (q.LineStart, "x", True),
        (q.StringStart, "x", True),
        (q.StringEnd, "", True),
        (q.StringEnd, "x", False),
        (q.LineEnd, "", True),
        (q.LineEnd, "\n", True),
        (q.LineEnd, "x", False),
        (q.LineEnd, "x\n", False),
        (q.LineEnd, "\r\n", False),
        (q.rest_of_line, "x", True),
    ],
)
def test_matches(cls, text, expected):
    assert cls().matches(text) is expected


def test_batch_results():
    inputs = ["", "a", "\nb", "x"]
    assert q.LineEnd().parse_batch(inputs) == [["\n"], [], ["\n"], []]
    assert q.LineEnd().parse_batch_count(inputs) == 2
    assert q.StringEnd().parse_batch_count(inputs) == 1
    assert q.StringEnd().parse_batch(inputs) == [[], [], [], []]
    assert q.rest_of_line().parse_batch(["ab\ncd", ""]) == [["ab"], [""]]
    assert q.LineStart().parse_batch_count(inputs) == 4
    assert q.Empty().parse_batch_count(inputs) == 4
    assert q.NoMatch().parse_batch_count(inputs) == 0
    assert q.Empty().parse_batch_count([]) == 0


@pytest.mark.reuse
def test_repeated_object_shares_one_inner_list():
    s = "text"
    out = q.Empty().parse_batch([s] * 1000)
    assert len(out) == 1000
    assert all(x is out[0] for x in out)
    a, b = "a", "b" * 2
    out = q.Empty().parse_batch([a, b])
    assert out[0] is not out[1]


def test_rest_of_line_objects_are_separate():
    a, b = q.rest_of_line(), q.rest_of_line()
    assert a.parse_string("x") == b.parse_string("x")


@pytest.mark.parametrize("cls", [q.Empty, q.NoMatch, q.LineStart, q.LineEnd, q.StringStart, q.StringEnd, q.rest_of_line])
def test_constructors_take_no_arguments(cls):
    name = cls.__name__
    with pytest.raises(TypeError) as e:
        cls(1)
    assert str(e.value) == f"{name}.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        cls(x=1)
    assert str(e.value) == f"{name}.__new__() got an unexpected keyword argument 'x'"
