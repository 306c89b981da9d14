"""The operation engines and their reuse rules, driven through the line,
position and constant classes."""
import pytest

import quillgramx as q


def test_parse_string_reports_the_failure_position_and_message():
    with pytest.raises(ValueError) as e:
        q.StringEnd().parse_string("abc")
    assert str(e.value) == "ParseException at position 0: Expected end of string"
    assert type(e.value) is ValueError


def test_search_string_shares_equal_texts():
    out = q.rest_of_line().search_string("ab\ncd\nab\n\nab")
    assert out == ["ab", "cd", "ab", "ab"]
    assert out[0] is out[2] is out[3]
    assert out[1] is not out[0]
    out = q.LineEnd().search_string("a\nb\n")
    assert out == ["\n", "\n"]


# Enough distinct texts that the interner's map outgrows the nearer caches,
# where its lookups are queued ahead: the list keeps the order and still
# shares every repeated text.
@pytest.mark.parametrize("element, sep", [
    (q.Regex(r"[0-9]+"), " "), (q.Word(q.nums()), " "), (q.rest_of_line(), "\n"),
    (q.Regex(r"[^\n]+"), "\n"),
])
def test_many_distinct_texts_keep_order_and_sharing(element, sep):
    words = [str(i * 7919 % 100_003) for i in range(90_000)]
    words += words[:5] + words[-5:]
    out = element.search_string(sep.join(words))
    assert out == words
    assert all(out[i] is out[90_000 + i] for i in range(5))
    assert all(out[90_000 - 5 + i] is out[90_005 + i] for i in range(5))


def test_parse_string_makes_new_strings_per_call():
    e = q.rest_of_line()
    a, b = e.parse_string("abc"), e.parse_string("abc")
    assert a == b == ["abc"]
    assert a is not b and a[0] is not b[0]


@pytest.mark.parametrize(
    "cls, text, replacement, out",
    [
        (q.Empty, "ab", "x", "ab"),
        (q.Empty, "", "x", ""),
        (q.LineStart, "a\nb", "x", "a\nb"),
        (q.StringStart, "ab", "x", "ab"),
        (q.LineEnd, "a\nb\n", "\\1", "a\\1b\\1"),
        (q.LineEnd, "\n\n", "", ""),
        (q.rest_of_line, "ab\n\ncd", "<\u20ac>", "<\u20ac>\n\n<\u20ac>"),
        (q.rest_of_line, "\u00e9\u00e9\nx", "$0", "$0\n$0"),
    ],
)
def test_transform_replaces_only_non_empty_matches_literally(cls, text, replacement, out):
    assert cls().transform_string(text, replacement) == out


def test_results_on_the_empty_text():
    for cls in (q.Empty, q.LineEnd, q.rest_of_line, q.StringEnd):
        e = cls()
        assert e.search_string("") == []
        assert e.transform_string("", "x") == ""
        assert e.search_string_count("") == 0


def test_counting_scan_counts_zero_width_matches_per_byte():
    assert q.Empty().search_string_count("ab") == 2
    assert q.Empty().search_string("ab") == []
    assert q.Empty().search_string_count("\u20ac") == 3
    # rest_of_line: each line and each newline (the scan steps past a zero-width match).
    assert q.rest_of_line().search_string_count("a\n\nb") == 4


def _distinct(n, prefix="s"):
    """n distinct strings: a third begin with a newline, a third hold one inside."""
    return [("\n" if i % 3 == 0 else "") + f"{prefix}{i}" + ("\nrest" if i % 3 == 1 else "") for i in range(n)]


@pytest.mark.parametrize(
    "pattern",
    [
        [0] * 5,
        [0, 1, 2] * 4,
        list(range(127)) * 2,
        list(range(128)) * 2,
        [0, 1, 2, 0, 1, 2, 0, 2, 1, 0, 1, 2],
        [0, 1, 2, 0, 1, 2, 0],
        [0, 0, 1, 1, 1, 0, 2],
        [i % 40 for i in range(80)] + list(range(40)),
    ],
    ids=["same", "period3", "period127", "block128", "middle", "not-multiple", "runs", "cache"],
)
def test_batch_results_are_per_item_whatever_the_reuse(pattern):
    objs = _distinct(max(pattern) + 1)
    inputs = [objs[i] for i in pattern]
    assert q.LineEnd().parse_batch(inputs) == [["\n"] if s.startswith("\n") else [] for s in inputs]
    assert q.LineEnd().parse_batch_count(inputs) == sum(1 for s in inputs if s.startswith("\n"))
    assert q.rest_of_line().parse_batch(inputs) == [[s.split("\n")[0]] for s in inputs]
    assert q.rest_of_line().parse_batch_count(inputs) == len(inputs)
    assert q.StringEnd().parse_batch_count(inputs) == 0
    assert q.Empty().parse_batch(inputs) == [[] for _ in inputs]


@pytest.mark.reuse
def test_same_object_shares_one_inner_list():
    s = "ab\ncd"
    out = q.rest_of_line().parse_batch([s] * 1000)
    assert len(out) == 1000
    assert all(x is out[0] for x in out)
    assert out[0] == ["ab"]
    one = q.rest_of_line().parse_batch([s])
    assert one == [["ab"]]


@pytest.mark.reuse
@pytest.mark.parametrize("k", [2, 3, 127])
def test_identity_period_shares_results_of_equal_positions(k):
    objs = _distinct(k)
    out = q.rest_of_line().parse_batch(objs * 3)
    assert len(out) == 3 * k
    for i, x in enumerate(out):
        assert x is out[i % k]
    assert out[0] is not out[1]


@pytest.mark.reuse
def test_no_period_beyond_127_items():
    objs = _distinct(128)
    out = q.Empty().parse_batch(objs * 2)
    assert len({id(x) for x in out}) == 256


@pytest.mark.reuse
@pytest.mark.parametrize(
    "pattern",
    [[0, 1, 2, 0, 1, 2, 0, 2, 1, 0, 1, 2], [0, 1, 2, 0, 1, 2, 0], [0, 0, 1, 1, 1, 0, 2]],
    ids=["middle-differs", "not-multiple", "runs"],
)
def test_without_a_period_only_neighbours_share(pattern):
    objs = _distinct(3)
    out = q.Empty().parse_batch([objs[i] for i in pattern])
    for i in range(len(pattern)):
        for j in range(i + 1, len(pattern)):
            run = all(pattern[m] == pattern[i] for m in range(i + 1, j + 1))
            assert (out[i] is out[j]) == run, (i, j)


def test_two_different_objects_get_two_lists():
    a, b = "a", "b" * 2
    out = q.Empty().parse_batch([a, b])
    assert out == [[], []]
    assert out[0] is not out[1]


def test_batch_count_over_many_distinct_objects():
    # More objects than the 31 entries of the count cache, repeated out of order.
    objs = [("\n" if i % 2 else "") + f"x{i}" for i in range(100)]
    inputs = objs + objs[::-1] + objs[::3]
    expected = sum(1 for s in inputs if s.startswith("\n"))
    assert q.LineEnd().parse_batch_count(inputs) == expected
    assert q.StringEnd().parse_batch_count(inputs + [""] * 3) == 3
    assert q.rest_of_line().parse_batch_count(inputs) == len(inputs)
    assert q.NoMatch().parse_batch_count(inputs) == 0


BATCH_OPS = ["parse_batch", "parse_batch_count"]
CLASSES = [q.Empty, q.NoMatch, q.LineStart, q.LineEnd, q.StringStart, q.StringEnd, q.rest_of_line]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("op", BATCH_OPS)
@pytest.mark.parametrize(
    "make",
    [
        lambda bad: [bad],
        lambda bad: [bad] * 5,
        lambda bad: ["a", bad] * 3,
        lambda bad: ["a", "b", bad, "c"],
        lambda bad: [f"s{i}" for i in range(40)] + [bad],
    ],
    ids=["one", "same", "period", "item-by-item", "cache"],
)
@pytest.mark.parametrize(
    "bad, error", [(7, TypeError), (None, TypeError), (b"x", TypeError), ("a\udc80", UnicodeEncodeError)],
    ids=["int", "none", "bytes", "surrogate"],
)
def test_unreadable_items_stop_the_batch(cls, op, make, bad, error):
    with pytest.raises(error):
        getattr(cls(), op)(make(bad))


def _assert_shared_exactly_when_equal(out):
    first = {}
    for x in out:
        assert first.setdefault(x, x) is x
    assert len({id(x) for x in out}) == len(set(out))


def test_search_string_shares_texts_of_every_length_and_many_distinct():
    # Texts of 1 to 40 bytes that differ only in one middle or end byte, plus
    # enough distinct ones that the per-call map doubles several times.
    words = []
    for n in range(1, 41):
        for c in "xyz":
            w = ["a"] * n
            w[n // 2] = c
            words.append("".join(w))
            w[-1] = c
            words.append("".join(w))
    words += ["w%dq" % i for i in range(3000)]
    text = " ".join(words * 3)
    for element in (q.Word(q.alphanums()), q.Regex(r"[^ ]+")):
        out = element.search_string(text)
        assert out == words * 3
        _assert_shared_exactly_when_equal(out)
    pair = q.Word(q.alphas()) + q.Word(q.nums() + "q")
    out = pair.search_string(text)
    assert out == [p for w in words[-3000:] * 3 for p in (w[0], w[1:])]
    _assert_shared_exactly_when_equal(out)
    wide = [w + "\u00e9" + w for w in words]
    out = q.Regex(r"[^ ]+").search_string(" ".join(wide * 2))
    assert out == wide * 2
    _assert_shared_exactly_when_equal(out)
    out = q.rest_of_line().search_string("\n".join(wide * 2))
    assert out == wide * 2
    _assert_shared_exactly_when_equal(out)



def test_batch_tokens_survive_a_collector_callback_that_drops_the_items():
    # Tokens are spans of each item's text until they become strs; a gc
    # callback that runs while a result list is made and replaces every item
    # of the inputs must not leave them pointing at freed text.
    import gc

    grammar = q.Group(q.Word(q.alphas()) + q.Suppress(q.Literal("=")) + q.Word(q.nums()))
    words = ["".join(("key", chr(97 + i % 26) * 40)) for i in range(200)]
    nums = ["".join((str(i % 10) * 40,)) for i in range(200)]
    inputs = ["".join((w, "=", n)) for w, n in zip(words, nums)]
    runs = []

    def drop_all(phase, info):
        if phase != "start":
            return
        gc_calls.append(phase)
        if len(gc_calls) == 4:  # a few items in, while a result list is made
            runs.append(phase)
            for i in range(len(inputs)):
                inputs[i] = "0"
            # Kept alive, so that they take the freed items' memory.
            junk.extend("".join(("y", "0" * 90)) for _ in range(400))

    gc_calls, junk = [], []
    old = gc.get_threshold()
    gc.collect()
    gc.callbacks.append(drop_all)
    gc.set_threshold(1)
    try:
        out = grammar.parse_batch(inputs)
    finally:
        gc.callbacks.remove(drop_all)
        gc.set_threshold(*old)
    assert runs, "the collector never ran during the batch"
    assert len(out) == len(words)
    # Items read before the callback parse; what the batch does with items
    # replaced under it is not this test's concern, only that no token holds
    # freed text.
    assert out[0] == [words[0], nums[0]]
    originals = set(zip(words, nums))
    assert all(o == [] or tuple(o) in originals for o in out)
