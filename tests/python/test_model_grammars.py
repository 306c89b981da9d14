"""Random grammars built with the operators and combinators (Forward
recursion included) against the reference model, on every operation."""

import sys

import pytest

from hypothesis import given
from hypothesis import strategies as st

from model_grammars import check_all, grammars, input_lists, texts_for, uses, well_formed

sys.setrecursionlimit(20000)


@st.composite
def cases(draw):
    desc = draw(grammars())
    # The byte-stepping searches of SkipTo are quadratic in the model: keep texts short there.
    long_ok = not uses(desc, {"skipto"})
    s = draw(texts_for(desc, long_ok))
    return desc, s, draw(st.sampled_from(["", "X", "日"])), draw(input_lists(text=texts_for(desc, False)))


@given(case=cases())
def test_grammar_operations_agree_with_model(case):
    check_all(*case)


def cut_grammars():
    import quillgramx as q

    char = q.Char("ab日é")
    return [q.Group(char), q.OneOrMore(char), q.Combine(char + char), q.SkipTo(q.Char("\xa9")),
            q.Suppress(char) + q.rest_of_line(), q.Optional(q.Word("aé")), q.MatchFirst([char, q.Empty()]),
            q.Exactly(char, 2), q.Regex("a") + q.rest_of_line()]


@pytest.mark.parametrize("index", range(9))
@pytest.mark.parametrize("text", ["x日", "日é", "aé日\n", "éé"])
def test_matches_cut_inside_characters_give_whole_characters(index, text):
    # A composite whose child matches a byte of a multi-byte character once
    # ended the process while making its result string.
    g = cut_grammars()[index]
    for op, args in [("parse_string", [text]), ("matches", [text]), ("search_string", [text]),
                     ("search_string_count", [text]), ("transform_string", [text, "X"]),
                     ("parse_batch", [[text, text[1:]]]), ("parse_batch_count", [[text]])]:
        try:
            r = getattr(g, op)(*args)
        except ValueError:
            continue
        assert well_formed(r), (index, op)
