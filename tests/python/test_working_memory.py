"""The memory a search uses beside its result. A search listing a million
distinct texts keeps one sharing map entry per text for the whole call; each
case runs in a fresh interpreter, which reports its peak resident size."""

import os
import subprocess
import sys
import textwrap

import pytest

import quillgramx  # noqa: F401  (the subprocess imports it from the same path)

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# 1,100,000 distinct texts: just past a doubling of a map filled to one half
# (the map once held 24-byte slots, and its old table beside the new one
# while it doubled: about 1.8 times the result), and not yet at one for a
# map filled to three quarters.
# What each case's interpreter measures with: its resident size, and its own
# peak (getrusage would count the parent's size at the fork).
PRELUDE = textwrap.dedent("""
    import os, sys
    import quillgramx as q
    n, what = int(sys.argv[1]), sys.argv[2]
    page = os.sysconf("SC_PAGE_SIZE")
    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page
    def peak_resident():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) * 1024
""")

CODE = PRELUDE + textwrap.dedent("""
    # Built in pieces, so that making the text peaks far below the search.
    text = "".join("".join("%07x " % i for i in range(j, min(j + 20000, n))) for j in range(0, n, 20000))
    hexw = q.Word("0123456789abcdef")
    e = {"Word": hexw, "Regex": q.Regex("[0-9a-f]+"), "Group": q.Group(hexw),
         "MatchFirst": q.MatchFirst([q.Literal("#"), hexw])}[what]
    before = resident()
    r = e.search_string(text)
    held = resident()
    peak = peak_resident()
    assert len(r) == n and r[12345] == "%07x" % 12345 and r[-1] == "%07x" % (n - 1)
    print(held - before, peak - held)
""")


def measured(code, n, what):
    """The case run in a fresh interpreter: its result's size and the memory
    it used beside it, in bytes."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", code, str(n), what], capture_output=True, text=True,
                       timeout=120, env=env)
    assert r.returncode == 0, r.stderr[-4000:]
    result, working = map(int, r.stdout.split())
    return result, working


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's own memory hides the search's")
@pytest.mark.parametrize("what", ["Word", "Regex", "Group", "MatchFirst"])
def test_search_of_many_distinct_texts_works_within_its_result(what):
    result, working = measured(CODE, 1100000, what)
    # The map's table is about a third of the result here (a list entry and
    # a str of seven characters per text); the general scans add their span
    # list (8 bytes per text).
    assert working < 0.75 * result, (result, working)


# A repetition's tokens are gathered before its list is made: the gathering
# once took 32 bytes a token and its copy beside it (three times the list).
PARSE_CODE = PRELUDE + textwrap.dedent("""
    if what == "Literal":
        g, text, token = q.OneOrMore(q.Literal("a")), "a" * n, "a"
    else:
        g, text, token = q.OneOrMore(q.Word(q.nums()) + q.Suppress(q.Literal(" "))), "12 " * n, "12"
    before = resident()
    r = g.parse_string(text)
    held = resident()
    peak = peak_resident()
    assert len(r) == n and r[0] == token and r[-1] == token
    print(held - before, peak - held)
""")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's own memory hides the parse's")
@pytest.mark.parametrize("what", ["Literal", "Word"])
def test_a_long_repetition_parses_within_its_result(what):
    result, working = measured(PARSE_CODE, 2000000, what)
    # Within the list's own storage (a pointer a token), whatever its strs take.
    assert working < 1.5 * 8 * 2000000, (result, working)
