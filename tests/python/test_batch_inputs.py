"""parse_batch and parse_batch_count over an inputs list that changes while the
call runs: making result lists can start a garbage collection, whose
callbacks and finalizers may clear, shrink, grow or refill the caller's list.
The result is the one for the list as it stood when the call began, and no
item that the call reads is freed under it."""

import gc
import subprocess
import sys
import textwrap

import pytest

import quillgramx as q


def build(name):
    """Every class, each grammar matching some of the inputs below."""
    f = q.Forward()
    f <<= q.Literal("ab") + q.Optional(q.Word(q.nums()))
    return {
        "Literal": lambda: q.Literal("ab"),
        "Keyword": lambda: q.Keyword("ab"),
        "CaselessLiteral": lambda: q.CaselessLiteral("AB"),
        "CaselessKeyword": lambda: q.CaselessKeyword("AB"),
        "Char": lambda: q.Char("a"),
        "Word": lambda: q.Word("ab", "b0123456789é"),
        "Regex": lambda: q.Regex(r"ab\d*"),
        "QuotedString": lambda: q.QuotedString("a"),
        "Empty": q.Empty,
        "NoMatch": q.NoMatch,
        "rest_of_line": q.rest_of_line,
        "LineStart": q.LineStart,
        "LineEnd": q.LineEnd,
        "StringStart": q.StringStart,
        "StringEnd": q.StringEnd,
        "And": lambda: q.Literal("ab") + q.Word(q.nums()),
        "MatchFirst": lambda: q.MatchFirst([q.Literal("zz"), q.Literal("ab")]),
        "Optional": lambda: q.Optional(q.Literal("ab")),
        "OneOrMore": lambda: q.OneOrMore(q.Char("ab")),
        "ZeroOrMore": lambda: q.ZeroOrMore(q.Char("ab")),
        "Group": lambda: q.Group(q.Literal("ab")),
        "Suppress": lambda: q.Suppress(q.Literal("ab")),
        "Combine": lambda: q.Combine(q.Literal("ab") + q.Word(q.nums())),
        "Exactly": lambda: q.Exactly(q.Char("ab"), 2),
        "SkipTo": lambda: q.SkipTo(q.Char("0123456789")),
        "Forward": lambda: f,
    }[name]()


CLASSES = ["Literal", "Keyword", "CaselessLiteral", "CaselessKeyword", "Char", "Word", "Regex", "QuotedString",
           "Empty", "NoMatch", "rest_of_line", "LineStart", "LineEnd", "StringStart", "StringEnd", "And",
           "MatchFirst", "Optional", "OneOrMore", "ZeroOrMore", "Group", "Suppress", "Combine", "Exactly",
           "SkipTo", "Forward"]

N = 3000


def fresh_inputs(shape):
    """Strings that only the list holds (so a change to the list frees them),
    with a UTF-8 form of their own (non-ASCII), in one of the reuse shapes."""
    if shape == "distinct":
        return ["ab%dé" % i if i % 3 else "x%dé" % i for i in range(N)]
    if shape == "neighbours":
        out = []
        for i in range(N // 2):
            s = "ab%dé" % i
            out += [s, s]
        return out
    if shape == "period":
        block = ["ab%dé" % i if i % 2 else "x%dé" % i for i in range(50)]
        return block * (N // 50)
    if shape == "one object":
        return ["ab7é" + "0" * 20] * N
    raise AssertionError(shape)


def change(items, how):
    if how == "clear":
        items.clear()
    elif how == "shrink":
        del items[1:]
    elif how == "grow":
        items.extend("grown%dé" % i for i in range(4 * N))
    elif how == "refill":
        items[:] = ["zz%dé" % i for i in range(len(items))]
    else:
        raise AssertionError(how)


@pytest.fixture
def collections_often():
    """A young-generation collection at every second container allocation;
    older generations effectively never, so that each collection stays cheap."""
    old = gc.get_threshold()
    gc.set_threshold(1, 1000000, 1000000)
    gc.collect()
    yield
    gc.set_threshold(*old)


def run_with_hook(element, op, items, how):
    """Runs `op` while the collection started by the first container it makes
    changes `items`."""
    state = [False, False]  # armed, fired

    def hook(phase, info):
        if phase == "start" and state[0] and not state[1]:
            state[1] = True
            change(items, how)

    call = getattr(element, op)  # made first: the bound method is a container too
    gc.callbacks.append(hook)
    try:
        gc.collect()
        pad = []  # noqa: F841  one container counted: the next one starts a collection
        state[0] = True
        return call(items)
    finally:
        gc.callbacks.remove(hook)


@pytest.mark.parametrize("how", ["clear", "shrink", "grow", "refill"])
@pytest.mark.parametrize("shape", ["distinct", "neighbours", "period", "one object"])
@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("op", ["parse_batch", "parse_batch_count"])
def test_list_changed_by_a_collection_during_the_call(collections_often, name, op, shape, how):
    element = build(name)
    items = fresh_inputs(shape)
    expected = getattr(element, op)(list(items))
    assert getattr(element, op)(fresh_inputs(shape)) == expected  # the inputs are deterministic
    got = run_with_hook(element, op, items, how)
    assert got == expected


class Reviver:
    """A finalizer that refills the list with other strings when it runs."""

    def __init__(self, items):
        self.items = items
        self.cycle = self

    def __del__(self):
        self.items[:] = ["zz%dé" % i for i in range(len(self.items))]


@pytest.mark.parametrize("name", CLASSES)
def test_list_refilled_by_a_finalizer_during_the_call(collections_often, name):
    element = build(name)
    items = fresh_inputs("distinct")
    expected = element.parse_batch(list(items))
    call = element.parse_batch
    Reviver(items)  # garbage in a cycle: its finalizer runs at the next collection
    assert call(items) == expected


def test_items_of_the_snapshot_are_released_once(collections_often):
    """Items that the caller dropped meanwhile are freed when the call ends,
    not before (their weak references die afterwards) and not never."""
    import weakref

    class S(str):
        pass

    items = [S("ab%d" % i) for i in range(N)]
    refs = [weakref.ref(s) for s in items]
    g = q.Group(q.Literal("ab"))
    probe = S("ab1")
    before = sys.getrefcount(probe)
    got = run_with_hook(g, "parse_batch", items, "clear")
    assert got == [["ab"]] * N
    assert all(r() is None for r in refs)
    kept = [probe] * 3 + [S("x")] + [probe]
    g.parse_batch(kept)
    del kept
    after = sys.getrefcount(probe)
    assert after == before


def test_list_cleared_by_a_finalizer_under_default_thresholds():
    """The list cleared by a finalizer under the default thresholds, the way
    it was first reported; it used to end in a segmentation fault."""
    script = textwrap.dedent('''
        import quillgramx as q
        for make in (lambda: q.Group(q.Literal("ab")), lambda: q.Suppress(q.Literal("ab")),
                     lambda: q.Literal("ab"), lambda: q.Word("ab", "ab0123456789"),
                     lambda: q.Regex("ab[0-9]+"), lambda: q.Literal("ab") + q.Word("0123456789")):
            g = make()
            items = ["ab%d" % i for i in range(100000)]
            expected = g.parse_batch(list(items))
            class Bomb:
                def __del__(self):
                    items.clear()
            b = Bomb(); b.cycle = b; del b
            assert g.parse_batch(items) == expected
        print("ok")
    ''')
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stdout + proc.stderr


def test_result_list_is_hidden_from_collector_callbacks_while_filled(collections_often):
    """A callback walking every tracked object never meets a half-filled
    result: every list it can see holds only valid items."""
    seen = []

    def hook(phase, info):
        if phase == "start":
            for o in gc.get_objects():
                if type(o) is list and len(o) == N:
                    seen.append(len([x for x in o]))  # would read a NULL slot of a half-filled list

    items = fresh_inputs("distinct")
    g = q.Group(q.Literal("ab"))
    gc.callbacks.append(hook)
    try:
        got = g.parse_batch(items)
    finally:
        gc.callbacks.remove(hook)
    assert len(got) == N
    assert all(n == N for n in seen)
