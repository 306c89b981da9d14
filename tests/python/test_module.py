"""Module entry and population, and the character-set functions."""
import os
import subprocess
import sys
import textwrap

import pytest

import quillgramx as q

CLASS_ORDER = [
    "Literal", "Keyword", "Word", "Regex", "And", "MatchFirst", "ZeroOrMore", "OneOrMore", "Optional",
    "Group", "Suppress", "Forward", "Combine", "Exactly", "CaselessLiteral", "CaselessKeyword", "Char",
    "StringStart", "StringEnd", "LineStart", "LineEnd", "rest_of_line", "QuotedString", "Empty", "NoMatch",
    "SkipTo",
]
FUNCTION_ORDER = ["alphas", "alphanums", "nums", "printables", "hexnums", "alphas_upper", "alphas_lower", "one_of"]
FULL_ORDER = CLASS_ORDER + FUNCTION_ORDER + ["__version__"]
# The names built so far; a name still missing joins __all__ in its place when it lands.
PRESENT = CLASS_ORDER + FUNCTION_ORDER[:7] + ["__version__"]


def test_all_lists_names_in_population_order_each_once():
    names = q.__all__
    assert isinstance(names, list)
    assert len(names) == len(set(names))
    assert names == [n for n in FULL_ORDER if n in names]
    for n in PRESENT:
        assert n in names
    for n in names:
        assert hasattr(q, n)
    assert names[-1] == "__version__"
    assert names[:6] == ["Literal", "Keyword", "Word", "Regex", "And", "MatchFirst"]
    for n in CLASS_ORDER:
        assert isinstance(getattr(q, n), type)


def test_all_is_complete_once_every_family_is_in():
    if len(q.__all__) < len(FULL_ORDER):
        pytest.skip("not every class family is built in yet")
    assert q.__all__ == FULL_ORDER
    assert len(q.__all__) == 35


def test_version_and_doc():
    assert q.__version__ == "0.2.0"
    assert type(q.__version__) is str
    assert q.__doc__ == "quillgramx module"
    assert q.__name__ == "quillgramx"


def test_reimport_gives_the_same_module_unchanged():
    before = list(q.__all__)
    saved = sys.modules.pop("quillgramx")
    try:
        import quillgramx as again

        assert again is saved
        assert again.__all__ == before
        assert again.Empty is saved.Empty
    finally:
        sys.modules["quillgramx"] = saved


def _run_python(code):
    env = dict(os.environ)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=60
    )


def _import_in_subinterpreter():
    return """
import _xxsubinterpreters as interpreters
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import quillgramx")
except interpreters.RunFailedError as e:
    print("sub refused:", e)
else:
    print("sub imported")
interpreters.destroy(interp)
"""


def _import_in_main():
    return """
try:
    import quillgramx
except ImportError as e:
    print("main refused:", type(e).__name__, e)
else:
    print("main imported", quillgramx.__version__)
"""


def test_second_interpreter_is_refused_after_the_main_one_imported():
    r = _run_python(_import_in_main() + _import_in_subinterpreter() + _import_in_main())
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "main imported 0.2.0"
    assert lines[1].startswith("sub refused:") and "ImportError" in lines[1]
    assert "subinterpreters are not supported" in lines[1]
    assert lines[2] == "main imported 0.2.0"


def test_the_first_importer_keeps_the_module_for_the_process():
    # A subinterpreter that imports first is the first importer; from then on
    # the main interpreter is the second one and is refused.
    r = _run_python(_import_in_subinterpreter() + _import_in_main() + _import_in_subinterpreter())
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "sub imported"
    assert lines[1].startswith("main refused: ImportError")
    assert "subinterpreters are not supported" in lines[1]
    assert lines[2].startswith("sub refused:") and "ImportError" in lines[2]


CHARSETS = [
    ("alphas", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
    ("alphanums", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
    ("nums", "0123456789"),
    ("printables", "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"),
    ("hexnums", "0123456789abcdefABCDEF"),
    ("alphas_upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
    ("alphas_lower", "abcdefghijklmnopqrstuvwxyz"),
]


@pytest.mark.parametrize("name, text", CHARSETS)
def test_character_sets(name, text):
    f = getattr(q, name)
    assert f() == text
    assert type(f()) is str
    assert f.__name__ == name
    assert f.__module__ == "quillgramx"
    assert f.__self__ is q
    assert f.__text_signature__ == "()"
    with pytest.raises(TypeError) as e:
        f(1)
    assert str(e.value).endswith(f"{name}() takes no arguments (1 given)")
    with pytest.raises(TypeError):
        f(x=1)


def test_printables_holds_every_visible_ascii_character_once():
    p = q.printables()
    assert len(p) == 94
    assert p.startswith("0123456789abc")
    assert p.endswith("~")
    assert sorted(p) == [chr(c) for c in range(0x21, 0x7F)]
