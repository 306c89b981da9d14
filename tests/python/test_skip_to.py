import pytest

import quillgramx as q
from quillgramx import Forward, Literal, SkipTo

comma = SkipTo(Literal(","))


@pytest.mark.parametrize("text, parsed", [("ab,cd", ["ab"]), (",cd", [""]), ("\u00e9\u00e9,", ["\u00e9\u00e9"])])
def test_parse_string(text, parsed):
    assert comma.parse_string(text) == parsed


def test_not_found():
    with pytest.raises(ValueError) as e:
        comma.parse_string("abc")
    assert str(e.value) == "ParseException at position 0: SkipTo: target not found"


@pytest.mark.parametrize("text, expected", [("abc", False), ("x,", True), ("", False)])
def test_matches(text, expected):
    assert comma.matches(text) is expected


@pytest.mark.parametrize(
    "text, found, count, replaced",
    [
        ("ab,cd,", ["ab", "cd"], 4, "X,X,"),
        ("ab,cd", ["ab"], 2, "X,cd"),
        ("", [], 0, ""),
    ],
)
def test_scans(text, found, count, replaced):
    assert comma.search_string(text) == found
    assert comma.search_string_count(text) == count
    assert comma.transform_string(text, "X") == replaced


def test_batches():
    assert comma.parse_batch(["a,b", "ab"]) == [["a"], []]
    assert comma.parse_batch_count(["a,b", "ab", ","]) == 2


def test_skip_to_string_end():
    s = SkipTo(q.StringEnd())
    assert s.parse_string("abc") == ["abc"]
    assert s.matches("")


def test_constructor():
    with pytest.raises(ValueError) as e:
        SkipTo("x")
    assert str(e.value) == "Unsupported parser element type"
    with pytest.raises(TypeError) as e:
        SkipTo()
    assert str(e.value) == "SkipTo.__new__() missing 1 required positional argument: 'expr'"
    assert SkipTo.__text_signature__ == "(expr)"


def test_target_through_a_forward():
    f = Forward()
    s = SkipTo(f)
    assert not s.matches("ab;")
    f <<= Literal(";")
    assert s.parse_string("ab;") == ["ab"]


def test_token_never_cuts_a_character():
    # The target matches the second byte of a two-byte character: the token
    # holds whole characters only.
    s = SkipTo(q.Regex("x") | Literal("\u00e9"))
    assert s.parse_string("a\u00e9") == ["a"]
    assert all(isinstance(t, str) for t in s.search_string("\u00e9a\u00e9b"))


# ---------------------------------------------------------------------------
# Scans over a text where the target is absent or rare: one operation
# remembers what its searches found, so every byte is searched once however
# many starts the scan tries (each start used to walk to the end).

LONG_SCANS = r"""
import quillgramx as q
from quillgramx import *
n = 1_000_000
absent = "ab" * (n // 2)
rare = ("a" * 999 + "x") * (n // 1000)
s = SkipTo(Literal("x"))
assert s.search_string_count(absent) == 0
assert s.search_string(absent) == [] and s.transform_string(absent, "Z") == absent
assert s.search_string_count(rare) == 2 * (n // 1000)
found = s.search_string(rare)
assert found == ["a" * 999] + ["a" * 999] * (n // 1000 - 1), len(found)
assert s.transform_string(rare, "Z") == "Zx" * (n // 1000)
seq = s + Literal("x")
assert seq.search_string_count(absent) == 0 and seq.transform_string(absent, "Z") == absent
assert seq.search_string(rare) == ["a" * 999, "x"] * (n // 1000)
rep = OneOrMore(s + Literal("x") + Literal("a"))
assert rep.search_string_count(absent) == 0
assert rep.transform_string(rare, "Z") == "Z" + "a" * 998 + "x"
group = Group(SkipTo(Literal("x") | Literal("y")) + Literal("q"))
assert group.search_string_count(rare) == 0
print("ok")
"""


def test_scans_over_a_rare_target_take_linear_time():
    import os
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # Each of these took minutes when every start searched to the end.
    r = subprocess.run([sys.executable, "-c", LONG_SCANS], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip() == "ok"


# ---------------------------------------------------------------------------
# The search passes over the positions where the target cannot begin: the
# answers are those of trying every position, for targets of every start.


def model_skip(target, text, p):
    """The end of SkipTo(target) at p, trying the target at every position (ASCII texts)."""
    for q_ in range(p, len(text) + 1):
        if target.matches(text[q_:]):
            return q_
    return None


def model_scans(target, text):
    found, count, out, p, mark = [], 0, [], 0, 0
    while p < len(text):
        e = model_skip(target, text, p)
        if e is None:
            p += 1
            continue
        count += 1
        if e > p:
            found.append(text[p:e])
            out.append(text[mark:p] + "X")
            mark = e
            p = e
        else:
            p += 1
    return found, count, "".join(out) + text[mark:]


TARGETS = {
    "literal": lambda: Literal("\n\n"),
    "two line ends": lambda: q.LineEnd() + q.LineEnd(),
    "regex literal": lambda: q.Regex(r"\n\n"),
    "one byte": lambda: Literal(","),
    "line end": lambda: q.LineEnd(),
    "string end": lambda: q.StringEnd(),
    "word": lambda: q.Word(q.nums()),
    "choice": lambda: q.Keyword("end") | Literal(";;") | q.Char("#%"),
    "caseless": lambda: q.CaselessLiteral("Ab"),
    "sequence": lambda: Literal("a") + q.Optional(Literal("b")) + Literal("\n"),
}


def random_texts():
    import random

    rnd = random.Random(4)
    texts = ["", "\n", "\n\n", "a\n", "ab\n\nc", "x" * 40 + "\n", "end;;", ";;", "1,2\n\n3", "aB ab AB\n"]
    for _ in range(60):
        texts.append("".join(rnd.choice("ab\n\n,;e nd#1%AB") for _ in range(rnd.randint(0, 70))))
    return texts


@pytest.mark.parametrize("name", TARGETS)
def test_search_equals_trying_every_position(name):
    target = TARGETS[name]()
    s = SkipTo(target)
    for text in random_texts():
        e = model_skip(target, text, 0)
        assert s.matches(text) is (e is not None), text
        if e is None:
            with pytest.raises(ValueError):
                s.parse_string(text)
        else:
            assert s.parse_string(text) == [text[:e]], text
        found, count, replaced = model_scans(target, text)
        assert s.search_string(text) == found, text
        assert s.search_string_count(text) == count, text
        assert s.transform_string(text, "X") == replaced, text
    texts = random_texts()
    assert s.parse_batch(texts) == [[t[: model_skip(target, t, 0)]] if model_skip(target, t, 0) is not None else []
                                    for t in texts]
    assert s.parse_batch_count(texts) == sum(model_skip(target, t, 0) is not None for t in texts)


def test_search_through_multibyte_text():
    # The jump lands on the target's bytes wherever they stand.
    s = SkipTo(Literal("\u00e9\u00e9"))
    text = "a\u00e9b" * 50 + "\u00e9\u00e9" + "c" * 30
    assert s.parse_string(text) == ["a\u00e9b" * 50]
    assert s.search_string(text) == ["a\u00e9b" * 50]
    assert SkipTo(q.LineEnd() + q.LineEnd()).parse_string("\u65e5\n\u65e5\n\n") == ["\u65e5\n\u65e5"]
