"""Growth of the operations on adversarial input: each row times one workload
at n and at 4n and prints the ratio (about 4 when the operation is linear),
beside the same workload on ordinary input."""

import quillgramx as q


def growth_row(label, make, n):
    """A growth row: make(size) returns a zero-argument callable doing the
    workload on input of that size; timed at 4n against n."""
    small, large = make(n), make(4 * n)
    return (f"{label} n={n}", large, small, "growth")


def rows():
    out = []
    # Each fault family adds its rows here: adversarial input first, then the
    # same workload on ordinary input.
    out.append(growth_row("Literal.search_string_count ordinary text",
                          lambda size: (lambda t="abc " * (size // 4): q.Literal("abc").search_string_count(t)),
                          1 << 20))
    return out
