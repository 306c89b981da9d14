"""A reusable check that an operation leaks neither references nor memory.

    from leakcheck import assert_no_leaks
    assert_no_leaks(lambda: elem.parse_batch(items), items, *items)
    assert_no_leaks(lambda: elem.parse_string(1), raises=TypeError)

The operation runs many times, in rounds; afterwards every watched object must have the
reference count it had before, and the memory that `tracemalloc` traces to the
call must not have grown with the number of calls. Results are dropped at once, so nothing the operation returns
may survive it.
"""
import gc
import sys
import tracemalloc

# Per-call growth below this is noise of the allocator, not a leak: a leaked
# list, str or int costs at least 28 bytes per call.
_BYTES_PER_CALL = 4


def _run(op, n, raises):
    if raises is None:
        for _ in range(n):
            op()
        return
    for _ in range(n):
        try:
            op()
        except raises:
            pass
        else:
            raise AssertionError(f"{op!r} did not raise {raises.__name__}")


def _measure(op, calls, raises, filters):
    _run(op, calls, raises)
    gc.collect()
    snapshot = tracemalloc.take_snapshot().filter_traces(filters)
    return sum(stat.size for stat in snapshot.statistics("filename"))


def assert_no_leaks(op, *watched, calls=None, raises=None):
    """Runs `op()` `calls` times (by default 200, or 100 when it raises) in each of three rounds and checks that the
    reference counts of `watched` are unchanged and that the memory allocated
    under the call did not grow in every round (a leak grows with each round;
    a cache that fills once does not). With `raises`, each call must raise
    that exception type (which is caught)."""
    if calls is None:
        calls = 200 if raises is None else 100  # raising is slower; 100 calls still show a leak
    _run(op, calls, raises)  # warm caches: interned names, free lists, arenas
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]

    # Memory is counted where the call is made: the operation's own code (a
    # lambda) or, for a builtin callable, the line in _run that calls it, so
    # that the test runner's own allocations do not count.
    files = {__file__}
    code = getattr(op, "__code__", None)
    if code is not None:
        files.add(code.co_filename)
    filters = [tracemalloc.Filter(True, f) for f in files]
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        rounds = [_measure(op, calls, raises, filters) for _ in range(3)]
    finally:
        if started:
            tracemalloc.stop()

    after = [sys.getrefcount(o) for o in watched]
    changed = [(i, b, a) for i, (b, a) in enumerate(zip(before, after)) if b != a]
    assert not changed, f"reference counts changed (index, before, after): {changed}"
    grown = min(rounds[1] - rounds[0], rounds[2] - rounds[1])
    assert grown < calls * _BYTES_PER_CALL, f"memory grew by {grown} bytes or more in each round of {calls} calls"
