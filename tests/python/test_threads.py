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
