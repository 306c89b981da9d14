"""The reference model on the documented examples of each class, so that a
fault of the model shows up on its own and not only as a disagreement."""

import pytest

import model as m

L = m.Literal


def raised(fn, *args):
    with pytest.raises(m.Raised) as e:
        fn(*args)
    return e.value.exc_type, e.value.message


CASES = [
    # Literal and Keyword fast paths.
    (lambda: L("ab").parse_string("abc"), ["ab"]),
    (lambda: L("ab").search_string("abxab"), [["ab"], ["ab"]]),
    (lambda: L("aa").search_string_count("aaaaa"), 2),
    (lambda: L("aa").transform_string("aaaaa", "b"), "bba"),
    (lambda: L("ab").parse_batch(["ab", "x", "ab"]), [["ab"], [], ["ab"]]),
    (lambda: L("ab").parse_batch_count(["ab", "abc", "b"]), 2),
    (lambda: m.Keyword("if").search_string("if iffy if"), [["if"], ["if"]]),
    (lambda: m.Keyword("if").search_string_count("xif"), 1),
    (lambda: m.Keyword("if").transform_string("if iffy", "X"), "X iffy"),
    (lambda: m.Keyword("if").matches("if("), True),
    (lambda: m.Keyword("if").matches("if_"), False),
    (lambda: m.CaselessLiteral("Hello").parse_string("HELLO world"), ["Hello"]),
    (lambda: m.CaselessLiteral("Hello").search_string("hello HeLLo"), ["hello", "HeLLo"]),
    (lambda: m.CaselessLiteral("").search_string_count("abc"), 3),
    (lambda: m.CaselessKeyword("IF").search_string_count("if IF iF"), 3),
    (lambda: m.Char("abc").search_string("xaybz"), ["a", "b"]),
    (lambda: m.Char("a").parse_batch(["a", "b"]), [["a"], []]),
    # Word, Regex, QuotedString.
    (lambda: m.Word("ab", "b").search_string("ba"), ["b", "a"]),
    (lambda: m.Word("ab", "").search_string("aab"), ["a", "a", "b"]),
    (lambda: m.Word("abcdefghijklmnopqrstuvwxyz").parse_batch(["ab", "12", "cd"]), ["ab", "cd"]),
    (lambda: m.Word("a", "é").parse_at(b"a\xc3\xa9", 0), ("ok", 1, [b"a"])),
    (lambda: m.Word("a", "é").try_match(b"a\xc3\xa9", 0), 1),
    (lambda: m.Regex("a+").search_string("baab aaa"), ["aa", "aaa"]),
    (lambda: m.Regex("a+").transform_string("baab", "X"), "bXb"),
    (lambda: m.Regex("").search_string("ab"), ["", "", ""]),
    (lambda: m.Regex("").transform_string("ab", "X"), "XaXbX"),
    (lambda: m.Regex("a*").search_string("baa"), ["", "aa"]),
    (lambda: m.Regex("^a|b").parse_string("ba"), ["b"]),
    (lambda: m.Regex("^a|b").matches("xb"), False),
    (lambda: m.Regex("^a|b").try_match(b"xb", 1), 2),
    (lambda: m.Regex(r"\bfoo").try_match(b"xfoo", 1), 4),
    (lambda: m.Regex("o$", r"o\Z").try_match(b"foo", 2), 3),
    (lambda: m.QuotedString().parse_string('"ab"c'), ["ab"]),
    (lambda: m.QuotedString(unquote=False).parse_string('"ab"c'), ['"ab"']),
    (lambda: m.QuotedString("ab").parse_string("axya"), ["xy"]),
    (lambda: m.QuotedString('"', '"').matches('"a"'), False),
    (lambda: m.QuotedString(esc_char="\\").parse_string('"a\\"b"'), ['a\\"b']),
    # Line and constant kinds.
    (lambda: m.Empty().search_string_count("ab"), 2),
    (lambda: m.LineStart().search_string_count("a\n"), 1),
    (lambda: m.LineEnd().search_string("a\nb\n"), ["\n", "\n"]),
    (lambda: m.LineEnd().transform_string("a\nb", "X"), "aXb"),
    (lambda: m.rest_of_line().search_string("ab\n\ncd\n"), ["ab", "cd"]),
    (lambda: m.rest_of_line().search_string_count("a\n\nb"), 4),
    (lambda: m.rest_of_line().transform_string("ab\ncd", "X"), "X\nX"),
    # Combinators.
    (lambda: (L("a") + L("b")).parse_string("abc"), ["a", "b"]),
    (lambda: (L("a") + L("b")).search_string("abab"), ["a", "b", "a", "b"]),
    (lambda: m.Group(L("a") + L("b")).parse_at(b"ac", 0), ("fail", b"Expected 'b'", 1)),
    (lambda: (L("a") + L("b")).parse_batch(["ab", "x", "ab"]), ["a", "b", "a", "b"]),
    (lambda: (m.Empty() + m.Optional(L("a"))).parse_batch(["b", "b"]), []),
    (lambda: m.MatchFirst([L("a"), L("ab")]).parse_string("ab"), ["a"]),
    (lambda: m.MatchFirst([m.OneOrMore(m.Optional(L("a"))), L("b")]).parse_string("b"), ["b"]),
    (lambda: m.MatchFirst([m.OneOrMore(m.Optional(L("a"))), L("b")]).matches("b"), True),
    (lambda: m.Optional(L("a")).search_string_count("aba"), 3),
    (lambda: m.Optional(L("a")).transform_string("aba", "X"), "XbX"),
    (lambda: m.Optional(m.LineEnd()).parse_string(""), []),
    (lambda: m.Optional(m.LineEnd()).parse_batch([""]), [["\n"]]),
    (lambda: m.Combine(m.Optional(L("x"))).parse_string("a"), [""]),
    (lambda: m.Suppress(L("a")).search_string("aba"), ["a", "a"]),
    (lambda: m.Suppress(m.Optional(L("x"))).parse_batch_count(["y"]), 1),
    (lambda: m.OneOrMore(L("ab")).search_string("ababx ab"), ["abab", "ab"]),
    (lambda: m.OneOrMore(m.Optional(L("a"))).parse_batch(["b"]), [[]]),
    (lambda: m.ZeroOrMore(L("a")).search_string_count("aab"), 2),
    (lambda: m.Exactly(L("a"), 2).search_string("aaaaa"), ["aa", "aa"]),
    (lambda: m.Exactly(L("a"), 0).search_string_count("abc"), 3),
    (lambda: m.Exactly(m.Optional(L("x")), 2).parse_at(b"ab", 0), ("fail", b"No progress in Exactly", 0)),
    (lambda: m.SkipTo(L(",")).search_string("ab,cd,"), ["ab", "cd"]),
    (lambda: m.SkipTo(L(",")).search_string_count("ab,cd,"), 4),
    (lambda: m.SkipTo(L(",")).transform_string("ab,cd", "X"), "X,cd"),
    (lambda: m.SkipTo(m.StringEnd()).parse_string("abc"), ["abc"]),
    (lambda: m.one_of("a ab").parse_string("ab"), ["a"]),
    (lambda: len(m.one_of("a\u3000b\u00a0c\u001cd").exprs), 3),
]


@pytest.mark.parametrize("case,expected", CASES)
def test_model_gives_documented_result(case, expected):
    assert case() == expected


def paren_grammar():
    f = m.Forward()
    f <<= L("(") + m.Optional(f) + L(")")
    return f


FAILURES = [
    (lambda: L("ab").parse_string("xab"), (ValueError, "Expected 'ab'")),
    (lambda: m.Keyword("if").parse_string("iffy"), (ValueError, "Expected keyword")),
    (lambda: m.Word("ab").parse_string("1a"), (ValueError, "Expected word")),
    (lambda: m.Regex("a+").parse_string("baa"), (ValueError, "Expected regex match")),
    (lambda: m.CaselessLiteral("Hello").parse_string("help"),
     (ValueError, "ParseException at position 0: Expected 'Hello' (caseless)")),
    (lambda: (L("a") + L("b")).parse_string("ac"), (ValueError, "Expected match")),
    (lambda: m.MatchFirst([]).parse_string("a"), (ValueError, "No match found")),
    (lambda: m.Suppress(L("a")).parse_string("b"), (ValueError, "No match (suppressed)")),
    (lambda: m.Exactly(L("a"), 3).parse_string("aab"), (ValueError, "ParseException at position 2: Expected 'a'")),
    (lambda: m.Forward().parse_string("a"), (ValueError, "ParseException at position 0: Forward not initialized")),
    (lambda: m.one_of(" \n"), (ValueError, "one_of requires at least one string")),
    (lambda: m.Empty().parse_batch(["a", 5]), (TypeError, None)),
]


@pytest.mark.parametrize("case,expected", FAILURES)
def test_model_raises_documented_error(case, expected):
    assert raised(case) == expected


def test_model_recursive_grammar():
    f = paren_grammar()
    assert f.parse_string("(())") == ["(", "(", ")", ")"]
    assert f.search_string_count("(())") == 1
    assert f.matches("(()") is False
