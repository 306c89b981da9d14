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
