import os
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillgramx as q
from leakcheck import assert_no_leaks

LETTERS = q.alphas()


def word_re(init, body):
    """The equivalent pattern of the word scan, for ASCII sets."""
    cls = lambda chars: "[" + "".join(re.escape(c) for c in chars) + "]"
    return re.compile(cls(init) + (cls(body) + "*" if body else ""))


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "Word.__new__() missing 1 required positional argument: 'init_chars'"),
        (("a", "b", "c"), {}, "Word.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (("a",), {"init_chars": "b"}, "Word.__new__() got multiple values for argument 'init_chars'"),
        (("a",), {"body": "b"}, "Word.__new__() got an unexpected keyword argument 'body'"),
        ((1,), {}, "argument 'init_chars': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'init_chars': 'NoneType' object cannot be converted to 'PyString'"),
        (("a", 1), {}, "argument 'body_chars': 'int' object cannot be converted to 'PyString'"),
        ((b"a",), {}, "argument 'init_chars': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_errors(args, kwargs, text):
    with pytest.raises(TypeError) as e:
        q.Word(*args, **kwargs)
    assert str(e.value) == text


def test_constructor_surrogate_is_raised_unchanged():
    with pytest.raises(UnicodeEncodeError):
        q.Word("a\ud800")
    with pytest.raises(UnicodeEncodeError):
        q.Word("a", "\ud800")


def test_constructor_accepts_keywords_none_and_str_subclass():
    class S(str):
        pass

    assert q.Word(init_chars=S("ab"), body_chars=None).search_string("abba b") == ["abba", "b"]
    assert q.Word("a", body_chars=S("b")).search_string("abba") == ["abb", "a"]


def test_class_and_method_docs():
    assert q.Word.__text_signature__ == "(init_chars, body_chars=None)"
    assert q.Word.__module__ == "builtins"
    docs = {
        "parse_string": ("($self, s)", "Fast-path word parse — returns the list directly, without allocating an intermediate text"),
        "matches": ("($self, s)", "Zero-allocation match check via try_match_at"),
        "search_string": (
            "($self, s)",
            "Search string — text cycle detection + memcpy doubling fast path,\n"
            "fallback to single-pass scan + u8 index dedup + bulk INCREF",
        ),
        "search_string_count": ("($self, s)", "Count word matches in large text — cycle detection + branchless scan"),
        "transform_string": (
            "($self, s, replacement)",
            "Specialized transform: uses 256-byte lookup tables for direct byte scanning.",
        ),
        "parse_batch": ("($self, inputs)", "Cyclic detection + hash-based cache fallback + bulk INCREF"),
        "parse_batch_count": ("($self, inputs)", "Count word matches in batch — uniform + cycle + hash cache"),
    }
    for name, (sig, desc) in docs.items():
        method = getattr(q.Word, name)
        assert method.__text_signature__ == sig
        assert method.__doc__ == desc


# ---------------------------------------------------------------------------
# The operations


def test_letters_on_hello_world():
    w = q.Word(LETTERS)
    assert w.parse_string("hello world") == ["hello"]
    assert w.search_string("hello world") == ["hello", "world"]
    assert w.search_string_count("hello world") == 2
    assert w.transform_string("hello world", "X") == "X X"
    assert w.matches("hello") is True
    assert w.matches(" hello") is False
    assert w.matches("") is False


@pytest.mark.parametrize("text", ["", "1a", " a"])
def test_parse_string_without_a_word(text):
    with pytest.raises(ValueError) as e:
        q.Word(LETTERS).parse_string(text)
    assert str(e.value) == "Expected word"


def test_parse_string_makes_a_new_str_even_for_the_whole_text():
    s = "".join(["ab", "c"])
    r = q.Word(LETTERS).parse_string(s)
    assert r == ["abc"] and r[0] is not s


@pytest.mark.parametrize(
    "init, body, text, words",
    [
        ("ab", "b", "ab", ["ab"]),
        ("ab", "b", "ba", ["b", "a"]),
        ("ab", "", "aab", ["a", "a", "b"]),
        ("ab", None, "a1b2ba", ["a", "b", "ba"]),
        (LETTERS, None, "ab ab xyz", ["ab", "ab", "xyz"]),
        (LETTERS, None, "ab cd ab cd ", ["ab", "cd", "ab", "cd"]),
        ("abcdefgh12", None, "abcdefgh1 abcdefgh2 " * 3, ["abcdefgh1", "abcdefgh2"] * 3),
        (q.nums(), None, "é1é22é", ["1", "22"]),
        (LETTERS, None, "", []),
        (LETTERS, None, "   ", []),
    ],
)
def test_scan_operations_agree(init, body, text, words):
    w = q.Word(init, body)
    assert w.search_string(text) == words
    assert w.search_string_count(text) == len(words)
    pattern = word_re(init, body if body is not None else init)
    expected = pattern.sub("<>", text)
    assert w.transform_string(text, "<>") == expected


def test_equal_words_share_one_str():
    r = q.Word(LETTERS).search_string("ab cd ab cd ab")
    assert r[0] is r[2] is r[4]
    assert r[1] is r[3]
    assert r[0] is not r[1]


def test_empty_sets_never_match():
    w = q.Word("日本")
    assert w.search_string("日本 日本") == []
    assert w.search_string_count("日本") == 0
    assert w.matches("日本") is False
    assert w.parse_batch(["日本"]) == []


def test_latin1_member_is_recorded_by_code_point():
    # 'é' records bit 0xE9; the byte test never sees that byte in UTF-8 text.
    w = q.Word("é")
    assert w.search_string("é") == []
    assert w.matches("é") is False


def test_transform_string_inserts_the_replacement_literally():
    w = q.Word(LETTERS)
    assert w.transform_string("ab, cd!", r"\1$0") == r"\1$0, \1$0!"
    assert w.transform_string("", "X") == ""
    assert w.transform_string("12 34", "X") == "12 34"
    assert w.transform_string("é ab é", "日") == "é 日 é"


@settings(max_examples=300, deadline=None)
@given(
    text=st.text(alphabet="ab1 _\né日", max_size=60),
    init=st.sampled_from(["a", "ab", "a1", "_ b"]),
    body=st.sampled_from([None, "", "b", "ab1", "1_"]),
)
def test_scan_equals_the_equivalent_pattern(text, init, body):
    pattern = word_re(init, init if body is None else body)
    w = q.Word(init, body)
    assert w.search_string(text) == pattern.findall(text)
    assert w.search_string_count(text) == len(pattern.findall(text))
    assert w.transform_string(text, "#") == pattern.sub("#", text)


# ---------------------------------------------------------------------------
# Repeating texts


@pytest.mark.parametrize(
    "block, reps, tail",
    [
        ("ab cd ", 50, ""),
        ("ab cd ", 50, "ab c"),
        ("abc", 40, "ab"),          # one word crosses every block boundary
        ("a b", 40, ""),            # ends inside a word that the next block continues
        ("xy, ", 300, "x"),
        ("1 ab 2", 100, " 1"),
        (" a", 2, ""),
        ("w%d " % 0 + " ".join("w%d" % i for i in range(1, 40)) + " ", 5, "w1"),  # 40 distinct words
    ],
)
def test_repeating_texts(block, reps, tail):
    text = block * reps + tail
    w = q.Word(LETTERS + "0123456789")
    expected = re.findall(r"[A-Za-z0-9]+", text)
    assert w.search_string(text) == expected
    assert w.search_string_count(text) == len(expected)
    assert w.transform_string(text, "_") == re.sub(r"[A-Za-z0-9]+", "_", text)


def test_repeating_text_shares_equal_words():
    r = q.Word(LETTERS).search_string("ab cd " * 100 + "ab")
    assert len(r) == 201
    assert all(x is r[0] for x in r[::2])
    assert all(x is r[1] for x in r[1::2])


def test_many_distinct_words_in_a_repeating_block_share_too():
    block = " ".join("w" + chr(97 + i // 26) + chr(97 + i % 26) for i in range(60)) + " "
    r = q.Word(LETTERS).search_string(block * 7 + "waa")
    assert len(r) == 421
    assert r[0] is r[60] is r[420]
    assert r[59] is r[119]


def test_words_of_the_same_eight_first_bytes_stay_apart():
    r = q.Word(LETTERS + "12").search_string("abcdefgh1 abcdefgh2 " * 20)
    assert r[:2] == ["abcdefgh1", "abcdefgh2"] and r[0] is r[2] and r[1] is r[3]


# ---------------------------------------------------------------------------
# Members from U+0080 to U+00FF, whose byte test can meet part of a character


def reference_word_end(init, body, t, p):
    """The end of the word at byte p of `t` by the one reading of every
    operation, or None: bytes against the sets by value, no word beginning
    inside a character, a run that would end inside one ending before it."""
    init_set = {ord(c) for c in init if ord(c) <= 255}
    body_set = init_set if body is None else {ord(c) for c in body if ord(c) <= 255}
    inside = lambda i: i < len(t) and 0x80 <= t[i] < 0xC0
    if p >= len(t) or t[p] not in init_set or inside(p):
        return None
    e = p + 1
    while e < len(t) and t[e] in body_set:
        e += 1
    while e > p and inside(e):
        e -= 1
    return e if e > p else None


def reference_words(init, body, text):
    """The words of the scan: the counting scan over reference_word_end."""
    t = text.encode()
    out, p = [], 0
    while p < len(t):
        e = reference_word_end(init, body, t, p)
        if e is None:
            p += 1
        else:
            out.append(t[p:e].decode())
            p = e
    return out


HIGH_WORDS = [
    # U+00B0 records bit 0xB0, the continuation byte of '°' (C2 B0) itself.
    ("a°", None),
    # U+00C3 and U+00C4 record the lead bytes of 'é' (C3 A9) and 'ā' (C4 81).
    ("Ã", None),
    ("aÃ", "a\xa9"),
    (LETTERS + "Ä", None),
    ("a", "é"),
    ("aé", None),
    (LETTERS, "a\xa9"),
    ("\xa9", "Ã\xa9"),
]
HIGH_TEXTS = ["a°", "°a", "éÃ", "aé aéa", "ab a©", "aé,", "aaé", "Mahārāja", "é" * 5, "x" + "é" * 5, "日本a", ""]


@pytest.mark.parametrize(
    "init, body, text, words",
    [
        ("a°", None, "a°", ["a"]),
        # The word after the cut character is found.
        ("a°", None, "°a", ["a"]),
        ("Ã", None, "éÃ", []),
        # Byte values that happen to form whole characters stand as words.
        ("aÃ", "a\xa9", "aé aéa", ["a", "é", "a", "éa"]),
        (LETTERS, "a\xa9", "ab a©", ["a", "b", "a"]),
        # A run over the lead byte of 'ā' ends before that character.
        (LETTERS + "Ä", None, "Mahārāja", ["Mah", "r", "ja"]),
        ("a", "é", "aé", ["a"]),
    ],
)
def test_words_never_cut_a_character(init, body, text, words):
    w = q.Word(init, body)
    assert reference_words(init, body, text) == words
    assert w.search_string(text) == words
    assert w.search_string_count(text) == len(words)
    assert w.transform_string(text, "_").count("_") == len(words)


@pytest.mark.parametrize("init, body", HIGH_WORDS)
def test_every_operation_reads_high_members_alike(init, body):
    # One reading for the class's own paths, the kind's parse_at and
    # try_match_at (through composites) and the Group row batch.
    w = q.Word(init, body)
    group, row = q.Group(w), q.Group(w + q.Suppress(q.Literal(",")))
    for text in HIGH_TEXTS:
        words = reference_words(init, body, text)
        e = reference_word_end(init, body, text.encode(), 0)
        first = None if e is None else text.encode()[:e].decode()
        at_start = [] if first is None else [first]
        assert w.search_string(text) == words, text
        assert w.search_string_count(text) == len(words), text
        assert group.search_string(text) == words, text
        assert (w + q.Empty()).search_string(text) == words, text
        assert w.matches(text) is bool(at_start) and group.matches(text) is bool(at_start), text
        assert w.parse_batch([text]) == at_start and w.parse_batch_count([text]) == len(at_start), text
        assert group.parse_batch([text]) == [at_start] and group.parse_batch_count([text]) == len(at_start), text
        if at_start:
            assert w.parse_string(text) == at_start and group.parse_string(text) == at_start
        else:
            with pytest.raises(ValueError):
                w.parse_string(text)
            with pytest.raises(ValueError):
                group.parse_string(text)
        # The row batch and its count agree with the sequence's own test.
        item = text + ","
        row_ok = bool(at_start) and first == text
        assert row.parse_batch([item, "x"]) == [at_start if row_ok else [], []], text
        assert row.parse_batch_count([item]) == int(row_ok) == int(row.matches(item)), text


def test_a_body_member_beyond_ascii_reads_alike_through_a_row():
    # 'é' is two bytes, neither of them U+00E9: no path takes it into the word.
    g = q.Group(q.Word("aé") + q.Suppress(q.Literal(",")))
    assert g.parse_batch(["aé,", "a,"]) == [[], ["a"]]
    assert g.parse_batch_count(["aé,", "a,"]) == 1
    assert g.matches("aé,") is False and g.matches("a,") is True


def test_cut_word_at_the_start():
    w = q.Word("Ã")
    with pytest.raises(ValueError):
        w.parse_string("é")
    assert w.parse_batch(["é", "Ã"]) == []
    assert w.matches("é") is False
    assert w.parse_batch_count(["é", "Ã", "é"]) == 0


def test_high_member_scans_are_linear():
    # A run of a million members that would end inside a character, and a
    # text where a member byte begins a long run inside every character:
    # trying each position again, or running each run before testing where
    # it begins, would cost 10**12 steps.
    code = textwrap.dedent("""
        import quillgramx as q
        n = 1_000_000
        w = q.Word(q.alphas() + "\u00c4")
        text = "a" * n + "\u0101"
        for e in (w, q.Group(w), w + q.Empty()):
            assert e.search_string(text) == ["a" * n] and e.search_string_count(text) == 1, e
        # Zero-width matches at the last two bytes count too.
        assert q.Optional(w).search_string(text) == ["a" * n]
        assert q.Optional(w).search_string_count(text) == 3
        v = q.Word("\u00a9", "\u00c3\u00a9")
        text = "\u00e9" * n
        for e in (v, q.Group(v), v + q.Empty()):
            assert e.search_string(text) == [] and e.search_string_count(text) == 0
        print("ok")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    assert r.stdout.strip() == "ok"


# ---------------------------------------------------------------------------
# Batches


def test_parse_batch_is_flat_and_hands_back_whole_inputs():
    items = ["ab", "12", "cd3"]
    r = q.Word(LETTERS).parse_batch(items)
    assert r == ["ab", "cd"]
    assert r[0] is items[0]
    assert r[1] is not items[2]
    assert q.Word(LETTERS).parse_batch_count(items) == 2
    assert q.Word(LETTERS).parse_batch([]) == []
    assert q.Word(LETTERS).parse_batch_count([]) == 0


@pytest.mark.parametrize(
    "inputs",
    [
        ["ab"] * 1000,
        ["1"] * 1000,
        ["ab", "1", "cd"] * 40,
        ["ab", "1", "cd"] * 40 + ["ab"],
        [str(i) + "x" if i % 3 else "x" + str(i) for i in range(500)],
        ["a%d" % (i % 200) for i in range(1000)],
    ],
)
def test_batches_equal_the_item_by_item_answer(inputs):
    w = q.Word(LETTERS)
    expected = [m.group() for m in map(re.compile("[A-Za-z]+").match, inputs) if m]
    assert w.parse_batch(inputs) == expected
    assert w.parse_batch_count(inputs) == sum(1 for s in inputs if s[:1].isalpha())


@pytest.mark.reuse
def test_parse_batch_reuses_repeated_objects():
    x, y = "".join(["a", "b1"]), "".join(["c", "d"])
    r = q.Word(LETTERS).parse_batch([x, y, "1"] * 50)
    assert len(r) == 100 and all(a is r[0] for a in r[::2]) and all(b is y for b in r[1::2])
    r = q.Word(LETTERS).parse_batch([x, x, y, x])
    assert r[0] is r[1] is r[3]


def test_parse_batch_item_errors():
    w = q.Word(LETTERS)
    with pytest.raises(TypeError):
        w.parse_batch(["ab", 1])
    with pytest.raises(TypeError):
        w.parse_batch_count(["ab", None, "cd"])
    with pytest.raises(UnicodeEncodeError):
        w.parse_batch(["\ud800"])
    with pytest.raises(TypeError) as e:
        w.parse_batch(("ab",))
    assert str(e.value) == "argument 'inputs': 'tuple' object cannot be converted to 'PyList'"


def test_list_subclass_and_keywords():
    class L(list):
        pass

    w = q.Word(LETTERS)
    assert w.parse_batch(inputs=L(["ab", "1"])) == ["ab"]
    assert w.transform_string(s="ab", replacement="x") == "x"


# ---------------------------------------------------------------------------
# References


def test_reference_counts_stay_unchanged():
    w = q.Word(LETTERS)
    text = "".join(["ab cd ", "ab"]) * 30
    items = ["".join(["ab"]), "".join(["1"]), "".join(["cd", "e"])] * 7 + ["x" + "y"]
    before = [sys.getrefcount(text), sys.getrefcount(w)] + [sys.getrefcount(i) for i in items]
    for _ in range(2000):
        w.search_string(text)
        w.search_string_count(text)
        w.transform_string(text, "z")
        w.parse_batch(items)
        w.parse_batch_count(items)
        w.parse_string(text)
    after = [sys.getrefcount(text), sys.getrefcount(w)] + [sys.getrefcount(i) for i in items]
    assert before == after
    # Measured outside the asserts, whose rewriting holds extra references.
    r = w.search_string("ab ab ab")
    first = r[0]
    held = sys.getrefcount(first) - 1
    assert held == 3 + 1
    whole = "".join(["a", "b"])
    r = w.parse_batch([whole] * 5)
    held = sys.getrefcount(whole) - 2
    assert held == 5


# ---------------------------------------------------------------------------
# Through composites, which take the kind's tokens and stored message


def test_composites_see_the_stored_message_and_the_byte_reading():
    with pytest.raises(ValueError) as e:
        q.Group(q.Word("abcdefghij")).parse_string("1")
    assert str(e.value) == "ParseException at position 0: Expected W:(abcdefgh...)"
    with pytest.raises(ValueError) as e:
        q.Group(q.Word("日本語")).parse_string("1")
    assert str(e.value) == "ParseException at position 0: Expected W:(日本...)"
    # The kind's parse_at compares bytes, as the class's own operations do.
    w = q.Word("a", "é")
    assert q.Group(w).parse_string("aé") == ["a"]
    assert w.parse_string("aé") == ["a"]
    assert (w + q.Literal("x")).search_string("ax ay") == ["a", "x"]


_W = q.Word(LETTERS, LETTERS + "1")
_TEXT = "".join(["ab cd1 ", "x"]) * 40
_REPEATING = "ab cd " * 40
_ITEMS = ["".join(["ab"]), "".join(["1x"]), "".join(["cd", "1e"])] * 3 + ["q"]


@pytest.mark.parametrize(
    "op, raises",
    [
        (lambda: _W.parse_string(_TEXT), None),
        (lambda: _W.parse_string("1"), ValueError),
        (lambda: _W.search_string(_TEXT), None),
        (lambda: _W.search_string(_REPEATING), None),
        (lambda: _W.search_string_count(_REPEATING), None),
        (lambda: _W.transform_string(_TEXT, "-"), None),
        (lambda: _W.parse_batch(_ITEMS), None),
        (lambda: _W.parse_batch(_ITEMS * 50), None),
        (lambda: _W.parse_batch(_ITEMS + [1]), TypeError),
        (lambda: _W.parse_batch_count(_ITEMS), None),
        (lambda: q.Word("ab", None), None),
        (lambda: q.Word("ab", 3), TypeError),
    ],
)
def test_no_leaks(op, raises):
    assert_no_leaks(op, _W, _TEXT, _REPEATING, *_ITEMS, raises=raises)
