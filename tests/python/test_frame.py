"""The class frame seen from Python: types, docs, argument binding and
conversion texts on the method path (vector call) and the constructor path
(tuple and dict)."""
import pytest

import quillgramx as q

CLASSES = [q.Empty, q.NoMatch, q.LineStart, q.LineEnd, q.StringStart, q.StringEnd, q.rest_of_line]
METHODS = [
    ("parse_string", "($self, s)"),
    ("matches", "($self, s)"),
    ("search_string", "($self, s)"),
    ("search_string_count", "($self, s)"),
    ("transform_string", "($self, s, replacement)"),
    ("parse_batch", "($self, inputs)"),
    ("parse_batch_count", "($self, inputs)"),
]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_heap_type_in_builtins_that_cannot_be_subclassed(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert type(cls()) is cls
    with pytest.raises(TypeError) as e:
        type("Sub", (cls,), {})
    assert str(e.value) == f"type 'builtins.{name}' is not an acceptable base type"
    obj = cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_doc_and_text_signature(cls):
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ == ""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("method, signature", METHODS)
def test_method_docstrings(cls, method, signature):
    m = getattr(cls, method)
    assert m.__text_signature__ == signature
    assert m.__doc__ is None  # nothing follows the signature for these classes
    assert m.__name__ == method
    assert m.__qualname__ == f"{cls.__name__}.{method}"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.matches(), "Empty.matches() missing 1 required positional argument: 's'"),
        (lambda e: e.matches("a", "b"), "Empty.matches() takes 1 positional arguments but 2 were given"),
        (lambda e: e.matches("a", s="b"), "Empty.matches() got multiple values for argument 's'"),
        (lambda e: e.matches(t="a"), "Empty.matches() got an unexpected keyword argument 't'"),
        (lambda e: e.matches("a", t="a"), "Empty.matches() got an unexpected keyword argument 't'"),
        (lambda e: e.matches("a", "b", t="a"), "Empty.matches() takes 1 positional arguments but 2 were given"),
        (lambda e: e.transform_string(), "Empty.transform_string() missing 2 required positional arguments: 's' and 'replacement'"),
        (lambda e: e.transform_string("a"), "Empty.transform_string() missing 1 required positional argument: 'replacement'"),
        (lambda e: e.transform_string(replacement="a"), "Empty.transform_string() missing 1 required positional argument: 's'"),
        (lambda e: e.transform_string("a", "b", "c"), "Empty.transform_string() takes 2 positional arguments but 3 were given"),
        (lambda e: e.parse_batch(), "Empty.parse_batch() missing 1 required positional argument: 'inputs'"),
        (lambda e: e.parse_batch_count([], inputs=[]), "Empty.parse_batch_count() got multiple values for argument 'inputs'"),
        (lambda e: e.search_string_count(S="a"), "Empty.search_string_count() got an unexpected keyword argument 'S'"),
        (lambda e: e.parse_string(1), "argument 's': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.parse_string(b"a"), "argument 's': 'bytes' object cannot be converted to 'PyString'"),
        (lambda e: e.transform_string("a", None), "argument 'replacement': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda e: e.transform_string(1, None), "argument 's': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.parse_batch(("a",)), "argument 'inputs': 'tuple' object cannot be converted to 'PyList'"),
        (lambda e: e.parse_batch_count("abc"), "argument 'inputs': 'str' object cannot be converted to 'PyList'"),
        (lambda e: e.parse_batch_count(inputs={}), "argument 'inputs': 'dict' object cannot be converted to 'PyList'"),
    ],
)
def test_method_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call(q.Empty())
    assert type(e.value) is TypeError
    assert str(e.value) == message
    assert e.value.__cause__ is None


def test_binding_errors_come_before_conversion():
    # Too many positional arguments is reported although the first is no str.
    with pytest.raises(TypeError) as e:
        q.Empty().matches(1, 2)
    assert str(e.value) == "Empty.matches() takes 1 positional arguments but 2 were given"


def test_qualified_type_name_in_mismatch():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as e:
        q.Empty().matches(Outer.Inner())
    assert str(e.value) == (
        "argument 's': 'test_qualified_type_name_in_mismatch.<locals>.Outer.Inner' object cannot be converted to 'PyString'"
    )


def test_unreadable_type_name_in_mismatch():
    class HideQualname(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise AttributeError(name)
            return super().__getattribute__(name)

    class Hidden(metaclass=HideQualname):
        pass

    with pytest.raises(TypeError) as e:
        q.LineEnd().parse_batch(Hidden())
    assert str(e.value) == "argument 'inputs': '<failed to extract type name>' object cannot be converted to 'PyList'"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "{}.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "{}.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"s": 1}, "{}.__new__() got an unexpected keyword argument 's'"),
        ((1,), {"s": 1}, "{}.__new__() takes 0 positional arguments but 1 was given"),
    ],
)
def test_constructor_argument_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message.format(cls.__name__)


def test_unreadable_keyword_name_matches_no_parameter():
    with pytest.raises(TypeError) as e:
        q.Empty(**{"a\udc80": 1})
    assert str(e.value) == "Empty.__new__() got an unexpected keyword argument 'a\udc80'"
    with pytest.raises(TypeError) as e:
        q.Empty().matches(**{"s\udc80": "x"})
    assert str(e.value) == "Empty.matches() got an unexpected keyword argument 's\udc80'"


def test_keyword_arguments_bind_every_parameter():
    e = q.LineEnd()
    assert e.parse_string(s="\n") == ["\n"]
    assert e.transform_string(s="a\nb", replacement="X") == "aXb"
    assert e.transform_string(replacement="X", s="a\nb") == "aXb"
    assert e.transform_string("a\nb", replacement="X") == "aXb"
    assert e.parse_batch(inputs=["\n", "x"]) == [["\n"], []]
    assert e.parse_batch_count(inputs=["\n", "x"]) == 1
    assert e.matches(s="") is True
    assert e.search_string(s="\n\n") == ["\n", "\n"]
    assert e.search_string_count(s="\n\n") == 2


def test_subclasses_of_str_and_list_are_accepted():
    class S(str):
        pass

    class L(list):
        pass

    e = q.rest_of_line()
    assert e.parse_string(S("ab\ncd")) == ["ab"]
    assert e.transform_string(S("ab"), S("X")) == "X"
    assert e.parse_batch(L(["ab", S("cd")])) == [["ab"], ["cd"]]
    assert e.parse_batch_count(L(["ab"])) == 1


def test_lone_surrogate_gives_the_interpreters_error_unwrapped():
    with pytest.raises(UnicodeEncodeError):
        q.Empty().matches("a\udc80")
    with pytest.raises(UnicodeEncodeError):
        q.Empty().transform_string("a", "\udc80")


def test_methods_hold_self_for_the_call():
    # The bound method keeps the object alive after the name is dropped.
    m = q.rest_of_line().parse_string
    assert m("x\ny") == ["x"]
    unbound = q.rest_of_line.parse_string
    assert unbound(q.rest_of_line(), "z") == ["z"]
    with pytest.raises(TypeError):
        unbound(q.Empty(), "z")


def test_default_object_protocols():
    a, b = q.Empty(), q.Empty()
    assert a == a and a != b
    assert repr(a).startswith("<builtins.Empty object at 0x")


# Constructors with optional and several required parameters.
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: q.QuotedString('"', None, False, True, 1), "QuotedString.__new__() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda: q.Word("a", "b", "c"), "Word.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: q.Word(), "Word.__new__() missing 1 required positional argument: 'init_chars'"),
        (lambda: q.Word(body_chars="a"), "Word.__new__() missing 1 required positional argument: 'init_chars'"),
        (lambda: q.Exactly(), "Exactly.__new__() missing 2 required positional arguments: 'expr' and 'count'"),
        (lambda: q.Exactly(q.Empty(), 1, 2), "Exactly.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: q.Word("a", init_chars="b"), "Word.__new__() got multiple values for argument 'init_chars'"),
        (lambda: q.QuotedString(quote="'"), "QuotedString.__new__() got an unexpected keyword argument 'quote'"),
        (lambda: q.QuotedString(multiline=1), "argument 'multiline': 'int' object cannot be converted to 'PyBool'"),
        (lambda: q.QuotedString(unquote=None), "argument 'unquote': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: q.Literal(s=1), "argument 's': 'int' object cannot be converted to 'PyString'"),
        (lambda: q.And(), "No constructor defined for And"),
    ],
)
def test_constructor_binding_texts(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError
    assert str(e.value) == message


def test_numpy_booleans_are_accepted_for_bool_parameters():
    numpy = pytest.importorskip("numpy")
    quoted = '"a\nb"'
    assert q.QuotedString(multiline=numpy.bool_(True)).parse_string(quoted) == ["a\nb"]
    with pytest.raises(ValueError):
        q.QuotedString(multiline=numpy.bool_(False)).parse_string(quoted)
    assert q.QuotedString(unquote=numpy.bool_(False)).parse_string('"x"') == ['"x"']


def test_numpy_named_type_without_a_truth_slot():
    bool_ = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as e:
        q.QuotedString(multiline=bool_())
    assert str(e.value) == "argument 'multiline': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"

    def refuse(self):
        raise TypeError("no truth") from KeyError("k")

    raising = type("bool", (), {"__module__": "numpy", "__bool__": refuse})
    with pytest.raises(TypeError) as e:
        q.QuotedString(unquote=raising())
    assert str(e.value) == "argument 'unquote': no truth"
    assert type(e.value.__cause__) is KeyError


def test_classes_with_parameters_carry_their_signatures():
    assert q.Word.__text_signature__ == "(init_chars, body_chars=None)"
    assert q.QuotedString.__text_signature__ == '(quote_char="\\"", esc_char=None, multiline=False, unquote=True)'
    assert q.Exactly.__text_signature__ == "(expr, count)"
    assert q.Literal.__text_signature__ == "(s)"
    assert q.MatchFirst.__text_signature__ == "(exprs)"
    assert q.And.__doc__ is None
    assert q.And.__text_signature__ is None
    with pytest.raises(TypeError):
        type("Sub", (q.And,), {})


ALL_CLASSES = [getattr(q, n) for n in q.__all__ if isinstance(getattr(q, n), type)]
SIGNATURES = {
    "Literal": "(s)", "Keyword": "(s)", "CaselessLiteral": "(s)", "CaselessKeyword": "(s)", "Char": "(s)",
    "Word": "(init_chars, body_chars=None)", "Regex": "(pattern)",
    "QuotedString": '(quote_char="\\"", esc_char=None, multiline=False, unquote=True)',
    "Group": "(expr)", "Suppress": "(expr)", "Combine": "(expr)", "Optional": "(expr)", "OneOrMore": "(expr)",
    "ZeroOrMore": "(expr)", "SkipTo": "(expr)", "Exactly": "(expr, count)", "MatchFirst": "(exprs)",
    "Forward": "()", "Empty": "()", "NoMatch": "()", "LineStart": "()", "LineEnd": "()", "StringStart": "()",
    "StringEnd": "()", "rest_of_line": "()",
}


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_every_class_is_a_closed_builtins_type_with_its_docs(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name == "And":
        assert cls.__doc__ is None
    else:
        assert cls.__text_signature__ == SIGNATURES[name]
        assert cls.__doc__ == ""
    for method, signature in METHODS + ([("set", "($self, expr)")] if name == "Forward" else []):
        m = getattr(cls, method)
        assert m.__text_signature__ == signature, method
        assert m.__doc__ is None or isinstance(m.__doc__, str)


# Caller code that a conversion runs (a count's __index__, a numpy-named
# type's __bool__) empties the keyword dict of the call, the only holder of
# the other arguments; the constructor must still build from them. Each case
# runs in a subprocess: reading the freed arguments used to crash.
DROPPED_ARGUMENT_CASES = {
    "Exactly count __index__": r'''
class C:
    def __index__(self):
        for r in gc.get_referrers(self):
            if isinstance(r, dict) and "count" in r:
                r.clear()
        gc.collect()
        return 2
e = q.Exactly(**{"expr": q.Literal("xé") + q.Literal("y" * 50), "count": C()})
assert e.parse_string("xé" + "y" * 50 + "xé" + "y" * 50) == ["xé", "y" * 50, "xé", "y" * 50], "parse"
''',
    "QuotedString numpy-named __bool__": r'''
def drop(self):
    for r in gc.get_referrers(self):
        if isinstance(r, dict) and "multiline" in r:
            r.clear()
    gc.collect()
    junk.extend("".join(["\u00e5", str(i % 10)]) for i in range(2000))  # reuses what was freed
    return True
bool_ = type("bool_", (), {"__module__": "numpy", "__bool__": drop})
# The texts are fresh objects, held only by the dict.
e = q.QuotedString(**{"quote_char": "".join(["\u00e9", ""]), "esc_char": "".join(["\u00e8", ""]),
                      "multiline": bool_(), "unquote": True})
assert e.parse_string("\u00e9a\nb\u00e8\u00e9c\u00e9") == ["a\nb\u00e8\u00e9c"], "parse"
''',
    "QuotedString numpy-named __bool__ on unquote": r'''
def drop(self):
    for r in gc.get_referrers(self):
        if isinstance(r, dict) and "unquote" in r:
            r.clear()
    gc.collect()
    junk.extend("".join(["\u00e5", str(i % 10)]) for i in range(2000))
    return False
bool_ = type("bool", (), {"__module__": "numpy", "__bool__": drop})
e = q.QuotedString(**{"quote_char": "".join(["'", ""]), "unquote": bool_()})
assert e.parse_string("'x'") == ["'x'"], "parse"
''',
}


@pytest.mark.parametrize("case", sorted(DROPPED_ARGUMENT_CASES))
def test_arguments_dropped_by_caller_code_during_construction(case):
    import subprocess
    import sys

    script = "import gc\nimport quillgramx as q\njunk = []\n" + DROPPED_ARGUMENT_CASES[case] + "print('ok')\n"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stdout + proc.stderr


def test_qualified_type_name_is_rendered_whole():
    class Odd:
        pass

    Odd.__qualname__ = "Odd\0tail\udc80"
    with pytest.raises(TypeError) as e:
        q.Empty().matches(Odd())
    assert str(e.value) == "argument 's': 'Odd\0tail\udc80' object cannot be converted to 'PyString'"


def named(name):
    """A metaclass whose `__name__` reads as `name` (a type's own name cannot hold a NUL)."""
    return type("Named", (type,), {"__name__": property(lambda cls: name)})


@pytest.mark.parametrize(
    "module, name, accepted",
    [
        ("numpy", "bool_", True),
        ("numpy", "bool", True),
        ("numpy\0", "bool_", False),
        ("numpy\0x", "bool", False),
        ("numpyx", "bool_", False),
        ("numpy", "bool_\0", False),
        ("numpy", "bool\0_", False),
        ("numpy", "boolx", False),
        ("numpy", "bool_x", False),
        ("numpy.core", "bool_", False),
    ],
)
def test_numpy_boolean_names_are_compared_whole(module, name, accepted):
    cls = named(name)("T", (), {"__module__": module, "__bool__": lambda self: True})
    if accepted:
        assert q.QuotedString(multiline=cls()).parse_string('"a\nb"') == ["a\nb"]
    else:
        with pytest.raises(TypeError) as e:
            q.QuotedString(multiline=cls())
        assert str(e.value) == "argument 'multiline': 'T' object cannot be converted to 'PyBool'"
