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



def test_parse_batch_large_map_with_objects_met_again():
    # Enough distinct texts that the text map outgrows the caches, mixed with
    # objects met several times (cached) and inputs that do not match.
    e = q.Word(q.alphas() + q.nums()) + q.Suppress(Literal("=")) + q.rest_of_line()
    again = ["k=shared", "nomatch", "k=" + "v" * 40]
    items, expected = [], []
    for i in range(70000):
        if i % 997 == 0:
            obj = again[(i // 997) % 3]
            items.append(obj)
            if obj != "nomatch":
                expected += obj.split("=", 1)[:1] + ["="] + obj.split("=", 1)[1:]
        line = f"key{i % 500}=value {i}\nnext"
        items.append(line)
        expected += [f"key{i % 500}", "=", f"value {i}"]
    r = e.parse_batch(items)
    assert r == expected
    first = {}
    assert all(first.setdefault(s, s) is s for s in r)
    assert e.parse_batch_count(items) == len(items) - sum(1 for o in items if o == "nomatch")

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


def _forward_pairs():
    f = q.Forward()
    f <<= Literal("(") + q.Optional(f) + Literal(")")
    return f


def _nested_groups(k):
    e = Literal("a")
    for _ in range(k):
        e = q.Group(e)
    return e


# Grammars whose members take different routes to their outcome: a Suppress
# (of a terminal and of a sequence), a Forward (set, unset, recursive),
# zero-width members, members that meet multi-byte characters, choices and
# searches among the members.
SEQUENCES = {
    "suppress": lambda: q.Word(q.alphas()) + q.Suppress(Literal("=")) + q.rest_of_line(),
    "suppress of a sequence": lambda: Literal("x") + q.Suppress(Literal("y") + Literal("z")) + Literal("x"),
    "forward": lambda: Literal("<") + _forward_pairs() + Literal(">"),
    "forward unset": lambda: Literal("a") + q.Forward(),
    "forward and group": lambda: q.Group(_forward_pairs()) + q.Optional(_forward_pairs()),
    "zero width": lambda: q.Empty() + q.LineStart() + q.Optional(Literal("z")) + q.LineEnd(),
    "zero width repetition": lambda: q.OneOrMore(q.Optional(Literal("z"))) + Literal("a") + q.ZeroOrMore(Literal("b")),
    "non-ascii": lambda: q.SkipTo(Literal("b!")) + Literal("b!"),
    "non-ascii rest": lambda: q.Optional(q.Regex("[^\\x00-\\x7f]")) + q.rest_of_line(),
    "non-ascii word": lambda: q.Word(q.alphas() + "\xe9") + q.Empty(),
    "choice members": lambda: (Literal("a") | Literal("ab")) + q.Char("bc") + q.Exactly(Literal("d"), 0),
    "skip member": lambda: Literal("[") + q.SkipTo(Literal("]")) + Literal("]"),
}


# Each row: parse_string (or its error), matches, search_string,
# search_string_count, transform_string with "#", parse_batch of the text,
# the text with "!" and an equal text of another object, parse_batch of three
# references to the text, parse_batch_count of the text and the text with "!".
@pytest.mark.parametrize(
    "name, text, expected",
    [
        ('suppress', 'k=v', (['k', '=', 'v'], True, ['k', '=', 'v'], 1, '#', ['k', '=', 'v', 'k', '=', 'v!', 'k', '=', 'v'], [['k', '=', 'v'], ['k', '=', 'v'], ['k', '=', 'v']], 2)),
        ('suppress', 'k=v w\nx=y', (['k', '=', 'v w'], True, ['k', '=', 'v w', 'x', '=', 'y'], 2, '#\n#', ['k', '=', 'v w', 'k', '=', 'v w', 'k', '=', 'v w'], [['k', '=', 'v w'], ['k', '=', 'v w'], ['k', '=', 'v w']], 2)),
        ('suppress', '=v', ('error: Expected match', False, [], 0, '=v', [], [[], [], []], 0)),
        ('suppress', 'a=b=c\n', (['a', '=', 'b=c'], True, ['a', '=', 'b=c'], 1, '#\n', ['a', '=', 'b=c', 'a', '=', 'b=c', 'a', '=', 'b=c'], [['a', '=', 'b=c'], ['a', '=', 'b=c'], ['a', '=', 'b=c']], 2)),
        ('suppress of a sequence', 'xyzx', (['x', 'yz', 'x'], True, ['x', 'yz', 'x'], 1, '#', ['x', 'yz', 'x', 'x', 'yz', 'x', 'x', 'yz', 'x'], [['x', 'yz', 'x'], ['x', 'yz', 'x'], ['x', 'yz', 'x']], 2)),
        ('suppress of a sequence', 'xyx', ('error: Expected match', False, [], 0, 'xyx', [], [[], [], []], 0)),
        ('suppress of a sequence', 'axyzxyzx', ('error: Expected match', False, ['x', 'yz', 'x'], 1, 'a#yzx', [], [[], [], []], 0)),
        ('forward', '<()>', (['<', '()', '>'], True, ['<', '()', '>'], 1, '#', ['<', '()', '>', '<', '()', '>', '<', '()', '>'], [['<', '()', '>'], ['<', '()', '>'], ['<', '()', '>']], 2)),
        ('forward', '<(())>', (['<', '(())', '>'], True, ['<', '(())', '>'], 1, '#', ['<', '(())', '>', '<', '(())', '>', '<', '(())', '>'], [['<', '(())', '>'], ['<', '(())', '>'], ['<', '(())', '>']], 2)),
        ('forward', '<(()>', ('error: Expected match', False, [], 0, '<(()>', [], [[], [], []], 0)),
        ('forward', 'a<()>b<(())>', ('error: Expected match', False, ['<', '()', '>', '<', '(())', '>'], 2, 'a#b#', [], [[], [], []], 0)),
        ('forward unset', 'a', ('error: Expected match', False, [], 0, 'a', [], [[], [], []], 0)),
        ('forward unset', 'ab', ('error: Expected match', False, [], 0, 'ab', [], [[], [], []], 0)),
        ('forward and group', '()()', (['()', '()'], True, ['()', '()'], 1, '#', ['()', '()', '()', '()', '()', '()'], [['()', '()'], ['()', '()'], ['()', '()']], 2)),
        ('forward and group', '(())', (['(())'], True, ['(())'], 1, '#', ['(())', '(())', '(())'], [['(())'], ['(())'], ['(())']], 2)),
        ('forward and group', '()', (['()'], True, ['()'], 1, '#', ['()', '()', '()'], [['()'], ['()'], ['()']], 2)),
        ('forward and group', 'x()', ('error: Expected match', False, ['()'], 1, 'x#', [], [[], [], []], 0)),
        ('zero width', '', ([], True, [], 0, '', [], [], 1)),
        ('zero width', 'z', (['z'], True, ['z'], 1, '#', ['z', 'z'], [['z'], ['z'], ['z']], 1)),
        ('zero width', '\nz\n', (['\n'], True, ['\n', 'z', '\n'], 2, '##', ['\n', '\n', '\n'], [['\n'], ['\n'], ['\n']], 2)),
        ('zero width', 'y', ('error: Expected match', False, [], 0, 'y', [], [[], [], []], 0)),
        ('zero width repetition', 'a', (['a'], True, ['a'], 1, '#', ['a', 'a', 'a'], [['a'], ['a'], ['a']], 2)),
        ('zero width repetition', 'zzab', (['zz', 'a', 'b'], True, ['zz', 'a', 'b'], 1, '#', ['zz', 'a', 'b', 'zz', 'a', 'b', 'zz', 'a', 'b'], [['zz', 'a', 'b'], ['zz', 'a', 'b'], ['zz', 'a', 'b']], 2)),
        ('zero width repetition', 'ba', ('error: Expected match', False, ['a'], 1, 'b#', [], [[], [], []], 0)),
        ('zero width repetition', 'xabb', ('error: Expected match', False, ['a', 'bb'], 1, 'x#', [], [[], [], []], 0)),
        ('non-ascii', 'éb!', (['é', 'b!'], True, ['é', 'b!'], 1, '#', ['é', 'b!', 'é', 'b!', 'é', 'b!'], [['é', 'b!'], ['é', 'b!'], ['é', 'b!']], 2)),
        ('non-ascii', 'x€b!', (['x€', 'b!'], True, ['x€', 'b!'], 1, '#', ['x€', 'b!', 'x€', 'b!', 'x€', 'b!'], [['x€', 'b!'], ['x€', 'b!'], ['x€', 'b!']], 2)),
        ('non-ascii', '€€b', ('error: Expected match', False, [], 0, '€€b', ['€€', 'b!'], [[], [], []], 1)),
        ('non-ascii rest', 'éb!', (['é', 'b!'], True, ['é', 'b!'], 1, '#', ['é', 'b!', 'é', 'b!!', 'é', 'b!'], [['é', 'b!'], ['é', 'b!'], ['é', 'b!']], 2)),
        ('non-ascii rest', 'x€b!', (['x€b!'], True, ['x€b!'], 1, '#', ['x€b!', 'x€b!!', 'x€b!'], [['x€b!'], ['x€b!'], ['x€b!']], 2)),
        ('non-ascii rest', '€€b\n€', (['€', '€b'], True, ['€', '€b', '€'], 3, '#\n#', ['€', '€b', '€', '€b', '€', '€b'], [['€', '€b'], ['€', '€b'], ['€', '€b']], 2)),
        ('non-ascii word', 'éb!', ('error: Expected match', False, ['b'], 1, 'é#!', [], [[], [], []], 0)),
        ('non-ascii word', 'x€b!', (['x'], True, ['x', 'b'], 2, '#€#!', ['x', 'x', 'x'], [['x'], ['x'], ['x']], 2)),
        ('non-ascii word', '€€b', ('error: Expected match', False, ['b'], 1, '€€#', [], [[], [], []], 0)),
        ('choice members', 'abc', (['a', 'b'], True, ['a', 'b'], 1, '#c', ['a', 'b', 'a', 'b', 'a', 'b'], [['a', 'b'], ['a', 'b'], ['a', 'b']], 2)),
        ('choice members', 'ac', (['a', 'c'], True, ['a', 'c'], 1, '#', ['a', 'c', 'a', 'c', 'a', 'c'], [['a', 'c'], ['a', 'c'], ['a', 'c']], 2)),
        ('choice members', 'xab', ('error: Expected match', False, ['a', 'b'], 1, 'x#', [], [[], [], []], 0)),
        ('skip member', '[x]', (['[', 'x', ']'], True, ['[', 'x', ']'], 1, '#', ['[', 'x', ']', '[', 'x', ']', '[', 'x', ']'], [['[', 'x', ']'], ['[', 'x', ']'], ['[', 'x', ']']], 2)),
        ('skip member', '[]', (['[', ']'], True, ['[', ']'], 1, '#', ['[', ']', '[', ']', '[', ']'], [['[', ']'], ['[', ']'], ['[', ']']], 2)),
        ('skip member', 'a[bc]d[', ('error: Expected match', False, ['[', 'bc', ']'], 1, 'a#d[', [], [[], [], []], 0)),
        ('skip member', '[', ('error: Expected match', False, [], 0, '[', [], [[], [], []], 0)),

    ],
)
def test_operations_table(name, text, expected):
    e = SEQUENCES[name]()
    try:
        parsed = e.parse_string(text)
    except ValueError as x:
        parsed = "error: " + str(x)
    other = "".join(list(text))
    flat = e.parse_batch([text, text + "!", other])
    got = (parsed, e.matches(text), e.search_string(text), e.search_string_count(text), e.transform_string(text, "#"),
           flat, e.parse_batch([text] * 3), e.parse_batch_count([text, text + "!"]))
    assert got == expected
    # Equal texts of one call are one str, whichever input they came from.
    for texts in (flat, e.search_string(text + text)):
        first = {}
        assert all(first.setdefault(s, s) is s for s in texts)


@pytest.mark.parametrize(
    "levels, expected",
    [
        (2999, (["a", "b"], True, ["a", "b"], 1, "#", ["a", "b", "a", "b"], 2)),
        # The members are tried at the caller's depth; transform_string goes
        # through the sequence's own level, one more.
        (3000, (["a", "b"], True, ["a", "b"], 1, "ab", ["a", "b", "a", "b"], 2)),
        (3001, ("error: recursion limit exceeded (grammar nested deeper than 3000 levels)", False, [], 0, "ab", [], 0)),
    ],
)
def test_depth_bound_of_the_members(levels, expected):
    e = _nested_groups(levels) + Literal("b")
    try:
        parsed = e.parse_string("ab")
    except ValueError as x:
        parsed = "error: " + str(x)
    ab_text = "".join(["a", "b"])
    got = (parsed, e.matches("ab"), e.search_string("ab"), e.search_string_count("ab"), e.transform_string("ab", "#"),
           e.parse_batch(["ab", "x", ab_text]), e.parse_batch_count(["ab", "ab"]))
    assert got == expected
