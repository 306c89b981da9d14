import sys

import numpy
import pytest

import quillgramx as q
from leakcheck import assert_no_leaks

MESSAGE = "ParseException at position 0: Expected quoted string starting with '{}'"


@pytest.mark.parametrize(
    "kwargs, text, parsed",
    [
        ({}, '"abc"def', ["abc"]),
        ({"unquote": False}, '"abc"def', ['"abc"']),
        ({}, '""', [""]),
        ({"multiline": True}, '"a\nb"', ["a\nb"]),
        ({"esc_char": "\\"}, r'"a\"b"', [r"a\"b"]),
        ({"esc_char": "\\"}, '"a\\\nb"', ["a\\\nb"]),
        ({"quote_char": "'"}, "'it'", ["it"]),
        ({"quote_char": "ab"}, "axya", ["xy"]),
        ({"quote_char": ""}, '"q"', ["q"]),
        ({"esc_char": ""}, '"a\\"', ["a\\"]),
        ({"esc_char": None}, '"a\\"', ["a\\"]),
        ({"quote_char": "\n", "multiline": True}, "\nab\n", ["ab"]),
        ({}, '"日本"x', ["日本"]),
        # A quote outside ASCII is matched as a whole character.
        ({"quote_char": "§"}, "§ab§c", ["ab"]),
        ({"quote_char": "§", "unquote": False}, "§a©§", ["§a©§"]),
        ({"quote_char": "«»"}, "«a»«", ["a»"]),
    ],
)
def test_parse_string(kwargs, text, parsed):
    assert q.QuotedString(**kwargs).parse_string(text) == parsed


@pytest.mark.parametrize(
    "kwargs, text, shown",
    [
        ({}, "abc", '"'),
        ({}, '"abc', '"'),
        ({}, '"a\nb"', '"'),
        ({"esc_char": "\\"}, '"ab\\"', '"'),
        ({"quote_char": "ab"}, "bxyb", "ab"),
        ({"quote_char": ""}, "''", ""),
        ({"quote_char": '"', "esc_char": '"'}, '"a""', '"'),
        ({"quote_char": "\n"}, "\nab\n", "\n"),
        ({"quote_char": "§"}, "§a©", "§"),
    ],
)
def test_parse_string_failure(kwargs, text, shown):
    with pytest.raises(ValueError) as e:
        q.QuotedString(**kwargs).parse_string(text)
    assert str(e.value) == MESSAGE.format(shown)


def test_matches():
    s = q.QuotedString()
    assert s.matches('"') is False
    assert s.matches('""') is True
    assert s.matches("") is False
    assert s.matches('x""') is False


def test_scans_keep_the_quotes():
    s = q.QuotedString()
    text = 'one "two" three "four"'
    assert s.search_string(text) == ['"two"', '"four"']
    assert s.search_string_count(text) == 2
    assert s.transform_string(text, "X") == "one X three X"
    assert s.search_string('"a" "a"') == ['"a"', '"a"']
    r = s.search_string('"a" "a"')
    assert r[0] is r[1]


def test_scans_over_multibyte_texts():
    s = q.QuotedString(quote_char="§")
    assert s.search_string("x§é§y§日§") == ["§é§", "§日§"]
    assert s.search_string_count("é§a") == 0
    assert s.transform_string("a§b§c", "-") == "a-c"


def test_batches():
    s = q.QuotedString()
    items = ['"a"', "x", '"b"c', '"']
    assert s.parse_batch(items) == [["a"], [], ["b"], []]
    assert s.parse_batch_count(items) == 2
    assert s.parse_batch([]) == [] and s.parse_batch_count([]) == 0
    assert s.parse_batch_count(['"a"'] * 100) == 100


@pytest.mark.reuse
def test_parse_batch_reuses_repeated_objects():
    r = q.QuotedString().parse_batch(['"a"'] * 10)
    assert all(x is r[0] for x in r)


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        (("'", None, False, True, 1), {}, TypeError,
         "QuotedString.__new__() takes from 0 to 4 positional arguments but 5 were given"),
        ((), {"quote": "'"}, TypeError, "QuotedString.__new__() got an unexpected keyword argument 'quote'"),
        (("'",), {"quote_char": "'"}, TypeError, "QuotedString.__new__() got multiple values for argument 'quote_char'"),
        ((None,), {}, TypeError, "argument 'quote_char': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {"esc_char": 5}, TypeError, "argument 'esc_char': 'int' object cannot be converted to 'PyString'"),
        ((), {"multiline": 1}, TypeError, "argument 'multiline': 'int' object cannot be converted to 'PyBool'"),
        ((), {"multiline": None}, TypeError, "argument 'multiline': 'NoneType' object cannot be converted to 'PyBool'"),
        ((), {"unquote": "yes"}, TypeError, "argument 'unquote': 'str' object cannot be converted to 'PyBool'"),
        # The arguments are converted in order; the first failure is raised.
        ((1, 2, 3, 4), {}, TypeError, "argument 'quote_char': 'int' object cannot be converted to 'PyString'"),
        (('"', 2, 3, 4), {}, TypeError, "argument 'esc_char': 'int' object cannot be converted to 'PyString'"),
        (('"', "\\", 3, 4), {}, TypeError, "argument 'multiline': 'int' object cannot be converted to 'PyBool'"),
        (('"', "\\", True, 4), {}, TypeError, "argument 'unquote': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_constructor_errors(args, kwargs, error, text):
    with pytest.raises(error) as e:
        q.QuotedString(*args, **kwargs)
    assert str(e.value) == text


def test_constructor_surrogates_are_raised_unchanged():
    with pytest.raises(UnicodeEncodeError):
        q.QuotedString("\ud800")
    with pytest.raises(UnicodeEncodeError):
        q.QuotedString('"', "\udfff", 1)


def test_constructor_accepts_numpy_booleans_and_subclasses():
    class S(str):
        pass

    s = q.QuotedString(S("'"), S("\\"), numpy.bool_(True), numpy.bool_(False))
    assert s.parse_string("'a\nb'") == ["'a\nb'"]
    assert q.QuotedString(multiline=numpy.True_).matches('"\n"') is True
    assert q.QuotedString("'", None, True, True).parse_string("'x'") == ["x"]


def test_docs():
    assert q.QuotedString.__text_signature__ == '(quote_char="\\"", esc_char=None, multiline=False, unquote=True)'
    for name in ["parse_string", "matches", "search_string", "search_string_count", "parse_batch",
                 "parse_batch_count"]:
        method = getattr(q.QuotedString, name)
        assert method.__text_signature__ == ("($self, inputs)" if "batch" in name else "($self, s)")
        assert method.__doc__ is None  # an empty description after the signature
    assert q.QuotedString.transform_string.__text_signature__ == "($self, s, replacement)"


def test_reference_counts_stay_unchanged():
    s = q.QuotedString(esc_char="\\")
    text = "".join(['a "b" ', '"c\\"" x']) * 10
    items = ["".join(['"a"']), "".join(["b"])] * 4
    before = [sys.getrefcount(o) for o in [text, s] + items]
    for _ in range(2000):
        s.search_string(text)
        s.search_string_count(text)
        s.transform_string(text, "-")
        s.parse_batch(items)
        s.parse_batch_count(items)
        s.parse_string(text[2:])
        try:
            s.parse_string(text)
        except ValueError:
            pass
    after = [sys.getrefcount(o) for o in [text, s] + items]
    assert before == after


_Q = q.QuotedString(esc_char="\\")
_QTEXT = "".join(['a "b" ', '"c\\"" x']) * 10
_QITEMS = ["".join(['"a"']), "".join(["b"])] * 4


@pytest.mark.parametrize(
    "op, raises",
    [
        (lambda: _Q.parse_string(_QTEXT[2:]), None),
        (lambda: _Q.parse_string(_QTEXT), ValueError),
        (lambda: _Q.search_string(_QTEXT), None),
        (lambda: _Q.transform_string(_QTEXT, "-"), None),
        (lambda: _Q.parse_batch(_QITEMS), None),
        (lambda: _Q.parse_batch_count(_QITEMS), None),
        (lambda: q.QuotedString("'", None, True, False), None),
        (lambda: q.QuotedString("'", None, 1), TypeError),
    ],
)
def test_no_leaks(op, raises):
    assert_no_leaks(op, _Q, _QTEXT, *_QITEMS, raises=raises)


# Openings that never close, or close only at the far end: each opening's
# scan once went to the end of the text (400,000 openings of about 200,000
# bytes each). Each case runs in a subprocess with a timeout far above its
# cost (well under a second), where the quadratic scan took minutes; the
# results are checked against the same grammar on a text where the memo of
# long scans cannot help (the short texts' outcomes are known).
NEVER_CLOSING = [
    (r"QuotedString('\"', esc_char='\\')", r"'\"\\' * n", 0),
    (r"QuotedString('\"', esc_char='\\')", r"'\"' + '\\\"' * n + '\"'", 1),
    (r"QuotedString('\"', esc_char='\"')", r"'\"' * (2 * n)", 0),
    (r'''QuotedString("'", esc_char="'", multiline=True)''', r'''"'\n" * n''', 0),
    (r"QuotedString('\"', esc_char='\\', multiline=True)", r"'\"\\\n\\' * n", 0),
    (r"QuotedString('é', esc_char='\\')", r"'é\\' * n", 0),
    (r"QuotedString('\"', esc_char='\\')", r"'\"\\\\\\' * n", 0),
    (r"MatchFirst([QuotedString('\"', esc_char='\\'), Literal('zz')])", r"'\"\\' * n", 0),
    (r"QuotedString('\"', esc_char='\\') + Literal('x')", r"'\"\\' * n", 0),
]


@pytest.mark.parametrize("grammar,text,count", NEVER_CLOSING, ids=[f"{g} on {t}" for g, t, _ in NEVER_CLOSING])
def test_openings_that_never_close_cost_linear_work(grammar, text, count):
    import os
    import subprocess
    import textwrap
    code = textwrap.dedent(f"""
        from quillgramx import *
        g = {grammar}
        n = 200000
        s = {text}
        found = g.search_string(s)
        assert len(found) == {count}, found[:3]
        assert g.search_string_count(s) == {count}
        assert g.transform_string(s, "X") == (s if {count} == 0 else "X")
        assert g.matches(s) == ({count} == 1)
        print("ok")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    assert r.stdout.strip() == "ok"
