"""Benchmark rows of Regex on real-world kinds of text against re: comments
of config files and Python sources, CSV fields, digits in mixed text, and
batches of short distinct strings."""
import random
import re
import sysconfig
from pathlib import Path

import quillgramx as q

MIB = 1 << 20


def _python_sources(limit):
    """The standard library's Python sources, up to `limit` bytes (empty when absent)."""
    root = Path(sysconfig.get_paths()["stdlib"])
    parts, size = [], 0
    for path in sorted(root.glob("*.py")):
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        parts.append(text)
        size += len(text)
        if size >= limit:
            break
    return "".join(parts)


def _config_text(size):
    rng = random.Random(7)
    keys = ["host", "port", "user", "path", "timeout", "level", "mode"]
    lines, n = [], 0
    while n < size:
        if rng.random() < 0.3:
            line = "# " + " ".join(rng.choice(keys) for _ in range(rng.randint(1, 8)))
        else:
            line = "%s = %d  # %s" % (rng.choice(keys), rng.randint(0, 99999), rng.choice(keys))
        lines.append(line)
        n += len(line) + 1
    return "\n".join(lines)


def _csv_text(size):
    rng = random.Random(11)
    rows, n = [], 0
    while n < size:
        row = ",".join(rng.choice(["alpha", "beta", "42", "3.14", "", "gamma delta", "x"]) for _ in range(6))
        rows.append(row)
        n += len(row) + 1
    return "\n".join(rows)


def _mixed_text(size):
    rng = random.Random(5)
    words = ["error", "line", "café", "übung", "x", "port", "état", "data", "日本"]
    parts, n = [], 0
    while n < size:
        w = rng.choice(words) if rng.random() < 0.6 else str(rng.randint(0, 10**rng.randint(1, 9)))
        parts.append(w)
        n += len(w.encode()) + 1
    return " ".join(parts)


def _distinct_strings(n):
    rng = random.Random(3)
    return ["%d%s" % (rng.randint(0, 10**6), rng.choice(["", "abc", " x"])) if rng.random() < 0.7
            else rng.choice(["abc", "x1", " 9"]) + str(i) for i in range(n)]


def rows():
    out = []
    comment = q.Regex(r"#[^\n]*")
    comment_re = re.compile(r"#[^\n]*")
    sources = _python_sources(8 * MIB)
    for name, text in (("config 8MiB", _config_text(8 * MIB)), ("python sources", sources)):
        if not text:
            continue
        out.append((f"Regex(#[^\\n]*).search_string {name}", lambda t=text: comment.search_string(t),
                    lambda t=text: comment_re.findall(t)))
    field = q.Regex(r"[^,\n]+")
    field_re = re.compile(r"[^,\n]+")
    csv = _csv_text(8 * MIB)
    out.append(("Regex([^,\\n]+).search_string csv 8MiB", lambda: field.search_string(csv), lambda: field_re.findall(csv)))
    digits = q.Regex(r"\d+")
    digits_re = re.compile(r"\d+")
    mixed = _mixed_text(8 * MIB)
    out += [
        ("Regex(\\d+).search_string mixed 8MB", lambda: digits.search_string(mixed), lambda: digits_re.findall(mixed)),
        ("Regex(\\d+).search_string_count mixed 8MB", lambda: digits.search_string_count(mixed),
         lambda: len(digits_re.findall(mixed))),
    ]
    strings = _distinct_strings(1_000_000)
    out += [
        ("Regex(\\d+).parse_batch 1M distinct", lambda: digits.parse_batch(strings),
         lambda: [m.group() for m in map(digits_re.match, strings) if m]),
        ("Regex(\\d+).parse_batch_count 1M distinct", lambda: digits.parse_batch_count(strings),
         lambda: sum(1 for m in map(digits_re.match, strings) if m)),
    ]
    for label, ours, base in out:
        assert ours() == (base() if "count" not in label else base()), label
    return out
