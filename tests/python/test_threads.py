"""Eight threads share one set of grammars and call all seven operations at
once, while another thread keeps re-setting a Forward's target between two
equivalent grammars: every result equals the single-threaded one, and nothing
crashes or deadlocks. The work runs in a subprocess with a time limit, so a
deadlock fails the test instead of hanging the suite."""

import os
import subprocess
import sys

import pytest

SCRIPT = r'''
import sys, threading
import quillgramx as q

ROUNDS = int(sys.argv[1])
sys.setswitchinterval(1e-5)  # switch threads between calls as often as possible

def have(*names):
    return all(hasattr(q, n) for n in names)

grammars = [q.Empty(), q.LineEnd(), q.rest_of_line(), q.StringEnd()]
if have("Literal"):
    grammars.append(q.Literal("ab"))
if have("Word"):
    grammars.append(q.Word("ab", "ab1"))
if have("Regex"):
    grammars.append(q.Regex("a+b?|[()]"))
if have("Keyword"):
    grammars.append(q.Keyword("ab"))

# A Forward-recursive grammar whose target flips between two equivalent forms.
flip = None
if have("Forward", "Literal", "Optional", "And", "Group"):
    f = q.Forward()
    first = q.Literal("(") + q.Optional(f) + q.Literal(")")
    second = q.Group(q.Literal("(") + q.Optional(f) + q.Literal(")"))
    f <<= first
    grammars += [f, q.OneOrMore(f) + q.rest_of_line(), q.Optional(f) | q.Empty()]
    def flip():
        for i in range(ROUNDS * 40):
            f.set(second if i % 2 else first)
        f <<= first

texts = ["", "ab", "(())ab", "((()))(()", "ab\nab1 ba\n", "aab(é日)\n" * 20, "(" * 40 + ")" * 40]
inputs = [texts[1], texts[2], texts[1], texts[2]] * 3 + texts

def results():
    out = []
    for g in grammars:
        for s in texts:
            try:
                out.append(g.parse_string(s))
            except ValueError as e:
                out.append(("ValueError", str(e)))
            out.append(g.matches(s))
            out.append(g.search_string(s))
            out.append(g.search_string_count(s))
            out.append(g.transform_string(s, "X"))
        out.append(g.parse_batch(inputs))
        out.append(g.parse_batch_count(inputs))
    return out

expected = results()
failures = []

def worker():
    try:
        for _ in range(ROUNDS):
            if results() != expected:
                failures.append("a result differed")
                return
    except BaseException as e:
        failures.append(repr(e))

threads = [threading.Thread(target=worker) for _ in range(8)]
if flip:
    threads.append(threading.Thread(target=flip))
for t in threads:
    t.start()
for t in threads:
    t.join()
print("threads: %d grammars, %d rounds, failures: %r" % (len(grammars), ROUNDS, failures))
sys.exit(1 if failures else 0)
'''


def test_threads_share_grammars_and_agree_with_one_thread():
    rounds = os.environ.get("QGX_THREAD_ROUNDS", "30")
    env = dict(os.environ)
    proc = subprocess.run([sys.executable, "-c", SCRIPT, rounds], env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


MUTATOR_SCRIPT = r'''
import gc, sys, threading
import quillgramx as q

ROUNDS = int(sys.argv[1])
sys.setswitchinterval(1e-6)
gc.set_threshold(5, 1000000, 1000000)  # young collections inside every batch call

# Each grammar with the results it may give for one input: the inputs are
# "ab<n>é" (a match) and "x<n>é" (none), so every entry must be one of these.
grammars = [
    (q.Literal("ab"), [["ab"], []]),
    (q.Keyword("ab"), [[]]),
    (q.Group(q.Literal("ab")), [["ab"], []]),
    (q.Suppress(q.Literal("ab")), [[]]),
    (q.Optional(q.Literal("ab")), [["ab"], []]),
    (q.MatchFirst([q.Literal("zz"), q.Literal("ab")]), [["ab"], []]),
    (q.Word("ab"), ["ab"]),
    (q.Regex("ab"), ["ab"]),
    (q.Literal("ab") + q.Word("0123456789"), None),
]
shared = []

class Noisy:
    """Cyclic garbage whose finalizer runs Python code, so that a collection
    inside a batch call can hand the interpreter lock to the mutator."""
    def __init__(self):
        self.me = self
    def __del__(self):
        sum(range(20))

stop = threading.Event()
failures = []

def mutator():
    i = 0
    while not stop.is_set():
        i += 1
        n = 500 + i % 3000
        shared[:] = [("ab%dé" if j % 2 else "x%dé") % (i * 1000 + j) for j in range(n)]
        del shared[::3]
        shared.extend("ab%dé" % (i + j) for j in range(i % 50))
        if i % 7 == 0:
            shared.clear()
        Noisy()

def worker():
    try:
        for _ in range(ROUNDS):
            for g, allowed in grammars:
                Noisy()
                r = g.parse_batch(shared)
                if allowed is not None and any(x not in allowed for x in r):
                    failures.append("unexpected entry from %r" % type(g).__name__)
                    return
                c = g.parse_batch_count(shared)
                if not isinstance(c, int) or c < 0:
                    failures.append("bad count")
                    return
    except BaseException as e:
        failures.append(repr(e))

threads = [threading.Thread(target=worker) for _ in range(4)]
m = threading.Thread(target=mutator)
m.start()
for t in threads:
    t.start()
for t in threads:
    t.join()
stop.set()
m.join()
print("mutator: %d rounds, failures: %r" % (ROUNDS, failures))
sys.exit(1 if failures else 0)
'''


def test_batches_over_a_list_another_thread_keeps_changing():
    """A thread grows, shrinks, refills and clears a list that four others
    pass to parse_batch and parse_batch_count while cyclic garbage with
    finalizers keeps collections (and thread switches) happening inside the
    calls: every entry is one a single input can give, and nothing crashes."""
    rounds = os.environ.get("QGX_THREAD_ROUNDS", "30")
    proc = subprocess.run([sys.executable, "-c", MUTATOR_SCRIPT, str(int(rounds) * 10)], capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
