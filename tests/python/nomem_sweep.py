"""Runs operations with the interpreter's allocator failing from the n-th
allocation of the call on, for n = 0, 1, 2, ... (CPython's test helper
_testcapi.set_nomemory), until a call runs through without reaching the
failure. Each run must give the right result or raise MemoryError; then the
references and memory blocks held must be what they were, and every
operation must give its right result again.

    python nomem_sweep.py GRAMMAR

runs every operation of one grammar of GRAMMARS (or, with "building", the
operations of BUILDING) and prints "ok"; a fault ends
the process with a message naming the operation and n (a crash, with the
operation and n printed last)."""

import gc
import sys

import _testcapi

from quillgramx import (Combine, Forward, Group, Keyword, Literal, MatchFirst, OneOrMore, Optional, Regex, Suppress,
                        Word, alphanums, alphas, nums, one_of)


def nested():
    f = Forward()
    f <<= Group(Literal("(") + OneOrMore(f) + Literal(")")) | Word(alphas())
    return f


# name -> (grammar, a text it parses at its start and finds several times in, a text it does not start)
GRAMMARS = {
    "Literal": (lambda: Literal("ab"), "ab ab xab abab", "xb"),
    "Literal one character": (lambda: Literal("é"), "éé xé", "e"),
    "Keyword": (lambda: Keyword("if"), "if x if ifx (if)", "iff"),
    "Word": (lambda: Word(alphas(), alphanums()), "ab cd9 ef 12 gh é ab", "12"),
    "Word repeating text": (lambda: Word(alphas()), "ab cd " * 40, "1"),
    "Word repeating text and rest": (lambda: Word(alphas()), "ab cd " * 40 + "ef", "1"),
    "Regex": (lambda: Regex(r"[a-z]+\d?"), "ab1 cd2 e3 ab1", "1"),
    "And": (lambda: Literal("ab") + Word(nums()), "ab12 ab22 b3 ab12", "b"),
    "MatchFirst": (lambda: Literal("xy") | Word(nums()) | Keyword("if"), "xy 12 if y xy 12", "y"),
    "MatchFirst of sequences": (lambda: MatchFirst([Literal("ab") + Literal("cd"), Word(nums())]), "abcd 12 ab 22",
                                "cd"),
    "Group row": (lambda: Group(Word(alphas()) + Optional(Word(nums()))), "ab 12 cd ab 12", "12"),
    "Group row non-ASCII": (lambda: Group(Word(alphas() + "é") + Word(nums())), "éa 12 cé 3", "12"),
    "Group": (lambda: Group(OneOrMore(Word(alphas()))), "ab cd 1 ef", "1"),
    "Forward": (nested, "((ab)(bc(cd))) de (ef)", ")"),
    "OneOrMore": (lambda: OneOrMore(Word(alphas()) + Suppress(Literal(","))), "ab, bc, cd, 1 de,", "1"),
    "OneOrMore many tokens": (lambda: OneOrMore(Word(alphas())), " ".join(["ab", "cd"] * 12), "1"),
    "Suppress": (lambda: Suppress(Word(alphas())), "ab cd 1", "1"),
    "Suppress in a sequence": (lambda: Suppress(Literal("(")) + Word(alphas()), "(ab (bc x(cd", "ab"),
    "Combine": (lambda: Combine(Word(alphas()) + Literal(".") + Word(nums())), "ab.1 b.22 c. ab.1", "1"),
}


def built_forward():
    f = Forward()
    f <<= Literal("ab") + Optional(f)
    return f


def retargeted_forward():
    f = Forward()
    f <<= Literal("ab") + f
    f.set(Word(nums()))  # the cycle is left for the slots' collector
    return f


# Operations that make grammars (constructors, operators, one_of, Forward's
# set), each used at once so that a result can be compared.
BUILDING = {
    "Literal": lambda: Literal("abc").parse_string("abc"),
    "Word": lambda: Word(alphas(), nums()).search_string("a1 b2"),
    "Regex": lambda: Regex(r"(ab)+").search_string("abab ab"),
    "And by +": lambda: (Literal("ab") + Word(nums()) + "cd").parse_string("ab12cd"),
    "MatchFirst by |": lambda: (Literal("ab") | Word(nums()) | "cd").search_string("ab 1 cd"),
    "MatchFirst of a list": lambda: MatchFirst([Literal("ab"), Keyword("cd")]).search_string("ab cd"),
    "one_of": lambda: one_of("ab cd abc").search_string("abc cd ab"),
    "wrappers": lambda: Group(Combine(OneOrMore(Suppress(Literal("ab")) + Word(nums())))).parse_string("ab1ab2"),
    "Forward": lambda: built_forward().parse_string("ababab"),
    "Forward retargeted": lambda: retargeted_forward().parse_string("12"),
}


def batches(hit, miss):
    """Inputs lists for the batch rules: distinct objects held by the list
    alone, one object throughout, a period of objects, runs of one object,
    and objects met again out of turn."""
    a, b = hit, miss
    c = hit + " " + miss
    fresh = lambda s: "".join(list(s))  # a new object held by the list alone
    return {
        "distinct": [fresh(a), fresh(b), fresh(c), fresh(a)],
        "uniform hit": [a] * 6,
        "uniform miss": [b] * 6,
        "period": [a, b, c] * 4,
        "runs": [a, a, b, b, c, c, a],
        "shared": [a, b, a, c, b, a, c],
        "one": [a],
        "empty": [],
        "many distinct": [fresh(a if i % 3 else c) for i in range(24)],
    }


def operations(g, text, miss):
    hit = text.split(" ")[0]
    ops = {
        "parse_string": lambda: g.parse_string(text),
        "parse_string failing": lambda: g.parse_string(miss),
        "matches": lambda: g.matches(text),
        "search_string": lambda: g.search_string(text),
        "search_string_count": lambda: g.search_string_count(text),
        "transform_string": lambda: g.transform_string(text, "<é>"),
        "transform_string ASCII": lambda: g.transform_string(text, "<>"),
    }
    for name, inputs in batches(hit, miss).items():
        ops[f"parse_batch {name}"] = (lambda i: lambda: g.parse_batch(i))(inputs)
        ops[f"parse_batch_count {name}"] = (lambda i: lambda: g.parse_batch_count(i))(inputs)
    return ops


def outcome(op):
    try:
        return ("value", op())
    except (ValueError, MemoryError) as e:
        return (type(e).__name__, str(e))


# Far above the allocations of any operation here; a sweep that reaches it
# has not found the end of the call.
CAP = 4000


def sweep(label, op, expected):
    """Fails the n-th allocation on for every n until a run neither fails
    nor reaches the failing allocation. A run that gives a value is checked
    to have not reached it: the next allocation would fail if it had (an
    operation that swallowed a failure would stop the sweep short)."""
    for n in range(CAP):
        print(label, n, file=sys.stderr, flush=True)  # the last line names the run if the process dies
        reached = False
        got = None
        _testcapi.set_nomemory(n, 0)
        try:
            try:
                got = ("value", op())
            except MemoryError:
                reached = True
            except ValueError as e:
                got = ("ValueError", e)
            else:
                try:
                    object()
                except MemoryError:
                    reached = True
        finally:
            _testcapi.remove_mem_hooks()
        if got is not None:
            if got[0] == "ValueError":
                got = ("ValueError", str(got[1]))
            if got != expected:
                raise AssertionError(f"{label}: n={n} gave {got!r}, expected {expected!r}")
            if not reached:
                return n
    raise AssertionError(f"{label}: still failing at n={CAP}")


def main(grammar_name):
    if grammar_name == "building":
        ops = BUILDING
        watched = []
    else:
        make, text, miss = GRAMMARS[grammar_name]
        g = make()
        ops = operations(g, text, miss)
        watched = [g, text, miss]
    expected = {name: outcome(op) for name, op in ops.items()}
    for name, op in ops.items():
        label = f"{grammar_name}: {name}"
        sweep(label, op, expected[name])
        # Once more to warm what the first sweep made for good (interned
        # names, free lists), then the counted one.
        sweep(label, op, expected[name])
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        # A list left behind may have come from the interpreter's free list
        # (no new block), but the collector sees it; a str or a hidden list
        # is a block more.
        tracked = len(gc.get_objects())
        blocks = sys.getallocatedblocks()
        sweep(label, op, expected[name])
        gc.collect()
        # The ints holding `tracked` and `blocks` are blocks of their own.
        grown = sys.getallocatedblocks() - blocks - 2
        assert grown <= 0, f"{label}: {grown} memory blocks more after a sweep"
        assert len(gc.get_objects()) <= tracked, f"{label}: objects left behind for the collector"
        now = [sys.getrefcount(o) for o in watched]
        assert now == refs, f"{label}: reference counts {refs} became {now}"
    # Every operation gives its answer again, after all the failures.
    for name, op in ops.items():
        assert outcome(op) == expected[name], f"{grammar_name}: {name} changed after the sweeps"
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
