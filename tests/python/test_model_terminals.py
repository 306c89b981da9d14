"""The terminal classes against the reference model: random texts (short,
multi-byte, repeating around the period bounds) and random input lists."""

import sys

from hypothesis import given
from hypothesis import strategies as st

from model_grammars import check_all, input_lists, terminal_strategies, texts

sys.setrecursionlimit(20000)

REPLACEMENTS = st.sampled_from(["", "X", "é", "$1\\0", "\n"])


@given(desc=terminal_strategies(), s=texts(), replacement=REPLACEMENTS, inputs=input_lists())
def test_terminal_operations_agree_with_model(desc, s, replacement, inputs):
    check_all(desc, s, replacement, inputs)


@given(desc=terminal_strategies(), s=st.text(max_size=12), inputs=input_lists(long_ok=True, allow_bad=False))
def test_terminals_on_any_characters(desc, s, inputs):
    # Any code point, surrogates included: results or the interpreter's own errors.
    check_all(desc, s, "r", inputs)
