"""Type stubs for the colenc extension module."""

from typing import Literal, final

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Encoder"]

@final
class Encoder:
    """Label-encodes the text columns of a 2-D table and decodes codes back."""

    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder: ...
    def encode(
        self, obj: npt.NDArray[np.generic] | pd.DataFrame
    ) -> tuple[npt.NDArray[np.float64] | pd.DataFrame, list[int] | None]: ...
    def decode(
        self, obj: npt.NDArray[np.generic] | pd.DataFrame
    ) -> npt.NDArray[np.float64] | npt.NDArray[np.object_] | pd.DataFrame: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
