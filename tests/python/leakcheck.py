"""A reusable check that an operation leaks neither references nor memory.

    from leakcheck import assert_no_leaks
    assert_no_leaks(lambda: elem.parse_batch(items), items, *items)
    assert_no_leaks(lambda: elem.parse_string(1), raises=TypeError)

The operation runs many times; afterwards every watched object must have the
reference count it had before, and the memory the interpreter traces
(`tracemalloc`) and its count of allocated blocks must not have grown with the
number of calls. Results are dropped at once, so nothing the operation returns
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


def assert_no_leaks(op, *watched, calls=400, raises=None):
    """Runs `op()` `calls` times in each of two rounds and checks that the
    reference counts of `watched` are unchanged and that neither traced
    memory nor allocated blocks grew between the rounds. With `raises`, each
    call must raise that exception type (which is caught)."""
    _run(op, 20, raises)  # warm caches: interned names, free lists
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]

    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        _run(op, calls, raises)
        gc.collect()
        mem1, _ = tracemalloc.get_traced_memory()
        blocks1 = sys.getallocatedblocks()
        _run(op, calls, raises)
        gc.collect()
        mem2, _ = tracemalloc.get_traced_memory()
        blocks2 = sys.getallocatedblocks()
    finally:
        if started:
            tracemalloc.stop()

    after = [sys.getrefcount(o) for o in watched]
    changed = [(i, b, a) for i, (b, a) in enumerate(zip(before, after)) if b != a]
    assert not changed, f"reference counts changed (index, before, after): {changed}"
    grown = mem2 - mem1
    assert grown < calls * _BYTES_PER_CALL, f"traced memory grew by {grown} bytes over {calls} calls"
    assert blocks2 - blocks1 < calls // 10, f"allocated blocks grew by {blocks2 - blocks1} over {calls} calls"
