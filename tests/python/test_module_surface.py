"""The module's public shape: names, signatures, the closed class, and the
argument binding errors of every method."""

import importlib.metadata
import subprocess
import sys
import weakref

import numpy as np
import pytest

import colenc
from colenc import Encoder
from support import UNFITTED, column


def test_module_exports_only_the_encoder():
    assert colenc.__all__ == ["Encoder"]
    assert colenc.__version__ == importlib.metadata.version("colenc")
    assert [n for n in dir(colenc) if not n.startswith("_")] == ["Encoder"]
    assert Encoder.__module__ == "colenc"
    assert Encoder.__name__ == Encoder.__qualname__ == "Encoder"
    assert repr(Encoder()).startswith("<colenc.Encoder object at ")


def test_signatures_and_empty_docstrings():
    assert Encoder.__text_signature__ == "(encoding=None)"
    assert not Encoder.__doc__
    expected = {"encode": "($self, obj)", "decode": "($self, obj)",
                "__getstate__": "($self)", "__setstate__": "($self, state)"}
    for name, signature in expected.items():
        method = getattr(Encoder, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
    assert [n for n in vars(Encoder) if n in expected] == list(expected)


def test_class_is_closed_and_instances_take_no_attributes():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Encoder,), {})
    e = Encoder()
    with pytest.raises(AttributeError):
        e.anything = 1
    with pytest.raises(AttributeError):
        e.__dict__
    with pytest.raises(TypeError):
        weakref.ref(e)


# Templates: {f} is the display name, {p} the parameter name, {P} it in capitals.
BINDING = [
    ((), {}, "{f} missing 1 required positional argument: '{p}'"),
    ((1, 2), {}, "{f} takes 1 positional arguments but 2 were given"),
    ((1, 2, 3), {"{p}": 1}, "{f} takes 1 positional arguments but 3 were given"),
    ((1,), {"{p}": 2}, "{f} got multiple values for argument '{p}'"),
    ((1,), {"{p}": 2, "x": 1}, "{f} got multiple values for argument '{p}'"),
    ((), {"x": 1}, "{f} got an unexpected keyword argument 'x'"),
    ((), {"x": 1, "{p}": 2}, "{f} got an unexpected keyword argument 'x'"),
    ((), {"{P}": 1}, "{f} got an unexpected keyword argument '{P}'"),
]


@pytest.mark.parametrize("method, param", [("encode", "obj"), ("decode", "obj"), ("__setstate__", "state")])
@pytest.mark.parametrize("args, kwargs, message", BINDING)
def test_method_argument_binding_errors_leave_the_instance_alone(method, param, args, kwargs, message):
    def fill(template):
        return template.format(f=f"Encoder.{method}()", p=param, P=param.upper())

    e = Encoder()
    e.encode(column("b", "a"))
    before = e.__getstate__()
    with pytest.raises(TypeError) as info:
        getattr(e, method)(*args, **{fill(k): v for k, v in kwargs.items()})
    assert str(info.value) == fill(message)
    assert e.__getstate__() == before
    e.encode(column("z"))  # not left borrowed


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ((5, 6, 7), {}, "Encoder.__new__() takes from 0 to 1 positional arguments but 3 were given"),
    ((5,), {"x": 1}, "Encoder.__new__() got an unexpected keyword argument 'x'"),
    (("label",), {"encoding": "label"}, "Encoder.__new__() got multiple values for argument 'encoding'"),
    ((), {"Encoding": "label"}, "Encoder.__new__() got an unexpected keyword argument 'Encoding'"),
])
def test_constructor_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Encoder(*args, **kwargs)
    assert str(info.value) == message


def test_arguments_may_be_given_by_keyword():
    e = Encoder(encoding="label")
    result, cols = e.encode(obj=column("b", "a"))
    assert cols == [0]
    assert e.decode(obj=result)[:, 0].tolist() == ["b", "a"]
    e.__setstate__(state=UNFITTED)
    assert e.__getstate__() == UNFITTED
    assert isinstance(e.decode(obj=np.zeros((1, 1))), np.ndarray)


def test_import_loads_neither_numpy_nor_pandas():
    script = ("import sys, colenc; print(sorted({'numpy', 'pandas'} & set(sys.modules)));"
              "import numpy; e = colenc.Encoder(); e.encode(numpy.array([['a']], dtype=object));"
              "e.decode(numpy.zeros((1, 1))); print(sorted({'numpy', 'pandas'} & set(sys.modules)))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split("\n")[:2] == ["[]", "['numpy']"], done.stderr
