"""Results that the input makes too large to build raise MemoryError, as
str.replace does, instead of ending the process; the process goes on. Each
case runs in a subprocess whose address space is capped a little above what
its inputs take, so that nothing really allocates tens of gigabytes."""

import os
import subprocess
import sys
import textwrap

import pytest

# AddressSanitizer reserves terabytes of address space for its shadow
# memory, so a capped address space cannot run under it.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="an address-space cap cannot run under AddressSanitizer")

PRELUDE = textwrap.dedent('''
    import resource
    import quillgramx as q
    from quillgramx import *

    def cap(extra):
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))

    def expect_memory_error(call):
        try:
            call()
        except MemoryError:
            return
        raise AssertionError("no MemoryError")
''')

MIB = 1 << 20

# name -> (setup making the inputs, the call, address space allowed beyond the inputs)
CASES = {
    # Results of 10**12 bytes: each replaced match grows by a million.
    "Group transform": ("s = 'a' * 10**6; r = 'b' * 10**6", "Group(Literal('a')).transform_string(s, r)", 512),
    "Literal transform": ("s = 'a' * 10**6; r = 'b' * 10**6", "Literal('a').transform_string(s, r)", 512),
    "Literal transform non-ASCII": ("s = 'é' * 10**6; r = 'b' * 10**6", "Literal('é').transform_string(s, r)", 512),
    "Keyword transform": ("s = 'a ' * 10**6; r = 'b' * 10**6", "Keyword('a').transform_string(s, r)", 512),
    "And transform": ("s = 'ab' * 10**6; r = 'c' * 10**6",
                      "(Literal('a') + Literal('b')).transform_string(s, r)", 512),
    "Word transform": ("s = 'a ' * 10**6; r = 'c' * 10**6", "Word('a').transform_string(s, r)", 512),
    "Char transform non-ASCII": ("s = 'é' * 10**6; r = 'c' * 10**6", "Char('é').transform_string(s, r)", 512),
    "Optional transform": ("s = 'a' * 10**6; r = 'c' * 10**6", "Optional(Literal('a')).transform_string(s, r)", 512),
    # Lists of 2 * 10**8 entries (1.6 GB of pointers) over a 200 MB text.
    "general search_string spans": ("s = 'a' * (2 * 10**8)", "Group(Char('a')).search_string(s)", 600),
    "Literal search_string": ("s = 'a' * (2 * 10**8)", "Literal('a').search_string(s)", 600),
    "Word search_string": ("s = 'ab' * 10**8", "Word('a', 'c').search_string(s)", 600),
    "Word search_string no period": ("s = 'ab' * 10**8 + 'abb'", "Word('a', 'c').search_string(s)", 600),
    "And search_string": ("s = 'ab' * 10**8", "(Literal('a') + Literal('b')).search_string(s)", 600),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_result_too_large_raises_memory_error(name):
    setup, call, extra_mib = CASES[name]
    script = PRELUDE + f"{setup}\ncap({extra_mib * MIB})\nexpect_memory_error(lambda: {call})\n"
    # The process goes on: a small call still works, and the big input can be dropped.
    script += "assert Literal('a').parse_string('a') == ['a']\ndel s\nprint('ok')\n"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stdout + proc.stderr[-3000:]


def test_and_batch_reserves_no_room_for_matches_it_has_not_found():
    """131072 members and 100000 inputs that all fail at the first member: the
    answer is an empty list, not a request for n × m indices (52 GB)."""
    script = PRELUDE + textwrap.dedent('''
        g = Literal('b') + Literal('b')
        for _ in range(16):
            g = g + g  # And's own + joins both member lists: 2 ** 17 members
        assert g.matches('b' * 131072) and not g.matches('b' * 131071)
        inputs = ['c%d' % i for i in range(100000)]
        cap(256 << 20)
        assert g.parse_batch(inputs) == []
        assert g.parse_batch_count(inputs) == 0
        print('ok')
    ''')
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stdout + proc.stderr[-3000:]
