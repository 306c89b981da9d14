"""The class frame and the batch count engine against the interpreter's floor."""
import quillgramx as q

CALLS = 1000


def rows():
    empty = q.Empty()
    s = "a short line of text"
    loop = range(CALLS)

    def frame_ours():
        for _ in loop:
            empty.matches(s)

    def frame_floor():
        for _ in loop:
            s.startswith("")

    # A million distinct string objects: no reuse shortcut applies, the count
    # cache is full after 31 and every item is read.
    many = [f"item {i}" for i in range(1_000_000)]

    def count_ours():
        empty.parse_batch_count(many)

    def count_floor():
        sum(1 for x in many)

    return [
        (f"{CALLS} x Empty().matches(s) vs s.startswith('')", frame_ours, frame_floor),
        ("Empty().parse_batch_count(1e6 distinct) vs sum(1 for x in L)", count_ours, count_floor),
    ]
