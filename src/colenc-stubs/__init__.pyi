"""Type stubs for the colenc extension module.

Installed twice from this one file: as the stub-only package colenc-stubs,
which mypy and pyright find under PEP 561 (a single-file extension module
cannot carry a py.typed marker), and as colenc.pyi beside the module for tools
that look there.
"""

from typing import Any, Literal, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Encoder"]

__version__: str
"""The version of the installed colenc distribution."""

_Unknown = Literal["nan", "error", "code"]

@final
class Encoder:
    """Label-encodes the text columns of a 2-D table and decodes codes back.

    Codes are dense from 0 per text column, in ascending byte order of the
    UTF-8 texts; "<NA>", "nan" and "NaN" are missing values and encode as NaN.
    The fit of the last encode (or __setstate__) is kept for transform and
    decode; pickling keeps it as compact state bytes.
    """

    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder:
        """Returns an unfitted encoder; "label" (or None) is the only strategy."""
        ...
    @overload
    def encode(self, obj: pd.DataFrame) -> tuple[pd.DataFrame, list[int]]:
        """Fits the encoder on obj and returns (encoded, text_columns).

        encoded holds float64 codes for the text columns and the numbers of the
        other columns: a C-ordered array for an array, a DataFrame (columns
        labelled as text, default index) for a DataFrame. text_columns lists
        the positions of the label-encoded columns. A 2-D float64 array passes
        through as a copy with text_columns None, and the encoder keeps no fit.
        """
        ...
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float64], list[int] | None]: ...
    @overload
    def transform(self, obj: pd.DataFrame, unknown: _Unknown = "nan") -> tuple[pd.DataFrame, list[int]]:
        """Encodes obj with the stored fit, leaving the fit unchanged.

        Returns (encoded, text_columns) of the same kinds as encode, with the
        fit's text columns. A label the fit does not hold is unknown: it gives
        NaN ("nan"), raises ValueError naming the column, row and text
        ("error"), or gets one past the column's last code ("code"). Raises
        ValueError when the encoder holds no fit.
        """
        ...
    @overload
    def transform(
        self, obj: npt.NDArray[Any], unknown: _Unknown = "nan"
    ) -> tuple[npt.NDArray[np.float64], list[int]]: ...
    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame:
        """Turns the codes of the fitted text columns back into their labels.

        For a DataFrame, returns a DataFrame whose text columns are of object
        dtype, holding str labels or None. For an array, returns an object
        array whose text columns hold str labels ("NaN" for NaN or an unknown
        code) and whose other columns hold Python floats (a float64 copy when
        the encoder has no fit).
        """
        ...
    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[Any]: ...
    def __getstate__(self) -> bytes:
        """Returns the fit as compact little-endian state bytes."""
        ...
    def __setstate__(self, state: bytes) -> None:
        """Replaces the fit by the one state holds; refuses malformed bytes
        with ValueError and keeps the previous fit."""
        ...
