"""Inputs chosen against the implementation: a literal search whose
candidates all fail late, and words crafted to share one probe run of a
fixed hash. Each runs in a subprocess with a timeout far above its cost
(under a second here), where the faults cost from tens of seconds to hours."""

import os
import subprocess
import sys
import textwrap

import pytest

import quillgramx  # noqa: F401  (the subprocess imports it from the same path)


def run_isolated(code, timeout, args=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                       timeout=timeout, env=env)
    assert r.returncode == 0, f"exit {r.returncode}\nstdout:\n{r.stdout}\nstderr:\n{r.stderr[-4000:]}"
    return r.stdout


# A needle of 400,000 bytes against 8 MB that match all of it but its last
# byte: comparing at every position costs 3 * 10**12 bytes.
def test_literal_search_with_late_failing_candidates_is_linear():
    out = run_isolated("""
        import quillgramx as q
        needle = "z" * 399999 + " "
        text = "z" * 8000000 + "q"
        lit = q.Literal(needle)
        assert lit.search_string_count(text) == 0
        assert lit.search_string(text) == []
        assert lit.transform_string(text, "X") == text
        # The same with occurrences: one every 400,001 bytes.
        text2 = (needle + "q") * 20
        assert lit.search_string_count(text2) == 20
        assert lit.transform_string(text2, "X") == "Xq" * 20
        # A keyword of 200,000 bytes inside a run of 8 MB: an occurrence at
        # every position, each followed by an identifier byte but the last.
        kw = q.Keyword("a" * 200000)
        assert kw.search_string_count("a" * 8000000) == 1
        assert kw.search_string_count(("a" * 200000 + " ") * 30) == 30
        print("ok")
    """, timeout=60)
    assert out.strip() == "ok"


# 8-byte ASCII words whose hash under the maps' old fixed hash has its low 17
# bits clear, so that all of them shared one probe run of every table up to
# 131072 slots; made with numpy in the test process (the inversion of the old
# hash), handed to the subprocess as bytes.
def crafted_words(count, zero_bits=17, seed=5):
    np = pytest.importorskip("numpy")
    mul = 0x94D049BB133111EB
    inv = np.uint64(pow(mul, -1, 1 << 64))
    old_seed = np.uint64(0x9E3779B97F4A7C15 ^ 8)
    rng = np.random.default_rng(seed)
    out = set()
    while len(out) < count:
        r = rng.integers(0, 1 << (64 - zero_bits), size=1 << 21, dtype=np.uint64) << np.uint64(zero_bits)
        h = r ^ (r >> np.uint64(32))
        u = h ^ (h >> np.uint64(29)) ^ (h >> np.uint64(58))
        w = (u * inv) ^ old_seed
        w = w[(w & np.uint64(0x8080808080808080)) == 0]  # ASCII bytes only: valid one-byte characters
        raw = w.tobytes()
        out.update(raw[i:i + 8] for i in range(0, len(raw), 8))
    return sorted(out)[:count]


def test_words_crafted_against_a_fixed_hash_cost_what_random_words_cost(tmp_path):
    path = tmp_path / "words.bin"
    path.write_bytes(b"".join(crafted_words(160000)))
    out = run_isolated("""
        import sys
        import quillgramx as q
        raw = open(sys.argv[1], "rb").read()
        words = [raw[i:i + 8].decode("ascii") for i in range(0, len(raw), 8)]
        # Every ASCII byte is a member; the separator's bytes are not.
        word = q.Word("".join(map(chr, range(128))))
        text = "\\u00e9".join(words)
        assert word.search_string(text) == words
        assert q.Group(word).search_string(text) == words
        assert q.Regex("[\\\\x00-\\\\x7f]+").search_string(text) == words
        assert (word + q.Empty()).parse_batch(words) == words
        print("ok")
    """, timeout=20, args=(str(path),))
    assert out.strip() == "ok"


# Literal-like tests inside scans, with texts of 2,000 bytes against 400,000
# bytes that match all of them (or all but the last byte) at every position:
# a compare per position cost 8 * 10**8 bytes per operation, minutes in all.
LONG_NEEDLE_SCANS = [
    ("Keyword('a' * 4000)", "transform_string", "'a' * 400000", "'a' * 396000 + 'X'"),
    ("CaselessKeyword('a' * 4000)", "search_string_count", "'A' * 400000", "1"),
    ("CaselessKeyword('a' * 4000)", "transform_string", "'A' * 400000", "'A' * 396000 + 'X'"),
    ("CaselessLiteral('a' * 4000 + 'b')", "search_string_count", "'A' * 400000", "0"),
    ("CaselessLiteral('a' * 4000 + 'b')", "search_string", "'a' * 400000", "[]"),
    ("CaselessLiteral('a' * 4000 + 'b')", "transform_string", "'a' * 400000", "s"),
    ("Literal('a' * 4000 + 'b') + Literal('x')", "search_string", "'a' * 400000", "[]"),
    ("MatchFirst([Keyword('a' * 4000), Literal('zz')])", "search_string_count", "'a' * 400000", "1"),
    ("Optional(Literal('a' * 4000 + 'b')) + Literal('c')", "search_string_count", "'a' * 400000", "0"),
]


@pytest.mark.parametrize("grammar,op,text,expected", LONG_NEEDLE_SCANS,
                         ids=[f"{g}.{op}" for g, op, _, _ in LONG_NEEDLE_SCANS])
def test_long_literal_like_tests_in_scans_are_linear(grammar, op, text, expected):
    args = ", 'X'" if op == "transform_string" else ""
    out = run_isolated(f"""
        from quillgramx import *
        g = {grammar}
        s = {text}
        assert g.{op}(s{args}) == {expected}
        print("ok")
    """, timeout=60)
    assert out.strip() == "ok"


# Backtracking choice whose records come back to a position only after
# thousands of other calls: 40 nested levels double the work per level
# unless outcomes are remembered (about 2**40 calls), and take well under a
# second when they are.
def test_choice_whose_repeats_are_far_apart_stays_linear():
    out = run_isolated("""
        from quillgramx import *
        fz = Forward()
        fz <<= Literal("z")
        f = Forward()
        f <<= ((Literal("a") + OneOrMore(fz) + f + Literal("b"))
               | (Literal("a") + OneOrMore(fz) + f + Literal("c")) | Literal("x"))
        k = 40
        text = ("a" + "z" * 2048) * k + "x" + "c" * k
        assert f.matches(text)
        tokens = f.parse_string(text)
        assert len(tokens) == 2050 * k + 1 and tokens[2049 * k] == "x" and tokens[-1] == "c"
        assert not f.matches(text[:-1] + "d")

        # One rule of 2,048 Forwards at a single position, under 40 levels
        # of (e + "b") | (e + "c").
        alts = []
        for j in range(2048):
            fw = Forward()
            fw <<= Literal("a") + Literal("q%d" % j)
            alts.append(fw)
        def failure(e, text):
            try:
                e.parse_string(text)
            except ValueError as err:
                return str(err)
        e = MatchFirst(alts + [Literal("a")])
        shallow = None
        for level in range(40):
            e = (e + Literal("b")) | (e + Literal("c"))
            if level == 2:
                shallow = failure(e, "ad")  # worked out without remembering
        assert not e.matches("ad")
        assert failure(e, "ad") == shallow
        assert e.parse_string("a" + "c" * 40) == ["a"] + ["c"] * 40
        print("ok")
    """, timeout=60)
    assert out.strip() == "ok"
