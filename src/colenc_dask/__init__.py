"""Label-encodes a Dask DataFrame or 2-D Dask Array partition by partition with
colenc, with one fit equal to the fit of the whole table: the same codes, text
columns and encoder state as colenc.Encoder().encode(table.compute()); and
applies a fitted encoder to such a table, partition by partition."""

import numpy as np

import colenc
from colenc_dask._graph import encode_partitioned
from colenc_dask._state import has_fit
from colenc_dask._transform import transform_partitioned

__all__ = ["encode", "transform", "decode"]


def encode(table):
    """Encodes a dask.dataframe.DataFrame or a 2-D dask.array.Array.

    Returns (encoded, text_columns, encoder): encoded is a lazy collection of
    the input's kind and partitions holding float64 codes and numbers
    (a DataFrame's columns labelled as colenc labels them, its index the global
    row numbers 0 to n-1); text_columns is the list of label-encoded column
    positions (None for a float64 array, which passes through); encoder is the
    fitted colenc.Encoder. All three equal what
    colenc.Encoder().encode(table.compute()) gives, bit for bit.

    The fit is computed when encode is called: every partition is encoded once
    on its own, label lists are merged on the workers, and only label lists and
    small lookup arrays travel. Computing encoded reads every partition again.
    An array chunked along its columns is rechunked to one chunk per row block.
    A cell that makes colenc raise makes encode raise the same exception;
    with bad cells in several partitions, the first such partition's (colenc
    on the whole table raises for the first bad cell in column order).

    Raises TypeError for anything but a dask DataFrame or Array, and ValueError
    for an array that is not 2-D or whose column count is unknown.
    """
    is_frame, table = _checked(table)
    if not is_frame and table.dtype == np.float64:
        # colenc passes a float64 array through untouched and keeps no fit.
        return table.map_blocks(np.array, copy=True, dtype=np.float64), None, colenc.Encoder()
    return encode_partitioned(table, is_frame)


def transform(encoder, table, unknown="nan"):
    """Returns the lazy transform of a dask.dataframe.DataFrame or a 2-D
    dask.array.Array with the fitted colenc.Encoder encoder: a collection of
    the input's kind and partitions equal to
    encoder.transform(table.compute(), unknown=unknown)[0], bit for bit (a
    DataFrame's index the global row numbers 0 to n-1).

    Nothing is merged: every partition is transformed on its own with the
    encoder, which is sent to each worker once. Where a fitted text column is
    of object (or category) dtype, a small task per partition first asks
    colenc which of those columns hold texts, since a partition below the
    whole table's turn writes its numbers through str().

    Raises as encoder.transform does, at once for what needs no cells (an
    encoder with no fit, a bad unknown, a table narrower than the fit) and
    when computed for what does; TypeError and ValueError as encode for a
    table it cannot take.
    """
    is_frame, table = _checked(table, "transform")
    return transform_partitioned(encoder, table, is_frame, unknown)


def decode(encoder, encoded):
    """Returns the lazy decoded collection of encoded (as colenc_dask.encode or
    encoder's own encode made it), equal to encoder.decode(encoded.compute()),
    with encoded's partitions and row index."""
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(encoded, dd.DataFrame):
        meta = encoder.decode(encoded._meta)
        return encoded.map_partitions(_decode_frame, encoder, meta=meta)
    if isinstance(encoded, da.Array) and encoded.ndim == 2:
        encoded = encoded.rechunk({1: -1}) if encoded.numblocks[1] > 1 else encoded
        dtype = object if has_fit(encoder) else np.float64
        return encoded.map_blocks(encoder.decode, dtype=dtype)
    raise TypeError(f"colenc_dask.decode takes a dask DataFrame or a 2-D dask Array, "
                    f"not {type(encoded).__name__!r}")


def _decode_frame(part, encoder):
    decoded = encoder.decode(part)
    decoded.index = part.index
    return decoded


def _checked(table, caller="encode"):
    """Returns (is_frame, table) for a table encode can take, else raises."""
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(table, dd.DataFrame):
        return True, table
    if not isinstance(table, da.Array):
        raise TypeError(f"colenc_dask.{caller} takes a dask DataFrame or a 2-D dask Array, "
                        f"not {type(table).__module__}.{type(table).__name__}")
    if table.ndim != 2:
        raise ValueError(f"colenc_dask.{caller} takes a 2-D dask Array, not one of {table.ndim} dimensions")
    if np.isnan(table.shape[1]):
        raise ValueError(f"colenc_dask.{caller} needs the column count of the array; it is unknown")
    if table.numblocks[1] > 1:
        table = table.rechunk({1: -1})
    return False, table

