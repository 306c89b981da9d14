"""Every example in README.md runs and gives the result it shows.

The examples are the README's ```python blocks, read from the README itself
so that the two cannot drift apart. Each block runs on its own, in a fresh
namespace that holds `from quillgramx import *`. A statement that is a single
expression with a comment on its last line is an example: the comment shows
its result, either a Python literal (`# ['1', '2']`) or an exception with its
exact message (`# ValueError: Expected match`); two or more spaces may
separate the result from words that explain it. Every other statement (an
assignment, a definition, a comment on a line of its own) just runs.
"""
import ast
import io
import re
import tokenize
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
OPERATIONS = ("parse_string", "matches", "search_string", "search_string_count", "transform_string",
              "parse_batch", "parse_batch_count")
FENCE = re.compile(r"^( *)```(\w*)\s*$")
EXCEPTION = re.compile(r"^([A-Z]\w*(?:Error|Exception)): (.*)$")


def code_blocks(text):
    """(first line number, language, source) of each fenced block; a fence may
    be indented (inside a list item), and its lines lose that indent."""
    blocks, lines, i = [], text.split("\n"), 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        i += 1
        if not opening:
            continue
        indent, language, start, body = len(opening.group(1)), opening.group(2), i + 1, []
        while not FENCE.match(lines[i]):
            if lines[i].strip() and not lines[i].startswith(" " * indent):
                raise AssertionError(f"README.md:{i + 1}: a line of the block is less indented than its fence")
            body.append(lines[i][indent:])
            i += 1
        i += 1
        blocks.append((start, language, "\n".join(body) + "\n"))
    return blocks


def python_blocks():
    return [(start, source) for start, language, source in code_blocks(README.read_text(encoding="utf-8"))
            if language == "python"]


def comments_by_line(source):
    found = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            found[token.start[0]] = token.string[1:].strip()
    return found


def shown_result(comment):
    """("value", v) or ("raises", type name, message) for the result that a
    comment shows, or None when it shows none. The result is the shortest
    prefix, cut before a run of two or more spaces, that reads as one."""
    cuts = [m.start() for m in re.finditer(r" {2,}", comment)] + [len(comment)]
    for cut in cuts:
        head = comment[:cut]
        raised = EXCEPTION.match(head)
        if raised:
            return ("raises", raised.group(1), raised.group(2))
        try:
            return ("value", ast.literal_eval(head))
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            continue
    return None


def same(a, b):
    """Equal, and of the same types all the way down (True is not 1, [] not ())."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def run_block(start, source):
    """Runs one block; gives the number of results it checked."""
    namespace = {}
    exec("from quillgramx import *", namespace)
    comments = comments_by_line(source)
    checked = 0
    for statement in ast.parse(source).body:
        where = f"README.md:{start + statement.lineno - 1}"
        comment = comments.get(statement.end_lineno) if isinstance(statement, ast.Expr) else None
        if comment is None:
            exec(compile(ast.Module([statement], []), where, "exec"), namespace)
            continue
        code = compile(ast.Expression(statement.value), where, "eval")
        expected = shown_result(comment)
        assert expected is not None, f"{where}: the comment shows no result: {comment!r}"
        try:
            got = ("value", eval(code, namespace))
        except Exception as error:  # the example may show an exception
            got = ("raises", type(error).__name__, str(error))
        assert got[0] == expected[0] and (same(got[1], expected[1]) if got[0] == "value" else got == expected), \
            f"{where}: the README shows {expected!r}, the module gives {got!r}"
        checked += 1
    return checked


BLOCKS = python_blocks()


def test_the_readme_has_python_examples():
    assert BLOCKS, "no ```python block found in README.md"


@pytest.mark.parametrize("start, source", BLOCKS, ids=[f"line{start}" for start, _ in BLOCKS])
def test_example_block(start, source):
    # A block with no checked result would pass whatever the module did.
    assert run_block(start, source) > 0, f"README.md:{start}: the block shows no result"


def test_no_example_outside_a_python_block():
    """A call of an operation with a result comment outside the ```python
    blocks would not be checked."""
    text = README.read_text(encoding="utf-8")
    inside = set()
    for start, language, source in code_blocks(text):
        if language == "python":
            inside.update(range(start, start + source.count("\n")))
    call = re.compile(r"\.(%s)\(.*#" % "|".join(OPERATIONS))
    stray = [f"README.md:{n}" for n, line in enumerate(text.split("\n"), 1)
             if n not in inside and call.search(line)]
    assert not stray, f"examples outside a ```python block: {stray}"


@pytest.mark.parametrize("comment, expected", [
    ("['1', '2']", ("value", ["1", "2"])),
    ("['a  b']  two spaces inside the result", ("value", ["a  b"])),
    ("True  a match at the start", ("value", True)),
    ("ValueError: Expected match", ("raises", "ValueError", "Expected match")),
    ("ValueError: ParseException at position 2: Expected W:(01234567...)  the position",
     ("raises", "ValueError", "ParseException at position 2: Expected W:(01234567...)")),
    ("a sentence, no result", None),
])
def test_shown_result_reads_the_comment(comment, expected):
    assert shown_result(comment) == expected


def test_same_tells_types_apart():
    assert same([["a"], []], [["a"], []])
    assert not same(True, 1)
    assert not same(["1"], [1])
    assert not same((1,), [1])
