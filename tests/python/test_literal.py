import random
import sys

import pytest

import quillgramx as q


def leftmost_count(text, needle):
    """The counting scan over the Literal test, in Python (bytes positions)."""
    t, n = text.encode(), needle.encode()
    if not n:
        return len(t)
    return t.count(n)


# ---------------------------------------------------------------------------
# Construction and the class surface


def test_constructor_errors():
    with pytest.raises(TypeError) as e:
        q.Literal()
    assert str(e.value) == "Literal.__new__() missing 1 required positional argument: 's'"
    with pytest.raises(TypeError) as e:
        q.Literal(1)
    assert str(e.value) == "argument 's': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        q.Literal("a", "b")
    assert str(e.value) == "Literal.__new__() takes 1 positional arguments but 2 were given"
    assert q.Literal(s="ab").matches("abc")


def test_str_subclass_accepted():
    class S(str):
        pass

    lit = q.Literal(S("ab"))
    assert lit.parse_string(S("abc")) == ["ab"]
    assert type(lit.parse_string("ab")[0]) is str


DOCS = {
    "parse_string": "Returns the list directly with the cached string, without allocating any intermediate text",
    "matches": "Zero-allocation match check",
    "search_string": "Search string \u2014 cycle-aware count + PySequence_Repeat for optimal list creation",
    "search_string_count": "Count occurrences \u2014 cycle detection fast path + SIMD memchr fallback",
    "transform_string": "Replace all non-overlapping matches with replacement string.\n"
    "Uses SIMD-accelerated memchr::memmem for literal search.",
    "parse_batch": "Full raw FFI batch parse \u2014 uniform detection + bulk INCREF, last-ptr fallback",
    "parse_batch_count": "Full raw FFI count \u2014 uniform detection + last-ptr fallback",
}
SIGS = {"transform_string": "($self, s, replacement)", "parse_batch": "($self, inputs)",
        "parse_batch_count": "($self, inputs)"}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_method_docs(name):
    # The interpreter splits "name(sig)\n--\n\n" off into __text_signature__.
    method = getattr(q.Literal, name)
    assert method.__text_signature__ == SIGS.get(name, "($self, s)")
    assert method.__doc__ == DOCS[name]


def test_class_doc_and_module():
    assert q.Literal.__doc__ == ""
    assert q.Literal.__text_signature__ == "(s)"
    assert q.Literal.__module__ == "builtins"


# ---------------------------------------------------------------------------
# parse_string and matches


def test_parse_string_gives_the_cached_string():
    arg = "ab" + "c"[:0]
    lit = q.Literal(arg)
    first = lit.parse_string("abc")
    second = lit.parse_string("ab")
    assert first == ["ab"]
    assert first[0] is second[0]
    assert first[0] is not arg
    assert first is not second
    for arg in ("x", "\u00e9", "\u20ac"):  # the interpreter shares some one-character strings
        one = q.Literal(arg)
        token = one.parse_string(arg)[0]
        assert token == arg and token is not arg
        assert token is one.parse_string(arg + "y")[0]


@pytest.mark.parametrize("s, text", [("ab", "xab"), ("ab", ""), ("ab", "a"), ("a'b", "a"), ("\u00e9", "e")])
def test_parse_string_failure_message(s, text):
    with pytest.raises(ValueError) as e:
        q.Literal(s).parse_string(text)
    assert str(e.value) == f"Expected '{s}'"


@pytest.mark.parametrize(
    "s, text, expected",
    [("ab", "ab", True), ("ab", "a", False), ("ab", "abc", True), ("ab", "xab", False), ("ab", "", False),
     ("\u00e9", "\u00e9t\u00e9", True), ("a", "\u00e9", False), ("", "", True), ("", "xyz", True)],
)
def test_matches(s, text, expected):
    assert q.Literal(s).matches(text) is expected


# ---------------------------------------------------------------------------
# search_string and search_string_count


def test_search_string_repeats_one_token_list():
    lit = q.Literal("ab")
    cached = lit.parse_string("ab")[0]
    r = lit.search_string("abxab")
    assert r == [["ab"], ["ab"]]
    assert r[0] is r[1]
    assert r[0][0] is cached
    assert lit.search_string("xyz") == []
    assert lit.search_string("") == []


@pytest.mark.parametrize(
    "s, text, count",
    [("aa", "aaaaa", 2), ("aa", "aaaa", 2), ("ab", "ababcccccccc", 2), ("ab", "ab" * 500, 500),
     ("ab", "ab" * 500 + "a", 500), ("aa", ("acbcaa" * 5)[:29], 4), ("abcdef", "abc", 0), ("a", "", 0),
     ("abc abc", "abc " * 1000, 500), ("\u00e9", "\u00e9\u00e9x\u00e9", 3), ("", "abc", 3), ("", "\u00e9", 2)],
)
def test_search_string_count(s, text, count):
    lit = q.Literal(s)
    assert lit.search_string_count(text) == count
    assert leftmost_count(text, s) == count
    assert len(lit.search_string(text)) == (count if s else 0)


def random_texts(seed, n=300):
    rnd = random.Random(seed)
    for _ in range(n):
        block = "".join(rnd.choice("ab\u00e9 ") for _ in range(rnd.randint(1, 7)))
        text = (block * 300)[: rnd.randint(0, 400)]
        if text and rnd.random() < 0.3:
            i = rnd.randrange(len(text))
            text = text[:i] + "c" + text[i + 1:]
        needle = "".join(rnd.choice("ab\u00e9 ") for _ in range(rnd.randint(1, 9)))
        yield text, needle


def test_counts_equal_the_plain_scan_on_periodic_texts():
    for text, needle in random_texts(1):
        lit = q.Literal(needle)
        assert lit.search_string_count(text) == leftmost_count(text, needle), (text, needle)


# ---------------------------------------------------------------------------
# transform_string


@pytest.mark.parametrize(
    "s, text, replacement, expected",
    [("aa", "aaaaa", "b", "bba"), ("ab", "xabyab", "Z", "xZyZ"), ("ab", "xyz", "Z", "xyz"),
     ("ab", "abab", "", ""), ("ab", "ab", r"\1{}%s", r"\1{}%s"), ("\u00e9", "caf\u00e9 \u00e9t\u00e9", "e", "cafe ete"),
     ("e", "tee", "\u00e9\U0001F600", "t\u00e9\U0001F600\u00e9\U0001F600"), ("ab", "", "x", ""),
     ("", "abc", "x", "abc"), ("", "", "x", "")],
)
def test_transform_string(s, text, replacement, expected):
    assert q.Literal(s).transform_string(text, replacement) == expected


def test_transform_string_gives_a_new_string():
    text = "no match here"
    r = q.Literal("zz").transform_string(text, "y")
    assert r == text and r is not text
    assert q.Literal("").transform_string(text, "y") is not text


def test_transform_string_equals_str_replace():
    for text, needle in random_texts(2):
        for repl in ("", "X", "\u00e9\u00e9", "long replacement"):
            assert q.Literal(needle).transform_string(text, repl) == text.replace(needle, repl), (text, needle)


def test_transform_string_argument_errors():
    with pytest.raises(TypeError) as e:
        q.Literal("a").transform_string("a", 1)
    assert str(e.value) == "argument 'replacement': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        q.Literal("a").transform_string(1, 1)
    assert str(e.value) == "argument 's': 'int' object cannot be converted to 'PyString'"
    assert q.Literal("a").transform_string(replacement="b", s="xa") == "xb"


# ---------------------------------------------------------------------------
# parse_batch and parse_batch_count


def test_parse_batch_shares_one_success_and_one_failure_list():
    lit = q.Literal("ab")
    cached = lit.parse_string("ab")[0]
    items = ["ab", "x", "abc", "y"]
    r = lit.parse_batch(items)
    assert r == [["ab"], [], ["ab"], []]
    assert r[0] is r[2] and r[1] is r[3]
    assert r[0][0] is cached
    again = lit.parse_batch(items)
    assert again[0] is not r[0]  # new lists in each call


def test_parse_batch_repeated_object():
    lit = q.Literal("ab")
    r = lit.parse_batch(["abz"] * 1000)
    assert len(r) == 1000 and r[0] == ["ab"]
    assert all(x is r[0] for x in r)
    assert lit.parse_batch(["zz"] * 3) == [[], [], []]
    assert lit.parse_batch([]) == []


def batch_inputs(seed):
    rnd = random.Random(seed)
    pool = ["ab", "abc", "a", "", "xab", "\u00e9ab", "ab\u00e9"] + [f"ab{i}" for i in range(5)]
    objs = [rnd.choice(pool) + "" for _ in range(40)]
    cases = [objs, objs[:3] * 5, [objs[0]] * 7, [objs[0], objs[0], objs[1], objs[1], objs[0]], []]
    return cases


@pytest.mark.parametrize("s", ["ab", "", "\u00e9"])
def test_batch_operations_equal_item_by_item(s):
    lit = q.Literal(s)
    for items in batch_inputs(3):
        expected = [[s] if x.startswith(s) else [] for x in items]
        assert lit.parse_batch(items) == expected
        assert lit.parse_batch_count(items) == sum(x.startswith(s) for x in items)


@pytest.mark.parametrize("items, count", [(["ab", "abc", "b"], 2), ([], 0), (["ab"] * 5, 5), (["b"] * 5, 0)])
def test_parse_batch_count(items, count):
    assert q.Literal("ab").parse_batch_count(items) == count


@pytest.mark.parametrize("method", ["parse_batch", "parse_batch_count"])
def test_batch_errors(method):
    f = getattr(q.Literal("ab"), method)
    with pytest.raises(TypeError) as e:
        f(("ab",))
    assert str(e.value) == "argument 'inputs': 'tuple' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError):
        f(["ab", 1, "ab"])
    with pytest.raises(UnicodeEncodeError):
        f(["ab", "\ud800"])

    class L(list):
        pass

    assert f(L(["ab"])) in ([["ab"]], 1)


# ---------------------------------------------------------------------------
# Reference counts: results hold their own references, nothing leaks.


def test_reference_counts_unchanged():
    lit = q.Literal("ab")
    cached = lit.parse_string("ab")[0]
    text = "xx ab ab abab " * 3
    repl = "REPL" * 2
    items = [text, "ab" + "", text]
    before = (sys.getrefcount(cached), sys.getrefcount(text), sys.getrefcount(repl), sys.getrefcount(items))
    for _ in range(200):
        lit.parse_string(text[3:])
        lit.matches(text)
        lit.search_string(text)
        lit.search_string_count(text)
        lit.transform_string(text, repl)
        lit.parse_batch(items)
        lit.parse_batch_count(items)
        with pytest.raises(ValueError):
            lit.parse_string(text)
        with pytest.raises(TypeError):
            lit.parse_batch([text, 1])
    after = (sys.getrefcount(cached), sys.getrefcount(text), sys.getrefcount(repl), sys.getrefcount(items))
    assert before == after


def test_results_keep_the_cached_string_alive():
    lit = q.Literal("ab")
    r = lit.search_string("abab")
    b = lit.parse_batch(["ab"])
    del lit
    assert r == [["ab"], ["ab"]] and b == [["ab"]]


def test_transform_string_large_texts():
    # Results of several MiB take the path that writes straight into the new str.
    text = "the cat sat on the mat " * 500_000
    assert q.Literal("at").transform_string(text, "og!") == text.replace("at", "og!")
    wide = text + "\u00e9"
    assert q.Literal("at").transform_string(wide, "\u20ac") == wide.replace("at", "\u20ac")


# Transforms write their result once, in the narrowest kind that holds it:
# each case is compared with str.replace (equal strs of different kinds
# would compare unequal), over kept and replaced characters of every width.
TRANSFORM_WIDTHS = [
    ("ab", "xaby", "-"),
    ("ab", "é ab é", "-"),
    ("é", "aébé", "e"),          # the only wide characters are replaced: ASCII result
    ("é", "aébé", "€"),
    ("ab", "日ab本", "😀"),
    ("😀", "a😀b😀", ""),          # the widest characters all go
    ("😀", "日😀本", "é"),
    ("x", "ÿxÿ", "Ā"),
    ("ab", "ab" * 1000 + "é", "XYZ" * 7),
]


@pytest.mark.parametrize("needle,text,replacement", TRANSFORM_WIDTHS)
def test_transforms_write_every_width_of_text_and_replacement(needle, text, replacement):
    expected = text.replace(needle, replacement)
    for g in (q.Literal(needle), q.Literal(needle) + q.Empty(), q.MatchFirst([q.Literal(needle), q.Literal("\0")])):
        got = g.transform_string(text, replacement)
        assert got == expected
        assert got.isascii() == expected.isascii()


def test_a_char_transform_of_dense_matches_needs_no_memory_beyond_its_result():
    import os
    import subprocess
    import textwrap
    code = textwrap.dedent("""
        import resource
        import quillgramx as q
        t = "ab" * (10 << 20)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        r = q.Char("ab").transform_string(t, "X")
        assert r == "X" * len(t)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) >> 10)
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    # The result is 20 MiB; spans kept at 8 bytes per match once took 240 MiB more.
    assert int(r.stdout) < 64
