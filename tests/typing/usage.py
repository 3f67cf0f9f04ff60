"""Calls every overload of colenc's stubs and the companion modules as a user
would; `make typecheck` runs mypy on it, so a broken stub fails the build.
assert_type fails the check when an overload resolves to another type."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import colenc
import colenc_dask
from colenc_sklearn import OrdinalTextEncoder

version: str = colenc.__version__
encoder = colenc.Encoder("label")
frame = pd.DataFrame({"city": ["Oslo", "Bern"], "age": [31, 45]})
array = np.array([["Oslo", 31], ["Bern", 45]], dtype=object)

encoded_frame, frame_columns = encoder.encode(frame)
assert_type(encoded_frame, pd.DataFrame)
assert_type(frame_columns, list[int])
print(encoded_frame.iloc[0, 0])

encoded_array, array_columns = encoder.encode(array)
assert_type(encoded_array, npt.NDArray[np.float64])
assert_type(array_columns, list[int] | None)

new_frame, _ = encoder.transform(frame, unknown="code")
assert_type(new_frame, pd.DataFrame)
new_array, fitted_columns = encoder.transform(array)
assert_type(new_array, npt.NDArray[np.float64])
assert_type(fitted_columns, list[int])

assert_type(encoder.decode(encoded_frame), pd.DataFrame)
assert_type(encoder.decode(encoded_array), npt.NDArray[Any])

state: bytes = encoder.__getstate__()
colenc.Encoder().__setstate__(state)

model = OrdinalTextEncoder(unknown="error").fit(frame)
codes = model.transform(frame)
print(codes, colenc_dask.encode, colenc_dask.transform)
