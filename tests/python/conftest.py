"""Fixtures: a fresh Encoder and a check for the module's panic exception."""

import contextlib

import pytest

import colenc


@pytest.fixture
def enc():
    return colenc.Encoder()


_panic_classes = set()


def check_panic(exc, prefix=""):
    """Asserts that exc is the binding layer's panic exception whose message starts with prefix."""
    cls = type(exc)
    _panic_classes.add(cls)
    assert len(_panic_classes) == 1, "one panic class per process"
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert cls.__mro__[1] is BaseException
    assert str(exc).startswith(prefix), str(exc)


@pytest.fixture
def panic():
    """Returns a context manager that expects the panic exception whose message starts with prefix."""

    @contextlib.contextmanager
    def expect(prefix=""):
        with pytest.raises(BaseException) as info:
            yield info
        check_panic(info.value, prefix)

    return expect
