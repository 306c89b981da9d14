"""Times every benchmark row against its baseline in one run and prints the
ratios.

    PYTHONPATH=build /usr/bin/python3 bench/run.py [family ...]

Each bench/rows_<family>.py defines rows() returning (label, ours, baseline)
triples of zero-argument callables that do the same work. A row may carry a
fourth item, "growth": then `ours` is the workload at 4n and `baseline` the
same workload at n, and the figure printed is their time ratio 4n/n (about 4
for a linear operation, 16 for a quadratic one). Family names on the
command line select files; with none, every file runs. The two callables of a
row are timed alternately, best of several repeats, so that both see the same
machine state; the ratio baseline/ours is above 1 where ours is faster.
"""
import argparse
import gc
import importlib.util
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent


def load_rows(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.rows()


def calls_for(fn, target):
    """How many calls of fn take at least `target` seconds (at least one)."""
    n = 1
    while True:
        t = time_calls(fn, n)
        if t >= target or n >= 1 << 30:
            return n
        n = max(n * 2, int(n * target / max(t, 1e-9) * 1.2))


def time_calls(fn, n):
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        return time.perf_counter() - start
    finally:
        if gc_was_on:
            gc.enable()


def measure(ours, baseline, repeats, target):
    """Best per-call seconds of each, the two timed alternately."""
    n_ours = calls_for(ours, target)
    n_base = calls_for(baseline, target)
    best_ours = best_base = float("inf")
    for _ in range(repeats):
        best_ours = min(best_ours, time_calls(ours, n_ours) / n_ours)
        best_base = min(best_base, time_calls(baseline, n_base) / n_base)
    return best_ours, best_base


def fmt(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit:2}"
    return f"{seconds / 1e-9:8.2f} ns"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("families", nargs="*", help="families to run (rows_<family>.py); all when none")
    parser.add_argument("--repeats", type=int, default=7, help="timings of each callable (best is kept)")
    parser.add_argument("--target", type=float, default=0.05, help="seconds per timing")
    args = parser.parse_args(argv)

    files = sorted(HERE.glob("rows_*.py"))
    if args.families:
        wanted = {f"rows_{name}.py" for name in args.families}
        missing = wanted - {f.name for f in files}
        if missing:
            parser.error("no such family: " + ", ".join(sorted(m[5:-3] for m in missing)))
        files = [f for f in files if f.name in wanted]

    failed = False
    print(f"{'family':12} {'row':58} {'ours':>11} {'baseline':>11} {'baseline/ours':>14}")
    for path in files:
        family = path.stem[len("rows_"):]
        try:
            rows = load_rows(path)
        except Exception:
            failed = True
            print(f"{family:12} could not load its rows:", file=sys.stderr)
            traceback.print_exc()
            continue
        for row in rows:
            label, ours, baseline = row[:3]
            growth = len(row) > 3 and row[3] == "growth"
            try:
                t_ours, t_base = measure(ours, baseline, args.repeats, args.target)
            except Exception:
                failed = True
                print(f"{family:12} {label}: failed", file=sys.stderr)
                traceback.print_exc()
                continue
            if growth:
                print(f"{family:12} {label:58} {fmt(t_ours)} {fmt(t_base)} {t_ours / t_base:9.2f} 4n/n", flush=True)
            else:
                print(f"{family:12} {label:58} {fmt(t_ours)} {fmt(t_base)} {t_base / t_ours:13.2f}x", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
