"""Carries an exception raised while encoding a partition back to the client,
where it is raised again unchanged. colenc's panic exception has no importable
module, so it travels as its message and is rebuilt with the receiving
process's own panic class."""

import os

import numpy as np

import colenc


class PartitionFailure:
    """The exception a partition's encode raised, held as a task's result."""

    def __init__(self, error):
        self.error = error

    def __reduce__(self):
        if _is_panic(self.error):
            return _rebuild_panic, (str(self.error),)
        return PartitionFailure, (self.error,)

    def throw(self):
        raise self.error


def first_failure(results):
    """Returns the first PartitionFailure among results, or None."""
    return next((r for r in results if isinstance(r, PartitionFailure)), None)


def guarded(function, *args):
    """Calls function(*args); an Exception or a panic becomes a PartitionFailure."""
    try:
        return function(*args)
    except BaseException as error:
        if isinstance(error, Exception) or _is_panic(error):
            return PartitionFailure(error)
        raise


def _is_panic(error):
    cls = type(error)
    return (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException")


def _rebuild_panic(message):
    return PartitionFailure(_panic_class()(message))


_panic = []  # colenc's panic class in this process, once known


def _panic_class():
    """Returns colenc's panic exception class in this process. It has no module
    to import it from, and a class of the same name may arrive by value from
    another process, so it is taken from a panic provoked here once, with
    colenc's report to standard error sent to /dev/null."""
    if _panic:
        return _panic[0]
    cell = np.empty((1, 1), dtype=object)
    cell[0, 0] = _Unprintable()
    saved = os.dup(2)
    try:
        with open(os.devnull, "wb") as sink:
            os.dup2(sink.fileno(), 2)
            try:
                colenc.Encoder().encode(cell)
            except BaseException as error:
                if not _is_panic(error):
                    raise
                _panic.append(type(error))
                return type(error)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    raise RuntimeError("colenc raised no panic for a cell whose str() fails")


class _Unprintable:
    def __str__(self):
        raise ValueError("no text")
