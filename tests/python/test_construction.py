"""Every outcome of Encoder(encoding=None)."""

import numpy as np
import pytest

from colenc import Encoder
from support import UNFITTED, column


class Text(str):
    pass


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": "label"}),
    ((), {"encoding": None}), ((Text("label"),), {}), ((np.str_("label"),), {}),
])
def test_label_encoding_is_the_only_strategy(args, kwargs):
    e = Encoder(*args, **kwargs)
    assert type(e) is Encoder
    assert e.__getstate__() == UNFITTED
    assert e.encode(column("b", "a"))[0].tolist() == [[1.0], [0.0]]


@pytest.mark.parametrize("text", ["Label", "", " label", "label ", "LABEL", "onehot",
                                  "label\x00", "lab\u00e9l", Text("Label")])
def test_other_strategy_texts_are_refused(text):
    with pytest.raises(ValueError) as info:
        Encoder(text)
    assert str(info.value) == f"{text} is not a supported encoding strategy for strings!"


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), (1.5, "float"), (b"label", "bytes"), (["label"], "list"), (True, "bool"),
])
def test_non_text_strategy_is_a_type_error_with_note(value, type_name):
    with pytest.raises(TypeError) as info:
        Encoder(value)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'encoding'"]


def test_lone_surrogate_strategy_fails_with_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("\ud800")
    assert info.value.__notes__ == ["while processing 'encoding'"]
