"""Benchmark rows of Word and Regex against the standard library's re."""

import random
import re

import quillgramx as q

MIB = 1 << 20


def _words_text(size):
    # Words of letters mixed with numbers and a little punctuation, as in prose.
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    vocab = ["".join(rng.choices(letters, k=rng.randint(1, 10))) for _ in range(5000)]
    vocab += [str(rng.randint(0, 99999)) for _ in range(1500)]
    vocab += ["%s," % w for w in vocab[:300]] + ["%s." % w for w in vocab[300:500]]
    parts, n = [], 0
    while n < size:
        chunk = rng.choices(vocab, k=10000)
        parts.append(" ".join(chunk))
        n += len(parts[-1]) + 1
    return " ".join(parts)[:size]


def _repetitive_text(size):
    block = "The year 2024 saw 17 storms, 3 floods and 123 quiet days; "
    # Repeats to the very end (the last block cut short), as a log of one record does.
    return (block * (size // len(block) + 1))[:size]


def _short_strings(n):
    rng = random.Random(11)
    letters = "abcdefghijklmnopqrstuvwxyz"
    out = []
    for i in range(n):
        k = i % 4
        if k == 0:
            out.append("%d%s" % (rng.randint(0, 999), rng.choice(letters)))
        elif k == 1:
            out.append("".join(rng.choices(letters, k=rng.randint(2, 8))) + str(i % 7))
        elif k == 2:
            out.append("".join(rng.choices(letters, k=rng.randint(2, 8))))
        else:
            out.append(" %s" % rng.choice(letters))
    return out


def rows():
    words = _words_text(16 * MIB)
    repetitive = _repetitive_text(16 * MIB)
    strings = _short_strings(1_000_000)
    one = ["abc123"] * 1_000_000
    one_digits = ["123abc"] * 1_000_000

    word = q.Word(q.alphas())
    letters_re = re.compile(r"[A-Za-z]+")
    digits = q.Regex(r"\d+")
    digits_re = re.compile(r"\d+")

    def match_list(p, inputs):
        return lambda: [m.group() for m in map(p.match, inputs) if m]

    def match_count(p, inputs):
        return lambda: sum(1 for m in map(p.match, inputs) if m)

    out = []
    for name, text in (("words 16MiB", words), ("repetitive 16MiB", repetitive)):
        out += [
            (f"Word.search_string {name}", lambda t=text: word.search_string(t),
             lambda t=text: letters_re.findall(t)),
            (f"Word.search_string_count {name}", lambda t=text: word.search_string_count(t),
             lambda t=text: len(letters_re.findall(t))),
            (f"Word.transform_string {name}", lambda t=text: word.transform_string(t, "X"),
             lambda t=text: letters_re.sub("X", t)),
            (f"Regex(\\d+).search_string {name}", lambda t=text: digits.search_string(t),
             lambda t=text: digits_re.findall(t)),
            (f"Regex(\\d+).search_string_count {name}", lambda t=text: digits.search_string_count(t),
             lambda t=text: len(digits_re.findall(t))),
            (f"Regex(\\d+).transform_string {name}", lambda t=text: digits.transform_string(t, "N"),
             lambda t=text: digits_re.sub("N", t)),
        ]
    out += [
        ("Word.parse_batch 1M distinct", lambda: word.parse_batch(strings), match_list(letters_re, strings)),
        ("Word.parse_batch_count 1M distinct", lambda: word.parse_batch_count(strings),
         match_count(letters_re, strings)),
        ("Word.parse_batch 1M one object", lambda: word.parse_batch(one), match_list(letters_re, one)),
        ("Word.parse_batch_count 1M one object", lambda: word.parse_batch_count(one), match_count(letters_re, one)),
        ("Regex.parse_batch 1M distinct", lambda: digits.parse_batch(strings), match_list(digits_re, strings)),
        ("Regex.parse_batch_count 1M distinct", lambda: digits.parse_batch_count(strings),
         match_count(digits_re, strings)),
        ("Regex.parse_batch 1M one object", lambda: digits.parse_batch(one_digits), match_list(digits_re, one_digits)),
        ("Regex.parse_batch_count 1M one object", lambda: digits.parse_batch_count(one_digits),
         match_count(digits_re, one_digits)),
    ]
    return out
